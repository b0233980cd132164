// SPDX-License-Identifier: MIT
#include "tz4817/nor_flash.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tz4817 {

namespace {

constexpr char kBootBanner[] = "TZ4817 BOOT LOADER v1.3";
constexpr char kAppBanner[] = "TZ4817 APPLICATION v1.0";
// The old firmware fills the flash up to here; the rest is erased.
constexpr uint32_t kOldFirmwareEnd = 0x1C0000;

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

std::vector<uint8_t> NorFlash::factoryPattern() {
    std::vector<uint8_t> image(kFlashSize, 0xFF);
    // Boot block: a banner, then a pattern that is easy to recognise in a dump.
    for (uint32_t i = 0; i < kBootSectorSize; ++i) image[i] = static_cast<uint8_t>(0xB0 ^ (i * 7));
    std::memcpy(image.data(), kBootBanner, sizeof kBootBanner);
    // Old application firmware: a banner, then deterministic pseudo-random bytes.
    uint32_t state = 0x4817u;
    for (uint32_t i = kBootSectorSize; i < kOldFirmwareEnd; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        image[i] = static_cast<uint8_t>(state >> 11);
    }
    std::memcpy(image.data() + kBootSectorSize, kAppBanner, sizeof kAppBanner);
    return image;
}

std::unique_ptr<NorFlash> NorFlash::inMemory() {
    std::unique_ptr<NorFlash> flash(new NorFlash);
    flash->memory_ = factoryPattern();
    flash->data_ = flash->memory_.data();
    return flash;
}

std::unique_ptr<NorFlash> NorFlash::openFile(const std::string &path, std::string &error) {
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
        if (!writeAll(fd, factoryPattern()) || ::fsync(fd) != 0) {
            error = systemError("cannot write flash file", path);
            ::close(fd);
            return nullptr;
        }
    } else if (info.st_size != static_cast<off_t>(kFlashSize)) {
        error =
            "flash file " + path + " has " + std::to_string(info.st_size) + " bytes, not " + std::to_string(kFlashSize);
        ::close(fd);
        return nullptr;
    }
    void *map = ::mmap(nullptr, kFlashSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);  // the mapping keeps the file
    if (map == MAP_FAILED) {
        error = systemError("cannot map flash file", path);
        return nullptr;
    }
    std::unique_ptr<NorFlash> flash(new NorFlash);
    flash->data_ = static_cast<uint8_t *>(map);
    flash->mapped_ = true;
    return flash;
}

NorFlash::~NorFlash() {
    if (mapped_) {
        ::msync(data_, kFlashSize, MS_SYNC);
        ::munmap(data_, kFlashSize);
    }
}

size_t NorFlash::sectorIndexOf(uint32_t offset) {
    auto next = std::upper_bound(kSectorStarts.begin(), kSectorStarts.end(), offset);
    return static_cast<size_t>(next - kSectorStarts.begin()) - 1;
}

void NorFlash::eraseSector(size_t index) {
    if (index >= kSectorCount) return;
    std::memset(data_ + kSectorStarts[index], 0xFF, kSectorStarts[index + 1] - kSectorStarts[index]);
}

bool NorFlash::program(uint32_t offset, uint8_t value) {
    uint8_t old = data_[offset];
    data_[offset] = static_cast<uint8_t>(old & value);
    if ((value & ~old) != 0) {
        ++programErrors_;
        return false;
    }
    return true;
}

void NorFlash::corrupt(uint32_t offset, uint8_t value) { data_[offset] = value; }

uint32_t NorFlash::sum(uint32_t offset, uint32_t length) const {
    if (offset >= kFlashSize) return 0;
    uint32_t end = offset + std::min(length, kFlashSize - offset);
    uint32_t total = 0;
    for (uint32_t i = offset; i < end; ++i) total += data_[i];
    return total;
}

}  // namespace tz4817
