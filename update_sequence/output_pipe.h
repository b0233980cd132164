// SPDX-License-Identifier: MIT
// A descriptor of the C runtime (standard output or standard error) put on
// the writing end of a pipe, for LibraryOutputCapture: the part of the
// capture that differs by platform (output_pipe_posix.cpp: a pipe(2) and
// dup2; output_pipe_windows.cpp: a named pipe read with overlapped I/O, whose
// writing end the C runtime's descriptor wraps).
//
// Threads: waitReadable() is for the one reader thread; readAvailable() and
// writeSaved() are called by one thread at a time (the capture's mutex);
// restore() and the destructor by the thread that made the pipe, after the
// reader ended (the destructor) or while it runs (restore()).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>
#include <thread>

namespace update_sequence {

class OutputPipe {
public:
    // Flushes every stdio stream and puts a new pipe's writing end on
    // `descriptor`, keeping the real one aside. Null when that cannot be
    // done; `descriptor` is then as it was.
    static std::unique_ptr<OutputPipe> redirect(int descriptor);
    // Closes the reading end and the kept descriptor (restore() first).
    ~OutputPipe();
    OutputPipe(const OutputPipe &) = delete;
    OutputPipe &operator=(const OutputPipe &) = delete;

    // Blocks until the pipe has something to read or every writing end is
    // closed. Errors return too: the caller reads and waits again.
    void waitReadable();
    // What the pipe holds now, without blocking: the number of bytes read,
    // 0 when there is nothing now, -1 once every writing end is closed and
    // everything was read.
    std::ptrdiff_t readAvailable(char *buffer, size_t size);
    // Writes to the real descriptor (nothing when there is none).
    void writeSaved(std::string_view text);
    // Puts the real descriptor back on the captured one, which closes the
    // pipe's writing end. Idempotent.
    void restore();

    // Runs `body` on a new thread that takes no signal (a stop signal meant
    // for the program must not end the reader, nor interrupt its reads).
    // Not joinable when no thread could be made.
    static std::thread startReader(std::function<void()> body);

private:
    struct Ends;
    explicit OutputPipe(std::unique_ptr<Ends> ends);
    std::unique_ptr<Ends> ends_;
};

}  // namespace update_sequence
