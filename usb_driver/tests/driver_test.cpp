// SPDX-License-Identifier: MIT
// The driver's request table and device hand-out, on a scripted bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <thread>

#include "driver_client.h"
#include "fake_bus.h"

namespace usb_driver::test {
namespace {

constexpr uint16_t kVendor = 0xE7A2, kProduct = 0x051E;
constexpr uint16_t kBootVendor = 0xE7B9, kBootProduct = 0x2000;

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        bus = std::make_shared<FakeBus>();
        destroyed = bus->destroyed;
        std::weak_ptr<FakeBus> weak = bus;
        usb_driver::testing::setBusFactory([weak] { return std::shared_ptr<Bus>(weak.lock()); });
    }
    void TearDown() override {
        usb_driver::testing::setBusFactory({});
        usb_driver::testing::setReportedVersion(0);
    }
    // Registers on `client` for the app ids and waits for the bus to start.
    uint32_t registerApp(Client &client, uint32_t mask = EVENT_ATTACH | EVENT_DETACH,
                         uint32_t options = EVENT_OPT_ACKNOWLEDGE) {
        return client.registerFor({entry(kVendor, kProduct)}, mask, options);
    }
    // Pulls the ATTACH the device of `key` brings to `handle`.
    uint32_t attach(Client &client, uint32_t handle, uint64_t key) {
        bus->arrive(key, kVendor, kProduct);
        EventRecord event = client.next(handle);
        EXPECT_EQ(event.dwAction, EVENT_ATTACH);
        return event.dwUniqueID;
    }

    std::shared_ptr<FakeBus> bus;
    std::shared_ptr<std::atomic<bool>> destroyed;
};

TEST_F(DriverTest, VersionIsAtLeastTheDeviceManagersMinimumAndCanBeOverridden) {
    Client client;
    VersionRecord version{};
    ASSERT_EQ(client.ioctl(IOCTL_VERSION, &version, sizeof version), kStatusOk);
    EXPECT_EQ(version.dwVersion, kDriverVersion);
    EXPECT_GE(version.dwVersion, 603u);
    usb_driver::testing::setReportedVersion(602);
    ASSERT_EQ(client.ioctl(IOCTL_VERSION, &version, sizeof version), kStatusOk);
    EXPECT_EQ(version.dwVersion, 602u);
}

TEST_F(DriverTest, MalformedRequestsGetStatusesNotCrashes) {
    Client client;
    const uint32_t handle = registerApp(client);
    ASSERT_NE(handle, 0u);
    uint8_t big[256] = {};
    struct Case {
        const char *what;
        uint32_t code;
        void *record;
        uint32_t size;
        uint32_t expected;
    } cases[] = {
        {"null version record", IOCTL_VERSION, nullptr, sizeof(VersionRecord), kStatusBadRecord},
        {"short version record", IOCTL_VERSION, big, sizeof(VersionRecord) - 1, kStatusBadRecord},
        {"event record of 78", IOCTL_EVENT_REGISTER, big, 78, kStatusBadRecord},
        {"null event record", IOCTL_EVENT_PULL, nullptr, kEventRecordSize, kStatusBadRecord},
        {"ack of 67", IOCTL_EVENT_ACK, big, 67, kStatusBadRecord},
        {"unregister of 0", IOCTL_EVENT_UNREGISTER, big, 0, kStatusBadRecord},
        {"wait record of 44", IOCTL_WAIT, big, 44, kStatusBadRecord},
        {"wait enable of 68", IOCTL_WAIT_ENABLE, big, 68, kStatusBadRecord},
        {"wait disable null", IOCTL_WAIT_DISABLE, nullptr, sizeof(WaitRecord), kStatusBadRecord},
        {"info query of 12", IOCTL_DEVICE_INFO, big, 12, kStatusBadRecord},
        {"set interface of 12", IOCTL_SET_INTERFACE, big, 12, kStatusBadRecord},
        {"reset pipe of 16", IOCTL_RESET_PIPE, big, 16, kStatusBadRecord},
        {"transfer of 40 bytes short", IOCTL_TRANSFER, big, sizeof(TransferRecord) - 1, kStatusBadRecord},
        {"place record of 32", IOCTL_LIMIT_PLACE, big, 32, kStatusBadRecord},
        {"device place null", IOCTL_DEVICE_PLACE, nullptr, sizeof(PlaceRecord), kStatusBadRecord},
        {"place of a device never seen", IOCTL_DEVICE_PLACE, big, sizeof(PlaceRecord), kStatusDeviceNotFound},
        {"unknown code", 0x95382444, big, sizeof(VersionRecord), kStatusUnknownRequest},
        {"unknown code, null record", 0, nullptr, 0, kStatusUnknownRequest},
    };
    for (const Case &c : cases) EXPECT_EQ(client.ioctl(c.code, c.record, c.size), c.expected) << c.what;
    VersionRecord version{};
    EXPECT_EQ(DriverIoctl(nullptr, IOCTL_VERSION, &version, sizeof version), kStatusBadHandle);

    // Handles the driver never gave out.
    EXPECT_EQ(client.unregister(handle + 1000), kStatusBadHandle);
    EXPECT_EQ(client.arm(handle + 1000), kStatusBadHandle);
    uint32_t status = 0;
    EXPECT_EQ(client.pull(handle + 1000, &status).dwAction, 0u);
    EXPECT_EQ(status, kStatusBadHandle);
    WaitRecord wait{};
    wait.hEvent = handle + 1000;
    EXPECT_EQ(client.ioctl(IOCTL_WAIT, &wait, sizeof wait), kStatusBadHandle);
    EXPECT_EQ(wait.dwStatus, WAIT_STATUS_STOPPED);
}

