// SPDX-License-Identifier: MIT
#include "update_sequence/library_output_capture.h"

#include <cstdio>

#include "output_pipe.h"

namespace update_sequence {

LibraryOutputCapture::LibraryOutputCapture(Sink sink, int descriptor)
    : sink_(std::move(sink)), pipe_(OutputPipe::redirect(descriptor)) {
    if (!pipe_) return;
    reader_ = OutputPipe::startReader([this] { run(); });
    // No reader, no capture: the real output goes back at once, with
    // whatever another thread printed meanwhile.
    if (!reader_.joinable()) stop();
}

LibraryOutputCapture::~LibraryOutputCapture() { stop(); }

std::unique_lock<std::mutex> LibraryOutputCapture::holdOutput() {
    std::unique_lock lock(mutex_);
    if (pipe_) forwardAvailable();
    return lock;
}

std::string LibraryOutputCapture::capturedText() {
    std::lock_guard lock(mutex_);
    if (pipe_) forwardAvailable();
    return captured_;
}

void LibraryOutputCapture::stop() {
    if (!pipe_) return;
    std::fflush(nullptr);
    // The real output back on the descriptor closes the pipe's writing end:
    // the reader forwards what is left, then sees the end of file.
    pipe_->restore();
    if (reader_.joinable()) reader_.join();
    std::lock_guard lock(mutex_);
    forwardAvailable();  // nothing left once the reader saw the end of file
    if (!pending_.empty()) forward(pending_);
    pending_.clear();
    pipe_.reset();  // a line without a sink went to the real output until now
}

void LibraryOutputCapture::run() {
    for (;;) {
        // The pipe must keep being read, or the libraries' writes would
        // block once it is full.
        pipe_->waitReadable();
        std::lock_guard lock(mutex_);
        if (!forwardAvailable()) return;
    }
}

bool LibraryOutputCapture::forwardAvailable() {
    char chunk[4096];
    for (;;) {
        const std::ptrdiff_t got = pipe_->readAvailable(chunk, sizeof chunk);
        if (got < 0) return false;
        if (got == 0) return true;
        pending_.append(chunk, static_cast<size_t>(got));
        size_t start = 0;
        for (size_t end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n', start)) {
            forward(std::string_view(pending_).substr(start, end + 1 - start));
            start = end + 1;
        }
        pending_.erase(0, start);
    }
}

void LibraryOutputCapture::forward(std::string_view line) {
    captured_.append(line);
    if (sink_)
        sink_(line);
    else
        pipe_->writeSaved(line);
}

}  // namespace update_sequence
