// SPDX-License-Identifier: MIT
// Test helpers that talk to the driver as the device manager does: through
// driverOpen/DriverIoctl/driverClose with records filled by hand.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "usb_driver/driver.h"

namespace usb_driver::test {

// A registration record for `entries`, allocated exactly as the device
// manager allocates it: 68 bytes for up to one entry, 68 + 10 * (n - 1) for
// more. Sent with size 68 whatever its length.
inline std::vector<uint8_t> registrationRecord(const std::vector<MatchEntry> &entries, uint32_t mask,
                                               uint32_t options) {
    const size_t n = entries.size();
    std::vector<uint8_t> bytes(n > 1 ? kEventRecordSize + 10 * (n - 1) : kEventRecordSize, 0);
    EventRecord head{};
    head.dwAction = mask;
    head.dwBusType = BUS_USB;
    head.dwOptions = options;
    head.dwVersion = 1;
    head.dwNumMatchTables = static_cast<uint32_t>(n);
    std::memcpy(bytes.data(), &head, offsetof(EventRecord, matchTables));
    if (n) std::memcpy(bytes.data() + offsetof(EventRecord, matchTables), entries.data(), n * sizeof(MatchEntry));
    return bytes;
}

inline MatchEntry entry(uint16_t vendor, uint16_t product) { return MatchEntry{vendor, product, {}}; }

// One connection, closed at the end of its scope.
class Client {
public:
    Client() : connection_(driverOpen()) {}
    ~Client() { close(); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    Connection *get() const { return connection_; }
    void close() {
        driverClose(connection_);
        connection_ = nullptr;
    }
    uint32_t ioctl(uint32_t code, void *record, uint32_t size) { return DriverIoctl(connection_, code, record, size); }

    // Registers; the handle, or 0 when the driver refused (status in `status`).
    uint32_t registerFor(const std::vector<MatchEntry> &entries, uint32_t mask = EVENT_ATTACH | EVENT_DETACH,
                         uint32_t options = EVENT_OPT_ACKNOWLEDGE, uint32_t *status = nullptr) {
        std::vector<uint8_t> record = registrationRecord(entries, mask, options);
        const uint32_t result = ioctl(IOCTL_EVENT_REGISTER, record.data(), kEventRecordSize);
        if (status) *status = result;
        EventRecord head;
        std::memcpy(&head, record.data(), sizeof head.hEvent);
        return result == kStatusOk ? head.hEvent : 0;
    }

    uint32_t unregister(uint32_t handle) {
        EventRecord record{};
        record.hEvent = handle;
        return ioctl(IOCTL_EVENT_UNREGISTER, &record, kEventRecordSize);
    }

    uint32_t arm(uint32_t handle, bool on = true) {
        WaitRecord record{};
        record.hEvent = handle;
        return ioctl(on ? IOCTL_WAIT_ENABLE : IOCTL_WAIT_DISABLE, &record, sizeof record);
    }

    EventRecord pull(uint32_t handle, uint32_t *status = nullptr) {
        EventRecord record{};
        record.hEvent = handle;
        record.dwVersion = 1;
        record.dwNumMatchTables = 1;
        const uint32_t result = ioctl(IOCTL_EVENT_PULL, &record, kEventRecordSize);
        if (status) *status = result;
        return record;
    }

    uint32_t acknowledge(EventRecord event, bool accept) {
        if (accept) event.dwOptions |= EVENT_OPT_ACCEPT;
        return ioctl(IOCTL_EVENT_ACK, &event, kEventRecordSize);
    }

    // Waits until an event is pending (IDLE wakes are waited through) and
    // pulls it; an event with action 0 when the wait stopped.
    // Arms the wait first.
    EventRecord next(uint32_t handle) {
        EXPECT_EQ(arm(handle), kStatusOk);
        Client waiter;  // IOCTL_WAIT goes on a connection of its own
        for (;;) {
            WaitRecord record{};
            record.hEvent = handle;
            waiter.ioctl(IOCTL_WAIT, &record, sizeof record);
            if (record.dwStatus == WAIT_STATUS_STOPPED) return EventRecord{};
            if (record.dwStatus != WAIT_STATUS_IDLE) return pull(handle);
        }
    }

    std::vector<uint8_t> deviceInfo(uint32_t uniqueId, uint32_t *status = nullptr) {
        DeviceInfoQuery query{};
        query.dwUniqueID = uniqueId;
        uint32_t result = ioctl(IOCTL_DEVICE_INFO, &query, sizeof query);
        std::vector<uint8_t> block;
        if (result == kStatusOk) {
            // operator new aligns for any record, as malloc does.
            block.resize(query.dwBytes);
            query.pBuf = block.data();
            result = ioctl(IOCTL_DEVICE_INFO, &query, sizeof query);
        }
        if (status) *status = result;
        return block;
    }

    uint32_t setInterface(uint32_t uniqueId, uint32_t interface, uint32_t alternate) {
        SetInterfaceRecord record{uniqueId, interface, alternate, 0};
        return ioctl(IOCTL_SET_INTERFACE, &record, sizeof record);
    }

    uint32_t resetPipe(uint32_t uniqueId, uint32_t pipe) {
        ResetPipeRecord record{uniqueId, pipe, 0};
        return ioctl(IOCTL_RESET_PIPE, &record, sizeof record);
    }

    // A transfer on a connection of its own, as the device manager sends it.
    static uint32_t transfer(uint32_t uniqueId, uint32_t pipe, uint8_t *buffer, uint32_t size, uint32_t &transferred,
                             uint32_t timeoutMs = 2000) {
        Client own;
        TransferRecord record{};
        record.dwUniqueID = uniqueId;
        record.dwPipeNum = pipe;
        record.fRead = (pipe & 0x80) ? 1 : 0;
        record.pBuffer = buffer;
        record.dwBufferSize = size;
        record.dwBytesTransferred = 0xDEADBEEF;
        record.dwTimeout = timeoutMs;
        const uint32_t status = own.ioctl(IOCTL_TRANSFER, &record, sizeof record);
        transferred = record.dwBytesTransferred;
        return status;
    }

private:
    Connection *connection_;
};

// The block stays inside itself: every pointer of the records a reader
// follows points into [block, block + size).
inline bool pointsInside(const std::vector<uint8_t> &block, const void *pointer, size_t bytes) {
    auto *p = static_cast<const uint8_t *>(pointer);
    return p >= block.data() && p + bytes <= block.data() + block.size();
}

}  // namespace usb_driver::test
