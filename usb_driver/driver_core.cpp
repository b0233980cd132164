// SPDX-License-Identifier: MIT
#include "driver_core.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

#include "record_access.h"
#include "usb_driver/driver_status.h"

namespace usb_driver {

bool Driver::Registration::wants(uint16_t vendorId, uint16_t productId, const std::string &where) const {
    if (!(mask & EVENT_ATTACH)) return false;
    if (!place.empty() && place != where) return false;
    // A zero id in an entry matches any id; a registration without entries
    // matches nothing.
    return std::any_of(matches.begin(), matches.end(), [&](const MatchEntry &m) {
        return (m.wVendorId == 0 || m.wVendorId == vendorId) && (m.wProductId == 0 || m.wProductId == productId);
    });
}

Driver &Driver::instance() {
    // Never destroyed: bus threads may still call the listener while the
    // process exits.
    static Driver *driver = new Driver;
    return *driver;
}

// --- connections -----------------------------------------------------------

Connection *Driver::open() {
    std::lock_guard life(lifecycleMutex_);
    std::shared_ptr<Bus> bus;
    {
        std::lock_guard lock(mutex_);
        bus = bus_;
    }
    if (!bus) {
        bus = makeBus();
        if (!bus) return nullptr;
    }
    std::lock_guard lock(mutex_);
    Connection *connection = nullptr;
    if (!freeConnections_.empty()) {
        connection = freeConnections_.back();
        freeConnections_.pop_back();
    } else {
        connection = new (std::nothrow) Connection;
        if (!connection) return nullptr;
        allConnections_.insert(connection);
        freeConnections_.reserve(allConnections_.size());
    }
    bus_ = bus;
    connection->id = nextConnection_++;
    ++openConnections_;
    return connection;
}

uint64_t Driver::connectionIdLocked(Connection *connection) const {
    return allConnections_.count(connection) ? connection->id : 0;
}

void Driver::close(Connection *connection) {
    std::lock_guard life(lifecycleMutex_);
    std::vector<uint32_t> handles;
    {
        std::lock_guard lock(mutex_);
        const uint64_t id = connectionIdLocked(connection);
        if (id == 0) return;
        for (const auto &[handle, registration] : registrations_)
            if (registration.connection == id) handles.push_back(handle);
        connectionPlaces_.erase(id);
        connection->id = 0;
        freeConnections_.push_back(connection);  // capacity reserved: no allocation
        --openConnections_;
    }
    if (!handles.empty()) cancel(handles);
    std::shared_ptr<Bus> last;
    {
        std::lock_guard lock(mutex_);
        if (openConnections_ == 0) last = std::move(bus_);
    }
    // The bus dies here, or with the last device operation still using it.
    last.reset();
}

uint32_t Driver::ioctl(Connection *connection, uint32_t code, void *record, uint32_t size) {
    uint64_t id = 0;
    {
        std::lock_guard lock(mutex_);
        id = connectionIdLocked(connection);
    }
    if (id == 0) return kStatusBadHandle;
    auto fits = [&](size_t expected) { return record != nullptr && size == expected; };
    switch (code) {
    case IOCTL_VERSION:
        if (!fits(sizeof(VersionRecord))) return kStatusBadRecord;
        store<uint32_t>(record, offsetof(VersionRecord, dwVersion), reportedVersion());
        return kStatusOk;
    case IOCTL_EVENT_REGISTER: return fits(kEventRecordSize) ? registerEvents(id, record) : kStatusBadRecord;
    case IOCTL_EVENT_UNREGISTER: return fits(kEventRecordSize) ? unregisterEvents(record) : kStatusBadRecord;
    case IOCTL_EVENT_PULL: return fits(kEventRecordSize) ? pull(record) : kStatusBadRecord;
    case IOCTL_EVENT_ACK: return fits(kEventRecordSize) ? acknowledge(record) : kStatusBadRecord;
    case IOCTL_WAIT_ENABLE: return fits(sizeof(WaitRecord)) ? waitEnable(record, true) : kStatusBadRecord;
    case IOCTL_WAIT_DISABLE: return fits(sizeof(WaitRecord)) ? waitEnable(record, false) : kStatusBadRecord;
    case IOCTL_WAIT: return fits(sizeof(WaitRecord)) ? wait(record) : kStatusBadRecord;
    case IOCTL_DEVICE_INFO: return fits(sizeof(DeviceInfoQuery)) ? deviceInfo(record) : kStatusBadRecord;
    case IOCTL_SET_INTERFACE: return fits(sizeof(SetInterfaceRecord)) ? setInterface(record) : kStatusBadRecord;
    case IOCTL_RESET_PIPE: return fits(sizeof(ResetPipeRecord)) ? resetPipe(record) : kStatusBadRecord;
    case IOCTL_TRANSFER: return fits(sizeof(TransferRecord)) ? transfer(record) : kStatusBadRecord;
    case IOCTL_LIMIT_PLACE: return fits(sizeof(PlaceRecord)) ? limitPlace(id, record) : kStatusBadRecord;
    case IOCTL_DEVICE_PLACE: return fits(sizeof(PlaceRecord)) ? devicePlace(record) : kStatusBadRecord;
    default: return kStatusUnknownRequest;
    }
}

// --- registrations ------------------------------------------------------------

uint32_t Driver::registerEvents(uint64_t connection, void *record) {
    const uint32_t count = load<uint32_t>(record, kMatchCount);
    if (count > kMaxMatchEntries) return kStatusBadRecord;
    Registration registration;
    registration.connection = connection;
    registration.mask = load<uint32_t>(record, kAction);
    registration.options = load<uint32_t>(record, kOptions);
    // The entries run past the 68 bytes the record was sent with: the caller
    // allocated 68 + 10 * (count - 1) bytes.
    registration.matches.resize(count);
    for (uint32_t i = 0; i < count; ++i)
        std::memcpy(&registration.matches[i], static_cast<const uint8_t *>(record) + kMatches + i * sizeof(MatchEntry),
                    sizeof(MatchEntry));

    uint32_t handle = 0;
    {
        std::lock_guard life(lifecycleMutex_);
        std::shared_ptr<Bus> bus;
        bool start = false;
        {
            std::lock_guard lock(mutex_);
            // The connection may have been closed since the request began.
            if (std::none_of(allConnections_.begin(), allConnections_.end(),
                             [&](const Connection *c) { return c->id == connection; }))
                return kStatusBadHandle;
            handle = nextHandle_++;
            registration.handle = handle;
            registration.changesSeen = changes_;
            if (auto place = connectionPlaces_.find(connection); place != connectionPlaces_.end())
                registration.place = place->second;
            Registration &made = registrations_.emplace(handle, std::move(registration)).first->second;
            if (busFailure_ != 0) tellFailureLocked(made);
            bus = bus_;
            start = !started_;
        }
        if (start) {
            const uint32_t status = bus ? bus->start(*this) : kStatusDeviceNotFound;
            std::lock_guard lock(mutex_);
            if (status != kStatusOk) {
                registrations_.erase(handle);
                return status;
            }
            started_ = true;
        }
    }
    store<uint32_t>(record, kHandle, handle);
    service();
    return kStatusOk;
}

uint32_t Driver::unregisterEvents(void *record) {
    const uint32_t handle = load<uint32_t>(record, kHandle);
    std::lock_guard life(lifecycleMutex_);
    {
        std::lock_guard lock(mutex_);
        if (!registrations_.count(handle)) return kStatusBadHandle;
    }
    cancel({handle});
    return kStatusOk;
}

void Driver::cancel(const std::vector<uint32_t> &handles) {
    std::vector<std::pair<uint32_t, uint64_t>> held;
    std::shared_ptr<Bus> bus;
    bool stop = false;
    {
        std::lock_guard lock(mutex_);
        for (uint32_t handle : handles) {
            if (!registrations_.erase(handle)) continue;
            for (auto &[uniqueId, device] : devices_) {
                if (device.holder != handle) continue;
                if (device.holding == Holding::Offered || device.holding == Holding::Owned) {
                    device.holding = Holding::Closing;
                    held.emplace_back(uniqueId, device.key);
                }
                // An Opening device is handled by the thread opening it.
            }
        }
        changed_.notify_all();  // waits of cancelled registrations end
        bus = bus_;
        stop = registrations_.empty() && started_;
    }
    release(bus, held);
    if (!stop) {
        service();
        return;
    }
    if (bus) bus->stop();
    std::lock_guard lock(mutex_);
    // The bus has let go of every device and forgets them; so does the driver.
    // The next bus starts afresh.
    started_ = false;
    busFailure_ = 0;
    devices_.clear();
    byKey_.clear();
    keysToClose_.clear();
}

void Driver::release(const std::shared_ptr<Bus> &bus, const std::vector<std::pair<uint32_t, uint64_t>> &devices) {
    std::vector<std::string> places;
    {
        std::lock_guard lock(mutex_);
        for (const auto &[uniqueId, key] : devices)
            if (const Device *device = deviceLocked(uniqueId)) places.push_back(device->place);
    }
    for (const auto &[uniqueId, key] : devices) {
        if (bus) bus->close(key);
        std::lock_guard lock(mutex_);
        Device *device = deviceLocked(uniqueId);
        if (device && device->holding == Holding::Closing) {
            device->holding = Holding::Free;
            device->holder = 0;
            device->attachPulled = false;
            changedLocked();
        }
    }
    for (const std::string &place : places) dropClaimIfUnused(bus, place);
}

// --- helpers ------------------------------------------------------------------------

Driver::Device *Driver::deviceLocked(uint32_t uniqueId) {
    auto it = devices_.find(uniqueId);
    return it == devices_.end() ? nullptr : &it->second;
}

void Driver::changedLocked() {
    ++changes_;
    changed_.notify_all();
}

}  // namespace usb_driver
