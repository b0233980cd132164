// SPDX-License-Identifier: MIT
#include "fake_driver.h"

#include <cassert>
#include <cstring>

#include "driver_requests.h"
#include "usb_driver/driver_status.h"

namespace usb_transport::test {

using namespace usb_driver;

namespace {

FakeDriver *gFake = nullptr;

Connection *fakeOpen() { return gFake->open(); }
uint32_t fakeIoctl(Connection *connection, uint32_t code, void *record, uint32_t size) {
    return gFake->ioctl(connection, code, record, size);
}
void fakeClose(Connection *connection) { gFake->close(connection); }

const DriverFunctions kFakeFunctions = {&fakeOpen, &fakeIoctl, &fakeClose};

constexpr auto kQuietLimit = std::chrono::seconds(10);

uint64_t connectionNumber(Connection *connection) { return reinterpret_cast<uintptr_t>(connection); }

// The information block: DeviceInfo, then its one interface and setting.
struct InfoBlock {
    DeviceInfo info;
    Interface interface;
    AlternateSetting setting;
};

}  // namespace

FakeDriver::FakeDriver() {
    assert(gFake == nullptr);
    gFake = this;
    testing::setDriverFunctions(&kFakeFunctions);
}

FakeDriver::~FakeDriver() {
    testing::setDriverFunctions(nullptr);
    gFake = nullptr;
}

void FakeDriver::pushEvent(uint32_t action, uint32_t uniqueId, uint32_t options) {
    std::lock_guard lock(mutex_);
    events_.push_back({action, uniqueId, options});
    changed_.notify_all();
}

void FakeDriver::pushEventAtNextRegistration(uint32_t action, uint32_t uniqueId, uint32_t status) {
    std::lock_guard lock(mutex_);
    eventsAtRegistration_.push_back({action, uniqueId, EVENT_OPT_ACKNOWLEDGE, status});
}

void FakeDriver::pushIdleWake() {
    std::lock_guard lock(mutex_);
    ++idleWakes_;
    changed_.notify_all();
}

FakeDevice &FakeDriver::addDevice(uint32_t uniqueId, uint8_t interfaceNumber) {
    std::lock_guard lock(mutex_);
    FakeDevice &device = devices_[uniqueId];
    device.interfaceNumber = interfaceNumber;
    return device;
}

void FakeDriver::withDevice(uint32_t uniqueId, const std::function<void(FakeDevice &)> &change) {
    std::lock_guard lock(mutex_);
    change(devices_[uniqueId]);
}

std::vector<LoggedRequest> FakeDriver::requests() const {
    std::lock_guard lock(mutex_);
    return log_;
}

std::vector<LoggedRequest> FakeDriver::requests(uint32_t code) const {
    std::lock_guard lock(mutex_);
    std::vector<LoggedRequest> matching;
    for (const LoggedRequest &request : log_)
        if (request.code == code) matching.push_back(request);
    return matching;
}

void FakeDriver::clearLog() {
    std::lock_guard lock(mutex_);
    log_.clear();
}

int FakeDriver::openConnections() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(connections_.size());
}

bool FakeDriver::waitUntilQuiet() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kQuietLimit,
                             [this] { return events_.empty() && idleWakes_ == 0 && blockedWaits_ > 0; });
}

bool FakeDriver::waitFor(const std::function<bool(const std::vector<LoggedRequest> &)> &done) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kQuietLimit, [&] { return done(log_); });
}

Connection *FakeDriver::open() {
    std::lock_guard lock(mutex_);
    if (failOpen) return nullptr;
    const uint64_t number = nextConnection_++;
    connections_[number] = true;
    return reinterpret_cast<Connection *>(static_cast<uintptr_t>(number));
}

void FakeDriver::close(Connection *connection) {
    std::lock_guard lock(mutex_);
    connections_.erase(connectionNumber(connection));
    if (connections_.empty()) {
        // The last close cancels the registration, as the real driver does.
        handle_ = 0;
        armed_ = false;
    }
    changed_.notify_all();
}

