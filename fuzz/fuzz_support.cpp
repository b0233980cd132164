// SPDX-License-Identifier: MIT
#include "fuzz_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace fuzz {

void fail(const char *file, int line, const char *condition) {
    // errno may be stale, but names the cause when a system call failed.
    std::fprintf(stderr, "%s:%d: check failed: %s (errno: %s)\n", file, line, condition, std::strerror(errno));
    std::fflush(stderr);
    std::abort();
}

std::optional<Bytes> Chunks::next() {
    if (rest_.size() < 2) return std::nullopt;
    const size_t length = std::min<size_t>(static_cast<size_t>(rest_[0] << 8 | rest_[1]), rest_.size() - 2);
    const Bytes chunk = rest_.subspan(2, length);
    rest_ = rest_.subspan(2 + length);
    return chunk;
}

void appendChunk(std::span<const uint8_t> chunk, std::vector<uint8_t> &out) {
    out.push_back(static_cast<uint8_t>(chunk.size() >> 8));
    out.push_back(static_cast<uint8_t>(chunk.size()));
    out.insert(out.end(), chunk.begin(), chunk.end());
}

size_t openDescriptors() {
    size_t count = 0;
    DIR *directory = ::opendir("/proc/self/fd");
    FUZZ_CHECK(directory != nullptr);
    while (::readdir(directory) != nullptr) ++count;
    ::closedir(directory);
    return count;
}

LoopbackListener::LoopbackListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(fd_ >= 0);
    // Thousands of connections a second leave ports in TIME_WAIT: a listener
    // may take one of them.
    const int on = 1;
    FUZZ_CHECK(::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    FUZZ_CHECK(::bind(fd_, reinterpret_cast<sockaddr *>(&address), length) == 0);
    FUZZ_CHECK(::listen(fd_, 16) == 0);
    FUZZ_CHECK(::getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length) == 0);
    port_ = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() { ::close(fd_); }

int LoopbackListener::accept(int wake) {
    for (;;) {
        pollfd entries[2] = {{fd_, POLLIN, 0}, {wake, POLLIN, 0}};
        const int ready = ::poll(entries, wake >= 0 ? 2 : 1, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || (wake >= 0 && entries[1].revents)) return -1;
        const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0 && errno == EINTR) continue;
        if (fd >= 0) {
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        }
        return fd;
    }
}

int connectLoopback(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    bool connected = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    if (!connected && errno == EINTR) {
        // Interrupted (libFuzzer's timer): the connection goes on being made.
        pollfd entry{fd, POLLOUT, 0};
        while (::poll(&entry, 1, -1) < 0 && errno == EINTR) {}
        int error = 0;
        socklen_t length = sizeof error;
        connected = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    if (!connected) {
        ::close(fd);
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

}  // namespace fuzz
