// SPDX-License-Identifier: MIT
#include <windows.h>

#include <cstdlib>
#include <io.h>

#include "console.h"

namespace headless::console {

int duplicateStandardOutput() { return ::_dup(1); }

// A console, not any character device: _isatty() is true for NUL too, and a
// script's `< NUL` must not be taken for a user at a keyboard.
bool isTerminal(int fd) {
    const intptr_t handle = ::_get_osfhandle(fd);
    DWORD mode = 0;
    return handle != -1 && ::GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode) != 0;
}

// Both the C runtime's environment, which getenv() reads in this program and
// in the libraries (all on msvcrt.dll), and the process's.
void setVariable(const char *name, const std::string &value) { ::_putenv_s(name, value.c_str()); }

void survivePeerGoingAway() {}

}  // namespace headless::console
