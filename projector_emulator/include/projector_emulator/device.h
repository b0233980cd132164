// SPDX-License-Identifier: MIT
// The tz4817 projector as its USB interface shows it: one configuration,
// interface 0, bulk OUT 0x01 taking one command frame per transfer and bulk IN
// 0x81 giving the reply. Application firmware enumerates as 0xE7A2:0x051E,
// programming mode as 0xE7B9:0x2000; switching between them makes the device
// leave the bus and come back after the reboot delay with a new generation.
//
// The device is passive and thread-safe: buses (the USB/IP server, the
// loopback bus, the umockdev bridge) call it from any thread. Time comes from
// the Clock given in the options.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "projector_emulator/clock.h"
#include "projector_emulator/emulated_device.h"
#include "projector_emulator/faults.h"
#include "projector_emulator/nor_flash.h"

namespace projector_emulator {

inline constexpr uint16_t kAppVendorId = 0xE7A2;
inline constexpr uint16_t kAppProductId = 0x051E;
inline constexpr uint16_t kBootVendorId = 0xE7B9;
inline constexpr uint16_t kBootProductId = 0x2000;
inline constexpr uint8_t kBulkOutEndpoint = 0x01;
inline constexpr uint8_t kBulkInEndpoint = 0x81;
inline constexpr uint16_t kBulkPacketSize = 64;

struct DeviceOptions {
    std::chrono::milliseconds rebootDelay{1500};
    std::chrono::milliseconds eraseTime{50};
    Mode initialMode = Mode::Application;
    std::vector<Fault> faults;
    Clock *clock = nullptr;  // null: Clock::system()
};

// One frame as the device decoded it, for logs and tests.
struct FrameRecord {
    uint64_t index = 0;             // frame number, from 1
    Mode mode = Mode::Application;  // mode when it arrived
    std::vector<uint8_t> bytes;     // as received
    bool valid = false;             // checksum, lengths, class and operation accepted
    uint8_t operation = 0;          // byte 6 when valid
    std::vector<uint8_t> reply;     // empty when none is given
    const char *note = "";          // what the device did, in a few words
    bool powerCut = false;          // the power failed at this frame (a fault)
};

// The USB descriptors of the device as it enumerates (full speed, one
// configuration, interface 0 of vendor class, bulk 0x01 and 0x81 of 64 bytes).
std::vector<uint8_t> deviceDescriptor(const Presence &presence);
std::vector<uint8_t> configDescriptor();
// String descriptor `index` (0: the list of languages); empty when there is none.
std::vector<uint8_t> stringDescriptor(uint8_t index);

class Tz4817Device : public EmulatedDevice {
public:
    Tz4817Device(NorFlash &flash, DeviceOptions options = {});
    Tz4817Device(const Tz4817Device &) = delete;
    Tz4817Device &operator=(const Tz4817Device &) = delete;

    Presence presence() override;

    // Blocks until presence differs from `known` (on/off the bus, generation)
    // or `deadline` passes; returns the presence then. Wakes at the moment a
    // rebooting device is due back.
    Presence waitForPresenceChange(const Presence &known, Clock::TimePoint deadline) override;

    // Bulk OUT on 0x01 for a connection made to `generation`: one command frame.
    TransferStatus bulkOut(uint32_t generation, std::span<const uint8_t> frame) override;

    // Bulk IN on 0x81: hands out the pending reply when there is one.
    // `length` is set to the bytes written into `buffer`.
    TransferStatus bulkIn(uint32_t generation, std::span<uint8_t> buffer, size_t &length) override;

    // Blocks until a reply is pending for `generation`, the device has left
    // that generation, or `deadline` passes. True when a reply is pending.
    bool waitForReply(uint32_t generation, Clock::TimePoint deadline) override;

    // deviceDescriptor(), configDescriptor(), stringDescriptor() below.
    std::vector<uint8_t> descriptor(uint8_t type, uint8_t index, const Presence &presence) const override;

    // Added latency per bulk transfer (a fault), for the bus to apply.
    std::chrono::microseconds transferLatency() const;
    // Blocks the calling bus thread for that latency. A plain sleep overshoots
    // by the timer slack (tens of microseconds and more), which would make a
    // modelled link slower than the one it models: the last stretch is spun.
    void holdTransferLatency() const override;

    // Faults can be added while the device runs; frame numbers are absolute.
    void addFault(const Fault &fault);
    // Ends every fault: replies held back are ready at once, pending busy
    // answers are dropped, and a device that left the bus for good is
    // plugged back in (it enumerates anew, in the mode it had). Replies
    // already waiting stay: they are the device's state, not a fault.
    void clearFaults();
    uint64_t framesReceived() const;

    // Called, outside the device lock, after every frame is handled.
    void setFrameObserver(std::function<void(const FrameRecord &)> observer);

    NorFlash &flash() { return flash_; }
    Clock &clock() const { return clock_; }

private:
    Presence presenceLocked(Clock::TimePoint now);
    void leaveLocked(Clock::TimePoint now, std::optional<Mode> returnIn);
    void handleFrameLocked(FrameRecord &record, Clock::TimePoint now);
    std::optional<std::vector<uint8_t>> executeLocked(std::span<const uint8_t> frame, FrameRecord &record,
                                                      Clock::TimePoint now);
    uint8_t statusLocked(Clock::TimePoint now);
    void downloadLocked(std::span<const uint8_t> data);
    bool erasingLocked(Clock::TimePoint now) const { return now < busyUntil_; }
    const Fault *faultLocked(Fault::Kind kind, uint64_t frame) const;

    NorFlash &flash_;
    Clock &clock_;
    const DeviceOptions options_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;     // presence changed
    std::condition_variable replyReady_;  // a reply is pending, or presence changed
    std::vector<Fault> faults_;
    std::function<void(const FrameRecord &)> observer_;

    Mode mode_;
    bool onBus_ = true;
    std::optional<Clock::TimePoint> returnAt_;  // off the bus and coming back then
    Mode returnMode_ = Mode::Application;
    uint32_t generation_ = 1;
    // A mode switch was acknowledged: the device leaves once the host has read that reply.
    bool leaveAfterReply_ = false;
    Mode leaveToMode_ = Mode::Application;

    // Replies wait here in order until the host reads them, also across the
    // host's disconnects: only leaving the bus empties the endpoint.
    struct QueuedReply {
        std::vector<uint8_t> bytes;
        Clock::TimePoint readyAt;  // held back until then (a fault)
    };
    std::deque<QueuedReply> replies_;
    bool replyReadyLocked(Clock::TimePoint now) const { return !replies_.empty() && replies_.front().readyAt <= now; }
    uint64_t frames_ = 0;

    // Flash command state.
    uint32_t address_ = 0;       // set by the flash address command
    uint32_t writePointer_ = 0;  // advances with every byte downloaded
    uint32_t size_ = 0;          // set by the flash size command
    uint32_t checksum_ = 0;      // result of the last checksum calculation
    Clock::TimePoint busyUntil_{};
    uint32_t busyAnswersLeft_ = 0;
};

}  // namespace projector_emulator
