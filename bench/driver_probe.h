// SPDX-License-Identifier: MIT
// Instruments for taking one exchange apart by layer.
//
// DriverProbe sits between the transport and the user-space driver (the
// transport's replaceable driver functions): it passes every request on, and
// remembers the taken device's unique id and the driver context's connection
// from the presence check, so that a benchmark can send the driver's requests
// itself. With timing on it also adds up the time spent in each kind of
// request. TimingBus does the same one layer lower, around the loopback bus.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "projector_emulator/device.h"
#include "usb_driver/bus.h"
#include "usb_driver/driver.h"

namespace bench {

struct LayerTimes {
    uint64_t presenceNs = 0;    // IOCTL_DEVICE_INFO requests (two per exchange)
    uint64_t transferNs = 0;    // IOCTL_TRANSFER requests, bus included
    uint64_t connectionNs = 0;  // opening and closing the transfers' own connections
    uint64_t busNs = 0;         // Bus::transfer, device included
    uint64_t presenceRequests = 0;
    uint64_t transferRequests = 0;
    uint64_t busTransfers = 0;
};

namespace probe {

// Installs the probe under the transport. Only while no link is open.
void install();
// Restores the real driver functions. Only while no link is open.
void remove();

void setTiming(bool on);
LayerTimes &times();
void resetTimes();

// What the last presence check used: valid while the link stays open.
uint32_t uniqueId();
usb_driver::Connection *contextConnection();
// Bytes of the device information block the driver asked for.
uint32_t infoBlockBytes();

}  // namespace probe

// A loopback bus (transfer log off) whose transfers are timed into
// probe::times() while timing is on.
std::shared_ptr<usb_driver::Bus> makeTimingBus(projector_emulator::Tz4817Device &device);

}  // namespace bench
