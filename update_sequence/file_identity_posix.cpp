// SPDX-License-Identifier: MIT
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_identity.h"

namespace update_sequence::file_identity {
namespace {

Identity identityOf(const struct stat &status) {
    Identity identity;
    identity.volume = static_cast<uint64_t>(status.st_dev);
    identity.file = static_cast<uint64_t>(status.st_ino);
    identity.size = static_cast<uint64_t>(status.st_size);
    identity.modified = static_cast<int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec;
    identity.regular = S_ISREG(status.st_mode);
    return identity;
}

}  // namespace

int openForReading(const std::string &path, std::string &error) {
    // O_NONBLOCK: a FIFO of that name must not hang the program here.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) error = std::strerror(errno);
    return fd;
}

void close(int fd) { ::close(fd); }

int64_t readAt(int fd, uint64_t offset, void *buffer, size_t size, std::string &error) {
    for (;;) {
        const ssize_t got = ::pread(fd, buffer, size, static_cast<off_t>(offset));
        if (got >= 0) return got;
        if (errno != EINTR) {
            error = std::strerror(errno);
            return -1;
        }
    }
}

bool ofOpen(int fd, Identity &identity, std::string &error) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        error = std::strerror(errno);
        return false;
    }
    identity = identityOf(status);
    return true;
}

bool ofPath(const std::string &path, Identity &identity, std::string &error) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        error = std::strerror(errno);
        return false;
    }
    identity = identityOf(status);
    return true;
}

}  // namespace update_sequence::file_identity
