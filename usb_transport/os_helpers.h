// SPDX-License-Identifier: MIT
// Event objects and threads for the device manager, the event channel and
// the transport.
//
// An OsEvent is an auto-reset, unnamed event: a signal wakes one waiter (or
// the next one to wait) and is used up by it. The DevList lock and the
// transport's attach event are OsEvents.
#pragma once

#include <cstddef>
#include <cstdint>

namespace usb_transport {

struct OsEvent;
using OsEventHandle = OsEvent *;

// Creates an event that is not signalled. WDU_OK or WDU_ERR_NO_RESOURCES
// (then *event is null).
[[nodiscard]] uint32_t OsEventCreate(OsEventHandle *event);

// Waits at most `seconds` whole seconds for the event and takes its signal.
// WDU_OK when signalled, WDU_ERR_TIMEOUT when the time ran out,
// WDU_ERR_SYSTEM for a null event. Blocks; any thread.
[[nodiscard]] uint32_t OsEventWait(OsEventHandle event, uint32_t seconds);

// Signals the event. WDU_OK, or WDU_ERR_SYSTEM for a null event.
[[nodiscard]] uint32_t OsEventSignal(OsEventHandle event);

// Destroys the event when it is not null. Nobody may wait on it or signal it
// any more.
void OsEventClose(OsEventHandle event);

struct OsThread;
using ThreadHandle = OsThread *;
using ThreadFunction = void (*)(void *argument);

// Starts a thread that runs function(argument) and ends. WDU_OK, or
// WDU_ERR_NO_RESOURCES when the thread cannot be created (then *thread is
// null and nothing is left allocated).
[[nodiscard]] uint32_t ThreadStart(ThreadHandle *thread, ThreadFunction function, void *argument);

// Waits without a time limit for the thread to end, then releases its handle.
// Null is ignored. Must not be called on the thread itself.
void ThreadJoin(ThreadHandle thread);

namespace testing {
// The stack size asked for new threads; 0 restores the default. A size the
// system cannot give makes ThreadStart fail.
void setThreadStackSize(size_t bytes);
}  // namespace testing

}  // namespace usb_transport
