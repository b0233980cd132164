// SPDX-License-Identifier: MIT
#include "usb_recording/download_data.h"

#include <algorithm>

namespace usb_recording {
namespace {

constexpr uint8_t kWriteFrame = 0x02;
constexpr uint8_t kCommandClass = 0x34;
constexpr uint8_t kDownload = 0x25;
constexpr size_t kDataStart = 7;
// Header (5), class and operation (2), checksum (1).
constexpr size_t kFrameOverhead = 8;

}  // namespace

bool isDownloadFrame(std::span<const uint8_t> frame) {
    if (frame.size() < kFrameOverhead) return false;
    const size_t body = frame[3] | static_cast<size_t>(frame[4]) << 8;
    return frame[0] == kWriteFrame && frame[5] == kCommandClass && frame[6] == kDownload && body + 6 == frame.size();
}

void leaveOutData(std::span<uint8_t> frame) {
    if (!isDownloadFrame(frame)) return;
    std::fill(frame.begin() + kDataStart, frame.end() - 1, 0);
    uint8_t sum = 0;
    for (size_t i = 1; i + 1 < frame.size(); ++i) sum = static_cast<uint8_t>(sum + frame[i]);
    frame.back() = sum;
}

bool sameApartFromData(std::span<const uint8_t> recorded, std::span<const uint8_t> sent) {
    if (recorded.size() != sent.size()) return false;
    if (!isDownloadFrame(recorded) || !isDownloadFrame(sent)) return std::ranges::equal(recorded, sent);
    return std::equal(recorded.begin(), recorded.begin() + kDataStart, sent.begin());
}

}  // namespace usb_recording
