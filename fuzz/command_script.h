// SPDX-License-Identifier: MIT
// The script language of the command_replies target, shared with the tool
// that writes its seeds: step selectors, and the image the programming steps
// read.
#pragma once

#include <cstdint>

namespace fuzz::command_script {

// The first byte of each step, modulo kStepCount.
enum Step : uint8_t {
    kExchange,  // QRV_WriteQrvUsbCmd: u8 length - 6, u16 capacity, the frame's bytes
    kReadStatus,
    kReadFlashDeviceId,
    kReadFlashChecksum,
    kCheckAddress,       // u32 start, u32 length
    kDeviceBusy,         // u8 attempts - 1 (modulo 4)
    kEraseFlash,         // u32 start, u32 length (modulo 0x30000)
    kProgramFlash,       // u16 start (modulo the image size), u16 length (modulo 700)
    kCalculateChecksum,  //
    kCalibrationUnlock,  //
    kLoadFlash,          // u16 start - 0xFE203F00 (modulo 0x300), u16 length (modulo 700)
    kStepCount,
};

// The image file: the boot sector, then a little of the application area.
inline constexpr uint32_t kImageSize = 0x4000 + 512;
inline constexpr uint8_t imageByte(uint32_t offset) { return static_cast<uint8_t>(offset * 7 + (offset >> 8)); }

// LoadFlash's start argument is added to this.
inline constexpr uint32_t kLoadBase = 0xFE203F00;

}  // namespace fuzz::command_script
