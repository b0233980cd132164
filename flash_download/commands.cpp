// SPDX-License-Identifier: MIT
// The projector's device commands, one export each: the command set of
// command_frame.h turned into frames, exchanged and read. Everything above
// builds on them and never builds a frame itself.
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

#include "command_frame/command_frame.h"
#include "frame_buffer.h"
#include "qrvdl.h"

namespace {

using namespace command_frame;
using flash_download::FrameBuffer;

// The second frame of the calibration unlock is 16 bytes long, its unlock
// byte in byte 14.
constexpr uint32_t kSecondUnlockFrameLength = 16;
constexpr size_t kSecondUnlockByteOffset = 14;

int32_t result(bool ok) { return ok ? 0 : 1; }

// A frame without a result: build, exchange with capacity 255.
int32_t writeCommand(uint8_t operation, std::span<const uint8_t> parameters) {
    FrameBuffer frame;
    if (!frame.build(kWriteFrame, operation, parameters)) return 1;
    return result(frame.exchange(static_cast<uint32_t>(parameters.size() + kFrameOverhead), kReplyCapacity));
}

// Three parameter bytes: bits 0-7, 8-15 and 16-23 of the value; bits 24-31
// are not sent.
std::array<uint8_t, 3> low24Bits(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16)};
}

// Builds the 12-byte flash information read for `selector` in `frame` (the
// bytes after the frame are left alone) and exchanges it.
bool readFlashInformation(FrameBuffer &frame, uint8_t selector) {
    const std::array<uint8_t, 4> parameters{kFlashInformationDataCount, 0x00, 0x00, selector};
    return frame.build(kReadFrame, kOpFlashInformationRead, parameters) &&
           frame.exchange(static_cast<uint32_t>(parameters.size() + kFrameOverhead), kReplyCapacity);
}

}  // namespace

extern "C" {

QRVDL_API int32_t QRVDL_CmdReadStatus(uint8_t *status) {
    if (status == nullptr) return 1;
    FrameBuffer frame;
    const std::array<uint8_t, 1> parameters{kStatusDataCount};
    uint8_t value = 0;
    const bool ok = frame.build(kReadFrame, kOpStatusRead, parameters) &&
                    frame.exchange(static_cast<uint32_t>(parameters.size() + kFrameOverhead), kReplyCapacity) &&
                    frame.replyByte(kReplyDataOffset, value);
    *status = ok ? value : 0;
    return result(ok);
}

QRVDL_API int32_t QRVDL_CmdReadFlashDeviceId(uint16_t ids[2]) {
    if (ids == nullptr) return 1;
    FrameBuffer frame;
    uint16_t manufacturer = 0;
    if (!readFlashInformation(frame, kSelectManufacturer) ||
        !frame.replyWord(kFlashInformationValueOffset, manufacturer)) {
        ids[0] = 0;
        ids[1] = 0;
        return 1;
    }
    ids[1] = manufacturer;
    uint16_t device = 0;
    if (!readFlashInformation(frame, kSelectDevice) || !frame.replyWord(kFlashInformationValueOffset, device)) {
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
    const bool ok =
        readFlashInformation(frame, kSelectChecksum) && frame.replyLong(kFlashInformationValueOffset, value);
    *checksum = ok ? value : 0;
    return result(ok);
}

QRVDL_API int32_t QRVDL_CmdWriteProgrammingMode(int32_t mode) {
    const std::array<uint8_t, 1> parameters{static_cast<uint8_t>(mode & 0xFF)};
    return writeCommand(kOpProgrammingMode, parameters);
}

QRVDL_API int32_t QRVDL_CmdWriteAppProgrammingMode(void) { return QRVDL_CmdWriteProgrammingMode(kModeProgramming); }

QRVDL_API int32_t QRVDL_CmdWriteFlashErase(void) { return writeCommand(kOpFlashSectorErase, {}); }

QRVDL_API int32_t QRVDL_CmdWriteFlashCalculateChecksum(void) { return writeCommand(kOpFlashChecksumCalculation, {}); }

QRVDL_API int32_t QRVDL_CmdWriteFlashAddress(uint32_t address) {
    return writeCommand(kOpFlashAddress, low24Bits(address));
}

QRVDL_API int32_t QRVDL_CmdWriteFlashSize(uint32_t size) { return writeCommand(kOpFlashSize, low24Bits(size)); }

QRVDL_API int32_t QRVDL_CmdWriteFlashDownloadData(const uint8_t *data, int32_t count) {
    // More than 249 bytes would not fit the one-byte checksum count (and past
    // 512 not the buffer); a count of 0 is a valid frame with no data.
    if (count < 0 || count > static_cast<int32_t>(kMaxParameters)) return 1;
    if (data == nullptr && count > 0) return 1;
    FrameBuffer frame;
    const std::span<const uint8_t> bytes(data, static_cast<size_t>(count));
    if (!frame.build(kWriteFrame, kOpFlashDataDownload, bytes)) return 1;
    return result(frame.exchange(static_cast<uint32_t>(count) + kFrameOverhead, kDownloadReplyCapacity));
}

QRVDL_API int32_t QRVDL_CmdWriteCalibrationUnlock(void) {
    FrameBuffer frame;
    const std::array<uint8_t, 1> first{kFirstUnlockByte};
    if (!frame.build(kWriteFrame, kOpCalibrationUnlock, first) ||
        !frame.exchange(static_cast<uint32_t>(first.size() + kFrameOverhead), kReplyCapacity))
        return 1;

    // The second frame is built over what the buffer holds after the first
    // exchange: only the header, class, operation and byte 14 are written,
    // so bytes 7 to 13 are the first frame's bytes (unlock byte, checksum as
    // sent) where the reply did not reach, and the reply's where it did.
    frame.setHeader(kWriteFrame, kOpCalibrationUnlock, kSecondUnlockFrameLength);
    frame[kSecondUnlockByteOffset] = kSecondUnlockByte;
    frame.seal(kSecondUnlockFrameLength);
    return result(frame.exchange(kSecondUnlockFrameLength, kReplyCapacity));
}

}  // extern "C"
