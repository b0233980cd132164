// SPDX-License-Identifier: MIT
// tz4817-update end to end: the program against tz4817-emu over USB/IP, with
// a real flash file, and against USB/IP servers that break the protocol.
// Every update includes the 5-second pause of the switch into programming
// mode, so only a few tests run one, and only one of them writes a whole
// 2 MB image.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <pty.h>
#include <sstream>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "test_support/child_process.h"
#include "test_support/scripted_usbip_server.h"

namespace headless_update::test {
namespace {

namespace fs = std::filesystem;
using test_support::ChildProcess;
using test_support::Launch;
using test_support::readFile;
using test_support::RunResult;
using test_support::runToEnd;

constexpr size_t kBootSectorSize = 0x4000;
constexpr size_t kFullImageSize = 2097152;
// The boot sector and 128 KB to program: long enough to be interrupted.
constexpr size_t kSmallImageSize = kBootSectorSize + 0x20000;
constexpr char kWarning[] = "Do NOT interrupt upgrade after it starts!\n";

std::vector<std::string> linesOf(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

size_t countOf(const std::string &text, const std::string &part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// A loopback port with nobody listening: bound, never listened on, and kept
// bound while the test runs, so that no other test can take it meanwhile.
class DeadAddress {
public:
    DeadAddress() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &size) != 0)
            return;
        text_ = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    }
    ~DeadAddress() {
        if (fd_ >= 0) ::close(fd_);
    }
    DeadAddress(const DeadAddress &) = delete;
    DeadAddress &operator=(const DeadAddress &) = delete;
    const std::string &text() const { return text_; }

private:
    int fd_;
    std::string text_;
};

// A pseudo-terminal without output processing (line feeds stay line feeds);
// a thread reads everything written to it until the last writer is gone.
class PseudoTerminal {
public:
    bool open() {
        if (::openpty(&primary_, &secondary_, nullptr, nullptr, nullptr) != 0) return false;
        ::fcntl(primary_, F_SETFD, FD_CLOEXEC);
        ::fcntl(secondary_, F_SETFD, FD_CLOEXEC);
        termios settings{};
        ::tcgetattr(secondary_, &settings);
        settings.c_oflag &= ~OPOST;
        ::tcsetattr(secondary_, TCSANOW, &settings);
        reader_ = std::thread([this] {
            char chunk[4096];
            ssize_t got;
            while ((got = ::read(primary_, chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR))
                if (got > 0) text_.append(chunk, static_cast<size_t>(got));
        });
        return true;
    }
    ~PseudoTerminal() {
        closeSecondary();
        if (reader_.joinable()) reader_.join();
        if (primary_ >= 0) ::close(primary_);
    }
    int secondary() const { return secondary_; }
    void closeSecondary() {
        if (secondary_ >= 0) ::close(secondary_);
        secondary_ = -1;
    }
    // After the program has ended: all it wrote.
    std::string everything() {
        closeSecondary();
        if (reader_.joinable()) reader_.join();
        return text_;
    }

private:
    int primary_ = -1, secondary_ = -1;
    std::thread reader_;
    std::string text_;
};

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tz4817-update-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory_ = pattern;
        image_ = directory_ / "tz4817.img";
        flash_ = directory_ / "flash.bin";
        const RunResult made = runToEnd({EMULATOR_PROGRAM, {"--make-image", image_.string()}});
        ASSERT_EQ(made.status, 0) << made.err;
        ASSERT_EQ(fs::file_size(image_), kFullImageSize);
        ASSERT_FALSE(deadAddress_.text().empty());
    }

    // The demo image cut to its first `bytes`: a shorter update.
    void shortenImage(size_t bytes) { fs::resize_file(image_, bytes); }

    void TearDown() override {
        stopEmulator();
        fs::remove_all(directory_);
    }

