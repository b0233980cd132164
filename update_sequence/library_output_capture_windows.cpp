// SPDX-License-Identifier: MIT
// Windows: the libraries' lines are not taken off standard output. A pipe
// put on descriptor 1 could be read, but not waited on together with the
// program's own writes without reordering the lines, so the capture is never
// set up: capturing() is false, and the programs fall back to writing the
// libraries' lines and their own to standard output as plain lines, in the
// order they are written (every writer flushes after each line).
#include "library_output_capture.h"

namespace updater {

LibraryOutputCapture::LibraryOutputCapture(Sink sink, int descriptor)
    : sink_(std::move(sink)), descriptor_(descriptor) {}

LibraryOutputCapture::~LibraryOutputCapture() { stop(); }

std::unique_lock<std::mutex> LibraryOutputCapture::holdOutput() { return std::unique_lock(mutex_); }

std::string LibraryOutputCapture::capturedText() {
    std::lock_guard lock(mutex_);
    return captured_;
}

// Nothing was captured: nothing to give back.
void LibraryOutputCapture::stop() {}

}  // namespace updater
