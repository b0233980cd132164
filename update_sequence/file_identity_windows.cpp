// SPDX-License-Identifier: MIT
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>

#include "file_identity.h"

namespace updater::file_identity {
namespace {

std::string systemError(DWORD code) {
    // The words of the C library where it has them, as on other platforms.
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return std::strerror(ENOENT);
    if (code == ERROR_ACCESS_DENIED) return std::strerror(EACCES);
    char text[256] = "";
    DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                    sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == '.')) --length;
    return length > 0 ? std::string(text, length) : "error " + std::to_string(code);
}

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

}  // namespace

int openForReading(const std::string &path, std::string &error) {
    // Others may go on reading and writing it: a write shows up as a change.
    HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = systemError(::GetLastError());
        return -1;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        error = std::strerror(errno);
        ::CloseHandle(handle);
    }
    return fd;
}

void close(int fd) { ::_close(fd); }

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
    HANDLE handle = ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = systemError(::GetLastError());
        return false;
    }
    const bool known = identityOf(handle, identity, error);
    ::CloseHandle(handle);
    return known;
}

}  // namespace updater::file_identity