uint32_t FakeDriver::ioctl(Connection *connection, uint32_t code, void *record, uint32_t size) {
    std::unique_lock lock(mutex_);
    LoggedRequest entry;
    entry.code = code;
    entry.connection = connectionNumber(connection);
    entry.size = size;
    entry.thread = std::this_thread::get_id();
    size_t copied = size;
    if (code == IOCTL_EVENT_REGISTER) {
        // Read as the driver does: every entry by the count in the record.
        const auto *event = static_cast<const EventRecord *>(record);
        const uint32_t count = event->dwNumMatchTables;
        copied = count <= 1 ? kEventRecordSize : kEventRecordSize + (count - 1) * sizeof(MatchEntry);
    }
    entry.record.assign(static_cast<const uint8_t *>(record), static_cast<const uint8_t *>(record) + copied);
    if (connections_.count(entry.connection) == 0) return kStatusBadHandle;
    const uint32_t status = serveLocked(lock, entry, record);
    log_.push_back(std::move(entry));
    changed_.notify_all();
    return status;
}

uint32_t FakeDriver::serveLocked(std::unique_lock<std::mutex> &lock, LoggedRequest &entry, void *record) {
    switch (entry.code) {
    case IOCTL_VERSION: static_cast<VersionRecord *>(record)->dwVersion = version; return versionStatus;
    case IOCTL_EVENT_REGISTER:
        if (registerStatus != 0) return registerStatus;
        handle_ = 7;
        static_cast<EventRecord *>(record)->hEvent = handle_;
        events_.insert(events_.end(), eventsAtRegistration_.begin(), eventsAtRegistration_.end());
        eventsAtRegistration_.clear();
        return 0;
    case IOCTL_EVENT_UNREGISTER:
        if (static_cast<EventRecord *>(record)->hEvent != handle_ || handle_ == 0) return kStatusBadHandle;
        handle_ = 0;
        armed_ = false;
        changed_.notify_all();
        return 0;
    case IOCTL_WAIT_ENABLE:
    case IOCTL_WAIT_DISABLE: {
        if (entry.code == IOCTL_WAIT_ENABLE && waitEnableStatus != 0) return waitEnableStatus;
        if (static_cast<WaitRecord *>(record)->hEvent != handle_ || handle_ == 0) return kStatusBadHandle;
        armed_ = entry.code == IOCTL_WAIT_ENABLE;
        changed_.notify_all();
        return 0;
    }
    case IOCTL_WAIT: {
        if (refuseWaits) return kStatusBadHandle;
        const uint32_t status = waitLocked(lock, *static_cast<WaitRecord *>(record));
        entry.waitStatus = static_cast<WaitRecord *>(record)->dwStatus;
        return status;
    }
    case IOCTL_EVENT_PULL: {
        auto *event = static_cast<EventRecord *>(record);
        if (events_.empty() || event->hEvent != handle_) return kStatusBadHandle;
        const Event next = events_.front();
        events_.pop_front();
        event->dwAction = next.action;
        event->dwUniqueID = next.uniqueId;
        event->dwOptions = next.options;
        event->dwReserved1[0] = next.status;
        changed_.notify_all();
        return 0;
    }
    case IOCTL_EVENT_ACK: return 0;
    case IOCTL_DEVICE_INFO: return deviceInfoLocked(*static_cast<DeviceInfoQuery *>(record));
    case IOCTL_SET_INTERFACE: {
        auto it = devices_.find(static_cast<SetInterfaceRecord *>(record)->dwUniqueID);
        if (it == devices_.end() || !it->second.present) return kStatusDeviceNotFound;
        return it->second.setInterfaceStatus;
    }
    case IOCTL_RESET_PIPE: {
        auto it = devices_.find(static_cast<ResetPipeRecord *>(record)->dwUniqueID);
        return it == devices_.end() || !it->second.present ? kStatusDeviceNotFound : 0;
    }
    case IOCTL_TRANSFER: return transferLocked(*static_cast<TransferRecord *>(record), entry);
    default: return kStatusUnknownRequest;
    }
}

