// SPDX-License-Identifier: MIT
// The bus of a USB/IP server: the devices it exports, used over TCP.
//
// While started, a discovery thread asks the server for its device list every
// poll interval (a fresh connection each time). A listed device that the
// listener wants and that is not imported yet is imported on a connection of
// its own, its device and configuration descriptors are read with
// GET_DESCRIPTOR, and it is reported as arrived. An imported device missing
// from later lists has not left (servers may list only free devices); its
// connection closing or failing is the departure. An import refused as busy,
// not available or no such device (a projector restarting) is tried again at
// the next poll. A device that re-enumerates closes its connection and is
// imported anew, under a new key. Only devices that the listener wants at
// their bus id are imported.
//
// A server that cannot be reached is said once on standard error ("tz4817:
// USB/IP server 127.0.0.1:3240 refused the connection; ...") and asked again
// at each poll. A server that breaks the protocol (a malformed device list or
// import reply, an import refused otherwise, a message that is not USB/IP on
// an imported connection) is said once, naming what was wrong, and fails the
// bus (BusListener::busFailed); discovery then ends.
//
// Each imported device's connection is an ImportedDevice (imported_device.h).
// Transfers are CMD_SUBMIT / RET_SUBMIT matched by seqnum. One thread at a
// time reads an imported connection: the caller of a transfer reads the
// socket itself while it waits for its reply (so the usual exchange wakes no
// other thread), a second caller waits for the first to hand the socket on,
// and the connection's reader thread takes the socket only once it has been
// left unread for a few milliseconds, so that a departure or a stray message
// is seen while no transfer is in flight. A transfer that outlives its time-out is
// cancelled with CMD_UNLINK before transfer() returns; a server that answers
// neither the unlink nor the submit loses the connection.
//
// Everything the server sends is untrusted: lengths are checked before any
// copy, and a message that breaks the protocol drops its connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "usb_driver/bus.h"
#include "usbip_socket.h"

namespace usb_driver {

using usbip_socket::parseServerAddress;

class UsbipBus : public Bus {
public:
    struct Options {
        std::string host;
        uint16_t port = 3240;
        std::chrono::milliseconds pollInterval{200};
        // Bound of set interface, pipe resets and the descriptor requests.
        std::chrono::milliseconds controlTimeout{1000};
        // Bound of connecting, and of one device-list or import exchange.
        std::chrono::milliseconds operationTimeout{2000};
        // How long a cancelled transfer waits for the server's answer to the
        // unlink before the connection is given up.
        std::chrono::milliseconds unlinkTimeout{1000};
    };

    explicit UsbipBus(Options options);
    ~UsbipBus() override;
    UsbipBus(const UsbipBus &) = delete;
    UsbipBus &operator=(const UsbipBus &) = delete;

    [[nodiscard]] uint32_t list(std::vector<BusDevice> &devices, std::string &why) override;
    [[nodiscard]] uint32_t start(BusListener &listener) override;
    // The server, by the address a device list was first asked of (by the
    // address given until one was).
    place_claim::Scope claimScope() const override;
    void stop() override;
    [[nodiscard]] uint32_t open(uint64_t key) override;
    void close(uint64_t key) override;
    [[nodiscard]] uint32_t setInterface(uint64_t key, uint32_t interface, uint32_t alternate) override;
    [[nodiscard]] uint32_t resetPipe(uint64_t key, uint32_t pipe) override;
    [[nodiscard]] uint32_t transfer(uint64_t key, const TransferRequest &request, uint32_t &transferred) override;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace usb_driver
