// SPDX-License-Identifier: MIT
// Claims on Linux: a listening unix socket bound to "\0tz4817-claim-..." in
// the abstract namespace (the network namespace's, shared by every user of
// this computer). Binding a name that is bound fails, so at most one process
// holds it; the kernel unbinds it when the process ends however it ends.
// Connecting to it tells its holder's process id (SO_PEERCRED). The holder
// never accepts for real: it lets go of waiting connections whenever it
// claims anything, and the queue is long enough for many askers meanwhile.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <iterator>

#include "place_claim_system.h"

namespace usb_driver::place_claim::system {
namespace {

struct Address {
    sockaddr_un address{};
    socklen_t length = 0;
};

Address abstractAddress(const std::string &name) {
    Address result;
    result.address.sun_family = AF_UNIX;
    // sun_path[0] stays 0: the abstract namespace, no file.
    std::memcpy(result.address.sun_path + 1, name.data(), name.size());
    result.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return result;
}

int newSocket() { return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0); }

// The program of a process: the name it was started by, else its kernel name.
std::string programOf(uint32_t pid) {
    std::ifstream commandLine("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::string first;
    std::getline(commandLine, first, '\0');
    if (!first.empty()) return first.substr(first.rfind('/') + 1);
    std::ifstream name("/proc/" + std::to_string(pid) + "/comm");
    std::getline(name, first);
    return first;
}

enum class Asked { Free, Held };

Asked ask(const std::string &name, Holder &holder) {
    holder = {};
    const int fd = newSocket();
    if (fd < 0) return Asked::Held;  // cannot tell: better not touch it
    const Address address = abstractAddress(name);
    Asked asked = Asked::Held;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address.address), address.length) == 0) {
        ucred credentials{};
        socklen_t size = sizeof credentials;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 && credentials.pid > 0) {
            holder.pid = static_cast<uint32_t>(credentials.pid);
            holder.program = programOf(holder.pid);
        }
    } else if (errno == ECONNREFUSED || errno == ENOENT) {
        asked = Asked::Free;
    }
    // EAGAIN (the holder's queue is full) and the rest: held, by whom unknown.
    ::close(fd);
    return asked;
}

}  // namespace

Taken take(const std::string &name, Handle &handle, Holder &holder, std::string &why) {
    const Address address = abstractAddress(name);
    // A holder that ends between a failed bind and the question frees the
    // name: bind again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int fd = newSocket();
        if (fd < 0) {
            why = std::strerror(errno);
            return Taken::Failed;
        }
        if (::bind(fd, reinterpret_cast<const sockaddr *>(&address.address), address.length) == 0) {
            if (::listen(fd, SOMAXCONN) != 0) {
                why = std::strerror(errno);
                ::close(fd);
                return Taken::Failed;
            }
            handle = fd;
            return Taken::Ours;
        }
        const int error = errno;
        ::close(fd);
        if (error != EADDRINUSE) {
            why = std::strerror(error);
            return Taken::Failed;
        }
        if (ask(name, holder) == Asked::Held) return Taken::Elsewhere;
    }
    holder = {};
    return Taken::Elsewhere;
}

void release(const std::string & /*name*/, Handle handle) { ::close(static_cast<int>(handle)); }

void tend(Handle handle) {
    for (;;) {
        const int connection = ::accept4(static_cast<int>(handle), nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;  // EAGAIN: nobody waiting
        }
        ::close(connection);
    }
}

bool heldElsewhere(const std::string &name, Holder &holder) {
    if (ask(name, holder) == Asked::Free) return false;
    // Another copy of this code in this process (a program that lists with
    // one copy of the driver and updates with the library's) is not another
    // process.
    return holder.pid != static_cast<uint32_t>(::getpid());
}

}  // namespace usb_driver::place_claim::system
