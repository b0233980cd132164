// SPDX-License-Identifier: MIT
// The program's message boxes on Windows: a task dialog (common controls 6)
// with the title "OstranUpdater", the text, OK and no icon, modal to its
// owner; the details, when there are any, behind its "Show Details..."
// button, the box made wide enough for the longest detail line (the core's
// detailsArea()) so that a server's address or a status line is read at a
// glance, without wrapping or scrolling.
#pragma once

#include <windows.h>

#include <string_view>

namespace updater::win32 {

// Returns when the user has pressed OK (or Escape, or the close box).
void showMessageBox(HWND owner, std::string_view text, std::string_view details);

}  // namespace updater::win32
