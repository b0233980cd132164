// SPDX-License-Identifier: MIT
// Programming a range from the image file: what is read, what is sent, the
// host checksum, the progress reports, and every way it fails.
#include <unistd.h>

#include "projector_link.h"
#include "qrvdl.h"

namespace flash_test {
namespace {

using projector_emulator::Fault;

class Program : public ProjectorLink {
protected:
    // Sizes of the download frames' data, in order.
    std::vector<size_t> blockSizes() const {
        std::vector<size_t> sizes;
        for (const auto &record : frames()) {
            if (record.bytes[6] == kDownload) sizes.push_back(record.bytes.size() - 8);
        }
        return sizes;
    }
    Bytes header(size_t index) const { return frames().at(index).bytes; }
};

Bytes slice(const Bytes &bytes, size_t from, size_t count) {
    return Bytes(bytes.begin() + from, bytes.begin() + from + count);
}

TEST_F(Program, ProgressIsReportedAfterMoreThan4096BytesAndAtTheEnd) {
    const uint32_t length = 148 * 56 + 10;
    const Bytes image = imagePattern(0x4000 + length + 500);
    TempFile file(image);
    uint32_t checksum = 0xDEADBEEF;
    EXPECT_EQ(QRVDL_ProgramFlash(file.path().c_str(), 0xFE204000, length, nullptr, &checksum, recordProgrammed), 0);

    // 73 blocks are 4088 bytes, not more than 4096: the first report comes
    // after 74 blocks, then every 74.
    EXPECT_EQ(programmedCalls, (Calls{{4144, length - 4144}, {8288, length - 8288}, {length, 0}}));
    std::vector<size_t> expectedBlocks(148, 56);
    expectedBlocks.push_back(10);
    EXPECT_EQ(blockSizes(), expectedBlocks);
    // The file is read from the flash offset of the start.
    EXPECT_EQ(downloadedData(), slice(image, 0x4000, length));
    EXPECT_EQ(checksum, byteSum(slice(image, 0x4000, length)));

    Bytes expectedOperations{kMode, kAddress, kSize};
    expectedOperations.insert(expectedOperations.end(), 149, kDownload);
    EXPECT_EQ(operations(), expectedOperations);
    EXPECT_EQ(header(0)[7], 1);  // programming mode 1
    EXPECT_EQ(slice(header(1), 7, 3), (Bytes{0x00, 0x40, 0x00}));
    EXPECT_EQ(slice(header(2), 7, 3), (Bytes{0x6A, 0x20, 0x00}));  // 8298
}

TEST_F(Program, ReportIsDueOnlyPastExactly4096Bytes) {
    const Bytes image = imagePattern(0x4000 + 5000);
    TempFile file(image);
    struct Case {
        uint32_t length;
        Calls calls;
    };
    const Case cases[] = {
        {4096, {{4096, 0}}},             // 73 blocks and 8 bytes: not more than 4096
        {4097, {{4097, 0}, {4097, 0}}},  // due at the last block, and the final report as well
    };
    for (const auto &c : cases) {
        programmedCalls.clear();
        uint32_t checksum = 0;
        EXPECT_EQ(QRVDL_ProgramFlash(file.path().c_str(), 0x4000, c.length, nullptr, &checksum, recordProgrammed), 0);
        EXPECT_EQ(programmedCalls, c.calls) << c.length;
    }
}

TEST_F(Program, LengthZeroSendsTheSetupAndNoData) {
    TempFile file(imagePattern(0x8000));
    uint32_t checksum = 0xDEADBEEF;
    EXPECT_EQ(QRVDL_ProgramFlash(file.path().c_str(), 0x4000, 0, nullptr, &checksum, recordProgrammed), 0);
    EXPECT_EQ(operations(), (Bytes{kMode, kAddress, kSize}));
    EXPECT_EQ(slice(header(2), 7, 3), (Bytes{0, 0, 0}));
    EXPECT_EQ(programmedCalls, (Calls{{0, 0}}));
    EXPECT_EQ(checksum, 0u);
}

// The last block carries only what is left of the range, never bytes beyond
// it.
TEST_F(Program, LastBlockStopsAtTheEndOfTheRange) {
    const Bytes image = imagePattern(0x8000);
    TempFile file(image);
    uint32_t checksum = 0;
    EXPECT_EQ(QRVDL_ProgramFlash(file.path().c_str(), 0x4000, 100, nullptr, &checksum, recordProgrammed), 0);
    EXPECT_EQ(blockSizes(), (std::vector<size_t>{56, 44}));
    EXPECT_EQ(downloadedData(), slice(image, 0x4000, 100));
    EXPECT_EQ(checksum, byteSum(slice(image, 0x4000, 100)));
    EXPECT_EQ(programmedCalls, (Calls{{100, 0}}));
}

TEST_F(Program, HostChecksumTakesBytesAsUnsigned) {
    Bytes image(0x4003, 0);
    image[0x4000] = 0xFF;
    image[0x4001] = 0xFF;
    image[0x4002] = 0x01;
    TempFile file(image);
    uint32_t checksum = 0;
    EXPECT_EQ(QRVDL_ProgramFlash(file.path().c_str(), 0x4000, 3, nullptr, &checksum, nullptr), 0);
    EXPECT_EQ(checksum, 0x1FFu);
}

// A range the file does not fill would leave erased flash behind a
// "success": the programming fails, saying how far it got.
TEST_F(Program, FileEndingBeforeTheRangeFails) {
    struct Case {
        size_t fileSize;
        uint32_t start, length;
        std::vector<size_t> blocks;
        const char *line;
    };
    const Case cases[] = {
        {0x4000 + 100, 0x4000, 200, {56, 44}, "Image file ended early [100 of 200 bytes]\n"},
        {0x4000 + 112, 0x4000, 113, {56, 56}, "Image file ended early [112 of 113 bytes]\n"},
        // A start past the end of the file: the seek succeeds, nothing is read.
        {0x1000, 0x4000, 0x100, {}, "Image file ended early [0 of 256 bytes]\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        forgetFrames();
        programmedCalls.clear();
        const Bytes image = imagePattern(c.fileSize);
        TempFile file(image);
        uint32_t checksum = 0xDEADBEEF;
        std::string printed = captureStdout([&] {
            EXPECT_EQ(QRVDL_ProgramFlash(file.path().c_str(), c.start, c.length, nullptr, &checksum, recordProgrammed),
                      1);
        });
        EXPECT_EQ(printed, c.line);
        EXPECT_EQ(blockSizes(), c.blocks);
        const uint32_t done = c.fileSize > c.start ? static_cast<uint32_t>(c.fileSize - c.start) : 0;
        EXPECT_EQ(checksum, done == 0 ? 0 : byteSum(slice(image, c.start, done)));
        // The final report says where programming stopped.
        EXPECT_EQ(programmedCalls, (Calls{{done, c.length - done}}));
    }
}

TEST_F(Program, NullCallbackChangesNothingButTheCalls) {
    const Bytes image = imagePattern(0x4000 + 5000);
    TempFile file(image);
    uint32_t withCallback = 0;
    ASSERT_EQ(QRVDL_ProgramFlash(file.path().c_str(), 0x4000, 5000, nullptr, &withCallback, recordProgrammed), 0);
    const Bytes operationsWith = operations();
    const Bytes dataWith = downloadedData();
    forgetFrames();
    uint32_t withoutCallback = 0;
    ASSERT_EQ(QRVDL_ProgramFlash(file.path().c_str(), 0x4000, 5000, nullptr, &withoutCallback, nullptr), 0);
    EXPECT_EQ(operations(), operationsWith);
    EXPECT_EQ(downloadedData(), dataWith);
    EXPECT_EQ(withoutCallback, withCallback);
    EXPECT_EQ(programmedCalls.size(), 2u);  // only the run that had a callback
}

TEST_F(Program, FileThatCannotBeOpenedIsResultTwo) {
    const std::string path = "/nonexistent-dir/tz4817.img";
    uint32_t checksum = 0xDEADBEEF;
    std::string printed = captureStdout(
        [&] { EXPECT_EQ(QRVDL_ProgramFlash(path.c_str(), 0x4000, 0x100, nullptr, &checksum, recordProgrammed), 2); });
    EXPECT_EQ(printed, "Failed to open file [/nonexistent-dir/tz4817.img]\n");
    EXPECT_EQ(checksum, 0u);
    EXPECT_TRUE(frames().empty());
    EXPECT_TRUE(programmedCalls.empty());
}

TEST_F(Program, FileThatCannotSeekFailsBeforeAnyCommand) {
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    const std::string path = "/proc/self/fd/" + std::to_string(pipeEnds[0]);
    uint32_t checksum = 0;
    std::string printed = captureStdout(
        [&] { EXPECT_EQ(QRVDL_ProgramFlash(path.c_str(), 0x4000, 0x100, nullptr, &checksum, recordProgrammed), 1); });
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    EXPECT_EQ(printed, "Failed to seek to start address\n");
    EXPECT_TRUE(frames().empty());
}

TEST_F(Program, FailedCommandStopsProgrammingWithoutALine) {
    const Bytes image = imagePattern(0x4000 + 1000);
    TempFile file(image);
    struct Case {
        const char *what;
        uint64_t failing;  // frame number after the call begins, from 0
        size_t framesSent;
        uint32_t checksum;
    };
    const Case cases[] = {
        {"mode", 0, 1, 0},
        {"address", 1, 2, 0},
        {"size", 2, 3, 0},
        // The third block fails: the checksum holds the two blocks before it.
        {"download", 5, 6, byteSum(slice(image, 0x4000, 112))},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        forgetFrames();
        programmedCalls.clear();
        fault(Fault::Kind::WrongEcho, nextFrame() + c.failing, nextFrame() + c.failing);
        uint32_t checksum = 0xDEADBEEF;
        std::string printed = captureStdout([&] {
            EXPECT_EQ(QRVDL_ProgramFlash(file.path().c_str(), 0x4000, 1000, nullptr, &checksum, recordProgrammed), 1);
        });
        EXPECT_EQ(printed, "");
        EXPECT_EQ(frames().size(), c.framesSent);
        EXPECT_EQ(checksum, c.checksum);
        EXPECT_TRUE(programmedCalls.empty());
    }
}

TEST_F(Program, NullPathOrChecksumSendsNothing) {
    TempFile file(imagePattern(0x5000));
    uint32_t checksum = 0;
    std::string printed = captureStdout([&] {
        EXPECT_EQ(QRVDL_ProgramFlash(nullptr, 0x4000, 0x100, nullptr, &checksum, recordProgrammed), 1);
        EXPECT_EQ(QRVDL_ProgramFlash(file.path().c_str(), 0x4000, 0x100, nullptr, nullptr, recordProgrammed), 1);
    });
    EXPECT_EQ(printed, "");
    EXPECT_TRUE(frames().empty());
    EXPECT_TRUE(programmedCalls.empty());
}

TEST_F(Program, DeviceChecksumIsCalculatedThenRead) {
    uint32_t checksum = 0xDEADBEEF;
    ASSERT_EQ(QRVDL_CmdWriteFlashAddress(0x4000), 0);
    ASSERT_EQ(QRVDL_CmdWriteFlashSize(0x100), 0);
    forgetFrames();
    EXPECT_EQ(QRVDL_CalculateFlashChecksum(0x12345, 0x6789, &checksum), 0);
    EXPECT_EQ(operations(), (Bytes{0x26, 0x00}));
    EXPECT_EQ(checksum, byteSum(flash_->contents().subspan(0x4000, 0x100)));

    forgetFrames();
    fault(Fault::Kind::WrongEcho, nextFrame(), nextFrame());
    EXPECT_EQ(QRVDL_CalculateFlashChecksum(0, 0, &checksum), 1);
    EXPECT_EQ(checksum, 0u);
    EXPECT_EQ(operations(), (Bytes{0x26}));

    checksum = 0xDEADBEEF;
    fault(Fault::Kind::WrongEcho, nextFrame() + 1, nextFrame() + 1);
    EXPECT_EQ(QRVDL_CalculateFlashChecksum(0, 0, &checksum), 1);
    EXPECT_EQ(checksum, 0u);
}

}  // namespace
}  // namespace flash_test
