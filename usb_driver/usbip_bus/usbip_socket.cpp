// SPDX-License-Identifier: MIT
#include "usbip_socket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "usbip/socket_system.h"

namespace usb_driver::usbip_socket {
namespace {

// Waits until `socket` is ready to read (or write). False on deadline, wake
// or error.
bool waitFor(Socket socket, bool writing, const Deadline &deadline, Socket wake) {
    std::chrono::milliseconds timeout(-1);
    if (deadline) {
        timeout = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
        if (timeout.count() <= 0) return false;
    }
    return usbip::waitReady(socket, writing, timeout, wake) == usbip::Readiness::Ready;
}

}  // namespace

std::string peerAddress(Socket socket) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(socket, reinterpret_cast<sockaddr *>(&address), &length) != 0) return {};
    char host[NI_MAXHOST] = "", service[NI_MAXSERV] = "";
    if (::getnameinfo(reinterpret_cast<sockaddr *>(&address), length, host, sizeof host, service, sizeof service,
                      NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return {};
    // IPv6 addresses in brackets, as QRV_USBIP takes them.
    const bool bracketed = std::strchr(host, ':') != nullptr;
    std::string shown;
    if (bracketed) shown += '[';
    shown += host;
    if (bracketed) shown += ']';
    shown += ':';
    shown += service;
    return shown;
}

Socket connectTo(const std::string &host, uint16_t port, Clock::time_point deadline, Socket wake,
                 std::chrono::milliseconds sendTimeout, std::string *why) {
    if (!usbip::startSockets()) {
        if (why) *why = "cannot be reached (" + usbip::socketErrorText(usbip::socketError()) + ")";
        return usbip::kNoSocket;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    const std::string service = std::to_string(port);
    if (const int failure = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list); failure != 0) {
        if (why) *why = std::string("cannot be found (") + ::gai_strerror(failure) + ")";
        return usbip::kNoSocket;
    }
    Socket result = usbip::kNoSocket;
    int error = ETIMEDOUT;  // the last address's failure
    for (addrinfo *item = list; item && result == usbip::kNoSocket; item = item->ai_next) {
        const Socket socket = usbip::openStreamSocket(item->ai_family);
        if (socket == usbip::kNoSocket || !usbip::setNonBlocking(socket, true)) {
            error = usbip::socketError();
            if (socket != usbip::kNoSocket) usbip::closeSocket(socket);
            continue;
        }
        bool connected = ::connect(socket, item->ai_addr, static_cast<socklen_t>(item->ai_addrlen)) == 0;
        if (!connected) error = usbip::socketError();
        if (!connected && error == EINPROGRESS) {
            error = ETIMEDOUT;
            if (waitFor(socket, true, deadline, wake)) {
                error = usbip::connectError(socket);
                connected = error == 0;
            }
        }
        if (connected && usbip::setNonBlocking(socket, false)) {
            // Every exchange is a small message that waits for its answer.
            usbip::setOption(socket, IPPROTO_TCP, TCP_NODELAY, 1);
            usbip::setOption(socket, SOL_SOCKET, SO_KEEPALIVE, 1);
            usbip::setSendTimeout(socket, sendTimeout);
            result = socket;
        } else {
            usbip::closeSocket(socket);
        }
    }
    ::freeaddrinfo(list);
    if (result == usbip::kNoSocket && why) {
        if (error == ECONNREFUSED)
            *why = "refused the connection";
        else if (error == ETIMEDOUT)
            *why = "did not accept the connection in time";
        else
            *why = "cannot be reached (" + usbip::socketErrorText(error) + ")";
    }
    return result;
}

bool readExact(Socket socket, std::span<uint8_t> buffer, const Deadline &deadline, Socket wake) {
    size_t done = 0;
    while (done < buffer.size()) {
        if ((deadline || wake != usbip::kNoSocket) && !waitFor(socket, false, deadline, wake)) return false;
        const ptrdiff_t got = usbip::receiveSome(socket, buffer.data() + done, buffer.size() - done);
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

Received receive(Socket socket, std::span<uint8_t> buffer, size_t &got, const Deadline &deadline, Socket wake) {
    got = 0;
    std::chrono::milliseconds timeout(-1);
    if (deadline) {
        timeout = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
        if (timeout.count() <= 0) return Received::Waiting;
    }
    switch (usbip::waitReady(socket, false, timeout, wake)) {
    case usbip::Readiness::Ready: break;
    case usbip::Readiness::TimedOut:
    case usbip::Readiness::Woken: return Received::Waiting;
    case usbip::Readiness::Failed: return Received::Ended;
    }
    // Readable: bytes, the end of the stream or an error, so this returns at once.
    const ptrdiff_t n = usbip::receiveSome(socket, buffer.data(), buffer.size());
    if (n <= 0) return Received::Ended;
    got = static_cast<size_t>(n);
    return Received::Bytes;
}

bool readSome(Socket socket, std::vector<uint8_t> &out, size_t limit, const Deadline &deadline, Socket wake,
              bool &ended) {
    ended = false;
    if (out.size() >= limit) return false;
    if (!waitFor(socket, false, deadline, wake)) return false;
    const size_t start = out.size();
    out.resize(std::min(limit, start + 4096));
    const ptrdiff_t got = usbip::receiveSome(socket, out.data() + start, out.size() - start);
    out.resize(start + static_cast<size_t>(got > 0 ? got : 0));
    if (got == 0) ended = true;
    return got > 0 && out.size() < limit;
}

std::optional<ServerAddress> parseServerAddress(const std::string &text) {
    ServerAddress address;
    std::string port;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close == 1) return std::nullopt;
        address.host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') return std::nullopt;
            port = text.substr(close + 2);
            if (port.empty()) return std::nullopt;
        }
    } else {
        const size_t colon = text.rfind(':');
        if (colon != std::string::npos && text.find(':') != colon) {
            address.host = text;  // a bare IPv6 literal
        } else if (colon != std::string::npos) {
            address.host = text.substr(0, colon);
            port = text.substr(colon + 1);
            if (port.empty()) return std::nullopt;
        } else {
            address.host = text;
        }
    }
    if (address.host.empty()) return std::nullopt;
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
        const unsigned long value = std::stoul(port);
        if (value == 0 || value > 65535) return std::nullopt;
        address.port = static_cast<uint16_t>(value);
    }
    return address;
}

}  // namespace usb_driver::usbip_socket