TEST_F(DriverTest, TooManyMatchEntriesAreRefusedAndTheLimitIsAccepted) {
    Client client;
    std::vector<MatchEntry> entries(kMaxMatchEntries + 1, entry(1, 1));
    uint32_t status = 0;
    EXPECT_EQ(client.registerFor(entries, EVENT_ATTACH, 1, &status), 0u);
    EXPECT_EQ(status, kStatusBadRecord);
    entries.pop_back();
    entries.back() = entry(kVendor, kProduct);  // the last one counts too
    const uint32_t handle = client.registerFor(entries, EVENT_ATTACH, 1, &status);
    ASSERT_EQ(status, kStatusOk);
    EXPECT_NE(attach(client, handle, 7), 0u);
}

TEST_F(DriverTest, EntriesBeyondThe68BytesSentAreRead) {
    Client client;
    // 78 bytes allocated, sent as 68: the matching entry is the second one.
    const uint32_t handle =
        client.registerFor({entry(0x1234, 0x5678), entry(kBootVendor, kBootProduct)}, EVENT_ATTACH, 1);
    ASSERT_NE(handle, 0u);
    bus->arrive(5, kBootVendor, kBootProduct);
    EventRecord event = client.next(handle);
    EXPECT_EQ(event.dwAction, EVENT_ATTACH);
    EXPECT_NE(event.dwUniqueID, 0u);
}

TEST_F(DriverTest, RegistrationHandlesAndUniqueIdsAreNonZeroAndNeverReused) {
    Client client;
    std::vector<uint32_t> handles, ids;
    for (uint64_t key = 1; key <= 3; ++key) {
        const uint32_t handle = registerApp(client);
        handles.push_back(handle);
        ids.push_back(attach(client, handle, key));
        bus->leave(key);
        EXPECT_EQ(client.next(handle).dwAction, EVENT_DETACH);
        ASSERT_EQ(client.unregister(handle), kStatusOk);
    }
    for (auto *list : {&handles, &ids}) {
        EXPECT_EQ(std::count(list->begin(), list->end(), 0u), 0);
        std::sort(list->begin(), list->end());
        EXPECT_EQ(std::adjacent_find(list->begin(), list->end()), list->end());
    }
}

TEST_F(DriverTest, PullWithNothingPendingGivesActionZeroAndNeverAccept) {
    Client client;
    const uint32_t handle = registerApp(client, EVENT_ATTACH, EVENT_OPT_ACKNOWLEDGE | EVENT_OPT_ACCEPT);
    uint32_t status = 1;
    EventRecord event = client.pull(handle, &status);
    EXPECT_EQ(status, kStatusOk);
    EXPECT_EQ(event.dwAction, 0u);
    EXPECT_EQ(event.dwUniqueID, 0u);
    // A registration made with ACCEPT in its options still gets offers that
    // read as declined unless the handler accepts.
    bus->arrive(1, kVendor, kProduct);
    event = client.next(handle);
    EXPECT_EQ(event.dwAction, EVENT_ATTACH);
    EXPECT_EQ(event.dwOptions, EVENT_OPT_ACKNOWLEDGE);
    // Acknowledging action 0 is harmless.
    EventRecord nothing{};
    nothing.hEvent = handle;
    EXPECT_EQ(client.ioctl(IOCTL_EVENT_ACK, &nothing, kEventRecordSize), kStatusOk);
}

