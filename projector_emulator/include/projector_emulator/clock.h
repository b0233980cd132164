// SPDX-License-Identifier: MIT
// The time source of the emulated projector. The device reads the time only
// through a Clock, so tests can step erase and reboot times by hand.
#pragma once

#include <chrono>
#include <mutex>

namespace projector_emulator {

class Clock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    virtual ~Clock() = default;
    virtual TimePoint now() const = 0;

    // The process's steady clock; the default of every device.
    static Clock &system();
};

// A clock that moves only when told to. Thread-safe.
class ManualClock : public Clock {
public:
    TimePoint now() const override;
    void advance(std::chrono::microseconds step);

private:
    mutable std::mutex mutex_;
    TimePoint now_{};
};

}  // namespace projector_emulator
