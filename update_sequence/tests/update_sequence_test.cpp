// SPDX-License-Identifier: MIT
// The update sequence without any window: which library calls it makes in
// which order, what it reports, and the percentages it computes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "switch_pause.h"
#include "update_sequence/update_sequence.h"

namespace update_sequence {
namespace {

// A scripted library: results to give and callbacks to make.
struct Script {
    int32_t init = 0, term = 0, switchToBoot = 0, load = 0, leave = 0;
    std::vector<uint32_t> erase, download;
    std::function<void()> duringSwitch;  // while the projector restarts
    std::function<void()> duringLoad;    // before the load reads its file
};

Script script;
std::vector<std::string> calls;
std::string loadedPath;
std::string loadedBytes;  // what the load read from its path
struct stat loadedFile;   // what the path was while the load ran

std::string readWhole(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

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
        if (script.duringSwitch) script.duringSwitch();
        return script.switchToBoot;
    },
    [](const char *path, uint32_t start, uint32_t length, ProgressCallback onErased, ProgressCallback onProgrammed) {
        calls.push_back("load " + std::to_string(start) + " " + std::to_string(length));
        loadedPath = path;
        if (script.duringLoad) script.duringLoad();
        loadedBytes = readWhole(path);
        loadedFile = {};
        ::stat(path, &loadedFile);
        for (uint32_t offset : script.erase) onErased(offset, 0);
        for (uint32_t bytes : script.download) onProgrammed(bytes, 12345);
        return script.load;
    },
    [](int32_t mode) {
        calls.push_back("mode " + std::to_string(mode));
        return script.leave;
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
    void message(const std::string &text, const std::string &details) override {
        reports.push_back("message " + text + details);
        callsAtMessage.push_back(calls.size());
    }
    void completed(uint32_t length, const std::string &warning) override {
        reports.push_back("completed " + std::to_string(length) + warning);
    }
    void failed() override { reports.push_back("failed"); }
};

const std::string kStart = std::to_string(kLoadStartAddress);

class UpdateSequenceTest : public ::testing::Test {
protected:
    void SetUp() override {
        script = {};
        calls.clear();
        loadedPath.clear();
        loadedBytes.clear();
    }
    UpdateSequence::Result run(uint32_t imageLength = 2097152, std::string path = "tz4817.img",
                               const CheckedImage *image = nullptr) {
        UpdateSequence sequence(kFakeLibrary, reporter, std::move(path), imageLength, image);
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
    testing::setSwitchPause(std::chrono::milliseconds(20));
    EXPECT_EQ(run(), UpdateSequence::Result::Done);
    testing::setSwitchPause(std::chrono::hours(1));
    EXPECT_EQ(run(), UpdateSequence::Result::Done);
    testing::setSwitchPause(std::chrono::milliseconds(0));
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
    const char *message;  // null: none; the sequence's own details follow it
    size_t callsBeforeMessage;
    UpdateSequence::Result result;  // whether the flash may have been touched
};

void PrintTo(const FailureCase &failure, std::ostream *out) { *out << failure.name; }

class UpdateFailureTest : public UpdateSequenceTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(UpdateFailureTest, FailureEndsFailedNeverCompleted) {
    const FailureCase &failure = GetParam();
    script = failure.script;
    EXPECT_EQ(run(), failure.result);
    EXPECT_EQ(calls, failure.calls);
    ASSERT_FALSE(reporter.reports.empty());
    EXPECT_EQ(reporter.reports.back(), "failed");
    for (const std::string &report : reporter.reports) EXPECT_EQ(report.rfind("completed", 0), std::string::npos);
    if (failure.message) {
        ASSERT_EQ(reporter.callsAtMessage.size(), 1u);
        EXPECT_EQ(reporter.callsAtMessage[0], failure.callsBeforeMessage);
        EXPECT_NE(std::find_if(reporter.reports.begin(), reporter.reports.end(),
                               [&](const std::string &report) {
                                   return report.rfind(std::string("message ") + failure.message, 0) == 0;
                               }),
                  reporter.reports.end());
    } else {
        EXPECT_TRUE(reporter.callsAtMessage.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, UpdateFailureTest,
    ::testing::Values(FailureCase{"LinkNotOpened",
                                  Script{.init = 0x20000015},
                                  {"init", "term"},
                                  kInitFailedMessage,
                                  1,
                                  UpdateSequence::Result::FailedUntouched},
                      // The switch failed but the link closed: the load still runs (on the
                      // closed link it fails) and the projector is told to leave
                      // programming mode.
                      FailureCase{"SwitchFailedLinkClosed",
                                  Script{.switchToBoot = 1, .load = 1},
                                  {"init", "switch 5000", "term", "load " + kStart + " 0", "mode 2", "term"},
                                  kLoadFailedMessage,
                                  4,
                                  UpdateSequence::Result::Failed},
                      FailureCase{"SwitchFailedLinkWouldNotClose",
                                  Script{.term = 1, .switchToBoot = 1},
                                  {"init", "switch 5000", "term"},
                                  nullptr,
                                  0,
                                  UpdateSequence::Result::FailedUntouched},
                      FailureCase{"LoadFailedAfterProgress",
                                  Script{.load = 1, .erase = {16384}, .download = {56}},
                                  {"init", "switch 5000", "load " + kStart + " 0", "mode 2", "term"},
                                  kLoadFailedMessage,
                                  3,
                                  UpdateSequence::Result::Failed},
                      // The first erase command may have been sent: touched.
                      FailureCase{"EraseFailedBeforeAnyReport",
                                  Script{.load = 1},
                                  {"init", "switch 5000", "load " + kStart + " 0", "mode 2", "term"},
                                  kLoadFailedMessage,
                                  3,
                                  UpdateSequence::Result::Failed},
                      FailureCase{"ImageNotExamined",
                                  Script{.load = 2},
                                  {"init", "switch 5000", "load " + kStart + " 0", "mode 2", "term"},
                                  kLoadFailedMessage,
                                  3,
                                  UpdateSequence::Result::FailedUntouched},
                      FailureCase{"FlashIdentityOrRangeRefused",
                                  Script{.load = 3},
                                  {"init", "switch 5000", "load " + kStart + " 0", "mode 2", "term"},
                                  kLoadFailedMessage,
                                  3,
                                  UpdateSequence::Result::FailedUntouched}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(UpdateSequenceTest, UnconfirmedLeaveOfProgrammingModeKeepsTheSuccessWithAWarning) {
    script.leave = 1;
    EXPECT_EQ(run(), UpdateSequence::Result::Done);
    EXPECT_EQ(reporter.reports.back(), std::string("completed 2097152") + kPowerCycleWarning);
}

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
    EXPECT_EQ(innerResult, UpdateSequence::Result::FailedUntouched);
    EXPECT_TRUE(inner.reports.empty());
}

// --- the image as the front ends check it ---------------------------------------------

class ImageTest : public UpdateSequenceTest {
protected:
    void SetUp() override {
        UpdateSequenceTest::SetUp();
        char pattern[] = "/tmp/tz4817-image-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory_ = pattern;
        path_ = directory_ + "/tz4817.img";
    }
    void TearDown() override { std::filesystem::remove_all(directory_); }
    // A (sparse) image file of `size` bytes.
    void makeImage(uint64_t size, const std::string &path = {}) {
        std::ofstream(path.empty() ? path_ : path, std::ios::binary).close();
        std::filesystem::resize_file(path.empty() ? path_ : path, size);
    }
    std::string directory_, path_;
};

TEST_F(ImageTest, ImagesThatCannotBeWrittenAreRefusedBeforeAnyLibraryCall) {
    constexpr int64_t kMissing = -1, kDirectory = -2, kFifo = -3;
    struct Case {
        int64_t size;
        const char *problem;  // after the path; null: a good image
    } cases[] = {
        {kMissing, "]: No such file or directory"},
        {kDirectory, "]: not a regular file"},
        {kFifo, "]: not a regular file"},
        {0, "]: empty (0 bytes)"},
        {0x3FFF, "]: 16383 bytes, shorter than the 16384-byte boot sector that an image starts with"},
        {0x4000, " is 16384 bytes, only the boot sector, which the update never writes"},
        {0x4001, nullptr},
        {0x200000, nullptr},
        {0x200001, "]: 2097153 bytes, more than the 2097152-byte flash holds"},
        {0x100000000, "]: 4294967296 bytes, more than the 2097152-byte flash holds"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        std::filesystem::remove_all(path_);
        if (c.size == kDirectory)
            std::filesystem::create_directory(path_);
        else if (c.size == kFifo)
            ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0);
        else if (c.size >= 0)
            makeImage(static_cast<uint64_t>(c.size));
        const CheckedImage image(path_);
        calls.clear();
        reporter.reports.clear();
        if (!c.problem) {
            EXPECT_TRUE(image.good()) << image.problem();
            EXPECT_EQ(image.size(), static_cast<uint64_t>(c.size));
            continue;
        }
        const std::string expected =
            (c.size == 0x4000 ? "Nothing to write: " + path_ : "Bad file [" + path_) + c.problem;
        EXPECT_EQ(image.problem(), expected);
        EXPECT_EQ(run(0, path_, &image), UpdateSequence::Result::FailedUntouched);
        EXPECT_TRUE(calls.empty()) << "the projector was touched";
        EXPECT_EQ(reporter.reports,
                  (std::vector<std::string>{std::string("message ") + kLoadFailedMessage + expected + "\n", "failed"}));
    }
}

// A path the download's buffer cannot hold would reach the library cut to
// the name of another file: it is refused before the projector is touched.
TEST_F(ImageTest, ImagePathTooLongForTheDownloadIsRefusedNotCut) {
    std::string folder = directory_;
    while (folder.size() + 1 + std::strlen(kImageName) <= kMaxImagePathLength) folder += "/" + std::string(100, 'd');
    std::filesystem::create_directories(folder);
    const std::string path = folder + "/" + kImageName;
    makeImage(0x4001, path);
    const CheckedImage image(path);
    EXPECT_EQ(image.problem(), "Bad file [" + path + "]: its path is " + std::to_string(path.size()) +
                                   " bytes long, longer than the 259 bytes the download takes");
    EXPECT_EQ(run(0, path, &image), UpdateSequence::Result::FailedUntouched);
    EXPECT_TRUE(calls.empty()) << "the projector was touched";
}

// The programs' PATH argument: the image itself, or the folder holding it.
TEST_F(ImageTest, PathArgumentNamesTheImageOrTheFolderHoldingIt) {
    const std::string other = directory_ + "/other.bin";
    makeImage(0x4001, other);
    const struct {
        std::string given, image;
    } cases[] = {
        {"", "tz4817.img"},
        {directory_, path_},
        {directory_ + "/", path_},
        {other, other},
        {path_, path_},  // not there (yet): the check says so
        {directory_ + "/missing/", directory_ + "/missing/"},
    };
    for (const auto &c : cases) EXPECT_EQ(imagePathFor(c.given), c.image) << "given '" << c.given << "'";
}

// What is downloaded is what was announced: an image that grew, or was
// replaced, while the projector switched is not loaded.
TEST_F(ImageTest, ImageChangedAfterItWasCheckedIsNotDownloaded) {
    const std::vector<std::pair<const char *, std::function<void()>>> changes = {
        {"grew", [&] { std::filesystem::resize_file(path_, 0x8000); }},
        {"replaced",
         [&] {
             makeImage(0x6000, path_ + ".new");
             std::filesystem::rename(path_ + ".new", path_);
         }},
    };
    for (const auto &[what, change] : changes) {
        SCOPED_TRACE(what);
        makeImage(0x6000);
        const CheckedImage image(path_);
        ASSERT_TRUE(image.good());
        calls.clear();
        reporter.reports.clear();
        script.duringSwitch = change;
        EXPECT_EQ(run(0x6000, path_, &image), UpdateSequence::Result::FailedUntouched);
        EXPECT_EQ(calls, (std::vector<std::string>{"init", "switch 5000", "mode 2", "term"}));
        ASSERT_EQ(reporter.reports.size(), 2u);
        EXPECT_NE(reporter.reports[0].find("changed since it was checked"), std::string::npos) << reporter.reports[0];
    }
    // Unchanged, it is loaded.
    script.duringSwitch = nullptr;
    makeImage(0x6000);
    const CheckedImage image(path_);
    calls.clear();
    EXPECT_EQ(run(0x6000, path_, &image), UpdateSequence::Result::Done);
    EXPECT_EQ(calls.size(), 5u);
}

// The download reads a private copy of the image made before the projector
// is touched: an image written over in place (a newer one copied over it)
// while the projector erases or programs does not reach the flash; one
// written before the copy was complete is refused, the projector untouched.
TEST_F(ImageTest, DownloadReadsTheImageAsItWasChecked) {
    std::string original(0x6000, '\0');
    for (size_t i = 0; i < original.size(); ++i) original[i] = static_cast<char>(i * 7 + (i >> 8));
    const std::string newer(original.size(), '\x5A');
    auto writeImage = [&](const std::string &bytes) {
        std::fstream file(path_, std::ios::binary | std::ios::in | std::ios::out);  // in place: same file
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    };
    std::ofstream(path_, std::ios::binary).write(original.data(), static_cast<std::streamsize>(original.size()));

    const CheckedImage image(path_);
    ASSERT_TRUE(image.good());
    script.duringLoad = [&] { writeImage(newer); };
    EXPECT_EQ(run(0x6000, path_, &image), UpdateSequence::Result::Done);
    EXPECT_NE(loadedPath, path_);
    EXPECT_TRUE(loadedBytes == original) << "the load read the image as it is now, not as it was checked";
    EXPECT_EQ(loadedFile.st_nlink, 0u) << loadedPath << " has a name another program could open";
    EXPECT_EQ(loadedFile.st_mode & 0077, 0u);
    struct stat after {};
    EXPECT_FALSE(::stat(loadedPath.c_str(), &after) == 0 && after.st_ino == loadedFile.st_ino &&
                 after.st_dev == loadedFile.st_dev)
        << "the private copy outlived the run";

    // Written after the check, before the copy: refused, nothing called. An
    // explicit modification time: two writes within one tick of the file
    // system's clock would show the same.
    writeImage(original);
    const CheckedImage checked(path_);
    writeImage(newer);
    const timespec later[2] = {{0, UTIME_OMIT}, {::time(nullptr) + 60, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path_.c_str(), later, 0), 0);
    calls.clear();
    reporter.reports.clear();
    EXPECT_EQ(run(0x6000, path_, &checked), UpdateSequence::Result::FailedUntouched);
    EXPECT_TRUE(calls.empty()) << "the projector was touched";
    ASSERT_EQ(reporter.reports.size(), 2u);
    EXPECT_NE(reporter.reports[0].find("Bad file [" + path_ + "]: changed since it was checked"), std::string::npos)
        << reporter.reports[0];
}

TEST_F(ImageTest, NoPrivateCopyNoUpdate) {
    makeImage(0x6000);
    const CheckedImage image(path_);
    const char *saved = std::getenv("TMPDIR");
    const std::string previous = saved ? saved : "";
    ::setenv("TMPDIR", (directory_ + "/missing").c_str(), 1);
    const UpdateSequence::Result result = run(0x6000, path_, &image);
    if (saved)
        ::setenv("TMPDIR", previous.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
    EXPECT_EQ(result, UpdateSequence::Result::FailedUntouched);
    EXPECT_TRUE(calls.empty()) << "the projector was touched";
    ASSERT_EQ(reporter.reports.size(), 2u);
    EXPECT_EQ(reporter.reports[0], std::string("message ") + kLoadFailedMessage + "Cannot make a private copy of " +
                                       path_ + " for the download: " + directory_ +
                                       "/missing: No such file or directory\n");
}

}  // namespace
}  // namespace update_sequence
