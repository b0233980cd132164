// SPDX-License-Identifier: MIT
// The demo firmware image of `tz4817-emu --make-image`: a full 2 MB flash
// image whose application part (from 0x4000 on) is "new firmware" that differs
// from the factory's old firmware almost everywhere, so that a flash check
// after an update proves the update happened. Deterministic.
#pragma once

#include <cstdint>
#include <vector>

namespace projector_emulator {

inline constexpr char kDemoImageBanner[] = "TZ4817 APPLICATION v2.0";

// kFlashSize bytes: the factory boot block in the first 16 KB (an updater
// never writes it), then the banner at 0x4000 and pseudo-random bytes.
std::vector<uint8_t> demoFirmwareImage();

}  // namespace projector_emulator
