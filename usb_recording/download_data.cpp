// SPDX-License-Identifier: MIT
#include "usb_recording/download_data.h"

#include <algorithm>

#include "command_frame/command_frame.h"

namespace usb_recording {
namespace {

using namespace command_frame;
// The data of a download frame are its parameters.
constexpr size_t kDataStart = kParameterOffset;

}  // namespace

bool isDownloadFrame(std::span<const uint8_t> frame) {
    if (frame.size() < kFrameOverhead) return false;
    const size_t body = frame[kBodyLengthOffset] | static_cast<size_t>(frame[kBodyLengthOffset + 1]) << 8;
    return frame[kKindOffset] == kWriteFrame && frame[kClassOffset] == kCommandClass &&
           frame[kOperationOffset] == kOpFlashDataDownload && body + kMinFrameLength == frame.size();
}

void leaveOutData(std::span<uint8_t> frame) {
    if (!isDownloadFrame(frame)) return;
    std::fill(frame.begin() + kDataStart, frame.end() - 1, 0);
    frame.back() = checksum(frame);
}

bool sameApartFromData(std::span<const uint8_t> recorded, std::span<const uint8_t> sent) {
    if (recorded.size() != sent.size()) return false;
    if (!isDownloadFrame(recorded) || !isDownloadFrame(sent)) return std::ranges::equal(recorded, sent);
    return std::equal(recorded.begin(), recorded.begin() + kDataStart, sent.begin());
}

}  // namespace usb_recording
