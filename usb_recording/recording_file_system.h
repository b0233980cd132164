// SPDX-License-Identifier: MIT
// What a recording file needs of the system, one file per platform:
// recording_file_posix.cpp, recording_file_windows.cpp. Handles are C
// runtime file descriptors on both.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace usb_recording::file_system {

enum class Mode {
    Read,     // reading only
    Append,   // reading and appending; created when missing
    Replace,  // appending to a new, empty file (replacing one there)
};
// -1 with `error` set ("cannot open PATH: reason") when it cannot.
int open(const std::string &path, Mode mode, std::string &error);
// The whole file from its start.
bool readAll(int handle, std::vector<uint8_t> &bytes, std::string &error);
// Appends `bytes` (one system call unless the system takes fewer bytes).
bool write(int handle, std::span<const uint8_t> bytes);
void sync(int handle);
void close(int handle);

std::string programName();
unsigned long processId();

}  // namespace usb_recording::file_system
