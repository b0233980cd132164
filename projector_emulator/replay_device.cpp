// SPDX-License-Identifier: MIT
#include "replay_device.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "projector_emulator/device.h"
#include "usb_recording/download_data.h"
#include "usb_recording/usbmon.h"
#include "usb_standard/usb_standard.h"

namespace projector_emulator {
namespace {

using Steady = std::chrono::steady_clock;
using Kind = ReplayStep::Kind;

// How often the replay looks whether the updater has gone, at the least.
constexpr auto kWatchSlice = std::chrono::milliseconds(100);

std::string hexOf(std::span<const uint8_t> bytes) {
    std::string text;
    char byte[4];
    for (uint8_t value : bytes) {
        std::snprintf(byte, sizeof byte, text.empty() ? "%02x" : " %02x", value);
        text += byte;
    }
    return text.empty() ? "(nothing)" : text;
}

std::string idsOf(const ReplayAppearance &appearance) {
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", appearance.vendorId, appearance.productId);
    return ids;
}

// A place the server can export the device under: a USB/IP bus id has at
// most 31 printable characters.
bool usableBusId(const std::string &place) {
    return !place.empty() && place.size() <= 31 &&
           std::all_of(place.begin(), place.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

TransferStatus statusOf(int32_t usbStatus) {
    if (usbStatus == 0) return TransferStatus::Ok;
    if (usbStatus == usb_recording::usbmon::kStalled) return TransferStatus::Stall;
    return TransferStatus::Overflow;  // any other failure
}

}  // namespace

ReplayDevice::ReplayDevice(ReplayScript script, Options options)
    : script_(std::move(script)),
      options_(std::move(options)),
      busId_(usableBusId(script_.appearances.front().place) ? script_.appearances.front().place : std::string()) {
    const TimePoint now = Steady::now();
    {
        std::lock_guard lock(mutex_);
        lastActivity_ = now;
        // The recording begins with its first device on the bus.
        appearLocked(script_.steps.front().appearance, now, script_.steps.front().timeUs);
        cursor_ = 1;
        advanceLocked(now);
    }
    watcher_ = std::thread([this] { watch(); });
}

ReplayDevice::~ReplayDevice() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    watcher_.join();
}

// --- the replay's course -------------------------------------------------------------

ReplayDevice::TimePoint ReplayDevice::momentLocked(uint64_t timeUs) const {
    if (options_.speed <= 0 || timeUs <= anchorUs_) return anchorAt_;
    const double delay = static_cast<double>(timeUs - anchorUs_) * options_.speed;
    return anchorAt_ + std::chrono::microseconds(std::llround(delay));
}

void ReplayDevice::appearLocked(size_t appearance, TimePoint now, uint64_t recordedUs) {
    current_ = appearance;
    onBus_ = true;
    ++generation_;
    appearanceOf_.resize(generation_ + 1);
    appearanceOf_[generation_] = appearance;
    anchorAt_ = now;
    anchorUs_ = recordedUs;
    framesSinceAppearing_ = false;
    changed_.notify_all();
    const ReplayAppearance &shown = script_.appearances[appearance];
    log("replay: the projector is on the bus, " + idsOf(shown) + " (recorded device " + std::to_string(shown.number) +
        " at " + shown.place + ")");
}

void ReplayDevice::leaveLocked(TimePoint now) {
    onBus_ = false;
    replies_.clear();
    leaveAt_.reset();
    leftAt_ = now;
    changed_.notify_all();
    log("replay: the projector left the bus");
}

void ReplayDevice::advanceLocked(TimePoint now) {
    for (;;) {
        if (!onBus_) {
            if (diverged_) return;
            if (returnAt_) {
                if (now < *returnAt_) return;
                returnAt_.reset();
                appearLocked(returnAs_, now, returnUs_);
                continue;
            }
            if (cursor_ >= script_.steps.size() || script_.steps[cursor_].kind != Kind::Appear) return;
            // Away as long as the recorded device was, scaled.
            const ReplayStep &step = script_.steps[cursor_++];
            returnAs_ = step.appearance;
            returnUs_ = step.timeUs;
            anchorAt_ = leftAt_;
            anchorUs_ = leftUs_;
            returnAt_ = momentLocked(step.timeUs);
            continue;
        }
        if (leaveAt_) {
            // A departure waits for the replies before it to be read, as
            // the projector leaves once its last reply is taken.
            if (now < *leaveAt_ || !replies_.empty()) return;
            leaveLocked(now);
            continue;
        }
        if (cursor_ >= script_.steps.size()) return;
        const ReplayStep &step = script_.steps[cursor_];
        switch (step.kind) {
        case Kind::Frame: return;  // the updater's turn
        case Kind::Reply:
            // Replies waiting before the first frame (of a run killed between
            // a frame and its reply) are there at once.
            replies_.push_back({step.bytes, step.status, framesSinceAppearing_ ? momentLocked(step.timeUs) : now});
            ++cursor_;
            changed_.notify_all();
            continue;
        case Kind::Leave:
            leaveAt_ = momentLocked(step.timeUs);
            leftUs_ = step.timeUs;
            ++cursor_;
            continue;
        case Kind::Appear: {
            const ReplayAppearance &next = script_.appearances[step.appearance];
            const ReplayAppearance &shown = script_.appearances[current_];
            if (next.deviceDescriptor == shown.deviceDescriptor && next.configDescriptor == shown.configDescriptor &&
                next.place == shown.place) {
                // Opened again by a new bus without having left: the same device.
                current_ = step.appearance;
                appearanceOf_[generation_] = current_;
                ++cursor_;
                continue;
            }
            // Back as another device, its departure unrecorded (the bus had
            // stopped before it saw it): it leaves once its replies are read.
            leaveAt_ = now;
            leftUs_ = cursor_ > 0 ? script_.steps[cursor_ - 1].timeUs : step.timeUs;
            continue;
        }
        }
    }
}

ReplayDevice::TimePoint ReplayDevice::nextEventLocked(TimePoint deadline) const {
    TimePoint next = deadline;
    if (returnAt_) next = std::min(next, *returnAt_);
    if (leaveAt_ && replies_.empty()) next = std::min(next, *leaveAt_);
    if (!replies_.empty()) next = std::min(next, replies_.front().readyAt);
    return next;
}

void ReplayDevice::divergeLocked(std::span<const uint8_t> sent, const std::string &why) {
    diverged_ = true;
    std::string text;
    const ReplayStep *expected = why.empty() && cursor_ < script_.steps.size() ? &script_.steps[cursor_] : nullptr;
    if (expected) {
        text = "replay: the updater's frame " + std::to_string(expected->frame) +
               " differs from the recording's (packet " + std::to_string(expected->packet) + " of the recording)\n";
        text += "  recording: " + hexOf(expected->bytes) + "\n";
    } else {
        text = "replay: the updater sent frame " + std::to_string(lastFrame_ + 1) +
               ", which the recording does not have: " + why + "\n";
    }
    text += "  updater:   " + hexOf(sent) + "\n";
    if (script_.withoutData)
        text += "  (recorded without data: the data and checksum of download frames are not compared)\n";
    text += "replay: the projector answers nothing more and leaves the bus\n";
    if (options_.report) options_.report(text);
    leaveLocked(Steady::now());
}

// --- the device, as the server sees it --------------------------------------------------

Presence ReplayDevice::presenceLocked() const {
    const ReplayAppearance &shown = script_.appearances[current_];
    Presence presence;
    presence.onBus = onBus_;
    presence.mode =
        shown.vendorId == kBootVendorId && shown.productId == kBootProductId ? Mode::Programming : Mode::Application;
    presence.vendorId = shown.vendorId;
    presence.productId = shown.productId;
    presence.generation = generation_;
    return presence;
}

Presence ReplayDevice::presence() {
    std::lock_guard lock(mutex_);
    advanceLocked(Steady::now());
    return presenceLocked();
}

Presence ReplayDevice::waitForPresenceChange(const Presence &known, Clock::TimePoint deadline) {
    std::unique_lock lock(mutex_);
    for (;;) {
        const TimePoint now = Steady::now();
        advanceLocked(now);
        const Presence presence = presenceLocked();
        if (presence.onBus != known.onBus || presence.generation != known.generation || now >= deadline)
            return presence;
        changed_.wait_until(lock, nextEventLocked(deadline));
    }
}

TransferStatus ReplayDevice::bulkOut(uint32_t generation, std::span<const uint8_t> frame) {
    std::lock_guard lock(mutex_);
    const TimePoint now = Steady::now();
    advanceLocked(now);
    if (!onBus_ || generation != generation_ || diverged_) return TransferStatus::Gone;
    std::string why;
    if (leaveAt_) {
        why = "the recorded projector leaves the bus here";
    } else if (cursor_ >= script_.steps.size()) {
        why = "the recording ends here";
    } else {
        const ReplayStep &step = script_.steps[cursor_];
        const bool same = script_.withoutData ? usb_recording::sameApartFromData(step.bytes, frame)
                                              : std::ranges::equal(step.bytes, frame);
        if (same) {
            ++cursor_;
            lastFrame_ = step.frame;
            anchorAt_ = now;
            anchorUs_ = step.timeUs;
            framesSinceAppearing_ = true;
            log("replay: frame " + std::to_string(step.frame) + " of " + std::to_string(script_.frames) +
                " as recorded");
            const TransferStatus status = statusOf(step.status);
            advanceLocked(now);
            return status;
        }
    }
    divergeLocked(frame, why);
    return TransferStatus::Gone;
}

TransferStatus ReplayDevice::bulkIn(uint32_t generation, std::span<uint8_t> buffer, size_t &length) {
    length = 0;
    std::lock_guard lock(mutex_);
    const TimePoint now = Steady::now();
    advanceLocked(now);
    if (!onBus_ || generation != generation_ || diverged_) return TransferStatus::Gone;
    if (replies_.empty() || replies_.front().readyAt > now) return TransferStatus::NoReply;
    const Reply reply = std::move(replies_.front());
    replies_.pop_front();
    TransferStatus status = statusOf(reply.status);
    if (status == TransferStatus::Ok && reply.bytes.size() > buffer.size()) {
        status = TransferStatus::Overflow;
    } else if (status == TransferStatus::Ok) {
        std::copy(reply.bytes.begin(), reply.bytes.end(), buffer.begin());
        length = reply.bytes.size();
    }
    advanceLocked(now);
    return status;
}

bool ReplayDevice::waitForReply(uint32_t generation, Clock::TimePoint deadline) {
    std::unique_lock lock(mutex_);
    for (;;) {
        const TimePoint now = Steady::now();
        advanceLocked(now);
        if (!onBus_ || generation != generation_ || diverged_) return false;
        if (!replies_.empty() && replies_.front().readyAt <= now) return true;
        if (now >= deadline) return false;
        changed_.wait_until(lock, nextEventLocked(deadline));
    }
}

std::vector<uint8_t> ReplayDevice::descriptor(uint8_t type, uint8_t index, const Presence &presence) const {
    std::lock_guard lock(mutex_);
    const size_t appearance =
        presence.generation < appearanceOf_.size() ? appearanceOf_[presence.generation] : current_;
    const ReplayAppearance &shown = script_.appearances[appearance];
    // Only what the recording holds: other descriptors (strings) stall.
    if (type == usb_standard::DT_DEVICE && index == 0) return shown.deviceDescriptor;
    if (type == usb_standard::DT_CONFIG && index == 0) return shown.configDescriptor;
    return {};
}

std::string ReplayDevice::busId() const { return busId_; }

void ReplayDevice::clientEvent(ClientEvent event) {
    {
        std::lock_guard lock(mutex_);
        lastActivity_ = Steady::now();
        if (event == ClientEvent::Imported) {
            ++connections_;
            imported_ = true;
        } else if (event == ClientEvent::Released) {
            --connections_;
        }
    }
    changed_.notify_all();
}

// --- its end ----------------------------------------------------------------------------

void ReplayDevice::watch() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        const TimePoint now = Steady::now();
        advanceLocked(now);
        const bool played = cursor_ >= script_.steps.size() && !leaveAt_ && !returnAt_ && (replies_.empty() || !onBus_);
        std::optional<int> status;
        if (imported_ && connections_ == 0) {
            if (diverged_) {
                status = kReplayDiverged;
            } else if (played) {
                status = kReplayEnded;
            } else if (now - lastActivity_ >= options_.quietLimit) {
                if (options_.report)
                    options_.report("replay: the updater went quiet before the recording's end (" + positionLocked() +
                                    ")\n");
                status = kReplayDiverged;
            }
        }
        if (status) {
            result_ = status;
            lock.unlock();
            if (options_.ended) options_.ended(*status);
            return;
        }
        changed_.wait_until(lock, nextEventLocked(now + kWatchSlice));
    }
}

std::optional<int> ReplayDevice::result() const {
    std::lock_guard lock(mutex_);
    return result_;
}

std::string ReplayDevice::position() const {
    std::lock_guard lock(mutex_);
    return positionLocked();
}

std::string ReplayDevice::positionLocked() const {
    return "frame " + std::to_string(lastFrame_) + " of " + std::to_string(script_.frames) + " replayed";
}

void ReplayDevice::log(const std::string &line) const {
    if (options_.log) options_.log(line);
}

}  // namespace projector_emulator
