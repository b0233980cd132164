// SPDX-License-Identifier: MIT
// The one interface between the driver and a bus. A bus finds devices and
// moves their data; the driver does everything else (registrations, matching,
// event queues, unique ids, ownership, the device information block).
//
// Backends, each in a folder of its own under usb_driver/ and made only by the
// driver's factory (bus_factory.cpp): UsbipBus (usbip_bus/: devices of a
// USB/IP server), LibusbBus (libusb_bus/: this computer's USB ports through
// libusb), WinusbBus (winusb_bus/: this computer's USB ports on Windows,
// through WinUSB); and LoopbackBus (test_support/: an in-process emulated
// projector, tests only).
//
// Threads: the driver calls every operation from its callers' threads, never
// while it holds its own lock, and may call them concurrently for different
// devices. The bus calls the BusListener from threads of its own only, never
// from inside an operation the driver called.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "usb_driver/place_claim.h"

namespace usb_driver {

// The longest place a bus reports (a USB/IP bus id has 32 bytes with its NUL).
inline constexpr size_t kMaxPlaceLength = 31;

// A device as a bus reports it. `key` names this appearance of the device: a
// device that leaves and comes back (re-enumerates) gets a new key. Keys are
// never reused by one bus object.
struct BusDevice {
    uint64_t key = 0;
    // Where the device sits, the same after it re-enumerates: the port path
    // "BUS-PORT[.PORT...]" on a local bus (as sysfs and lsusb -t name it),
    // the bus id ("1-1") on a USB/IP server. At most kMaxPlaceLength
    // characters.
    std::string place;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::vector<uint8_t> deviceDescriptor;  // 18 bytes, as the device sends it
    std::vector<uint8_t> configDescriptor;  // the active configuration, wTotalLength bytes
};

struct TransferRequest {
    uint32_t pipe = 0;  // endpoint address: 0 control, 0x01, 0x81, ...
    bool in = false;    // direction: from the device
    uint8_t *buffer = nullptr;
    uint32_t length = 0;
    uint8_t setup[8] = {};   // control transfers only
    uint32_t timeoutMs = 0;  // 0: no time-out
};

class BusListener {
public:
    virtual ~BusListener() = default;
    // Whether some registration wants a device with these ids at `place`.
    // A bus that must take a step to reach a device (a USB/IP import) asks
    // before it takes it. Non-blocking.
    virtual bool wanted(uint16_t vendorId, uint16_t productId, const std::string &place) = 0;
    // A device is on the bus. Non-blocking.
    virtual void deviceArrived(const BusDevice &device) = 0;
    // The device of `key` has left; operations on it now fail. Non-blocking.
    virtual void deviceLeft(uint64_t key) = 0;
    // The bus cannot serve any more: what it is connected to broke the
    // protocol (kStatusProtocolError). The bus has said what was wrong, in one
    // line on standard error, and reports no further arrivals; devices
    // already reported stay until they leave. Called at most once between
    // start() and stop(). Non-blocking.
    virtual void busFailed(uint32_t status) = 0;
};

class Bus {
public:
    virtual ~Bus() = default;

    // Starts reporting devices that `listener` wants: those present now and
    // those that arrive later. Called when the first registration opens.
    // Non-blocking; returns 0 or a driver status.
    [[nodiscard]] virtual uint32_t start(BusListener &listener) = 0;

    // Lists the devices on the bus now without opening, claiming or
    // importing any of them: the place and ids of each (no descriptors, key
    // 0). Needs no start(); blocks for at most one exchange with a server.
    // Any thread. 0, or a driver status with `why` set to one line saying
    // what went wrong (no server, a server that broke the protocol).
    [[nodiscard]] virtual uint32_t list(std::vector<BusDevice> &devices, std::string &why) = 0;

    // Where this bus's places are unique, for the claims that keep other
    // processes off a projector this one updates (place_claim.h). An empty
    // scope is for a bus only this process can reach: nothing is claimed. A
    // USB/IP bus names its server by the address it reached; a bus that wraps
    // another gives the other's. Non-blocking; any thread.
    [[nodiscard]] virtual place_claim::Scope claimScope() const = 0;

    // Stops reporting and releases every device (no deviceLeft calls). When it
    // returns no listener call runs or will run. Called when the last
    // registration closes. Blocks until the bus's threads have stopped.
    virtual void stop() = 0;

    // The driver offers the device to a registration: make it usable (open
    // it, claim interface 0). Returns 0, kStatusDeviceNotFound,
    // kStatusAccessDenied, kStatusBusy or kStatusTransferFailed. May block
    // briefly.
    [[nodiscard]] virtual uint32_t open(uint64_t key) = 0;

    // Nobody holds the device any more (declined, released, or gone): let go
    // of what open() took. Never fails; unknown keys are ignored.
    virtual void close(uint64_t key) = 0;

    // SET_INTERFACE on an open device. Blocking, bounded by the bus's own
    // control time-out. 0, kStatusDeviceNotFound, kStatusStall, kStatusTimeout
    // or kStatusTransferFailed.
    [[nodiscard]] virtual uint32_t setInterface(uint64_t key, uint32_t interface, uint32_t alternate) = 0;

    // CLEAR_FEATURE(ENDPOINT_HALT) on `pipe` of an open device. Blocking as
    // setInterface, same statuses.
    [[nodiscard]] virtual uint32_t resetPipe(uint64_t key, uint32_t pipe) = 0;

    // One transfer on an open device. Blocks until it completes, fails or
    // times out (a timed-out transfer is cancelled before this returns).
    // `transferred` is always written. 0, kStatusTimeout,
    // kStatusDeviceNotFound, kStatusStall, kStatusTransferFailed or
    // kStatusBadRecord (a pipe the device does not have).
    [[nodiscard]] virtual uint32_t transfer(uint64_t key, const TransferRequest &request, uint32_t &transferred) = 0;
};

}  // namespace usb_driver
