/* SPDX-License-Identifier: MIT */
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

#if defined(QRVDL_BUILDING) && defined(_WIN32)
#define QRVDL_API __declspec(dllexport)
#elif defined(QRVDL_BUILDING)
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

/* Single device commands: one command frame each (two for the identity read
 * and the calibration unlock), 0 or 1, the transport's status is not passed
 * on. A read fails, and zeroes its output, also when the reply is too short
 * to hold the bytes it takes. A null output pointer is 1 with nothing sent. */
QRVDL_API int32_t QRVDL_CmdReadStatus(uint8_t *status);        /* bit 3 (0x08): busy */
QRVDL_API int32_t QRVDL_CmdReadFlashDeviceId(uint16_t ids[2]); /* ids[0] device, ids[1] manufacturer */
QRVDL_API int32_t QRVDL_CmdReadFlashChecksum(uint32_t *checksum);
QRVDL_API int32_t QRVDL_CmdWriteProgrammingMode(int32_t mode); /* low 8 bits sent; 1 enter, 2 leave */
QRVDL_API int32_t QRVDL_CmdWriteAppProgrammingMode(void);      /* programming mode 1 */
QRVDL_API int32_t QRVDL_CmdWriteFlashErase(void);              /* the sector at the flash address */
QRVDL_API int32_t QRVDL_CmdWriteFlashCalculateChecksum(void);
QRVDL_API int32_t QRVDL_CmdWriteFlashAddress(uint32_t address); /* low 24 bits sent */
QRVDL_API int32_t QRVDL_CmdWriteFlashSize(uint32_t size);       /* low 24 bits sent */
/* count 0..249 (0: a frame without data); outside that, or null data with a
 * count above 0: 1 with nothing sent. */
QRVDL_API int32_t QRVDL_CmdWriteFlashDownloadData(const uint8_t *data, int32_t count);
QRVDL_API int32_t QRVDL_CmdWriteCalibrationUnlock(void);

/* Reads the flash identity and checks the range [start, start + length) of
 * flash offsets (start is reduced by AND 0x01DFFFFF). Accepted when the
 * start lies in the flash and the end is at most 0x200000: then start moves
 * down to its sector's first byte, length grows by as much, and the list
 * names all 35 sectors; 0. Otherwise one line is printed, start and length
 * are left alone, the list is empty (count 0, null); 1. Null pointers: 1,
 * nothing sent, nothing printed. */
QRVDL_API int32_t QRVDL_CheckAddress(uint32_t *start, uint32_t *length, FlashSectorList *sectors);

/* Reads the status up to `attempts` times, pausing `pauseMs` after every
 * failed or busy answer: 0 at the first answer with the busy bit clear, 1
 * when none came (0 attempts: 1 without traffic). */
QRVDL_API int32_t QRVDL_DeviceBusy(uint32_t attempts, uint32_t pauseMs);
/* Always 1 (the range is always erased); no traffic. */
QRVDL_API int32_t QRVDL_CheckAppFlashBlank(void);
/* Erases, in list order, each sector whose start s has start <= s < start +
 * length, polling busy after each (10 reads, 500 ms); onErased(s, 0) after
 * each. 1 at the first failure (sectors erased stay erased); an empty range
 * erases nothing. A null list, or count > 0 with null starts: 1, no traffic. */
QRVDL_API int32_t QRVDL_EraseFlash(uint32_t start, uint32_t length, const FlashSectorList *sectors,
                                   ProgressCallback onErased);
/* Programs `length` bytes from the image file (file position = flash offset
 * = start AND 0x01DFFFFF) in downloads of at most 56 bytes, never past the
 * range; *hostChecksum is the 32-bit sum of the bytes sent. onProgress(done,
 * remaining) after more than 4096 bytes since the last report, and once at
 * the end. 0 programmed; 2 file can't be opened; 1 seek or command failed,
 * the file ended before `length` bytes ("Image file ended early ..."), or a
 * null path or checksum pointer (nothing sent). `sectors` is not used. */
QRVDL_API int32_t QRVDL_ProgramFlash(const char *path, uint32_t start, uint32_t length, const FlashSectorList *sectors,
                                     uint32_t *hostChecksum, ProgressCallback onProgress);
/* Has the device sum the range of the last flash address and size commands
 * and reads the sum; start and length are not used. 0, or 1 (checksum 0). */
QRVDL_API int32_t QRVDL_CalculateFlashChecksum(uint32_t start, uint32_t length, uint32_t *deviceChecksum);

/* The whole download: file size (without opening it), identity and range
 * check, programming mode 1, erase, programming, checksum comparison. Length
 * 0 means from the start offset to the end of the file. 0 verified; 1 erase,
 * programming or checksum failed (or a null path); 2 the file's size can't
 * be read; 3 identity or range rejected. Leaves the device in programming
 * mode and the link open whatever the result. */
QRVDL_API int32_t QRVDL_LoadFlash(const char *path, uint32_t start, uint32_t length, ProgressCallback onErased,
                                  ProgressCallback onProgrammed);
/* Programming mode 1 to the application firmware, close the link, pause,
 * re-open it, poll until not busy (10 reads, 500 ms). 0 or 1; the link is
 * left as it was when the first command fails, closed when re-opening fails,
 * open otherwise. */
QRVDL_API int32_t QRVDL_SwitchAppToBoot(uint32_t pauseMs);

#ifdef __cplusplus
}
#endif

#endif /* QRVDL_H */
