// SPDX-License-Identifier: MIT
// Winsock 2. Sockets are not file descriptors here: select() waits (it
// reports a failed connect, which WSAPoll does not on every Windows), and
// errors come from WSAGetLastError(), translated to the errno values the
// interface promises.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "usbip/stream_socket.h"

namespace usbip {
namespace {

int errnoOf(int wsaError) {
    switch (wsaError) {
    case 0: return 0;
    case WSAEINTR: return EINTR;
    case WSAEWOULDBLOCK: return EINPROGRESS;  // a non-blocking connect under way
    case WSAEINPROGRESS: return EINPROGRESS;
    case WSAEALREADY: return EALREADY;
    case WSAECONNREFUSED: return ECONNREFUSED;
    case WSAETIMEDOUT: return ETIMEDOUT;
    case WSAECONNRESET: return ECONNRESET;
    case WSAECONNABORTED: return ECONNABORTED;
    case WSAENETUNREACH: return ENETUNREACH;
    case WSAEHOSTUNREACH: return EHOSTUNREACH;
    case WSAEADDRINUSE: return EADDRINUSE;
    case WSAEADDRNOTAVAIL: return EADDRNOTAVAIL;
    case WSAEAFNOSUPPORT: return EAFNOSUPPORT;
    case WSAEACCES: return EACCES;
    case WSAEMFILE: return EMFILE;
    case WSAENOBUFS: return ENOBUFS;
    case WSAENOTCONN: return ENOTCONN;
    case WSAENOTSOCK: return ENOTSOCK;
    case WSAESHUTDOWN: return EPIPE;
    case WSAEINVAL: return EINVAL;
    case WSANOTINITIALISED: return ENETDOWN;
    case WSAENETDOWN: return ENETDOWN;
    default: return EIO;
    }
}

// Whether WSAStartup succeeded; before it no error can be asked for.
std::atomic<int> gStarted{-1};  // -1 not yet tried

}  // namespace

bool startSockets() {
    // Started once and never stopped: the process's sockets may be in use
    // until it ends, and Windows releases Winsock with the process.
    static const bool started = [] {
        WSADATA data;
        const bool done = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
        gStarted.store(done ? 1 : 0);
        return done;
    }();
    return started;
}

SocketHandle openStreamSocket(int family) {
    if (!startSockets()) return kNoSocket;
    // WSA_FLAG_NO_HANDLE_INHERIT: not inherited by child processes.
    return ::WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

SocketHandle acceptConnection(SocketHandle listener, sockaddr_storage &peer, socklen_t &length) {
    length = sizeof peer;
    return ::accept(listener, reinterpret_cast<sockaddr *>(&peer), &length);
}

void closeSocket(SocketHandle socket) { ::closesocket(socket); }

void allowQuickRebind(SocketHandle) {}

void shutdownSocket(SocketHandle socket, bool readingOnly) { ::shutdown(socket, readingOnly ? SD_RECEIVE : SD_BOTH); }

bool setNonBlocking(SocketHandle socket, bool nonBlocking) {
    u_long mode = nonBlocking ? 1 : 0;
    return ::ioctlsocket(socket, FIONBIO, &mode) == 0;
}

bool setOption(SocketHandle socket, int level, int name, int value) {
    return ::setsockopt(socket, level, name, reinterpret_cast<const char *>(&value), sizeof value) == 0;
}

bool setSendTimeout(SocketHandle socket, std::chrono::milliseconds timeout) {
    const DWORD milliseconds = static_cast<DWORD>(timeout.count());
    return ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char *>(&milliseconds),
                        sizeof milliseconds) == 0;
}

// Winsock keeps the last error per thread, also for the calls that the
// portable code makes itself (connect, bind, listen).
int socketError() { return gStarted.load() == 0 ? ENETDOWN : errnoOf(::WSAGetLastError()); }

int connectError(SocketHandle socket) {
    int error = 0;
    int length = sizeof error;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &length) != 0)
        return errnoOf(::WSAGetLastError());
    return errnoOf(error);
}

