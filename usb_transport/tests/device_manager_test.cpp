// SPDX-License-Identifier: MIT
// The device manager against a scripted driver: the version check, the
// registration it makes, what each event does to DevList and the callbacks,
// the device operations' records, and teardown.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "device_list.h"
#include "device_manager.h"
#include "fake_driver.h"
#include "qrvusb.h"
#include "usb_driver/driver_status.h"
#include "usb_standard/usb_standard.h"

namespace usb_transport::test {
namespace {

using namespace usb_driver;

const MatchEntry kMatches[2] = {{0xE7A2, 0x051E, {}}, {0xE7B9, 0x2000, {}}};

// What the callbacks saw.
struct Callbacks {
    std::mutex mutex;
    std::vector<DeviceCtx *> attached;
    std::vector<DeviceCtx *> detached;
    std::vector<std::pair<DeviceCtx *, uint32_t>> power;
    std::vector<int> interfaceNumbers;
    std::atomic<bool> take{true};

    static uint32_t onAttach(DeviceCtx *device, DeviceInfo *info, void *user) {
        auto *self = static_cast<Callbacks *>(user);
        std::lock_guard lock(self->mutex);
        self->attached.push_back(device);
        self->interfaceNumbers.push_back(info->pActiveInterface[0]->pActiveAltSetting->Descriptor.bInterfaceNumber);
        return self->take.load() ? 1 : 0;
    }
    static void onDetach(DeviceCtx *device, void *user) {
        auto *self = static_cast<Callbacks *>(user);
        std::lock_guard lock(self->mutex);
        self->detached.push_back(device);
    }
    static uint32_t onPower(DeviceCtx *device, uint32_t action, void *user) {
        auto *self = static_cast<Callbacks *>(user);
        std::lock_guard lock(self->mutex);
        self->power.emplace_back(device, action);
        return 0;
    }
    size_t calls() {
        std::lock_guard lock(mutex);
        return attached.size() + detached.size() + power.size();
    }
};

// The unique ids in DevList, head first. Only while no event is handled.
std::vector<uint32_t> listedIds() {
    std::vector<uint32_t> ids;
    for (DevListNode *node = DevList.pHead; node != nullptr; node = node->pNext)
        ids.push_back(node->pDevice->dwUniqueID);
    return ids;
}

class DeviceManager : public ::testing::Test {
protected:
    void TearDown() override {
        WDU_Uninit(driver_);
        EXPECT_EQ(fake_.openConnections(), 0);
        EXPECT_EQ(DevList.dwOpenCount, 0u);
        EXPECT_EQ(DevList.pHead, nullptr);
    }
    uint32_t init(bool detach = true, bool power = true, const MatchEntry *matches = kMatches, uint32_t count = 2) {
        const EventTable table = {&Callbacks::onAttach, detach ? &Callbacks::onDetach : nullptr,
                                  power ? &Callbacks::onPower : nullptr, &callbacks_};
        return WDU_Init(&driver_, matches, count, &table, EVENT_OPT_ACKNOWLEDGE);
    }
    // Attaches a device that the callback takes; its handle.
    DeviceCtx *attach(uint32_t uniqueId) {
        fake_.addDevice(uniqueId);
        fake_.pushEvent(EVENT_ATTACH, uniqueId);
        EXPECT_TRUE(fake_.waitUntilQuiet());
        std::lock_guard lock(callbacks_.mutex);
        return callbacks_.attached.empty() ? nullptr : callbacks_.attached.back();
    }
    const LoggedRequest &lastAck() {
        acks_ = fake_.requests(IOCTL_EVENT_ACK);
        EXPECT_FALSE(acks_.empty());
        return acks_.back();
    }

