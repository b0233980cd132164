// SPDX-License-Identifier: MIT
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>

#include <algorithm>

#include "file_identity.h"
#include "windows_text.h"

namespace update_sequence::file_identity {
namespace {

using windows_text::systemError;

bool identityOf(HANDLE handle, Identity &identity, std::string &error) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(handle, &information)) {
        error = systemError(::GetLastError());
        return false;
    }
    identity.volume = information.dwVolumeSerialNumber;
    identity.file = static_cast<uint64_t>(information.nFileIndexHigh) << 32 | information.nFileIndexLow;
    identity.size = static_cast<uint64_t>(information.nFileSizeHigh) << 32 | information.nFileSizeLow;
    // 100-nanosecond units.
    identity.modified = static_cast<int64_t>(static_cast<uint64_t>(information.ftLastWriteTime.dwHighDateTime) << 32 |
                                             information.ftLastWriteTime.dwLowDateTime) *
                        100;
    identity.regular =
        ::GetFileType(handle) == FILE_TYPE_DISK && (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    return true;
}

// Opens the UTF-8 `path` through the wide API: every name works, whatever
// the ANSI code page can spell.
HANDLE openPath(const std::string &path, DWORD access, DWORD flags, std::string &error) {
    std::wstring name;
    if (!windows_text::wide(path, name)) {
        error = "not a valid UTF-8 name";
        return INVALID_HANDLE_VALUE;
    }
    // Others may go on reading and writing it: a write shows up as a change.
    HANDLE handle = ::CreateFileW(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) error = systemError(::GetLastError());
    return handle;
}

}  // namespace

int openForReading(const std::string &path, std::string &error) {
    HANDLE handle = openPath(path, GENERIC_READ, FILE_ATTRIBUTE_NORMAL, error);
    if (handle == INVALID_HANDLE_VALUE) return -1;
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        error = std::strerror(errno);
        ::CloseHandle(handle);
    }
    return fd;
}

void close(int fd) { ::_close(fd); }

int64_t readAt(int fd, uint64_t offset, void *buffer, size_t size, std::string &error) {
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!::ReadFile(handle, buffer, static_cast<DWORD>(std::min<size_t>(size, 1u << 30)), &got, &at)) {
        if (::GetLastError() == ERROR_HANDLE_EOF) return 0;
        error = systemError(::GetLastError());
        return -1;
    }
    return got;
}

bool ofOpen(int fd, Identity &identity, std::string &error) {
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (handle == INVALID_HANDLE_VALUE) {
        error = std::strerror(EBADF);
        return false;
    }
    return identityOf(handle, identity, error);
}

bool ofPath(const std::string &path, Identity &identity, std::string &error) {
    // FILE_FLAG_BACKUP_SEMANTICS: a directory of that name opens too, and is
    // then told apart.
    HANDLE handle = openPath(path, 0, FILE_FLAG_BACKUP_SEMANTICS, error);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool known = identityOf(handle, identity, error);
    ::CloseHandle(handle);
    return known;
}

}  // namespace update_sequence::file_identity
