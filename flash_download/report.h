// SPDX-License-Identifier: MIT
// The library's diagnostics: fixed lines on standard output, and where a
// procedure failed on standard error.
#pragma once

namespace flash_download {

// Prints one line with printf and flushes standard output at once, so that
// the line keeps its place among the transport's lines and the caller's own
// output even when standard output is a pipe or a file.
void report(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Says where and in which step a procedure failed, in one line on standard
// error that begins "tz4817: " (the transport's prefix, whose line on the
// failed exchange comes just before): "tz4817: programming stopped at flash
// offset 0x0CB8A0 (...)". Standard output keeps only the library's own
// lines. `format` has no line feed.
void note(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace flash_download
