// SPDX-License-Identifier: MIT
#include "frame_checksum.h"

namespace qrvusb {

uint8_t FrameChecksum(uint8_t count, const uint8_t *bytes) {
    uint8_t sum = 0;
    for (uint8_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
    return sum;
}

}  // namespace qrvusb
