// SPDX-License-Identifier: MIT
// The event channel and the OS helpers against a scripted driver: what is
// pulled, dispatched and acknowledged per wake, the record sizes, and the
// order of teardown.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "event_channel.h"
#include "fake_driver.h"
#include "os_helpers.h"
#include "qrvusb.h"
#include "usb_driver/driver_status.h"

namespace usb_transport::test {
namespace {

using namespace usb_driver;

// Counts handler calls; can accept what it is given.
struct Dispatch {
    std::mutex mutex;
    std::vector<EventRecord> events;
    std::atomic<bool> accept{false};
    std::atomic<bool> closed{false};
    std::atomic<int> callsAfterClose{0};

    static void handle(EventRecord *event, void *argument) {
        auto *self = static_cast<Dispatch *>(argument);
        if (self->closed.load()) ++self->callsAfterClose;
        std::lock_guard lock(self->mutex);
        self->events.push_back(*event);
        if (self->accept) event->dwOptions |= EVENT_OPT_ACCEPT;
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return events.size();
    }
};

size_t indexOf(const std::vector<LoggedRequest> &log, uint32_t code, size_t from = 0) {
    for (size_t i = from; i < log.size(); ++i)
        if (log[i].code == code) return i;
    return log.size();
}

class EventChannel : public ::testing::Test {
protected:
    void SetUp() override {
        file_ = driverOpenFile();
        ASSERT_TRUE(driverFileIsOpen(file_));
        const MatchEntry matches[2] = {{0xE7A2, 0x051E, {}}, {0xE7B9, 0x2000, {1, 2, 3, 4, 5, 6}}};
        record_ = EventRecordBuild(matches, 2, EVENT_OPT_ACKNOWLEDGE, EVENT_ATTACH | EVENT_DETACH);
        ASSERT_NE(record_, nullptr);
    }
    void TearDown() override {
        if (registration_ != nullptr) (void)EventUnregister(registration_);  // tests check it where it matters
        eventRecordFree(record_);
        driverCloseFile(file_);
        testing::setThreadStackSize(0);
        EXPECT_EQ(fake_.openConnections(), 0);
    }
    uint32_t registerChannel() { return EventRegister(&registration_, file_, record_, &Dispatch::handle, &dispatch_); }