    // Starts the emulated projector with a fresh flash; keeps a copy of its
    // factory contents. `-v` logs every frame it receives.
    void startEmulator(std::vector<std::string> extra = {}) {
        std::vector<std::string> arguments{
            "--listen", "127.0.0.1:0", "--flash", flash_.string(), "--reboot-ms", "100", "--erase-ms", "1", "-v"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        emulator_ = std::make_unique<ChildProcess>(Launch{EMULATOR_PROGRAM, arguments});
        ASSERT_TRUE(emulator_->waitForOutput("listening on ", std::chrono::seconds(30))) << emulator_->errors();
        const std::string line = emulator_->output();
        const size_t from = line.find("listening on ") + 13;
        address_ = line.substr(from, line.find(',', from) - from);
        // With --count the flash files are flash.bin.1, .2, ...; all start alike.
        const bool several = std::find(extra.begin(), extra.end(), "--count") != extra.end();
        factoryFlash_ = readFile(flash_.string() + (several ? ".1" : ""));
        ASSERT_EQ(factoryFlash_.size(), kFullImageSize);
    }

    // Stops the emulator; its frame log (standard error).
    std::string stopEmulator() {
        if (!emulator_) return {};
        emulator_->signal(SIGTERM);
        EXPECT_EQ(emulator_->wait(std::chrono::seconds(30)), 0);
        std::string log = emulator_->errors();
        emulator_.reset();
        return log;
    }

    Launch update(std::vector<std::string> arguments, const std::string &address) {
        arguments.insert(arguments.begin(), {"-C", directory_.string()});
        return Launch{UPDATE_PROGRAM, arguments, {"QRV_USBIP=" + address}};
    }

    void expectFlashUpdated(const std::string &suffix = "") {
        const std::string flash = readFile(flash_.string() + suffix);
        const std::string image = readFile(image_.string());
        ASSERT_EQ(flash.size(), kFullImageSize);
        ASSERT_LE(image.size(), flash.size());
        const size_t programmed = image.size() - kBootSectorSize;
        EXPECT_TRUE(flash.compare(kBootSectorSize, programmed, image, kBootSectorSize, programmed) == 0)
            << "the flash differs from the image after 0x4000";
        EXPECT_TRUE(flash.compare(0, kBootSectorSize, factoryFlash_, 0, kBootSectorSize) == 0)
            << "the boot sector was touched";
    }

    DeadAddress deadAddress_;
    fs::path directory_, image_, flash_;
    std::string address_, factoryFlash_;
    std::unique_ptr<ChildProcess> emulator_;
};

// One full run, checked for everything a successful update must show; its
// standard input and output are files, so it neither asks nor draws in place.
TEST_F(ProgramTest, UpdateWritesTheImageAndReportsInPlainLines) {
    startEmulator();
    const RunResult run = runToEnd(update({}, address_));
    const std::string log = stopEmulator();
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    expectFlashUpdated();
    EXPECT_NE(log.find("tz4817-emu: frame "), std::string::npos);  // the frame log works
    EXPECT_EQ(run.err, "");

    const std::string &out = run.out;
    EXPECT_EQ(out.find('\r'), std::string::npos);
    EXPECT_EQ(out.find("Start the update?"), std::string::npos);
    EXPECT_EQ(out.rfind("Number of bytes to download: 2097152\nDo NOT interrupt upgrade after it starts!\n", 0), 0u);
    // The library's line in its place among the stage lines: it names the
    // private copy of the image that the download reads.
    const std::vector<std::string> order{
        "[ ] Connecting to the projector\n",
        "File[/proc/self/fd/",
        "] Size[2097152]\n",
        "[x] Connecting to the projector\n",
        "[ ] Cleaning projector memory\n",
        "[x] Cleaning projector memory\n",
        "[ ] Downloading upgrade image\n",
        "[x] Downloading upgrade image\n",
        "Update is Done!\n",
    };
    size_t at = 0;
    for (const std::string &line : order) {
        const size_t found = out.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << out;
        at = found + line.size();
    }
    size_t progressLines = 0;
    for (const std::string &line : linesOf(out)) progressLines += line.rfind("  [", 0) == 0;
    EXPECT_LE(progressLines, 2u * 21u);
    EXPECT_GE(progressLines, 30u);
}

TEST_F(ProgramTest, MissingImageSendsNothingToTheProjector) {
    startEmulator();
    const fs::path empty = directory_ / "empty";
    fs::create_directory(empty);
    const RunResult run = runToEnd({UPDATE_PROGRAM, {"--yes", "-C", empty.string()}, {"QRV_USBIP=" + address_}});
    const std::string log = stopEmulator();
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Bad file [tz4817.img]: No such file or directory\n");
    EXPECT_EQ(log.find("frame"), std::string::npos) << log;
    EXPECT_EQ(readFile(flash_.string()), factoryFlash_);
}

// PATH names the image, or the folder holding tz4817.img (relative to -C's
// directory): that file is checked and downloaded, not the current
// directory's.
TEST_F(ProgramTest, PathArgumentChoosesTheImageThatIsDownloaded) {
    shortenImage(kSmallImageSize);
    fs::create_directory(directory_ / "firmware");
    fs::rename(image_, directory_ / "firmware" / "tz4817.img");
    image_ = directory_ / "firmware" / "tz4817.img";
    startEmulator();
    const RunResult missing = runToEnd(update({"--yes", "firmware/other.img"}, address_));
    EXPECT_EQ(missing.status, 3);
    EXPECT_EQ(missing.err, "Bad file [firmware/other.img]: No such file or directory\n");
    const RunResult run = runToEnd(update({"--yes", "firmware"}, address_));
    stopEmulator();
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("] Size[" + std::to_string(kSmallImageSize) + "]\n"), std::string::npos) << run.out;
    expectFlashUpdated();
}

