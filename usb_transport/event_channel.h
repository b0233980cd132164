// SPDX-License-Identifier: MIT
// The event channel between the driver and the device manager: a registration
// of an event record with the driver, and one thread per registration that
// sleeps inside the driver until an event is pending, pulls it, hands it to
// the handler and sends it back when the event asks for an acknowledgement.
// The channel knows nothing of devices: it carries records and calls one
// handler with one argument.
#pragma once

#include <atomic>
#include <cstdint>

#include "driver_requests.h"
#include "os_helpers.h"
#include "usb_driver/driver_records.h"

namespace usb_transport {

using usb_driver::EventRecord;
using usb_driver::MatchEntry;
using usb_driver::WaitRecord;

// Runs on the event thread for each pulled event with a non-zero action. It
// may change the record's dwOptions (EVENT_OPT_ACCEPT) before the record goes
// back to the driver.
using EventHandlerFunction = void (*)(EventRecord *event, void *argument);
// What the event thread runs for each pending event.
using WaitCallback = void (*)(void *argument);

// The event thread of one registration and what it needs.
struct WaitThread {
    DriverFile hDriverFile;
    WaitCallback callback;
    void *argument;
    WaitRecord *waitRecord;
    ThreadHandle thread;
    // Set by EventWaitStop before it disarms the wait: a thread whose wait
    // requests no longer reach the driver ends on this instead of spinning.
    std::atomic<bool> stopping;
};

// One registration with the driver.
struct EventReg {
    EventHandlerFunction handler;
    DriverFile hDriverFile;
    void *handlerArgument;
    WaitThread *waitThread;
    WaitRecord waitRecord;
};

// The size of an event record with `matchCount` entries: 68 bytes for up to
// one entry, 10 more for each further one.
uint64_t eventRecordSize(uint32_t matchCount);

// A zero-filled event record with room for `matchCount` entries, record
// version 1 and the entry count set; null when it cannot be allocated.
// Free it with eventRecordFree.
EventRecord *EventRecordAlloc(uint32_t matchCount);

// The registration record for `matchCount` entries of `matches`: bus type
// BUS_USB, the wanted actions `actionMask`, `options`, the entries from byte
// 56. Null when `matches` is null and the count is not 0, when `matches` is
// set and the count is 0, or when it cannot be allocated.
EventRecord *EventRecordBuild(const MatchEntry *matches, uint32_t matchCount, uint32_t options, uint32_t actionMask);

void eventRecordFree(EventRecord *record);

// Registers `record` with the driver on `file` (the driver writes the
// registration handle into it) and starts the event thread, which calls
// handler(event, argument) for each event. Events may arrive before this
// returns. WDU_OK with *registration set; otherwise the driver's status or
// WDU_ERR_NO_RESOURCES, and nothing is left registered or running.
[[nodiscard]] uint32_t EventRegister(EventReg **registration, DriverFile file, EventRecord *record,
                                     EventHandlerFunction handler, void *argument);

// Stops and joins the event thread, then cancels the registration at the
// driver and frees it: no handler runs once this has returned. The status of
// the cancellation; WDU_ERR_INVALID_HANDLE for null. Not on the event thread.
[[nodiscard]] uint32_t EventUnregister(EventReg *registration);

// The event thread's callback: pulls one event and dispatches it. `argument`
// is the EventReg.
void EventPull(void *argument);

// Arms the wait on `waitRecord` and starts the event thread, which runs
// callback(argument) for each pending event. WDU_OK with *waitThread set;
// otherwise the driver's status or WDU_ERR_NO_RESOURCES, with the wait
// disarmed again.
[[nodiscard]] uint32_t EventWaitStart(WaitThread **waitThread, DriverFile file, WaitRecord *waitRecord,
                                      WaitCallback callback, void *argument);

// Disarms the wait, joins the event thread and frees it. The status of the
// disarming; WDU_ERR_INVALID_HANDLE for null. Not on the event thread.
[[nodiscard]] uint32_t EventWaitStop(WaitThread *waitThread);

// The body of the event thread; `argument` is the WaitThread.
void EventWaitLoop(void *argument);

}  // namespace usb_transport
