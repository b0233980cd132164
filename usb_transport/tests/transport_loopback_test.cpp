// SPDX-License-Identifier: MIT
// The exported transport over the real driver and an emulated projector on
// the loopback bus: sequence numbers on the wire, pipe resets, a projector
// that leaves, and the switch into programming mode.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "qrv_usb.h"
#include "qrvusb.h"
#include "test_support/loopback_bus.h"
#include "projector_emulator/device.h"
#include "projector_emulator/nor_flash.h"
#include "usb_driver/driver.h"

namespace usb_transport::test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using test_support::LoopbackBus;

const Bytes kStatusRead = {0x04, 0x00, 0x00, 0x03, 0x00, 0x34, 0x01, 0x01, 0x39};
const Bytes kProgrammingMode1 = {0x02, 0x00, 0x00, 0x03, 0x00, 0x34, 0x30, 0x01, 0x68};

class TransportLoopback : public ::testing::Test {
protected:
    TransportLoopback() : flash_(projector_emulator::NorFlash::inMemory()) {}
    void SetUp() override {
        testing::setSequenceNumber(1);
        makeDevice({});
    }
    void TearDown() override {
        EXPECT_EQ(QRV_USBTerm(), 0);
        usb_driver::testing::setBusFactory({});
    }
    void makeDevice(std::vector<projector_emulator::Fault> faults) {
        usb_driver::testing::setBusFactory({});
        bus_.reset();
        projector_emulator::DeviceOptions options;
        options.rebootDelay = 100ms;
        options.eraseTime = 1ms;
        options.faults = std::move(faults);
        device_ = std::make_unique<projector_emulator::Tz4817Device>(*flash_, options);
        bus_ = std::make_shared<LoopbackBus>(*device_);
        std::weak_ptr<LoopbackBus> weak = bus_;
        usb_driver::testing::setBusFactory([weak] { return std::shared_ptr<usb_driver::Bus>(weak.lock()); });
    }
    // One command frame exchanged as the command builders do it.
    int32_t exchange(const Bytes &command, std::array<uint8_t, 520> &buffer, uint32_t &capacity) {
        buffer.fill(0);
        std::copy(command.begin(), command.end(), buffer.begin());
        capacity = 255;
        return QRV_WriteQrvUsbCmd(buffer.data(), static_cast<uint32_t>(command.size()), &capacity);
    }
    int32_t statusRead() {
        std::array<uint8_t, 520> buffer;
        uint32_t capacity = 0;
        return exchange(kStatusRead, buffer, capacity);
    }
    std::vector<LoopbackBus::TransferLog> writes() {
        std::vector<LoopbackBus::TransferLog> out;
        for (const auto &transfer : bus_->transfers())
            if (!transfer.in) out.push_back(transfer);
        return out;
    }

    std::unique_ptr<projector_emulator::NorFlash> flash_;
    std::unique_ptr<projector_emulator::Tz4817Device> device_;
    std::shared_ptr<LoopbackBus> bus_;
};

TEST_F(TransportLoopback, SequenceNumbersRunFrom1To255ThenStartAgainAt1) {
    ASSERT_EQ(QRV_USBInit(), 0);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(statusRead(), 0) << "exchange " << i;
    const auto sent = writes();
    ASSERT_EQ(sent.size(), 256u);
    for (int i = 0; i < 256; ++i) {
        const uint8_t expected = static_cast<uint8_t>(i < 255 ? i + 1 : 1);
        ASSERT_EQ(sent[i].data.at(1), expected) << "exchange " << i;
        // The checksum on the wire covers the stamped number.
        ASSERT_EQ(sent[i].data.at(8), static_cast<uint8_t>(0x39 + expected));
    }
    EXPECT_EQ(testing::sequenceNumber(), 2);
}

