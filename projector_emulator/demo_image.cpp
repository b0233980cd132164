// SPDX-License-Identifier: MIT
#include "demo_image.h"

#include <cstring>

#include "projector_emulator/nor_flash.h"

namespace projector_emulator {

std::vector<uint8_t> demoFirmwareImage() {
    std::vector<uint8_t> image = NorFlash::factoryPattern();
    // A 64-bit linear congruential generator (Knuth's MMIX constants), its
    // high byte taken: unrelated to the factory pattern's generator.
    uint64_t state = 0x2000'4817'0002'0000ull;
    for (uint32_t offset = kBootSectorSize; offset < kFlashSize; ++offset) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        image[offset] = static_cast<uint8_t>(state >> 56);
    }
    std::memcpy(image.data() + kBootSectorSize, kDemoImageBanner, sizeof kDemoImageBanner);
    return image;
}

}  // namespace projector_emulator
