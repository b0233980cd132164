// SPDX-License-Identifier: MIT
#include "device_list.h"

#include <cstdlib>

#include "qrvusb.h"
#include "trace.h"

namespace usb_transport {

DeviceList DevList = {};

namespace {

uint32_t lock() { return OsEventWait(DevList.hEvent, kDevListLockSeconds); }

// A failed release wins over the operation's own result.
uint32_t unlock(uint32_t result) {
    const uint32_t status = OsEventSignal(DevList.hEvent);
    return status != WDU_OK ? status : result;
}

// The link that points at the first node holding a device with `uniqueId`,
// or null.
DevListNode **findLink(uint32_t uniqueId) {
    for (DevListNode **link = &DevList.pHead; *link != nullptr; link = &(*link)->pNext) {
        if ((*link)->pDevice->dwUniqueID == uniqueId) return link;
    }
    return nullptr;
}

}  // namespace

uint32_t devListOpen() {
    if (++DevList.dwOpenCount != 1) return WDU_OK;
    uint32_t status = OsEventCreate(&DevList.hEvent);
    if (status == WDU_OK) status = OsEventSignal(DevList.hEvent);  // the lock starts free
    return status;
}

void devListClose() {
    if (DevList.dwOpenCount == 0 || --DevList.dwOpenCount != 0) return;
    OsEventClose(DevList.hEvent);
    DevList.hEvent = nullptr;
}

uint32_t AddDeviceToDevList(DeviceCtx *device) {
    const uint32_t status = lock();
    if (status != WDU_OK) return status;
    Trace("AddDeviceToDevList device 0x%" PRIxPTR " before 0x%" PRIxPTR "\n", address(device), address(DevList.pHead));
    auto *node = static_cast<DevListNode *>(std::calloc(1, sizeof(DevListNode)));
    if (node == nullptr) return unlock(WDU_ERR_NO_RESOURCES);
    node->pDevice = device;
    node->pNext = DevList.pHead;
    DevList.pHead = node;
    return unlock(WDU_OK);
}

uint32_t RemoveDeviceFromDevList(uint32_t uniqueId, DeviceCtx **device) {
    *device = nullptr;
    const uint32_t status = lock();
    if (status != WDU_OK) return status;
    Trace("RemoveDeviceFromDevList: DevList 0x%" PRIxPTR ", dwUniqueID 0x%x\n", address(DevList.pHead), uniqueId);
    DevListNode **link = findLink(uniqueId);
    if (link == nullptr) return unlock(WDU_ERR_DEVICE_NOT_FOUND);
    DevListNode *node = *link;
    *link = node->pNext;
    *device = node->pDevice;
    std::free(node);
    return unlock(WDU_OK);
}

uint32_t FindDeviceByUniqueID(uint32_t uniqueId, DeviceCtx **device) {
    *device = nullptr;
    const uint32_t status = lock();
    if (status != WDU_OK) return status;
    Trace("FindDeviceByUniqueID: DevList.pHead 0x%" PRIxPTR ", dwUniqueID 0x%x\n", address(DevList.pHead), uniqueId);
    DevListNode **link = findLink(uniqueId);
    if (link == nullptr) return unlock(WDU_ERR_DEVICE_NOT_FOUND);
    *device = (*link)->pDevice;
    return unlock(WDU_OK);
}

uint32_t RemoveAllDevicesFromDevList(DriverCtx *driver) {
    const uint32_t status = lock();
    if (status != WDU_OK) return status;
    Trace("RemoveAllDevicesFromDevList: pDriverCtx 0x%" PRIxPTR "\n", address(driver));
    DevListNode **link = &DevList.pHead;
    while (*link != nullptr) {
        DevListNode *node = *link;
        if (node->pDevice->pDriverCtx != driver) {
            link = &node->pNext;
            continue;
        }
        *link = node->pNext;
        freeDevice(node->pDevice);
        std::free(node);
    }
    return unlock(WDU_OK);
}

uint32_t IsDeviceInDevList(DeviceCtx *device) { return getListedDeviceTarget(device, nullptr, nullptr); }

uint32_t getListedDeviceTarget(DeviceCtx *device, uint32_t *uniqueId, DriverFile *file) {
    const uint32_t status = lock();
    if (status != WDU_OK) return status;
    for (DevListNode *node = DevList.pHead; node != nullptr; node = node->pNext) {
        if (node->pDevice != device) continue;
        if (uniqueId != nullptr) *uniqueId = device->dwUniqueID;
        if (file != nullptr) *file = device->pDriverCtx->hDriverFile;
        return unlock(WDU_OK);
    }
    return unlock(WDU_ERR_DEVICE_NOT_FOUND);
}

void freeDevice(DeviceCtx *device) {
    if (device == nullptr) return;
    std::free(device->pDeviceInfo);
    std::free(device);
}

}  // namespace usb_transport
