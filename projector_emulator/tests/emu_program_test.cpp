// SPDX-License-Identifier: MIT
// The program tz4817-emu as a user (or a script) runs it, and the Debian
// `usbip` tool, written elsewhere, as its client.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <thread>

#include "command_frame/command_frame.h"
#include "test_support/child_process.h"
#include "projector_emulator/device.h"
#include "projector_emulator/faults.h"
#include "projector_emulator/nor_flash.h"
#include "usbip_test_client.h"

namespace projector_emulator::test {
namespace {

namespace fs = std::filesystem;
using test_support::ChildProcess;
using test_support::Launch;
using test_support::RunResult;
using test_support::runToEnd;

const std::string kEmulator = TZ4817_EMU_PATH;

std::vector<uint8_t> readFile(const fs::path &path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// A fresh directory for one test's files.
class TempDirectory {
public:
    TempDirectory() {
        char pattern[] = "/tmp/tz4817-emu-test-XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~TempDirectory() { fs::remove_all(path_); }
    fs::path operator/(const std::string &name) const { return path_ / name; }

private:
    fs::path path_;
};

// A running emulator on an ephemeral loopback port.
class RunningEmulator {
public:
    explicit RunningEmulator(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--listen", "127.0.0.1:0"});
        child_ = std::make_unique<ChildProcess>(Launch{kEmulator, arguments});
        if (!child_->waitForOutput("\n", std::chrono::seconds(20))) return;
        const std::string output = child_->output();
        startLine_ = output.substr(0, output.find('\n'));
        std::smatch match;
        static const std::regex kStart(R"(tz4817-emu: listening on 127\.0\.0\.1:(\d+), .*)");
        if (std::regex_match(startLine_, match, kStart)) port_ = static_cast<uint16_t>(std::stoi(match[1]));
    }
    uint16_t port() const { return port_; }
    const std::string &startLine() const { return startLine_; }
    ChildProcess &process() { return *child_; }

private:
    std::unique_ptr<ChildProcess> child_;
    std::string startLine_;
    uint16_t port_ = 0;
};

// Lists until a device with these ids shows up (the emulator reboots in real
// time here); false after a safety limit.
bool waitForListing(uint16_t port, uint16_t vendorId, uint16_t productId) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        auto reply = UsbipTestClient::list(port);
        if (reply) {
            for (const auto &listed : reply->devices) {
                if (listed.device.idVendor == vendorId && listed.device.idProduct == productId) return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Sends programming mode 1 to the application firmware and waits until the
// projector is back in programming mode.
void switchToProgrammingMode(uint16_t port) {
    UsbipTestClient client(port);
    ASSERT_TRUE(client.import());
    auto ack = client.exchange(stamped(programmingModeFrame(1), 1));
    ASSERT_TRUE(ack) << "mode switch not acknowledged";
    ASSERT_TRUE(client.waitForClose());
    ASSERT_TRUE(waitForListing(port, kBootVendorId, kBootProductId)) << "never came back in programming mode";
}

std::string usbipTool() {
    for (const char *candidate : {"/usr/sbin/usbip", "/usr/bin/usbip", "/sbin/usbip"}) {
        if (::access(candidate, X_OK) == 0) return candidate;
    }
    return {};
}

// --- options --------------------------------------------------------------------

TEST(EmulatorProgram, BadOptionsExitWithStatusTwoAndOneLineOnStandardError) {
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus"},
        {"--reboot-ms"},
        {"--reboot-ms", "soon"},
        {"--erase-ms", "-5"},
        {"--listen", "localhost"},
        {"--listen", "127.0.0.1:65536"},
        {"--listen", "192.0.2.1:3240"},  // not loopback, no --allow-remote
        {"--fault", "explode@3"},
        {"--fault", "drop-reply@0"},
        {"--help=yes"},
        {"--count", "0"},
        {"--count", "17"},
        {"extra"},
    };
    for (const auto &arguments : cases) {
        std::string shown;
        for (const auto &argument : arguments) shown += argument + " ";
        const RunResult result = runToEnd({kEmulator, arguments});
        EXPECT_EQ(result.status, 2) << shown;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << shown << ": " << result.err;
        EXPECT_EQ(result.err.rfind("tz4817-emu: ", 0), 0u) << shown << ": " << result.err;
        EXPECT_TRUE(result.out.empty()) << shown;
    }
}

TEST(EmulatorProgram, HelpListsTheOptionsAndTheFaultGrammar) {
    const RunResult result = runToEnd({kEmulator, {"--help"}});
    EXPECT_EQ(result.status, 0);
    for (const char *option : {"--listen", "--allow-remote", "--flash", "--count", "--reboot-ms", "--erase-ms",
                               "--fault", "-v", "--make-image", "--version", "standard error"})
        EXPECT_NE(result.out.find(option), std::string::npos) << option;
    EXPECT_NE(result.out.find(kFaultGrammar), std::string::npos);
    const RunResult version = runToEnd({kEmulator, {"--version"}});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex("tz4817-emu [0-9]+(\\.[0-9]+)*\n"))) << version.out;
}

// --count 2: two projectors on one server, each with its own flash file.
TEST(EmulatorProgram, CountExportsProjectorsWithAFlashFileEach) {
    TempDirectory directory;
    const fs::path flashFile = directory / "flash.bin";
    RunningEmulator emulator({"--count", "2", "--flash", flashFile.string()});
    EXPECT_NE(emulator.startLine().find(", 2 projectors (1-1 ... 1-2), application mode"), std::string::npos)
        << emulator.startLine();
    const auto listing = UsbipTestClient::list(emulator.port());
    ASSERT_TRUE(listing);
    ASSERT_EQ(listing->devices.size(), 2u);
    EXPECT_EQ(listing->devices[1].device.busId, "1-2");
    for (const char *suffix : {".1", ".2"}) EXPECT_EQ(fs::file_size(flashFile.string() + suffix), 2097152u) << suffix;
    EXPECT_FALSE(fs::exists(flashFile));
    emulator.process().signal(SIGTERM);
    EXPECT_EQ(emulator.process().wait(), 0);
}

// --- running and stopping ------------------------------------------------------------

TEST(EmulatorProgram, StartLineNamesTheAddressTheModeAndTheIds) {
    RunningEmulator emulator({});
    EXPECT_TRUE(std::regex_match(
        emulator.startLine(), std::regex(R"(tz4817-emu: listening on 127\.0\.0\.1:\d+, application mode, e7a2:051e)")))
        << emulator.startLine();
    ASSERT_NE(emulator.port(), 0);
    EXPECT_TRUE(UsbipTestClient::list(emulator.port()));
    emulator.process().signal(SIGINT);
    EXPECT_EQ(emulator.process().wait(), 0);
}

// An update through the program, then SIGTERM: the flash file holds what was
// programmed, complete.
TEST(EmulatorProgram, SigtermEndsCleanlyWithTheFlashFileComplete) {
    TempDirectory directory;
    const fs::path flashFile = directory / "flash.bin";
    RunningEmulator emulator({"--flash", flashFile.string(), "--reboot-ms", "20", "--erase-ms", "1"});
    ASSERT_NE(emulator.port(), 0) << emulator.startLine() << emulator.process().errors();
    ASSERT_NO_FATAL_FAILURE(switchToProgrammingMode(emulator.port()));

    UsbipTestClient client(emulator.port());
    ASSERT_TRUE(client.import());
    uint8_t sequence = 1;
    auto send = [&](const Bytes &frame) { return client.exchange(stamped(frame, ++sequence)); };
    ASSERT_TRUE(send(flashAddressFrame(0x4000)));
    ASSERT_TRUE(send(eraseFrame()));
    bool ready = false;
    for (int poll = 0; poll < 1000 && !ready; ++poll) {
        auto status = send(statusReadFrame());
        ASSERT_TRUE(status && status->size() == 9);
        ready = ((*status)[7] & command_frame::kStatusBusy) == 0;
        if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(ready) << "the erase never ended";
    Bytes data(56);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0x5A ^ i);
    ASSERT_TRUE(send(flashAddressFrame(0x4000)));
    ASSERT_TRUE(send(downloadFrame(data)));

    emulator.process().signal(SIGTERM);
    EXPECT_EQ(emulator.process().wait(), 0) << emulator.process().errors();
    EXPECT_TRUE(client.waitForClose());

    const std::vector<uint8_t> flash = readFile(flashFile);
    ASSERT_EQ(flash.size(), kFlashSize);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin() + 0x4000));
    EXPECT_EQ(flash[0x4000 + 56], 0xFF) << "the rest of the erased sector";
    const std::vector<uint8_t> factory = NorFlash::factoryPattern();
    EXPECT_TRUE(std::equal(factory.begin(), factory.begin() + 0x4000, flash.begin())) << "boot block changed";
}

TEST(EmulatorProgram, VerboseLogsEveryFrameWithOperationSequenceAndMode) {
    RunningEmulator emulator({"-v"});
    ASSERT_NE(emulator.port(), 0);
    {
        UsbipTestClient client(emulator.port());
        ASSERT_TRUE(client.import());
        ASSERT_TRUE(client.exchange(stamped(statusReadFrame(), 7)));
    }
    emulator.process().signal(SIGTERM);
    ASSERT_EQ(emulator.process().wait(), 0);
    const std::string log = emulator.process().errors();
    EXPECT_NE(log.find("frame 1: status read (op 0x01), seq 7, application mode"), std::string::npos) << log;
    EXPECT_NE(log.find("imported 1-1"), std::string::npos) << log;
}

// A drill's controls: a projector already in programming mode, a reply held
// back until SIGUSR1 ends the faults, and a power cut that ends the program
// with the flash file as the chip holds it.
TEST(EmulatorProgram, Sigusr1EndsTheFaultsAndAPowerCutEndsTheProgramWithItsFlash) {
    {
        RunningEmulator emulator({"--programming-mode", "--fault", "late-reply@1:600000"});
        ASSERT_NE(emulator.port(), 0) << emulator.process().errors();
        EXPECT_NE(emulator.startLine().find("programming mode, e7b9:2000"), std::string::npos) << emulator.startLine();
        UsbipTestClient client(emulator.port());
        ASSERT_TRUE(client.import());
        client.submitOut(1, stamped(statusReadFrame(), 9));
        auto written = client.receive();
        ASSERT_TRUE(written && written->status == 0);
        client.submitIn(1, 255);  // pending: the reply is held back for ten minutes
        emulator.process().signal(SIGUSR1);
        ASSERT_TRUE(emulator.process().waitForOutput("tz4817-emu: faults cleared\n", std::chrono::seconds(20)));
        auto reply = client.receive();
        ASSERT_TRUE(reply && reply->data.size() == 9) << "the held reply did not come";
        EXPECT_EQ(reply->data[1], 9);
        EXPECT_EQ(reply->data[7] & 0x01, 0x01) << "not in programming mode";
        emulator.process().signal(SIGTERM);
        EXPECT_EQ(emulator.process().wait(), 0);
    }
    TempDirectory directory;
    const fs::path flashFile = directory / "flash.bin";
    RunningEmulator emulator({"--flash", flashFile.string(), "--fault", "power-cut@2"});
    ASSERT_NE(emulator.port(), 0) << emulator.process().errors();
    UsbipTestClient client(emulator.port());
    ASSERT_TRUE(client.import());
    ASSERT_TRUE(client.exchange(stamped(statusReadFrame(), 1)));
    client.submitOut(1, stamped(statusReadFrame(), 2));
    EXPECT_EQ(emulator.process().wait(), 3);
    EXPECT_NE(emulator.process().errors().find("tz4817-emu: power cut at frame 2\n"), std::string::npos)
        << emulator.process().errors();
    EXPECT_TRUE(client.waitForClose());
    EXPECT_EQ(readFile(flashFile), NorFlash::factoryPattern());
}

// --- the demo image ---------------------------------------------------------------------

TEST(EmulatorProgram, MakeImageWritesADeterministicNewFirmwareImage) {
    TempDirectory directory;
    const fs::path first = directory / "a.img";
    const fs::path second = directory / "b.img";
    ASSERT_EQ(runToEnd({kEmulator, {"--make-image", first.string()}}).status, 0);
    ASSERT_EQ(runToEnd({kEmulator, {"--make-image", second.string()}}).status, 0);
    const std::vector<uint8_t> image = readFile(first);
    ASSERT_EQ(image.size(), 2097152u);
    EXPECT_EQ(image, readFile(second)) << "not deterministic";
    const std::string banner = "TZ4817 APPLICATION v2.0";
    EXPECT_TRUE(std::equal(banner.begin(), banner.end(), image.begin() + 0x4000));

    // Flashing it must change the application area almost everywhere, or a
    // flash check could not tell an update from none.
    const std::vector<uint8_t> factory = NorFlash::factoryPattern();
    size_t differing = 0;
    for (size_t offset = 0x4000; offset < image.size(); ++offset) differing += image[offset] != factory[offset];
    EXPECT_GT(differing, (image.size() - 0x4000) * 9 / 10);

    EXPECT_EQ(runToEnd({kEmulator, {"--make-image", (directory / "missing" / "x.img").string()}}).status, 1);
}

// --- a USB/IP peer written by no one here ---------------------------------------------------

TEST(EmulatorProgram, DebianUsbipToolListsTheProjectorBeforeAndAfterAModeSwitch) {
    const std::string tool = usbipTool();
    if (tool.empty()) GTEST_SKIP() << "the usbip tool is not installed (Debian package usbip)";
    RunningEmulator emulator({"--reboot-ms", "20"});
    ASSERT_NE(emulator.port(), 0);
    const std::string port = std::to_string(emulator.port());

    RunResult before = runToEnd({tool, {"--tcp-port", port, "list", "-r", "127.0.0.1"}});
    EXPECT_EQ(before.status, 0) << before.err;
    EXPECT_NE(before.out.find("1-1"), std::string::npos) << before.out;
    EXPECT_NE(before.out.find("e7a2:051e"), std::string::npos) << before.out;
    EXPECT_NE(before.out.find("(ff/00/00)"), std::string::npos) << "interface record: " << before.out;

    ASSERT_NO_FATAL_FAILURE(switchToProgrammingMode(emulator.port()));
    RunResult after = runToEnd({tool, {"--tcp-port", port, "list", "-r", "127.0.0.1"}});
    EXPECT_EQ(after.status, 0) << after.err;
    EXPECT_NE(after.out.find("e7b9:2000"), std::string::npos) << after.out;
    EXPECT_EQ(after.out.find("e7a2:051e"), std::string::npos) << after.out;

    emulator.process().signal(SIGTERM);
    EXPECT_EQ(emulator.process().wait(), 0);
}

// `usbip attach` sends a real import request before it needs the kernel's
// vhci-hcd. Only where that module is absent, so nothing is attached to this
// machine's kernel.
TEST(EmulatorProgram, DebianUsbipToolImportIsAnsweredAndUnknownBusIdRefused) {
    const std::string tool = usbipTool();
    if (tool.empty()) GTEST_SKIP() << "the usbip tool is not installed (Debian package usbip)";
    if (fs::exists("/sys/devices/platform/vhci_hcd.0"))
        GTEST_SKIP() << "vhci-hcd is loaded: attach would attach the emulator to this machine's kernel";
    RunningEmulator emulator({"-v"});
    ASSERT_NE(emulator.port(), 0);
    const std::string port = std::to_string(emulator.port());

    RunResult unknown = runToEnd({tool, {"--tcp-port", port, "attach", "-r", "127.0.0.1", "-b", "9-9"}});
    EXPECT_NE(unknown.status, 0);
    EXPECT_NE(unknown.err.find("Device not found"), std::string::npos) << unknown.err;

    RunResult known = runToEnd({tool, {"--tcp-port", port, "attach", "-r", "127.0.0.1", "-b", "1-1"}});
    // It fails later, at the kernel module; the import itself must not.
    EXPECT_EQ(known.err.find("Attach Request for 1-1 failed"), std::string::npos) << known.err;
    EXPECT_EQ(known.err.find("recv"), std::string::npos) << known.err;

    emulator.process().signal(SIGTERM);
    EXPECT_EQ(emulator.process().wait(), 0);
    EXPECT_NE(emulator.process().errors().find("imported 1-1"), std::string::npos) << emulator.process().errors();
}

}  // namespace
}  // namespace projector_emulator::test
