// SPDX-License-Identifier: MIT
// The program's message boxes on Windows: a modal dialog owned by the update
// dialog, titled "OstranUpdater", with the text, OK (the default button) and
// no icon; with details, a "Show Details..." button that shows them below in
// a read-only pane of a fixed-pitch font, sized as the core's detailsArea()
// says (as wide as the longest line up to 80 columns, a longer line wrapped,
// as tall as the lines up to 20, then it scrolls): a server's address or a
// status line is read at a glance. OK, Enter, Escape and the close box end it.
#pragma once

#include <windows.h>

#include <string_view>

namespace wizard::win32 {

// Control ids of the box (the text has none).
inline constexpr int kIdShowDetails = 3;
inline constexpr int kIdDetails = 4;

// Returns when the user has ended the box.
void showMessageBox(HWND owner, std::string_view text, std::string_view details);

}  // namespace wizard::win32
