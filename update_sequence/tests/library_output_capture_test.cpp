// SPDX-License-Identifier: MIT
// The capture of the libraries' lines on standard output: every line reaches
// the sink and the captured text, in the order written and in order with the
// program's own writes; nothing is lost at the end; descriptor 1 is given
// back; and when the pipe cannot be made, the lines go to standard output as
// without a capture.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "update_sequence/library_output_capture.h"

namespace update_sequence {
namespace {

size_t firstDifference(const std::string &a, const std::string &b) {
    return static_cast<size_t>(std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin());
}

// Standard output is a file of the test's while a test runs.
class LibraryOutputCaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::fflush(stdout);
        file_ = std::tmpfile();
        ASSERT_NE(file_, nullptr);
        saved_ = dup(STDOUT_FILENO);
        ASSERT_GE(saved_, 0);
        ASSERT_GE(dup2(fileno(file_), STDOUT_FILENO), 0);
    }
    void TearDown() override {
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        std::fclose(file_);
    }
    // What reached standard output's file.
    std::string written() {
        std::fflush(stdout);
        struct stat status {};
        fstat(fileno(file_), &status);
        std::string text(static_cast<size_t>(status.st_size), '\0');
        EXPECT_EQ(pread(fileno(file_), text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
        return text;
    }
    static void print(const char *text) {
        std::fputs(text, stdout);
        std::fflush(stdout);
    }

    FILE *file_ = nullptr;
    int saved_ = -1;
};

TEST_F(LibraryOutputCaptureTest, LinesArriveInOrderWithTheProgramsWritesAndNothingIsLost) {
    std::string shown;  // the sink's output and the program's own writes
    LibraryOutputCapture capture([&shown](std::string_view line) { shown.append(line); });
    ASSERT_TRUE(capture.capturing());
    std::string library, expected;
    auto programWrites = [&](const std::string &text) {
        auto order = capture.holdOutput();
        shown += text;
        expected += text;
    };

    print("File[tz4817.img] Size[2097152]\n");
    library += "File[tz4817.img] Size[2097152]\n";
    expected += "File[tz4817.img] Size[2097152]\n";
    programWrites("[x] Connecting to the projector\n");
    // More than a pipe holds, from another thread, in two writes per line.
    std::thread([&library] {
        for (int i = 0; i < 5000; ++i) {
            const std::string line = "Reseting USB " + std::to_string(i) + "\n";
            (void)!write(STDOUT_FILENO, line.data(), line.size() / 2);
            (void)!write(STDOUT_FILENO, line.data() + line.size() / 2, line.size() - line.size() / 2);
            library += line;
        }
    }).join();
    expected += library.substr(library.find("Reseting"));
    programWrites("  [#.............................]  104832 / 2097152 bytes   5%\n");
    std::fputs("Checksum FAILED", stdout);  // neither flushed nor ended
    library += "Checksum FAILED";
    expected += "Checksum FAILED";
    capture.stop();

    EXPECT_TRUE(shown == expected) << "differs from byte " << firstDifference(shown, expected);
    EXPECT_TRUE(capture.capturedText() == library)
        << "differs from byte " << firstDifference(capture.capturedText(), library);
    EXPECT_EQ(written(), "");
    // Standard output is the test's file again.
    print("after the update\n");
    EXPECT_EQ(written(), "after the update\n");
    capture.stop();
    EXPECT_EQ(capture.capturedText().size(), library.size());
}

// With no descriptor left for the copy of standard output, or none for the
// pipe, the capture is off and the lines are written as without it.
// Without a sink (the program's message boxes): the lines still reach the
// real output, and the text of the run has each line the moment it was
// written, not only once the reader got to it.
TEST_F(LibraryOutputCaptureTest, WithoutASinkLinesPassThroughAndTheTextIsCurrent) {
    auto capture = std::make_unique<LibraryOutputCapture>(nullptr);
    ASSERT_TRUE(capture->capturing());
    print("File[tz4817.img] Size[2097152]\n");
    print("Checksum FAILED\n");
    EXPECT_EQ(capture->capturedText(), "File[tz4817.img] Size[2097152]\nChecksum FAILED\n");
    print("Failed to load flash");
    capture.reset();
    EXPECT_EQ(written(), "File[tz4817.img] Size[2097152]\nChecksum FAILED\nFailed to load flash");
}

TEST_F(LibraryOutputCaptureTest, PipeThatCannotBeMadeLeavesStandardOutputAsItWas) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const int lowestFree = dup(0);
    ASSERT_GE(lowestFree, 3);
    close(lowestFree);
    std::string printed;
    for (const rlim_t room : {rlim_t{0}, rlim_t{1}}) {
        SCOPED_TRACE(room);
        std::string shown;
        rlimit low = limit;
        low.rlim_cur = static_cast<rlim_t>(lowestFree) + room;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
        auto capture = std::make_unique<LibraryOutputCapture>([&shown](std::string_view line) { shown.append(line); });
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
        EXPECT_FALSE(capture->capturing());

        print("Reseting USB\n");
        { auto order = capture->holdOutput(); }
        capture.reset();
        EXPECT_EQ(shown, "");
        printed += "Reseting USB\n";
        EXPECT_EQ(written(), printed);
        // Every descriptor the attempt took is free again.
        const int next = dup(0);
        EXPECT_EQ(next, lowestFree);
        close(next);
    }
}

}  // namespace
}  // namespace update_sequence
