// SPDX-License-Identifier: MIT
#include "trace.h"

#include <sys/time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform.h"

namespace usb_transport {
namespace {

// "tz4817 14:03:07.123456 ": what starts every line.
size_t writePrefix(char *line, size_t size) {
    timeval now{};
    ::gettimeofday(&now, nullptr);
    tm local{};
    platform::localTime(now.tv_sec, local);
    const int written = std::snprintf(line, size, "tz4817 %02d:%02d:%02d.%06ld ", local.tm_hour, local.tm_min,
                                      local.tm_sec, static_cast<long>(now.tv_usec));
    return written > 0 ? static_cast<size_t>(written) : 0;
}

void writeLine(char *line, size_t length, size_t size) {
    if (length >= size) length = size - 1;
    if (length == 0 || line[length - 1] != '\n') line[length++] = '\n';
    (void)!::write(STDERR_FILENO, line, length);
}

}  // namespace

bool traceEnabled() {
    static const bool enabled = [] {
        const char *value = std::getenv("QRV_DEBUG");
        return value != nullptr && std::strcmp(value, "1") == 0;
    }();
    return enabled;
}

int Trace(const char *format, ...) {
    if (!traceEnabled()) return 0;
    char line[512];
    size_t length = writePrefix(line, sizeof line);
    va_list arguments;
    va_start(arguments, format);
    const int written = std::vsnprintf(line + length, sizeof line - length, format, arguments);
    va_end(arguments);
    if (written > 0) length += static_cast<size_t>(written);
    writeLine(line, length, sizeof line);
    return 0;
}

int note(const char *format, ...) {
    char line[512] = "tz4817: ";
    size_t length = 8;
    va_list arguments;
    va_start(arguments, format);
    const int written = std::vsnprintf(line + length, sizeof line - length, format, arguments);
    va_end(arguments);
    if (written > 0) length += static_cast<size_t>(written);
    writeLine(line, length, sizeof line);
    return 0;
}

void traceFrame(const char *direction, const uint8_t *bytes, uint32_t length, uint32_t status) {
    if (!traceEnabled()) return;
    // A frame is at most 257 bytes out and 263 in: three characters a byte.
    char line[64 + 3 * 264];
    size_t used = writePrefix(line, sizeof line);
    int written = status == 0 ? std::snprintf(line + used, sizeof line - used, "frame %s %u:", direction, length)
                              : std::snprintf(line + used, sizeof line - used,
                                              "frame %s failed, status 0x%08x, %u:", direction, status, length);
    if (written > 0) used += static_cast<size_t>(written);
    for (uint32_t i = 0; bytes != nullptr && i < length && used + 4 < sizeof line; ++i) {
        written = std::snprintf(line + used, sizeof line - used, " %02x", bytes[i]);
        if (written > 0) used += static_cast<size_t>(written);
    }
    writeLine(line, used, sizeof line);
}

}  // namespace usb_transport
