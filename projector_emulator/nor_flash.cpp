// SPDX-License-Identifier: MIT
#include "projector_emulator/nor_flash.h"

#include <algorithm>
#include <cstring>

#include "flash_file.h"

namespace projector_emulator {

namespace {

constexpr char kBootBanner[] = "TZ4817 BOOT LOADER v1.3";
constexpr char kAppBanner[] = "TZ4817 APPLICATION v1.0";
// The old firmware fills the flash up to here; the rest is erased.
constexpr uint32_t kOldFirmwareEnd = 0x1C0000;

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
    uint8_t *data = flash_file::map(path, kFlashSize, factoryPattern, error);
    if (data == nullptr) return nullptr;
    std::unique_ptr<NorFlash> flash(new NorFlash);
    flash->data_ = data;
    flash->mapped_ = true;
    return flash;
}

NorFlash::~NorFlash() {
    if (mapped_) flash_file::unmap(data_, kFlashSize);
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

}  // namespace projector_emulator