// Whatever goes wrong is said on standard error, and at once when it is
// known at once: (setup -> first line on standard error, when it appears,
// exit status). The program's test build, whose attach wait the test
// shortens: the 30 seconds themselves are waited in the transport's
// end-to-end tests.
TEST_F(ProgramTest, EveryFailureIsSaidOnStandardErrorAsSoonAsItIsKnown) {
    using test_support::ScriptedUsbipServer;
    auto listed = [](int) { return test_support::listing(true); };
    enum class When { AtOnce, WhileWaiting, AfterTheWait };
    struct Case {
        const char *what;
        std::optional<ScriptedUsbipServer::Script> server;  // else the dead address
        std::string address;                                // instead of either
        int64_t imageSize;
        std::string firstLine;  // "SERVER" stands for the server's address
        When when;
        int status;
    };
    const int64_t good = static_cast<int64_t>(kSmallImageSize);
    const std::vector<Case> cases = {
        {"malformed QRV_USBIP",
         {},
         "127.0.0.1:99999",
         good,
         "tz4817-update: QRV_USBIP='127.0.0.1:99999' is not of the form HOST[:PORT]",
         When::AtOnce,
         2},
        {"server refuses the connection",
         {},
         "",
         good,
         "tz4817: USB/IP server SERVER refused the connection",
         When::WhileWaiting,
         3},
        {"no projector", ScriptedUsbipServer::Script{[](int) { return test_support::listing(false); }, {}, {}}, "",
         good, "Failed to initialize QRV USB", When::AfterTheWait, 3},
        {"malformed device list",
         ScriptedUsbipServer::Script{[](int) { return std::vector<uint8_t>(24, 0xA5); }, {}, {}}, "", good,
         "tz4817: USB/IP server SERVER sent a malformed device list", When::AtOnce, 3},
        {"refused import",
         ScriptedUsbipServer::Script{
             listed, test_support::refusal(usbip::kOpRepImport, usbip::kOpStatusDeviceError), {}},
         "", good, "tz4817: USB/IP server SERVER refused to import 1-1 (status 3: device error)", When::AtOnce, 3},
        {"malformed import reply", ScriptedUsbipServer::Script{listed, test_support::importOk("9-9"), {}}, "", good,
         "tz4817: USB/IP server SERVER sent a malformed import reply for 1-1 (it names 9-9)", When::AtOnce, 3},
        {"reply that breaks the protocol",
         ScriptedUsbipServer::Script{listed, test_support::importOk(),
                                     [](const usbip::CmdSubmit &) { return std::vector<uint8_t>(48, 0xA5); }},
         "", good, "tz4817: USB/IP server SERVER broke the protocol on 1-1: it sent a message that is not USB/IP",
         When::AtOnce, 3},
        {"empty image", {}, "", 0, "Bad file [tz4817.img]: empty (0 bytes)", When::AtOnce, 3},
        {"image of the boot sector alone",
         {},
         "",
         0x4000,
         "Nothing to write: tz4817.img is 16384 bytes, only the boot sector",
         When::AtOnce,
         3},
        {"image larger than the flash",
         {},
         "",
         0x200001,
         "Bad file [tz4817.img]: 2097153 bytes, more than the 2097152-byte flash holds",
         When::AtOnce,
         3},
    };
    // The attach wait each case is given. What must come at once is told
    // from what waits by a wait far longer than any start of the program
    // under a sanitizer on a loaded machine; a case that must outlast its
    // wait costs that wait, so it gets a short one, and a case said while
    // waiting one long enough to say it first.
    auto waitFor = [](When when) {
        return std::chrono::seconds(when == When::AtOnce ? 60 : when == When::WhileWaiting ? 15 : 4);
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<ScriptedUsbipServer> server;
        if (c.server) server = std::make_unique<ScriptedUsbipServer>(*c.server);
        const std::string address = !c.address.empty() ? c.address : server ? server->address() : deadAddress_.text();
        fs::resize_file(image_, static_cast<uintmax_t>(c.imageSize));
        Launch launch = update({"--yes"}, address);
        launch.program = SHORT_WAIT_PROGRAM;
        const auto kWait = waitFor(c.when);
        launch.environment.push_back("QRV_TEST_ATTACH_WAIT_SECONDS=" + std::to_string(kWait.count()));
        const auto start = std::chrono::steady_clock::now();
        ChildProcess program(launch);
        ASSERT_TRUE(program.waitForErrors("\n", std::chrono::seconds(60))) << program.errors();
        const auto said = std::chrono::steady_clock::now() - start;
        const std::optional<int> status = program.wait();
        const auto ended = std::chrono::steady_clock::now() - start;

        std::string expected = c.firstLine;
        if (const size_t at = expected.find("SERVER"); at != std::string::npos) expected.replace(at, 6, address);
        const std::string err = program.errors();
        EXPECT_EQ(err.rfind(expected, 0), 0u) << err;
        EXPECT_EQ(status, c.status) << err;
        EXPECT_EQ(program.output().find("Update is Done!"), std::string::npos);
        const auto seconds = [](auto d) { return std::chrono::duration<double>(d).count(); };
        switch (c.when) {
        case When::AtOnce:  // said and ended before the wait would have ended
            EXPECT_LT(ended, kWait) << "ended after " << seconds(ended) << " s";
            break;
        case When::WhileWaiting:  // said while the wait went on, which then ran out
            EXPECT_LT(said, kWait) << "said after " << seconds(said) << " s";
            EXPECT_GE(ended, kWait) << "ended after " << seconds(ended) << " s";
            break;
        case When::AfterTheWait: EXPECT_GE(said, kWait) << "said after " << seconds(said) << " s"; break;
        }
    }
}

