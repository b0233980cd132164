// SPDX-License-Identifier: MIT
// Standard output on a terminal: one line (the progress bar) is redrawn in
// place, and it is ended with a line feed before anything else is written.
//
// Everything else is written through write(): the program's own lines and
// the download libraries' lines, which the program captures off standard
// output (LibraryOutputCapture) and forwards here. Every write first ends an
// open progress line, so no line is glued to the bar.
//
// Threads: everything but lineOpen() and claimOpenLine() is used by one
// thread at a time (the thread that runs the update, and the capture's
// reader, take turns under the capture's hold); those two may be called from
// any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>

namespace headless_update {

class TerminalOutput {
public:
    // Writes to `fd`, which it does not own and never closes.
    explicit TerminalOutput(int fd);
    ~TerminalOutput();  // ends an open line
    TerminalOutput(const TerminalOutput &) = delete;
    TerminalOutput &operator=(const TerminalOutput &) = delete;

    // Ends an open line, then writes `text` as it is.
    void write(std::string_view text);

    // Replaces the open line by `text` (no line feed in it), or starts a new
    // line with it; the line stays open.
    void drawLine(const std::string &text);
    // Remembers `text` as the open line's newest content without drawing it
    // now; it is drawn when the line is ended, so the line left standing
    // shows the newest state. Needs an open line.
    void deferLine(const std::string &text);
    // Ends the open line with a line feed; nothing when no line is open.
    void endLine();
    // Whether a drawn line waits to be ended.
    bool lineOpen() const { return lineOpen_.load(); }
    // For a writer on another descriptor of the same terminal (standard
    // error) that ends the open line itself: forgets the open line and tells
    // whether there was one. Async-signal-safe; any thread.
    bool claimOpenLine() { return lineOpen_.exchange(false); }

private:
    void draw(const std::string &text, bool overOpenLine);
    void writeAll(const char *data, size_t size) const;

    const int fd_;
    size_t drawnLength_ = 0;
    std::string deferred_;
    bool hasDeferred_ = false;
    std::atomic<bool> lineOpen_{false};
};

}  // namespace headless_update
