// SPDX-License-Identifier: MIT
#include "report.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace flash_download {

void report(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
}

void note(const char *format, ...) {
    char line[512] = "tz4817: ";
    size_t length = std::strlen(line);
    va_list arguments;
    va_start(arguments, format);
    const int written = std::vsnprintf(line + length, sizeof line - length - 1, format, arguments);
    va_end(arguments);
    if (written > 0) length = std::min(length + static_cast<size_t>(written), sizeof line - 2);
    line[length++] = '\n';
    // One write: the line stays whole beside other threads' output.
    std::fflush(stderr);
    std::fwrite(line, 1, length, stderr);
    std::fflush(stderr);
}

}  // namespace flash_download
