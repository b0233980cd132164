// SPDX-License-Identifier: MIT
// The emulated projector on an emulated USB port, for tests of the real libusb
// path. umockdev gives the process a /sys and /dev/bus/usb of its own and
// hands every usbdevfs ioctl on the device node to this bridge, which answers
// as the kernel would and carries the URBs to a Tz4817Device.
//
// Each appearance of the device on the bus (power-on, every re-enumeration
// after a mode switch) is a new device number with its own node and sysfs
// entry; a departure is a "remove" uevent, an arrival an "add" uevent. A
// thread follows the device's presence so that mode switches re-enumerate by
// themselves.
//
// Create the bridge before libusb is initialised: libusb must see the
// testbed's /sys and /dev. Several bridges (on different ports) share one
// testbed; libusb sees them all when it starts after the first was made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "projector_emulator/device.h"

namespace test_support {

// Whether libumockdev-preload is in the process (linked in, or LD_PRELOAD):
// without it there is no emulated USB.
bool umockdevLoaded();

class UmockdevProjector {
public:
    // Plugs the device into port `port` of bus 1 (sysfs 1-PORT, the place
    // libusb reports) when it is on the bus. Projectors on different ports
    // share the process's one testbed.
    explicit UmockdevProjector(projector_emulator::Tz4817Device &device, int port = 1);
    ~UmockdevProjector();
    UmockdevProjector(const UmockdevProjector &) = delete;
    UmockdevProjector &operator=(const UmockdevProjector &) = delete;

    // The cable: pulled (pending URBs end with -ESHUTDOWN, the node answers
    // ENODEV, a "remove" uevent) and put back (a new device number).
    void unplug();
    void replug();

    // The device node of the current appearance ("/dev/bus/usb/001/002"),
    // empty while the device is off the bus.
    std::string deviceNode();
    // Its file in the testbed (for permission tests).
    std::string deviceNodeFile();
    // How many appearances there have been.
    int appearances();

    // The next CLAIMINTERFACE fails with this errno (EBUSY: another program
    // holds the interface).
    void failNextClaim(int error);
    // The next bulk IN URB completes with this URB status (-EPIPE: stall).
    void failNextIn(int urbStatus);

    // URBs submitted and not yet reaped, on every appearance: pending, or
    // ended and waiting for the host to collect them.
    size_t outstandingUrbs();

    // Requests the bridge did not know, for a test to show.
    std::vector<unsigned long> unknownRequests();
    // CLEAR_HALT endpoints and SETINTERFACE (interface << 8 | alternate), in order.
    std::vector<unsigned> clearedHalts();
    std::vector<unsigned> interfaceSelections();

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace test_support
