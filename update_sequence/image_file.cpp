// SPDX-License-Identifier: MIT
#include "image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace updater {

std::string imagePathFor(const std::string &given) {
    if (given.empty()) return kImageName;
    std::error_code error;
    if (std::filesystem::is_directory(given, error)) return (std::filesystem::path(given) / kImageName).string();
    return given;
}

ImageFile::ImageFile(std::string path) : path_(std::move(path)) {
    const std::string bad = "Bad file [" + path_ + "]: ";
    if (path_.size() > kMaxImagePathLength) {
        problem_ = bad + "its path is " + std::to_string(path_.size()) + " bytes long, longer than the " +
                   std::to_string(kMaxImagePathLength) + " bytes the download takes";
        return;
    }
    // O_NONBLOCK: a FIFO of that name must not hang the program here.
    fd_ = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status {};
    if (fd_ < 0 || ::fstat(fd_, &status) != 0) {
        problem_ = bad + std::strerror(errno);
        return;
    }
    if (!S_ISREG(status.st_mode)) {
        problem_ = bad + "not a regular file";
        return;
    }
    device_ = status.st_dev;
    inode_ = status.st_ino;
    size_ = static_cast<uint64_t>(status.st_size);
    modifiedSeconds_ = status.st_mtim.tv_sec;
    modifiedNanoseconds_ = status.st_mtim.tv_nsec;
    const std::string bytes = std::to_string(size_) + " bytes";
    if (size_ == 0)
        problem_ = bad + "empty (0 bytes)";
    else if (size_ < kBootSectorSize)
        problem_ = bad + bytes + ", shorter than the " + std::to_string(kBootSectorSize) +
                   "-byte boot sector that an image starts with";
    else if (size_ == kBootSectorSize)
        problem_ =
            "Nothing to write: " + path_ + " is " + bytes + ", only the boot sector, which the update never writes";
    else if (size_ > kFlashSize)
        problem_ = bad + bytes + ", more than the " + std::to_string(kFlashSize) + "-byte flash holds";
}

ImageFile::~ImageFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool ImageFile::unchanged(std::string &why) const {
    const std::string changed = "Bad file [" + path_ + "]: changed since it was checked";
    struct stat now {};
    struct stat opened {};
    if (fd_ < 0 || ::stat(path_.c_str(), &now) != 0) {
        why = changed + " (" + std::strerror(errno) + ")";
        return false;
    }
    if (now.st_dev != device_ || now.st_ino != inode_) {
        why = changed + " (another file has its name now)";
        return false;
    }
    // The open file tells the same as the name, but it is the one checked.
    if (::fstat(fd_, &opened) != 0 || static_cast<uint64_t>(opened.st_size) != size_ ||
        opened.st_mtim.tv_sec != modifiedSeconds_ || opened.st_mtim.tv_nsec != modifiedNanoseconds_) {
        why = changed + " (" + std::to_string(size_) + " bytes then, " + std::to_string(opened.st_size) +
              " bytes now, or written since)";
        return false;
    }
    return true;
}

}  // namespace updater
