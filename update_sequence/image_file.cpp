// SPDX-License-Identifier: MIT
#include "image_file.h"

#include <filesystem>

#include "file_identity.h"

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
    std::string error;
    file_identity::Identity identity;
    fd_ = file_identity::openForReading(path_, error);
    if (fd_ < 0 || !file_identity::ofOpen(fd_, identity, error)) {
        problem_ = bad + error;
        return;
    }
    if (!identity.regular) {
        problem_ = bad + "not a regular file";
        return;
    }
    volume_ = identity.volume;
    file_ = identity.file;
    size_ = identity.size;
    modified_ = identity.modified;
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
    if (fd_ >= 0) file_identity::close(fd_);
}

bool ImageFile::unchanged(std::string &why) const {
    const std::string changed = "Bad file [" + path_ + "]: changed since it was checked";
    std::string error;
    file_identity::Identity now;
    file_identity::Identity opened;
    if (fd_ < 0 || !file_identity::ofPath(path_, now, error)) {
        why = changed + " (" + error + ")";
        return false;
    }
    if (now.volume != volume_ || now.file != file_) {
        why = changed + " (another file has its name now)";
        return false;
    }
    // The open file tells the same as the name, but it is the one checked.
    if (!file_identity::ofOpen(fd_, opened, error)) {
        why = changed + " (" + error + ")";
        return false;
    }
    if (opened.size != size_ || opened.modified != modified_) {
        why = changed + " (" + std::to_string(size_) + " bytes then, " + std::to_string(opened.size) +
              " bytes now, or written since)";
        return false;
    }
    return true;
}

}  // namespace updater
