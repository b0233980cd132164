// SPDX-License-Identifier: MIT
// The emulated projector's two identities and the command frames the driver
// tests send it through the loopback bus.
#pragma once

#include <cstdint>
#include <vector>

#include "driver_client.h"
#include "projector_emulator/device.h"

namespace usb_driver::test {

inline const MatchEntry kApp = entry(projector_emulator::kAppVendorId, projector_emulator::kAppProductId);
inline const MatchEntry kBoot = entry(projector_emulator::kBootVendorId, projector_emulator::kBootProductId);

// A command frame as the transport sends it: the builder's bytes with the
// sequence number stamped into byte 1 and added to the checksum.
inline std::vector<uint8_t> stamped(std::vector<uint8_t> frame, uint8_t sequence) {
    frame[1] = sequence;
    frame.back() = static_cast<uint8_t>(frame.back() + sequence);
    return frame;
}
inline const std::vector<uint8_t> kStatusRead = {0x04, 0x00, 0x00, 0x03, 0x00, 0x34, 0x01, 0x01, 0x39};
inline const std::vector<uint8_t> kProgrammingMode1 = {0x02, 0x00, 0x00, 0x03, 0x00, 0x34, 0x30, 0x01, 0x68};

}  // namespace usb_driver::test