    FakeDriver fake_;
    DriverFile file_ = nullptr;
    EventRecord *record_ = nullptr;
    EventReg *registration_ = nullptr;
    Dispatch dispatch_;
};

TEST_F(EventChannel, RegistrationRecordCarriesAllEntriesButIsSentWithSize68) {
    ASSERT_EQ(registerChannel(), WDU_OK);
    const auto registrations = fake_.requests(IOCTL_EVENT_REGISTER);
    ASSERT_EQ(registrations.size(), 1u);
    const LoggedRequest &sent = registrations[0];
    EXPECT_EQ(sent.size, 68u);
    EXPECT_EQ(eventRecordSize(2), 78u);
    // The fake read all 78 bytes of the record; a shorter allocation fails
    // here under AddressSanitizer.
    ASSERT_EQ(sent.record.size(), 78u);
    const auto head = recordOf<EventRecord>(sent);
    EXPECT_EQ(head.hEvent, 0u);
    EXPECT_EQ(head.dwAction, EVENT_ATTACH | EVENT_DETACH);
    EXPECT_EQ(head.dwBusType, BUS_USB);
    EXPECT_EQ(head.dwOptions, EVENT_OPT_ACKNOWLEDGE);
    EXPECT_EQ(head.dwVersion, 1u);
    EXPECT_EQ(head.dwNumMatchTables, 2u);
    const uint8_t entries[20] = {0xA2, 0xE7, 0x1E, 0x05, 0, 0, 0, 0, 0, 0, 0xB9, 0xE7, 0x00, 0x20, 1, 2, 3, 4, 5, 6};
    EXPECT_EQ(std::memcmp(sent.record.data() + 56, entries, sizeof entries), 0);
}

TEST_F(EventChannel, BadMatchArraysBuildNoRecord) {
    const MatchEntry one[1] = {{0xE7A2, 0x051E, {}}};
    EXPECT_EQ(EventRecordBuild(nullptr, 2, 1, 1), nullptr);
    EXPECT_EQ(EventRecordBuild(one, 0, 1, 1), nullptr);
    EventRecord *empty = EventRecordBuild(nullptr, 0, 1, 1);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->dwNumMatchTables, 0u);
    EXPECT_EQ(empty->dwVersion, 1u);
    eventRecordFree(empty);
}

TEST_F(EventChannel, IdleWakesPullNothing) {
    ASSERT_EQ(registerChannel(), WDU_OK);
    for (int i = 0; i < 3; ++i) fake_.pushIdleWake();
    ASSERT_TRUE(fake_.waitUntilQuiet());
    EXPECT_EQ(fake_.requests(IOCTL_EVENT_PULL).size(), 0u);
    EXPECT_EQ(fake_.requests(IOCTL_WAIT).size(), 3u);

    fake_.pushEvent(EVENT_ATTACH, 5);
    ASSERT_TRUE(fake_.waitUntilQuiet());
    EXPECT_EQ(fake_.requests(IOCTL_EVENT_PULL).size(), 1u);
    EXPECT_EQ(dispatch_.count(), 1u);
}

TEST_F(EventChannel, WaitsGoOnConnectionsOfTheirOwn) {
    ASSERT_EQ(registerChannel(), WDU_OK);
    fake_.pushIdleWake();
    fake_.pushEvent(EVENT_ATTACH, 5);
    ASSERT_TRUE(fake_.waitUntilQuiet());
    const uint64_t context = fake_.requests(IOCTL_EVENT_REGISTER).at(0).connection;
    std::vector<uint64_t> seen;
    for (const LoggedRequest &wait : fake_.requests(IOCTL_WAIT)) {
        EXPECT_NE(wait.connection, context);
        seen.push_back(wait.connection);
    }
    EXPECT_EQ(std::set<uint64_t>(seen.begin(), seen.end()).size(), seen.size());
    for (const LoggedRequest &pull : fake_.requests(IOCTL_EVENT_PULL)) EXPECT_EQ(pull.connection, context);
    // The context's connection and the one pending wait.
    EXPECT_EQ(fake_.openConnections(), 2);
}

TEST_F(EventChannel, EachWakePullsOneEvent) {
    ASSERT_EQ(registerChannel(), WDU_OK);
    fake_.pushEvent(EVENT_ATTACH, 5);
    fake_.pushEvent(EVENT_ATTACH, 6);
    fake_.pushEvent(EVENT_DETACH, 5);
    ASSERT_TRUE(fake_.waitUntilQuiet());
    const auto log = fake_.requests();
    size_t pulls = 0;
    bool wokenSinceLastPull = false;
    for (const LoggedRequest &request : log) {
        if (request.code == IOCTL_WAIT && request.waitStatus == WAIT_STATUS_PENDING) wokenSinceLastPull = true;
        if (request.code == IOCTL_EVENT_PULL) {
            EXPECT_TRUE(wokenSinceLastPull) << "two pulls for one wake";
            wokenSinceLastPull = false;
            ++pulls;
        }
    }
    EXPECT_EQ(pulls, 3u);
    std::lock_guard lock(dispatch_.mutex);
    ASSERT_EQ(dispatch_.events.size(), 3u);
    EXPECT_EQ(dispatch_.events[1].dwUniqueID, 6u);
    EXPECT_EQ(dispatch_.events[2].dwAction, EVENT_DETACH);
}

TEST_F(EventChannel, EventWithoutActionIsAcknowledgedButNotDispatched) {
    ASSERT_EQ(registerChannel(), WDU_OK);
    fake_.pushEvent(0, 0, EVENT_OPT_ACKNOWLEDGE);
    ASSERT_TRUE(fake_.waitUntilQuiet());
    EXPECT_EQ(dispatch_.count(), 0u);
    const auto acks = fake_.requests(IOCTL_EVENT_ACK);
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(recordOf<EventRecord>(acks[0]).dwAction, 0u);
    EXPECT_EQ(recordOf<EventRecord>(acks[0]).hEvent, 7u);
}

TEST_F(EventChannel, AcknowledgementCarriesWhatTheHandlerDecided) {
    ASSERT_EQ(registerChannel(), WDU_OK);
    fake_.pushEvent(EVENT_ATTACH, 5, EVENT_OPT_ACKNOWLEDGE);
    ASSERT_TRUE(fake_.waitUntilQuiet());
    dispatch_.accept = true;  // the handler runs on the event thread only after the next push
    fake_.pushEvent(EVENT_ATTACH, 6, EVENT_OPT_ACKNOWLEDGE);
    ASSERT_TRUE(fake_.waitUntilQuiet());
    // Without the option the event is not sent back at all.
    fake_.pushEvent(EVENT_ATTACH, 8, 0);
    ASSERT_TRUE(fake_.waitUntilQuiet());

    const auto acks = fake_.requests(IOCTL_EVENT_ACK);
    ASSERT_EQ(acks.size(), 2u);
    EXPECT_EQ(recordOf<EventRecord>(acks[0]).dwUniqueID, 5u);
    EXPECT_EQ(recordOf<EventRecord>(acks[0]).dwOptions, EVENT_OPT_ACKNOWLEDGE);
    EXPECT_EQ(recordOf<EventRecord>(acks[1]).dwUniqueID, 6u);
    EXPECT_EQ(recordOf<EventRecord>(acks[1]).dwOptions, EVENT_OPT_ACKNOWLEDGE | EVENT_OPT_ACCEPT);
    EXPECT_EQ(dispatch_.count(), 3u);
}

TEST_F(EventChannel, UnregisterJoinsTheThreadBeforeCancelling) {
    // A disarmed wait ends late: cancelling before the join would reach the
    // driver while the thread still waits.
    fake_.slowStop = true;
    ASSERT_EQ(registerChannel(), WDU_OK);
    fake_.pushEvent(EVENT_ATTACH, 5);
    ASSERT_TRUE(fake_.waitUntilQuiet());

    EXPECT_EQ(EventUnregister(registration_), WDU_OK);
    registration_ = nullptr;
    dispatch_.closed = true;

    const auto log = fake_.requests();
    const size_t disarm = indexOf(log, IOCTL_WAIT_DISABLE);
    const size_t cancel = indexOf(log, IOCTL_EVENT_UNREGISTER);
    ASSERT_LT(disarm, log.size());
    ASSERT_LT(cancel, log.size());
    EXPECT_LT(disarm, cancel);
    size_t lastWait = 0;
    for (size_t i = 0; i < log.size(); ++i)
        if (log[i].code == IOCTL_WAIT) lastWait = i;
    EXPECT_EQ(log[lastWait].waitStatus, WAIT_STATUS_STOPPED);
    EXPECT_LT(lastWait, cancel) << "registration cancelled while the event thread was still waiting";
    EXPECT_EQ(recordOf<EventRecord>(log[cancel]).hEvent, 7u);
    EXPECT_EQ(log[cancel].size, 68u);

    fake_.pushEvent(EVENT_ATTACH, 6);
    EXPECT_EQ(dispatch_.callsAfterClose.load(), 0);
}

TEST_F(EventChannel, RefusedRegistrationLeavesNothing) {
    fake_.registerStatus = kStatusBadRecord;
    EXPECT_EQ(registerChannel(), kStatusBadRecord);
    EXPECT_EQ(registration_, nullptr);
    EXPECT_EQ(fake_.requests(IOCTL_WAIT_ENABLE).size(), 0u);
}

TEST_F(EventChannel, RefusedArmingCancelsTheRegistration) {
    fake_.waitEnableStatus = kStatusBadHandle;
    EXPECT_EQ(registerChannel(), kStatusBadHandle);
    EXPECT_EQ(registration_, nullptr);
    const auto cancels = fake_.requests(IOCTL_EVENT_UNREGISTER);
    ASSERT_EQ(cancels.size(), 1u);
    EXPECT_EQ(recordOf<EventRecord>(cancels[0]).hEvent, 7u);
    EXPECT_EQ(fake_.requests(IOCTL_WAIT).size(), 0u);
}

TEST_F(EventChannel, ThreadThatCannotStartDisarmsAndCancels) {
    // No system gives a thread a petabyte of stack.
    testing::setThreadStackSize(size_t{1} << 50);
    EXPECT_EQ(registerChannel(), WDU_ERR_NO_RESOURCES);
    EXPECT_EQ(registration_, nullptr);
    const auto log = fake_.requests();
    const size_t arm = indexOf(log, IOCTL_WAIT_ENABLE);
    const size_t disarm = indexOf(log, IOCTL_WAIT_DISABLE);
    const size_t cancel = indexOf(log, IOCTL_EVENT_UNREGISTER);
    EXPECT_LT(arm, disarm);
    EXPECT_LT(disarm, cancel);
    EXPECT_LT(cancel, log.size());
    EXPECT_EQ(indexOf(log, IOCTL_WAIT), log.size());
}

TEST_F(EventChannel, ThreadStartFailureReturnsNoResources) {
    testing::setThreadStackSize(size_t{1} << 50);
    ThreadHandle thread = reinterpret_cast<ThreadHandle>(1);
    static std::atomic<int> ran{0};
    EXPECT_EQ(ThreadStart(
                  &thread, [](void *) { ++ran; }, nullptr),
              WDU_ERR_NO_RESOURCES);
    EXPECT_EQ(thread, nullptr);
    testing::setThreadStackSize(0);
    ASSERT_EQ(ThreadStart(
                  &thread, [](void *) { ++ran; }, nullptr),
              WDU_OK);
    ThreadJoin(thread);
    EXPECT_EQ(ran.load(), 1);
}

TEST_F(EventChannel, RefusedWaitsDoNotKeepTheThreadFromEnding) {
    fake_.refuseWaits = true;
    ASSERT_EQ(registerChannel(), WDU_OK);
    EXPECT_EQ(EventUnregister(registration_), WDU_OK);
    registration_ = nullptr;
    EXPECT_EQ(fake_.requests(IOCTL_EVENT_PULL).size(), 0u);
}

TEST_F(EventChannel, TeardownOfNothingIsInvalidHandle) {
    EXPECT_EQ(EventUnregister(nullptr), WDU_ERR_INVALID_HANDLE);
    EXPECT_EQ(EventWaitStop(nullptr), WDU_ERR_INVALID_HANDLE);
    EXPECT_TRUE(fake_.requests().empty());
}

TEST(DriverIoctl, ClosedHandleReachesNoDriver) {
    FakeDriver fake;
    WaitRecord record{};
    EXPECT_EQ(DriverIoctl(IOCTL_WAIT_ENABLE, nullptr, &record, sizeof record, false), WDU_ERR_NO_DRIVER);
    EXPECT_EQ(DriverIoctl(IOCTL_WAIT_ENABLE, kInvalidDriverFile, &record, sizeof record, false), WDU_ERR_NO_DRIVER);
    fake.failOpen = true;
    EXPECT_EQ(driverOpenFile(), kInvalidDriverFile);
    EXPECT_EQ(DriverIoctl(IOCTL_WAIT, nullptr, &record, sizeof record, true), WDU_ERR_NO_DRIVER);
    EXPECT_TRUE(fake.requests().empty());
}

TEST(OsEvent, SignalIsTakenByOneWaitOnly) {
    OsEventHandle event = nullptr;
    ASSERT_EQ(OsEventCreate(&event), WDU_OK);
    EXPECT_EQ(OsEventWait(event, 0), WDU_ERR_TIMEOUT);  // created not signalled
    EXPECT_EQ(OsEventSignal(event), WDU_OK);
    EXPECT_EQ(OsEventSignal(event), WDU_OK);  // signals do not count up
    EXPECT_EQ(OsEventWait(event, 0), WDU_OK);
    EXPECT_EQ(OsEventWait(event, 0), WDU_ERR_TIMEOUT);
    OsEventClose(event);
}

TEST(OsEvent, SignalFromAnotherThreadWakesTheWaiter) {
    OsEventHandle event = nullptr;
    ASSERT_EQ(OsEventCreate(&event), WDU_OK);
    std::thread signaller([event] { EXPECT_EQ(OsEventSignal(event), WDU_OK); });
    EXPECT_EQ(OsEventWait(event, 30), WDU_OK);
    signaller.join();
    OsEventClose(event);
}

TEST(OsEvent, NullEventFailsWithSystemStatus) {
    EXPECT_EQ(OsEventWait(nullptr, 0), WDU_ERR_SYSTEM);
    EXPECT_EQ(OsEventSignal(nullptr), WDU_ERR_SYSTEM);
    OsEventClose(nullptr);
}

}  // namespace
}  // namespace usb_transport::test
