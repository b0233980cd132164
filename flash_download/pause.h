// SPDX-License-Identifier: MIT
// Pauses of the calling thread: after a status read that failed or found the
// device busy, and while the projector restarts into programming mode; and
// the status poll that pauses between its reads.
#pragma once

#include <cstdint>
#include <functional>

namespace flash_download {

// Sleeps the calling thread for `milliseconds` (0 returns at once).
void pause(uint32_t milliseconds);

// How a status poll ended: ready (an answer with the busy bit clear), or not
// after every attempt, with how many answered busy and how many got no answer.
struct BusyPoll {
    bool ready = false;
    uint32_t busy = 0;
    uint32_t unanswered = 0;
};

// The poll of QRVDL_DeviceBusy: up to `attempts` status reads, the pause
// after each that did not find the device ready.
BusyPoll pollUntilReady(uint32_t attempts, uint32_t pauseMs);

// "tz4817: AFTER, but no status read of 10, 500 ms apart, found the
// projector ready (10 answered busy, 0 got no answer)".
void noteNotReady(const char *after, uint32_t attempts, uint32_t pauseMs, const BusyPoll &poll);

namespace testing {
// Tests replace the sleep to count pauses and step a manual clock; an empty
// function restores the real sleep. Not thread-safe: set it while no
// procedure runs.
void setPauseFunction(std::function<void(uint32_t milliseconds)> function);
}  // namespace testing

}  // namespace flash_download
