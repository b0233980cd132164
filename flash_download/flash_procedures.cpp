// SPDX-License-Identifier: MIT
// The flash procedures: the busy poll, the erase of a range sector by sector,
// the programming of a range from the image file, and the device's checksum.
#include <array>
#include <cstdint>
#include <cstdio>

#include "pause.h"
#include "qrvdl.h"
#include "report.h"
#include "sector_map.h"

namespace {

constexpr uint32_t kErasePollAttempts = 10;
constexpr uint32_t kErasePollPauseMs = 500;
// Image bytes per download command: with 8 bytes of framing, 64 bytes, one
// USB packet.
constexpr uint32_t kBlockSize = 56;
// Progress is reported once more than this many bytes have gone out since
// the last report, and once at the end.
constexpr uint32_t kReportInterval = 4096;

// Closes the image file on every way out of the programming.
class ImageReader {
public:
    explicit ImageReader(const char *path) : file_(std::fopen(path, "rb")) {}
    ~ImageReader() {
        if (file_ != nullptr) std::fclose(file_);
    }
    ImageReader(const ImageReader &) = delete;
    ImageReader &operator=(const ImageReader &) = delete;

    bool isOpen() const { return file_ != nullptr; }
    bool seek(uint32_t position) { return std::fseek(file_, static_cast<long>(position), SEEK_SET) == 0; }
    // Reads up to `count` bytes; fewer only at the end of the file or on a
    // read error.
    size_t read(uint8_t *buffer, size_t count) { return std::fread(buffer, 1, count, file_); }

private:
    std::FILE *file_;
};

}  // namespace

using namespace flash_download;

