// SPDX-License-Identifier: MIT
// The command frame: how one device command is laid out, checksummed, handed
// to the transport and how its result is taken out of the reply.
//
// A frame of n bytes: byte 0 kind (0x02 write, 0x04 read), byte 1 the
// transport's sequence number (left 0 here), byte 2 reserved (0), bytes 3-4
// the body length n - 6 (little-endian), byte 5 the command class 0x34,
// byte 6 the operation, parameters from byte 7, and in byte n-1 the 8-bit sum
// of bytes 1 to n-2. The transport stamps the sequence number into byte 1 and
// adds it to the checksum, so the checksum is computed here with byte 1 at 0.
//
// The reply is read into the same buffer from byte 0 and overwrites the frame;
// its data begin at byte 7.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace qrvdl {

inline constexpr size_t kFrameBufferSize = 520;
inline constexpr uint8_t kWriteFrame = 0x02;
inline constexpr uint8_t kReadFrame = 0x04;
inline constexpr uint8_t kCommandClass = 0x34;
inline constexpr size_t kHeaderLength = 5;     // kind, sequence, reserved, body length
inline constexpr size_t kParameterOffset = 7;  // first byte after class and operation
inline constexpr size_t kReplyDataOffset = 7;  // first data byte of a read reply
inline constexpr uint32_t kMinFrameLength = 6;
// The checksum count is one byte, so the span 1..n-2 is at most 255 bytes.
inline constexpr uint32_t kMaxFrameLength = 257;
inline constexpr uint32_t kReplyCapacity = 255;
inline constexpr uint32_t kDownloadReplyCapacity = 6;

// The 8-bit wrap-around sum of `count` bytes from `bytes`; 0 for a count of 0.
uint8_t frameChecksum(uint8_t count, const uint8_t *bytes);

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

    std::array<uint8_t, kFrameBufferSize> bytes_{};
    uint32_t replyCapacity_ = 0;
};

}  // namespace qrvdl
