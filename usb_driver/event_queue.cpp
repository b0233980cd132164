// SPDX-License-Identifier: MIT
// The registrations' event queues and waits: pulling and acknowledging
// events, arming, disarming and serving IOCTL_WAIT. See driver_core.h.
#include <algorithm>

#include "driver_core.h"
#include "record_access.h"
#include "usb_driver/driver_status.h"

namespace usb_driver {

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

}  // namespace usb_driver
