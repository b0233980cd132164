// SPDX-License-Identifier: MIT
// Blocking TCP helpers of the USB/IP client. Every wait is bounded by a
// deadline and ends early when `wake` (a usbip::WakeSignal's handle, or
// usbip::kNoSocket) is raised, so the bus can stop its threads promptly. A
// socket blocked in a read with no deadline is ended by
// usbip::shutdownSocket() from another thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "usbip/stream_socket.h"

namespace usb_driver::usbip_socket {

using Socket = usbip::SocketHandle;

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;  // nothing: wait forever

// Connects to host:port (names and literals, IPv4 or IPv6) with TCP_NODELAY
// set, keep-alive on, and sends bounded by `sendTimeout`. usbip::kNoSocket on
// failure, when the deadline passes or when `wake` fires; `why` (when given) then says how
// in a few words: "refused the connection", "cannot be reached (...)".
Socket connectTo(const std::string &host, uint16_t port, Clock::time_point deadline, Socket wake,
                 std::chrono::milliseconds sendTimeout, std::string *why = nullptr);

// The address `socket` is connected to, as digits: "127.0.0.1:3240",
// "[::1]:3240". Empty when it cannot be had.
std::string peerAddress(Socket socket);

// Reads exactly buffer.size() bytes. False on end of stream, error, deadline
// or wake.
[[nodiscard]] bool readExact(Socket socket, std::span<uint8_t> buffer, const Deadline &deadline, Socket wake);

// Waits until `socket` is readable and takes what has arrived, at most
// buffer.size() bytes; `got` says how many. Bytes: some were read. Waiting:
// the deadline passed or `wake` fired first. Ended: end of stream or error.
enum class Received { Bytes, Waiting, Ended };
[[nodiscard]] Received receive(Socket socket, std::span<uint8_t> buffer, size_t &got, const Deadline &deadline,
                               Socket wake);

// Appends what arrives until end of stream, at most `limit` bytes in all.
// Returns after each chunk: true while the stream is open and the limit not
// reached, so the caller can try to decode what it has.
[[nodiscard]] bool readSome(Socket socket, std::vector<uint8_t> &out, size_t limit, const Deadline &deadline,
                            Socket wake, bool &ended);

// Splits "HOST[:PORT]" ("[V6]" or "[V6]:PORT" for IPv6 literals; port 1..65535,
// 3240 when left out). Nothing when malformed.
struct ServerAddress {
    std::string host;
    uint16_t port = 3240;
};
std::optional<ServerAddress> parseServerAddress(const std::string &text);

}  // namespace usb_driver::usbip_socket
