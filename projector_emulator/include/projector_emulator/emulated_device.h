// SPDX-License-Identifier: MIT
// What the USB/IP server (usbip_server.h) asks of a device it exports: its
// presence on the bus, its descriptors, and its two bulk pipes, bulk OUT 0x01
// taking one frame per transfer and bulk IN 0x81 giving what the device has
// to send. Tz4817Device (the emulated projector) is one; ReplayDevice (a
// recorded projector played back) is another.
//
// Implementations are thread-safe: the server calls them from its
// connections' threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "projector_emulator/clock.h"

namespace projector_emulator {

enum class Mode { Application, Programming };

struct Presence {
    bool onBus = false;
    Mode mode = Mode::Application;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    // Grows by one at every enumeration (mode switch, reboot): a bus that
    // connected to an older generation has lost the device.
    uint32_t generation = 0;
};

enum class TransferStatus {
    Ok,
    NoReply,   // IN: nothing to send (the host's transfer stays pending)
    Overflow,  // IN: the reply is longer than the host's buffer; any other failure of a transfer
    Stall,     // the endpoint stalled
    Gone,      // the device is not on the bus, or not in this generation
};

// What a client of the server did, for a device that wants to know who is
// using it.
enum class ClientEvent {
    Listed,    // a client asked for the device list
    Imported,  // a client imported the device
    Released,  // the connection of that import has closed
};

class EmulatedDevice {
public:
    virtual ~EmulatedDevice() = default;

    virtual Presence presence() = 0;

    // Blocks until presence differs from `known` (on/off the bus, generation)
    // or `deadline` passes; returns the presence then.
    virtual Presence waitForPresenceChange(const Presence &known, Clock::TimePoint deadline) = 0;

    // Bulk OUT on 0x01 for a connection made to `generation`: one frame.
    virtual TransferStatus bulkOut(uint32_t generation, std::span<const uint8_t> frame) = 0;

    // Bulk IN on 0x81: hands out what is ready to send, when there is some.
    // `length` is set to the bytes written into `buffer`.
    virtual TransferStatus bulkIn(uint32_t generation, std::span<uint8_t> buffer, size_t &length) = 0;

    // Blocks until something is ready on bulk IN for `generation`, the device
    // has left that generation, or `deadline` passes. True when ready.
    virtual bool waitForReply(uint32_t generation, Clock::TimePoint deadline) = 0;

    // Blocks the calling server thread for the latency added to each bulk
    // transfer, if any.
    virtual void holdTransferLatency() const {}

    // The descriptor of `type` (usb_standard::DT_DEVICE, DT_CONFIG, DT_STRING) and
    // `index` as the device in `presence` sends it; empty when it has none
    // (the request stalls).
    virtual std::vector<uint8_t> descriptor(uint8_t type, uint8_t index, const Presence &presence) const = 0;

    // The bus id to export the device under; empty for the server's own
    // ("1-1", "1-2", ... by position).
    virtual std::string busId() const { return {}; }

    // Called by the server, from its threads, for what its clients do.
    virtual void clientEvent(ClientEvent) {}
};

}  // namespace projector_emulator
