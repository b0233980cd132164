// SPDX-License-Identifier: MIT
// What tells one file from another and a changed file from the one that was
// checked, taken the same way on every platform: file_identity_posix.cpp
// (stat) and file_identity_windows.cpp (the file's volume and index).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace update_sequence::file_identity {

struct Identity {
    uint64_t volume = 0;  // the device (POSIX) or volume serial number (Windows)
    uint64_t file = 0;    // the inode, or the file index on the volume
    uint64_t size = 0;
    int64_t modified = 0;  // the last write, in nanoseconds of the system's clock
    bool regular = false;  // a plain file (no directory, FIFO or device)
};

// Opens `path` (UTF-8) for reading; never blocks on a FIFO or device of that
// name, not inherited by child processes. -1 with `error` set (the system's
// words) on failure.
int openForReading(const std::string &path, std::string &error);
void close(int fd);

// Reads at most `size` bytes at `offset` of the open file, leaving its file
// position alone: the count, 0 at the end of the file, -1 with `error` set.
int64_t readAt(int fd, uint64_t offset, void *buffer, size_t size, std::string &error);

// The identity of the open file, or of the file `path` names now. False
// with `error` set on failure.
bool ofOpen(int fd, Identity &identity, std::string &error);
bool ofPath(const std::string &path, Identity &identity, std::string &error);

}  // namespace update_sequence::file_identity
