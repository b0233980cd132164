// SPDX-License-Identifier: MIT
#include "terminal_output.h"

#include <cerrno>
#include <unistd.h>

namespace headless_update {

TerminalOutput::TerminalOutput(int fd) : fd_(fd) {}

TerminalOutput::~TerminalOutput() { endLine(); }

void TerminalOutput::write(std::string_view text) {
    endLine();
    writeAll(text.data(), text.size());
}

void TerminalOutput::drawLine(const std::string &text) {
    draw(text, lineOpen_.load());
    hasDeferred_ = false;
    lineOpen_.store(true);
}

void TerminalOutput::deferLine(const std::string &text) {
    deferred_ = text;
    hasDeferred_ = true;
}

void TerminalOutput::endLine() {
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

}  // namespace headless_update
