// SPDX-License-Identifier: MIT
// What tz4817-update shows, driven by the real update sequence over a
// scripted library that prints to standard output as the libraries do, with
// its lines captured and forwarded as the program does: stage lines in
// order, plain progress lines at most one per 5 percent, the libraries' lines
// in their place, failures on standard error and never a success line after
// a failure; on a terminal, a bar drawn in place that never swallows or glues
// another line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "console_reporter.h"
#include "update_sequence/library_output_capture.h"
#include "terminal_output.h"
#include "update_sequence/update_sequence.h"

namespace headless_update {
namespace {

constexpr uint32_t kImageLength = 2097152;
constexpr uint32_t kProgrammedLength = kImageLength - 0x4000;

// What the scripted library does inside the load.
struct Script {
    int32_t init = 0;
    int32_t load = 0;
    int32_t leave = 0;  // result of programming mode 2
    std::vector<uint32_t> erase, download;
    // (number of download reports made, line printed after them)
    std::vector<std::pair<size_t, std::string>> linesDuringDownload;
};

Script script;

void libraryPrint(const std::string &text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

const update_sequence::UpdateLibrary kScriptedLibrary{
    [] { return script.init; },
    [] { return 0; },
    [](uint32_t) { return 0; },
    [](const char *path, uint32_t, uint32_t, ProgressCallback onErased, ProgressCallback onProgrammed) {
        libraryPrint(std::string("File[") + path + "] Size[2097152]\n");
        for (uint32_t offset : script.erase) onErased(offset, 0);
        auto line = script.linesDuringDownload.begin();
        for (size_t i = 0; i < script.download.size(); ++i) {
            for (; line != script.linesDuringDownload.end() && line->first == i; ++line) libraryPrint(line->second);
            onProgrammed(script.download[i], 0);
        }
        if (script.load != 0) libraryPrint("Checksum FAILED\n");
        return script.load;
    },
    [](int32_t) { return script.leave; },
};

// The sector starts of the bottom-boot flash from 0x4000 to its end.
std::vector<uint32_t> eraseReports() {
    std::vector<uint32_t> starts{0x4000, 0x6000, 0x8000};
    for (uint32_t start = 0x10000; start < kImageLength; start += 0x10000) starts.push_back(start);
    return starts;
}

std::vector<uint32_t> downloadReports() {
    std::vector<uint32_t> counts;
    for (uint32_t bytes = 56; bytes < kProgrammedLength; bytes += 56) counts.push_back(bytes);
    counts.push_back(kProgrammedLength);
    return counts;
}

std::vector<std::string> linesOf(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

bool isProgressLine(const std::string &line) { return line.rfind("  [", 0) == 0; }

uint32_t percentOf(const std::string &progressLine) {
    return static_cast<uint32_t>(std::stoul(progressLine.substr(progressLine.rfind(' ') + 1)));
}

// One update, its reports shown on `out` (through `terminal` when given)
// and the library's lines forwarded there as well.
update_sequence::UpdateSequence::Result runUpdate(FILE *out, FILE *err, TerminalOutput *terminal) {
    update_sequence::LibraryOutputCapture capture([out, terminal](std::string_view line) {
        if (terminal) {
            terminal->write(line);
            return;
        }
        std::fwrite(line.data(), 1, line.size(), out);
        std::fflush(out);
    });
    EXPECT_TRUE(capture.capturing());
    ConsoleReporter reporter(out, err, terminal, &capture, kImageLength);
    update_sequence::UpdateSequence sequence(kScriptedLibrary, reporter, "tz4817.img", kImageLength);
    reporter.stageBegan(update_sequence::Stage::Connecting);
    return sequence.run();
}

// Plain output: standard output and standard error into memory.
class PlainOutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        script = Script{};
        script.erase = eraseReports();
        script.download = downloadReports();
        out_ = open_memstream(&outText_, &outSize_);
        err_ = open_memstream(&errText_, &errSize_);
    }
    void TearDown() override {
        std::fclose(out_);
        std::fclose(err_);
        std::free(outText_);
        std::free(errText_);
    }
    update_sequence::UpdateSequence::Result run() { return runUpdate(out_, err_, nullptr); }
    std::string out() {
        std::fflush(out_);
        return std::string(outText_, outSize_);
    }
    std::string err() {
        std::fflush(err_);
        return std::string(errText_, errSize_);
    }

private:
    FILE *out_ = nullptr, *err_ = nullptr;
    char *outText_ = nullptr, *errText_ = nullptr;
    size_t outSize_ = 0, errSize_ = 0;
};

TEST_F(PlainOutputTest, StagesBeginAndCompleteInOrderThenTheUpdateIsDone) {
    ASSERT_EQ(run(), update_sequence::UpdateSequence::Result::Done);
    std::vector<std::string> stageLines;
    for (const std::string &line : linesOf(out()))
        if (line.rfind("[", 0) == 0 || line.rfind("Update", 0) == 0) stageLines.push_back(line);
    const std::vector<std::string> expected{
        "[ ] Connecting to the projector",
        "[x] Connecting to the projector",
        "[ ] Cleaning projector memory",
        "[x] Cleaning projector memory",
        "[ ] Downloading upgrade image",
        "[x] Downloading upgrade image",
        "Update is Done!",
    };
    EXPECT_EQ(stageLines, expected);
    EXPECT_EQ(err(), "");
}

TEST_F(PlainOutputTest, ProgressKeepsToOneLineForEveryFivePercent) {
    ASSERT_EQ(run(), update_sequence::UpdateSequence::Result::Done);
    const std::string text = out();
    EXPECT_EQ(text.find('\r'), std::string::npos);

    // Progress lines of each stage, split at the stage lines.
    std::vector<std::vector<std::string>> stages(1);
    for (const std::string &line : linesOf(text)) {
        if (isProgressLine(line))
            stages.back().push_back(line);
        else if (!stages.back().empty())
            stages.emplace_back();
    }
    stages.erase(std::remove_if(stages.begin(), stages.end(), [](auto &s) { return s.empty(); }), stages.end());
    ASSERT_EQ(stages.size(), 2u);  // cleaning, downloading
    for (const auto &lines : stages) {
        EXPECT_LE(lines.size(), 21u);
        for (size_t i = 1; i < lines.size(); ++i) EXPECT_GT(percentOf(lines[i]) / 5, percentOf(lines[i - 1]) / 5);
    }
    EXPECT_EQ(stages[0].front(), "  [..............................]   16384 / 2097152 bytes   0%");
    EXPECT_EQ(stages[1].back(), "  [##############################] 2097152 / 2097152 bytes 100%");
    EXPECT_GE(stages[0].size(), 19u);  // 0% and every 5% up to 95%
    EXPECT_GE(stages[1].size(), 20u);
}

TEST_F(PlainOutputTest, LibraryLinesKeepTheirPlace) {
    script.linesDuringDownload = {{100, "Reseting USB\n"}};
    ASSERT_EQ(run(), update_sequence::UpdateSequence::Result::Done);
    const std::string text = out();
    const size_t file = text.find("File[tz4817.img] Size[2097152]\n");
    const size_t reset = text.find("Reseting USB\n");
    ASSERT_NE(file, std::string::npos);
    ASSERT_NE(reset, std::string::npos);
    EXPECT_LT(text.find("[ ] Connecting to the projector\n"), file);
    EXPECT_LT(file, text.find("[x] Connecting to the projector\n"));
    EXPECT_LT(text.find("[ ] Downloading upgrade image\n"), reset);
    EXPECT_LT(reset, text.find("Update is Done!\n"));
    EXPECT_EQ(text[reset - 1], '\n');
}

TEST_F(PlainOutputTest, FailedLoadIsReportedOnStandardErrorAndNeverAsDone) {
    script.load = 1;
    ASSERT_EQ(run(), update_sequence::UpdateSequence::Result::Failed);
    const std::string text = out();
    EXPECT_EQ(text.find("Update is Done!"), std::string::npos);
    EXPECT_EQ(text.find("[x] Downloading upgrade image"), std::string::npos);
    EXPECT_EQ(text.find("100%"), std::string::npos);
    EXPECT_NE(text.find("Checksum FAILED\n"), std::string::npos);
    EXPECT_EQ(err(), "Failed to load flash\nUpdate Failed!\n");
}

TEST_F(PlainOutputTest, LinkNotOpenedShowsOnlyTheFirstStage) {
    script.init = 0x20000015;
    ASSERT_EQ(run(), update_sequence::UpdateSequence::Result::FailedUntouched);
    EXPECT_EQ(out(), "[ ] Connecting to the projector\n");
    EXPECT_EQ(err(), "Failed to initialize QRV USB\nTerminating Driver\n"
                     "No projector was found before the wait ended (status 0x20000015).\nUpdate Failed!\n");
}

// The flash is right, but the projector did not confirm leaving programming
// mode: a success that says the projector must be switched off and on.
TEST_F(PlainOutputTest, UnconfirmedLeaveIsASuccessWithAWarning) {
    script.leave = 1;
    ASSERT_EQ(run(), update_sequence::UpdateSequence::Result::Done);
    EXPECT_NE(out().find("Update is Done!\n"), std::string::npos);
    EXPECT_EQ(err(), update_sequence::kPowerCycleWarning);
}

// Terminal output: standard output and standard error are one file, as they
// are one terminal; the library's lines are forwarded through the terminal
// output.
class TerminalOutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        script = Script{};
        script.erase = eraseReports();
        script.download = downloadReports();
        file_ = std::tmpfile();
        ASSERT_NE(file_, nullptr);
        terminal_ = std::make_unique<TerminalOutput>(fileno(file_));
        err_ = fdopen(dup(fileno(file_)), "w");
        std::setvbuf(err_, nullptr, _IONBF, 0);
    }
    void TearDown() override {
        terminal_.reset();
        std::fclose(err_);
        std::fclose(file_);
    }
    update_sequence::UpdateSequence::Result run() { return runUpdate(nullptr, err_, terminal_.get()); }
    std::string screen() {
        struct stat status {};
        fstat(fileno(file_), &status);
        std::string text(static_cast<size_t>(status.st_size), '\0');
        EXPECT_EQ(pread(fileno(file_), text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
        return text;
    }

    std::unique_ptr<TerminalOutput> terminal_;

private:
    FILE *file_ = nullptr, *err_ = nullptr;
};

// Every line that is not the bar starts at the beginning of a line.
void expectOwnLine(const std::string &text, const std::string &line) {
    const size_t at = text.find(line);
    ASSERT_NE(at, std::string::npos) << line;
    ASSERT_GT(at, 0u);
    EXPECT_EQ(text[at - 1], '\n') << "glued to the line before: " << line;
}

TEST_F(TerminalOutputTest, BarIsRedrawnInPlaceAndEndedBeforeOtherLines) {
    script.linesDuringDownload = {{100, "Reseting USB\n"}};
    ASSERT_EQ(run(), update_sequence::UpdateSequence::Result::Done);
    const std::string text = screen();
    EXPECT_NE(text.find("\r  [#"), std::string::npos);
    for (const char *line : {"Reseting USB\n", "[x] Cleaning projector memory\n", "[ ] Downloading upgrade image\n",
                             "[x] Downloading upgrade image\n", "Update is Done!\n"})
        expectOwnLine(text, line);
    // The bar's lines end in a line feed; only the redraws use "\r".
    EXPECT_NE(text.find("2097152 / 2097152 bytes 100%\n[x] Downloading upgrade image\n"), std::string::npos);
    EXPECT_LT(std::count(text.begin(), text.end(), '\r'), 600);  // not one per 56-byte block
}

TEST_F(TerminalOutputTest, FailureMessagesOnStandardErrorStartOnTheirOwnLine) {
    script.load = 1;
    ASSERT_EQ(run(), update_sequence::UpdateSequence::Result::Failed);
    const std::string text = screen();
    expectOwnLine(text, "Checksum FAILED\n");
    // The line left standing shows the last count reported, not an older one.
    EXPECT_NE(text.find("2080768 / 2097152 bytes  99%\nChecksum FAILED\n"), std::string::npos);
    expectOwnLine(text, "Failed to load flash\n");
    expectOwnLine(text, "Update Failed!\n");
    EXPECT_EQ(text.find("Update is Done!"), std::string::npos);
}

TEST_F(TerminalOutputTest, ShorterRedrawBlanksWhatIsLeftOfTheLongerLine) {
    terminal_->drawLine("abcdef");
    terminal_->drawLine("xy");
    terminal_->endLine();
    terminal_->endLine();  // nothing open any more
    EXPECT_EQ(screen(), "\rabcdef\rxy    \n");
}

TEST_F(TerminalOutputTest, DeferredContentIsDrawnBeforeTheLineEnds) {
    terminal_->drawLine("12");
    terminal_->deferLine("1234");
    terminal_->write("other\n");
    terminal_->drawLine("abcdef");
    terminal_->deferLine("xy");
    terminal_->endLine();
    EXPECT_EQ(screen(), "\r12\r1234\nother\n\rabcdef\rxy    \n");
}

TEST_F(TerminalOutputTest, LineEndedOnAnotherDescriptorIsNotEndedTwice) {
    terminal_->drawLine("bar");
    EXPECT_TRUE(terminal_->claimOpenLine());
    EXPECT_FALSE(terminal_->claimOpenLine());
    terminal_->write("next\n");
    EXPECT_EQ(screen(), "\rbarnext\n");
}

}  // namespace
}  // namespace headless_update
