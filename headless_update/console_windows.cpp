// SPDX-License-Identifier: MIT
#include <cstdlib>
#include <io.h>

#include "console.h"

namespace headless::console {

int duplicateStandardOutput() { return ::_dup(1); }

int duplicateStandardError() { return ::_dup(2); }

bool isTerminal(int fd) { return ::_isatty(fd) != 0; }

// Both the C runtime's environment, which getenv() reads in this program and
// in the libraries (all on msvcrt.dll), and the process's.
void setVariable(const char *name, const std::string &value) { ::_putenv_s(name, value.c_str()); }

FILE *openWriterStream(void *, StreamWriter) { return nullptr; }

void survivePeerGoingAway() {}

}  // namespace headless::console
