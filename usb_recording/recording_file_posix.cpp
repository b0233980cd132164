// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "recording_file_system.h"

namespace usb_recording::file_system {

int open(const std::string &path, Mode mode, std::string &error) {
    int flags = O_CLOEXEC;
    switch (mode) {
    case Mode::Read: flags |= O_RDONLY; break;
    case Mode::Append: flags |= O_RDWR | O_CREAT | O_APPEND; break;
    case Mode::Replace: flags |= O_RDWR | O_CREAT | O_APPEND | O_TRUNC; break;
    }
    const int handle = ::open(path.c_str(), flags, 0644);
    if (handle < 0) error = "cannot open " + path + ": " + std::strerror(errno);
    return handle;
}

bool readAll(int handle, std::vector<uint8_t> &bytes, std::string &error) {
    bytes.clear();
    uint8_t chunk[65536];
    for (off_t at = 0;;) {
        const ssize_t got = ::pread(handle, chunk, sizeof chunk, at);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = std::string("cannot read the recording: ") + std::strerror(errno);
            return false;
        }
        if (got == 0) return true;
        bytes.insert(bytes.end(), chunk, chunk + got);
        at += got;
    }
}

bool write(int handle, std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t wrote = ::write(handle, bytes.data(), bytes.size());
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        bytes = bytes.subspan(static_cast<size_t>(wrote));
    }
    return true;
}

void sync(int handle) { (void)::fdatasync(handle); }

void close(int handle) { ::close(handle); }

std::string programName() { return program_invocation_short_name; }

unsigned long processId() { return static_cast<unsigned long>(::getpid()); }

}  // namespace usb_recording::file_system
