// The update sequence without any window: which library calls it makes in
// which order, what it reports, and the percentages it computes.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "switch_pause.h"
#include "update_sequence.h"

namespace updater {
namespace {

// A scripted library: results to give and callbacks to make.
struct Script {
    int32_t init = 0, term = 0, switchToBoot = 0, load = 0;
    std::vector<uint32_t> erase, download;
};

Script script;
std::vector<std::string> calls;
std::string loadedPath;

const UpdateLibrary kFakeLibrary{
    [] {
        calls.push_back("init");
        return script.init;
    },
    [] {
        calls.push_back("term");
        return script.term;
    },
    [](uint32_t pauseMs) {
        calls.push_back("switch " + std::to_string(pauseMs));
        return script.switchToBoot;
    },
    [](const char *path, uint32_t start, uint32_t length, ProgressCallback onErased, ProgressCallback onProgrammed) {
        calls.push_back("load " + std::to_string(start) + " " + std::to_string(length));
        loadedPath = path;
        for (uint32_t offset : script.erase) onErased(offset, 0);
        for (uint32_t bytes : script.download) onProgrammed(bytes, 12345);
        return script.load;
    },
    [](int32_t mode) {
        calls.push_back("mode " + std::to_string(mode));
        return 0;
    },
};

// Records every report as one line; notes which library calls had been made
// when a message was shown.
class RecordingReporter : public UpdateReporter {
public:
    std::vector<std::string> reports;
    std::vector<size_t> callsAtMessage;