// Runs on a terminal (standard output and error on one pseudo-terminal), so
// it also shows the bar drawn in place and every other line, the libraries'
// included, starting on a line of its own.
TEST_F(ProgramTest, ChecksumMismatchIsAFailureNeverASuccess) {
    shortenImage(kSmallImageSize);
    startEmulator({"--fault", "flip-bit=0x5000"});
    PseudoTerminal terminal;
    ASSERT_TRUE(terminal.open());
    Launch launch = update({"--yes"}, address_);
    launch.standardOutput = launch.standardError = terminal.secondary();
    ChildProcess program(launch);
    terminal.closeSecondary();
    const std::optional<int> status = program.wait();
    stopEmulator();
    const std::string screen = terminal.everything();
    EXPECT_EQ(status, 1) << screen;  // the flash was touched
    EXPECT_NE(screen.find("The flash may be partly erased or written"), std::string::npos) << screen;
    const std::string fileLine = "File[/proc/self/fd/";
    for (const std::string &line :
         {fileLine, std::string("[x] Cleaning projector memory\n"), std::string("Checksum FAILED\n"),
          std::string("Failed to load flash\n"), std::string("Update Failed!\n"),
          std::string("tz4817: the projector's checksum of the flash range")})
        EXPECT_NE(screen.find("\n" + line), std::string::npos) << "not on its own line: " << line;
    EXPECT_NE(screen.find("\r  [#"), std::string::npos);
    EXPECT_EQ(screen.find("Update is Done!"), std::string::npos);
    EXPECT_EQ(screen.find("[x] Downloading upgrade image"), std::string::npos);
    EXPECT_EQ(screen.find("100%"), std::string::npos);
}

