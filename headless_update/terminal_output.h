// SPDX-License-Identifier: MIT
// Standard output on a terminal: one line (the progress bar) is redrawn in
// place, and it is ended with a line feed before anything else is written.
//
// Everything else is written through stream(): the program's own lines and
// the download libraries' lines, which the program captures off standard
// output (LibraryOutputCapture) and forwards here. Every write through it
// first ends an open progress line, so no line is glued to the bar.
//
// Threads: everything but lineOpen() and claimOpenLine() is used by one
// thread at a time (the thread that runs the update, and the capture's
// reader, take turns under the capture's hold); those two may be called from
// any thread.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

namespace headless {

class TerminalOutput {
public:
    // Writes to `fd`, which it does not own and never closes.
    explicit TerminalOutput(int fd);
    ~TerminalOutput();  // closes stream(), ending an open line first
    TerminalOutput(const TerminalOutput &) = delete;
    TerminalOutput &operator=(const TerminalOutput &) = delete;

    // The stream to write everything else through; null if it could not be
    // made (then nothing is drawn in place).
    FILE *stream() const { return stream_; }

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
    static ssize_t writeCookie(void *cookie, const char *data, size_t size);
    // Draws a deferred line, then the line feed. Writes to the descriptor
    // only, so that the stream's write may call it.
    void finishLine();
    void draw(const std::string &text, bool overOpenLine);
    void writeAll(const char *data, size_t size) const;

    const int fd_;
    FILE *stream_ = nullptr;
    size_t drawnLength_ = 0;
    std::string deferred_;
    bool hasDeferred_ = false;
    std::atomic<bool> lineOpen_{false};
};

}  // namespace headless
