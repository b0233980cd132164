// SPDX-License-Identifier: MIT
// How tz4817-emu is told to stop, or to clear its faults, from outside:
// signals on POSIX systems (stop_signals_posix.cpp), console control events
// on Windows (stop_signals_windows.cpp).
#pragma once

namespace projector_emulator::stop_signals {

// Takes the requests from here on: called on the main thread before any
// other thread starts (POSIX threads inherit the blocked signals). A peer
// that goes away never ends the process (SIGPIPE is ignored).
void hold();

enum class Request {
    Stop,         // SIGINT or SIGTERM; on Windows Ctrl+C, Ctrl+Break, the console closing
    ClearFaults,  // SIGUSR1 (Windows has no such request)
};

// Blocks until the next request; `number` is the signal's (SIGINT for
// Ctrl+C and Ctrl+Break, SIGTERM for the console closing).
Request wait(int &number);

// Ends the wait as SIGTERM would, from any thread: the emulator's own way to
// stop (a replay that has ended).
void requestStop();

}  // namespace projector_emulator::stop_signals
