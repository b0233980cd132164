// SPDX-License-Identifier: MIT
// The devices the bus reports, as the driver deals them out: offering free
// devices to registrations (opening them on the bus), their arrivals and
// departures as the bus reports them, the bus's failure, the claims on their
// places, and the places connections are limited to. See driver_core.h.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "driver_core.h"
#include "record_access.h"
#include "usb_driver/driver_status.h"

namespace usb_driver {

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

}  // namespace usb_driver
