// SPDX-License-Identifier: MIT
// The guard that keeps stop signals from ending an update: signals sent to
// the process are seen and survived, and threads started under the guard
// (the USB link's) never receive them, so none of their system calls is
// interrupted.
#include <gtest/gtest.h>

#include <condition_variable>
#include <csignal>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "interrupt_guard.h"

namespace headless_update {
namespace {

bool blockedHere(int number) {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, number) == 1;
}

class SignalLog {
public:
    void add(int number) {
        std::lock_guard lock(mutex_);
        numbers_.push_back(number);
        changed_.notify_all();
    }
    // Safety net only; the signals arrive at once.
    bool waitFor(size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return numbers_.size() >= count; });
    }
    std::vector<int> numbers() {
        std::lock_guard lock(mutex_);
        return numbers_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> numbers_;
};

TEST(InterruptGuard, StopSignalsToTheProcessAreReportedAndSurvived) {
    SignalLog log;
    {
        InterruptGuard guard([&log](int number) { log.add(number); });
        ::kill(::getpid(), SIGINT);
        ASSERT_TRUE(log.waitFor(1));
        ::kill(::getpid(), SIGTERM);
        ASSERT_TRUE(log.waitFor(2));
        ::kill(::getpid(), SIGINT);
        ASSERT_TRUE(log.waitFor(3));
    }
    EXPECT_EQ(log.numbers(), (std::vector<int>{SIGINT, SIGTERM, SIGINT}));
}

TEST(InterruptGuard, ThreadsStartedUnderTheGuardHoldTheSignalsBack) {
    InterruptGuard guard([](int) {});
    bool blocked[4] = {};
    std::thread worker([&] {
        int i = 0;
        for (int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) blocked[i++] = blockedHere(number);
    });
    worker.join();
    for (bool b : blocked) EXPECT_TRUE(b);
}

TEST(InterruptGuard, TheSignalMaskIsRestoredAfterwards) {
    ASSERT_FALSE(blockedHere(SIGINT));
    {
        InterruptGuard guard([](int) {});
        EXPECT_TRUE(blockedHere(SIGINT));
    }
    EXPECT_FALSE(blockedHere(SIGINT));
    EXPECT_FALSE(blockedHere(SIGTERM));
}

}  // namespace
}  // namespace headless_update
