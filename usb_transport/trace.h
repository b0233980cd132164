// SPDX-License-Identifier: MIT
// The transport's trace: the device manager's trace points and every frame
// the transport exchanges. Quiet unless the environment variable QRV_DEBUG is
// 1 when the library first traces (tz4817-update -v sets it); then each
// trace point and each frame is one line on standard error with the time of
// day: "tz4817 14:03:07.123456 WDU_Init: ...", "tz4817 14:03:07.123789 frame
// out 9: 02 01 00 03 00 34 30 01 69". Any thread; one write per line, so lines
// of different threads never mix.
#pragma once

#include <cinttypes>
#include <cstdint>

namespace usb_transport {

// Whether tracing is on. Cheap: read once, then a load.
bool traceEnabled();

// One trace point: `format` and its arguments as printf takes them. Returns 0.
int Trace(const char *format, ...) __attribute__((format(printf, 1, 2)));

// One line on standard error whether or not tracing is on, for what a user
// must be told: "tz4817: " and the text (no line feed in it). One write, so
// lines of different threads never mix. Returns 0.
int note(const char *format, ...) __attribute__((format(printf, 1, 2)));

// A pointer as the trace prints it: "0x%" PRIxPTR, the whole address.
inline uintptr_t address(const void *pointer) { return reinterpret_cast<uintptr_t>(pointer); }

// One exchanged frame: `direction` "out" or "in", the bytes moved and the
// transfer's status (0 when it succeeded; a failed transfer says so).
void traceFrame(const char *direction, const uint8_t *bytes, uint32_t length, uint32_t status);

}  // namespace usb_transport
