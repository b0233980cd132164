// SPDX-License-Identifier: MIT
// The one flash device this library knows: an AM29LV160DB-type 2 MB NOR
// flash, manufacturer 0x0001, device 0x2249, 35 erase sectors with the small
// ones at the bottom.
#pragma once

#include <cstddef>
#include <cstdint>

namespace flash_download {

inline constexpr uint16_t kFlashManufacturer = 0x0001;
inline constexpr uint16_t kFlashDevice = 0x2249;
inline constexpr uint32_t kFlashSize = 0x200000;
inline constexpr size_t kFlashSectorCount = 35;

// A device address such as 0xFE204000 becomes a flash offset by this mask: it
// clears bit 21 and bits 25-31, mapping the window 0xFE200000-0xFE3FFFFF onto
// offsets 0-0x1FFFFF and leaving an offset below 0x200000 as it is.
inline constexpr uint32_t kFlashOffsetMask = 0x01DFFFFF;

inline constexpr uint32_t flashOffset(uint32_t address) { return address & kFlashOffsetMask; }

// Start offsets of the 35 sectors in ascending order, then the end of the
// flash (0x200000). Sector i is [FlashSectorMap[i], FlashSectorMap[i + 1]).
extern const uint32_t FlashSectorMap[kFlashSectorCount + 1];

}  // namespace flash_download
