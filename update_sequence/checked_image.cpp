// SPDX-License-Identifier: MIT
#include "update_sequence/checked_image.h"

#include <filesystem>
#include <vector>

#include "file_identity.h"

namespace update_sequence {

namespace {

std::string utf8Of(const std::filesystem::path &path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// The copy goes through a buffer of this size: memory stays flat whatever
// the image.
constexpr size_t kCopyBlock = 64 * 1024;

}  // namespace

std::filesystem::path pathFromUtf8(const std::string &utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string imagePathFor(const std::string &given) {
    if (given.empty()) return kImageName;
    std::error_code error;
    if (std::filesystem::is_directory(pathFromUtf8(given), error)) return utf8Of(pathFromUtf8(given) / kImageName);
    return given;
}

CheckedImage::CheckedImage(std::string path) : path_(std::move(path)) {
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

CheckedImage::~CheckedImage() {
    if (fd_ >= 0) file_identity::close(fd_);
}

std::unique_ptr<ImageSnapshot> CheckedImage::snapshot(std::string &why) const {
    if (!good()) {
        why = problem_;
        return nullptr;
    }
    std::unique_ptr<ImageSnapshot> copy(new ImageSnapshot);
    std::string error;
    if (!copy->create(error)) {
        why = "Cannot make a private copy of " + path_ + " for the download: " + error;
        return nullptr;
    }
    std::vector<char> block(kCopyBlock);
    uint64_t copied = 0;
    for (;;) {
        // One read past the size it was checked with: a file that grew since
        // reads more, and is refused below.
        const int64_t got = file_identity::readAt(fd_, copied, block.data(), block.size(), error);
        if (got < 0) {
            why = "Bad file [" + path_ + "]: cannot be read (" + error + ")";
            return nullptr;
        }
        if (got == 0 || copied + static_cast<uint64_t>(got) > size_) {
            copied += static_cast<uint64_t>(got);
            break;
        }
        if (!copy->append(block.data(), static_cast<size_t>(got), error)) {
            why = "Cannot make a private copy of " + path_ + " for the download: " + error;
            return nullptr;
        }
        copied += static_cast<uint64_t>(got);
    }
    // What was copied is what was checked only if the file was not written
    // from the check to the end of the copy: a write changes its modification
    // time.
    file_identity::Identity now;
    if (!file_identity::ofOpen(fd_, now, error)) {
        why = "Bad file [" + path_ + "]: cannot be examined (" + error + ")";
        return nullptr;
    }
    if (copied != size_ || now.size != size_ || now.modified != modified_) {
        why = "Bad file [" + path_ + "]: changed since it was checked (" + std::to_string(size_) + " bytes then, " +
              std::to_string(now.size) + " bytes when it was copied, or written meanwhile)";
        return nullptr;
    }
    return copy;
}

bool CheckedImage::unchanged(std::string &why) const {
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

}  // namespace update_sequence
