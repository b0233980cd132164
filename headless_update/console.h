// SPDX-License-Identifier: MIT
// The console calls of tz4817-update whose form differs between platforms:
// console_posix.cpp, console_windows.cpp.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace headless_update::console {

// A copy of standard output's (standard error's) descriptor, not inherited
// by child processes; -1 on failure.
int duplicateStandardOutput();
int duplicateStandardError();

bool isTerminal(int fd);

// The program's arguments (without its name) in UTF-8: on Windows taken
// from the wide command line, so that a path the ANSI code page cannot spell
// arrives whole.
std::vector<std::string> arguments(int argc, char **argv);

// Changes the working directory to the UTF-8 `path`. False with errno set.
bool changeDirectory(const std::string &path);

// Sets the process's environment variable `name`.
void setVariable(const char *name, const std::string &value);

// A reader that goes away (tz4817-update | head) must not end the process:
// writes then fail quietly. Nothing to do where no signal does that.
void survivePeerGoingAway();

}  // namespace headless_update::console
