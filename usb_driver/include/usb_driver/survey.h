// SPDX-License-Identifier: MIT
// What is attached, asked of the bus the driver would use, without taking
// anything: for a program that lists projectors or must refuse to choose
// between several before it touches one.
//
// A program's way to the projector is the transport's exported interface,
// which opens and takes a device and has no call that merely lists. Listing
// is a question about the bus, not about a projector link, so the program
// asks the driver's bus directly through this function (the program links
// usb_driver's static library; the shipped transport has its own copy
// inside). It only reads: for a USB/IP server one device-list request, for
// the local bus libusb's device list and the descriptors libusb read when it
// enumerated. No device is opened, claimed or imported, so a projector that
// another process is updating is left alone; such a projector's place is
// claimed (place_claim.h), and the survey says by which process.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "usb_driver/place_claim.h"

namespace usb_driver {

struct SurveyedDevice {
    std::string place;  // "1-4.2" on the local bus, the bus id "1-1" on a USB/IP server
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    // Set when another process has claimed the place: it is updating the
    // device there.
    std::optional<place_claim::Holder> busy;
};

struct Survey {
    // Where the devices were looked for: "USB/IP server 127.0.0.1:3240" or
    // "this computer's USB ports".
    std::string bus;
    // The server's address ("127.0.0.1:3240"); empty for the local bus.
    std::string server;
    std::vector<SurveyedDevice> devices;  // every device, in the bus's order
    // 0 when the bus answered; otherwise a driver status and one line saying
    // why ("QRV_USBIP='x:0' is not HOST[:PORT] ...", "USB/IP server ... refused
    // the connection").
    uint32_t status = 0;
    std::string problem;
    // The problem is QRV_USBIP itself, not the bus it names.
    bool badAddress = false;
};

// Asks the bus that the driver makes when its first connection opens
// (QRV_USBIP names a USB/IP server, else the local bus). Blocks for at most
// one exchange with a server. Any thread.
Survey surveyDefaultBus();

}  // namespace usb_driver