uint32_t FakeDriver::waitLocked(std::unique_lock<std::mutex> &lock, WaitRecord &record) {
    const uint32_t handle = record.hEvent;
    ++blockedWaits_;
    changed_.notify_all();
    uint32_t waitStatus = WAIT_STATUS_STOPPED;
    for (;;) {
        if (handle != handle_ || !armed_) {
            if (slowStop) {
                lock.unlock();
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                lock.lock();
            }
            break;
        }
        if (idleWakes_ > 0) {
            --idleWakes_;
            waitStatus = WAIT_STATUS_IDLE;
            break;
        }
        if (!events_.empty()) {
            waitStatus = WAIT_STATUS_PENDING;
            break;
        }
        changed_.wait(lock);
    }
    --blockedWaits_;
    record.dwStatus = waitStatus;
    return 0;
}

uint32_t FakeDriver::deviceInfoLocked(DeviceInfoQuery &query) {
    auto it = devices_.find(query.dwUniqueID);
    if (it == devices_.end() || !it->second.present) return kStatusDeviceNotFound;
    const FakeDevice &device = it->second;
    if (query.pBuf == nullptr) {
        query.dwBytes = sizeof(InfoBlock);
        return device.sizeQueryStatus;
    }
    if (device.fillStatus != 0) return device.fillStatus;
    if (query.dwBytes < sizeof(InfoBlock)) return kStatusBadRecord;
    auto *block = static_cast<InfoBlock *>(query.pBuf);
    std::memset(block, 0, sizeof *block);
    block->info.Descriptor.idVendor = 0xE7A2;
    block->info.Descriptor.idProduct = 0x051E;
    block->info.pActiveInterface[0] = &block->interface;
    block->interface.pAlternateSettings = &block->setting;
    block->interface.dwNumAltSettings = 1;
    block->interface.pActiveAltSetting = &block->setting;
    block->setting.Descriptor.bInterfaceNumber = device.interfaceNumber;
    return 0;
}

uint32_t FakeDriver::transferLocked(TransferRecord &record, LoggedRequest &entry) {
    auto it = devices_.find(record.dwUniqueID);
    if (it == devices_.end() || !it->second.present) {
        record.dwBytesTransferred = 0;
        return kStatusDeviceNotFound;
    }
    FakeDevice &device = it->second;
    const auto *buffer = static_cast<const uint8_t *>(record.pBuffer);
    if (record.fRead == 0) {
        entry.data.assign(buffer, buffer + record.dwBufferSize);
        if (!device.outFailures.empty()) {
            const uint32_t status = device.outFailures.front();
            device.outFailures.pop_front();
            if (device.failedWritesArrive) {
                device.lastFrame = entry.data;
                device.replyPending = true;
            }
            record.dwBytesTransferred = device.transferredOnFailure;
            return status;
        }
        device.lastFrame = entry.data;
        device.replyPending = true;
        record.dwBytesTransferred = record.dwBufferSize;
        return 0;
    }
    if (!device.inFailures.empty()) {
        const uint32_t status = device.inFailures.front();
        device.inFailures.pop_front();
        record.dwBytesTransferred = device.transferredOnFailure;
        return status;
    }
    std::vector<uint8_t> reply;
    if (device.nextReply) {
        reply = *device.nextReply;
        device.nextReply.reset();
    } else if (!device.replyPending) {
        record.dwBytesTransferred = 0;
        return kStatusTimeout;
    } else {
        device.replyPending = false;
        // Answer the last frame as the projector does: a write frame gets 6
        // bytes, a read frame asking for d bytes gets d + 8.
        const std::vector<uint8_t> &frame = device.lastFrame;
        const bool read = frame.size() > 7 && frame[0] == 0x04;
        const uint8_t data = read ? frame[7] : 0;
        reply.assign(read ? data + 8u : 6u, 0);
        reply[0] = frame.empty() ? 0 : frame[0];
        reply[1] = static_cast<uint8_t>((frame.size() > 1 ? frame[1] : 0) + (device.wrongEcho ? 1 : 0));
        reply[3] = read ? static_cast<uint8_t>(data + 2) : 0;
        for (uint32_t i = 0; i < data; ++i) reply[7 + i] = static_cast<uint8_t>(0xA0 + i);
    }
    const uint32_t count = std::min<uint32_t>(reply.size(), record.dwBufferSize);
    if (count != 0) std::memcpy(record.pBuffer, reply.data(), count);
    record.dwBytesTransferred = count;
    return 0;
}

}  // namespace usb_transport::test
