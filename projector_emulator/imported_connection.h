// SPDX-License-Identifier: MIT
// The URB phase of one imported USB/IP connection.
//
// Three threads: the caller of run() reads and answers the client's messages
// (control transfers and bulk OUT at once, and a bulk IN whose reply is
// already waiting); a completion thread answers the other bulk IN submits, in
// order, as the device's replies become ready, so a pending IN never holds up
// an UNLINK behind it; a watcher closes the connection the moment the device
// leaves the bus or re-enumerates.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "projector_emulator/emulated_device.h"
#include "usbip/protocol.h"
#include "usbip/stream_socket.h"

namespace projector_emulator {

class ImportedConnection {
public:
    // `fd` stays owned by the caller; `presence` is the device as imported.
    // `onClosing` runs once, under the connection's lock, at the moment the
    // connection is decided closed and before the client can see the close:
    // from then on the connection no longer touches the device.
    ImportedConnection(EmulatedDevice &device, usbip::SocketHandle fd, const Presence &presence, uint32_t devid,
                       std::function<void()> onClosing);
    ImportedConnection(const ImportedConnection &) = delete;
    ImportedConnection &operator=(const ImportedConnection &) = delete;

    // Serves until the client closes, sends a bad message, the device leaves,
    // or the socket is shut down from outside. Returns the reason; every
    // thread it started has ended by then.
    std::string run();

private:
    struct PendingIn {
        uint32_t seqnum;
        uint32_t length;
    };

    std::string readLoop();
    std::string handleSubmit(const usbip::CmdSubmit &submit, std::span<const uint8_t> data);
    void handleUnlink(const usbip::CmdUnlink &unlink);
    void completeInTransfers();
    void watchPresence();
    void close(const std::string &reason);
    void closeLocked(const std::string &reason);
    bool sendLocked(std::span<const uint8_t> message);
    enum class InResult { Sent, NoReply, Gone };
    InResult answerInLocked(uint32_t seqnum, uint32_t length);

    EmulatedDevice &device_;
    const usbip::SocketHandle fd_;
    const Presence presence_;
    const uint32_t devid_;
    std::function<void()> onClosing_;

    std::mutex mutex_;  // everything below, and every write to the socket
    std::condition_variable changed_;
    bool closing_ = false;
    std::string reason_;
    std::deque<PendingIn> pendingIn_;
    std::vector<uint8_t> message_;   // scratch for outgoing messages
    std::vector<uint8_t> inBuffer_;  // scratch for the device's replies
};

}  // namespace projector_emulator
