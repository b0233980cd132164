// SPDX-License-Identifier: MIT
#include "report.h"

#include <cstdarg>
#include <cstdio>

namespace qrvdl {

void report(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
}

}  // namespace qrvdl
