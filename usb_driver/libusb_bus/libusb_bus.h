// SPDX-License-Identifier: MIT
// The local bus: projectors on this computer's USB ports, reached through
// libusb-1.0.
//
// Devices are found by libusb's hotplug events (devices already present are
// reported too) or, where libusb has no hotplug support, by listing the
// devices every poll interval. One thread of the bus handles libusb's events
// and reports arrivals and departures to the listener; libusb's callbacks only
// queue work for it. Transfers run on the caller's thread.
//
// A device that leaves has its transfers ended (kStatusDeviceNotFound) and its
// handle closed; when it comes back (a mode switch re-enumerates it) it is a
// new device with a new key.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "usb_driver/bus.h"

namespace usb_driver {

struct LibusbBusOptions {
    // List the devices every poll interval instead of using hotplug events,
    // as the bus does where libusb has no hotplug support.
    bool forcePolling = false;
    std::chrono::milliseconds pollInterval{500};
};

class LibusbBus : public Bus {
public:
    // Null when libusb cannot be initialised; one line on standard error then
    // says why.
    static std::shared_ptr<LibusbBus> create(LibusbBusOptions options = {});
    ~LibusbBus() override;

    LibusbBus(const LibusbBus &) = delete;
    LibusbBus &operator=(const LibusbBus &) = delete;

    // libusb's device list and the descriptors it read when it enumerated.
    [[nodiscard]] uint32_t list(std::vector<BusDevice> &devices, std::string &why) override;
    [[nodiscard]] uint32_t start(BusListener &listener) override;
    // This computer's USB ports.
    place_claim::Scope claimScope() const override;
    void stop() override;
    // A permission error (kStatusAccessDenied) also prints one line on standard
    // error naming the device and the udev rule that grants access; any other
    // failure to open or claim it one line naming the device and the error.
    [[nodiscard]] uint32_t open(uint64_t key) override;
    void close(uint64_t key) override;
    [[nodiscard]] uint32_t setInterface(uint64_t key, uint32_t interface, uint32_t alternate) override;
    [[nodiscard]] uint32_t resetPipe(uint64_t key, uint32_t pipe) override;
    // Bulk and interrupt pipes as the active configuration declares them;
    // pipe 0 is a control transfer with the request's setup packet (its
    // wLength must fit the buffer). Returns only once libusb has given the
    // transfer back: when libusb's event handling fails, the transfer is
    // cancelled and waited for (kStatusTransferFailed, unless it completed
    // first).
    [[nodiscard]] uint32_t transfer(uint64_t key, const TransferRequest &request, uint32_t &transferred) override;

    // The driver status of a libusb error code (LIBUSB_ERROR_*).
    static uint32_t statusOf(int libusbError);

    struct State;

private:
    explicit LibusbBus(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace usb_driver
