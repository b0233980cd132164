// SPDX-License-Identifier: MIT
#include "library_output_capture.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <system_error>
#include <unistd.h>

namespace updater {

namespace {

// Puts `from` on descriptor `to`. For two open descriptors dup2 fails only
// for a moment (EBUSY: Linux's answer while another thread opens one).
bool moveDescriptor(int from, int to) {
    while (::dup2(from, to) < 0) {
        if (errno != EINTR && errno != EBUSY) return false;
    }
    return true;
}

}  // namespace

LibraryOutputCapture::LibraryOutputCapture(Sink sink, int descriptor)
    : sink_(std::move(sink)), descriptor_(descriptor) {
    std::fflush(nullptr);
    const int saved = ::fcntl(descriptor_, F_DUPFD_CLOEXEC, 3);
    if (saved < 0) return;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        ::close(saved);
        return;
    }
    // The reading end never blocks: holdOutput() takes what is there and
    // goes on.
    if (::fcntl(ends[0], F_SETFL, O_NONBLOCK) != 0 || !moveDescriptor(ends[1], descriptor_)) {
        ::close(ends[0]);
        ::close(ends[1]);
        ::close(saved);
        return;
    }
    // The descriptor is now the pipe's only writing end: when it is given back
    // the reader sees the end of file.
    ::close(ends[1]);
    readEnd_ = ends[0];
    savedOutput_ = saved;

    // The reader takes no signal: a stop signal meant for the program must
    // not end it, and its reads are not to be interrupted.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        reader_ = std::thread([this] { run(); });
    } catch (const std::system_error &) {}
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    // No reader, no capture: the real output goes back at once, with
    // whatever another thread printed meanwhile.
    if (!reader_.joinable()) stop();
}

LibraryOutputCapture::~LibraryOutputCapture() { stop(); }

std::unique_lock<std::mutex> LibraryOutputCapture::holdOutput() {
    std::unique_lock lock(mutex_);
    if (readEnd_ >= 0) forwardAvailable();
    return lock;
}

std::string LibraryOutputCapture::capturedText() {
    std::lock_guard lock(mutex_);
    if (readEnd_ >= 0) forwardAvailable();
    return captured_;
}

void LibraryOutputCapture::stop() {
    if (readEnd_ < 0) return;
    std::fflush(nullptr);
    // The real output back on the descriptor closes the pipe's writing end:
    // the reader forwards what is left, then sees the end of file.
    moveDescriptor(savedOutput_, descriptor_);
    if (reader_.joinable()) reader_.join();
    std::lock_guard lock(mutex_);
    forwardAvailable();  // nothing left once the reader saw the end of file
    if (!pending_.empty()) forward(pending_);
    pending_.clear();
    ::close(savedOutput_);  // a line without a sink went to it until now
    ::close(readEnd_);
    savedOutput_ = readEnd_ = -1;
}

void LibraryOutputCapture::run() {
    pollfd readable{readEnd_, POLLIN, 0};
    for (;;) {
        // Errors (EINTR, ENOMEM) pass: the pipe must keep being read, or the
        // libraries' writes would block once it is full.
        if (::poll(&readable, 1, -1) < 0) continue;
        std::lock_guard lock(mutex_);
        if (!forwardAvailable()) return;
    }
}

bool LibraryOutputCapture::forwardAvailable() {
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(readEnd_, chunk, sizeof chunk);
        if (got == 0) return false;
        if (got < 0) {
            if (errno == EINTR) continue;
            return true;  // EAGAIN: nothing more for now
        }
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
        (void)!::write(savedOutput_, line.data(), line.size());
}

}  // namespace updater
