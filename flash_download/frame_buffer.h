// SPDX-License-Identifier: MIT
// The buffer in which the flash library builds one device command, hands it
// to the transport and takes its result out of the reply. The frame's layout
// and the command set are command_frame.h's; the reply is read into the same
// buffer from byte 0 and overwrites the frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "command_frame/command_frame.h"

namespace flash_download {

// The 520-byte buffer in which one command is built and answered, with its
// reply capacity. Zero-filled when made; lives for one command call.
class FrameBuffer {
public:
    FrameBuffer() = default;
    FrameBuffer(const FrameBuffer &) = delete;
    FrameBuffer &operator=(const FrameBuffer &) = delete;

    // Builds a complete frame of parameters.size() + 8 bytes: header, class,
    // operation, the parameters from byte 7 and the checksum. Bytes of the
    // buffer beyond the frame are left as they are. False, with nothing
    // changed, for more than 249 parameters (a frame longer than 257 bytes).
    [[nodiscard]] bool build(uint8_t kind, uint8_t operation, std::span<const uint8_t> parameters);

    // Writes only the header (sequence and reserved 0), class and operation
    // of a frame of `length` bytes; the parameter bytes are whatever the
    // buffer holds. seal() completes it.
    void setHeader(uint8_t kind, uint8_t operation, uint32_t length);

    // Computes the checksum of a frame of `length` bytes (8..257) and stores
    // it in byte length - 1.
    void seal(uint32_t length);

    // Sets the reply capacity and exchanges the frame of `length` bytes with
    // QRV_WriteQrvUsbCmd. True when the transport returned 0; the buffer then
    // holds the reply and replyLength() the number of bytes read.
    [[nodiscard]] bool exchange(uint32_t length, uint32_t capacity);

    // Bytes the last exchange read (also after a failed read).
    uint32_t replyLength() const { return replyCapacity_; }

    // Result fields of a reply. Each is false, and leaves `value` alone, when
    // the reply was too short to reach the bytes it takes.
    bool replyByte(size_t position, uint8_t &value) const;
    bool replyWord(size_t position, uint16_t &value) const;  // little-endian
    bool replyLong(size_t position, uint32_t &value) const;  // little-endian

    uint8_t &operator[](size_t index) { return bytes_[index]; }
    uint8_t operator[](size_t index) const { return bytes_[index]; }
    uint8_t *data() { return bytes_.data(); }

private:
    bool replyReaches(size_t position, size_t width) const;

    std::array<uint8_t, command_frame::kFrameBufferSize> bytes_{};
    uint32_t replyCapacity_ = 0;
};

}  // namespace flash_download
