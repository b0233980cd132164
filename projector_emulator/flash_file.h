// SPDX-License-Identifier: MIT
// The file behind the emulated flash, mapped into memory and shared with it:
// every byte stored in the mapping is in the file at once, so a killed
// emulator leaves the flash as a power cut would. flash_file_posix.cpp
// (mmap) and flash_file_windows.cpp (a file mapping) implement it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace projector_emulator::flash_file {

// Maps the file at `path`, `size` bytes. A missing or empty file is created
// with the bytes `initial()` gives (`size` of them). Null with `error` set
// when the file cannot be opened, created, mapped, or has another size.
uint8_t *map(const std::string &path, size_t size, const std::function<std::vector<uint8_t>()> &initial,
             std::string &error);

// Writes what is still held in memory to the file and ends the mapping.
void unmap(uint8_t *data, size_t size);

}  // namespace projector_emulator::flash_file
