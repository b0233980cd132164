/* SPDX-License-Identifier: MIT */
/* qrvusb.h - the USB transport library qrvusbdll.
 *
 * Finds the tz4817 projector on USB (application firmware 0xE7A2:0x051E or
 * programming mode 0xE7B9:0x2000), takes one device and exchanges command
 * frames with it on bulk pipes 0x01 (out) and 0x81 (in).
 *
 * Every function returns 0 for success; otherwise a device-manager or driver
 * status passed through unchanged (WDU_ERR_TIMEOUT is a time-out,
 * WDU_ERR_DEVICE_NOT_FOUND a device that is gone), or 1 for the library's own
 * failures.
 *
 * Calling order: QRV_USBInit; while it returned 0, any number of exchanges,
 * one at a time from one thread; QRV_USBTerm, also after a failed
 * QRV_USBInit. The library prints "Reseting USB\n" to standard output after
 * every failed transfer of QRV_WriteQrvUsbCmd, and for every failed transfer
 * or exchange of QRV_WriteQrvUsbCmd one line on standard error that names
 * the command and what happened ("tz4817: no reply to the flash data
 * download command within 2000 ms").
 *
 * Environment: QRV_USBIP=HOST[:PORT] takes the projector from that USB/IP
 * server instead of this computer's USB ports. QRV_DEVICE=PLACE takes only a
 * projector at that place (its port path "BUS-PORT[.PORT...]" on this
 * computer, its bus id on the USB/IP server). Without it, the place of the
 * projector that the first QRV_USBInit of the process takes is kept for every
 * later QRV_USBInit, so that the projector switched into programming mode is
 * the one taken again. QRV_DEBUG=1 traces every frame on standard error.
 */
#ifndef QRVUSB_H
#define QRVUSB_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Statuses of the device manager, passed through unchanged in the int32_t
 * result (WDU_ERR_NO_DRIVER reads as -1). The USB driver's own statuses
 * share this space. */
#define WDU_OK 0x00000000u
/* A null registration or wait thread given to a teardown step. */
#define WDU_ERR_INVALID_HANDLE 0x20000001u
/* Memory, a thread or an event object could not be had. */
#define WDU_ERR_NO_RESOURCES 0x20000005u
/* An OS wait or signal failed; the driver could not be opened. */
#define WDU_ERR_SYSTEM 0x20000007u
/* A null device handle, a device no longer listed, or an unknown unique id;
 * also a device that has left the bus. */
#define WDU_ERR_DEVICE_NOT_FOUND 0x2000000Fu
/* An event wait ran out (the device list's lock, the attach wait of
 * QRV_USBInit), or a transfer outlived its time-out. */
#define WDU_ERR_TIMEOUT 0x20000015u
/* The driver reports a version older than the library needs. */
#define WDU_ERR_VERSION 0x2000001Cu
/* A request could not reach the driver. */
#define WDU_ERR_NO_DRIVER 0xFFFFFFFFu
/* The USB driver's: the projector is held by another program; from
 * QRV_USBInit, another process has claimed its place and is updating it. */
#define QRV_ERR_BUSY 0x20000043u

#if defined(QRVUSB_BUILDING) && defined(_WIN32)
#define QRVUSB_API __declspec(dllexport)
#elif defined(QRVUSB_BUILDING)
#define QRVUSB_API __attribute__((visibility("default")))
#else
#define QRVUSB_API
#endif

/* Opens the USB link and waits at most 30 seconds for a projector to be
 * taken (its interface 0 selected). Blocks. 0: a device is ready.
 * WDU_ERR_NO_RESOURCES: no attach event could be created. WDU_ERR_TIMEOUT: no
 * device within 30 seconds (a device taken that leaves again before this
 * returns is waited past). WDU_ERR_SYSTEM: the wait failed or the USB driver
 * could not be opened.
 * Any other value: the failed status of the device manager or, when the
 * device was declined because its interface could not be selected, the
 * status of that selection (the link is then closed already); 0x20000045
 * at once when the USB/IP server broke the protocol (one line on standard
 * error says how); 0x20000043 at once when the projector's place is claimed
 * by another process, which is updating it: nothing is sent to it (one line
 * on standard error names that process). Before a projector is opened its
 * place (and the USB/IP server) is claimed for this process, system-wide,
 * until the process ends. A link still open from an earlier call is closed
 * first. */
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
 * (WDU_ERR_DEVICE_NOT_FOUND: the device is gone; the buffer is left as it
 * was) or of the failed read (the same sequence number is used again next
 * time). */
QRVUSB_API int32_t QRV_WriteQrvUsbCmd(uint8_t *frame, uint32_t length, uint32_t *replyCapacity);

/* Builds a frame from the request record (byte 0 code 0x12/0x34 write or
 * 0x13/0x35 read, bytes 1-2 arguments, byte 3 payload length, at most 248
 * for a write and 246 for a read, byte 4 data bytes wanted, payload from
 * byte 5), exchanges it, and when the reply echoes the sequence number
 * copies its data back from byte 5 and their count into byte 4 (0 when the
 * reply carries none). The record must have room from byte 5 for the larger
 * of the payload and the data wanted. Takes at least 40 ms.
 * 0: a reply was read (also one with a wrong echo, whose data is ignored).
 * 1: payload over its limit or null record, or an unknown request code while
 * the device is present (nothing sent). Otherwise the status of the presence
 * check, which comes before the request code is looked at (so an unknown code
 * with the device gone gives WDU_ERR_DEVICE_NOT_FOUND), or of the failed
 * read. */
QRVUSB_API int32_t QRV_WriteQrvUsb(uint8_t *request);

#ifdef __cplusplus
}
#endif

#endif /* QRVUSB_H */
