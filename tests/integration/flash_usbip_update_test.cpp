// SPDX-License-Identifier: MIT
// The whole update as the program runs it, through the shipped libraries
// (libqrvdldll.so over libqrvusbdll.so), over USB/IP on a loopback TCP
// connection to an emulated projector whose flash lives in a file: open the
// link, switch to programming mode, download a whole-flash image from the
// second sector, leave programming mode, close the link. And an update while
// slow clients try to hold every place of the projector's server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include "qrvdl.h"
#include "qrvusb.h"
#include "projector_emulator/device.h"
#include "projector_emulator/nor_flash.h"
#include "projector_emulator/usbip_server.h"
#include "usbip/protocol.h"

namespace {

using Bytes = std::vector<uint8_t>;

class TempDirectory {
public:
    TempDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qrvdl-e2e-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempDirectory() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

Bytes readFile(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The emulated projector behind a USB/IP server on an ephemeral loopback
// port, named to the libraries by QRV_USBIP; it restarts in 50 ms and erases
// at once. Check started() in the test.
class ProjectorOnUsbip {
public:
    explicit ProjectorOnUsbip(projector_emulator::NorFlash &flash)
        : device_(flash, options()), server_(device_, serverOptions()) {
        if (!server_.start(error_)) return;
        const std::string address = "127.0.0.1:" + std::to_string(server_.port());
        started_ = ::setenv("QRV_USBIP", address.c_str(), 1) == 0;
    }
    ~ProjectorOnUsbip() {
        server_.stop();
        ::unsetenv("QRV_USBIP");
    }
    bool started() const { return started_; }
    const std::string &error() const { return error_; }
    projector_emulator::Tz4817Device &device() { return device_; }
    uint16_t port() const { return server_.port(); }
    void stop() { server_.stop(); }

private:
    static projector_emulator::DeviceOptions options() {
        projector_emulator::DeviceOptions options;
        options.rebootDelay = std::chrono::milliseconds(50);
        options.eraseTime = std::chrono::milliseconds(0);
        return options;
    }
    static projector_emulator::UsbipServerOptions serverOptions() {
        projector_emulator::UsbipServerOptions options;
        options.port = 0;
        return options;
    }

    projector_emulator::Tz4817Device device_;
    projector_emulator::UsbipServer server_;
    std::string error_;
    bool started_ = false;
};

std::vector<uint32_t> erased;
uint32_t lastProgrammed = 0;
uint32_t programmedReports = 0;
void onErased(uint32_t sector, uint32_t) { erased.push_back(sector); }
void onProgrammed(uint32_t done, uint32_t) {
    lastProgrammed = done;
    ++programmedReports;
}

TEST(UsbipUpdate, WholeImageReachesTheFlashFileAndTheBootSectorStays) {
    TempDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const auto flashPath = directory.path() / "flash.bin";
    const auto imagePath = directory.path() / "tz4817.img";

    Bytes image(projector_emulator::kFlashSize);
    std::mt19937 random(4817);
    for (auto &byte : image) byte = static_cast<uint8_t>(random() >> 24);
    {
        std::ofstream out(imagePath, std::ios::binary);
        out.write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(image.size()));
    }

    std::string captured;
    {
        std::string error;
        auto flash = projector_emulator::NorFlash::openFile(flashPath.string(), error);
        ASSERT_TRUE(flash) << error;
        ProjectorOnUsbip projector(*flash);
        ASSERT_TRUE(projector.started()) << projector.error();

        ASSERT_EQ(QRV_USBInit(), 0);
        ASSERT_EQ(QRVDL_SwitchAppToBoot(20), 0);
        EXPECT_EQ(projector.device().presence().mode, projector_emulator::Mode::Programming);

        testing::internal::CaptureStdout();
        const int32_t result = QRVDL_LoadFlash(imagePath.c_str(), 0xFE204000, 0, onErased, onProgrammed);
        captured = testing::internal::GetCapturedStdout();
        EXPECT_EQ(result, 0);

        EXPECT_EQ(QRVDL_CmdWriteProgrammingMode(2), 0);
        EXPECT_EQ(QRV_USBTerm(), 0);
        projector.stop();
        EXPECT_EQ(flash->programErrors(), 0u);
    }

    EXPECT_EQ(captured, "File[" + imagePath.string() + "] Size[2097152]\n");
    EXPECT_EQ(erased.size(), 34u);
    EXPECT_EQ(erased.front(), 0x4000u);
    EXPECT_EQ(erased.back(), 0x1F0000u);
    EXPECT_EQ(lastProgrammed, 0x1FC000u);
    EXPECT_EQ(programmedReports, 0x1FC000u / (74 * 56) + 1);

    const Bytes flashFile = readFile(flashPath);
    ASSERT_EQ(flashFile.size(), projector_emulator::kFlashSize);
    const Bytes factory = projector_emulator::NorFlash::factoryPattern();
    EXPECT_TRUE(std::equal(flashFile.begin(), flashFile.begin() + 0x4000, factory.begin()))
        << "the boot sector was touched";
    EXPECT_TRUE(std::equal(flashFile.begin() + 0x4000, flashFile.end(), image.begin() + 0x4000))
        << "the flash differs from the image";
}

// A connection to the loopback port that has sent `bytes`; -1 when that failed.
int connectAndSend(uint16_t port, const Bytes &bytes) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    return fd;
}

// Connections to the server that each send one byte of a request and then
// nothing, as a port scanner or a stuck client does; one taken away by the
// server comes back after a moment, so that `count` of them keep trying.
class SlowClients {
public:
    SlowClients(uint16_t port, size_t count) : port_(port), fds_(count, -1) {
        for (int &fd : fds_) fd = connectAndSend(port_, {0x01});
        thread_ = std::thread([this] { keepUp(); });
    }
    ~SlowClients() {
        stop_ = true;
        thread_.join();
        for (int fd : fds_)
            if (fd >= 0) ::close(fd);
    }
    SlowClients(const SlowClients &) = delete;
    SlowClients &operator=(const SlowClients &) = delete;
    size_t replaced() const { return replaced_; }

private:
    void keepUp() {
        std::vector<pollfd> entries(fds_.size());
        while (!stop_) {
            for (size_t i = 0; i < fds_.size(); ++i) entries[i] = {fds_[i], POLLIN, 0};
            if (::poll(entries.data(), entries.size(), 20) <= 0) continue;
            // The server closed them: the only thing it ever sends them.
            for (size_t i = 0; i < fds_.size(); ++i) {
                if (entries[i].revents == 0) continue;
                ::close(fds_[i]);
                fds_[i] = -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            for (int &fd : fds_) {
                if (fd >= 0) continue;
                fd = connectAndSend(port_, {0x01});
                ++replaced_;
            }
        }
    }

    const uint16_t port_;
    std::vector<int> fds_;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> replaced_{0};
    std::thread thread_;
};

// One device-list exchange; the number of devices listed, -1 when the server
// refused or broke the exchange.
int listDevices(uint16_t port) {
    Bytes request, reply;
    usbip::appendDevlistRequest(request);
    const int fd = connectAndSend(port, request);
    if (fd < 0) return -1;
    uint8_t chunk[1024];
    for (ssize_t got; (got = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) reply.insert(reply.end(), chunk, chunk + got);
    ::close(fd);
    auto decoded = usbip::decodeDevlistReply(reply);
    return decoded ? static_cast<int>(decoded->devices.size()) : -1;
}

// Sixteen slow clients, as many as the server serves at once, kept there the
// whole time: a device list is still answered at once, and an update
// succeeds. The oldest unfinished request gives way to each new connection.
TEST(UsbipUpdate, SucceedsWhileSlowClientsTryToHoldEveryPlace) {
    TempDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const auto imagePath = directory.path() / "tz4817.img";
    Bytes image(0x6000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 31 + (i >> 7));
    std::ofstream(imagePath, std::ios::binary)
        .write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(image.size()));

    auto flash = projector_emulator::NorFlash::inMemory();
    ProjectorOnUsbip projector(*flash);
    ASSERT_TRUE(projector.started()) << projector.error();

    SlowClients slow(projector.port(), 16);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(listDevices(projector.port()), 1) << "the device list was refused";
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    ::testing::Test::RecordProperty("device_list_ms", static_cast<int>(waited.count()));
    // The slow clients' own deadline is 10 seconds: only giving way answers
    // sooner. A generous bound, so that a loaded machine cannot fail it.
    EXPECT_LT(waited, std::chrono::seconds(5));

    ASSERT_EQ(QRV_USBInit(), 0);
    ASSERT_EQ(QRVDL_SwitchAppToBoot(20), 0);
    ASSERT_EQ(QRVDL_LoadFlash(imagePath.c_str(), 0xFE204000, 0, nullptr, nullptr), 0);
    EXPECT_EQ(QRVDL_CmdWriteProgrammingMode(2), 0);
    EXPECT_EQ(QRV_USBTerm(), 0);
    EXPECT_GT(slow.replaced(), 0u) << "no slow client ever gave way: the test proves nothing";
    const auto contents = flash->contents();
    EXPECT_TRUE(std::equal(image.begin() + 0x4000, image.end(), contents.begin() + 0x4000));
}

}  // namespace
