// SPDX-License-Identifier: MIT
// Pauses of the calling thread: after a status read that failed or found the
// device busy, and while the projector restarts into programming mode.
#pragma once

#include <cstdint>
#include <functional>

namespace qrvdl {

// Sleeps the calling thread for `milliseconds` (0 returns at once).
void pause(uint32_t milliseconds);

namespace testing {
// Tests replace the sleep to count pauses and step a manual clock; an empty
// function restores the real sleep. Not thread-safe: set it while no
// procedure runs.
void SetPauseFunction(std::function<void(uint32_t milliseconds)> function);
}  // namespace testing

}  // namespace qrvdl
