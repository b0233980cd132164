// SPDX-License-Identifier: MIT
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "flash_file.h"

namespace projector_emulator::flash_file {
namespace {

std::string systemError(const std::string &what, const std::string &path) {
    return what + " " + path + ": " + std::strerror(errno);
}

bool writeAll(int fd, const std::vector<uint8_t> &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

uint8_t *map(const std::string &path, size_t size, const std::function<std::vector<uint8_t>()> &initial,
             std::string &error) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = systemError("cannot open flash file", path);
        return nullptr;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        error = systemError("cannot examine flash file", path);
        ::close(fd);
        return nullptr;
    }
    if (info.st_size == 0) {
        // A new flash file: what a projector leaves the factory with.
        if (!writeAll(fd, initial()) || ::fsync(fd) != 0) {
            error = systemError("cannot write flash file", path);
            ::close(fd);
            return nullptr;
        }
    } else if (info.st_size != static_cast<off_t>(size)) {
        error = "flash file " + path + " has " + std::to_string(info.st_size) + " bytes, not " + std::to_string(size);
        ::close(fd);
        return nullptr;
    }
    void *data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);  // the mapping keeps the file
    if (data == MAP_FAILED) {
        error = systemError("cannot map flash file", path);
        return nullptr;
    }
    return static_cast<uint8_t *>(data);
}

void unmap(uint8_t *data, size_t size) {
    ::msync(data, size, MS_SYNC);
    ::munmap(data, size);
}

}  // namespace projector_emulator::flash_file
