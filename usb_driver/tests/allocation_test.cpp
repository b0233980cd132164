// SPDX-License-Identifier: MIT
// An update makes tens of thousands of exchanges, each a presence check, a
// write and a read, every transfer on a connection of its own. The driver
// must not allocate on that path once it has warmed up.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "driver_client.h"
#include "fake_bus.h"

namespace {
thread_local bool countHere = false;
std::atomic<long> allocations{0};
}  // namespace

// GCC takes the free() in the deletes below for a mismatch with operator
// new, which here is malloc() too.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// Counts the allocations of the thread that asks; everything else passes through.
void *operator new(std::size_t size) {
    if (countHere) ++allocations;
    if (void *p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }

namespace usb_driver::test {
namespace {

class AllocationTest : public ::testing::Test {
protected:
    void SetUp() override {
        bus = std::make_shared<FakeBus>();
        std::weak_ptr<FakeBus> weak = bus;
        usb_driver::testing::setBusFactory([weak] { return std::shared_ptr<Bus>(weak.lock()); });
    }
    void TearDown() override { usb_driver::testing::setBusFactory({}); }
    std::shared_ptr<FakeBus> bus;
};

TEST_F(AllocationTest, ExchangePathAllocatesNothingOnceWarm) {
    Client client;
    const uint32_t handle = client.registerFor({entry(0xE7A2, 0x051E)});
    bus->arrive(1, 0xE7A2, 0x051E);
    EventRecord event = client.next(handle);
    ASSERT_EQ(event.dwAction, EVENT_ATTACH);
    ASSERT_EQ(client.setInterface(event.dwUniqueID, 0, 0), kStatusOk);
    ASSERT_EQ(client.acknowledge(event, true), kStatusOk);
    bus->transferAnswer = 9;

    std::vector<uint64_t> block(1024);
    uint8_t frame[64] = {};
    auto exchange = [&] {
        DeviceInfoQuery query{};
        query.dwUniqueID = event.dwUniqueID;
        bool good = client.ioctl(IOCTL_DEVICE_INFO, &query, sizeof query) == kStatusOk &&
                    query.dwBytes <= block.size() * sizeof block[0];
        query.pBuf = block.data();
        good = good && client.ioctl(IOCTL_DEVICE_INFO, &query, sizeof query) == kStatusOk;
        for (uint32_t pipe : {0x01u, 0x81u}) {
            Connection *own = driverOpen();
            TransferRecord transfer{};
            transfer.dwUniqueID = event.dwUniqueID;
            transfer.dwPipeNum = pipe;
            transfer.fRead = pipe == 0x81;
            transfer.pBuffer = frame;
            transfer.dwBufferSize = sizeof frame;
            transfer.dwTimeout = 2000;
            good = good && DriverIoctl(own, IOCTL_TRANSFER, &transfer, sizeof transfer) == kStatusOk;
            driverClose(own);
        }
        return good;
    };
    ASSERT_TRUE(exchange());
    countHere = true;
    bool good = true;
    for (int i = 0; i < 100; ++i) good = exchange() && good;
    countHere = false;
    EXPECT_TRUE(good);
    EXPECT_EQ(allocations.load(), 0);
}

}  // namespace
}  // namespace usb_driver::test