TEST_F(TransportLoopback, NewInitDoesNotRestartTheCount) {
    ASSERT_EQ(QRV_USBInit(), 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(statusRead(), 0);
    EXPECT_EQ(QRV_USBTerm(), 0);
    ASSERT_EQ(QRV_USBInit(), 0);
    ASSERT_EQ(statusRead(), 0);
    EXPECT_EQ(writes().back().data.at(1), 4);
}

TEST_F(TransportLoopback, StatusReadGetsItsReply) {
    ASSERT_EQ(QRV_USBInit(), 0);
    std::array<uint8_t, 520> buffer;
    uint32_t capacity = 0;
    ASSERT_EQ(exchange(kStatusRead, buffer, capacity), 0);
    EXPECT_EQ(capacity, 9u);  // one data byte: d + 8
    EXPECT_EQ(buffer[1], 1);
    EXPECT_EQ(buffer[3], 3);
    // The interface was selected when the device was taken.
    const auto controls = bus_->controlRequests();
    ASSERT_FALSE(controls.empty());
    EXPECT_EQ(controls[0].kind, 'I');
    EXPECT_EQ(controls[0].value, 0u);
}

TEST_F(TransportLoopback, FailedWriteThatReachedTheDeviceStillSucceeds) {
    ASSERT_EQ(QRV_USBInit(), 0);
    bus_->clearTransfers();
    const size_t controlsBefore = bus_->controlRequests().size();
    bus_->failNextTransfer(false, usb_driver::kStatusTransferFailed, true);
    ::testing::internal::CaptureStdout();
    const int32_t result = statusRead();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Reseting USB\n");
    EXPECT_EQ(result, 0);
    const auto controls = bus_->controlRequests();
    ASSERT_EQ(controls.size(), controlsBefore + 2);
    EXPECT_EQ(controls[controlsBefore].kind, 'R');
    EXPECT_EQ(controls[controlsBefore].value, 0x01u);
    EXPECT_EQ(controls[controlsBefore + 1].kind, 'R');
    EXPECT_EQ(controls[controlsBefore + 1].value, 0x81u);
    const auto transfers = bus_->transfers();
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_EQ(transfers[0].status, usb_driver::kStatusTransferFailed);
    EXPECT_EQ(transfers[1].status, 0u);
}

TEST_F(TransportLoopback, FailedReadKeepsTheCounterForTheNextExchange) {
    ASSERT_EQ(QRV_USBInit(), 0);
    bus_->failNextTransfer(true, usb_driver::kStatusTimeout);
    std::array<uint8_t, 520> buffer;
    uint32_t capacity = 0;
    ::testing::internal::CaptureStdout();
    const int32_t result = exchange(kStatusRead, buffer, capacity);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Reseting USB\n");
    EXPECT_EQ(result, static_cast<int32_t>(WDU_ERR_TIMEOUT));
    EXPECT_EQ(capacity, 0u);
    EXPECT_EQ(testing::sequenceNumber(), 1);
    ASSERT_EQ(statusRead(), 0);
    EXPECT_EQ(writes().back().data.at(1), 1);
}

TEST_F(TransportLoopback, ReplyWithoutAnEchoByteIsNoSuccess) {
    makeDevice({projector_emulator::Fault{projector_emulator::Fault::Kind::ShortReply, 1, 1, 0, 1}});
    ASSERT_EQ(QRV_USBInit(), 0);
    std::array<uint8_t, 520> buffer;
    uint32_t capacity = 0;
    EXPECT_EQ(exchange(kStatusRead, buffer, capacity), 1);
    EXPECT_EQ(capacity, 1u);
    EXPECT_EQ(statusRead(), 0);
}

TEST_F(TransportLoopback, ExchangeAfterTheDeviceLeftSendsNothing) {
    makeDevice({projector_emulator::Fault{projector_emulator::Fault::Kind::Leave, 2, 2, 0, 0}});
    ASSERT_EQ(QRV_USBInit(), 0);
    ASSERT_EQ(statusRead(), 0);
    ::testing::internal::CaptureStdout();
    EXPECT_NE(statusRead(), 0);  // the device leaves at this frame
    ::testing::internal::GetCapturedStdout();
    for (int i = 0; i < 500 && testing::deviceTaken(); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_FALSE(testing::deviceTaken()) << "no detach";

    bus_->clearTransfers();
    std::array<uint8_t, 520> buffer{};
    std::copy(kStatusRead.begin(), kStatusRead.end(), buffer.begin());
    const auto before = buffer;
    uint32_t capacity = 255;
    ::testing::internal::CaptureStdout();
    const int32_t result = QRV_WriteQrvUsbCmd(buffer.data(), 9, &capacity);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(result, static_cast<int32_t>(WDU_ERR_DEVICE_NOT_FOUND));
    EXPECT_EQ(buffer, before);
    EXPECT_TRUE(bus_->transfers().empty());
}

// Replies that a run which died between frame and reply left in the
// projector: the next link drops them. When one of them acknowledges a mode
// switch, the projector restarts as it is read; the link waits for it and
// opens in its new mode.
TEST_F(TransportLoopback, OpeningTheLinkDropsRepliesLeftByARunThatDied) {
    const auto leave = [&](const Bytes &frame, uint8_t sequence) {
        Bytes stamped = frame;
        stamped[1] = sequence;
        stamped.back() = static_cast<uint8_t>(stamped.back() + sequence);
        ASSERT_EQ(device_->bulkOut(device_->presence().generation, stamped), projector_emulator::TransferStatus::Ok);
    };
    leave(kStatusRead, 1);
    leave(kStatusRead, 2);
    ASSERT_EQ(QRV_USBInit(), 0);
    EXPECT_EQ(statusRead(), 0);
    EXPECT_EQ(QRV_USBTerm(), 0);

    leave(kProgrammingMode1, 2);
    ASSERT_EQ(QRV_USBInit(), 0);
    EXPECT_EQ(device_->presence().mode, projector_emulator::Mode::Programming);
    EXPECT_EQ(statusRead(), 0);
}

TEST_F(TransportLoopback, ProgrammingModeComesBackAsTheProgrammingDevice) {
    ASSERT_EQ(QRV_USBInit(), 0);
    std::array<uint8_t, 520> buffer;
    uint32_t capacity = 0;
    ASSERT_EQ(exchange(kProgrammingMode1, buffer, capacity), 0);
    EXPECT_EQ(QRV_USBTerm(), 0);
    std::this_thread::sleep_for(300ms);  // the projector restarts
    ASSERT_EQ(QRV_USBInit(), 0);
    const projector_emulator::Presence presence = device_->presence();
    EXPECT_EQ(presence.mode, projector_emulator::Mode::Programming);
    EXPECT_EQ(presence.vendorId, 0xE7B9);
    EXPECT_EQ(presence.productId, 0x2000);
    EXPECT_EQ(statusRead(), 0);
}

}  // namespace
}  // namespace usb_transport::test
