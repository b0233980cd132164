// SPDX-License-Identifier: MIT
// What tz4817-update shows of an update: the three stage lines as they begin
// ("[ ] Connecting to the projector") and complete ("[x] ..."), a progress
// bar with bytes and percentage, the failure messages, and the outcome.
//
// On a terminal the bar is redrawn in place; otherwise it is written as plain
// lines, at most one for every 5 percent of a stage. Stage lines, the bar and
// the outcome go to standard output; messages with their reasons, "Update
// Failed!" and the warning of a projector that stayed in programming mode to
// standard error. Everything written is flushed at once, and written while
// the capture of the libraries' lines is held, so that their lines stay in
// order with it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "update_sequence/update_sequence.h"

namespace update_sequence {
class LibraryOutputCapture;
}

namespace headless_update {

class TerminalOutput;

inline constexpr char kDoneLine[] = "Update is Done!\n";
inline constexpr char kFailedLine[] = "Update Failed!\n";

class ConsoleReporter : public update_sequence::UpdateReporter {
public:
    // `out` and `err`: standard output and standard error (or test streams).
    // `terminal`: when given, standard output is written through it and the
    // bar is drawn in place (`out` is not used); null for plain lines on
    // `out`. `libraryLines`: the capture
    // that forwards the libraries' lines to the same output, or null.
    // `imageLength`: the image's size, shown beside the byte count.
    ConsoleReporter(FILE *out, FILE *err, TerminalOutput *terminal, update_sequence::LibraryOutputCapture *libraryLines,
                    uint32_t imageLength);

    void stageBegan(update_sequence::Stage stage) override;
    void stageDone(update_sequence::Stage stage) override;
    void progress(uint32_t bytes, uint32_t percent) override;
    void message(const std::string &text, const std::string &details) override;
    void completed(uint32_t imageLength, const std::string &warning) override;
    void failed() override;

    // The progress line as shown: "  [######....] 1048576 / 2097152 bytes  50%".
    static std::string progressText(uint32_t bytes, uint32_t percent, uint32_t imageLength);

private:
    struct StageLine {
        bool began = false, done = false;
        bool beganShown = false, doneShown = false;
    };

    // Writes the stage lines not shown yet, in stage order. A stage's first
    // line waits until the stages before it are done (the sequence reports
    // the next stage's beginning just before the previous one's end),
    // unless `everything` is set.
    void showStages(bool everything);
    void showProgress(uint32_t bytes, uint32_t percent, bool last);
    void endProgressLine();
    void writeOut(const std::string &text);
    // Standard output's buffered lines out before a line on standard error.
    void flushOut();
    // Every report writes while holding this: the libraries' lines written
    // before it come first, none comes in the middle.
    std::unique_lock<std::mutex> holdOutput();

    FILE *const out_;
    FILE *const err_;
    TerminalOutput *const terminal_;
    update_sequence::LibraryOutputCapture *const libraryLines_;
    const uint32_t imageLength_;
    StageLine stages_[3];
    // The progress shown in the current stage.
    bool progressShown_ = false;
    uint32_t shownPercent_ = 0;
    uint32_t shownBytes_ = 0;
};

}  // namespace headless_update
