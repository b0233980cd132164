// SPDX-License-Identifier: MIT
#include <csignal>
#include <pthread.h>
#include <unistd.h>

#include "stop_signals.h"

namespace projector_emulator::stop_signals {
namespace {

sigset_t handled() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    return set;
}

}  // namespace

void hold() {
    // Taken by sigwait below; every thread started from here on inherits the
    // blocked mask.
    const sigset_t set = handled();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

Request wait(int &number) {
    const sigset_t set = handled();
    while (sigwait(&set, &number) != 0) {}
    return number == SIGUSR1 ? Request::ClearFaults : Request::Stop;
}

void requestStop() {
    // Blocked in every thread, so it waits for wait()'s sigwait.
    ::kill(::getpid(), SIGTERM);
}

}  // namespace projector_emulator::stop_signals