TEST_F(DriverTest, DeclinedDeviceGoesToTheNextRegistrationAndStaysFreeForLaterOnes) {
    Client first, second;
    const uint32_t a = registerApp(first);
    const uint32_t b = registerApp(second);
    bus->arrive(9, kVendor, kProduct);

    // The oldest registration is offered the device first; it is opened for it.
    EventRecord offer = first.next(a);
    ASSERT_EQ(offer.dwAction, EVENT_ATTACH);
    const uint32_t id = offer.dwUniqueID;
    EXPECT_EQ(second.pull(b).dwAction, 0u) << "offered to two registrations at once";
    // The attach handler may use the device before it answers.
    EXPECT_EQ(first.setInterface(id, 0, 0), kStatusOk);

    ASSERT_EQ(first.acknowledge(offer, false), kStatusOk);
    EventRecord next = second.next(b);
    ASSERT_EQ(next.dwAction, EVENT_ATTACH);
    EXPECT_EQ(next.dwUniqueID, id) << "the same device keeps its id";
    EXPECT_EQ(bus->read(bus->opens), (std::vector<uint64_t>{9, 9}));
    EXPECT_EQ(bus->read(bus->closes), (std::vector<uint64_t>{9}));

    // Declined by everyone: free, closed, and unusable.
    ASSERT_EQ(second.acknowledge(next, false), kStatusOk);
    EXPECT_EQ(bus->read(bus->closes), (std::vector<uint64_t>{9, 9}));
    EXPECT_EQ(first.setInterface(id, 0, 0), kStatusDeviceNotFound);
    EXPECT_EQ(first.pull(a).dwAction, 0u) << "offered again to a registration that declined it";

    // A registration made later is offered it.
    Client third;
    const uint32_t c = registerApp(third);
    EventRecord late = third.next(c);
    EXPECT_EQ(late.dwAction, EVENT_ATTACH);
    EXPECT_EQ(late.dwUniqueID, id);
    ASSERT_EQ(third.acknowledge(late, true), kStatusOk);
    EXPECT_EQ(third.setInterface(id, 0, 0), kStatusOk);
}

TEST_F(DriverTest, AcceptedDeviceIsNotOfferedToOthers) {
    Client first, second;
    const uint32_t a = registerApp(first);
    const uint32_t id = attach(first, a, 3);
    EventRecord event{};
    event.hEvent = a;
    event.dwAction = EVENT_ATTACH;
    event.dwUniqueID = id;
    ASSERT_EQ(first.acknowledge(event, true), kStatusOk);
    const uint32_t b = registerApp(second);
    EXPECT_EQ(second.pull(b).dwAction, 0u);
    EXPECT_EQ(bus->read(bus->opens).size(), 1u);
    EXPECT_TRUE(bus->read(bus->closes).empty());
}

TEST_F(DriverTest, RegistrationWithoutAcknowledgementTakesTheDeviceAtPull) {
    Client first, second;
    const uint32_t a = registerApp(first, EVENT_ATTACH, 0);
    const uint32_t id = attach(first, a, 4);
    const uint32_t b = registerApp(second);
    EXPECT_EQ(second.pull(b).dwAction, 0u);
    EXPECT_EQ(first.resetPipe(id, 0x81), kStatusOk);
}

TEST_F(DriverTest, DeviceThatCannotBeOpenedIsNotOffered) {
    bus->openStatus[2] = kStatusBusy;
    Client first;
    const uint32_t a = registerApp(first);
    ASSERT_EQ(first.arm(a), kStatusOk);
    bus->arrive(2, kVendor, kProduct);
    // The wait wakes for the arrival but has nothing to report.
    WaitRecord wait{};
    wait.hEvent = a;
    Client waiter;
    waiter.ioctl(IOCTL_WAIT, &wait, sizeof wait);
    EXPECT_EQ(wait.dwStatus, WAIT_STATUS_IDLE);
    EXPECT_EQ(first.pull(a).dwAction, 0u);
    EXPECT_EQ(bus->read(bus->opens), (std::vector<uint64_t>{2}));

    // Free: a later registration gets it once it can be opened.
    bus->openStatus.clear();
    Client second;
    const uint32_t b = registerApp(second);
    EXPECT_EQ(second.next(b).dwAction, EVENT_ATTACH);
}