TEST_F(ProgramTest, StopSignalsDuringProgrammingDoNotStopTheUpdate) {
    shortenImage(kSmallImageSize);
    startEmulator();
    ChildProcess program(update({"--yes"}, address_));
    ASSERT_TRUE(program.waitForOutput("[ ] Downloading upgrade image\n")) << program.output() << program.errors();
    program.signal(SIGINT);
    program.signal(SIGTERM);
    const std::optional<int> status = program.wait();
    stopEmulator();
    ASSERT_EQ(status, 0) << program.output() << program.errors();
    EXPECT_NE(program.output().find("Update is Done!\n"), std::string::npos);
    EXPECT_EQ(countOf(program.errors(), kWarning), 2u) << program.errors();
    expectFlashUpdated();
}

// Two projectors on one server: both listed, never chosen between, and the
// one chosen is the one written while the other's flash stays byte for byte.
TEST_F(ProgramTest, TwoProjectorsAreListedNeverGuessedAndTheChosenOneIsWritten) {
    shortenImage(kSmallImageSize);
    startEmulator({"--count", "2"});
    const std::string server = "USB/IP server " + address_;
    RunResult run = runToEnd(update({"--list"}, address_));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "1-1          e7a2:051e  application  " + server + "\n1-2          e7a2:051e  application  " +
                           server + "\n");
    run = runToEnd(update({"--list", "--json"}, address_));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "{\"bus\": \"usbip\", \"server\": \"" + address_ +
                           "\", \"projectors\": [{\"place\": \"1-1\", \"usb_id\": \"e7a2:051e\", \"mode\": "
                           "\"application\", \"busy\": false, \"holder\": null}, {\"place\": \"1-2\", \"usb_id\": "
                           "\"e7a2:051e\", \"mode\": \"application\", \"busy\": false, \"holder\": null}]}\n");

    run = runToEnd(update({"--yes"}, address_));
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.err.rfind("tz4817-update: 2 projectors are attached (" + server +
                                "); choose the one to update with --device PLACE:\n  1-1 ",
                            0),
              0u)
        << run.err;
    EXPECT_NE(run.err.find("\n  1-2 "), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");

    run = runToEnd(update({"--yes", "--device", "1-2", "-v"}, address_));
    const std::string log = stopEmulator();
    EXPECT_EQ(run.status, 0) << run.err;
    expectFlashUpdated(".2");
    EXPECT_EQ(readFile(flash_.string() + ".1"), factoryFlash_) << "the other projector's flash changed";
    EXPECT_EQ(log.find("tz4817-emu: 1-1 frame"), std::string::npos) << "a frame went to the other projector";
    // -v: the transport's trace and every frame, with its direction.
    EXPECT_NE(run.err.find(" frame out 9: "), std::string::npos) << run.err.substr(0, 2000);
    EXPECT_NE(run.err.find(" frame in 6: "), std::string::npos);
}

