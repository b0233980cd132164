// SPDX-License-Identifier: MIT
// The USB device manager: opens the driver and checks its version, registers
// for attach, detach and power events of the devices in the caller's match
// table, keeps the process-wide device list (device_list.h) and hands each
// device to the caller's callbacks. On an attached device it fetches the
// device information, selects an interface, resets a pipe and transfers data.
//
// Handles: a driver handle is the address of a DriverCtx, a device handle the
// address of a DeviceCtx; their holders treat them as opaque.
// kInvalidDriverHandle means that no driver context is open.
//
// One place per process. The device manager remembers where the first device
// that a caller takes sits (its port path on the local bus, its bus id on a
// USB/IP server: the driver's IOCTL_DEVICE_PLACE), and every later
// registration of the process is limited to that place (IOCTL_LIMIT_PLACE),
// so that after a projector re-enumerates (its switch into programming mode)
// only that projector is taken again, never another one beside it. The
// environment variable QRV_DEVICE, when set, is the place from the start.
#pragma once

#include <cstdint>
#include <string>

#include "driver_requests.h"
#include "event_channel.h"
#include "usb_driver/driver_records.h"

namespace usb_transport {

using usb_driver::DeviceInfo;

struct DriverCtx;
struct DeviceCtx;

// Called on the event thread for each matching device that arrives (or is
// present at registration), while the device is in DevList. Non-zero
// (`bControlDevice`) takes the device; zero declines it. May use the device
// operations on `device`, never WDU_Init or WDU_Uninit.
using AttachCallback = uint32_t (*)(DeviceCtx *device, DeviceInfo *deviceInfo, void *userData);
// Called on the event thread when a taken device has left; the handle is
// invalid once it returns.
using DetachCallback = void (*)(DeviceCtx *device, void *userData);
// Called on the event thread for a power event (one bit of EVENT_POWER_MASK).
using PowerCallback = uint32_t (*)(DeviceCtx *device, uint32_t action, void *userData);
// Called on the event thread when no device will come to the registration
// (EVENT_BUS_FAILED): at most once when the driver's bus has failed
// (kStatusProtocolError: the USB/IP server broke the protocol), and once
// when a wanted device's place is claimed by another process (kStatusBusy:
// another program is updating that projector).
using FailureCallback = void (*)(uint32_t status, void *userData);

struct EventTable {
    AttachCallback pfAttach;    // null: no events at all
    DetachCallback pfDetach;    // null: detach events are not asked for
    PowerCallback pfPower;      // null: power events are not asked for
    void *pUserData;            // handed to every callback
    FailureCallback pfFailure;  // null: a failed bus is only traced
};

struct DriverCtx {
    DriverFile hDriverFile;
    AttachCallback pfAttach;
    DetachCallback pfDetach;
    PowerCallback pfPower;
    void *pUserData;
    EventReg *pEventReg;  // null when no registration was made
    FailureCallback pfFailure;
};

struct DeviceCtx {
    DriverCtx *pDriverCtx;    // the context whose registration reported the device
    DeviceInfo *pDeviceInfo;  // owned, freed with the DeviceCtx
    uint32_t dwUniqueID;      // the driver's id of the device
};

inline DriverCtx *const kInvalidDriverHandle = reinterpret_cast<DriverCtx *>(~static_cast<uintptr_t>(0));

// The oldest driver version whose requests this library relies on.
inline constexpr uint32_t kMinimumDriverVersion = 603;

// Opens a driver context. Stores kInvalidDriverHandle in *driver first, the
// new context on success. With a pfAttach in `eventTable` it registers for
// the devices of `matches` (`matchCount` entries; `options` go into the
// registration, EVENT_OPT_ACKNOWLEDGE to answer attach events) and starts
// the event thread, whose callbacks may run before this returns.
// WDU_OK; WDU_ERR_NO_RESOURCES (memory, or a null `matches` with a non-zero
// count or the reverse); WDU_ERR_SYSTEM (no driver); WDU_ERR_VERSION; or a
// driver status. A failure leaves nothing open. Not from a callback.
[[nodiscard]] uint32_t WDU_Init(DriverCtx **driver, const MatchEntry *matches, uint32_t matchCount,
                                const EventTable *eventTable, uint32_t options);

// Stops the event thread, closes the driver and frees the context's devices
// without calling pfDetach. Null and kInvalidDriverHandle are ignored. Not
// from a callback.
void WDU_Uninit(DriverCtx *driver);

// Fetches the device's information block into *deviceInfo (null first). The
// block belongs to the caller, who frees it with std::free, also when a
// failure status comes with it. WDU_OK; WDU_ERR_DEVICE_NOT_FOUND (null or
// detached device, no request sent); WDU_ERR_NO_RESOURCES; a driver status.
[[nodiscard]] uint32_t WDU_GetDeviceInfo(DeviceCtx *device, DeviceInfo **deviceInfo);

// Selects an interface and alternate setting. WDU_OK,
// WDU_ERR_DEVICE_NOT_FOUND (no request sent) or a driver status.
[[nodiscard]] uint32_t WDU_SetInterface(DeviceCtx *device, uint32_t interfaceNumber, uint32_t alternateSetting);

// Clears a halt on a pipe. As WDU_SetInterface.
[[nodiscard]] uint32_t WDU_ResetPipe(DeviceCtx *device, uint32_t pipe);

// One transfer on `pipe` (`read` 1: from the device) of at most `size` bytes,
// bounded by `timeoutMs`. `setupPacket` (8 bytes) may be null. The bytes
// transferred go to *transferred whatever the status. Blocks; any thread.
// WDU_OK, WDU_ERR_DEVICE_NOT_FOUND (no request sent) or a driver status.
[[nodiscard]] uint32_t WDU_Transfer(DeviceCtx *device, uint32_t pipe, uint32_t read, uint32_t options, void *buffer,
                                    uint32_t size, uint32_t *transferred, const uint8_t *setupPacket,
                                    uint32_t timeoutMs);

// The event channel's handler: dispatches one pulled event of the driver
// context `argument` to its callbacks. Event thread only.
void EventHandler(EventRecord *event, void *argument);

namespace testing {
// The place the process is kept to; empty while none is known.
std::string keptPlace();
// Forgets it, as if the process had just started. Only while no driver
// context is open.
void forgetPlace();
}  // namespace testing

}  // namespace usb_transport
