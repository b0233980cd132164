// SPDX-License-Identifier: MIT
// The command frame checksum: the 8-bit wrap-around sum of a run of bytes.
// The count is one byte, so the checksummed span of a frame (bytes 1 to n-2)
// is at most 255 bytes and a frame at most 257 bytes long.
#pragma once

#include <cstdint>

namespace qrvusb {

// The sum modulo 256 of the `count` bytes from `bytes`; 0 for a count of 0.
uint8_t FrameChecksum(uint8_t count, const uint8_t *bytes);

}  // namespace qrvusb