// Killed after it sent a frame and before it read the reply, a run leaves
// that reply in the projector's IN endpoint. The next run, against the same
// projector still running, must not take it for the reply to its own first
// command: it updates.
TEST_F(ProgramTest, RunAfterAKillBetweenAFrameAndItsReplyUpdates) {
    shortenImage(kSmallImageSize);
    // Frame 200 is in the middle of the download; the projector holds its
    // reply back, so the program is surely waiting for it when it is killed.
    startEmulator({"--fault", "late-reply@200:600000"});
    ChildProcess killed(update({"--yes"}, address_));
    ASSERT_TRUE(emulator_->waitForErrors("tz4817-emu: frame 200: flash data download")) << emulator_->errors();
    killed.signal(SIGKILL);
    ASSERT_EQ(killed.wait(), std::nullopt) << "ended before the kill: " << killed.output() << killed.errors();
    // Once the projector's server has seen the dead program's connection
    // close, nobody waits for the reply any more: the fault ends, and the
    // reply is ready, unread, in the IN endpoint.
    ASSERT_TRUE(emulator_->waitForErrors("connection closed: closed by the client")) << emulator_->errors();
    emulator_->signal(SIGUSR1);
    ASSERT_TRUE(emulator_->waitForOutput("tz4817-emu: faults cleared\n"));

    const RunResult rerun = runToEnd(update({"--yes"}, address_));
    EXPECT_EQ(rerun.status, 0) << rerun.out << rerun.err;
    stopEmulator();
    expectFlashUpdated();
}

// The image written over in place (a newer image copied over it, same size,
// other bytes) while the update runs: during the switch into programming
// mode the update refuses it as changed, touching nothing; during the erase
// and during the programming it goes on with the image as it was checked.
// Either way the flash never holds part of one image and part of the other.
TEST_F(ProgramTest, ImageWrittenOverDuringTheUpdateNeverReachesTheFlashHalfway) {
    shortenImage(kSmallImageSize);
    const std::string checked = readFile(image_.string());
    const std::string newer(checked.size(), '\x3C');
    struct Case {
        const char *when;
        std::string frameText;  // written over once the projector logs this
        int status;
    } cases[] = {
        {"during the switch", "frame 1: programming mode", 3},
        {"during the erase", ": flash sector erase", 0},
        {"during the programming", ": flash data download", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.when);
        {
            std::ofstream restore(image_, std::ios::binary | std::ios::trunc);
            restore.write(checked.data(), static_cast<std::streamsize>(checked.size()));
        }
        // Erases of 300 ms each: the erase lasts beyond the write. The switch
        // pauses 3 s when the write is to come during it.
        startEmulator({"--erase-ms", "300"});
        Launch launch = update({"--yes"}, address_);
        launch.program = SHORT_WAIT_PROGRAM;
        launch.environment.push_back(std::string("QRV_TEST_SWITCH_PAUSE_MS=") + (c.status == 3 ? "3000" : "500"));
        ChildProcess program(launch);
        ASSERT_TRUE(emulator_->waitForErrors(c.frameText, std::chrono::seconds(60))) << emulator_->errors();
        {
            std::fstream inPlace(image_, std::ios::binary | std::ios::in | std::ios::out);
            inPlace.write(newer.data(), static_cast<std::streamsize>(newer.size()));
        }
        const std::optional<int> status = program.wait();
        stopEmulator();
        const std::string flash = readFile(flash_.string());
        const size_t range = checked.size() - kBootSectorSize;
        EXPECT_EQ(status, c.status) << program.output() << program.errors();
        if (c.status == 0) {
            EXPECT_TRUE(flash.compare(kBootSectorSize, range, checked, kBootSectorSize, range) == 0)
                << "the flash is not the image as it was checked";
        } else {
            EXPECT_NE(program.errors().find("Bad file [tz4817.img]: changed since it was checked"), std::string::npos)
                << program.errors();
            EXPECT_EQ(flash, factoryFlash_) << "the flash was touched";
        }
    }
}

