// SPDX-License-Identifier: MIT
// Keeps the stop signals from ending the process while the update runs: a
// flash left half-written is worse than a late exit.
//
// While an InterruptGuard lives, SIGINT, SIGTERM, SIGHUP and SIGQUIT are
// blocked in the thread that made it and in every thread started from it
// afterwards (the USB link's threads), so no system call of the update is
// interrupted by them. One watcher thread takes them with sigwait and calls
// `onSignal` for each; the update goes on. Signals that arrive after the
// watcher stopped are discarded when the guard ends.
//
// On Windows (interrupt_guard_windows.cpp) the console's Ctrl+C and
// Ctrl+Break are taken instead, and reported as SIGINT; closing the console
// window cannot be refused there and ends the process.
//
// Make it on the thread that runs the update, before the USB link is opened,
// and at most one at a time.
#pragma once

#include <atomic>
#include <csignal>
#include <functional>
#include <thread>

namespace headless_update {

class InterruptGuard {
public:
    // `onSignal` runs on the watcher thread with the signal's number.
    explicit InterruptGuard(std::function<void(int signal)> onSignal);
    ~InterruptGuard();  // stops the watcher, then restores the signal mask
    InterruptGuard(const InterruptGuard &) = delete;
    InterruptGuard &operator=(const InterruptGuard &) = delete;

private:
    std::function<void(int)> onSignal_;
#if !defined(_WIN32)
    // The set of signals held back.
    static sigset_t signals();
    sigset_t previousMask_;
#endif
    std::atomic<bool> stopping_{false};
    std::thread watcher_;
};

}  // namespace headless_update
