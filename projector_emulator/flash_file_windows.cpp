// SPDX-License-Identifier: MIT
#include <windows.h>

#include "flash_file.h"

namespace projector_emulator::flash_file {
namespace {

std::string systemError(const std::string &what, const std::string &path) {
    const DWORD code = ::GetLastError();
    char text[256] = "";
    DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                    sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == '.')) --length;
    return what + " " + path + ": " + (length > 0 ? std::string(text, length) : "error " + std::to_string(code));
}

}  // namespace

uint8_t *map(const std::string &path, size_t size, const std::function<std::vector<uint8_t>()> &initial,
             std::string &error) {
    // Shared for reading and writing: a check of the file while the emulator
    // runs (the demo, the tests) sees what the projector holds.
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = systemError("cannot open flash file", path);
        return nullptr;
    }
    LARGE_INTEGER length{};
    if (!::GetFileSizeEx(file, &length)) {
        error = systemError("cannot examine flash file", path);
        ::CloseHandle(file);
        return nullptr;
    }
    if (length.QuadPart == 0) {
        // A new flash file: what a projector leaves the factory with.
        const std::vector<uint8_t> bytes = initial();
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written != bytes.size() || !::FlushFileBuffers(file)) {
            error = systemError("cannot write flash file", path);
            ::CloseHandle(file);
            return nullptr;
        }
    } else if (length.QuadPart != static_cast<LONGLONG>(size)) {
        error =
            "flash file " + path + " has " + std::to_string(length.QuadPart) + " bytes, not " + std::to_string(size);
        ::CloseHandle(file);
        return nullptr;
    }
    HANDLE mapping = ::CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
    ::CloseHandle(file);  // the mapping keeps the file
    if (mapping == nullptr) {
        error = systemError("cannot map flash file", path);
        return nullptr;
    }
    void *data = ::MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, size);
    ::CloseHandle(mapping);  // the view keeps the mapping
    if (data == nullptr) {
        error = systemError("cannot map flash file", path);
        return nullptr;
    }
    return static_cast<uint8_t *>(data);
}

void unmap(uint8_t *data, size_t size) {
    ::FlushViewOfFile(data, size);
    ::UnmapViewOfFile(data);
}

}  // namespace projector_emulator::flash_file
