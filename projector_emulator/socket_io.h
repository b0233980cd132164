// SPDX-License-Identifier: MIT
// Small blocking socket helpers of the USB/IP server. Every function returns
// false on end of stream, an error, or a time-out; none throws.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "usbip/stream_socket.h"

namespace projector_emulator::socket_io {

using Deadline = std::chrono::steady_clock::time_point;
// No deadline: wait as long as the peer takes (a usbip::shutdownSocket() of
// the socket from another thread ends the wait).
inline constexpr Deadline kNoDeadline = Deadline::max();

// Reads exactly buffer.size() bytes; gives up at the deadline, however
// steadily bytes arrive until then.
[[nodiscard]] bool readExact(usbip::SocketHandle socket, std::span<uint8_t> buffer, Deadline deadline = kNoDeadline);

// Appends `count` bytes read from the socket to `out`.
[[nodiscard]] bool readAppend(usbip::SocketHandle socket, std::vector<uint8_t> &out, size_t count,
                              Deadline deadline = kNoDeadline);

// Waits for bytes and reads what has arrived, at most buffer.size(): how
// many, 0 on end of stream or an error.
[[nodiscard]] size_t readAvailable(usbip::SocketHandle socket, std::span<uint8_t> buffer);

// "127.0.0.1:40000" or "[::1]:40000".
std::string describe(const sockaddr *address, socklen_t length);

// An address of one host as getaddrinfo gives it.
struct Endpoint {
    sockaddr_storage address{};
    socklen_t length = 0;
    int family = 0;
};

// Resolves a host name or literal for listening on `port`. Empty with `error`
// set when it can't be resolved.
std::vector<Endpoint> resolve(const std::string &host, uint16_t port, std::string &error);

bool isLoopback(const Endpoint &endpoint);

}  // namespace projector_emulator::socket_io
