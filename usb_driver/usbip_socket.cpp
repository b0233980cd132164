#include "usbip_socket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace usb_driver::usbip_socket {
namespace {

// Waits until `fd` is ready for `events`. False on deadline, wake or error.
bool waitFor(int fd, short events, const Deadline &deadline, int wake) {
    for (;;) {
        int timeout = -1;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
            if (left.count() <= 0) return false;
            timeout = static_cast<int>(std::min<long long>(left.count(), 60'000));
        }
        pollfd entries[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
        const int ready = ::poll(entries, wake >= 0 ? 2 : 1, timeout);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return false;
        if (ready == 0) continue;  // the loop checks the deadline
        if (wake >= 0 && entries[1].revents) return false;
        if (entries[0].revents) return true;  // ready, or an error the next call reports
    }
}

}  // namespace

int connectTo(const std::string &host, uint16_t port, Clock::time_point deadline, int wake,
              std::chrono::milliseconds sendTimeout, std::string *why) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    const std::string service = std::to_string(port);
    if (const int failure = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list); failure != 0) {
        if (why) *why = std::string("cannot be found (") + ::gai_strerror(failure) + ")";
        return -1;
    }
    int result = -1;
    int error = ETIMEDOUT;  // the last address's failure
    for (addrinfo *item = list; item && result < 0; item = item->ai_next) {
        const int fd = ::socket(item->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            error = errno;
            continue;
        }
        bool connected = ::connect(fd, item->ai_addr, item->ai_addrlen) == 0;
        if (!connected) error = errno;
        if (!connected && error == EINPROGRESS) {
            error = ETIMEDOUT;
            if (waitFor(fd, POLLOUT, deadline, wake)) {
                socklen_t length = sizeof error;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
                connected = error == 0;
            }
        }
        const int flags = ::fcntl(fd, F_GETFL);
        if (connected && flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) {
            // Every exchange is a small message that waits for its answer.
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
            timeval send{};
            send.tv_sec = static_cast<time_t>(sendTimeout.count() / 1000);
            send.tv_usec = static_cast<suseconds_t>(sendTimeout.count() % 1000 * 1000);
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send, sizeof send);
            result = fd;
        } else {
            ::close(fd);
        }
    }
    ::freeaddrinfo(list);
    if (result < 0 && why) {
        if (error == ECONNREFUSED)
            *why = "refused the connection";
        else if (error == ETIMEDOUT)
            *why = "did not accept the connection in time";
        else
            *why = std::string("cannot be reached (") + std::strerror(error) + ")";
    }
    return result;
}

bool readExact(int fd, std::span<uint8_t> buffer, const Deadline &deadline, int wake) {
    size_t done = 0;
    while (done < buffer.size()) {
        if ((deadline || wake >= 0) && !waitFor(fd, POLLIN, deadline, wake)) return false;
        const ssize_t got = ::recv(fd, buffer.data() + done, buffer.size() - done, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

Received receive(int fd, std::span<uint8_t> buffer, size_t &got, const Deadline &deadline, int wake) {
    got = 0;
    for (;;) {
        if (!waitFor(fd, POLLIN, deadline, wake)) {
            // Not readable: the deadline, the wake, or poll itself failing.
            pollfd entry{wake, POLLIN, 0};
            const bool woken = wake >= 0 && ::poll(&entry, 1, 0) == 1;
            if (woken || (deadline && Clock::now() >= *deadline)) return Received::Waiting;
            return Received::Ended;
        }
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n > 0) {
            got = static_cast<size_t>(n);
            return Received::Bytes;
        }
        if (n == 0) return Received::Ended;
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return Received::Ended;
    }
}

bool readSome(int fd, std::vector<uint8_t> &out, size_t limit, const Deadline &deadline, int wake, bool &ended) {
    ended = false;
    if (out.size() >= limit) return false;
    if (!waitFor(fd, POLLIN, deadline, wake)) return false;
    const size_t start = out.size();
    out.resize(std::min(limit, start + 4096));
    ssize_t got;
    do {
        got = ::recv(fd, out.data() + start, out.size() - start, 0);
    } while (got < 0 && errno == EINTR);
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
