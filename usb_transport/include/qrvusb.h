/* qrvusb.h - the USB transport library qrvusbdll.
 *
 * Finds the tz4817 projector on USB (application firmware 0xE7A2:0x051E or
 * programming mode 0xE7B9:0x2000), takes one device and exchanges command
 * frames with it on bulk pipes 0x01 (out) and 0x81 (in).
 *
 * Every function returns 0 for success; otherwise a device-manager or driver
 * status passed through unchanged (0x20000015 is a time-out, 0x2000000F a
 * device that is gone), or 1 for the library's own failures.
 *
 * Calling order: QRV_USBInit; while it returned 0, any number of exchanges,
 * one at a time from one thread; QRV_USBTerm, also after a failed
 * QRV_USBInit. The library prints "Reseting USB\n" to standard output after
 * every failed transfer of QRV_WriteQrvUsbCmd.
 */
#ifndef QRVUSB_H
#define QRVUSB_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(QRVUSB_BUILDING)
#define QRVUSB_API __attribute__((visibility("default")))
#else
#define QRVUSB_API
#endif

/* Opens the USB link and waits at most 30 seconds for a projector to be
 * taken (its interface 0 selected). Blocks. 0: a device is ready.
 * 0x20000005: no attach event could be created. 0x20000015: no device within
 * 30 seconds (a device taken that leaves again before this returns is waited
 * past). 0x20000007: the wait failed or the USB driver could not be opened.
 * Any other value: the failed status of the device manager or, when the
 * device was declined because its interface could not be selected, the
 * status of that selection (the link is then closed already). A link still
 * open from an earlier call is closed first. */
QRVUSB_API int32_t QRV_USBInit(void);

/* Closes whatever QRV_USBInit opened. Always 0; calling it twice is harmless. */
QRVUSB_API int32_t QRV_USBTerm(void);

/* Sends the command frame of `length` bytes (6..257) in `frame`, stamped with
 * the next sequence number in byte 1 (the checksum in the last byte is
 * corrected by that number), then reads at most *replyCapacity bytes of
 * reply into the same buffer and stores the number read in *replyCapacity,
 * also when the read fails. The buffer must hold max(length, *replyCapacity)
 * bytes. Blocks for up to two transfers of 2 seconds each; no pauses unless a
 * transfer fails.
 * 0: a reply with the right sequence echo was read. 1: the echo was wrong
 * or missing (fewer than 2 bytes came back), or an argument was invalid
 * (then nothing is sent). Otherwise the status of the presence check
 * (0x2000000F: the device is gone; the buffer is left as it was) or of the
 * failed read (the same sequence number is used again next time). */
QRVUSB_API int32_t QRV_WriteQrvUsbCmd(uint8_t *frame, uint32_t length, uint32_t *replyCapacity);

/* Builds a frame from the request record (byte 0 code 0x12/0x34 write or
 * 0x13/0x35 read, bytes 1-2 arguments, byte 3 payload length, at most 248
 * for a write and 246 for a read, byte 4 data bytes wanted, payload from
 * byte 5), exchanges it, and when the reply echoes the sequence number
 * copies its data back from byte 5 and their count into byte 4 (0 when the
 * reply carries none). The record must have room from byte 5 for the larger
 * of the payload and the data wanted. Takes at least 40 ms.
 * 0: a reply was read (also one with a wrong echo, whose data is ignored).
 * 1: unknown request code, payload over its limit or null record (nothing
 * sent). Otherwise the status of the presence check or of the failed read. */
QRVUSB_API int32_t QRV_WriteQrvUsb(uint8_t *request);

#ifdef __cplusplus
}
#endif

#endif /* QRVUSB_H */