TEST_F(DriverTest, WaitReportsIdleForChangesAndStoppedWhenDisarmedFromAnotherThread) {
    Client client;
    const uint32_t handle = registerApp(client);
    // Not armed yet: the wait does not block.
    WaitRecord record{};
    record.hEvent = handle;
    Client waiter;
    EXPECT_EQ(waiter.ioctl(IOCTL_WAIT, &record, sizeof record), kStatusBadHandle);
    EXPECT_EQ(record.dwStatus, WAIT_STATUS_STOPPED);

    ASSERT_EQ(client.arm(handle), kStatusOk);
    bus->arrive(1, 0x1111, 0x2222);  // a device nobody wants
    record.dwStatus = 0;
    EXPECT_EQ(waiter.ioctl(IOCTL_WAIT, &record, sizeof record), kStatusOk);
    EXPECT_EQ(record.dwStatus, WAIT_STATUS_IDLE);

    // Nothing changes now: the wait blocks until it is disarmed.
    auto blocked = std::async(std::launch::async, [&] {
        WaitRecord own{};
        own.hEvent = handle;
        Client ownConnection;
        ownConnection.ioctl(IOCTL_WAIT, &own, sizeof own);
        return own.dwStatus;
    });
    ASSERT_EQ(client.arm(handle, false), kStatusOk);
    EXPECT_EQ(blocked.get(), WAIT_STATUS_STOPPED);
    // And every later wait ends at once.
    record.dwStatus = 0;
    waiter.ioctl(IOCTL_WAIT, &record, sizeof record);
    EXPECT_EQ(record.dwStatus, WAIT_STATUS_STOPPED);
}

TEST_F(DriverTest, WaitEndsWhenTheRegistrationIsCancelled) {
    Client client;
    const uint32_t handle = registerApp(client);
    ASSERT_EQ(client.arm(handle), kStatusOk);
    auto blocked = std::async(std::launch::async, [&] {
        WaitRecord own{};
        own.hEvent = handle;
        Client ownConnection;
        ownConnection.ioctl(IOCTL_WAIT, &own, sizeof own);
        return own.dwStatus;
    });
    ASSERT_EQ(client.unregister(handle), kStatusOk);
    EXPECT_EQ(blocked.get(), WAIT_STATUS_STOPPED);
}

TEST_F(DriverTest, DepartureOfAHeldDeviceIsADetachAndItsIdDies) {
    Client client;
    const uint32_t handle = registerApp(client);
    const uint32_t id = attach(client, handle, 11);
    EventRecord accept{};
    accept.hEvent = handle;
    accept.dwAction = EVENT_ATTACH;
    accept.dwUniqueID = id;
    ASSERT_EQ(client.acknowledge(accept, true), kStatusOk);

    bus->leave(11);
    EventRecord detach = client.next(handle);
    EXPECT_EQ(detach.dwAction, EVENT_DETACH);
    EXPECT_EQ(detach.dwUniqueID, id);
    EXPECT_EQ(bus->read(bus->closes), (std::vector<uint64_t>{11}));
    EXPECT_EQ(client.setInterface(id, 0, 0), kStatusDeviceNotFound);
    EXPECT_EQ(client.resetPipe(id, 1), kStatusDeviceNotFound);
    uint32_t status = 0;
    client.deviceInfo(id, &status);
    EXPECT_EQ(status, kStatusDeviceNotFound);
    uint8_t buffer[8];
    uint32_t transferred = 0;
    EXPECT_EQ(Client::transfer(id, 0x81, buffer, sizeof buffer, transferred), kStatusDeviceNotFound);
    EXPECT_EQ(transferred, 0u);

    // Back under a new key: a new device with a new id.
    const uint32_t again = attach(client, handle, 12);
    EXPECT_NE(again, id);
}

