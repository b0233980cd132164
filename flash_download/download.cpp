// SPDX-License-Identifier: MIT
// The whole download in one call, and the switch from the application
// firmware into programming mode across a re-opened USB link.
#include <sys/stat.h>

#include <cstdint>

#include "pause.h"
#include "qrvdl.h"
#include "qrvusb.h"
#include "report.h"
#include "sector_map.h"

namespace {

constexpr uint32_t kSwitchPollAttempts = 10;
constexpr uint32_t kSwitchPollPauseMs = 500;

}  // namespace

using namespace flash_download;

extern "C" {

// Examines the image file (its size, without opening it), checks the flash
// and the range, puts the device into programming mode, erases the range,
// programs it from the file and compares the device's checksum with the
// host's. A length of 0 means from the start offset to the end of the file.
// The device stays in programming mode whatever the result; the link must be
// open and stays open.
// 0: programmed and verified. 1: erase, programming or checksum failed (or a
// null path: nothing sent, nothing printed). 2: the file's size can't be
// read (or does not fit 32 bits). 3: flash identity or range rejected.
QRVDL_API int32_t QRVDL_LoadFlash(const char *path, uint32_t start, uint32_t length, ProgressCallback onErased,
                                  ProgressCallback onProgrammed) {
    if (path == nullptr) return 1;
    uint32_t hostChecksum = 0;
    uint32_t deviceChecksum = 0;

    struct stat info {};
    if (::stat(path, &info) != 0 || info.st_size < 0 || static_cast<uint64_t>(info.st_size) > UINT32_MAX) {
        report("Bad file [%s]\n", path);
        return 2;
    }
    const uint32_t size = static_cast<uint32_t>(info.st_size);
    report("File[%s] Size[%u]\n", path, size);

    // File positions are flash offsets. A file shorter than the start offset
    // makes this wrap to a length that the range check rejects.
    if (length == 0) length = size - flashOffset(start);

    FlashSectorList sectors{0, nullptr};
    if (QRVDL_CheckAddress(&start, &length, &sectors) != 0) {
        report("Bad address\n");
        return 3;
    }

    // Neither result matters: the erase and programming that follow fail on
    // their own if the device is not there, and programming mode 1 is sent
    // again before programming.
    uint8_t status = 0;
    (void)QRVDL_CmdReadStatus(&status);
    (void)QRVDL_CmdWriteProgrammingMode(1);

    if (QRVDL_CheckAppFlashBlank() != 0 && QRVDL_EraseFlash(start, length, &sectors, onErased) != 0) {
        report("Failed to erase flash\n");
        return 1;
    }
    if (QRVDL_ProgramFlash(path, start, length, &sectors, &hostChecksum, onProgrammed) != 0) {
        report("Failed to program flash\n");
        return 1;
    }
    if (QRVDL_CalculateFlashChecksum(start, length, &deviceChecksum) != 0) {
        report("Checksum calculation failed\n");
        return 1;
    }
    if (deviceChecksum != hostChecksum) {
        note("the projector's checksum of the flash range, 0x%08X, differs from the sum of the image bytes sent, "
             "0x%08X",
             deviceChecksum, hostChecksum);
        report("Checksum FAILED\n");
        return 1;
    }
    return 0;
}

// Asks the running application firmware to enter programming mode, closes
// the link, waits `pauseMs` while the projector restarts, re-opens the link
// and polls the status (10 reads, 500 ms apart) until the device answers
// not busy. 0 then; 1 on any failure. The link is left untouched when the
// first command fails, closed when re-opening fails, open otherwise. Prints
// nothing of its own.
QRVDL_API int32_t QRVDL_SwitchAppToBoot(uint32_t pauseMs) {
    if (QRVDL_CmdWriteAppProgrammingMode() != 0) {
        note("the switch into programming mode failed: its programming mode 1 command failed");
        return 1;
    }
    if (QRV_USBTerm() != 0) return 1;
    pause(pauseMs);
    if (const int32_t status = QRV_USBInit(); status != 0) {
        note("the switch into programming mode failed: the link could not be opened again after %u ms (status "
             "0x%08X)",
             pauseMs, static_cast<uint32_t>(status));
        QRV_USBTerm();
        return 1;
    }
    if (const BusyPoll poll = pollUntilReady(kSwitchPollAttempts, kSwitchPollPauseMs); !poll.ready) {
        noteNotReady("the projector came back in programming mode", kSwitchPollAttempts, kSwitchPollPauseMs, poll);
        return 1;
    }
    return 0;
}

}  // extern "C"
