// SPDX-License-Identifier: MIT
// The pause the update gives the projector to restart into programming mode
// (kSwitchPauseMs), and the test build's way to shorten it. The shipped
// programs never call setSwitchPause: a user's projector always gets the
// whole pause.
#pragma once

#include <chrono>
#include <cstdint>

namespace update_sequence {

// The pause the next switch uses, in milliseconds. Any thread.
uint32_t switchPauseMs();

namespace testing {

// Shortens the pause of the updates that follow, for a fault drill that runs
// hundreds of updates against an emulated projector which restarts in a few
// milliseconds; 0 restores kSwitchPauseMs. Only between updates.
void setSwitchPause(std::chrono::milliseconds pause);

}  // namespace testing
}  // namespace update_sequence
