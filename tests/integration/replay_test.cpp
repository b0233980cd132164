// SPDX-License-Identifier: MIT
// The recordings of tests/recordings/ replayed (tz4817-emu --replay) through
// the updater's test build: each run ends as the recorded one did, with its
// exit status and its messages, and the replay ends at the recording's end.
// An updater that sends another frame than the recording's is named and
// ends the replay with status 4.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "update_sequence/run_recording.h"
#include "test_support/child_process.h"
#include "usb_recording/recording.h"

namespace replay::test {
namespace {

namespace fs = std::filesystem;
using test_support::ChildProcess;
using test_support::Launch;
using test_support::RunResult;
using test_support::runToEnd;

constexpr size_t kBootSectorSize = 0x4000;

// What a recording says of its run: the image it wrote and how it ended.
struct Recorded {
    uint64_t imageSize = 0;
    uint32_t imageSum = 0;
    update_sequence::RecordedEnd end;
};

Recorded readRecorded(const std::string &path) {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(usb_recording::readWholeFile(path, bytes, error)) << error;
    std::vector<std::string> notes;
    EXPECT_TRUE(usb_recording::scanRecording(
        bytes,
        [&](const usb_recording::Entry &entry) {
            if (entry.kind == usb_recording::Entry::Kind::Note) notes.emplace_back(entry.comment);
            return true;
        },
        error))
        << error;
    Recorded recorded;
    std::smatch image;
    static const std::regex kImage("image: [^,]+, ([0-9]+) bytes; sum 0x([0-9a-f]{8})");
    if (notes.empty() || !std::regex_search(notes.front(), image, kImage)) {
        ADD_FAILURE() << path << ": no start of the run";
        return recorded;
    }
    recorded.imageSize = std::stoull(image[1]);
    recorded.imageSum = static_cast<uint32_t>(std::stoul(image[2], nullptr, 16));
    const auto end = update_sequence::parseRecordedEnd(notes.back());
    if (!end) {
        ADD_FAILURE() << path << ": no end of the run";
        return recorded;
    }
    recorded.end = *end;
    return recorded;
}

class ReplayTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tz4817-replay-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory_ = pattern;
        const RunResult made = runToEnd({EMULATOR_PROGRAM, {"--make-image", (directory_ / "demo.img").string()}});
        ASSERT_EQ(made.status, 0) << made.err;
        demo_ = test_support::readFile((directory_ / "demo.img").string());
    }
    void TearDown() override { fs::remove_all(directory_); }

    // The image the recordings were made with: the demo image cut to `size`
    // bytes, which must sum as the recording says.
    void writeImage(const Recorded &recorded, size_t changedAt = 0) {
        ASSERT_GT(recorded.imageSize, kBootSectorSize);
        std::string image = demo_.substr(0, recorded.imageSize);
        uint32_t sum = 0;
        for (size_t i = kBootSectorSize; i < image.size(); ++i) sum += static_cast<uint8_t>(image[i]);
        ASSERT_EQ(sum, recorded.imageSum)
            << "the demo image is not what the recordings were made with: run tests/recordings/make-recordings.sh";
        if (changedAt) image[changedAt] = static_cast<char>(image[changedAt] ^ 0x5A);
        std::ofstream(directory_ / "tz4817.img", std::ios::binary) << image;
    }

    struct Replayed {
        RunResult update;
        std::optional<int> replayStatus;
        std::string replayLog;
    };

    // The recording played back at full speed to the updater's test build.
    Replayed replay(const std::string &recording) {
        Replayed replayed;
        ChildProcess emulator(
            Launch{EMULATOR_PROGRAM, {"--replay", recording, "--replay-speed", "0", "--listen", "127.0.0.1:0"}});
        if (!emulator.waitForOutput("listening on ", std::chrono::seconds(30))) {
            ADD_FAILURE() << "the replay did not start: " << emulator.errors();
            return replayed;
        }
        const std::string line = emulator.output();
        const size_t from = line.find("listening on ") + 13;
        const std::string address = line.substr(from, line.find(',', from) - from);
        replayed.update = runToEnd(
            Launch{SHORT_WAIT_PROGRAM,
                   {"--yes", "-C", directory_.string()},
                   {"QRV_USBIP=" + address, "QRV_TEST_SWITCH_PAUSE_MS=100", "QRV_TEST_ATTACH_WAIT_SECONDS=5"}});
        replayed.replayStatus = emulator.wait(std::chrono::seconds(30));
        replayed.replayLog = emulator.errors();
        return replayed;
    }

    fs::path directory_;
    std::string demo_;
};

TEST_F(ReplayTest, EachRecordedRunEndsAsItDidWhenReplayed) {
    for (const char *name : {"update.pcapng", "checksum-failed.pcapng", "reply-never-came.pcapng",
                             "left-mid-download.pcapng", "rerun-after-kill.pcapng"}) {
        SCOPED_TRACE(name);
        const std::string path = std::string(RECORDINGS_DIR) + "/" + name;
        const Recorded recorded = readRecorded(path);
        writeImage(recorded);
        const Replayed replayed = replay(path);
        EXPECT_EQ(replayed.update.status, recorded.end.exitStatus) << replayed.update.err;
        if (recorded.end.messages.empty())
            EXPECT_EQ(replayed.update.err, "");
        else
            EXPECT_NE(replayed.update.err.find(recorded.end.messages), std::string::npos)
                << "recorded: " << recorded.end.messages << "replayed: " << replayed.update.err;
        EXPECT_EQ(replayed.replayStatus, 0) << replayed.replayLog;
        EXPECT_NE(replayed.replayLog.find("the recording was played to its end"), std::string::npos)
            << replayed.replayLog;
    }
}

// Another image: its fifth download frame carries other data, the first
// frame that differs from the recording's.
TEST_F(ReplayTest, AFrameThatDiffersIsNamedWithBothBytesAndEndsTheReplayWithFour) {
    const std::string path = std::string(RECORDINGS_DIR) + "/update.pcapng";
    writeImage(readRecorded(path), kBootSectorSize + 4 * 56 + 10);
    const Replayed replayed = replay(path);
    EXPECT_EQ(replayed.replayStatus, 4) << replayed.replayLog;
    const std::regex named("the updater's frame ([0-9]+) differs from the recording's \\(packet [0-9]+ of the "
                           "recording\\)\n"
                           "tz4817-emu:   recording: 02 ([0-9a-f]{2}) 00 3a 00 34 25( [0-9a-f]{2}){57}\n"
                           "tz4817-emu:   updater:   02 \\2 00 3a 00 34 25( [0-9a-f]{2}){57}\n");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(replayed.replayLog, match, named)) << replayed.replayLog;
    EXPECT_EQ(match[1], "17");  // the fifth download frame (make-recordings.sh numbers them)
    // The updater fails and says so; nothing more was answered.
    EXPECT_EQ(replayed.update.status, 1) << replayed.update.err;
    EXPECT_NE(replayed.update.err.find("Failed to load flash"), std::string::npos) << replayed.update.err;
}

}  // namespace
}  // namespace replay::test
