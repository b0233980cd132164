// SPDX-License-Identifier: MIT
#include "console_reporter.h"

#include <algorithm>

#include "update_sequence/library_output_capture.h"
#include "terminal_output.h"

namespace headless_update {

namespace {

constexpr const char *kStageLabels[] = {
    "Connecting to the projector",
    "Cleaning projector memory",
    "Downloading upgrade image",
};

constexpr uint32_t kBarWidth = 30;
// Plain lines: one for every this many percent at most.
constexpr uint32_t kPlainLineStep = 5;
// In place: the bar is redrawn when the percentage changes or the count has
// moved this far, not for every 56-byte block.
constexpr uint32_t kRedrawBytes = 16384;

size_t indexOf(update_sequence::Stage stage) { return static_cast<size_t>(stage) - 1; }

}  // namespace

ConsoleReporter::ConsoleReporter(FILE *out, FILE *err, TerminalOutput *terminal,
                                 update_sequence::LibraryOutputCapture *libraryLines, uint32_t imageLength)
    : out_(out), err_(err), terminal_(terminal), libraryLines_(libraryLines), imageLength_(imageLength) {}

std::string ConsoleReporter::progressText(uint32_t bytes, uint32_t percent, uint32_t imageLength) {
    percent = std::min<uint32_t>(percent, 100);
    std::string bar(kBarWidth, '.');
    std::fill_n(bar.begin(), percent * kBarWidth / 100, '#');
    char text[96];
    std::snprintf(text, sizeof text, "  [%s] %7u / %u bytes %3u%%", bar.c_str(), bytes, imageLength, percent);
    return text;
}

void ConsoleReporter::stageBegan(update_sequence::Stage stage) {
    const auto order = holdOutput();
    stages_[indexOf(stage)].began = true;
    progressShown_ = false;
    showStages(false);
}

void ConsoleReporter::stageDone(update_sequence::Stage stage) {
    const auto order = holdOutput();
    stages_[indexOf(stage)].done = true;
    showStages(false);
}

void ConsoleReporter::progress(uint32_t bytes, uint32_t percent) {
    // Also when nothing is drawn: the terminal output's deferred line is
    // shared with the lines forwarded.
    const auto order = holdOutput();
    showStages(false);
    showProgress(bytes, percent, false);
}

void ConsoleReporter::message(const std::string &text, const std::string &details) {
    const auto order = holdOutput();
    endProgressLine();
    flushOut();
    std::fputs(text.c_str(), err_);
    std::fputs(details.c_str(), err_);
    std::fflush(err_);
}

void ConsoleReporter::completed(uint32_t imageLength, const std::string &warning) {
    const auto order = holdOutput();
    showStages(true);
    showProgress(imageLength, 100, true);
    stages_[indexOf(update_sequence::Stage::Downloading)].done = true;
    showStages(true);
    writeOut(kDoneLine);
    std::fputs(warning.c_str(), err_);
    std::fflush(err_);
}

void ConsoleReporter::failed() {
    const auto order = holdOutput();
    endProgressLine();
    showStages(true);
    flushOut();
    std::fputs(kFailedLine, err_);
    std::fflush(err_);
}

void ConsoleReporter::showStages(bool everything) {
    for (size_t i = 0; i < std::size(stages_); ++i) {
        StageLine &line = stages_[i];
        if (line.began && !line.beganShown) {
            const bool earlierDone =
                std::all_of(stages_, stages_ + i, [](const StageLine &earlier) { return earlier.done; });
            if (!earlierDone && !everything) return;
            endProgressLine();
            writeOut(std::string("[ ] ") + kStageLabels[i] + "\n");
            line.beganShown = true;
        }
        if (line.done && !line.doneShown) {
            endProgressLine();
            writeOut(std::string("[x] ") + kStageLabels[i] + "\n");
            line.doneShown = true;
        }
    }
}

void ConsoleReporter::showProgress(uint32_t bytes, uint32_t percent, bool last) {
    bool show;
    if (terminal_) {
        show = !progressShown_ || last || percent != shownPercent_ || bytes < shownBytes_ ||
               bytes - shownBytes_ >= kRedrawBytes;
    } else {
        show = !progressShown_ || percent / kPlainLineStep > shownPercent_ / kPlainLineStep;
    }
    if (!show) {
        if (terminal_) terminal_->deferLine(progressText(bytes, percent, imageLength_));
        return;
    }
    const std::string text = progressText(bytes, percent, imageLength_);
    if (terminal_) {
        terminal_->drawLine(text);
        if (last) terminal_->endLine();
    } else {
        writeOut(text + "\n");
    }
    progressShown_ = true;
    shownPercent_ = percent;
    shownBytes_ = bytes;
}

void ConsoleReporter::endProgressLine() {
    if (terminal_) terminal_->endLine();
}

std::unique_lock<std::mutex> ConsoleReporter::holdOutput() {
    return libraryLines_ ? libraryLines_->holdOutput() : std::unique_lock<std::mutex>();
}

void ConsoleReporter::writeOut(const std::string &text) {
    if (terminal_) {
        terminal_->write(text);
        return;
    }
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
}

void ConsoleReporter::flushOut() {
    if (!terminal_) std::fflush(out_);
}

}  // namespace headless_update
