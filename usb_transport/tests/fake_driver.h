// SPDX-License-Identifier: MIT
// A scripted driver for the tests of the event channel, the device manager
// and the transport: it serves the request table from a script (events to
// hand out, idle wakes, device answers, failures) and logs every request, so
// tests can provoke what the real driver never does and check what the
// library sent, in which order and on which connection.
//
// Installing a FakeDriver replaces the driver under the library until it is
// destroyed. One at a time.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "usb_driver/driver.h"
#include "usb_driver/driver_records.h"

namespace usb_transport::test {

struct LoggedRequest {
    uint32_t code = 0;
    uint64_t connection = 0;      // fake connection number
    uint32_t size = 0;            // the size given with the record
    std::vector<uint8_t> record;  // the record as it arrived (a registration: all its entries)
    std::vector<uint8_t> data;    // an OUT transfer's bytes
    std::thread::id thread;
    uint32_t waitStatus = 0;  // IOCTL_WAIT: what it returned (logged when it returns)
};

struct FakeDevice {
    uint8_t interfaceNumber = 0;
    bool present = true;           // false: every request gives kStatusDeviceNotFound
    uint32_t sizeQueryStatus = 0;  // status of the first IOCTL_DEVICE_INFO
    uint32_t fillStatus = 0;       // status of the second one
    uint32_t setInterfaceStatus = 0;
    std::deque<uint32_t> outFailures;               // statuses of the next OUT transfers
    std::deque<uint32_t> inFailures;                // statuses of the next IN transfers
    uint32_t transferredOnFailure = 0;              // bytes a failed transfer reports
    bool failedWritesArrive = false;                // a failed OUT frame still reaches the device
    bool wrongEcho = false;                         // replies echo byte 1 plus one
    std::optional<std::vector<uint8_t>> nextReply;  // the next IN reply, as it is
    std::vector<uint8_t> lastFrame;                 // the last OUT frame received
    // A frame arrived and its reply has not been read: without one (and
    // without nextReply) an IN read times out, as the projector has nothing
    // to send.
    bool replyPending = false;
};

class FakeDriver {
public:
    FakeDriver();
    ~FakeDriver();
    FakeDriver(const FakeDriver &) = delete;
    FakeDriver &operator=(const FakeDriver &) = delete;

    // Script; set before the library uses the driver unless said otherwise.
    bool failOpen = false;
    uint32_t version = 1010;
    uint32_t versionStatus = 0;
    uint32_t registerStatus = 0;
    uint32_t waitEnableStatus = 0;
    // A wait disarmed while pending returns only after a pause, so that a
    // request sent right after the disarming arrives before the wait ends.
    bool slowStop = false;
    // Waits fail with WDU_ERR_NO_DRIVER-like refusal without writing the record.
    bool refuseWaits = false;

    // Hands an event to the registration's wait (any time).
    void pushEvent(uint32_t action, uint32_t uniqueId, uint32_t options = usb_driver::EVENT_OPT_ACKNOWLEDGE);
    // Hands an event to the next registration once it is made (a device
    // present at registration, or a bus that has failed with `status`).
    void pushEventAtNextRegistration(uint32_t action, uint32_t uniqueId, uint32_t status = 0);
    // The next wait returns WAIT_STATUS_IDLE (any time).
    void pushIdleWake();
    FakeDevice &addDevice(uint32_t uniqueId, uint8_t interfaceNumber = 0);
    // Changes a device under the lock (any time).
    void withDevice(uint32_t uniqueId, const std::function<void(FakeDevice &)> &change);

    std::vector<LoggedRequest> requests() const;
    std::vector<LoggedRequest> requests(uint32_t code) const;
    void clearLog();
    int openConnections() const;

    // Blocks until every pushed event and idle wake has been taken and the
    // event thread is back waiting in the driver. False after 10 s.
    bool waitUntilQuiet();
    // Blocks until `done` (called under the lock with the log) holds. False after 10 s.
    bool waitFor(const std::function<bool(const std::vector<LoggedRequest> &)> &done);

    // The function table behind the library (for the static trampolines).
    usb_driver::Connection *open();
    uint32_t ioctl(usb_driver::Connection *connection, uint32_t code, void *record, uint32_t size);
    void close(usb_driver::Connection *connection);

private:
    uint32_t serveLocked(std::unique_lock<std::mutex> &lock, LoggedRequest &entry, void *record);
    uint32_t waitLocked(std::unique_lock<std::mutex> &lock, usb_driver::WaitRecord &record);
    uint32_t deviceInfoLocked(usb_driver::DeviceInfoQuery &query);
    uint32_t transferLocked(usb_driver::TransferRecord &record, LoggedRequest &entry);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<LoggedRequest> log_;
    std::map<uint64_t, bool> connections_;  // open ones
    uint64_t nextConnection_ = 1;
    uint32_t handle_ = 0;  // the registration's handle, 0 when none
    bool armed_ = false;
    int blockedWaits_ = 0;
    struct Event {
        uint32_t action, uniqueId, options;
        uint32_t status = 0;  // EVENT_BUS_FAILED
    };
    std::deque<Event> events_;
    std::deque<Event> eventsAtRegistration_;
    int idleWakes_ = 0;
    std::map<uint32_t, FakeDevice> devices_;
};

// Bytes of a record as a struct.
template <typename Record>
Record recordOf(const LoggedRequest &request) {
    Record record{};
    std::memcpy(&record, request.record.data(), std::min(sizeof record, request.record.size()));
    return record;
}

}  // namespace usb_transport::test
