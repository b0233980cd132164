// SPDX-License-Identifier: MIT
#include "socket_io.h"

#include <algorithm>
#include <cstdint>

#include <cstring>

#include "usbip/socket_system.h"

namespace projector_emulator::socket_io {

bool readExact(usbip::SocketHandle socket, std::span<uint8_t> buffer, Deadline deadline) {
    size_t done = 0;
    while (done < buffer.size()) {
        if (deadline != kNoDeadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            if (usbip::waitReady(socket, false, left) != usbip::Readiness::Ready) return false;
        }
        const ptrdiff_t got = usbip::receiveSome(socket, buffer.data() + done, buffer.size() - done);
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

bool readAppend(usbip::SocketHandle socket, std::vector<uint8_t> &out, size_t count, Deadline deadline) {
    const size_t start = out.size();
    out.resize(start + count);
    if (readExact(socket, std::span(out).subspan(start), deadline)) return true;
    out.resize(start);
    return false;
}

size_t readAvailable(usbip::SocketHandle socket, std::span<uint8_t> buffer) {
    const ptrdiff_t got = usbip::receiveSome(socket, buffer.data(), buffer.size());
    return got > 0 ? static_cast<size_t>(got) : 0;
}

std::string describe(const sockaddr *address, socklen_t length) {
    char host[NI_MAXHOST] = "?";
    char port[NI_MAXSERV] = "?";
    ::getnameinfo(address, length, host, sizeof host, port, sizeof port, NI_NUMERICHOST | NI_NUMERICSERV);
    if (address->sa_family == AF_INET6) return std::string("[") + host + "]:" + port;
    return std::string(host) + ":" + port;
}

std::vector<Endpoint> resolve(const std::string &host, uint16_t port, std::string &error) {
    std::vector<Endpoint> endpoints;
    if (!usbip::startSockets()) {
        error = "no sockets: " + usbip::socketErrorText(usbip::socketError());
        return endpoints;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo *list = nullptr;
    const std::string service = std::to_string(port);
    const int status = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &list);
    if (status != 0) {
        error = "cannot resolve '" + host + "': " + ::gai_strerror(status);
        return endpoints;
    }
    for (addrinfo *item = list; item; item = item->ai_next) {
        if (item->ai_addrlen > sizeof(sockaddr_storage)) continue;
        Endpoint endpoint;
        std::memcpy(&endpoint.address, item->ai_addr, item->ai_addrlen);
        endpoint.length = static_cast<socklen_t>(item->ai_addrlen);
        endpoint.family = item->ai_family;
        endpoints.push_back(endpoint);
    }
    ::freeaddrinfo(list);
    // "localhost" gives ::1 and 127.0.0.1; listen where IPv4-only clients
    // such as the default 127.0.0.1 of every tool will look.
    std::stable_partition(endpoints.begin(), endpoints.end(),
                          [](const Endpoint &endpoint) { return endpoint.family == AF_INET; });
    if (endpoints.empty()) error = "no address for '" + host + "'";
    return endpoints;
}

bool isLoopback(const Endpoint &endpoint) {
    if (endpoint.family == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(&endpoint.address);
        return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
    }
    if (endpoint.family == AF_INET6) {
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&endpoint.address);
        if (IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr)) return true;
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) return v6->sin6_addr.s6_addr[12] == 127;
    }
    return false;
}

}  // namespace projector_emulator::socket_io