    void stageBegan(Stage stage) override { reports.push_back("began " + std::to_string(int(stage))); }
    void stageDone(Stage stage) override { reports.push_back("done " + std::to_string(int(stage))); }
    void progress(uint32_t bytes, uint32_t percent) override {
        reports.push_back("progress " + std::to_string(bytes) + " " + std::to_string(percent));
    }
    void message(const std::string &text) override {
        reports.push_back("message " + text);
        callsAtMessage.push_back(calls.size());
    }
    void completed(uint32_t length) override { reports.push_back("completed " + std::to_string(length)); }
    void failed() override { reports.push_back("failed"); }
};

const std::string kStart = std::to_string(kLoadStartAddress);

class UpdateSequenceTest : public ::testing::Test {
protected:
    void SetUp() override {
        script = {};
        calls.clear();
        loadedPath.clear();
    }
    UpdateSequence::Result run(uint32_t imageLength = 2097152, std::string path = "tz4817.img") {
        UpdateSequence sequence(kFakeLibrary, reporter, std::move(path), imageLength);
        return sequence.run();
    }
    RecordingReporter reporter;
};

TEST_F(UpdateSequenceTest, SuccessfulUpdateCallsTheLibrariesInOrderAndEndsCompleted) {
    script.erase = {16384, 24576};
    script.download = {56, 112};
    EXPECT_EQ(run(), UpdateSequence::Result::Done);
    EXPECT_EQ(calls, (std::vector<std::string>{"init", "switch 5000", "load " + kStart + " 0", "mode 2", "term"}));
    EXPECT_EQ(loadedPath, "tz4817.img");
    EXPECT_EQ(reporter.reports,
              (std::vector<std::string>{"done 1", "began 2", "progress 16384 0", "progress 24576 1", "done 1",
                                        "began 3", "done 2", "progress 56 0", "progress 112 0", "completed 2097152"}));
}

// Only the drill's test build shortens the switch pause, and never beyond
// the whole pause; 0 gives it back.
TEST_F(UpdateSequenceTest, SwitchPauseIsShortenedOnlyThroughTheTestHook) {
    testing::SetSwitchPause(std::chrono::milliseconds(20));
    EXPECT_EQ(run(), UpdateSequence::Result::Done);
    testing::SetSwitchPause(std::chrono::hours(1));
    EXPECT_EQ(run(), UpdateSequence::Result::Done);
    testing::SetSwitchPause(std::chrono::milliseconds(0));
    EXPECT_EQ(run(), UpdateSequence::Result::Done);
    EXPECT_EQ(calls, (std::vector<std::string>{"init", "switch 20", "load " + kStart + " 0", "mode 2", "term", "init",
                                               "switch 5000", "load " + kStart + " 0", "mode 2", "term", "init",
                                               "switch 5000", "load " + kStart + " 0", "mode 2", "term"}));
}

// Every way an update can fail ends in failed(), never in completed(), with
// the message (if any) shown before the link is closed.
struct FailureCase {
    const char *name;
    Script script;
    std::vector<std::string> calls;
    const char *message;  // null: none
    size_t callsBeforeMessage;
};

void PrintTo(const FailureCase &failure, std::ostream *out) { *out << failure.name; }

class UpdateFailureTest : public UpdateSequenceTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(UpdateFailureTest, FailureEndsFailedNeverCompleted) {
    const FailureCase &failure = GetParam();
    script = failure.script;
    EXPECT_EQ(run(), UpdateSequence::Result::Failed);
    EXPECT_EQ(calls, failure.calls);
    ASSERT_FALSE(reporter.reports.empty());
    EXPECT_EQ(reporter.reports.back(), "failed");
    for (const std::string &report : reporter.reports) EXPECT_EQ(report.rfind("completed", 0), std::string::npos);
    if (failure.message) {
        ASSERT_EQ(reporter.callsAtMessage.size(), 1u);
        EXPECT_EQ(reporter.callsAtMessage[0], failure.callsBeforeMessage);
        EXPECT_NE(
            std::find(reporter.reports.begin(), reporter.reports.end(), std::string("message ") + failure.message),
            reporter.reports.end());
    } else {
        EXPECT_TRUE(reporter.callsAtMessage.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, UpdateFailureTest,
    ::testing::Values(FailureCase{"LinkNotOpened", Script{.init = 0x20000015}, {"init", "term"}, kInitFailedMessage, 1},
                      // The switch failed but the link closed: the load still runs (on the
                      // closed link it fails) and the projector is told to leave
                      // programming mode.
                      FailureCase{"SwitchFailedLinkClosed",
                                  Script{.switchToBoot = 1, .load = 1},
                                  {"init", "switch 5000", "term", "load " + kStart + " 0", "mode 2", "term"},
                                  kLoadFailedMessage,
                                  4},
                      FailureCase{"SwitchFailedLinkWouldNotClose",
                                  Script{.term = 1, .switchToBoot = 1},
                                  {"init", "switch 5000", "term"},
                                  nullptr,
                                  0},
                      FailureCase{"LoadFailedAfterProgress",
                                  Script{.load = 1, .erase = {16384}, .download = {56}},
                                  {"init", "switch 5000", "load " + kStart + " 0", "mode 2", "term"},
                                  kLoadFailedMessage,
                                  3},
                      FailureCase{"ImageNotExamined",
                                  Script{.load = 2},
                                  {"init", "switch 5000", "load " + kStart + " 0", "mode 2", "term"},
                                  kLoadFailedMessage,
                                  3}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(UpdateSequenceTest, SwitchFailureWithCleanCloseStillSucceedsWhenTheLoadDoes) {
    script.switchToBoot = 1;
    EXPECT_EQ(run(), UpdateSequence::Result::Done);
    EXPECT_EQ(reporter.reports.back(), "completed 2097152");
}

TEST_F(UpdateSequenceTest, PercentagesOfAFullImageAreTakenAgainstTheWholeFile) {
    script.erase = {16384, 2031616};
    script.download = {2080768};
    run(2097152);
    EXPECT_EQ(reporter.reports[2], "progress 16384 0");
    EXPECT_EQ(reporter.reports[3], "progress 2031616 96");
    EXPECT_EQ(reporter.reports[7], "progress 2080768 99");
    EXPECT_EQ(reporter.reports.back(), "completed 2097152");
}

TEST_F(UpdateSequenceTest, ImageOfUnknownLengthDoesNotDivideByZero) {
    script.download = {56};
    run(0);
    EXPECT_EQ(reporter.reports[3], "progress 56 0");
}

TEST_F(UpdateSequenceTest, PercentageStopsAt100WhenTheFileGrewAfterItWasMeasured) {
    script.erase = {16384};
    script.download = {4000000};
    run(1000);
    EXPECT_EQ(reporter.reports[2], "progress 16384 100");
    EXPECT_EQ(reporter.reports[6], "progress 4000000 100");
}

TEST_F(UpdateSequenceTest, DownloadWithoutEraseReportsChecksCleaningWithoutBeginningIt) {
    script.download = {56, 112};
    run();
    EXPECT_EQ(reporter.reports, (std::vector<std::string>{"done 1", "began 3", "done 2", "progress 56 0",
                                                          "progress 112 0", "completed 2097152"}));
}

TEST_F(UpdateSequenceTest, OverlongImagePathIsCutAndStaysTerminated) {
    run(2097152, std::string(400, 'a'));
    EXPECT_EQ(loadedPath, std::string(259, 'a'));
}

TEST_F(UpdateSequenceTest, CallbacksOutsideARunReachNoSequence) {
    ShowEraseProgress(16384, 0);
    ShowDownloadProgress(56, 0);
    EXPECT_EQ(UpdateSequence::running(), nullptr);
    EXPECT_TRUE(reporter.reports.empty());
}

TEST_F(UpdateSequenceTest, SecondSequenceCannotRunWhileOneRuns) {
    RecordingReporter inner;
    UpdateSequence::Result innerResult = UpdateSequence::Result::Done;
    static std::function<void()> duringInit;
    duringInit = [&] {
        UpdateSequence second(kFakeLibrary, inner, "tz4817.img", 10);
        innerResult = second.run();
    };
    UpdateLibrary library = kFakeLibrary;
    library.usbInit = [] {
        auto nested = std::move(duringInit);
        if (nested) nested();
        return int32_t{0};
    };
    UpdateSequence first(library, reporter, "tz4817.img", 10);
    EXPECT_EQ(first.run(), UpdateSequence::Result::Done);
    EXPECT_EQ(innerResult, UpdateSequence::Result::Failed);
    EXPECT_TRUE(inner.reports.empty());
}

}  // namespace
}  // namespace updater
