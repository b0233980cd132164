// SPDX-License-Identifier: MIT
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "usbip/stream_socket.h"

namespace usbip {

bool startSockets() { return true; }

SocketHandle openStreamSocket(int family) { return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0); }

SocketHandle acceptConnection(SocketHandle listener, sockaddr_storage &peer, socklen_t &length) {
    length = sizeof peer;
    return ::accept4(listener, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_CLOEXEC);
}

void closeSocket(SocketHandle socket) { ::close(socket); }

void allowQuickRebind(SocketHandle listener) { setOption(listener, SOL_SOCKET, SO_REUSEADDR, 1); }

void shutdownSocket(SocketHandle socket, bool readingOnly) { ::shutdown(socket, readingOnly ? SHUT_RD : SHUT_RDWR); }

bool setNonBlocking(SocketHandle socket, bool nonBlocking) {
    const int flags = ::fcntl(socket, F_GETFL);
    return flags >= 0 && ::fcntl(socket, F_SETFL, nonBlocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
}

bool setOption(SocketHandle socket, int level, int name, int value) {
    return ::setsockopt(socket, level, name, &value, sizeof value) == 0;
}

bool setSendTimeout(SocketHandle socket, std::chrono::milliseconds timeout) {
    timeval send{};
    send.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    send.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000 * 1000);
    return ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &send, sizeof send) == 0;
}

int socketError() { return errno; }

int connectError(SocketHandle socket) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

std::string socketErrorText(int error) { return std::strerror(error); }

Readiness waitReady(SocketHandle socket, bool writing, std::chrono::milliseconds timeout, SocketHandle wake) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int wait = -1;
        if (timeout.count() >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            wait = static_cast<int>(std::clamp<long long>(left.count(), 0, 60'000));
        }
        pollfd entries[2] = {{socket, static_cast<short>(writing ? POLLOUT : POLLIN), 0}, {wake, POLLIN, 0}};
        const int ready = ::poll(entries, wake != kNoSocket ? 2 : 1, wait);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return Readiness::Failed;
        if (wake != kNoSocket && entries[1].revents) return Readiness::Woken;
        if (entries[0].revents) return Readiness::Ready;
        if (timeout.count() >= 0 && std::chrono::steady_clock::now() >= deadline) return Readiness::TimedOut;
    }
}

ptrdiff_t receiveSome(SocketHandle socket, void *data, size_t size) {
    for (;;) {
        const ssize_t got = ::recv(socket, data, size, 0);
        if (got < 0 && errno == EINTR) continue;
        return got;
    }
}

size_t unreadBytes(SocketHandle socket) {
    int count = 0;
    return ::ioctl(socket, FIONREAD, &count) == 0 && count > 0 ? static_cast<size_t>(count) : 0;
}

bool writeAll(SocketHandle socket, std::span<const uint8_t> bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent = ::send(socket, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        done += static_cast<size_t>(sent);
    }
    return true;
}

WakeSignal::WakeSignal() : handle_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WakeSignal::~WakeSignal() {
    if (valid()) ::close(handle_);
}

void WakeSignal::raise() {
    const uint64_t one = 1;
    if (valid()) (void)!::write(handle_, &one, sizeof one);
}

void WakeSignal::clear() {
    uint64_t count;
    if (valid()) (void)!::read(handle_, &count, sizeof count);
}

}  // namespace usbip
