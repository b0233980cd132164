// SPDX-License-Identifier: MIT
#include "frame_buffer.h"

#include <algorithm>

#include "qrvusb.h"

namespace flash_download {

using namespace command_frame;

bool FrameBuffer::build(uint8_t kind, uint8_t operation, std::span<const uint8_t> parameters) {
    const size_t length = parameters.size() + kFrameOverhead;
    if (length > kMaxFrameLength) return false;
    setHeader(kind, operation, static_cast<uint32_t>(length));
    std::copy(parameters.begin(), parameters.end(), bytes_.begin() + kParameterOffset);
    seal(static_cast<uint32_t>(length));
    return true;
}

void FrameBuffer::setHeader(uint8_t kind, uint8_t operation, uint32_t length) {
    const uint32_t bodyLength = length - kMinFrameLength;
    bytes_[kKindOffset] = kind;
    bytes_[kSequenceOffset] = 0;
    bytes_[kSequenceOffset + 1] = 0;  // reserved
    bytes_[kBodyLengthOffset] = static_cast<uint8_t>(bodyLength & 0xFF);
    bytes_[kBodyLengthOffset + 1] = static_cast<uint8_t>(bodyLength >> 8);
    bytes_[kClassOffset] = kCommandClass;
    bytes_[kOperationOffset] = operation;
}

void FrameBuffer::seal(uint32_t length) { bytes_[length - 1] = checksum(std::span(bytes_.data(), length)); }

bool FrameBuffer::exchange(uint32_t length, uint32_t capacity) {
    replyCapacity_ = capacity;
    return QRV_WriteQrvUsbCmd(bytes_.data(), length, &replyCapacity_) == 0;
}

bool FrameBuffer::replyReaches(size_t position, size_t width) const {
    // The transport reports how many bytes it read; bytes past that still hold
    // the frame or an earlier reply and must not be taken as the answer.
    const size_t read = std::min<size_t>(replyCapacity_, kFrameBufferSize);
    return position + width <= read;
}

bool FrameBuffer::replyByte(size_t position, uint8_t &value) const {
    if (!replyReaches(position, 1)) return false;
    value = bytes_[position];
    return true;
}

bool FrameBuffer::replyWord(size_t position, uint16_t &value) const {
    if (!replyReaches(position, 2)) return false;
    value = static_cast<uint16_t>(bytes_[position] | bytes_[position + 1] << 8);
    return true;
}

bool FrameBuffer::replyLong(size_t position, uint32_t &value) const {
    if (!replyReaches(position, 4)) return false;
    value = static_cast<uint32_t>(bytes_[position]) | static_cast<uint32_t>(bytes_[position + 1]) << 8 |
            static_cast<uint32_t>(bytes_[position + 2]) << 16 | static_cast<uint32_t>(bytes_[position + 3]) << 24;
    return true;
}

}  // namespace flash_download
