// SPDX-License-Identifier: MIT
// The projector's command frame and command set, defined once: the flash
// library builds frames by it, the transport stamps and exchanges them, the
// emulated projector answers them, and the recordings, benchmarks and fuzz
// targets look into them. Plain constants and one function; no code of its
// own to link.
//
// A frame of n bytes (kMinFrameLength <= n <= kMaxFrameLength):
//
//   byte 0      kind: kWriteFrame or kReadFrame
//   byte 1      the transport's sequence number (0 while a builder sums it)
//   byte 2      reserved, 0
//   bytes 3-4   body length n - 6, little-endian
//   byte 5      command class: kCommandClass
//   byte 6      operation (Operation)
//   byte 7 on   parameters; a read frame's first one is the count of data
//               bytes it asks for
//   byte n-1    checksum(): the 8-bit sum of bytes 1 to n-2
//
// The checksum is summed by the builder with byte 1 at 0; the transport
// writes its sequence number into byte 1 and adds it to the checksum byte.
// The count of summed bytes is one byte, so a frame is at most 257 bytes.
//
// A reply is read into the command's buffer from byte 0: byte 1 echoes the
// frame's sequence number, byte 3 is the low byte of its body length, and a
// read reply's data begin at byte 7 (after two leading body bytes). A write
// reply is 6 bytes long, a read reply that carries d data bytes d + 8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace command_frame {

// --- the frame --------------------------------------------------------------

// Kinds (byte 0).
inline constexpr uint8_t kWriteFrame = 0x02;
inline constexpr uint8_t kReadFrame = 0x04;

// The projector's command class (byte 5), the class of every command below.
inline constexpr uint8_t kCommandClass = 0x34;
// The other class a request record of QRV_WriteQrvUsb may name (0x12 to
// write, 0x13 to read): the projector acknowledges it, a read with zero data.
inline constexpr uint8_t kGenericClass = 0x12;

// Positions.
inline constexpr size_t kKindOffset = 0;
inline constexpr size_t kSequenceOffset = 1;
inline constexpr size_t kBodyLengthOffset = 3;  // low byte; the high byte follows
inline constexpr size_t kClassOffset = 5;
inline constexpr size_t kOperationOffset = 6;
inline constexpr size_t kParameterOffset = 7;
inline constexpr size_t kReplyDataOffset = 7;
// The header, class, operation and checksum around the parameters: a frame
// with p parameter bytes is p + 8 bytes long.
inline constexpr size_t kFrameOverhead = 8;

// Lengths. A frame is 6 to 257 bytes (the checksummed span 1..n-2 is at most
// 255 bytes), so at most 249 parameter bytes. Its body length is
// n - kMinFrameLength: the shortest frame has an empty body.
inline constexpr uint32_t kMinFrameLength = 6;
inline constexpr uint32_t kMaxFrameLength = 257;
inline constexpr uint32_t kMaxParameters = kMaxFrameLength - kFrameOverhead;
// The buffer a command is built and answered in: any frame, and any reply up
// to the reply capacity of 255 bytes.
inline constexpr size_t kFrameBufferSize = 520;
inline constexpr uint32_t kReplyCapacity = 255;
// The flash data download asks for no more than its 6-byte write reply.
inline constexpr uint32_t kDownloadReplyCapacity = 6;
inline constexpr uint32_t kWriteReplyLength = 6;
// A read reply is its data and this many bytes more.
inline constexpr uint32_t kReadReplyOverhead = 8;

// The checksum a frame carries in its last byte: the 8-bit wrap-around sum of
// its bytes 1 to n-2. 0 for a frame of fewer than 3 bytes.
constexpr uint8_t checksum(std::span<const uint8_t> frame) {
    uint8_t sum = 0;
    for (size_t i = 1; i + 1 < frame.size(); ++i) sum = static_cast<uint8_t>(sum + frame[i]);
    return sum;
}

// --- the command set ----------------------------------------------------------

// Operations (byte 6), each with its kind and parameters.
enum Operation : uint8_t {
    kOpFlashInformationRead = 0x00,      // read: kFlashInformationDataCount, 0, 0, selector
    kOpStatusRead = 0x01,                // read: kStatusDataCount
    kOpCalibrationUnlock = 0x20,         // write: two frames, the unlock bytes
    kOpFlashDataDownload = 0x25,         // write: the data bytes
    kOpFlashChecksumCalculation = 0x26,  // write: none
    kOpFlashSectorErase = 0x28,          // write: none
    kOpFlashAddress = 0x29,              // write: address bits 0-7, 8-15, 16-23
    kOpFlashSize = 0x2C,                 // write: size bits 0-7, 8-15, 16-23
    kOpProgrammingMode = 0x30,           // write: the mode byte
};

// "flash data download": the name the command set gives an operation; null
// for an operation it does not have.
constexpr const char *operationName(uint8_t operation) {
    switch (operation) {
    case kOpFlashInformationRead: return "flash information read";
    case kOpStatusRead: return "status read";
    case kOpCalibrationUnlock: return "calibration unlock";
    case kOpFlashDataDownload: return "flash data download";
    case kOpFlashChecksumCalculation: return "flash checksum calculation";
    case kOpFlashSectorErase: return "flash sector erase";
    case kOpFlashAddress: return "flash address";
    case kOpFlashSize: return "flash size";
    case kOpProgrammingMode: return "programming mode";
    default: return nullptr;
    }
}

// The flash information read: ten data bytes asked for, what they carry
// chosen by the selector in frame byte 10; the value is in data bytes 6 to 9
// (reply bytes 13 to 16), little-endian.
inline constexpr uint8_t kFlashInformationDataCount = 0x0A;
inline constexpr size_t kSelectorOffset = 10;
inline constexpr size_t kFlashInformationValueOffset = kReplyDataOffset + 6;
enum Selector : uint8_t {
    kSelectChecksum = 0x00,      // the flash checksum, 32 bits
    kSelectManufacturer = 0x0C,  // the flash manufacturer code, 16 bits
    kSelectDevice = 0x0D,        // the flash device code, 16 bits
};

// "manufacturer", "device", "checksum"; null for another selector.
constexpr const char *selectorName(uint8_t selector) {
    switch (selector) {
    case kSelectManufacturer: return "manufacturer";
    case kSelectDevice: return "device";
    case kSelectChecksum: return "checksum";
    default: return nullptr;
    }
}

// The status read: one data byte asked for, the status byte; its bit 3 is
// the busy flag (the flash is erasing).
inline constexpr uint8_t kStatusDataCount = 0x01;
inline constexpr uint8_t kStatusBusy = 0x08;

// The programming mode command's modes: into programming mode (sent to the
// application firmware, it restarts the projector in programming mode), and
// back to the application.
inline constexpr uint8_t kModeProgramming = 1;
inline constexpr uint8_t kModeApplication = 2;

// The calibration unlock's two codes, one in each of its frames.
inline constexpr uint8_t kFirstUnlockByte = 0x6D;
inline constexpr uint8_t kSecondUnlockByte = 0x92;

}  // namespace command_frame
