// SPDX-License-Identifier: MIT
// The projector's device commands, one export each. These are the only place
// where operation codes and parameter layouts live; everything above builds
// on them.
//
// Every command builds its frame in a zeroed 520-byte buffer, exchanges it
// with QRV_WriteQrvUsbCmd and returns 0 or 1; the transport's status is not
// passed on. A read takes its result only from reply bytes that the reply
// actually reached: a shorter reply fails the command and zeroes its output.
// A null output pointer or a download count outside 0..249 fails with 1
// before anything is sent.
#include <array>
#include <cstdint>
#include <span>

#include "frame.h"
#include "qrvdl.h"

namespace {

using qrvdl::FrameBuffer;
using qrvdl::kDownloadReplyCapacity;
using qrvdl::kReadFrame;
using qrvdl::kReplyCapacity;
using qrvdl::kReplyDataOffset;
using qrvdl::kWriteFrame;

enum Operation : uint8_t {
    kFlashInformationRead = 0x00,
    kStatusRead = 0x01,
    kCalibrationUnlock = 0x20,
    kFlashDataDownload = 0x25,
    kFlashCalculateChecksum = 0x26,
    kFlashSectorErase = 0x28,
    kFlashAddress = 0x29,
    kFlashSize = 0x2C,
    kProgrammingMode = 0x30,
};

// Selectors of the flash information read (frame byte 10).
constexpr uint8_t kSelectManufacturer = 0x0C;
constexpr uint8_t kSelectDevice = 0x0D;
constexpr uint8_t kSelectChecksum = 0x00;

// The flash information read asks for ten data bytes; the values sit in data
// bytes 6 to 9, reply bytes 13 to 16.
constexpr uint8_t kFlashInformationDataBytes = 0x0A;
constexpr size_t kFlashInformationValue = kReplyDataOffset + 6;

constexpr uint8_t kStatusDataBytes = 0x01;
constexpr uint8_t kFirstUnlockByte = 0x6D;
constexpr uint8_t kSecondUnlockByte = 0x92;
constexpr uint32_t kSecondUnlockFrameLength = 16;
constexpr size_t kSecondUnlockByteOffset = 14;

constexpr int32_t kMaxDownloadCount = 249;

int32_t result(bool ok) { return ok ? 0 : 1; }

// A frame without a result: build, exchange with capacity 255.
int32_t writeCommand(uint8_t operation, std::span<const uint8_t> parameters) {
    FrameBuffer frame;
    if (!frame.build(kWriteFrame, operation, parameters)) return 1;
    return result(frame.exchange(static_cast<uint32_t>(parameters.size() + 8), kReplyCapacity));
}

// Three parameter bytes: bits 0-7, 8-15 and 16-23 of the value; bits 24-31
// are not sent.
std::array<uint8_t, 3> low24Bits(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16)};
}

// Builds the 12-byte flash information read for `selector` in `frame` (the
// bytes after the frame are left alone) and exchanges it.
bool readFlashInformation(FrameBuffer &frame, uint8_t selector) {
    const std::array<uint8_t, 4> parameters{kFlashInformationDataBytes, 0x00, 0x00, selector};
    return frame.build(kReadFrame, kFlashInformationRead, parameters) && frame.exchange(12, kReplyCapacity);
}

}  // namespace

extern "C" {

QRVDL_API int32_t QRVDL_CmdReadStatus(uint8_t *status) {
    if (status == nullptr) return 1;
    FrameBuffer frame;
    const std::array<uint8_t, 1> parameters{kStatusDataBytes};
    uint8_t value = 0;
    const bool ok = frame.build(kReadFrame, kStatusRead, parameters) && frame.exchange(9, kReplyCapacity) &&
                    frame.replyByte(kReplyDataOffset, value);
    *status = ok ? value : 0;
    return result(ok);
}

QRVDL_API int32_t QRVDL_CmdReadFlashDeviceId(uint16_t ids[2]) {
    if (ids == nullptr) return 1;
    FrameBuffer frame;
    uint16_t manufacturer = 0;
    if (!readFlashInformation(frame, kSelectManufacturer) || !frame.replyWord(kFlashInformationValue, manufacturer)) {
        ids[0] = 0;
        ids[1] = 0;
        return 1;
    }
    ids[1] = manufacturer;
    uint16_t device = 0;
    if (!readFlashInformation(frame, kSelectDevice) || !frame.replyWord(kFlashInformationValue, device)) {
        ids[0] = 0;
        ids[1] = 0;
        return 1;
    }
    ids[0] = device;
    return 0;
}

QRVDL_API int32_t QRVDL_CmdReadFlashChecksum(uint32_t *checksum) {
    if (checksum == nullptr) return 1;
    FrameBuffer frame;
    uint32_t value = 0;
    const bool ok = readFlashInformation(frame, kSelectChecksum) && frame.replyLong(kFlashInformationValue, value);
    *checksum = ok ? value : 0;
    return result(ok);
}

QRVDL_API int32_t QRVDL_CmdWriteProgrammingMode(int32_t mode) {
    const std::array<uint8_t, 1> parameters{static_cast<uint8_t>(mode & 0xFF)};
    return writeCommand(kProgrammingMode, parameters);
}

QRVDL_API int32_t QRVDL_CmdWriteAppProgrammingMode(void) { return QRVDL_CmdWriteProgrammingMode(1); }

QRVDL_API int32_t QRVDL_CmdWriteFlashErase(void) { return writeCommand(kFlashSectorErase, {}); }

QRVDL_API int32_t QRVDL_CmdWriteFlashCalculateChecksum(void) { return writeCommand(kFlashCalculateChecksum, {}); }

QRVDL_API int32_t QRVDL_CmdWriteFlashAddress(uint32_t address) {
    return writeCommand(kFlashAddress, low24Bits(address));
}

QRVDL_API int32_t QRVDL_CmdWriteFlashSize(uint32_t size) { return writeCommand(kFlashSize, low24Bits(size)); }

QRVDL_API int32_t QRVDL_CmdWriteFlashDownloadData(const uint8_t *data, int32_t count) {
    // More than 249 bytes would not fit the one-byte checksum count (and past
    // 512 not the buffer); a count of 0 is a valid frame with no data.
    if (count < 0 || count > kMaxDownloadCount) return 1;
    if (data == nullptr && count > 0) return 1;
    FrameBuffer frame;
    const std::span<const uint8_t> bytes(data, static_cast<size_t>(count));
    if (!frame.build(kWriteFrame, kFlashDataDownload, bytes)) return 1;
    return result(frame.exchange(static_cast<uint32_t>(count) + 8, kDownloadReplyCapacity));
}

QRVDL_API int32_t QRVDL_CmdWriteCalibrationUnlock(void) {
    FrameBuffer frame;
    const std::array<uint8_t, 1> first{kFirstUnlockByte};
    if (!frame.build(kWriteFrame, kCalibrationUnlock, first) || !frame.exchange(9, kReplyCapacity)) return 1;

    // The second frame is built over what the buffer holds after the first
    // exchange: only the header, class, operation and byte 14 are written,
    // so bytes 7 to 13 are the first frame's bytes (unlock byte, checksum as
    // sent) where the reply did not reach, and the reply's where it did.
    frame.setHeader(kWriteFrame, kCalibrationUnlock, kSecondUnlockFrameLength);
    frame[kSecondUnlockByteOffset] = kSecondUnlockByte;
    frame.seal(kSecondUnlockFrameLength);
    return result(frame.exchange(kSecondUnlockFrameLength, kReplyCapacity));
}

}  // extern "C"