extern "C" {

// Reads the status up to `attempts` times until the device answers with the
// busy bit clear (0). A failed read and a busy answer are each followed by
// the pause, the last one included. 1 when no answer said "not busy",
// also for 0 attempts (then nothing is sent).
QRVDL_API int32_t QRVDL_DeviceBusy(uint32_t attempts, uint32_t pauseMs) {
    return pollUntilReady(attempts, pauseMs).ready ? 0 : 1;
}

// The application area is always treated as not blank: the download erases
// its range. No device traffic.
QRVDL_API int32_t QRVDL_CheckAppFlashBlank(void) { return 1; }

// Erases, in list order, every sector whose start lies in [start, start +
// length): flash address, sector erase, then the busy poll (10 reads, 500 ms
// apart); the callback gets (sector start, 0) after each. Stops with 1 at the
// first sector whose command or poll fails; sectors erased stay erased. An
// empty range erases nothing. A null list, or a non-empty one without
// entries, is 1 with nothing sent.
QRVDL_API int32_t QRVDL_EraseFlash(uint32_t start, uint32_t length, const FlashSectorList *sectors,
                                   ProgressCallback onErased) {
    if (sectors == nullptr || (sectors->count > 0 && sectors->starts == nullptr)) return 1;
    const uint64_t end = static_cast<uint64_t>(start) + length;
    for (int32_t i = 0; i < sectors->count; ++i) {
        const uint32_t sectorStart = sectors->starts[i];
        // Only sectors that begin inside the range: one beginning at its end
        // holds nothing that will be programmed and must keep its contents.
        if (sectorStart < start || sectorStart >= end) continue;
        if (QRVDL_CmdWriteFlashAddress(sectorStart) != 0) {
            note("the erase stopped at the sector at 0x%06X: its flash address command failed", sectorStart);
            return 1;
        }
        if (QRVDL_CmdWriteFlashErase() != 0) {
            note("the erase stopped at the sector at 0x%06X: its flash sector erase command failed", sectorStart);
            return 1;
        }
        if (const BusyPoll poll = pollUntilReady(kErasePollAttempts, kErasePollPauseMs); !poll.ready) {
            char after[64];
            std::snprintf(after, sizeof after, "the sector at 0x%06X was being erased", sectorStart);
            noteNotReady(after, kErasePollAttempts, kErasePollPauseMs, poll);
            return 1;
        }
        if (onErased != nullptr) onErased(sectorStart, 0);
    }
    return 0;
}

// Programs `length` bytes from the image file, file position = flash offset
// (start AND 0x01DFFFFF): programming mode 1, flash address, flash size, then
// the bytes in downloads of 56 (the last one only what is left of the
// range), read through one reused block. *hostChecksum is the 32-bit sum of
// the bytes sent, kept current so that it holds the sum so far after a
// failure. The callback gets (done, remaining) whenever more than 4096 bytes
// went out since the last report, and once after the last block.
// 0: all `length` bytes programmed. 2: the file can't be opened. 1: the seek
// or a command failed, the file ended (or could not be read) before `length`
// bytes, or a null path or checksum pointer (nothing sent).
QRVDL_API int32_t QRVDL_ProgramFlash(const char *path, uint32_t start, uint32_t length,
                                     const FlashSectorList * /*sectors*/, uint32_t *hostChecksum,
                                     ProgressCallback onProgress) {
    if (path == nullptr || hostChecksum == nullptr) return 1;
    *hostChecksum = 0;

    ImageReader file(path);
    if (!file.isOpen()) {
        report("Failed to open file [%s]\n", path);
        return 2;
    }
    const uint32_t offset = flashOffset(start);
    if (!file.seek(offset)) {
        report("Failed to seek to start address\n");
        return 1;
    }
    const char *failed = QRVDL_CmdWriteProgrammingMode(1) != 0     ? "programming mode 1"
                         : QRVDL_CmdWriteFlashAddress(offset) != 0 ? "flash address"
                         : QRVDL_CmdWriteFlashSize(length) != 0    ? "flash size"
                                                                   : nullptr;
    if (failed != nullptr) {
        note("programming could not begin: its %s command failed", failed);
        return 1;
    }

    std::array<uint8_t, kBlockSize> block;
    uint32_t remaining = length;
    uint32_t done = 0;
    uint32_t sinceReport = 0;
    uint32_t checksum = 0;
    while (remaining != 0) {
        const size_t wanted = remaining < kBlockSize ? remaining : kBlockSize;
        const size_t count = file.read(block.data(), wanted);
        if (count == 0) break;  // end of file or read error: reported below
        if (QRVDL_CmdWriteFlashDownloadData(block.data(), static_cast<int32_t>(count)) != 0) {
            note("programming stopped at flash offset 0x%06X (%u of %u bytes sent): its flash data download command "
                 "failed",
                 offset + done, done, length);
            return 1;
        }
        const uint32_t sent = static_cast<uint32_t>(count);
        remaining -= sent;
        done += sent;
        sinceReport += sent;
        if (sinceReport > kReportInterval) {
            if (onProgress != nullptr) onProgress(done, remaining);
            sinceReport = 0;
        }
        for (size_t i = 0; i < count; ++i) checksum += block[i];
        *hostChecksum = checksum;
    }
    // The last report says where programming stopped, also when the file
    // ended early.
    if (onProgress != nullptr) onProgress(done, remaining);
    if (remaining != 0) {
        // The rest of the range stays erased: never report that as success.
        report("Image file ended early [%u of %u bytes]\n", done, length);
        return 1;
    }
    return 0;
}

// Has the device compute its checksum and reads it. The device sums the range
// set by the last flash address and size commands; start and length are not
// sent. 1 when either command fails (the checksum is then 0), or for a null
// pointer (nothing sent).
QRVDL_API int32_t QRVDL_CalculateFlashChecksum(uint32_t /*start*/, uint32_t /*length*/, uint32_t *deviceChecksum) {
    if (deviceChecksum == nullptr) return 1;
    if (QRVDL_CmdWriteFlashCalculateChecksum() != 0) {
        note("the projector's checksum could not be had: its flash checksum calculation command failed");
        *deviceChecksum = 0;
        return 1;
    }
    if (QRVDL_CmdReadFlashChecksum(deviceChecksum) != 0) {
        note("the projector's checksum could not be had: its flash information read (checksum) failed");
        return 1;
    }
    return 0;
}

}  // extern "C"
