// SPDX-License-Identifier: MIT
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <system_error>
#include <unistd.h>

#include "output_pipe.h"

namespace update_sequence {

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

struct OutputPipe::Ends {
    int descriptor;
    int readEnd;
    int saved;  // the real descriptor
    bool restored = false;
};

OutputPipe::OutputPipe(std::unique_ptr<Ends> ends) : ends_(std::move(ends)) {}

std::unique_ptr<OutputPipe> OutputPipe::redirect(int descriptor) {
    std::fflush(nullptr);
    const int saved = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
    if (saved < 0) return nullptr;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        ::close(saved);
        return nullptr;
    }
    // The reading end never blocks: a holder of the capture takes what is
    // there and goes on.
    if (::fcntl(ends[0], F_SETFL, O_NONBLOCK) != 0 || !moveDescriptor(ends[1], descriptor)) {
        ::close(ends[0]);
        ::close(ends[1]);
        ::close(saved);
        return nullptr;
    }
    // The descriptor is now the pipe's only writing end: when it is given back
    // the reader sees the end of file.
    ::close(ends[1]);
    return std::unique_ptr<OutputPipe>(new OutputPipe(std::make_unique<Ends>(Ends{descriptor, ends[0], saved})));
}

OutputPipe::~OutputPipe() {
    restore();
    ::close(ends_->saved);
    ::close(ends_->readEnd);
}

void OutputPipe::waitReadable() {
    pollfd readable{ends_->readEnd, POLLIN, 0};
    // Errors (EINTR, ENOMEM) pass: the caller reads and comes back.
    (void)::poll(&readable, 1, -1);
}

std::ptrdiff_t OutputPipe::readAvailable(char *buffer, size_t size) {
    for (;;) {
        const ssize_t got = ::read(ends_->readEnd, buffer, size);
        if (got > 0) return got;
        if (got == 0) return -1;
        if (errno != EINTR) return 0;  // EAGAIN: nothing more for now
    }
}

void OutputPipe::writeSaved(std::string_view text) { (void)!::write(ends_->saved, text.data(), text.size()); }

void OutputPipe::restore() {
    if (ends_->restored) return;
    ends_->restored = true;
    moveDescriptor(ends_->saved, ends_->descriptor);
}

std::thread OutputPipe::startReader(std::function<void()> body) {
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    std::thread reader;
    try {
        reader = std::thread(std::move(body));
    } catch (const std::system_error &) {}
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return reader;
}

}  // namespace update_sequence
