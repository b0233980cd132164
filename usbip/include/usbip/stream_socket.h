// SPDX-License-Identifier: MIT
// The stream sockets of both ends of a USB/IP connection, the driver's client
// and the emulator's server: the few calls whose form differs between
// platforms. The interface is the same everywhere; stream_socket_posix.cpp
// and stream_socket_windows.cpp (Winsock 2) implement it. Socket errors are
// reported as errno values (ECONNREFUSED, ETIMEDOUT, EINPROGRESS, ...) on
// every platform. Every function may be called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "usbip/socket_system.h"

namespace usbip {

// A socket: a file descriptor on POSIX systems, a SOCKET on Windows.
#if defined(_WIN32)
using SocketHandle = SOCKET;
inline constexpr SocketHandle kNoSocket = INVALID_SOCKET;
#else
using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;
#endif

// Makes sockets usable in this process (Winsock is started on the first
// call and stays); false when the system has none. Everything below that
// opens a socket calls it; code that calls getaddrinfo first calls it itself.
bool startSockets();

// A new TCP socket of `family`, not inherited by child processes; kNoSocket
// with socketError() set on failure.
SocketHandle openStreamSocket(int family);

// Accepts a connection on the listening socket, not inherited by child
// processes; kNoSocket with socketError() set on failure. Blocks.
SocketHandle acceptConnection(SocketHandle listener, sockaddr_storage &peer, socklen_t &length);

void closeSocket(SocketHandle socket);

// Lets a listening socket bind its port while connections of an earlier
// listener there wait out TIME_WAIT (SO_REUSEADDR on POSIX; Windows allows
// that anyway, and its SO_REUSEADDR would let another program take a port in
// use).
void allowQuickRebind(SocketHandle listener);

// Ends one or both directions of the connection. A thread blocked reading it
// returns (end of stream); used to stop the threads that serve a socket.
void shutdownSocket(SocketHandle socket, bool readingOnly = false);

// Switches between non-blocking (a connect in progress, for a bounded
// connect) and blocking mode. False on failure.
bool setNonBlocking(SocketHandle socket, bool nonBlocking);

// Integer socket options (SO_REUSEADDR, TCP_NODELAY, SO_KEEPALIVE, ...).
bool setOption(SocketHandle socket, int level, int name, int value);

// Bounds each send (writeAll fails once it passes).
bool setSendTimeout(SocketHandle socket, std::chrono::milliseconds timeout);

// The error of the last failed socket call on this thread, as an errno value.
int socketError();

// The outcome of a non-blocking connect (SO_ERROR), as an errno value: 0 connected.
int connectError(SocketHandle socket);

// A few words for an errno value from the functions here ("Connection refused").
std::string socketErrorText(int error);

// Waits until `socket` can be read (or written, with `writing`), at most
// `timeout` (negative: no limit). Ends early with Woken when `wake` (a
// WakeSignal's handle, or kNoSocket) is raised. An error or the end of the
// stream counts as Ready: the next call on the socket reports it. An
// interrupted wait is resumed.
enum class Readiness { Ready, TimedOut, Woken, Failed };
Readiness waitReady(SocketHandle socket, bool writing, std::chrono::milliseconds timeout,
                    SocketHandle wake = kNoSocket);

// Receives at most `size` bytes: the count, 0 at the end of the stream, -1
// on an error (an interrupted receive is resumed). Blocks unless the socket
// is non-blocking.
ptrdiff_t receiveSome(SocketHandle socket, void *data, size_t size);

// Bytes that have arrived on the socket and are not read yet (0 on an error).
size_t unreadBytes(SocketHandle socket);

// Writes all of `bytes`, however many sends that takes. False on an error
// (a closed peer is an error, never a SIGPIPE) or when the socket's send
// time-out passes; how much was written is then unknown and the connection
// is of no further use. Blocks.
[[nodiscard]] bool writeAll(SocketHandle socket, std::span<const uint8_t> bytes);

// Ends waitReady() in other threads: raise() makes handle() ready to read
// until clear(). An eventfd on Linux, a loopback datagram socket connected to
// itself on Windows. valid() is false (and raise() does nothing) when it could
// not be made.
class WakeSignal {
public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal &) = delete;
    WakeSignal &operator=(const WakeSignal &) = delete;

    bool valid() const { return handle_ != kNoSocket; }
    SocketHandle handle() const { return handle_; }
    void raise();
    void clear();

private:
    SocketHandle handle_ = kNoSocket;
};

}  // namespace usbip