TEST_F(DriverTest, DepartureBeforeTheAttachIsPulledWithdrawsItQuietly) {
    Client client;
    const uint32_t handle = registerApp(client);
    ASSERT_EQ(client.arm(handle), kStatusOk);
    bus->arrive(21, kVendor, kProduct);
    // Let the driver open and offer it: the wait sees the pending attach.
    WaitRecord wait{};
    wait.hEvent = handle;
    Client waiter;
    do {
        waiter.ioctl(IOCTL_WAIT, &wait, sizeof wait);
    } while (wait.dwStatus == WAIT_STATUS_IDLE);
    ASSERT_EQ(wait.dwStatus, WAIT_STATUS_PENDING);
    bus->leave(21);
    EXPECT_EQ(client.pull(handle).dwAction, 0u) << "neither the attach nor a detach";
    EXPECT_EQ(bus->read(bus->closes), (std::vector<uint64_t>{21}));
}

TEST_F(DriverTest, DetachGoesOnlyToRegistrationsThatAskedForIt) {
    Client client;
    const uint32_t handle = registerApp(client, EVENT_ATTACH, 0);
    attach(client, handle, 31);
    bus->leave(31);
    EXPECT_EQ(client.pull(handle).dwAction, 0u);
}

TEST_F(DriverTest, UnregisteringReleasesDevicesToOtherRegistrations) {
    Client first, second;
    const uint32_t a = registerApp(first, EVENT_ATTACH, 0);
    const uint32_t b = registerApp(second);
    const uint32_t id = attach(first, a, 41);
    EXPECT_EQ(second.pull(b).dwAction, 0u);
    ASSERT_EQ(first.unregister(a), kStatusOk);
    EventRecord offer = second.next(b);
    EXPECT_EQ(offer.dwAction, EVENT_ATTACH);
    EXPECT_EQ(offer.dwUniqueID, id);
    EXPECT_EQ(bus->read(bus->closes), (std::vector<uint64_t>{41}));
    EXPECT_EQ(first.unregister(a), kStatusBadHandle) << "unregistered twice";
}

TEST_F(DriverTest, ClosingAConnectionCancelsItsRegistrationsAndTheLastOneEndsTheBus) {
    Client keeper;
    {
        Client owner;
        const uint32_t handle = registerApp(owner);
        ASSERT_EQ(owner.arm(handle), kStatusOk);
        attach(owner, handle, 51);
        auto blocked = std::async(std::launch::async, [handle] {
            WaitRecord own{};
            own.hEvent = handle;
            Client ownConnection;
            ownConnection.ioctl(IOCTL_WAIT, &own, sizeof own);
            return own.dwStatus;
        });
        owner.close();
        EXPECT_EQ(blocked.get(), WAIT_STATUS_STOPPED);
        EXPECT_EQ(keeper.pull(handle).dwAction, 0u);
    }
    // The last registration is gone: the bus stopped, the device released.
    EXPECT_EQ(bus->read(bus->stops), 1);
    EXPECT_EQ(bus->read(bus->closes), (std::vector<uint64_t>{51}));
    EXPECT_FALSE(destroyed->load());
    bus.reset();
    keeper.close();
    EXPECT_TRUE(destroyed->load()) << "the driver keeps its bus after the last connection closed";
}

TEST_F(DriverTest, BusThatFailsToStartRefusesTheRegistration) {
    bus->startStatus = kStatusAccessDenied;
    Client client;
    uint32_t status = 0;
    EXPECT_EQ(client.registerFor({entry(kVendor, kProduct)}, EVENT_ATTACH, 1, &status), 0u);
    EXPECT_EQ(status, kStatusAccessDenied);
    bus->startStatus = kStatusOk;
    EXPECT_NE(registerApp(client), 0u);
}

TEST_F(DriverTest, NoBusMeansNoConnection) {
    usb_driver::testing::setBusFactory([] { return std::shared_ptr<Bus>(); });
    EXPECT_EQ(driverOpen(), nullptr);
}

