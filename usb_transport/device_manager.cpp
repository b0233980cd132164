// SPDX-License-Identifier: MIT
#include "device_manager.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "device_list.h"
#include "qrvusb.h"
#include "trace.h"

namespace usb_transport {

using namespace usb_driver;

namespace {

// The place every registration of the process is kept to; empty until known.
// Written on the event thread (the first device taken), read by WDU_Init.
std::mutex gPlaceMutex;
std::string gPlace;

// The place to keep the next registration to: the one known, else QRV_DEVICE.
std::string placeToKeep() {
    std::lock_guard lock(gPlaceMutex);
    if (gPlace.empty())
        if (const char *chosen = std::getenv("QRV_DEVICE"); chosen != nullptr) gPlace = chosen;
    return gPlace;
}

// The first device a caller takes gives the process its place. A driver that
// cannot say where the device is leaves the process unpinned.
void rememberPlace(DriverFile file, uint32_t uniqueId) {
    {
        std::lock_guard lock(gPlaceMutex);
        if (!gPlace.empty()) return;
    }
    PlaceRecord record{};
    record.dwUniqueID = uniqueId;
    if (DriverIoctl(IOCTL_DEVICE_PLACE, file, &record, sizeof(record), false) != WDU_OK) return;
    record.cPlace[kPlaceSize - 1] = '\0';
    if (record.cPlace[0] == '\0') return;
    std::lock_guard lock(gPlaceMutex);
    if (gPlace.empty()) gPlace = record.cPlace;
    Trace("WDU: this process keeps to the device at %s\n", gPlace.c_str());
}

// Closes what WDU_Init built, in the order that guarantees no callback runs
// any more: the event thread is joined inside EventUnregister before the
// registration is cancelled and the connection closed.
void releaseDriverCtx(DriverCtx *driver) {
    if (driverFileIsOpen(driver->hDriverFile)) {
        // Teardown goes on whatever the driver answers.
        if (driver->pEventReg != nullptr) (void)EventUnregister(driver->pEventReg);
        driverCloseFile(driver->hDriverFile);
    }
    (void)RemoveAllDevicesFromDevList(driver);
    std::free(driver);
    devListClose();
}

bool isPowerAction(uint32_t action) { return (action & EVENT_POWER_MASK) == action && std::has_single_bit(action); }

void handleAttach(EventRecord *event, DriverCtx *driver) {
    auto *device = static_cast<DeviceCtx *>(std::calloc(1, sizeof(DeviceCtx)));
    if (device == nullptr) {
        Trace("EventHandler: cannot alloc memory\n");
        return;
    }
    device->pDriverCtx = driver;
    device->dwUniqueID = event->dwUniqueID;
    // The device is listed before the callback runs, so that the callback can
    // use the device operations on it.
    if (AddDeviceToDevList(device) != WDU_OK) {
        std::free(device);
        return;
    }
    DeviceCtx *removed = nullptr;
    if (WDU_GetDeviceInfo(device, &device->pDeviceInfo) != WDU_OK) {
        Trace("EventHandler: unable to get device info for device handle 0x%" PRIxPTR " dwUniqueID 0x%x\n",
              address(device), device->dwUniqueID);
        (void)RemoveDeviceFromDevList(device->dwUniqueID, &removed);  // dropped either way
        freeDevice(device);                                           // with the block a failed fetch may have left
        return;
    }
    if (driver->pfAttach(device, device->pDeviceInfo, driver->pUserData) == 0) {
        Trace("EventHandler: bControlDevice==FALSE; pDriverCtx 0x%" PRIxPTR "\n", address(driver));
        (void)RemoveDeviceFromDevList(device->dwUniqueID, &removed);  // dropped either way
        freeDevice(device);
        return;
    }
    rememberPlace(driver->hDriverFile, device->dwUniqueID);
    event->dwOptions |= EVENT_OPT_ACCEPT;
}

void handleDetach(EventRecord *event, DriverCtx *driver) {
    DeviceCtx *device = nullptr;
    if (RemoveDeviceFromDevList(event->dwUniqueID, &device) != WDU_OK) return;
    if (driver->pfDetach != nullptr) driver->pfDetach(device, driver->pUserData);
    freeDevice(device);
}

void handlePower(EventRecord *event, DriverCtx *driver) {
    DeviceCtx *device = nullptr;
    if (FindDeviceByUniqueID(event->dwUniqueID, &device) != WDU_OK) return;
    if (driver->pfPower != nullptr) driver->pfPower(device, event->dwAction, driver->pUserData);
}

}  // namespace

uint32_t WDU_Init(DriverCtx **driverHandle, const MatchEntry *matches, uint32_t matchCount,
                  const EventTable *eventTable, uint32_t options) {
    *driverHandle = kInvalidDriverHandle;
    auto *driver = static_cast<DriverCtx *>(std::calloc(1, sizeof(DriverCtx)));
    if (driver == nullptr) {
        Trace("WDU_Init: cannot malloc memory\n");
        return WDU_ERR_NO_RESOURCES;
    }

    uint32_t status = devListOpen();
    if (status != WDU_OK) {
        releaseDriverCtx(driver);
        return status;
    }

    driver->hDriverFile = driverOpenFile();
    if (!driverFileIsOpen(driver->hDriverFile)) {
        Trace("WDU_Init: cannot open WinDriver device\n");
        releaseDriverCtx(driver);
        return WDU_ERR_SYSTEM;
    }

    VersionRecord version{};
    status = DriverIoctl(IOCTL_VERSION, driver->hDriverFile, &version, sizeof(version), false);
    if (status != WDU_OK || version.dwVersion < kMinimumDriverVersion) {
        Trace("WDU_Init: incorrect WinDriver version\n");
        releaseDriverCtx(driver);
        return status != WDU_OK ? status : WDU_ERR_VERSION;
    }

    if (eventTable != nullptr) {
        driver->pfAttach = eventTable->pfAttach;
        driver->pfDetach = eventTable->pfDetach;
        driver->pfPower = eventTable->pfPower;
        driver->pUserData = eventTable->pUserData;
        driver->pfFailure = eventTable->pfFailure;
    }
    if (driver->pfAttach == nullptr) {
        *driverHandle = driver;
        return WDU_OK;
    }

    // Only the events that have a callback are asked for, so the handler
    // never meets a null callback.
    uint32_t actions = EVENT_ATTACH;
    if (driver->pfDetach != nullptr) actions |= EVENT_DETACH;
    if (driver->pfPower != nullptr) actions |= EVENT_POWER_MASK;
    // Kept to the process's place, if it has one, before any device can be offered.
    const std::string place = placeToKeep();
    if (!place.empty()) {
        PlaceRecord limit{};
        if (place.size() >= sizeof(limit.cPlace)) {
            Trace("WDU_Init: no device can sit at %s\n", place.c_str());
            releaseDriverCtx(driver);
            return WDU_ERR_DEVICE_NOT_FOUND;
        }
        std::memcpy(limit.cPlace, place.data(), place.size());
        status = DriverIoctl(IOCTL_LIMIT_PLACE, driver->hDriverFile, &limit, sizeof(limit), false);
        if (status != WDU_OK) {
            releaseDriverCtx(driver);
            return status;
        }
    }

    EventRecord *record = EventRecordBuild(matches, matchCount, options, actions);
    if (record == nullptr) {
        Trace("WDU_Init: cannot malloc memory\n");
        releaseDriverCtx(driver);
        return WDU_ERR_NO_RESOURCES;
    }

    status = EventRegister(&driver->pEventReg, driver->hDriverFile, record, &EventHandler, driver);
    // Later requests of the registration carry only its handle.
    eventRecordFree(record);
    if (status != WDU_OK) {
        releaseDriverCtx(driver);
        return status;
    }
    *driverHandle = driver;
    return WDU_OK;
}

void WDU_Uninit(DriverCtx *driver) {
    if (driver == nullptr || driver == kInvalidDriverHandle) return;
    releaseDriverCtx(driver);
}

void EventHandler(EventRecord *event, void *argument) {
    auto *driver = static_cast<DriverCtx *>(argument);
    Trace("EventHandler: got event %d handle 0x%x\n", static_cast<int>(event->dwAction), event->hEvent);
    if (event->dwAction == EVENT_ATTACH)
        handleAttach(event, driver);
    else if (event->dwAction == EVENT_DETACH)
        handleDetach(event, driver);
    else if (isPowerAction(event->dwAction))
        handlePower(event, driver);
    else if (event->dwAction == EVENT_BUS_FAILED && driver->pfFailure != nullptr)
        driver->pfFailure(event->dwReserved1[0], driver->pUserData);
}

namespace testing {

std::string keptPlace() {
    std::lock_guard lock(gPlaceMutex);
    return gPlace;
}

void forgetPlace() {
    std::lock_guard lock(gPlaceMutex);
    gPlace.clear();
}

}  // namespace testing

uint32_t WDU_GetDeviceInfo(DeviceCtx *device, DeviceInfo **deviceInfo) {
    *deviceInfo = nullptr;
    uint32_t uniqueId = 0;
    DriverFile file = nullptr;
    if (device == nullptr || getListedDeviceTarget(device, &uniqueId, &file) != WDU_OK) return WDU_ERR_DEVICE_NOT_FOUND;

    DeviceInfoQuery query{};
    query.dwUniqueID = uniqueId;
    uint32_t status = DriverIoctl(IOCTL_DEVICE_INFO, file, &query, sizeof(query), false);
    if (status != WDU_OK) return status;
    // The block is zero-filled; a driver that reports no size still gets a
    // valid (empty) block to fill.
    auto *block = static_cast<DeviceInfo *>(std::calloc(1, query.dwBytes != 0 ? query.dwBytes : 1));
    if (block == nullptr) {
        Trace("WDU_GetDeviceInfo: cannot alloc memory\n");
        return WDU_ERR_NO_RESOURCES;
    }
    *deviceInfo = block;
    query.pBuf = block;
    return DriverIoctl(IOCTL_DEVICE_INFO, file, &query, sizeof(query), false);
}

uint32_t WDU_SetInterface(DeviceCtx *device, uint32_t interfaceNumber, uint32_t alternateSetting) {
    SetInterfaceRecord record{};
    DriverFile file = nullptr;
    if (device == nullptr || getListedDeviceTarget(device, &record.dwUniqueID, &file) != WDU_OK)
        return WDU_ERR_DEVICE_NOT_FOUND;
    record.dwInterfaceNum = interfaceNumber;
    record.dwAlternateSetting = alternateSetting;
    return DriverIoctl(IOCTL_SET_INTERFACE, file, &record, sizeof(record), false);
}

uint32_t WDU_ResetPipe(DeviceCtx *device, uint32_t pipe) {
    ResetPipeRecord record{};
    DriverFile file = nullptr;
    if (device == nullptr || getListedDeviceTarget(device, &record.dwUniqueID, &file) != WDU_OK)
        return WDU_ERR_DEVICE_NOT_FOUND;
    record.dwPipeNum = pipe;
    return DriverIoctl(IOCTL_RESET_PIPE, file, &record, sizeof(record), false);
}

uint32_t WDU_Transfer(DeviceCtx *device, uint32_t pipe, uint32_t read, uint32_t options, void *buffer, uint32_t size,
                      uint32_t *transferred, const uint8_t *setupPacket, uint32_t timeoutMs) {
    TransferRecord record{};
    DriverFile file = nullptr;
    if (device == nullptr || getListedDeviceTarget(device, &record.dwUniqueID, &file) != WDU_OK)
        return WDU_ERR_DEVICE_NOT_FOUND;
    record.dwPipeNum = pipe;
    record.fRead = read;
    record.dwOptions = options;
    record.pBuffer = buffer;
    record.dwBufferSize = size;
    if (setupPacket != nullptr) std::memcpy(record.SetupPacket, setupPacket, sizeof(record.SetupPacket));
    record.dwTimeout = timeoutMs;
    // A transfer blocks for up to its time-out, so it goes on a connection of
    // its own and holds up nothing else.
    const uint32_t status = DriverIoctl(IOCTL_TRANSFER, file, &record, sizeof(record), true);
    if (transferred != nullptr) *transferred = record.dwBytesTransferred;
    return status;
}

}  // namespace usb_transport
