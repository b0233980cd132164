// SPDX-License-Identifier: MIT
#include <cerrno>
#include <sys/socket.h>

#include "usbip/stream_socket.h"

namespace usbip {

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

}  // namespace usbip
