// SPDX-License-Identifier: MIT
#include <windows.h>

#include <condition_variable>
#include <csignal>
#include <mutex>

#include "stop_signals.h"

namespace projector_emulator::stop_signals {
namespace {

std::mutex gMutex;
std::condition_variable gArrived;
int gSignal = 0;  // 0 while none has come

// Runs on a thread of the system's making. Returning TRUE keeps the process
// alive until main() has stopped the server; for the console closing the
// system waits a few seconds for that.
BOOL WINAPI onControl(DWORD event) {
    const int number = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? SIGINT : SIGTERM;
    {
        std::lock_guard lock(gMutex);
        if (gSignal == 0) gSignal = number;
    }
    gArrived.notify_all();
    return TRUE;
}

}  // namespace

void hold() { ::SetConsoleCtrlHandler(onControl, TRUE); }

Request wait(int &number) {
    std::unique_lock lock(gMutex);
    gArrived.wait(lock, [] { return gSignal != 0; });
    number = gSignal;
    return Request::Stop;
}

void requestStop() { onControl(CTRL_CLOSE_EVENT); }

}  // namespace projector_emulator::stop_signals
