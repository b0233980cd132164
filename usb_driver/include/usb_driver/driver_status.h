// SPDX-License-Identifier: MIT
// Statuses of the user-space USB driver. They share the 32-bit status space of
// the device manager above it: two of them are the device manager's own
// values, the rest are 0x2000xxxx values that its table does not use.
#pragma once

#include <cstdint>

namespace usb_driver {

inline constexpr uint32_t kStatusOk = 0;
// A transfer that outlived its time-out (the device manager's WDU_ERR_TIMEOUT).
inline constexpr uint32_t kStatusTimeout = 0x20000015;
// The device has left the bus, or no device has that unique id
// (WDU_ERR_DEVICE_NOT_FOUND).
inline constexpr uint32_t kStatusDeviceNotFound = 0x2000000F;
// A record of the wrong size, a bad pointer in it, or values out of range.
inline constexpr uint32_t kStatusBadRecord = 0x2000001B;
// A request code the driver does not serve.
inline constexpr uint32_t kStatusUnknownRequest = 0x2000001F;
// The endpoint stalled (the device answered STALL).
inline constexpr uint32_t kStatusStall = 0x20000040;
// Any other transfer failure: babble/overflow, I/O error, protocol error.
inline constexpr uint32_t kStatusTransferFailed = 0x20000041;
// The operating system refused access to the device (permissions).
inline constexpr uint32_t kStatusAccessDenied = 0x20000042;
// The device is held by another registration or another program (another
// process has claimed its place: it is updating that projector).
inline constexpr uint32_t kStatusBusy = 0x20000043;
// The registration handle is unknown, or the wait is not armed.
inline constexpr uint32_t kStatusBadHandle = 0x20000044;
// What the bus is connected to broke the protocol: a USB/IP server that sent
// a malformed reply or refused an import. The bus said what on standard error.
inline constexpr uint32_t kStatusProtocolError = 0x20000045;

// The version IOCTL_VERSION reports.
inline constexpr uint32_t kDriverVersion = 1010;

}  // namespace usb_driver
