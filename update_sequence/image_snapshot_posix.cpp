// SPDX-License-Identifier: MIT
// The snapshot on Linux: a file without a name, so that no other process can
// open it and nothing is left behind however the process ends; the download
// library opens it anew through /proc/self/fd.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "update_sequence/checked_image.h"

namespace update_sequence {

namespace {

std::string temporaryFolder() {
    const char *folder = std::getenv("TMPDIR");
    return folder != nullptr && *folder != '\0' ? folder : "/tmp";
}

// An unnamed file in `folder`, or -1 with errno set. O_TMPFILE where the file
// system has it; elsewhere a named file that is unlinked at once.
int openUnnamed(const std::string &folder) {
    const int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
    std::string name = folder + "/tz4817-image-XXXXXX";
    const int named = ::mkostemp(name.data(), O_CLOEXEC);
    if (named >= 0) ::unlink(name.c_str());
    return named;
}

}  // namespace

bool ImageSnapshot::create(std::string &error) {
    const std::string folder = temporaryFolder();
    fd_ = openUnnamed(folder);
    if (fd_ < 0) {
        error = folder + ": " + std::strerror(errno);
        return false;
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
    if (::access(path_.c_str(), R_OK) != 0) {
        error = path_ + " cannot be opened (" + std::strerror(errno) + "; is /proc mounted?)";
        return false;
    }
    return true;
}

bool ImageSnapshot::append(const char *data, size_t size, std::string &error) {
    while (size > 0) {
        const ssize_t written = ::write(fd_, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            error = temporaryFolder() + ": " + std::strerror(written < 0 ? errno : ENOSPC);
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

ImageSnapshot::~ImageSnapshot() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace update_sequence
