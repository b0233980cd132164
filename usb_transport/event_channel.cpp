// SPDX-License-Identifier: MIT
#include "event_channel.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "qrvusb.h"

namespace usb_transport {

using namespace usb_driver;

namespace {

constexpr uint32_t kMatchEntrySize = sizeof(MatchEntry);
constexpr uint32_t kMatchEntriesOffset = offsetof(EventRecord, matchTables);

// How long the event thread pauses before it asks again when its wait
// request did not get through, so that it does not spin.
constexpr auto kFailedWaitPause = std::chrono::milliseconds(100);

void initEventRecord(EventRecord &record, uint32_t matchCount) {
    record.dwVersion = 1;
    record.dwNumMatchTables = matchCount;
}

}  // namespace

uint64_t eventRecordSize(uint32_t matchCount) {
    if (matchCount <= 1) return kEventRecordSize;
    return kEventRecordSize + uint64_t{kMatchEntrySize} * (matchCount - 1);
}

EventRecord *EventRecordAlloc(uint32_t matchCount) {
    const uint64_t size = eventRecordSize(matchCount);
    if (size > SIZE_MAX) return nullptr;
    auto *record = static_cast<EventRecord *>(std::calloc(1, static_cast<size_t>(size)));
    if (record != nullptr) initEventRecord(*record, matchCount);
    return record;
}

EventRecord *EventRecordBuild(const MatchEntry *matches, uint32_t matchCount, uint32_t options, uint32_t actionMask) {
    if ((matches == nullptr) != (matchCount == 0)) return nullptr;
    EventRecord *record = EventRecordAlloc(matchCount);
    if (record == nullptr) return nullptr;
    record->dwBusType = BUS_USB;
    record->dwAction = actionMask;
    record->dwOptions = options;
    if (matchCount != 0)
        std::memcpy(reinterpret_cast<uint8_t *>(record) + kMatchEntriesOffset, matches,
                    size_t{matchCount} * kMatchEntrySize);
    return record;
}

void eventRecordFree(EventRecord *record) { std::free(record); }

uint32_t EventRegister(EventReg **registration, DriverFile file, EventRecord *record, EventHandlerFunction handler,
                       void *argument) {
    *registration = nullptr;
    auto *reg = new (std::nothrow) EventReg{};
    if (reg == nullptr) return WDU_ERR_NO_RESOURCES;
    reg->handler = handler;
    reg->hDriverFile = file;
    reg->handlerArgument = argument;

    // The driver reads the entries by the count in the record, so the record
    // goes with its fixed size whatever its number of entries.
    uint32_t status = DriverIoctl(IOCTL_EVENT_REGISTER, file, record, kEventRecordSize, false);
    if (status != WDU_OK) {
        delete reg;
        return status;
    }
    reg->waitRecord.hEvent = record->hEvent;

    status = EventWaitStart(&reg->waitThread, file, &reg->waitRecord, &EventPull, reg);
    if (status != WDU_OK) {
        // Undoes the registration; the failure to start is what is reported.
        if (reg->waitRecord.hEvent != 0)
            (void)DriverIoctl(IOCTL_EVENT_UNREGISTER, file, record, kEventRecordSize, false);
        delete reg;
        return status;
    }
    *registration = reg;
    return WDU_OK;
}

uint32_t EventUnregister(EventReg *registration) {
    if (registration == nullptr) return WDU_ERR_INVALID_HANDLE;
    // A one-entry record is small enough to live here, so cancelling cannot
    // fail for want of memory.
    EventRecord record{};
    initEventRecord(record, 1);
    record.hEvent = registration->waitRecord.hEvent;

    // The thread must have ended before the registration is cancelled: then
    // no handler runs after this returns.
    (void)EventWaitStop(registration->waitThread);  // it fails only for a null thread
    const uint32_t status =
        DriverIoctl(IOCTL_EVENT_UNREGISTER, registration->hDriverFile, &record, kEventRecordSize, false);
    delete registration;
    return status;
}

void EventPull(void *argument) {
    auto *reg = static_cast<EventReg *>(argument);
    EventRecord event{};
    initEventRecord(event, 1);
    event.hEvent = reg->waitRecord.hEvent;

    // A pull that fails leaves the record zero: no handler, no acknowledgement.
    (void)DriverIoctl(IOCTL_EVENT_PULL, reg->hDriverFile, &event, kEventRecordSize, false);
    if (event.dwAction != 0) reg->handler(&event, reg->handlerArgument);
    // The driver waits for the answer to every event that asked for one, also
    // for events that were not dispatched.
    if (event.dwOptions & EVENT_OPT_ACKNOWLEDGE)
        (void)DriverIoctl(IOCTL_EVENT_ACK, reg->hDriverFile, &event, kEventRecordSize, false);  // nobody to tell
}

uint32_t EventWaitStart(WaitThread **waitThread, DriverFile file, WaitRecord *waitRecord, WaitCallback callback,
                        void *argument) {
    *waitThread = nullptr;
    auto *thread = new (std::nothrow) WaitThread{};
    if (thread == nullptr) return WDU_ERR_NO_RESOURCES;
    uint32_t status = DriverIoctl(IOCTL_WAIT_ENABLE, file, waitRecord, sizeof(WaitRecord), false);
    if (status != WDU_OK) {
        delete thread;
        return status;
    }
    thread->hDriverFile = file;
    thread->callback = callback;
    thread->argument = argument;
    thread->waitRecord = waitRecord;
    status = ThreadStart(&thread->thread, &EventWaitLoop, thread);
    if (status != WDU_OK) {
        // Undoes the arming; the failure to start is what is reported.
        (void)DriverIoctl(IOCTL_WAIT_DISABLE, file, waitRecord, sizeof(WaitRecord), false);
        delete thread;
        return status;
    }
    *waitThread = thread;
    return WDU_OK;
}

uint32_t EventWaitStop(WaitThread *waitThread) {
    if (waitThread == nullptr) return WDU_ERR_INVALID_HANDLE;
    waitThread->stopping.store(true);
    // The event thread's own record is the driver's to write while the wait
    // is pending; the disarming request carries the same handle in a record
    // of its own.
    WaitRecord disarm{};
    disarm.hEvent = waitThread->waitRecord->hEvent;
    const uint32_t status =
        DriverIoctl(IOCTL_WAIT_DISABLE, waitThread->hDriverFile, &disarm, sizeof(WaitRecord), false);
    ThreadJoin(waitThread->thread);
    delete waitThread;
    return status;
}

void EventWaitLoop(void *argument) {
    auto *thread = static_cast<WaitThread *>(argument);
    WaitRecord *record = thread->waitRecord;
    for (;;) {
        // The wait goes on a connection of its own, so that requests on the
        // context's connection are not held up behind it.
        const uint32_t requestStatus = DriverIoctl(IOCTL_WAIT, thread->hDriverFile, record, sizeof(WaitRecord), true);
        const uint32_t waitStatus = record->dwStatus;
        if (waitStatus == WAIT_STATUS_STOPPED) return;
        if (requestStatus != WDU_OK) {
            // The wait did not get through (no driver, or the driver refused
            // it): the record says nothing new. End when told to, otherwise
            // ask again after a pause.
            if (thread->stopping.load()) return;
            std::this_thread::sleep_for(kFailedWaitPause);
            continue;
        }
        if (waitStatus == WAIT_STATUS_IDLE) continue;
        thread->callback(thread->argument);
    }
}

}  // namespace usb_transport
