// SPDX-License-Identifier: MIT
// A projector that plays a recording back (tz4817-emu --replay FILE): behind
// the emulator's USB/IP server it presents the recorded descriptors, ids and
// place, leaves the bus and comes back where the recording did, and answers
// each frame the updater sends with what the recorded projector answered,
// after the recorded delay times the speed (0: at once). A read that timed
// out in the recording gets no answer; replies that were waiting before the
// updater's first frame (a run killed between a frame and its reply) are
// waiting again.
//
// The updater's frames are matched with the recording's in order (without
// the data and checksum of download frames when it was recorded without
// data). At the first that differs the replay says which and how (frame
// number, both byte strings) and answers nothing more: the projector leaves
// the bus, so the updater's exchanges fail at once instead of each waiting
// out its time-out. The replay ends once the updater has let go of the
// projector: 0 when the recording was played to its end, 4 when the updater
// diverged from it, or went quiet before the end.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "replay_script.h"
#include "projector_emulator/emulated_device.h"

namespace projector_emulator {

inline constexpr int kReplayEnded = 0;
inline constexpr int kReplayDiverged = 4;

class ReplayDevice : public EmulatedDevice {
public:
    struct Options {
        double speed = 1.0;  // recorded delays times this; 0: none
        // The updater counts as gone when nobody has asked anything of the
        // server for this long since its last connection closed.
        std::chrono::milliseconds quietLimit{10'000};
        // Each frame matched, each departure and return (-v); may be empty.
        std::function<void(const std::string &)> log;
        // The divergence, in a few lines (standard error).
        std::function<void(const std::string &)> report;
        // The result, once, from a thread of the replay's own.
        std::function<void(int status)> ended;
    };

    ReplayDevice(ReplayScript script, Options options);
    ~ReplayDevice() override;
    ReplayDevice(const ReplayDevice &) = delete;
    ReplayDevice &operator=(const ReplayDevice &) = delete;

    Presence presence() override;
    Presence waitForPresenceChange(const Presence &known, Clock::TimePoint deadline) override;
    TransferStatus bulkOut(uint32_t generation, std::span<const uint8_t> frame) override;
    TransferStatus bulkIn(uint32_t generation, std::span<uint8_t> buffer, size_t &length) override;
    bool waitForReply(uint32_t generation, Clock::TimePoint deadline) override;
    std::vector<uint8_t> descriptor(uint8_t type, uint8_t index, const Presence &presence) const override;
    std::string busId() const override;
    void clientEvent(ClientEvent event) override;

    // The result once the replay has ended: kReplayEnded or kReplayDiverged.
    std::optional<int> result() const;
    // Where the replay is, for a replay stopped before its end: "frame 12 of 80".
    std::string position() const;

private:
    using TimePoint = std::chrono::steady_clock::time_point;
    struct Reply {
        std::vector<uint8_t> bytes;
        int32_t status = 0;
        TimePoint readyAt;
    };

    // Moves the replay on as far as it goes without the updater: replies
    // queued, departures and returns due.
    void advanceLocked(TimePoint now);
    // The moment the recording's `timeUs` comes in the replay.
    TimePoint momentLocked(uint64_t timeUs) const;
    void appearLocked(size_t appearance, TimePoint now, uint64_t recordedUs);
    void leaveLocked(TimePoint now);
    Presence presenceLocked() const;
    // The next moment something happens by itself.
    TimePoint nextEventLocked(TimePoint deadline) const;
    // Says how the updater's frame `sent` differs (`why` when the recording
    // has no frame here) and takes the projector off the bus for good.
    void divergeLocked(std::span<const uint8_t> sent, const std::string &why);
    std::string positionLocked() const;
    void watch();
    void log(const std::string &line) const;

    const ReplayScript script_;
    const Options options_;
    const std::string busId_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    size_t cursor_ = 0;   // the next step
    size_t current_ = 0;  // the appearance shown
    bool onBus_ = false;
    uint32_t generation_ = 0;
    std::vector<size_t> appearanceOf_;  // by generation
    std::deque<Reply> replies_;
    // The replay's clock against the recording's: `anchorUs_` happened at `anchorAt_`.
    TimePoint anchorAt_;
    uint64_t anchorUs_ = 0;
    bool framesSinceAppearing_ = false;
    std::optional<TimePoint> leaveAt_;  // a departure due once the replies are read
    uint64_t leftUs_ = 0;               // when the recorded device was last seen before leaving
    TimePoint leftAt_;
    std::optional<TimePoint> returnAt_;  // off the bus and coming back then
    size_t returnAs_ = 0;
    uint64_t returnUs_ = 0;  // when the recorded device came back
    bool diverged_ = false;
    uint64_t lastFrame_ = 0;  // the number of the last frame matched
    int connections_ = 0;
    bool imported_ = false;
    TimePoint lastActivity_;
    std::optional<int> result_;
    bool stopping_ = false;
    std::thread watcher_;
};

}  // namespace projector_emulator
