// SPDX-License-Identifier: MIT
// A USB/IP server that exports emulated projectors (emulated_device.h): the
// first as bus id "1-1", the next as "1-2", and so on (unless a device names
// its own), each imported and re-enumerating on its own.
//
// Each TCP connection carries one device-list exchange, or one import followed
// by URB messages until either side closes it. At most one connection holds
// a device imported. When a device leaves the bus (mode switch, reboot,
// leave fault) the imported connection is closed at once, which a client sees
// as the detach; when it comes back it is listed again with a new devnum and
// must be imported anew.
//
// Everything a client sends is untrusted: a malformed, oversized or
// out-of-order message closes that client's connection and nothing else.
// Clients that connect and send slowly or nothing cannot hold the server:
// a request must be complete within the request time-out, and when every
// place is taken the oldest connection still sending its request gives way
// to the new one. Imported connections keep their place.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "projector_emulator/emulated_device.h"

namespace projector_emulator {

inline constexpr char kUsbipBusId[] = "1-1";  // the first projector's
inline constexpr uint32_t kUsbipBusNumber = 1;
// The most projectors one server exports.
inline constexpr size_t kMaxExportedDevices = 64;

// The bus id of the projector at `index` (0: "1-1").
std::string usbipBusId(size_t index);

// The devnum the projector at `index` has in a generation: 1..127, different
// from the previous generation's, so a re-enumerated device gets a new devid.
uint32_t usbipDevnum(uint32_t generation, size_t index = 0);

struct UsbipServerOptions {
    std::string host = "127.0.0.1";  // a name or literal; "" for every address
    uint16_t port = 3240;            // 0: an ephemeral port, see UsbipServer::port()
    // How long a client has, from its connection, to send its whole request
    // (device list or import); an imported connection has no limit.
    std::chrono::milliseconds requestTimeout{10'000};
    // Connection events in a few words ("127.0.0.1:40312: imported 1-1"),
    // called from the server's threads, one call at a time. May be empty.
    std::function<void(const std::string &)> log;
};

class UsbipServer {
public:
    // The device must outlive the server.
    explicit UsbipServer(EmulatedDevice &device, UsbipServerOptions options = {});
    // Exports 1 to kMaxExportedDevices projectors (extra ones are not
    // exported), which must outlive the server.
    explicit UsbipServer(std::vector<EmulatedDevice *> devices, UsbipServerOptions options = {});
    ~UsbipServer();  // stop()
    UsbipServer(const UsbipServer &) = delete;
    UsbipServer &operator=(const UsbipServer &) = delete;

    // Binds, listens and starts serving on threads of its own. False with
    // `error` set when the host can't be resolved or the port can't be bound.
    // Call once.
    [[nodiscard]] bool start(std::string &error);

    // The port listened on (the real one when 0 was asked for); 0 before start.
    uint16_t port() const;
    // The address listened on, "127.0.0.1:3240" or "[::1]:3240".
    std::string address() const;
    // Whether the listening address is a loopback address.
    bool loopback() const;

    // Closes the listening socket and every connection and joins every
    // thread. Idempotent; not to be called from the log callback.
    void stop();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Splits "HOST:PORT" ("[V6]:PORT" for IPv6 literals; PORT 0..65535). Nothing
// with `error` set when the text is not of that form.
struct ListenAddress {
    std::string host;
    uint16_t port = 0;
};
std::optional<ListenAddress> parseListenAddress(const std::string &text, std::string &error);

// Whether every address `host` resolves to is a loopback address. False with
// `error` set when it can't be resolved.
bool isLoopbackHost(const std::string &host, std::string &error);

}  // namespace projector_emulator
