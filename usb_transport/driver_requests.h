// SPDX-License-Identifier: MIT
// Requests to the USB driver (usb_driver/driver.h). The device manager and the
// event channel reach the driver only through DriverIoctl, with the request
// codes and records of usb_driver/driver_records.h.
//
// A driver device handle (`hDriverFile`) is a connection of the driver. Null
// (never opened) and kInvalidDriverFile (an open that failed) both mean that
// no connection is open.
#pragma once

#include <cstdint>

#include "usb_driver/driver.h"

namespace usb_transport {

using DriverFile = usb_driver::Connection *;

// What a failed open leaves in a driver device handle.
inline DriverFile const kInvalidDriverFile = reinterpret_cast<DriverFile>(~static_cast<uintptr_t>(0));

// True when `file` names an open connection.
inline bool driverFileIsOpen(DriverFile file) { return file != nullptr && file != kInvalidDriverFile; }

// Opens a connection to the driver: the connection, or kInvalidDriverFile
// when the driver cannot be opened (no bus).
DriverFile driverOpenFile();

// Closes a connection; null and kInvalidDriverFile are ignored.
void driverCloseFile(DriverFile file);

// Sends one request. `record` is read and written in place by the driver.
// With `ownConnection` the request goes on a connection opened for it alone
// and closed afterwards (`file` is then not used); otherwise on `file`.
// Returns the driver's status, or WDU_ERR_NO_DRIVER without a request when
// `file` is not open or the own connection cannot be opened. Blocks as long
// as the request does (IOCTL_WAIT, IOCTL_TRANSFER). Any thread.
[[nodiscard]] uint32_t DriverIoctl(uint32_t code, DriverFile file, void *record, uint32_t size, bool ownConnection);

// The three functions of the driver boundary.
struct DriverFunctions {
    usb_driver::Connection *(*open)();
    uint32_t (*ioctl)(usb_driver::Connection *connection, uint32_t code, void *record, uint32_t size);
    void (*close)(usb_driver::Connection *connection);
};

namespace testing {
// Replaces the driver under the library with `functions` (which must stay
// valid until replaced); null restores the real driver. Only while no
// driver context is open.
void setDriverFunctions(const DriverFunctions *functions);
}  // namespace testing

}  // namespace usb_transport
