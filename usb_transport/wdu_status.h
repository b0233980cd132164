// Statuses of the device manager, returned by every WDU_* operation, the event
// channel and the OS helpers, and passed through unchanged by the exports.
// The driver's own statuses (usb_driver/driver_status.h) share this space.
#pragma once

#include <cstdint>

namespace qrvusb {

inline constexpr uint32_t WDU_OK = 0x00000000;
// A null registration or wait thread given to a teardown step.
inline constexpr uint32_t WDU_ERR_INVALID_HANDLE = 0x20000001;
// Memory, a thread or an event object could not be had.
inline constexpr uint32_t WDU_ERR_NO_RESOURCES = 0x20000005;
// An OS wait or signal failed; the driver could not be opened.
inline constexpr uint32_t WDU_ERR_SYSTEM = 0x20000007;
// A null device handle, a device no longer in DevList, or an unknown unique id.
inline constexpr uint32_t WDU_ERR_DEVICE_NOT_FOUND = 0x2000000F;
// An event wait ran out (the DevList lock, the attach wait of QRV_USBInit).
inline constexpr uint32_t WDU_ERR_TIMEOUT = 0x20000015;
// The driver reports a version below kMinimumDriverVersion.
inline constexpr uint32_t WDU_ERR_VERSION = 0x2000001C;
// A request could not reach the driver.
inline constexpr uint32_t WDU_ERR_NO_DRIVER = 0xFFFFFFFF;

}  // namespace qrvusb
