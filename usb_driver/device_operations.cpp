// SPDX-License-Identifier: MIT
// The device operations of the driver: the information block, interface
// selection, pipe resets and transfers. They run on the callers' threads and
// call the bus without the driver lock.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "driver_core.h"
#include "record_access.h"
#include "usb_driver/driver_status.h"

namespace usb_driver {

uint32_t Driver::target(uint32_t uniqueId, Target &target) {
    std::lock_guard lock(mutex_);
    Device *device = deviceLocked(uniqueId);
    // Offered devices count: the attach handler selects the interface before
    // it answers the offer.
    if (!device || !bus_ || (device->holding != Holding::Offered && device->holding != Holding::Owned))
        return kStatusDeviceNotFound;
    target.bus = bus_;
    target.key = device->key;
    target.model = device->model;
    return kStatusOk;
}

uint32_t Driver::deviceInfo(void *record) {
    const auto uniqueId = load<uint32_t>(record, offsetof(DeviceInfoQuery, dwUniqueID));
    void *buffer = load<void *>(record, offsetof(DeviceInfoQuery, pBuf));
    const auto bytes = load<uint32_t>(record, offsetof(DeviceInfoQuery, dwBytes));
    Target device;
    if (uint32_t status = target(uniqueId, device)) return status;
    const size_t needed = infoBlockSize(*device.model);
    if (!buffer) {
        store<uint32_t>(record, offsetof(DeviceInfoQuery, dwBytes), static_cast<uint32_t>(needed));
        return kStatusOk;
    }
    if (bytes < needed || reinterpret_cast<uintptr_t>(buffer) % alignof(DeviceInfo) != 0) return kStatusBadRecord;
    ActiveAlternates active{};
    {
        std::lock_guard lock(mutex_);
        if (Device *current = deviceLocked(uniqueId)) active = current->active;
    }
    fillInfoBlock(*device.model, active, buffer);
    return kStatusOk;
}

uint32_t Driver::setInterface(void *record) {
    SetInterfaceRecord request;
    std::memcpy(&request, record, sizeof request);
    Target device;
    if (uint32_t status = target(request.dwUniqueID, device)) return status;
    const uint32_t status = device.bus->setInterface(device.key, request.dwInterfaceNum, request.dwAlternateSetting);
    if (status != kStatusOk) return status;
    std::lock_guard lock(mutex_);
    Device *current = deviceLocked(request.dwUniqueID);
    const auto &interfaces = device.model->interfaces;
    for (size_t n = 0; current && n < interfaces.size() && n < current->active.size(); ++n)
        if (interfaces[n].number == request.dwInterfaceNum)
            current->active[n] = static_cast<uint8_t>(request.dwAlternateSetting);
    return kStatusOk;
}

uint32_t Driver::resetPipe(void *record) {
    ResetPipeRecord request;
    std::memcpy(&request, record, sizeof request);
    Target device;
    if (uint32_t status = target(request.dwUniqueID, device)) return status;
    return device.bus->resetPipe(device.key, request.dwPipeNum);
}

uint32_t Driver::transfer(void *record) {
    TransferRecord request;
    std::memcpy(&request, record, sizeof request);
    uint32_t transferred = 0;
    auto finish = [&](uint32_t status) {
        store<uint32_t>(record, offsetof(TransferRecord, dwBytesTransferred), transferred);
        return status;
    };
    if (!request.pBuffer && request.dwBufferSize != 0) return finish(kStatusBadRecord);
    Target device;
    if (uint32_t status = target(request.dwUniqueID, device)) return finish(status);

    TransferRequest bus;
    bus.pipe = request.dwPipeNum;
    bus.buffer = static_cast<uint8_t *>(request.pBuffer);
    bus.length = request.dwBufferSize;
    std::memcpy(bus.setup, request.SetupPacket, sizeof bus.setup);
    bus.timeoutMs = request.dwTimeout;
    if (request.dwPipeNum == 0) {
        // The setup packet says the direction and the data stage's length,
        // which must fit the buffer.
        bus.in = (request.SetupPacket[0] & 0x80) != 0;
        const uint32_t length = request.SetupPacket[6] | request.SetupPacket[7] << 8;
        if (length > request.dwBufferSize) return finish(kStatusBadRecord);
        bus.length = length;
    } else {
        bus.in = (request.dwPipeNum & 0x80) != 0;
        if (request.dwPipeNum > 0xFF || !device.model->hasEndpoint(request.dwPipeNum) || bus.in != (request.fRead != 0))
            return finish(kStatusBadRecord);
    }
    const uint32_t status = device.bus->transfer(device.key, bus, transferred);
    transferred = std::min(transferred, bus.length);
    return finish(status);
}

}  // namespace usb_driver
