// SPDX-License-Identifier: MIT
// Writing to a connected stream socket, for both ends of a USB/IP
// connection: the driver's client and the emulator's server. The interface
// is the same on every platform; this build's implementation is
// stream_socket_posix.cpp.
#pragma once

#include <cstdint>
#include <span>

namespace usbip {

// A connected stream socket: a file descriptor on POSIX systems.
using SocketHandle = int;

// Writes all of `bytes`, however many sends that takes. False on an error
// (a closed peer is an error, never a SIGPIPE) or when the socket's send
// time-out passes; how much was written is then unknown and the connection
// is of no further use. Blocks; any thread.
[[nodiscard]] bool writeAll(SocketHandle socket, std::span<const uint8_t> bytes);

}  // namespace usbip
