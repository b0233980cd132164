// SPDX-License-Identifier: MIT
#include "projector_emulator/clock.h"

namespace projector_emulator {

namespace {
class SystemClock : public Clock {
public:
    TimePoint now() const override { return std::chrono::steady_clock::now(); }
};
}  // namespace

Clock &Clock::system() {
    static SystemClock clock;
    return clock;
}

Clock::TimePoint ManualClock::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

void ManualClock::advance(std::chrono::microseconds step) {
    std::lock_guard lock(mutex_);
    now_ += step;
}

}  // namespace projector_emulator
