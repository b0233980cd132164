// SPDX-License-Identifier: MIT
// The notes the USB driver's recording tap writes, as text for a person and
// as a fixed form that a replay reads back. Each form is written and parsed
// here, so the two cannot drift apart.
//
//   bus started: USB/IP server 127.0.0.1:3240; download data recorded
//   bus started: this computer's USB ports; download data left out
//   device 2 at 1-1 (e7b9:2000): arrived        (the bus reports it)
//   device 2 at 1-1 (e7b9:2000): opened         (the comment of its first
//                                                GET_DESCRIPTOR request)
//   device 2 at 1-1 (e7b9:2000): left the bus
//   device 2 at 1-1 (e7b9:2000): closed
//
// A device number stands for one appearance of a device on its bus: a
// device that re-enumerates (the projector's switch into programming mode)
// comes back under a new number, as on a real bus.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace usb_recording::notes {

struct DeviceNote {
    enum class What { Arrived, Opened, Left, Closed };
    What what = What::Arrived;
    uint8_t number = 0;  // 1..127
    std::string place;   // "1-1", "3-4.2"
    uint16_t vendorId = 0;
    uint16_t productId = 0;
};

std::string describe(const DeviceNote &note);
std::optional<DeviceNote> parseDeviceNote(std::string_view text);

// What the bus is ("USB/IP server 127.0.0.1:3240"), and whether the download
// frames' data is left out.
std::string busStarted(std::string_view bus, bool withoutData);
// Whether `text` is a note of a bus that left the download data out.
bool leftDataOut(std::string_view text);

}  // namespace usb_recording::notes
