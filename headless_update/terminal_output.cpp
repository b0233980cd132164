// SPDX-License-Identifier: MIT
#include "terminal_output.h"

#include <cerrno>
#include <unistd.h>

#include "console.h"

namespace headless {

TerminalOutput::TerminalOutput(int fd) : fd_(fd) {
    stream_ = console::openWriterStream(this, writeCookie);
    // Line buffered like a terminal's stdout; the libraries flush after
    // each line anyway.
    if (stream_) std::setvbuf(stream_, nullptr, _IOLBF, BUFSIZ);
}

TerminalOutput::~TerminalOutput() {
    if (!stream_) return;
    endLine();
    std::fclose(stream_);
}

void TerminalOutput::drawLine(const std::string &text) {
    if (!stream_) return;
    // Whatever else waits in the buffer is written first, as other output.
    std::fflush(stream_);
    draw(text, lineOpen_.load());
    hasDeferred_ = false;
    lineOpen_.store(true);
}

void TerminalOutput::deferLine(const std::string &text) {
    deferred_ = text;
    hasDeferred_ = true;
}

void TerminalOutput::endLine() {
    if (!stream_) return;
    std::fflush(stream_);
    finishLine();
}

ssize_t TerminalOutput::writeCookie(void *cookie, const char *data, size_t size) {
    auto *self = static_cast<TerminalOutput *>(cookie);
    self->finishLine();
    self->writeAll(data, size);
    // A terminal that went away must not stop the update: what could not
    // be written is dropped.
    return static_cast<ssize_t>(size);
}

void TerminalOutput::finishLine() {
    const bool deferred = hasDeferred_;
    hasDeferred_ = false;
    if (!lineOpen_.exchange(false)) return;
    if (deferred) draw(deferred_, true);
    writeAll("\n", 1);
}

void TerminalOutput::draw(const std::string &text, bool overOpenLine) {
    std::string line = "\r" + text;
    // Blanks over what is left of a longer line drawn before; no terminal
    // control sequences are needed.
    if (overOpenLine && text.size() < drawnLength_) line.append(drawnLength_ - text.size(), ' ');
    writeAll(line.data(), line.size());
    drawnLength_ = text.size();
}

void TerminalOutput::writeAll(const char *data, size_t size) const {
    while (size > 0) {
        const ssize_t written = ::write(fd_, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
}

}  // namespace headless
