// SPDX-License-Identifier: MIT
// End to end: the shipped libqrvusbdll.so, through its own driver's USB/IP
// client, against the emulated projector's USB/IP server on a loopback port,
// as it runs when QRV_USBIP names a server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "qrvusb.h"
#include "projector_emulator/device.h"
#include "projector_emulator/nor_flash.h"
#include "projector_emulator/usbip_server.h"

namespace usb_transport::test {
namespace {

using namespace std::chrono_literals;

const uint8_t kStatusRead[] = {0x04, 0x00, 0x00, 0x03, 0x00, 0x34, 0x01, 0x01, 0x39};
const uint8_t kProgrammingMode1[] = {0x02, 0x00, 0x00, 0x03, 0x00, 0x34, 0x30, 0x01, 0x68};

template <size_t N>
int32_t exchange(const uint8_t (&command)[N], std::array<uint8_t, 520> &buffer, uint32_t &capacity) {
    buffer.fill(0);
    std::copy(command, command + N, buffer.begin());
    capacity = 255;
    return QRV_WriteQrvUsbCmd(buffer.data(), N, &capacity);
}

// The library's driver makes its bus when its first connection opens, so
// the server address takes effect at the next QRV_USBInit.
void useServer(const std::string &address) { setenv("QRV_USBIP", address.c_str(), 1); }

class TransportUsbip : public ::testing::Test {
protected:
    void SetUp() override {
        flash_ = projector_emulator::NorFlash::inMemory();
        projector_emulator::DeviceOptions options;
        options.rebootDelay = 300ms;
        options.eraseTime = 1ms;
        device_ = std::make_unique<projector_emulator::Tz4817Device>(*flash_, options);
        device_->setFrameObserver([this](const projector_emulator::FrameRecord &frame) {
            lastFrameInProgrammingMode_ = frame.mode == projector_emulator::Mode::Programming;
            lastFrameAnswered_ = !frame.reply.empty();
        });
        projector_emulator::UsbipServerOptions serverOptions;
        serverOptions.port = 0;
        server_ = std::make_unique<projector_emulator::UsbipServer>(*device_, serverOptions);
        std::string error;
        ASSERT_TRUE(server_->start(error)) << error;
        useServer("127.0.0.1:" + std::to_string(server_->port()));
    }
    void TearDown() override {
        EXPECT_EQ(QRV_USBTerm(), 0);
        if (server_) server_->stop();
        unsetenv("QRV_USBIP");
    }

    std::unique_ptr<projector_emulator::NorFlash> flash_;
    std::unique_ptr<projector_emulator::Tz4817Device> device_;
    std::unique_ptr<projector_emulator::UsbipServer> server_;
    std::atomic<bool> lastFrameInProgrammingMode_{false};
    std::atomic<bool> lastFrameAnswered_{false};
};

TEST_F(TransportUsbip, InitTakesTheProjectorAndAStatusReadIsAnswered) {
    ASSERT_EQ(QRV_USBInit(), 0);
    std::array<uint8_t, 520> buffer;
    uint32_t capacity = 0;
    ASSERT_EQ(exchange(kStatusRead, buffer, capacity), 0);
    EXPECT_EQ(capacity, 9u);
    EXPECT_NE(buffer[1], 0);  // the echo of the number stamped
    EXPECT_EQ(buffer[3], 3);
    EXPECT_TRUE(lastFrameAnswered_.load());
}

TEST_F(TransportUsbip, ProjectorIsFoundAgainInProgrammingMode) {
    ASSERT_EQ(QRV_USBInit(), 0);
    std::array<uint8_t, 520> buffer;
    uint32_t capacity = 0;
    ASSERT_EQ(exchange(kProgrammingMode1, buffer, capacity), 0);
    EXPECT_EQ(QRV_USBTerm(), 0);
    std::this_thread::sleep_for(1s);  // the projector restarts into programming mode
    ASSERT_EQ(QRV_USBInit(), 0);
    const projector_emulator::Presence presence = device_->presence();
    EXPECT_EQ(presence.vendorId, 0xE7B9);
    EXPECT_EQ(presence.productId, 0x2000);
    ASSERT_EQ(exchange(kStatusRead, buffer, capacity), 0);
    EXPECT_TRUE(lastFrameInProgrammingMode_.load());
}

TEST(TransportUsbipWithoutDevice, InitTimesOutAfterItsThirtySeconds) {
    // A port that is bound but not listening: every connection is refused,
    // so no device is ever listed.
    const int holder = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr *>(&address), &length), 0);
    useServer("127.0.0.1:" + std::to_string(ntohs(address.sin_port)));

    EXPECT_EQ(QRV_USBInit(), static_cast<int32_t>(WDU_ERR_TIMEOUT));
    EXPECT_EQ(QRV_USBTerm(), 0);
    unsetenv("QRV_USBIP");
    close(holder);
}

}  // namespace
}  // namespace usb_transport::test