TEST_F(DriverTest, TransferRecordsAreCheckedAndTheCountIsAlwaysWritten) {
    Client client;
    const uint32_t handle = registerApp(client, EVENT_ATTACH, 0);
    const uint32_t id = attach(client, handle, 61);
    uint8_t buffer[64] = {};
    uint32_t transferred = 0;

    struct Case {
        const char *what;
        uint32_t pipe;
        uint32_t read;
        bool nullBuffer;
        uint32_t size;
        uint16_t wLength;
        uint32_t expected;
    } cases[] = {
        {"null buffer with a size", 0x81, 1, true, 8, 0, kStatusBadRecord},
        {"pipe the device does not have", 0x82, 1, false, 8, 0, kStatusBadRecord},
        {"pipe above 0xFF", 0x181, 1, false, 8, 0, kStatusBadRecord},
        {"write on the IN pipe", 0x81, 0, false, 8, 0, kStatusBadRecord},
        {"control data stage longer than the buffer", 0, 1, false, 8, 9, kStatusBadRecord},
    };
    for (const Case &c : cases) {
        Client own;
        TransferRecord record{};
        record.dwUniqueID = id;
        record.dwPipeNum = c.pipe;
        record.fRead = c.read;
        record.pBuffer = c.nullBuffer ? nullptr : buffer;
        record.dwBufferSize = c.size;
        record.SetupPacket[0] = 0x80;
        record.SetupPacket[6] = static_cast<uint8_t>(c.wLength);
        record.dwBytesTransferred = 0xDEADBEEF;
        EXPECT_EQ(own.ioctl(IOCTL_TRANSFER, &record, sizeof record), c.expected) << c.what;
        EXPECT_EQ(record.dwBytesTransferred, 0u) << c.what;
    }
    EXPECT_EQ(bus->read(bus->transfers), 0);

    // A failed transfer still writes the count the bus gives.
    bus->transferStatus = kStatusTimeout;
    bus->transferAnswer = 3;
    EXPECT_EQ(Client::transfer(id, 0x01, buffer, 8, transferred), kStatusTimeout);
    EXPECT_EQ(transferred, 3u);
    // A bus claiming more than was asked is cut to the buffer.
    bus->transferStatus = kStatusOk;
    bus->transferAnswer = 1000;
    EXPECT_EQ(Client::transfer(id, 0x81, buffer, 8, transferred), kStatusOk);
    EXPECT_EQ(transferred, 8u);
    TransferRequest seen = bus->read(bus->lastTransfer);
    EXPECT_TRUE(seen.in);
    EXPECT_EQ(seen.pipe, 0x81u);
    EXPECT_EQ(seen.timeoutMs, 2000u);
    EXPECT_EQ(seen.buffer, buffer);
    EXPECT_EQ(bus->read(bus->lastKey), 61u);
}

