// SPDX-License-Identifier: MIT
// The driver with the loopback bus and an emulated projector, driven through
// the three-function boundary as the device manager drives it.
#include <gtest/gtest.h>

#include <chrono>

#include "driver_client.h"
#include "projector_frames.h"
#include "test_support/loopback_bus.h"
#include "projector_emulator/clock.h"
#include "projector_emulator/device.h"
#include "projector_emulator/nor_flash.h"
#include "usb_standard/usb_standard.h"

namespace usb_driver::test {
namespace {

using namespace std::chrono_literals;
using test_support::LoopbackBus;

class LoopbackDriverTest : public ::testing::Test {
protected:
    LoopbackDriverTest() : flash(projector_emulator::NorFlash::inMemory()) {}

    void SetUp() override { makeDevice({}); }
    void TearDown() override { usb_driver::testing::setBusFactory({}); }

    void makeDevice(std::vector<projector_emulator::Fault> faults) {
        usb_driver::testing::setBusFactory({});
        bus.reset();
        projector_emulator::DeviceOptions options;
        options.rebootDelay = 100ms;
        options.eraseTime = 1ms;
        options.clock = &clock;
        options.faults = std::move(faults);
        device = std::make_unique<projector_emulator::Tz4817Device>(*flash, options);
        bus = std::make_shared<LoopbackBus>(*device);
        std::weak_ptr<LoopbackBus> weak = bus;
        usb_driver::testing::setBusFactory([weak] { return std::shared_ptr<Bus>(weak.lock()); });
    }

    // Registers for both modes and takes the device that comes.
    uint32_t take(Client &client, uint32_t &handle) {
        handle = client.registerFor({kApp, kBoot});
        EventRecord event = client.next(handle);
        EXPECT_EQ(event.dwAction, EVENT_ATTACH);
        EXPECT_EQ(client.setInterface(event.dwUniqueID, 0, 0), kStatusOk);
        EXPECT_EQ(client.acknowledge(event, true), kStatusOk);
        return event.dwUniqueID;
    }

    uint16_t vendorOf(Client &client, uint32_t id) {
        std::vector<uint8_t> block = client.deviceInfo(id);
        if (block.size() < sizeof(DeviceInfo)) return 0;
        return reinterpret_cast<const DeviceInfo *>(block.data())->Descriptor.idVendor;
    }

    // Writes `frame` and reads the reply; the reply, empty on failure.
    std::vector<uint8_t> exchange(uint32_t id, std::vector<uint8_t> frame, uint32_t *readStatus = nullptr) {
        uint32_t transferred = 0;
        EXPECT_EQ(Client::transfer(id, 0x01, frame.data(), static_cast<uint32_t>(frame.size()), transferred),
                  kStatusOk);
        EXPECT_EQ(transferred, frame.size());
        std::vector<uint8_t> reply(255);
        const uint32_t status = Client::transfer(id, 0x81, reply.data(), 255, transferred);
        if (readStatus) *readStatus = status;
        reply.resize(status == kStatusOk ? transferred : 0);
        return reply;
    }

