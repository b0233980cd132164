// SPDX-License-Identifier: MIT
#include "interrupt_guard.h"

#include <ctime>
#include <pthread.h>

namespace headless_update {

sigset_t InterruptGuard::signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&set, number);
    return set;
}

InterruptGuard::InterruptGuard(std::function<void(int signal)> onSignal) : onSignal_(std::move(onSignal)) {
    const sigset_t set = signals();
    pthread_sigmask(SIG_BLOCK, &set, &previousMask_);
    watcher_ = std::thread([this, set] {
        for (;;) {
            int number = 0;
            if (sigwait(&set, &number) != 0) continue;
            if (stopping_.load()) return;
            onSignal_(number);
        }
    });
}

InterruptGuard::~InterruptGuard() {
    // The watcher takes this SIGTERM as its stop request, as all the stop
    // signals are blocked everywhere else.
    stopping_.store(true);
    pthread_kill(watcher_.native_handle(), SIGTERM);
    watcher_.join();

    const sigset_t set = signals();
    const timespec now{0, 0};
    while (sigtimedwait(&set, nullptr, &now) > 0) {}
    pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

}  // namespace headless_update
