// SPDX-License-Identifier: MIT
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "console.h"

namespace headless_update::console {

int duplicateStandardOutput() { return ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3); }

int duplicateStandardError() { return ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3); }

bool isTerminal(int fd) { return ::isatty(fd) == 1; }

std::vector<std::string> arguments(int argc, char **argv) { return std::vector<std::string>(argv + 1, argv + argc); }

bool changeDirectory(const std::string &path) { return ::chdir(path.c_str()) == 0; }

void setVariable(const char *name, const std::string &value) { ::setenv(name, value.c_str(), 1); }

void survivePeerGoingAway() { std::signal(SIGPIPE, SIG_IGN); }

}  // namespace headless_update::console
