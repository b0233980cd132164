// SPDX-License-Identifier: MIT
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "recording_file_system.h"

namespace usb_recording::file_system {
namespace {

// Paths are UTF-8 inside the program; the C runtime's narrow calls would
// take them in the ANSI code page.
std::wstring wide(const std::string &text) {
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), length);
    return result;
}

}  // namespace

int open(const std::string &path, Mode mode, std::string &error) {
    int flags = _O_BINARY | _O_NOINHERIT;
    switch (mode) {
    case Mode::Read: flags |= _O_RDONLY; break;
    case Mode::Append: flags |= _O_RDWR | _O_CREAT | _O_APPEND; break;
    case Mode::Replace: flags |= _O_RDWR | _O_CREAT | _O_APPEND | _O_TRUNC; break;
    }
    // Others may read it while it is written (a maintainer's Wireshark).
    int handle = -1;
    const errno_t failure = ::_wsopen_s(&handle, wide(path).c_str(), flags, _SH_DENYWR, _S_IREAD | _S_IWRITE);
    if (failure != 0) error = "cannot open " + path + ": " + std::strerror(failure);
    return failure == 0 ? handle : -1;
}

bool readAll(int handle, std::vector<uint8_t> &bytes, std::string &error) {
    bytes.clear();
    if (::_lseeki64(handle, 0, SEEK_SET) < 0) {
        error = std::string("cannot read the recording: ") + std::strerror(errno);
        return false;
    }
    uint8_t chunk[65536];
    for (;;) {
        const int got = ::_read(handle, chunk, sizeof chunk);
        if (got < 0) {
            error = std::string("cannot read the recording: ") + std::strerror(errno);
            return false;
        }
        if (got == 0) return true;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
}

bool write(int handle, std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        const int wrote = ::_write(handle, bytes.data(), static_cast<unsigned>(bytes.size()));
        if (wrote <= 0) return false;
        bytes = bytes.subspan(static_cast<size_t>(wrote));
    }
    return true;
}

void sync(int handle) { (void)::_commit(handle); }

void close(int handle) { ::_close(handle); }

std::string programName() {
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name(path, length);
    const size_t slash = name.find_last_of(L"\\/");
    if (slash != std::wstring::npos) name.erase(0, slash + 1);
    const int size =
        ::WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), result.data(), size, nullptr,
                          nullptr);
    return result;
}

unsigned long processId() { return ::GetCurrentProcessId(); }

}  // namespace usb_recording::file_system
