// SPDX-License-Identifier: MIT
// The snapshot on Windows: tz4817.img in a folder of its own under the
// user's temporary folder. The download library's file calls take a path in
// the ANSI code page, so the path is built on the temporary folder's short
// name and must be one that code page can spell. The file stays open, shared
// for reading only: no other program can write it or delete it while the
// update runs, and a snapshot whose process has died is recognised by being
// deletable, and deleted, when the next one is made.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include "update_sequence/checked_image.h"
#include "windows_text.h"

namespace update_sequence {
namespace {

using windows_text::systemError;
using windows_text::utf8;

constexpr wchar_t kFolderPrefix[] = L"tz4817-update.";
constexpr wchar_t kFileName[] = L"\\tz4817.img";

// The user's temporary folder with a trailing backslash, by its short name
// where the volume has short names.
std::wstring temporaryFolder(std::string &error) {
    wchar_t longName[MAX_PATH + 1] = L"";
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, longName);
    if (length == 0 || length > MAX_PATH) {
        error = "the temporary folder cannot be found (" + systemError(::GetLastError()) + ")";
        return {};
    }
    wchar_t shortName[MAX_PATH + 1] = L"";
    const DWORD shortLength = ::GetShortPathNameW(longName, shortName, MAX_PATH + 1);
    return shortLength > 0 && shortLength <= MAX_PATH ? shortName : longName;
}

// The path in the ANSI code page, or false when that code page has no
// spelling for one of its characters.
bool ansiName(const std::wstring &path, std::string &ansi) {
    BOOL defaulted = FALSE;
    const int size = static_cast<int>(path.size());
    const int length =
        ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.data(), size, nullptr, 0, nullptr, &defaulted);
    if (length <= 0 || defaulted) return false;
    ansi.assign(static_cast<size_t>(length), '\0');
    ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.data(), size, ansi.data(), length, nullptr, &defaulted);
    return !defaulted;
}

// Removes the snapshots that processes which have ended left behind. A live
// one's file is open without delete sharing, so it cannot be deleted, and
// its folder stays.
void removeAbandoned(const std::wstring &temporary) {
    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileW((temporary + kFolderPrefix + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        const std::wstring folder = temporary + found.cFileName;
        ::DeleteFileW((folder + kFileName).c_str());
        ::RemoveDirectoryW(folder.c_str());
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
}

}  // namespace

bool ImageSnapshot::create(std::string &error) {
    const std::wstring temporary = temporaryFolder(error);
    if (temporary.empty()) return false;
    // Checked before anything is made: the names below add only ASCII.
    std::string ansiFolder;
    if (!ansiName(temporary, ansiFolder)) {
        error = "the temporary folder " + utf8(temporary) + " has no name in this system's ANSI code page (" +
                std::to_string(::GetACP()) + "), which the download's file calls take";
        return false;
    }
    removeAbandoned(temporary);

    // A folder of its own, then the file in it. Another updater clearing
    // abandoned snapshots may remove the folder while it is still empty: the
    // next attempt makes another.
    std::wstring folder, file;
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (unsigned attempt = 0; handle == INVALID_HANDLE_VALUE; ++attempt) {
        folder = temporary + kFolderPrefix + std::to_wstring(::GetCurrentProcessId()) + L"." + std::to_wstring(attempt);
        file = folder + kFileName;
        DWORD failure = 0;
        if (!::CreateDirectoryW(folder.c_str(), nullptr)) {
            failure = ::GetLastError();
        } else {
            handle = ::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_TEMPORARY, nullptr);
            if (handle == INVALID_HANDLE_VALUE) {
                failure = ::GetLastError();
                ::RemoveDirectoryW(folder.c_str());
            }
        }
        const bool again = failure == ERROR_ALREADY_EXISTS || failure == ERROR_PATH_NOT_FOUND;
        if (handle == INVALID_HANDLE_VALUE && (!again || attempt == 99)) {
            error = utf8(file) + ": " + systemError(failure);
            return false;
        }
    }
    folder_ = utf8(folder);
    fd_ = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
    if (fd_ < 0) {
        ::CloseHandle(handle);
        error = utf8(file) + ": no descriptor for it";
        return false;
    }
    if (!ansiName(file, path_) || path_.size() > kMaxImagePathLength) {
        error = utf8(file) + " is longer than the " + std::to_string(kMaxImagePathLength) + " bytes the download takes";
        return false;
    }
    return true;
}

bool ImageSnapshot::append(const char *data, size_t size, std::string &error) {
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd_));
    while (size > 0) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
        if (!::WriteFile(handle, data, chunk, &written, nullptr) || written == 0) {
            error = folder_ + ": " + systemError(::GetLastError());
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

ImageSnapshot::~ImageSnapshot() {
    if (fd_ >= 0) ::_close(fd_);
    if (folder_.empty()) return;
    std::wstring folder;
    if (!windows_text::wide(folder_, folder)) return;
    ::DeleteFileW((folder + kFileName).c_str());
    ::RemoveDirectoryW(folder.c_str());
}

}  // namespace update_sequence
