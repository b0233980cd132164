// SPDX-License-Identifier: MIT
// The whole download and the boot switch: results, the lines printed in
// order, what reaches the flash, and the state of the link afterwards.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "projector_link.h"
#include "qrvdl.h"
#include "qrvusb.h"

namespace flash_test {
namespace {

using projector_emulator::Fault;

// A file of 16 KB of boot-sector bytes (which must never be read) followed by
// 4 KB of image: one sector to erase, 74 downloads.
constexpr uint32_t kSmallImage = 0x1000;
// Frames of a download of it: identity 2, status 1, mode 1, one sector 3,
// mode/address/size 3, 74 downloads, then calculation and checksum read.
constexpr uint64_t kFirstEraseFrame = 4;
constexpr uint64_t kFirstDownloadFrame = 10;
constexpr uint64_t kCalculateFrame = 84;
constexpr uint64_t kChecksumReadFrame = 85;

Bytes imageFile(uint32_t imageBytes) {
    Bytes file(0x4000, 0xB5);  // bytes the device must never receive
    const Bytes image = imagePattern(imageBytes);
    file.insert(file.end(), image.begin(), image.end());
    return file;
}

class LoadFlash : public ProjectorLink {
protected:
    int32_t load(const std::string &path, uint32_t start, uint32_t length, std::string &printed) {
        int32_t result = -1;
        printed = captureStdout(
            [&] { result = QRVDL_LoadFlash(path.c_str(), start, length, recordErased, recordProgrammed); });
        return result;
    }
    std::string sizeLine(const TempFile &file, size_t size) {
        return "File[" + file.path() + "] Size[" + std::to_string(size) + "]\n";
    }
};

TEST_F(LoadFlash, SuccessfulDownloadPrintsOneLineAndProgramsTheRange) {
    const Bytes file = imageFile(0x9000);
    TempFile image(file);
    const Bytes factory = projector_emulator::NorFlash::factoryPattern();
    std::string printed;
    EXPECT_EQ(load(image.path(), 0xFE204000, 0, printed), 0);
    EXPECT_EQ(printed, sizeLine(image, file.size()));

    // Length 0: from the start offset to the end of the file.
    auto flash = flash_->contents();
    EXPECT_TRUE(std::equal(flash.begin() + 0x4000, flash.begin() + 0xD000, file.begin() + 0x4000));
    EXPECT_TRUE(std::all_of(flash.begin() + 0xD000, flash.begin() + 0x10000, [](uint8_t b) { return b == 0xFF; }));
    EXPECT_TRUE(std::equal(flash.begin() + 0x10000, flash.end(), factory.begin() + 0x10000));
    // The boot sector is neither erased nor programmed, and the file's first
    // 16 KB never reach the device.
    EXPECT_TRUE(std::equal(flash.begin(), flash.begin() + 0x4000, factory.begin()));
    EXPECT_EQ(downloadedData(), Bytes(file.begin() + 0x4000, file.end()));

    EXPECT_EQ(erasedCalls, (Calls{{0x4000, 0}, {0x6000, 0}, {0x8000, 0}}));
    ASSERT_FALSE(programmedCalls.empty());
    EXPECT_EQ(programmedCalls.back(), (std::pair<uint32_t, uint32_t>{0x9000, 0}));

    const Bytes ops = operations();
    const Bytes head{kInformation, kInformation, kStatus,  kMode,  kAddress, kErase, kStatus,  kAddress,
                     kErase,       kStatus,      kAddress, kErase, kStatus,  kMode,  kAddress, kSize};
    ASSERT_GT(ops.size(), head.size() + 2);
    EXPECT_EQ(Bytes(ops.begin(), ops.begin() + head.size()), head);
    EXPECT_EQ(Bytes(ops.end() - 2, ops.end()), (Bytes{kCalculate, kInformation}));
    EXPECT_EQ(static_cast<size_t>(std::count(ops.begin(), ops.end(), kDownload)), 0x9000u / 56 + 1);
}

TEST_F(LoadFlash, WholeFlashImageFitsFromTheSecondSector) {
    const Bytes file = imagePattern(0x200000);
    TempFile image(file);
    std::string printed;
    EXPECT_EQ(load(image.path(), 0xFE204000, 0, printed), 0);
    EXPECT_EQ(printed, sizeLine(image, 0x200000));
    auto flash = flash_->contents();
    EXPECT_TRUE(std::equal(flash.begin() + 0x4000, flash.end(), file.begin() + 0x4000));
    EXPECT_EQ(erasedCalls.size(), 34u);
    EXPECT_EQ(programmedCalls.back(), (std::pair<uint32_t, uint32_t>{0x1FC000, 0}));
}

// Only the start sector of an empty range could be erased, and nothing would
// be programmed into it: nothing is erased.
TEST_F(LoadFlash, FileEndingAtTheStartErasesNothing) {
    TempFile image(imageFile(0));
    const Bytes before(flash_->contents().begin(), flash_->contents().end());
    std::string printed;
    EXPECT_EQ(load(image.path(), 0xFE204000, 0, printed), 0);
    EXPECT_EQ(printed, sizeLine(image, 0x4000));
    EXPECT_EQ(operations(),
              (Bytes{kInformation, kInformation, kStatus, kMode, kMode, kAddress, kSize, kCalculate, kInformation}));
    EXPECT_TRUE(erasedCalls.empty());
    EXPECT_EQ(programmedCalls, (Calls{{0, 0}}));
    EXPECT_TRUE(std::equal(before.begin(), before.end(), flash_->contents().begin()));
}

// Each failure prints its fixed lines on standard output and says on
// standard error where and in which step it stopped (the transport's line on
// the failed exchange comes before it).
TEST_F(LoadFlash, FailuresPrintTheirLinesInOrder) {
    struct Case {
        const char *what;
        std::function<void(LoadFlash &)> arrange;
        uint32_t start, length;
        std::vector<std::string> lines;  // after the size line
        int32_t result;
        std::string said = {};  // on standard error; empty: nothing at all
    };
    const Case cases[] = {
        {"identity read fails",
         [](LoadFlash &t) { t.fault(Fault::Kind::WrongEcho, t.nextFrame(), t.nextFrame()); },
         0xFE204000,
         0,
         {"Failed to read flash device ID\n", "Bad address\n"},
         3,
         "tz4817: the reply to the flash information read (manufacturer) command answered another command (echo "},
        {"start outside the flash",
         nullptr,
         0xFE600000,
         0x100,
         {"Bad start address [0xfe600000]\n", "Bad address\n"},
         3},
        {"end outside the flash", nullptr, 0xFE204000, 0x1FC001, {"Bad length [2080769]\n", "Bad address\n"}, 3},
        {"erase command fails",
         [](LoadFlash &t) {
             t.fault(Fault::Kind::WrongEcho, t.nextFrame() + kFirstEraseFrame + 1,
                     t.nextFrame() + kFirstEraseFrame + 1);
         },
         0xFE204000,
         0,
         {"Failed to erase flash\n"},
         1,
         "tz4817: the erase stopped at the sector at 0x004000: its flash sector erase command failed\n"},
        {"device stays busy after the erase",
         [](LoadFlash &t) { t.fault(Fault::Kind::BusyAfterErase, 0, 0, 10); },
         0xFE204000,
         0,
         {"Failed to erase flash\n"},
         1,
         "tz4817: the sector at 0x004000 was being erased, but no status read of 10, 500 ms apart, found the "
         "projector ready (10 answered busy, 0 got no answer)\n"},
        {"a download fails",
         [](LoadFlash &t) {
             t.fault(Fault::Kind::WrongEcho, t.nextFrame() + kFirstDownloadFrame + 3,
                     t.nextFrame() + kFirstDownloadFrame + 3);
         },
         0xFE204000,
         0,
         {"Failed to program flash\n"},
         1,
         "tz4817: programming stopped at flash offset 0x0040A8 (168 of 4096 bytes sent): its flash data download "
         "command failed\n"},
        {"file shorter than the length",
         nullptr,
         0xFE204000,
         kSmallImage + 1,
         {"Image file ended early [4096 of 4097 bytes]\n", "Failed to program flash\n"},
         1},
        {"checksum calculation fails",
         [](LoadFlash &t) {
             t.fault(Fault::Kind::WrongEcho, t.nextFrame() + kCalculateFrame, t.nextFrame() + kCalculateFrame);
         },
         0xFE204000,
         0,
         {"Checksum calculation failed\n"},
         1,
         "tz4817: the projector's checksum could not be had: its flash checksum calculation command failed\n"},
        {"checksum read fails",
         [](LoadFlash &t) {
             t.fault(Fault::Kind::WrongEcho, t.nextFrame() + kChecksumReadFrame, t.nextFrame() + kChecksumReadFrame);
         },
         0xFE204000,
         0,
         {"Checksum calculation failed\n"},
         1,
         "tz4817: the projector's checksum could not be had: its flash information read (checksum) failed\n"},
        {"a byte went wrong in the flash",
         [](LoadFlash &t) { t.fault(Fault::Kind::FlipBit, 0, 0, 3, 0x4123); },
         0xFE204000,
         0,
         {"Checksum FAILED\n"},
         1,
         "tz4817: the projector's checksum of the flash range, 0x"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        restart(fastProjector());
        TempFile image(imageFile(kSmallImage));
        if (c.arrange) c.arrange(*this);
        std::string printed;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(load(image.path(), c.start, c.length, printed), c.result);
        const std::string said = ::testing::internal::GetCapturedStderr();
        std::string expected = sizeLine(image, 0x4000 + kSmallImage);
        for (const auto &line : c.lines) expected += line;
        EXPECT_EQ(printed, expected);
        if (c.said.empty())
            EXPECT_EQ(said, "");
        else
            EXPECT_NE(said.find(c.said), std::string::npos) << said;
    }
}

// The transport's line about a failed transfer comes first, then the
// download's own line, in the order they happened.
TEST_F(LoadFlash, TransferFailureLinesPrecedeTheDownloadsLine) {
    struct Case {
        uint8_t operation;
        const char *line;
    };
    const Case cases[] = {
        {kErase, "Failed to erase flash\n"},
        {kSize, "Failed to program flash\n"},
        {kCalculate, "Checksum calculation failed\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        restart(fastProjector());
        TempFile image(imageFile(kSmallImage));
        failReadAfter(c.operation);
        std::string printed;
        EXPECT_EQ(load(image.path(), 0xFE204000, 0, printed), 1);
        EXPECT_EQ(printed, sizeLine(image, 0x5000) + "Reseting USB\n" + c.line);
    }
}

TEST_F(LoadFlash, ForeignFlashIsRejected) {
    setRewriter([](std::span<uint8_t> reply) {
        if (reply.size() >= 15 && reply[6] == kInformation && reply[7] == 0x0D) reply[13] = 0xC4;
    });
    TempFile image(imageFile(kSmallImage));
    std::string printed;
    EXPECT_EQ(load(image.path(), 0xFE204000, 0, printed), 3);
    EXPECT_EQ(printed, sizeLine(image, 0x5000) + "Unknown flash device [0x22c4]\n" + "Bad address\n");
    EXPECT_EQ(operations(), (Bytes{kInformation, kInformation}));
}

TEST_F(LoadFlash, MissingFileSendsNothing) {
    std::string printed;
    EXPECT_EQ(load("/nonexistent-dir/tz4817.img", 0xFE204000, 0, printed), 2);
    EXPECT_EQ(printed, "Bad file [/nonexistent-dir/tz4817.img]\n");
    EXPECT_TRUE(frames().empty());
    EXPECT_EQ(QRVDL_LoadFlash(nullptr, 0xFE204000, 0, nullptr, nullptr), 1);
    EXPECT_TRUE(frames().empty());
}

// Each line is on standard output when the call returns, not in a stdio
// buffer, so that it keeps its place among other writers' output. (Run from
// ctest, standard output is a pipe and fully buffered.)
TEST_F(LoadFlash, LinesReachStandardOutputAtOnce) {
    TempFile capture(Bytes{}, "stdout.txt");
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    const int file = ::open(capture.path().c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(file, 0);
    ::dup2(file, STDOUT_FILENO);
    ::close(file);
    const int32_t result = QRVDL_LoadFlash("/nonexistent-dir/tz4817.img", 0xFE204000, 0, nullptr, nullptr);
    std::ifstream in(capture.path());
    const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    EXPECT_EQ(result, 2);
    EXPECT_EQ(written, "Bad file [/nonexistent-dir/tz4817.img]\n");
}

TEST_F(LoadFlash, FileShorterThanTheStartIsRejectedByTheRangeCheck) {
    TempFile image(imagePattern(0x3000));
    std::string printed;
    EXPECT_EQ(load(image.path(), 0xFE204000, 0, printed), 3);
    // 0x3000 - 0x4000 has no valid length: it wraps to 0xFFFFF000.
    EXPECT_EQ(printed, sizeLine(image, 0x3000) + "Bad length [4294963200]\n" + "Bad address\n");
}

std::string fileToRemove;
void removeFileWhenErased(uint32_t, uint32_t) { std::filesystem::remove(fileToRemove); }

TEST_F(LoadFlash, FileThatVanishesBeforeProgrammingFails) {
    TempFile image(imageFile(kSmallImage));
    fileToRemove = image.path();
    std::string printed = captureStdout(
        [&] { EXPECT_EQ(QRVDL_LoadFlash(image.path().c_str(), 0xFE204000, 0, removeFileWhenErased, nullptr), 1); });
    EXPECT_EQ(printed,
              sizeLine(image, 0x5000) + "Failed to open file [" + image.path() + "]\n" + "Failed to program flash\n");
}

TEST_F(LoadFlash, FileThatCannotSeekFails) {
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    const std::string path = "/proc/self/fd/" + std::to_string(pipeEnds[0]);
    std::string printed;
    EXPECT_EQ(load(path, 0xFE204000, 0x100, printed), 1);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    EXPECT_EQ(printed,
              "File[" + path + "] Size[0]\n" + "Failed to seek to start address\n" + "Failed to program flash\n");
}

// The status read and the first programming-mode command are courtesy: the
// download goes on whatever they return.
TEST_F(LoadFlash, FailedStatusReadOrFirstModeCommandDoesNotStopIt) {
    for (uint64_t failing : {2, 3}) {
        SCOPED_TRACE(failing == 2 ? "status read" : "mode command");
        restart(fastProjector());
        TempFile image(imageFile(kSmallImage));
        fault(Fault::Kind::WrongEcho, nextFrame() + failing, nextFrame() + failing);
        std::string printed;
        EXPECT_EQ(load(image.path(), 0xFE204000, 0, printed), 0);
        EXPECT_EQ(printed, sizeLine(image, 0x5000));
        EXPECT_EQ(frames().size(), kChecksumReadFrame + 1);
    }
}

class SwitchAppToBoot : public ProjectorLink {
protected:
    void SetUp() override {
        ProjectorLink::SetUp();
        restart(fastProjector(projector_emulator::Mode::Application));
    }
    bool linkAnswers() {
        uint8_t status = 0;
        return QRVDL_CmdReadStatus(&status) == 0;
    }
};

TEST_F(SwitchAppToBoot, ReopensTheLinkToTheDeviceInProgrammingMode) {
    for (uint32_t pause : {0u, 40u}) {
        SCOPED_TRACE(pause);
        restart(fastProjector(projector_emulator::Mode::Application));
        EXPECT_EQ(QRVDL_SwitchAppToBoot(pause), 0);
        EXPECT_EQ(pauses_, std::vector<uint32_t>{pause});
        EXPECT_EQ(device_->presence().mode, projector_emulator::Mode::Programming);
        auto received = frames();
        ASSERT_EQ(received.size(), 2u);
        EXPECT_EQ(received[0].mode, projector_emulator::Mode::Application);
        EXPECT_EQ(received[0].bytes[6], kMode);
        EXPECT_EQ(received[0].bytes[7], 1);
        EXPECT_EQ(received[1].mode, projector_emulator::Mode::Programming);
        EXPECT_EQ(received[1].bytes[6], kStatus);
        EXPECT_TRUE(linkAnswers());
    }
}

TEST_F(SwitchAppToBoot, FailedModeCommandLeavesTheLinkAlone) {
    fault(Fault::Kind::WrongEcho, nextFrame(), nextFrame());
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(QRVDL_SwitchAppToBoot(0), 1);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("tz4817: the switch into programming mode failed: its programming mode 1 command failed\n"),
              std::string::npos)
        << said;
    EXPECT_TRUE(busAlive()) << "the link was closed";
    EXPECT_TRUE(pauses_.empty());
    EXPECT_EQ(frames().size(), 1u);
}

TEST_F(SwitchAppToBoot, FailedReopenLeavesTheLinkClosed) {
    refuseNewBuses();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(QRVDL_SwitchAppToBoot(0), 1);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.rfind("tz4817: the switch into programming mode failed: the link could not be opened again after 0 "
                         "ms (status 0x",
                         0),
              0u)
        << said;
    EXPECT_FALSE(busAlive());
    EXPECT_FALSE(linkAnswers());
    EXPECT_EQ(frames().size(), 1u);
    // Closed, not half open: the caller can open it again.
    allowNewBuses();
    EXPECT_EQ(QRV_USBInit(), 0);
    EXPECT_TRUE(linkAnswers());
}

TEST_F(SwitchAppToBoot, DeviceThatNeverAnswersFailsWithTheLinkOpen) {
    fault(Fault::Kind::WrongEcho, nextFrame() + 1, nextFrame() + 10);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(QRVDL_SwitchAppToBoot(0), 1);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("tz4817: the projector came back in programming mode, but no status read of 10, 500 ms apart, "
                        "found the projector ready (0 answered busy, 10 got no answer)\n"),
              std::string::npos)
        << said;
    std::vector<uint32_t> expected{0};
    expected.insert(expected.end(), 10, 500);
    EXPECT_EQ(pauses_, expected);
    EXPECT_TRUE(busAlive());
    EXPECT_TRUE(linkAnswers());
}

// A device that is still starting up answers busy at first: the switch waits
// for it instead of failing at its first answer.
TEST_F(SwitchAppToBoot, BusyFirstAnswersAreWaitedOut) {
    int busyAnswers = 3;
    setRewriter([&](std::span<uint8_t> reply) {
        if (reply.size() > 7 && reply[6] == kStatus && busyAnswers > 0) {
            --busyAnswers;
            reply[7] |= 0x08;
        }
    });
    EXPECT_EQ(QRVDL_SwitchAppToBoot(0), 0);
    EXPECT_EQ(pauses_, (std::vector<uint32_t>{0, 500, 500, 500}));
    EXPECT_EQ(operations(), (Bytes{kMode, kStatus, kStatus, kStatus, kStatus}));

    restart(fastProjector(projector_emulator::Mode::Application));
    busyAnswers = 100;
    EXPECT_EQ(QRVDL_SwitchAppToBoot(0), 1);
    EXPECT_TRUE(busAlive());
}

}  // namespace
}  // namespace flash_test
