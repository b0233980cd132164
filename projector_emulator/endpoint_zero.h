// SPDX-License-Identifier: MIT
// The default control pipe of the emulated projector: the standard requests a
// USB host (or a USB/IP client) sends after import. Everything else stalls.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "projector_emulator/emulated_device.h"
#include "usbip/protocol.h"

namespace projector_emulator {

struct ControlResult {
    int32_t status = usbip::kUrbOk;  // kUrbOk or kUrbStall
    std::vector<uint8_t> data;       // IN data stage, at most the length asked for
};

// Answers one control transfer. `direction` is the submit's; it must agree
// with bit 7 of bmRequestType. `bufferLength` is the submit's
// transfer_buffer_length, which caps the IN data together with wLength.
// `device` gives its descriptors as it was imported (`presence`).
ControlResult handleControl(const usbip::SetupPacket &setup, usbip::Direction direction, uint32_t bufferLength,
                            const EmulatedDevice &device, const Presence &presence);

}  // namespace projector_emulator
