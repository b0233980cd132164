// SPDX-License-Identifier: MIT
#include "os_helpers.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>

#include "platform.h"
#include "qrvusb.h"

namespace usb_transport {

struct OsEvent {
    std::mutex mutex;
    std::condition_variable signalled;
    bool set = false;
};

uint32_t OsEventCreate(OsEventHandle *event) {
    *event = new (std::nothrow) OsEvent;
    return *event != nullptr ? WDU_OK : WDU_ERR_NO_RESOURCES;
}

uint32_t OsEventWait(OsEventHandle event, uint32_t seconds) {
    if (event == nullptr) return WDU_ERR_SYSTEM;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::unique_lock lock(event->mutex);
    if (!event->signalled.wait_until(lock, deadline, [event] { return event->set; })) return WDU_ERR_TIMEOUT;
    event->set = false;
    return WDU_OK;
}

uint32_t OsEventSignal(OsEventHandle event) {
    if (event == nullptr) return WDU_ERR_SYSTEM;
    {
        std::lock_guard lock(event->mutex);
        event->set = true;
    }
    event->signalled.notify_one();
    return WDU_OK;
}

void OsEventClose(OsEventHandle event) { delete event; }

namespace {

// The event thread only waits inside the driver and runs the callbacks; a
// megabyte is ample for that, also in sanitizer builds, and well above the
// platform minimum.
constexpr size_t kDefaultStackSize = 1024 * 1024;
std::atomic<size_t> gStackSize{kDefaultStackSize};

// What the new thread needs to start; it frees the record before it runs.
struct ThreadStartRecord {
    ThreadFunction function;
    void *argument;
};

void *threadEntry(void *raw) {
    auto *start = static_cast<ThreadStartRecord *>(raw);
    const ThreadFunction function = start->function;
    void *argument = start->argument;
    std::free(start);
    function(argument);
    return nullptr;
}

}  // namespace

struct OsThread {
    pthread_t thread;
};

uint32_t ThreadStart(ThreadHandle *thread, ThreadFunction function, void *argument) {
    *thread = nullptr;
    auto *start = static_cast<ThreadStartRecord *>(std::calloc(1, sizeof(ThreadStartRecord)));
    auto *handle = static_cast<OsThread *>(std::calloc(1, sizeof(OsThread)));
    if (start == nullptr || handle == nullptr) {
        std::free(start);
        std::free(handle);
        return WDU_ERR_NO_RESOURCES;
    }
    start->function = function;
    start->argument = argument;

    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        std::free(start);
        std::free(handle);
        return WDU_ERR_NO_RESOURCES;
    }
    const size_t stackSize = std::max<size_t>(gStackSize.load(), platform::minimumThreadStack());
    int error = pthread_attr_setstacksize(&attributes, stackSize);
    if (error == 0) error = pthread_create(&handle->thread, &attributes, &threadEntry, start);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        std::free(start);
        std::free(handle);
        return WDU_ERR_NO_RESOURCES;
    }
    *thread = handle;
    return WDU_OK;
}

void ThreadJoin(ThreadHandle thread) {
    if (thread == nullptr) return;
    pthread_join(thread->thread, nullptr);
    std::free(thread);
}

namespace testing {

void setThreadStackSize(size_t bytes) { gStackSize.store(bytes != 0 ? bytes : kDefaultStackSize); }

}  // namespace testing
}  // namespace usb_transport
