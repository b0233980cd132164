// SPDX-License-Identifier: MIT
// The local bus on Windows: projectors on this computer's USB ports, reached
// through WinUSB (the projector bound to winusb.sys).
//
// SetupAPI lists the present devices of the USB device interface class
// (GUID_DEVINTERFACE_USB_DEVICE) every poll interval; those with one of the
// projector's two vendor and product ids are the bus's devices, named by
// their port path ("1-4.2", from the location path). A device that is wanted
// is opened once to read its descriptors and reported; one that is gone from
// the list has left: its transfers are aborted and it is reported gone. A
// mode switch re-enumerates the projector, which comes back as a new device
// with a new key. Transfers run on the caller's thread (WinUsb_* calls with
// the pipe's time-out as the pipe policy).
//
// What each request asks of WinUSB and what WinUSB's errors mean to the
// driver is in winusb_requests.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "usb_driver/bus.h"

namespace usb_driver {

struct WinusbBusOptions {
    std::chrono::milliseconds pollInterval{500};
};

class WinusbBus : public Bus {
public:
    static std::shared_ptr<WinusbBus> create(WinusbBusOptions options = {});
    ~WinusbBus() override;

    WinusbBus(const WinusbBus &) = delete;
    WinusbBus &operator=(const WinusbBus &) = delete;

    // SetupAPI's list of the projectors present: nothing is opened.
    [[nodiscard]] uint32_t list(std::vector<BusDevice> &devices, std::string &why) override;
    [[nodiscard]] uint32_t start(BusListener &listener) override;
    // This computer's USB ports.
    place_claim::Scope claimScope() const override;
    void stop() override;
    // A failure to open the device or to start WinUSB on it prints one line
    // on standard error naming the device and the error.
    [[nodiscard]] uint32_t open(uint64_t key) override;
    void close(uint64_t key) override;
    // Interface 0 only (the one the driver takes): WinUsb_SetCurrentAlternateSetting.
    [[nodiscard]] uint32_t setInterface(uint64_t key, uint32_t interface, uint32_t alternate) override;
    // WinUsb_ResetPipe: CLEAR_FEATURE(ENDPOINT_HALT), and the data toggle reset.
    [[nodiscard]] uint32_t resetPipe(uint64_t key, uint32_t pipe) override;
    [[nodiscard]] uint32_t transfer(uint64_t key, const TransferRequest &request, uint32_t &transferred) override;

    struct State;

private:
    explicit WinusbBus(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace usb_driver
