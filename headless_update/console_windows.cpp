// SPDX-License-Identifier: MIT
#include <windows.h>

#include <shellapi.h>

#include <cerrno>
#include <cstdlib>
#include <direct.h>
#include <io.h>

#include "console.h"

namespace headless_update::console {
namespace {

std::string utf8(const wchar_t *text) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return {};
    std::string bytes(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes.data(), size, nullptr, nullptr);
    bytes.pop_back();  // the terminating zero
    return bytes;
}

}  // namespace

int duplicateStandardOutput() { return ::_dup(1); }

int duplicateStandardError() { return ::_dup(2); }

// A console, not any character device: _isatty() is true for NUL too, and a
// script's `< NUL` must not be taken for a user at a keyboard.
bool isTerminal(int fd) {
    const intptr_t handle = ::_get_osfhandle(fd);
    DWORD mode = 0;
    return handle != -1 && ::GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode) != 0;
}

// argv is in the ANSI code page, which cannot spell every file name: the
// wide command line can.
std::vector<std::string> arguments(int argc, char **argv) {
    int count = 0;
    wchar_t **wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr) return std::vector<std::string>(argv + 1, argv + argc);
    std::vector<std::string> result;
    for (int i = 1; i < count; ++i) result.push_back(utf8(wide[i]));
    ::LocalFree(wide);
    return result;
}

bool changeDirectory(const std::string &path) {
    const int size = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, nullptr, 0);
    if (size <= 0) {
        errno = EINVAL;
        return false;
    }
    std::wstring wide(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, wide.data(), size);
    return ::_wchdir(wide.c_str()) == 0;
}

// Both the C runtime's environment, which getenv() reads in this program and
// in the libraries (all on msvcrt.dll), and the process's.
void setVariable(const char *name, const std::string &value) { ::_putenv_s(name, value.c_str()); }

void survivePeerGoingAway() {}

}  // namespace headless_update::console
