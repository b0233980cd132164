// SPDX-License-Identifier: MIT
// An AM29LV160DB-like NOR flash: 2 MB, 35 sectors with the small ones at the
// bottom, manufacturer 0x0001, device 0x2249. Erasing sets a sector to 0xFF;
// programming can only clear bits. The contents live in a file (mapped
// shared, so every change is in the file the moment it is made, and a killed
// emulator leaves the file as a power cut would leave the chip) or in memory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace projector_emulator {

inline constexpr uint32_t kFlashSize = 0x200000;
inline constexpr uint16_t kFlashManufacturerId = 0x0001;
inline constexpr uint16_t kFlashDeviceId = 0x2249;
inline constexpr size_t kSectorCount = 35;
inline constexpr uint32_t kBootSectorSize = 0x4000;

// Start offsets of the 35 sectors, then the end of the flash.
inline constexpr std::array<uint32_t, kSectorCount + 1> kSectorStarts = [] {
    std::array<uint32_t, kSectorCount + 1> starts{0x000000, 0x004000, 0x006000, 0x008000};
    for (size_t i = 4; i <= kSectorCount; ++i) starts[i] = 0x010000 + static_cast<uint32_t>(i - 4) * 0x10000;
    return starts;
}();

class NorFlash {
public:
    // Opens (or creates, filled with the factory pattern) a flash file of
    // exactly kFlashSize bytes. Null with `error` set when the file can't be
    // opened, created, mapped, or has another size.
    static std::unique_ptr<NorFlash> openFile(const std::string &path, std::string &error);
    // A flash in memory, filled with the factory pattern.
    static std::unique_ptr<NorFlash> inMemory();

    // What a new projector carries: a recognisable boot block in the first
    // 16 KB sector and an "old firmware" pattern after it. Deterministic.
    static std::vector<uint8_t> factoryPattern();

    ~NorFlash();
    NorFlash(const NorFlash &) = delete;
    NorFlash &operator=(const NorFlash &) = delete;

    // Index of the sector holding `offset` (offset < kFlashSize).
    static size_t sectorIndexOf(uint32_t offset);

    void eraseSector(size_t index);

    // Programs one byte. The flash only clears bits: where `value` has a 1
    // over a 0 the cell keeps its 0, the attempt is counted as a program
    // error and false is returned.
    [[nodiscard]] bool program(uint32_t offset, uint8_t value);

    // Stores `value` as it is, bits set included: a cell that went wrong.
    void corrupt(uint32_t offset, uint8_t value);

    // 32-bit wrap-around sum of the bytes in [offset, offset + length), the
    // range cut at the end of the flash.
    uint32_t sum(uint32_t offset, uint32_t length) const;

    uint8_t at(uint32_t offset) const { return data_[offset]; }
    std::span<const uint8_t> contents() const { return {data_, kFlashSize}; }
    uint64_t programErrors() const { return programErrors_; }

private:
    NorFlash() = default;
    uint8_t *data_ = nullptr;
    bool mapped_ = false;
    std::vector<uint8_t> memory_;
    uint64_t programErrors_ = 0;
};

}  // namespace projector_emulator
