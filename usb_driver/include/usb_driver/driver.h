// SPDX-License-Identifier: MIT
// The user-space USB driver: one process-wide object behind three functions.
// The device manager opens connections, sends requests (driver_records.h) on
// them and closes them, as it would with a kernel driver. The driver reads and
// writes each record in place. The driver is created on the first open; its
// bus (bus.h) lives from the first open connection to the last close.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "usb_driver/bus.h"
#include "usb_driver/driver_records.h"
#include "usb_driver/driver_status.h"

namespace usb_driver {

struct Connection;

// Opens a connection. Null when no bus can be had (no USB/IP server address
// and no local bus, or the local bus could not be initialised). Thread-safe.
Connection *driverOpen();

// Serves one request. Blocks only for IOCTL_WAIT (until an event is pending
// or the wait is disabled) and IOCTL_TRANSFER (until done or timed out).
// Returns the request's status; a null connection, an unknown code or a
// malformed record gives a driver status (driver_status.h), never a crash.
[[nodiscard]] uint32_t DriverIoctl(Connection *connection, uint32_t code, void *record, uint32_t size);

// Closes a connection; its registrations are cancelled. Null is ignored.
void driverClose(Connection *connection);

// Which bus the driver makes when its first connection opens: the USB/IP
// client when QRV_USBIP names a server, else the local bus (if built). Null
// when there is none; a QRV_USBIP that is not HOST[:PORT] is said at once, in
// one line on standard error.
std::shared_ptr<Bus> makeDefaultBus();

namespace testing {
// Tests and benchmarks give the driver its bus through this (a LoopbackBus);
// an empty function restores makeDefaultBus. Takes effect at the next first
// open.
void setBusFactory(std::function<std::shared_ptr<Bus>()> factory);
// The version IOCTL_VERSION reports; 0 restores kDriverVersion.
void setReportedVersion(uint32_t version);
}  // namespace testing

}  // namespace usb_driver
