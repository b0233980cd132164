// SPDX-License-Identifier: MIT
// The About box (template 100): the program's icon, its name and version,
// and OK; OK, Escape and the close box end it.
#pragma once

#include <windows.h>

namespace wizard::win32 {

// Runs the About box modally to `owner`; returns when it was closed.
void runAboutBox(HWND owner);

}  // namespace wizard::win32
