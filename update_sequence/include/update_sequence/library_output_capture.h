// SPDX-License-Identifier: MIT
// The download libraries' lines, taken off standard output so that the
// program decides where they go.
//
// The libraries print their diagnostics with printf to standard output and
// flush after every line (the transport's notes go to standard error, which
// can be captured the same way). While a capture lives, the file descriptor
// (1 unless another is given) is the writing end of a pipe; a reader thread
// takes each complete line out of it and hands it to the sink (for a console
// program: its own output, which on a terminal ends the progress line first;
// without a sink: the real descriptor, as if nothing were captured), and
// keeps it in capturedText() (for a message box's details: the library lines
// of this run).
//
// Order: the program writes its own output while it holds holdOutput(),
// which first forwards every line the libraries have written so far and then
// keeps the reader from forwarding until it is released. So a library line
// never lands inside one of the program's writes (a progress line being
// drawn), and a line printed before a write of the program is shown before
// it, as it would be without the capture.
//
// stop() (or the destructor) flushes `stdout` and `stderr`, puts the real
// descriptor back and forwards what is still in the pipe, a last line
// without its line feed included: nothing is lost. If the pipe cannot be set
// up, nothing is captured: capturing() is false, the descriptor is left as it
// was, and the libraries' lines go straight to it. A program without a real
// descriptor (a Windows program started from the desktop has no standard
// output) still captures: the lines reach the sink and capturedText(), and
// without a sink they go nowhere else.
//
// The descriptor is the C runtime's (the libraries share the program's), and
// the pipe is the platform's (output_pipe.h).
//
// Threads: the sink runs on the reader thread or in holdOutput(), one call at
// a time. One capture at a time per process; make and stop it on the same
// thread, and never stop it while holding holdOutput().
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace update_sequence {

class OutputPipe;

class LibraryOutputCapture {
public:
    // Receives each line with its line feed (the last one may have none).
    using Sink = std::function<void(std::string_view line)>;

    // Captures `descriptor` (STDOUT_FILENO or STDERR_FILENO). An empty sink
    // writes each line to the real descriptor.
    explicit LibraryOutputCapture(Sink sink, int descriptor = 1);
    ~LibraryOutputCapture();
    LibraryOutputCapture(const LibraryOutputCapture &) = delete;
    LibraryOutputCapture &operator=(const LibraryOutputCapture &) = delete;

    // Whether the descriptor is captured.
    bool capturing() const { return pipe_ != nullptr; }

    // Forwards every complete line written so far; until the lock is
    // released no other line is forwarded. Cheap when nothing is captured.
    [[nodiscard]] std::unique_lock<std::mutex> holdOutput();

    // Every line written so far, forwarded first.
    std::string capturedText();

    // Ends the capture (see above). Idempotent.
    void stop();

private:
    void run();
    // Reads what the pipe holds and forwards its complete lines; false at end
    // of file. Called with mutex_ held.
    bool forwardAvailable();
    void forward(std::string_view line);

    Sink sink_;
    std::unique_ptr<OutputPipe> pipe_;
    std::thread reader_;
    std::mutex mutex_;  // the sink, pending_ and captured_
    std::string pending_;
    std::string captured_;
};

}  // namespace update_sequence
