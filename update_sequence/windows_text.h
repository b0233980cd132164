// SPDX-License-Identifier: MIT
// Windows: file names cross the program as UTF-8 and reach the system as
// wide strings, so that every name works whatever the ANSI code page; and
// the system's errors in the words of the C library where it has them.
#pragma once

#include <string>

namespace update_sequence::windows_text {

// The UTF-8 text as UTF-16. False when it is not valid UTF-8.
bool wide(const std::string &utf8, std::wstring &text);
std::string utf8(const std::wstring &text);
// A few words for a GetLastError() code ("No such file or directory").
std::string systemError(unsigned long code);

}  // namespace update_sequence::windows_text