TEST_F(DriverTest, TransfersFromManyThreadsAtOnce) {
    Client client;
    const uint32_t handle = registerApp(client, EVENT_ATTACH, 0);
    const uint32_t id = attach(client, handle, 71);
    bus->transferAnswer = 4;
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            uint8_t buffer[4];
            for (int i = 0; i < 50; ++i) {
                uint32_t transferred = 0;
                if (Client::transfer(id, 0x01, buffer, 4, transferred) == kStatusOk && transferred == 4) ++good;
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(good.load(), 200);
    EXPECT_EQ(bus->read(bus->transfers), 200);
}

TEST_F(DriverTest, DeviceInfoRefusesSmallOrMisalignedBuffers) {
    Client client;
    const uint32_t handle = registerApp(client, EVENT_ATTACH, 0);
    const uint32_t id = attach(client, handle, 81);
    DeviceInfoQuery query{};
    query.dwUniqueID = id;
    ASSERT_EQ(client.ioctl(IOCTL_DEVICE_INFO, &query, sizeof query), kStatusOk);
    const uint32_t needed = query.dwBytes;
    ASSERT_GT(needed, sizeof(DeviceInfo));
    std::vector<uint64_t> storage(needed / 8 + 2, 0x5A5A5A5A5A5A5A5Au);
    query.pBuf = storage.data();
    query.dwBytes = needed - 1;
    EXPECT_EQ(client.ioctl(IOCTL_DEVICE_INFO, &query, sizeof query), kStatusBadRecord);
    EXPECT_EQ(storage[0], 0x5A5A5A5A5A5A5A5Au) << "written though refused";
    query.pBuf = reinterpret_cast<uint8_t *>(storage.data()) + 1;
    query.dwBytes = needed;
    EXPECT_EQ(client.ioctl(IOCTL_DEVICE_INFO, &query, sizeof query), kStatusBadRecord);
    query.pBuf = storage.data();
    EXPECT_EQ(client.ioctl(IOCTL_DEVICE_INFO, &query, sizeof query), kStatusOk);
    query.dwUniqueID = id + 100;
    EXPECT_EQ(client.ioctl(IOCTL_DEVICE_INFO, &query, sizeof query), kStatusDeviceNotFound);
}

TEST_F(DriverTest, DeviceWithUnusableDescriptorsIsNeverOffered) {
    Client client;
    const uint32_t handle = registerApp(client);
    ASSERT_EQ(client.arm(handle), kStatusOk);
    BusDevice broken;
    broken.key = 91;
    broken.vendorId = kVendor;
    broken.productId = kProduct;
    broken.deviceDescriptor = simpleDeviceDescriptor(kVendor, kProduct);
    broken.configDescriptor = {9, 2, 9, 0, 1, 1, 0, 0x80, 50};  // no interface at all
    bus->arrive(broken);
    bus->arrive(92, kVendor, kProduct);
    EventRecord event = client.next(handle);
    EXPECT_EQ(event.dwAction, EVENT_ATTACH);
    EXPECT_EQ(bus->read(bus->opens), (std::vector<uint64_t>{92}));
}

PlaceRecord placeRecord(uint32_t uniqueId, const char *place) {
    PlaceRecord record{};
    record.dwUniqueID = uniqueId;
    std::strncpy(record.cPlace, place, sizeof record.cPlace);
    return record;
}

// Two projectors side by side: a registration kept to one place never gets,
// and never makes the bus reach for, the other; its device tells its place.
TEST_F(DriverTest, RegistrationKeptToAPlaceGetsOnlyTheDeviceThere) {
    Client kept, free;
    PlaceRecord limit = placeRecord(0, "1-2");
    ASSERT_EQ(kept.ioctl(IOCTL_LIMIT_PLACE, &limit, sizeof limit), kStatusOk);
    std::memset(limit.cPlace, 'x', sizeof limit.cPlace);
    EXPECT_EQ(free.ioctl(IOCTL_LIMIT_PLACE, &limit, sizeof limit), kStatusBadRecord) << "no terminating NUL";
    const uint32_t handle = registerApp(kept);
    ASSERT_NE(handle, 0u);
    BusListener *listener = bus->currentListener();
    EXPECT_FALSE(listener->wanted(kVendor, kProduct, "1-1"));
    EXPECT_TRUE(listener->wanted(kVendor, kProduct, "1-2"));

    bus->arrive(1, kVendor, kProduct, "1-1");
    bus->arrive(2, kVendor, kProduct, "1-2");
    const EventRecord event = kept.next(handle);
    ASSERT_EQ(event.dwAction, EVENT_ATTACH);
    PlaceRecord where = placeRecord(event.dwUniqueID, "");
    ASSERT_EQ(kept.ioctl(IOCTL_DEVICE_PLACE, &where, sizeof where), kStatusOk);
    EXPECT_STREQ(where.cPlace, "1-2");
    EXPECT_EQ(bus->read(bus->opens), (std::vector<uint64_t>{2}));

    // A registration made without a limit is offered the other one.
    const uint32_t other = registerApp(free);
    EXPECT_EQ(free.next(other).dwAction, EVENT_ATTACH);
    EXPECT_EQ(bus->read(bus->opens), (std::vector<uint64_t>{2, 1}));
}

TEST_F(DriverTest, FailedBusIsOneEventForEveryRegistrationThatWantsAttaches) {
    Client client;
    const uint32_t before = registerApp(client);
    const uint32_t detachOnly = registerApp(client, EVENT_DETACH);
    bus->currentListener()->busFailed(kStatusProtocolError);
    bus->currentListener()->busFailed(kStatusTransferFailed);  // only the first failure counts
    const uint32_t after = registerApp(client);
    for (uint32_t handle : {before, after}) {
        const EventRecord event = client.next(handle);
        EXPECT_EQ(event.dwAction, EVENT_BUS_FAILED);
        EXPECT_EQ(event.dwReserved1[0], kStatusProtocolError);
        EXPECT_EQ(client.pull(handle).dwAction, 0u) << "told once";
    }
    EXPECT_EQ(client.pull(detachOnly).dwAction, 0u);
}

}  // namespace
}  // namespace usb_driver::test
