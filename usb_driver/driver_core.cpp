// SPDX-License-Identifier: MIT
#include "driver_core.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

#include "record_access.h"
#include "usb_driver/driver_status.h"

namespace usb_driver {
namespace {

constexpr size_t kHandle = offsetof(EventRecord, hEvent);
constexpr size_t kAction = offsetof(EventRecord, dwAction);
constexpr size_t kOptions = offsetof(EventRecord, dwOptions);
constexpr size_t kUniqueId = offsetof(EventRecord, dwUniqueID);
constexpr size_t kMatchCount = offsetof(EventRecord, dwNumMatchTables);
constexpr size_t kMatches = offsetof(EventRecord, matchTables);
constexpr size_t kFailureStatus = offsetof(EventRecord, dwReserved1);

}  // namespace

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

// --- offering -------------------------------------------------------------------

bool Driver::offerLocked(uint32_t &uniqueId, uint32_t &handle) {
    for (const auto &[id, device] : devices_) {
        if (device.holding != Holding::Free) continue;
        for (const auto &[h, registration] : registrations_) {
            if (!registration.wants(device.vendorId, device.productId, device.place) || device.declinedBy.count(h))
                continue;
            uniqueId = id;
            handle = h;
            return true;
        }
    }
    return false;
}

bool Driver::workPendingLocked() {
    uint32_t uniqueId = 0, handle = 0;
    return bus_ && (!keysToClose_.empty() || offerLocked(uniqueId, handle));
}

void Driver::service() {
    for (;;) {
        std::shared_ptr<Bus> bus;
        std::vector<uint64_t> closes;
        uint32_t uniqueId = 0, handle = 0;
        uint64_t key = 0;
        std::string place;
        bool offer = false;
        {
            std::lock_guard lock(mutex_);
            bus = bus_;
            closes.swap(keysToClose_);
            offer = bus && offerLocked(uniqueId, handle);
            if (offer) {
                Device &device = devices_.at(uniqueId);
                device.holding = Holding::Opening;
                device.holder = handle;
                key = device.key;
                place = device.place;
            }
        }
        if (bus)
            for (uint64_t k : closes) bus->close(k);
        if (!offer) return;

        // Claimed before it is opened: nothing reaches a device that another
        // process is updating.
        const place_claim::Scope scope = bus->claimScope();
        place_claim::Holder holder;
        std::string why;
        if (place_claim::take(scope, place, holder, why) != place_claim::Taken::Ours) {
            {
                std::lock_guard lock(mutex_);
                if (Device *device = deviceLocked(uniqueId); device && device->holding == Holding::Opening) {
                    device->holding = Holding::Free;
                    device->holder = 0;
                    device->declinedBy.insert(handle);
                    changedLocked();
                }
            }
            refuseClaimed(scope, place, holder, why, {handle});
            continue;
        }

        const uint32_t status = bus->open(key);
        bool closeAgain = false;
        bool offered = false;
        {
            std::lock_guard lock(mutex_);
            Device *device = deviceLocked(uniqueId);
            auto registration = registrations_.find(handle);
            if (!device) {
                closeAgain = status == kStatusOk;  // it left while being opened
            } else if (status != kStatusOk) {
                // Not offered; it stays free for the other registrations.
                device->holding = Holding::Free;
                device->holder = 0;
                device->declinedBy.insert(handle);
                changedLocked();
            } else if (registration == registrations_.end()) {
                device->holding = Holding::Closing;
                closeAgain = true;
            } else {
                device->holding = Holding::Offered;
                device->attachPulled = false;
                registration->second.queue.push_back(Event{EVENT_ATTACH, uniqueId});
                changed_.notify_all();
                offered = true;
            }
        }
        if (closeAgain) release(bus, {{uniqueId, key}});
        if (!offered) dropClaimIfUnused(bus, place);
    }
}

// --- events and waits -------------------------------------------------------------

uint32_t Driver::pull(void *record) {
    const uint32_t handle = load<uint32_t>(record, kHandle);
    service();
    Event event{0, 0};
    uint32_t options = 0;
    uint32_t status = kStatusOk;
    std::shared_ptr<Bus> taker;  // the bus of a device taken now
    std::string takenAt;
    {
        std::lock_guard lock(mutex_);
        auto it = registrations_.find(handle);
        if (it == registrations_.end()) {
            status = kStatusBadHandle;
        } else {
            Registration &registration = it->second;
            // The pulled options never carry EVENT_OPT_ACCEPT: a handler that
            // declines leaves them as they are, and that must read as a decline.
            options = registration.options & ~EVENT_OPT_ACCEPT;
            if (!registration.queue.empty()) {
                event = registration.queue.front();
                registration.queue.pop_front();
                Device *device = event.action == EVENT_ATTACH ? deviceLocked(event.uniqueId) : nullptr;
                if (device && device->holder == handle && device->holding == Holding::Offered) {
                    device->attachPulled = true;
                    if (!(registration.options & EVENT_OPT_ACKNOWLEDGE)) {
                        device->holding = Holding::Owned;
                        taker = bus_;
                        takenAt = device->place;
                    }
                }
            }
        }
    }
    if (taker) keepClaim(taker, takenAt);
    store<uint32_t>(record, kAction, event.action);
    store<uint32_t>(record, kUniqueId, event.uniqueId);
    store<uint32_t>(record, kOptions, options);
    store<uint32_t>(record, kFailureStatus, event.status);
    return status;
}

uint32_t Driver::acknowledge(void *record) {
    const uint32_t handle = load<uint32_t>(record, kHandle);
    const uint32_t action = load<uint32_t>(record, kAction);
    const uint32_t uniqueId = load<uint32_t>(record, kUniqueId);
    const uint32_t options = load<uint32_t>(record, kOptions);
    std::shared_ptr<Bus> bus;
    uint64_t key = 0;
    std::string place;
    {
        std::lock_guard lock(mutex_);
        if (!registrations_.count(handle)) return kStatusBadHandle;
        if (action != EVENT_ATTACH) return kStatusOk;  // nothing to answer
        Device *device = deviceLocked(uniqueId);
        if (!device || device->holder != handle) return kStatusDeviceNotFound;
        if (device->holding == Holding::Owned) return kStatusOk;
        if (device->holding != Holding::Offered || !device->attachPulled) return kStatusDeviceNotFound;
        bus = bus_;
        place = device->place;
        if (options & EVENT_OPT_ACCEPT) {
            device->holding = Holding::Owned;
        } else {
            device->declinedBy.insert(handle);
            device->holding = Holding::Closing;
            key = device->key;
        }
    }
    if (options & EVENT_OPT_ACCEPT) {
        keepClaim(bus, place);
        return kStatusOk;
    }
    release(bus, {{uniqueId, key}});
    service();  // offer it to the next registration
    return kStatusOk;
}

uint32_t Driver::waitEnable(void *record, bool enable) {
    // Reads the handle only: the same record may be inside a blocked IOCTL_WAIT.
    const uint32_t handle = load<uint32_t>(record, offsetof(WaitRecord, hEvent));
    std::lock_guard lock(mutex_);
    auto it = registrations_.find(handle);
    if (it == registrations_.end()) return kStatusBadHandle;
    it->second.armed = enable;
    if (enable)
        it->second.changesSeen = changes_;
    else
        changed_.notify_all();
    return kStatusOk;
}

uint32_t Driver::wait(void *record) {
    const uint32_t handle = load<uint32_t>(record, offsetof(WaitRecord, hEvent));
    uint32_t waitStatus = WAIT_STATUS_STOPPED;
    uint32_t status = kStatusOk;
    bool first = true;
    std::unique_lock lock(mutex_);
    for (;;) {
        auto it = registrations_.find(handle);
        if (it == registrations_.end()) {
            // A cancelled registration's wait ends quietly; an unknown handle
            // is refused.
            const bool known = handle != 0 && handle < nextHandle_;
            status = first && !known ? kStatusBadHandle : kStatusOk;
            break;
        }
        if (!it->second.armed) {
            // Disarmed while waiting: stopped. Never armed: refused, stopped too
            // so that a waiting loop ends.
            status = first ? kStatusBadHandle : kStatusOk;
            break;
        }
        first = false;
        Registration &registration = it->second;
        if (!registration.queue.empty()) {
            waitStatus = WAIT_STATUS_PENDING;
            break;
        }
        if (workPendingLocked()) {
            lock.unlock();
            service();
            lock.lock();
            continue;
        }
        if (registration.changesSeen != changes_) {
            // Devices changed but nothing is for this registration.
            registration.changesSeen = changes_;
            waitStatus = WAIT_STATUS_IDLE;
            break;
        }
        changed_.wait(lock);
    }
    lock.unlock();
    store<uint32_t>(record, offsetof(WaitRecord, dwStatus), waitStatus);
    return status;
}

// --- bus listener -------------------------------------------------------------------

bool Driver::wanted(uint16_t vendorId, uint16_t productId, const std::string &place) {
    std::vector<uint32_t> wanting;
    std::shared_ptr<Bus> bus;
    {
        std::lock_guard lock(mutex_);
        for (const auto &[handle, registration] : registrations_)
            if (registration.wants(vendorId, productId, place)) wanting.push_back(handle);
        bus = bus_;
    }
    if (wanting.empty() || !bus) return !wanting.empty();
    // Asked before the bus reaches for it: a device that another process is
    // updating is not even imported.
    const place_claim::Scope scope = bus->claimScope();
    place_claim::Holder holder;
    if (!place_claim::heldElsewhere(scope, place, holder)) return true;
    refuseClaimed(scope, place, holder, {}, wanting);
    return false;
}

void Driver::deviceArrived(const BusDevice &arrived) {
    auto model = parseDescriptors(arrived.deviceDescriptor, arrived.configDescriptor);
    if (!model) return;  // a device that cannot be described is never offered
    auto shared = std::make_shared<const DeviceModel>(std::move(*model));
    std::lock_guard lock(mutex_);
    if (byKey_.count(arrived.key)) return;
    Device device;
    device.uniqueId = nextUniqueId_++;
    device.key = arrived.key;
    device.vendorId = arrived.vendorId;
    device.productId = arrived.productId;
    device.place = arrived.place.substr(0, kMaxPlaceLength);
    device.model = std::move(shared);
    byKey_[arrived.key] = device.uniqueId;
    devices_.emplace(device.uniqueId, std::move(device));
    changedLocked();
}

void Driver::deviceLeft(uint64_t key) {
    std::shared_ptr<Bus> bus;
    std::string place;
    {
        std::lock_guard lock(mutex_);
        if (!departLocked(key, place)) return;
        bus = bus_;
    }
    dropClaimIfUnused(bus, place);
}

bool Driver::departLocked(uint64_t key, std::string &place) {
    auto byKey = byKey_.find(key);
    if (byKey == byKey_.end()) return false;
    const uint32_t uniqueId = byKey->second;
    byKey_.erase(byKey);
    auto it = devices_.find(uniqueId);
    if (it == devices_.end()) return false;
    Device &device = it->second;
    if (device.holding == Holding::Offered || device.holding == Holding::Owned) {
        auto registration = registrations_.find(device.holder);
        if (registration != registrations_.end()) {
            auto &queue = registration->second.queue;
            auto attach = std::find_if(queue.begin(), queue.end(), [&](const Event &e) {
                return e.action == EVENT_ATTACH && e.uniqueId == uniqueId;
            });
            if (attach != queue.end())
                queue.erase(attach);  // never told of it: nothing to detach
            else if (registration->second.mask & EVENT_DETACH)
                queue.push_back(Event{EVENT_DETACH, uniqueId});
        }
        keysToClose_.push_back(key);
    }
    // Opening and Closing devices are closed by the thread working on them.
    place = device.place;
    devices_.erase(it);
    changedLocked();
    return true;
}

void Driver::busFailed(uint32_t status) {
    std::lock_guard lock(mutex_);
    if (busFailure_ != 0 || status == kStatusOk) return;
    busFailure_ = status;
    for (auto &[handle, registration] : registrations_) tellFailureLocked(registration);
    changedLocked();
}

void Driver::tellFailureLocked(Registration &registration) {
    if (!(registration.mask & EVENT_ATTACH)) return;
    registration.queue.push_back(Event{EVENT_BUS_FAILED, 0, busFailure_});
    changed_.notify_all();
}

// --- claims -------------------------------------------------------------------------

void Driver::refuseClaimed(const place_claim::Scope &scope, const std::string &place, const place_claim::Holder &holder,
                           const std::string &why, const std::vector<uint32_t> &handles) {
    bool told = false;
    {
        std::lock_guard lock(mutex_);
        for (uint32_t handle : handles) {
            auto it = registrations_.find(handle);
            if (it == registrations_.end() || it->second.toldBusy || !(it->second.mask & EVENT_ATTACH)) continue;
            it->second.toldBusy = true;
            it->second.queue.push_back(Event{EVENT_BUS_FAILED, 0, kStatusBusy});
            told = true;
        }
        if (told) changed_.notify_all();
    }
    if (!told) return;
    if (why.empty())
        std::fprintf(stderr, "tz4817: %s\n", place_claim::busyText(scope, place, holder).c_str());
    else
        std::fprintf(stderr, "tz4817: the projector at %s %s %s cannot be claimed for this update: %s\n", place.c_str(),
                     scope.server ? "of" : "on", scope.name.c_str(), why.c_str());
}

void Driver::keepClaim(const std::shared_ptr<Bus> &bus, const std::string &place) {
    if (!bus) return;
    const place_claim::Scope scope = bus->claimScope();
    if (scope.key.empty()) return;
    std::lock_guard lock(mutex_);
    keptClaims_.insert(scope.key + '\n' + place);
}

void Driver::dropClaimIfUnused(const std::shared_ptr<Bus> &bus, const std::string &place) {
    if (!bus) return;
    const place_claim::Scope scope = bus->claimScope();
    if (scope.key.empty()) return;
    // Under the lock: a device being offered at the place meanwhile keeps it.
    std::lock_guard lock(mutex_);
    if (keptClaims_.count(scope.key + '\n' + place)) return;
    for (const auto &[uniqueId, device] : devices_)
        if (device.place == place && device.holding != Holding::Free) return;
    place_claim::release(scope, place);
}

// --- places -------------------------------------------------------------------------

uint32_t Driver::limitPlace(uint64_t connection, void *record) {
    PlaceRecord request;
    std::memcpy(&request, record, sizeof request);
    const size_t length = strnlen(request.cPlace, sizeof request.cPlace);
    if (length == sizeof request.cPlace) return kStatusBadRecord;  // no terminating NUL
    std::lock_guard lock(mutex_);
    if (length == 0)
        connectionPlaces_.erase(connection);
    else
        connectionPlaces_[connection].assign(request.cPlace, length);
    return kStatusOk;
}

uint32_t Driver::devicePlace(void *record) {
    const auto uniqueId = load<uint32_t>(record, offsetof(PlaceRecord, dwUniqueID));
    char place[kPlaceSize] = {};
    {
        std::lock_guard lock(mutex_);
        const Device *device = deviceLocked(uniqueId);
        if (!device || (device->holding != Holding::Offered && device->holding != Holding::Owned))
            return kStatusDeviceNotFound;
        std::memcpy(place, device->place.data(), std::min(device->place.size(), sizeof place - 1));
    }
    std::memcpy(static_cast<uint8_t *>(record) + offsetof(PlaceRecord, cPlace), place, sizeof place);
    return kStatusOk;
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
