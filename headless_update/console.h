// SPDX-License-Identifier: MIT
// The console calls of tz4817-update whose form differs between platforms:
// console_posix.cpp, console_windows.cpp.
#pragma once

#include <cstdio>
#include <string>

namespace headless::console {

// A copy of standard output's descriptor, not inherited by child processes;
// -1 on failure.
int duplicateStandardOutput();

bool isTerminal(int fd);

// Sets the process's environment variable `name`.
void setVariable(const char *name, const std::string &value);

// A reader that goes away (tz4817-update | head) must not end the process:
// writes then fail quietly. Nothing to do where no signal does that.
void survivePeerGoingAway();

}  // namespace headless::console