std::string socketErrorText(int error) {
    switch (error) {
    case ECONNREFUSED: return "Connection refused";
    case ETIMEDOUT: return "Connection timed out";
    case ECONNRESET: return "Connection reset by peer";
    case ECONNABORTED: return "Software caused connection abort";
    case ENETUNREACH: return "Network is unreachable";
    case EHOSTUNREACH: return "No route to host";
    case EADDRINUSE: return "Address already in use";
    case EADDRNOTAVAIL: return "Cannot assign requested address";
    case EAFNOSUPPORT: return "Address family not supported by protocol";
    case ENETDOWN: return "Network is down";
    case ENOTCONN: return "Transport endpoint is not connected";
    default: return std::strerror(error);
    }
}

Readiness waitReady(SocketHandle socket, bool writing, std::chrono::milliseconds timeout, SocketHandle wake) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        timeval wait{};
        timeval *limit = nullptr;
        if (timeout.count() >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            const long long milliseconds = std::clamp<long long>(left.count(), 0, 60'000);
            wait.tv_sec = static_cast<long>(milliseconds / 1000);
            wait.tv_usec = static_cast<long>(milliseconds % 1000 * 1000);
            limit = &wait;
        }
        fd_set readable, writable, failed;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(socket, writing ? &writable : &readable);
        FD_SET(socket, &failed);  // a connect that failed
        if (wake != kNoSocket) FD_SET(wake, &readable);
        const int ready = ::select(0, &readable, &writable, &failed, limit);
        if (ready == SOCKET_ERROR) return Readiness::Failed;
        if (wake != kNoSocket && FD_ISSET(wake, &readable)) return Readiness::Woken;
        if (FD_ISSET(socket, &readable) || FD_ISSET(socket, &writable) || FD_ISSET(socket, &failed))
            return Readiness::Ready;
        if (timeout.count() >= 0 && std::chrono::steady_clock::now() >= deadline) return Readiness::TimedOut;
    }
}

ptrdiff_t receiveSome(SocketHandle socket, void *data, size_t size) {
    const int got = ::recv(socket, static_cast<char *>(data), static_cast<int>(std::min<size_t>(size, INT32_MAX)), 0);
    return got == SOCKET_ERROR ? -1 : got;
}

size_t unreadBytes(SocketHandle socket) {
    u_long count = 0;
    return ::ioctlsocket(socket, FIONREAD, &count) == 0 ? static_cast<size_t>(count) : 0;
}

bool writeAll(SocketHandle socket, std::span<const uint8_t> bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const int sent = ::send(socket, reinterpret_cast<const char *>(bytes.data() + done),
                                static_cast<int>(std::min<size_t>(bytes.size() - done, INT32_MAX)), 0);
        if (sent == SOCKET_ERROR || sent == 0) return false;
        done += static_cast<size_t>(sent);
    }
    return true;
}

WakeSignal::WakeSignal() {
    if (!startSockets()) return;
    // A datagram socket on the loopback interface that sends to itself: a
    // byte sent makes it readable for select().
    const SocketHandle socket = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == kNoSocket) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    u_long nonBlocking = 1;
    if (::bind(socket, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::getsockname(socket, reinterpret_cast<sockaddr *>(&address), &length) != 0 ||
        ::connect(socket, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        ::ioctlsocket(socket, FIONBIO, &nonBlocking) != 0) {
        ::closesocket(socket);
        return;
    }
    handle_ = socket;
}

WakeSignal::~WakeSignal() {
    if (valid()) ::closesocket(handle_);
}

void WakeSignal::raise() {
    const char one = 1;
    if (valid()) ::send(handle_, &one, 1, 0);
}

void WakeSignal::clear() {
    char drained[16];
    if (valid())
        while (::recv(handle_, drained, sizeof drained, 0) > 0) {}
}

}  // namespace usbip