// Every fault of the projector is named on standard error, where both
// programs collect what they say: the command, what happened to it, and
// where in the flash the update stopped. The program's test build, with a
// short switch pause; an image of one sector.
TEST_F(ProgramTest, EachFaultOfTheProjectorIsNamedOnStandardError) {
    shortenImage(kBootSectorSize + 0x2000);
    struct Case {
        std::vector<std::string> emulator;  // options beside the defaults
        int status;
        std::vector<std::string> words;  // on standard error; OFFSET: where programming stopped
    };
    const std::string download = "the flash data download command";
    const std::string stopped = "tz4817: programming stopped at flash offset OFFSET";
    const std::vector<Case> cases = {
        {{"--fault", "drop-reply@100"}, 1, {"tz4817: no reply to " + download + " within 2000 ms\n", stopped}},
        {{"--fault", "late-reply@100:3000"}, 1, {"tz4817: no reply to " + download + " within 2000 ms\n", stopped}},
        {{"--fault", "wrong-echo@100"},
         1,
         {"tz4817: the reply to " + download + " answered another command (echo ", stopped}},
        {{"--fault", "short-reply@100:1"},
         1,
         {"tz4817: the reply to " + download + " was 1 byte long, too short to tell which command it answers\n",
          stopped}},
        {{"--fault", "leave@100"},
         1,
         {"tz4817: the projector left the bus during " + download + "\n", stopped,
          "tz4817: the projector has left the bus: the programming mode 2 command was not sent\n"}},
        {{"--fault", "reboot@100"}, 1, {"tz4817: the projector left the bus during " + download + "\n", stopped}},
        {{"--fault", "busy-after-erase=10"},
         1,
         {"tz4817: the sector at 0x004000 was being erased, but no status read of 10, 500 ms apart, found the "
          "projector ready (10 answered busy, 0 got no answer)\n"}},
        {{"--fault", "silent-while-erasing", "--erase-ms", "2200"},
         0,
         {"tz4817: no reply to the status read command within 2000 ms\n"}},
        {{"--fault", "flip-bit=0x5000"},
         1,
         {"tz4817: the projector's checksum of the flash range, 0x", ", differs from the sum of the image bytes sent"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.emulator[1]);
        startEmulator(c.emulator);
        Launch launch = update({"--yes"}, address_);
        launch.program = SHORT_WAIT_PROGRAM;
        launch.environment.push_back("QRV_TEST_SWITCH_PAUSE_MS=200");
        const RunResult run = runToEnd(launch);
        const std::string log = stopEmulator();
        EXPECT_EQ(run.status, c.status) << run.err;
        // Where programming stopped at frame 100: 56 bytes for every download before it.
        size_t downloads = 0;
        for (const std::string &line : linesOf(log)) {
            const size_t at = line.find("tz4817-emu: frame ");
            if (at != 0 || line.find(": flash data download") == std::string::npos) continue;
            if (std::stoul(line.substr(18)) < 100) ++downloads;
        }
        char offset[16];
        std::snprintf(offset, sizeof offset, "0x%06zX", kBootSectorSize + downloads * 56);
        for (std::string words : c.words) {
            if (const size_t at = words.find("OFFSET"); at != std::string::npos) words.replace(at, 6, offset);
            EXPECT_NE(run.err.find(words), std::string::npos) << "missing: " << words << "\n" << run.err;
        }
    }
}

// Two updaters on one projector, the second started with the first, while
// the first waits for the projector to restart in programming mode (its
// link closed), and while it programs: one updates it, the other sends
// nothing to it, ends with status 3 and names the process updating it; the
// list shows the projector busy meanwhile. The projector answers four
// download frames late (1.9 s each, within the updater's 2 s): the update
// lasts long enough for the second program and the lists to run however
// loaded the machine is.
TEST_F(ProgramTest, SecondUpdaterOfAProjectorLeavesItAloneAndNamesTheFirst) {
    shortenImage(kSmallImageSize);
    const std::string server = "USB/IP server ";
    for (const char *when : {"", "frame 1: programming mode", "frame 100: flash data download"}) {
        SCOPED_TRACE(*when ? when : "together");
        startEmulator({"--fault", "late-reply@100-103:1900"});
        ChildProcess first(update({"--yes"}, address_));
        if (*when) {
            ASSERT_TRUE(emulator_->waitForErrors(when, std::chrono::seconds(60))) << emulator_->errors();
        }
        ChildProcess second(update({"--yes"}, address_));
        // Whichever took it (started together, either may): the other says so
        // at once, long before the update ends.
        const std::string named = " is being updated by process ";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (first.errors().find(named) == std::string::npos && second.errors().find(named) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const bool secondRefused = second.errors().find(named) != std::string::npos;
        ChildProcess &updating = secondRefused ? first : second;
        ChildProcess &refused = secondRefused ? second : first;
        const pid_t holder = updating.pid();
        // Listed once it is on the bus: it may be restarting into
        // programming mode just now.
        auto listing = [&](std::vector<std::string> arguments) {
            RunResult run;
            for (int attempt = 0; attempt < 50; ++attempt) {
                run = runToEnd(update(arguments, address_));
                if (run.out.find("1-1") != std::string::npos) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            return run;
        };
        const RunResult listed = listing({"--list"});
        const RunResult json = listing({"--list", "--json"});
        const std::optional<int> refusedStatus = refused.wait();
        const std::optional<int> updatingStatus = updating.wait();
        const std::string log = stopEmulator();

        EXPECT_EQ(updatingStatus, 0) << updating.output() << updating.errors();
        EXPECT_EQ(refusedStatus, 3) << refused.output() << refused.errors();
        EXPECT_NE(refused.errors().find("tz4817: the projector at 1-1 of " + server + address_ +
                                        " is being updated by process " + std::to_string(holder) +
                                        " (tz4817-update)\n"),
                  std::string::npos)
            << refused.errors();
        EXPECT_NE(refused.errors().find("Another program is updating the projector; nothing was sent to it"),
                  std::string::npos);
        EXPECT_NE(listed.out.find("  " + server + address_ + "  busy (process " + std::to_string(holder) +
                                  ", tz4817-update)\n"),
                  std::string::npos)
            << listed.out;
        EXPECT_NE(json.out.find("\"busy\": true, \"holder\": {\"pid\": " + std::to_string(holder) +
                                ", \"program\": \"tz4817-update\"}"),
                  std::string::npos)
            << json.out;
        // The projector saw only the updating program: once in each mode.
        EXPECT_EQ(countOf(log, ": imported 1-1 "), 2u) << log;
        expectFlashUpdated();
    }
}

TEST_F(ProgramTest, DecliningTheConfirmationStartsNothing) {
    int terminal = -1, input = -1;
    ASSERT_EQ(::openpty(&terminal, &input, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(::write(terminal, "n\n", 2), 2);
    // Were the answer ignored, the update would wait for a projector here
    // and fail with the link message.
    const RunResult run =
        runToEnd({UPDATE_PROGRAM, {"-C", directory_.string()}, {"QRV_USBIP=" + deadAddress_.text()}, "", input});
    ::close(input);
    ::close(terminal);
    EXPECT_EQ(run.status, 3);
    EXPECT_NE(run.out.find(kWarning), std::string::npos);
    EXPECT_NE(run.out.find("Start the update? [y/N] "), std::string::npos);
    EXPECT_NE(run.out.find("Update not started.\n"), std::string::npos);
    EXPECT_EQ(run.err, "");
}

TEST_F(ProgramTest, HelpTellsTheExitStatusesAndVersionIsTheProjects) {
    const RunResult help = runToEnd({UPDATE_PROGRAM, {"--help"}});
    EXPECT_EQ(help.status, 0);
    for (const char *line : {"  0  the projector was updated", "  1  the update failed after the flash was touched",
                             "  2  bad usage", "  3  nothing was changed", "--list", "--json", "--device PLACE", "-v"})
        EXPECT_NE(help.out.find(line), std::string::npos) << line;
    const RunResult version = runToEnd({UPDATE_PROGRAM, {"--version"}});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("tz4817-update ", 0), 0u);
    EXPECT_EQ(version.out.find_first_not_of("0123456789.\n", 14), std::string::npos) << version.out;
}

TEST_F(ProgramTest, BadUsageIsOneLineAndStatusTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus"}, {"-C"}, {"a.img", "b.img"}, {"-C", (directory_ / "missing").string()}, {"--device"}, {"--json"},
    };
    for (const auto &arguments : cases) {
        const RunResult run = runToEnd({UPDATE_PROGRAM, arguments, {"QRV_USBIP=" + deadAddress_.text()}});
        EXPECT_EQ(run.status, 2) << arguments.front();
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(countOf(run.err, "\n"), 1u) << run.err;
        EXPECT_EQ(run.err.rfind("tz4817-update: ", 0), 0u) << run.err;
    }
}

}  // namespace
}  // namespace headless_update::test
