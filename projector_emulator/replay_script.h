// SPDX-License-Identifier: MIT
// A recording (usb_recording/) read as what a replayed projector must do:
// the device's appearances on the bus (its descriptors and place each time
// it was opened), and in order the frames the updater sent it, the replies
// it read, and the departures, each with the time it happened.
//
// Only what the projector did is kept: a read that timed out is no reply; a
// frame or read that failed because the device had left belongs to no
// appearance; the link's own requests (SET_INTERFACE, CLEAR_FEATURE) are the
// host's business and are answered as any device answers them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace projector_emulator {

struct ReplayAppearance {
    uint8_t number = 0;  // the recording's device number
    std::string place;   // where it sat ("1-1", "3-4.2")
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::vector<uint8_t> deviceDescriptor;
    std::vector<uint8_t> configDescriptor;
};

struct ReplayStep {
    enum class Kind {
        Appear,  // the device is on the bus as `appearance`
        Frame,   // the updater sent `bytes` on bulk OUT
        Reply,   // the updater read `bytes` on bulk IN (or the read failed with `status`)
        Leave,   // the device left the bus
    };
    Kind kind = Kind::Appear;
    size_t appearance = 0;
    uint64_t timeUs = 0;         // when it happened, by the recording's clock
    uint64_t frame = 0;          // Frame: its number among the frames the device received, from 1
    size_t packet = 0;           // Frame: its packet in the recording (as Wireshark numbers them)
    std::vector<uint8_t> bytes;  // Frame: as sent; Reply: as read
    int32_t status = 0;          // the transfer's usbmon status: 0, or a negative errno
};

struct ReplayScript {
    std::vector<ReplayAppearance> appearances;
    std::vector<ReplayStep> steps;  // the first is an Appear
    bool withoutData = false;       // download frames recorded without their data
    uint64_t frames = 0;            // Frame steps
};

// Nothing, with `error` set, when `recording` is not a recording, opens no
// device, or lacks the descriptors of a device it opened.
std::optional<ReplayScript> buildReplayScript(std::span<const uint8_t> recording, std::string &error);

}  // namespace projector_emulator
