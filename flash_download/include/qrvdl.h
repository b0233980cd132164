/* qrvdl.h - the flash download library qrvdldll.
 *
 * Knows the tz4817 projector's command set and how its 2 MB flash
 * (manufacturer 0x0001, device 0x2249, 35 sectors, small ones at the bottom)
 * is erased, programmed from an image file and verified. Every device command
 * goes through QRV_WriteQrvUsbCmd of qrvusbdll; the link must be open
 * (QRV_USBInit). Functions run on the caller's thread, one at a time, and
 * call the progress callbacks synchronously on it.
 *
 * Results: 0 success, 1 failure; QRVDL_LoadFlash adds 2 (image file can't be
 * examined) and 3 (flash identity or range rejected); QRVDL_ProgramFlash
 * returns 2 when the image file can't be opened. Read commands set their
 * outputs to 0 on failure. Failures on the download road print one line to
 * standard output.
 */
#ifndef QRVDL_H
#define QRVDL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(QRVDL_BUILDING)
#define QRVDL_API __attribute__((visibility("default")))
#else
#define QRVDL_API
#endif

/* (sector start, 0) from the erase; (bytes programmed, bytes still to
 * program) from the programming. May be null. */
typedef void (*ProgressCallback)(uint32_t value, uint32_t other);

/* All 35 sectors of the flash after a successful QRVDL_CheckAddress; count 0
 * and null after a failure. `starts` points into a constant table of the
 * library: never freed, valid while the library is loaded. */
typedef struct FlashSectorList {
    int32_t count;
    const uint32_t *starts;
} FlashSectorList;

/* Single device commands. */
QRVDL_API int32_t QRVDL_CmdReadStatus(uint8_t *status);
QRVDL_API int32_t QRVDL_CmdReadFlashDeviceId(uint16_t ids[2]); /* ids[0] device, ids[1] manufacturer */
QRVDL_API int32_t QRVDL_CmdReadFlashChecksum(uint32_t *checksum);
QRVDL_API int32_t QRVDL_CmdWriteProgrammingMode(int32_t mode);
QRVDL_API int32_t QRVDL_CmdWriteAppProgrammingMode(void);
QRVDL_API int32_t QRVDL_CmdWriteFlashErase(void);
QRVDL_API int32_t QRVDL_CmdWriteFlashCalculateChecksum(void);
QRVDL_API int32_t QRVDL_CmdWriteFlashAddress(uint32_t address);
QRVDL_API int32_t QRVDL_CmdWriteFlashSize(uint32_t size);
QRVDL_API int32_t QRVDL_CmdWriteFlashDownloadData(const uint8_t *data, int32_t count);
QRVDL_API int32_t QRVDL_CmdWriteCalibrationUnlock(void);

/* Flash identity and range check. */
QRVDL_API int32_t QRVDL_CheckAddress(uint32_t *start, uint32_t *length, FlashSectorList *sectors);

/* Flash procedures. */
QRVDL_API int32_t QRVDL_DeviceBusy(uint32_t attempts, uint32_t pauseMs);
QRVDL_API int32_t QRVDL_CheckAppFlashBlank(void);
QRVDL_API int32_t QRVDL_EraseFlash(uint32_t start, uint32_t length, const FlashSectorList *sectors,
                                   ProgressCallback onErased);
QRVDL_API int32_t QRVDL_ProgramFlash(const char *path, uint32_t start, uint32_t length,
                                     const FlashSectorList *sectors, uint32_t *hostChecksum,
                                     ProgressCallback onProgress);
QRVDL_API int32_t QRVDL_CalculateFlashChecksum(uint32_t start, uint32_t length, uint32_t *deviceChecksum);

/* The whole download, and the switch from application firmware to programming mode. */
QRVDL_API int32_t QRVDL_LoadFlash(const char *path, uint32_t start, uint32_t length,
                                  ProgressCallback onErased, ProgressCallback onProgrammed);
QRVDL_API int32_t QRVDL_SwitchAppToBoot(uint32_t pauseMs);

#ifdef __cplusplus
}
#endif

#endif /* QRVDL_H */