    FakeDriver fake_;
    Callbacks callbacks_;
    DriverCtx *driver_ = nullptr;
    std::vector<LoggedRequest> acks_;
};

TEST_F(DeviceManager, DriverVersionBelow603IsRefused) {
    struct Case {
        uint32_t version;
        uint32_t status;
        uint32_t expected;
    };
    const Case cases[] = {
        {602, 0, WDU_ERR_VERSION},
        {0, 0, WDU_ERR_VERSION},
        {603, 0, WDU_OK},
        {0xFFFFFFFF, 0, WDU_OK},  // unsigned comparison
        {1010, kStatusUnknownRequest, kStatusUnknownRequest},
    };
    for (const Case &c : cases) {
        fake_.version = c.version;
        fake_.versionStatus = c.status;
        EXPECT_EQ(init(), c.expected) << "version " << c.version;
        if (c.expected != WDU_OK) {
            EXPECT_EQ(driver_, kInvalidDriverHandle);
            EXPECT_EQ(fake_.openConnections(), 0);
        }
        WDU_Uninit(driver_);
        driver_ = nullptr;
    }
    const auto versions = fake_.requests(IOCTL_VERSION);
    ASSERT_FALSE(versions.empty());
    EXPECT_EQ(versions[0].size, 132u);
}

TEST_F(DeviceManager, NullAttachCallbackRegistersNothing) {
    const EventTable table = {nullptr, &Callbacks::onDetach, nullptr, &callbacks_};
    ASSERT_EQ(WDU_Init(&driver_, kMatches, 2, &table, EVENT_OPT_ACKNOWLEDGE), WDU_OK);
    ASSERT_NE(driver_, kInvalidDriverHandle);
    EXPECT_EQ(fake_.openConnections(), 1);
    WDU_Uninit(driver_);
    driver_ = nullptr;
    EXPECT_EQ(fake_.openConnections(), 0);
    EXPECT_TRUE(fake_.requests(IOCTL_EVENT_REGISTER).empty());
    EXPECT_TRUE(fake_.requests(IOCTL_EVENT_UNREGISTER).empty());
}

TEST_F(DeviceManager, BadMatchArraysFailWithNoResources) {
    struct Case {
        const MatchEntry *matches;
        uint32_t count;
        uint32_t expected;
    };
    const Case cases[] = {
        {nullptr, 2, WDU_ERR_NO_RESOURCES},
        {kMatches, 0, WDU_ERR_NO_RESOURCES},
        {nullptr, 0, WDU_OK},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(init(true, true, c.matches, c.count), c.expected) << c.count;
        if (c.expected != WDU_OK) {
            EXPECT_EQ(driver_, kInvalidDriverHandle);
            EXPECT_EQ(fake_.openConnections(), 0);
            EXPECT_EQ(DevList.dwOpenCount, 0u);
        }
        WDU_Uninit(driver_);
        driver_ = nullptr;
    }
    const auto registrations = fake_.requests(IOCTL_EVENT_REGISTER);
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_EQ(recordOf<EventRecord>(registrations[0]).dwNumMatchTables, 0u);
}

TEST_F(DeviceManager, FailedInitLeavesInvalidHandleAndTheNextOneWorks) {
    fake_.failOpen = true;
    driver_ = nullptr;
    EXPECT_EQ(init(), WDU_ERR_SYSTEM);
    EXPECT_EQ(driver_, kInvalidDriverHandle);
    WDU_Uninit(driver_);
    EXPECT_EQ(DevList.dwOpenCount, 0u);
    EXPECT_EQ(DevList.hEvent, nullptr);

    fake_.failOpen = false;
    ASSERT_EQ(init(), WDU_OK);
    // The list lock was made anew: an attach goes through DevList.
    DeviceCtx *device = attach(5);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(IsDeviceInDevList(device), WDU_OK);
}

TEST_F(DeviceManager, RegistrationAsksOnlyForEventsWithCallbacks) {
    struct Case {
        bool detach, power;
        uint32_t mask;
    };
    for (const Case &c :
         {Case{false, false, 0x1}, Case{true, false, 0x3}, Case{true, true, 0x3FF3}, Case{false, true, 0x3FF1}}) {
        fake_.clearLog();
        ASSERT_EQ(init(c.detach, c.power), WDU_OK);
        const auto registrations = fake_.requests(IOCTL_EVENT_REGISTER);
        ASSERT_EQ(registrations.size(), 1u);
        const auto record = recordOf<EventRecord>(registrations[0]);
        EXPECT_EQ(record.dwAction, c.mask);
        EXPECT_EQ(record.dwOptions, EVENT_OPT_ACKNOWLEDGE);
        EXPECT_EQ(record.dwNumMatchTables, 2u);
        WDU_Uninit(driver_);
        driver_ = nullptr;
    }
}

TEST_F(DeviceManager, AcceptedAttachIsListedAndAnsweredWithAccept) {
    ASSERT_EQ(init(), WDU_OK);
    DeviceCtx *device = attach(5);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(callbacks_.interfaceNumbers.at(0), 0);
    EXPECT_EQ(listedIds(), std::vector<uint32_t>{5});
    EXPECT_EQ(device->pDriverCtx, driver_);
    const auto ack = recordOf<EventRecord>(lastAck());
    EXPECT_EQ(ack.dwUniqueID, 5u);
    EXPECT_EQ(ack.dwOptions, EVENT_OPT_ACKNOWLEDGE | EVENT_OPT_ACCEPT);
}

TEST_F(DeviceManager, DeclinedAttachLeavesDevListAsItWas) {
    ASSERT_EQ(init(), WDU_OK);
    attach(5);
    attach(6);
    callbacks_.take = false;
    attach(7);
    EXPECT_EQ(callbacks_.attached.size(), 3u);
    EXPECT_EQ(listedIds(), (std::vector<uint32_t>{6, 5}));
    const auto ack = recordOf<EventRecord>(lastAck());
    EXPECT_EQ(ack.dwUniqueID, 7u);
    EXPECT_EQ(ack.dwOptions, EVENT_OPT_ACKNOWLEDGE);
}

TEST_F(DeviceManager, DeviceWhoseInformationCannotBeFetchedIsDropped) {
    ASSERT_EQ(init(), WDU_OK);
    attach(5);
    fake_.addDevice(6).sizeQueryStatus = kStatusTransferFailed;
    fake_.addDevice(7).fillStatus = kStatusBadRecord;  // the block is left allocated
    fake_.pushEvent(EVENT_ATTACH, 6);
    fake_.pushEvent(EVENT_ATTACH, 7);
    ASSERT_TRUE(fake_.waitUntilQuiet());
    EXPECT_EQ(callbacks_.attached.size(), 1u);
    EXPECT_EQ(listedIds(), std::vector<uint32_t>{5});
    const auto acks = fake_.requests(IOCTL_EVENT_ACK);
    ASSERT_EQ(acks.size(), 3u);
    EXPECT_EQ(recordOf<EventRecord>(acks[1]).dwOptions, EVENT_OPT_ACKNOWLEDGE);
    EXPECT_EQ(recordOf<EventRecord>(acks[2]).dwOptions, EVENT_OPT_ACKNOWLEDGE);
}

TEST_F(DeviceManager, DetachRemovesTheDeviceAndCallsBack) {
    ASSERT_EQ(init(), WDU_OK);
    DeviceCtx *first = attach(5);
    attach(6);
    fake_.pushEvent(EVENT_DETACH, 5);
    ASSERT_TRUE(fake_.waitUntilQuiet());
    ASSERT_EQ(callbacks_.detached.size(), 1u);
    EXPECT_EQ(callbacks_.detached[0], first);
    EXPECT_EQ(listedIds(), std::vector<uint32_t>{6});
}

TEST_F(DeviceManager, UnknownIdsInDetachAndPowerEventsChangeNothing) {
    ASSERT_EQ(init(), WDU_OK);
    attach(5);
    const size_t before = callbacks_.calls();
    fake_.pushEvent(EVENT_DETACH, 99);
    fake_.pushEvent(0x10, 99);
    fake_.pushEvent(0x2000, 99);
    ASSERT_TRUE(fake_.waitUntilQuiet());
    EXPECT_EQ(callbacks_.calls(), before);
    EXPECT_EQ(listedIds(), std::vector<uint32_t>{5});
}

TEST_F(DeviceManager, PowerEventReachesTheCallbackAndKeepsTheDevice) {
    ASSERT_EQ(init(), WDU_OK);
    DeviceCtx *device = attach(5);
    fake_.pushEvent(0x20, 5);
    ASSERT_TRUE(fake_.waitUntilQuiet());
    ASSERT_EQ(callbacks_.power.size(), 1u);
    EXPECT_EQ(callbacks_.power[0].first, device);
    EXPECT_EQ(callbacks_.power[0].second, 0x20u);
    EXPECT_EQ(listedIds(), std::vector<uint32_t>{5});
}

TEST_F(DeviceManager, OtherActionsOnlyTrace) {
    ASSERT_EQ(init(), WDU_OK);
    attach(5);
    const size_t before = callbacks_.calls();
    for (uint32_t action : {0x4u, 0x4000u, 0x0u, 0x30u, 0x8000u}) fake_.pushEvent(action, 5);
    ASSERT_TRUE(fake_.waitUntilQuiet());
    EXPECT_EQ(callbacks_.calls(), before);
    EXPECT_EQ(listedIds(), std::vector<uint32_t>{5});
    for (const LoggedRequest &ack : fake_.requests(IOCTL_EVENT_ACK)) {
        if (recordOf<EventRecord>(ack).dwAction != EVENT_ATTACH) {
            EXPECT_EQ(recordOf<EventRecord>(ack).dwOptions, EVENT_OPT_ACKNOWLEDGE);
        }
    }
}

TEST_F(DeviceManager, OperationsOnNullOrDetachedDevicesSendNothing) {
    ASSERT_EQ(init(), WDU_OK);
    DeviceCtx *device = attach(5);
    fake_.pushEvent(EVENT_DETACH, 5);
    ASSERT_TRUE(fake_.waitUntilQuiet());
    fake_.clearLog();

    for (DeviceCtx *gone : {static_cast<DeviceCtx *>(nullptr), device}) {
        DeviceInfo *info = reinterpret_cast<DeviceInfo *>(8);
        EXPECT_EQ(WDU_GetDeviceInfo(gone, &info), WDU_ERR_DEVICE_NOT_FOUND);
        EXPECT_EQ(info, nullptr);
        EXPECT_EQ(WDU_SetInterface(gone, 0, 0), WDU_ERR_DEVICE_NOT_FOUND);
        EXPECT_EQ(WDU_ResetPipe(gone, 0x81), WDU_ERR_DEVICE_NOT_FOUND);
        uint8_t buffer[8] = {};
        uint32_t transferred = 0;
        EXPECT_EQ(WDU_Transfer(gone, 0x01, 0, 0, buffer, 8, &transferred, nullptr, 2000), WDU_ERR_DEVICE_NOT_FOUND);
    }
    for (const LoggedRequest &request : fake_.requests())
        EXPECT_EQ(request.code, IOCTL_WAIT) << std::hex << request.code;
}

TEST_F(DeviceManager, TransferRecordCarriesTheArgumentsOnItsOwnConnection) {
    ASSERT_EQ(init(), WDU_OK);
    DeviceCtx *device = attach(5);
    const uint64_t context = fake_.requests(IOCTL_VERSION).at(0).connection;
    uint8_t frame[9] = {4, 0, 0, 3, 0, 0x34, 1, 1, 0x39};
    uint32_t transferred = 0;
    ASSERT_EQ(WDU_Transfer(device, 0x01, 0, 0, frame, sizeof frame, &transferred, nullptr, 2000), WDU_OK);
    EXPECT_EQ(transferred, 9u);
    const auto setup = usb_standard::getDescriptor(usb_standard::DT_DEVICE, 0, 18);
    uint8_t reply[32];
    ASSERT_EQ(WDU_Transfer(device, 0x81, 1, 0, reply, sizeof reply, &transferred, setup.data(), 1000), WDU_OK);

    const auto transfers = fake_.requests(IOCTL_TRANSFER);
    ASSERT_EQ(transfers.size(), 2u);
    const auto write = recordOf<TransferRecord>(transfers[0]);
    EXPECT_EQ(write.dwUniqueID, 5u);
    EXPECT_EQ(write.dwPipeNum, 0x01u);
    EXPECT_EQ(write.fRead, 0u);
    EXPECT_EQ(write.dwBufferSize, 9u);
    EXPECT_EQ(write.dwTimeout, 2000u);
    const uint8_t zeros[8] = {};
    EXPECT_EQ(std::memcmp(write.SetupPacket, zeros, 8), 0);
    EXPECT_EQ(transfers[0].data, std::vector<uint8_t>(frame, frame + 9));
    const auto read = recordOf<TransferRecord>(transfers[1]);
    EXPECT_EQ(read.fRead, 1u);
    EXPECT_EQ(std::memcmp(read.SetupPacket, setup.data(), setup.size()), 0);
    EXPECT_EQ(read.dwTimeout, 1000u);
    for (const LoggedRequest &transfer : transfers) EXPECT_NE(transfer.connection, context);
}

TEST_F(DeviceManager, FailedTransferStillReportsTheBytesTransferred) {
    ASSERT_EQ(init(), WDU_OK);
    DeviceCtx *device = attach(5);
    fake_.withDevice(5, [](FakeDevice &d) {
        d.inFailures.push_back(kStatusTimeout);
        d.transferredOnFailure = 3;
    });
    uint8_t reply[16];
    uint32_t transferred = 99;
    EXPECT_EQ(WDU_Transfer(device, 0x81, 1, 0, reply, sizeof reply, &transferred, nullptr, 2000), kStatusTimeout);
    EXPECT_EQ(transferred, 3u);
}

TEST_F(DeviceManager, InformationBlockOfAFailedFetchBelongsToTheCaller) {
    ASSERT_EQ(init(), WDU_OK);
    DeviceCtx *device = attach(5);
    fake_.withDevice(5, [](FakeDevice &d) { d.fillStatus = kStatusTransferFailed; });
    DeviceInfo *info = nullptr;
    EXPECT_EQ(WDU_GetDeviceInfo(device, &info), kStatusTransferFailed);
    EXPECT_NE(info, nullptr);
    std::free(info);
}

TEST_F(DeviceManager, UninitWithDevicesAttachedCallsNoDetach) {
    ASSERT_EQ(init(), WDU_OK);
    attach(5);
    attach(6);
    WDU_Uninit(driver_);
    driver_ = nullptr;
    EXPECT_TRUE(callbacks_.detached.empty());
    EXPECT_EQ(DevList.pHead, nullptr);
    EXPECT_EQ(fake_.requests(IOCTL_EVENT_UNREGISTER).size(), 1u);
}

// The list operations on their own, with devices of two driver contexts.
class DevListOperations : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(devListOpen(), WDU_OK); }
    void TearDown() override {
        (void)RemoveAllDevicesFromDevList(&first_);
        (void)RemoveAllDevicesFromDevList(&second_);
        devListClose();
    }
    DeviceCtx *add(DriverCtx *driver, uint32_t uniqueId) {
        auto *device = static_cast<DeviceCtx *>(std::calloc(1, sizeof(DeviceCtx)));
        device->pDriverCtx = driver;
        device->dwUniqueID = uniqueId;
        EXPECT_EQ(AddDeviceToDevList(device), WDU_OK);
        return device;
    }
    DriverCtx first_{};
    DriverCtx second_{};
};

