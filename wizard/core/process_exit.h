// SPDX-License-Identifier: MIT
// Ending the process at once, as Cancel in the wizard and Finish in the
// update dialog do: the normal exit handlers run (standard output is
// flushed), windows still open are not closed first.
#pragma once

#include <functional>

namespace wizard {

// Ends the process with `status` through the installed handler (std::exit
// unless a test installed another). Returns only when a test handler does.
void endProcess(int status);

// Installs `handler` in place of std::exit; an empty function restores it.
// Returns the handler it replaced (empty for std::exit). GUI thread only.
std::function<void(int)> SetProcessExitHandler(std::function<void(int)> handler);

}  // namespace wizard
