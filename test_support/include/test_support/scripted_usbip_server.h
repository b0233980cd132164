// SPDX-License-Identifier: MIT
// A USB/IP server that answers as its script says, one thread per
// connection: for tests of what the client does with a server that breaks
// the protocol (a malformed device list, a refused import, garbage on an
// imported connection), and helpers that build well-formed replies to break.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "usbip/protocol.h"

namespace test_support {

class ScriptedUsbipServer {
public:
    struct Script {
        // Bytes for the device-list request of poll `poll` (0, 1, ...).
        std::function<std::vector<uint8_t>(int poll)> devlist;
        // Bytes for every import request.
        std::vector<uint8_t> importReply;
        // Bytes to answer a submit with; empty closes the connection.
        std::function<std::vector<uint8_t>(const usbip::CmdSubmit &)> onSubmit;
    };

    // Listens on an ephemeral loopback port; port() is 0 if it could not.
    explicit ScriptedUsbipServer(Script script);
    ~ScriptedUsbipServer();
    ScriptedUsbipServer(const ScriptedUsbipServer &) = delete;
    ScriptedUsbipServer &operator=(const ScriptedUsbipServer &) = delete;

    uint16_t port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

    // What clients asked so far; guarded by `mutex`, `changed` signalled.
    std::mutex mutex;
    std::condition_variable changed;
    int devlists = 0, imports = 0, submits = 0, importsEnded = 0;

private:
    void accept();
    void serve(int fd);

    Script script_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread acceptor_;
    std::vector<int> fds_;
    std::vector<std::thread> threads_;
};

// A projector in application mode as a device list shows it, at `busId`.
usbip::DeviceRecord projectorRecord(const std::string &busId = "1-1");
// A device list with that projector, or with none.
std::vector<uint8_t> listing(bool withDevice);
// An import reply that gives the projector, under `busId`.
std::vector<uint8_t> importOk(const std::string &busId = "1-1");
// A reply of `code` refusing with `status`: the header alone.
std::vector<uint8_t> refusal(uint16_t code, uint32_t status);
// RET_SUBMIT for `submit` with `data` (IN) and `status`.
std::vector<uint8_t> answer(const usbip::CmdSubmit &submit, std::vector<uint8_t> data, int32_t status = 0);
// Answers GET_DESCRIPTOR from the given descriptors, cut to wLength.
std::vector<uint8_t> descriptors(const usbip::CmdSubmit &submit, const std::vector<uint8_t> &device,
                                 const std::vector<uint8_t> &config);

}  // namespace test_support
