// SPDX-License-Identifier: MIT
// The library's diagnostics: fixed lines on standard output.
#pragma once

namespace qrvdl {

// Prints one line with printf and flushes standard output at once, so that
// the line keeps its place among the transport's lines and the caller's own
// output even when standard output is a pipe or a file.
void report(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qrvdl