TEST_F(DevListOperations, RemovingOneContextKeepsTheOthersInOrder) {
    add(&first_, 1);
    add(&second_, 2);
    add(&first_, 3);
    add(&second_, 4);
    add(&first_, 5);
    EXPECT_EQ(RemoveAllDevicesFromDevList(&first_), WDU_OK);
    EXPECT_EQ(listedIds(), (std::vector<uint32_t>{4, 2}));
}

TEST_F(DevListOperations, LookupsTakeTheNewestMatchAndReportMisses) {
    DeviceCtx *older = add(&first_, 9);
    DeviceCtx *newer = add(&second_, 9);
    DeviceCtx *found = nullptr;
    EXPECT_EQ(FindDeviceByUniqueID(9, &found), WDU_OK);
    EXPECT_EQ(found, newer);
    EXPECT_EQ(FindDeviceByUniqueID(8, &found), WDU_ERR_DEVICE_NOT_FOUND);
    EXPECT_EQ(found, nullptr);
    DeviceCtx *removed = nullptr;
    EXPECT_EQ(RemoveDeviceFromDevList(9, &removed), WDU_OK);
    EXPECT_EQ(removed, newer);
    freeDevice(removed);
    EXPECT_EQ(IsDeviceInDevList(older), WDU_OK);
    EXPECT_EQ(RemoveDeviceFromDevList(8, &removed), WDU_ERR_DEVICE_NOT_FOUND);
    EXPECT_EQ(removed, nullptr);
}

TEST(DevListLock, OperationsFailWhileNoContextIsOpen) {
    DeviceCtx *device = nullptr;
    EXPECT_EQ(FindDeviceByUniqueID(1, &device), WDU_ERR_SYSTEM);
    EXPECT_EQ(IsDeviceInDevList(device), WDU_ERR_SYSTEM);
}

}  // namespace
}  // namespace usb_transport::test
