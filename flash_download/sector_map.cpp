// SPDX-License-Identifier: MIT
// The flash sector map and the check that a requested range fits the flash.
#include "sector_map.h"

#include <cstdint>

#include "qrvdl.h"
#include "report.h"

namespace flash_download {

const uint32_t FlashSectorMap[kFlashSectorCount + 1] = {
    0x000000, 0x004000, 0x006000, 0x008000,                                          // 16 KB, 8 KB, 8 KB, 32 KB
    0x010000, 0x020000, 0x030000, 0x040000, 0x050000, 0x060000, 0x070000, 0x080000,  // 64 KB each
    0x090000, 0x0A0000, 0x0B0000, 0x0C0000, 0x0D0000, 0x0E0000, 0x0F0000, 0x100000,
    0x110000, 0x120000, 0x130000, 0x140000, 0x150000, 0x160000, 0x170000, 0x180000,
    0x190000, 0x1A0000, 0x1B0000, 0x1C0000, 0x1D0000, 0x1E0000, 0x1F0000,
    0x200000,  // end of the flash
};

static_assert(sizeof(FlashSectorMap) / sizeof(FlashSectorMap[0]) == kFlashSectorCount + 1);

namespace {

// Index of the sector holding `offset`; kFlashSectorCount when it lies
// beyond the flash.
size_t sectorHolding(uint32_t offset) {
    for (size_t i = 0; i < kFlashSectorCount; ++i) {
        if (FlashSectorMap[i] <= offset && offset < FlashSectorMap[i + 1]) return i;
    }
    return kFlashSectorCount;
}

}  // namespace

}  // namespace flash_download

using namespace flash_download;

// Identifies the flash and checks the range [start, start + length), as
// offsets, against it. On success the start moves down to the first byte of
// its sector, the length grows by as much (the end stays where it was) and
// the list names all 35 sectors. On any rejection one line is printed, the
// start and length are left alone and the list is empty. A range may end
// exactly at the end of the flash, so a whole image fits.
extern "C" QRVDL_API int32_t QRVDL_CheckAddress(uint32_t *start, uint32_t *length, FlashSectorList *sectors) {
    if (sectors != nullptr) {
        sectors->count = 0;
        sectors->starts = nullptr;
    }
    if (start == nullptr || length == nullptr || sectors == nullptr) return 1;

    uint16_t ids[2] = {0, 0};
    if (QRVDL_CmdReadFlashDeviceId(ids) != 0) {
        report("Failed to read flash device ID\n");
        return 1;
    }
    const uint16_t device = ids[0];
    const uint16_t manufacturer = ids[1];
    if (manufacturer != kFlashManufacturer) {
        report("Unknown flash manufacturer [0x%04x]\n", manufacturer);
        return 1;
    }
    if (device != kFlashDevice) {
        report("Unknown flash device [0x%04x]\n", device);
        return 1;
    }

    const uint32_t offset = flashOffset(*start);
    // In 64 bits: a sum past 0xFFFFFFFF lies beyond the flash, not near 0.
    const uint64_t end = static_cast<uint64_t>(offset) + *length;
    const size_t sector = sectorHolding(offset);
    if (sector == kFlashSectorCount) {
        report("Bad start address [0x%08x]\n", *start);
        return 1;
    }
    if (end > kFlashSize) {
        report("Bad length [%u]\n", *length);
        return 1;
    }

    *start = FlashSectorMap[sector];
    *length = static_cast<uint32_t>(end - FlashSectorMap[sector]);
    sectors->count = static_cast<int32_t>(kFlashSectorCount);
    sectors->starts = FlashSectorMap;
    return 0;
}
