// SPDX-License-Identifier: MIT
#include <windows.h>

#include <condition_variable>
#include <mutex>

#include "interrupt_guard.h"

namespace headless_update {
namespace {

// The console's control events arrive on a thread of the system's making;
// the watcher reports them, one at a time and in order.
std::mutex gMutex;
std::condition_variable gChanged;
int gPending = 0;  // events not reported yet
bool gGuarding = false;

BOOL WINAPI onControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;  // the system's default
    std::lock_guard lock(gMutex);
    if (!gGuarding) return FALSE;
    ++gPending;
    gChanged.notify_all();
    return TRUE;  // the update goes on
}

}  // namespace

InterruptGuard::InterruptGuard(std::function<void(int signal)> onSignal) : onSignal_(std::move(onSignal)) {
    {
        std::lock_guard lock(gMutex);
        gGuarding = true;
        gPending = 0;
    }
    ::SetConsoleCtrlHandler(onControl, TRUE);
    watcher_ = std::thread([this] {
        std::unique_lock lock(gMutex);
        for (;;) {
            gChanged.wait(lock, [this] { return gPending > 0 || stopping_.load(); });
            if (stopping_.load()) return;
            --gPending;
            lock.unlock();
            onSignal_(SIGINT);
            lock.lock();
        }
    });
}

InterruptGuard::~InterruptGuard() {
    {
        std::lock_guard lock(gMutex);
        stopping_.store(true);
        gGuarding = false;
        gPending = 0;
    }
    gChanged.notify_all();
    watcher_.join();
    ::SetConsoleCtrlHandler(onControl, FALSE);
}

}  // namespace headless_update