    std::unique_ptr<projector_emulator::NorFlash> flash;
    projector_emulator::ManualClock clock;
    std::unique_ptr<projector_emulator::Tz4817Device> device;
    std::shared_ptr<LoopbackBus> bus;
};

TEST_F(LoopbackDriverTest, DevicePresentBeforeRegistrationIsAttachedThroughTheSecondMatchEntry) {
    Client client;
    // The projector is in application mode; the entry that matches it is the
    // second of the two, beyond the 68 bytes the record is sent with.
    const uint32_t handle = client.registerFor({kBoot, kApp});
    ASSERT_NE(handle, 0u);
    EventRecord event = client.next(handle);
    ASSERT_EQ(event.dwAction, EVENT_ATTACH);
    EXPECT_NE(event.dwUniqueID, 0u);
    EXPECT_EQ(event.dwOptions, EVENT_OPT_ACKNOWLEDGE);
    EXPECT_EQ(vendorOf(client, event.dwUniqueID), projector_emulator::kAppVendorId);
}

TEST_F(LoopbackDriverTest, DeviceInfoBlockLeadsToInterfaceZeroInsideItself) {
    Client client;
    uint32_t handle = 0;
    const uint32_t id = take(client, handle);
    DeviceInfoQuery query{};
    query.dwUniqueID = id;
    query.dwBytes = 0xFFFFFFFF;
    ASSERT_EQ(client.ioctl(IOCTL_DEVICE_INFO, &query, sizeof query), kStatusOk);
    ASSERT_GE(query.dwBytes, sizeof(DeviceInfo));

    uint32_t status = 1;
    std::vector<uint8_t> block = client.deviceInfo(id, &status);
    ASSERT_EQ(status, kStatusOk);
    ASSERT_EQ(block.size(), query.dwBytes);
    const auto *info = reinterpret_cast<const DeviceInfo *>(block.data());
    const Interface *interface = info->pActiveInterface[0];
    ASSERT_TRUE(pointsInside(block, interface, sizeof *interface));
    ASSERT_TRUE(pointsInside(block, interface->pActiveAltSetting, sizeof(AlternateSetting)));
    EXPECT_EQ(interface->pActiveAltSetting->Descriptor.bInterfaceNumber, 0);
    EXPECT_EQ(interface->pActiveAltSetting->Descriptor.bNumEndpoints, 2);
    ASSERT_TRUE(pointsInside(block, interface->pActiveAltSetting->pPipes, 2 * sizeof(PipeInfo)));
    EXPECT_EQ(interface->pActiveAltSetting->pPipes[1].dwNumber, projector_emulator::kBulkInEndpoint);
    EXPECT_EQ(info->Descriptor.idProduct, projector_emulator::kAppProductId);
}

TEST_F(LoopbackDriverTest, ControlRequestsAndFramesReachTheDevice) {
    Client client;
    uint32_t handle = 0;
    const uint32_t id = take(client, handle);
    std::vector<uint8_t> reply = exchange(id, stamped(kStatusRead, 1));
    ASSERT_EQ(reply.size(), 9u);  // a read of one data byte: 1 + 8
    EXPECT_EQ(reply[1], 1) << "echo of the sequence number";
    EXPECT_EQ(client.resetPipe(id, 0x01), kStatusOk);
    EXPECT_EQ(client.resetPipe(id, 0x81), kStatusOk);
    EXPECT_EQ(client.setInterface(id, 0, 1), kStatusStall) << "the projector has no alternate 1";

    auto controls = bus->controlRequests();
    ASSERT_EQ(controls.size(), 4u);
    EXPECT_EQ(controls[0].kind, 'I');
    EXPECT_EQ(controls[0].value, 0u);
    EXPECT_EQ(controls[1].kind, 'R');
    EXPECT_EQ(controls[1].value, 0x01u);
    EXPECT_EQ(controls[2].value, 0x81u);
    auto transfers = bus->transfers();
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_EQ(transfers[0].data, stamped(kStatusRead, 1));
    EXPECT_TRUE(transfers[1].in);
    EXPECT_EQ(transfers[1].requested, 255u);
    EXPECT_EQ(transfers[1].data, reply);

    // Control transfers on pipe 0 are answered from the descriptors.
    Client own;
    uint8_t descriptor[18] = {};
    TransferRecord control{};
    control.dwUniqueID = id;
    control.fRead = 1;
    control.pBuffer = descriptor;
    control.dwBufferSize = sizeof descriptor;
    const auto getDevice = usb_standard::getDescriptor(usb_standard::DT_DEVICE, 0, 18);
    std::memcpy(control.SetupPacket, getDevice.data(), getDevice.size());
    control.dwTimeout = 500;
    ASSERT_EQ(own.ioctl(IOCTL_TRANSFER, &control, sizeof control), kStatusOk);
    EXPECT_EQ(control.dwBytesTransferred, 18u);
    EXPECT_EQ(descriptor[8] | descriptor[9] << 8, projector_emulator::kAppVendorId);
}

TEST_F(LoopbackDriverTest, ReadWithNoReplyTimesOutWithNothingTransferred) {
    makeDevice({projector_emulator::Fault{projector_emulator::Fault::Kind::DropReply, 1, 1}});
    Client client;
    uint32_t handle = 0;
    const uint32_t id = take(client, handle);
    uint8_t buffer[64];
    uint32_t transferred = 1;
    EXPECT_EQ(Client::transfer(id, 0x81, buffer, sizeof buffer, transferred), kStatusTimeout) << "nothing written";
    EXPECT_EQ(transferred, 0u);
    uint32_t status = 0;
    EXPECT_TRUE(exchange(id, stamped(kStatusRead, 1), &status).empty());
    EXPECT_EQ(status, kStatusTimeout) << "reply dropped by the device";
    EXPECT_EQ(exchange(id, stamped(kStatusRead, 2)).size(), 9u) << "the next frame is answered";
}

TEST_F(LoopbackDriverTest, ModeSwitchIsADetachThenAnAttachOfANewDevice) {
    Client client;
    uint32_t handle = 0;
    const uint32_t first = take(client, handle);
    std::vector<uint8_t> ack = exchange(first, stamped(kProgrammingMode1, 7));
    ASSERT_EQ(ack.size(), 6u);
    EXPECT_EQ(ack[1], 7);

    EventRecord detach = client.next(handle);
    EXPECT_EQ(detach.dwAction, EVENT_DETACH);
    EXPECT_EQ(detach.dwUniqueID, first);
    uint8_t buffer[64];
    uint32_t transferred = 0;
    EXPECT_EQ(Client::transfer(first, 0x81, buffer, sizeof buffer, transferred), kStatusDeviceNotFound);

    clock.advance(100ms);  // the reboot delay
    EventRecord attach = client.next(handle);
    ASSERT_EQ(attach.dwAction, EVENT_ATTACH);
    EXPECT_NE(attach.dwUniqueID, first);
    std::vector<uint8_t> block = client.deviceInfo(attach.dwUniqueID);
    ASSERT_GE(block.size(), sizeof(DeviceInfo));
    const auto *info = reinterpret_cast<const DeviceInfo *>(block.data());
    EXPECT_EQ(info->Descriptor.idVendor, 0xE7B9);
    EXPECT_EQ(info->Descriptor.idProduct, 0x2000);
    ASSERT_EQ(client.acknowledge(attach, true), kStatusOk);
    EXPECT_EQ(exchange(attach.dwUniqueID, stamped(kStatusRead, 8)).size(), 9u);
}

TEST_F(LoopbackDriverTest, DeviceThatLeavesForGoodFailsTransfersAsNotFound) {
    makeDevice({projector_emulator::Fault{projector_emulator::Fault::Kind::Leave, 1, 1}});
    Client client;
    uint32_t handle = 0;
    const uint32_t id = take(client, handle);
    std::vector<uint8_t> frame = stamped(kStatusRead, 1);
    uint32_t transferred = 0;
    EXPECT_EQ(Client::transfer(id, 0x01, frame.data(), 9, transferred), kStatusOk);
    uint8_t buffer[64];
    EXPECT_EQ(Client::transfer(id, 0x81, buffer, sizeof buffer, transferred), kStatusDeviceNotFound);
    EXPECT_EQ(client.next(handle).dwAction, EVENT_DETACH);
}

TEST_F(LoopbackDriverTest, InjectedFailuresAndDeliveredFrames) {
    Client client;
    uint32_t handle = 0;
    const uint32_t id = take(client, handle);
    std::vector<uint8_t> frame = stamped(kStatusRead, 1);
    uint8_t buffer[64];
    uint32_t transferred = 7;

    // The host sees a failed write, but the device got the frame.
    bus->failNextTransfer(false, kStatusTransferFailed, true);
    EXPECT_EQ(Client::transfer(id, 0x01, frame.data(), 9, transferred), kStatusTransferFailed);
    EXPECT_EQ(transferred, 0u);
    EXPECT_EQ(device->framesReceived(), 1u);
    // The reply is there; a failed read with delivery takes it away.
    bus->failNextTransfer(true, kStatusStall, true);
    EXPECT_EQ(Client::transfer(id, 0x81, buffer, sizeof buffer, transferred), kStatusStall);
    EXPECT_EQ(Client::transfer(id, 0x81, buffer, sizeof buffer, transferred), kStatusTimeout);
    // Without delivery the frame never reaches the device.
    bus->failNextTransfer(false, kStatusTimeout);
    EXPECT_EQ(Client::transfer(id, 0x01, frame.data(), 9, transferred), kStatusTimeout);
    EXPECT_EQ(device->framesReceived(), 1u);
    auto transfers = bus->transfers();
    ASSERT_EQ(transfers.size(), 4u);
    EXPECT_EQ(transfers[0].status, kStatusTransferFailed);
    EXPECT_EQ(transfers[3].status, kStatusTimeout);
}

TEST_F(LoopbackDriverTest, LoggingCanBeSwitchedOff) {
    Client client;
    uint32_t handle = 0;
    const uint32_t id = take(client, handle);
    bus->setLogging(false);
    EXPECT_EQ(exchange(id, stamped(kStatusRead, 1)).size(), 9u);
    EXPECT_EQ(client.resetPipe(id, 0x01), kStatusOk);
    EXPECT_TRUE(bus->transfers().empty());
    EXPECT_EQ(bus->controlRequests().size(), 1u) << "only the set interface from before";
}

TEST_F(LoopbackDriverTest, ReopenedDriverFindsTheDeviceAgainUnderANewId) {
    uint32_t firstId = 0;
    {
        Client client;
        uint32_t handle = 0;
        firstId = take(client, handle);
    }
    Client client;
    uint32_t handle = 0;
    const uint32_t again = take(client, handle);
    EXPECT_NE(again, firstId);
    EXPECT_EQ(exchange(again, stamped(kStatusRead, 1)).size(), 9u);
}

}  // namespace
}  // namespace usb_driver::test
