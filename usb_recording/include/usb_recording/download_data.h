// SPDX-License-Identifier: MIT
// The one part of a recording that is the firmware itself: the data bytes of
// the flash data download frames (write frame 0x02, command class 0x34,
// operation 0x25; the data from byte 7 to the byte before the checksum). A
// recording made without data keeps everything else of such a frame.
#pragma once

#include <cstdint>
#include <span>

namespace usb_recording {

// Whether `frame` is a well-formed flash data download frame (its body
// length agrees with its size).
bool isDownloadFrame(std::span<const uint8_t> frame);

// Writes zeros over a download frame's data and sums its checksum again over
// the frame as it now is, so that it stays a well-formed frame that tells
// nothing of the data (the checksum of the real data would tell a little).
// Other frames are left as they are.
void leaveOutData(std::span<uint8_t> frame);

// Whether `sent` is the frame `recorded` once the data and checksum of a
// download frame are not compared (a recording without data): the same
// size, and the same bytes but those.
bool sameApartFromData(std::span<const uint8_t> recorded, std::span<const uint8_t> sent);

}  // namespace usb_recording
