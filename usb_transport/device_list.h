// SPDX-License-Identifier: MIT
// DevList: the process-wide list of attached devices that callers hold, shared
// by every driver context. It is guarded by one lock, an auto-reset event
// taken with a 30-second limit; every operation takes it once, releases it
// before returning and calls nothing out while holding it, so callbacks may
// use the device operations freely.
//
// The lock exists while at least one driver context is open (dwOpenCount);
// devListOpen and devListClose, called by WDU_Init and WDU_Uninit on one
// thread at a time, create and close it.
#pragma once

#include <cstdint>

#include "device_manager.h"
#include "os_helpers.h"

namespace usb_transport {

struct DevListNode {
    DevListNode *pNext;
    DeviceCtx *pDevice;
};

struct DeviceList {
    DevListNode *pHead;  // newest first
    OsEventHandle hEvent;
    uint32_t dwOpenCount;
};

extern DeviceList DevList;

// How long a list operation waits for the lock.
inline constexpr uint32_t kDevListLockSeconds = 30;

// Counts one more open driver context; the first creates the lock (free).
// WDU_OK, or the status of the failed creation or signal; the count is
// raised either way and devListClose lowers it.
[[nodiscard]] uint32_t devListOpen();
// Counts one context less; the last closes the lock.
void devListClose();

// Each returns the operation's status, or WDU_ERR_TIMEOUT / WDU_ERR_SYSTEM
// when the lock cannot be taken (list untouched) or released.

// Puts the device at the head. WDU_ERR_NO_RESOURCES without memory.
[[nodiscard]] uint32_t AddDeviceToDevList(DeviceCtx *device);
// Unlinks the first device with `uniqueId` and hands it out (*device null
// first). WDU_ERR_DEVICE_NOT_FOUND when none has it.
[[nodiscard]] uint32_t RemoveDeviceFromDevList(uint32_t uniqueId, DeviceCtx **device);
// The first device with `uniqueId` (*device null first), left in the list.
[[nodiscard]] uint32_t FindDeviceByUniqueID(uint32_t uniqueId, DeviceCtx **device);
// Unlinks and frees every device of `driver`; the others keep their order.
[[nodiscard]] uint32_t RemoveAllDevicesFromDevList(DriverCtx *driver);
// WDU_OK when the list holds exactly this device, else WDU_ERR_DEVICE_NOT_FOUND.
uint32_t IsDeviceInDevList(DeviceCtx *device);

// IsDeviceInDevList that also copies, under the lock, what a request to the
// device needs: its unique id and its context's driver connection. The event
// thread may free a detached device at any moment, so callers read nothing
// from a DeviceCtx themselves.
[[nodiscard]] uint32_t getListedDeviceTarget(DeviceCtx *device, uint32_t *uniqueId, DriverFile *file);

// Frees a device that is in no list, with its information block.
void freeDevice(DeviceCtx *device);

}  // namespace usb_transport
