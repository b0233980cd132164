// SPDX-License-Identifier: MIT
#include "projector_emulator/device.h"

#include <gtest/gtest.h>

#include <thread>

#include "command_frame/command_frame.h"

namespace projector_emulator {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

uint8_t sum8(const Bytes &bytes, size_t from, size_t to) {
    uint8_t sum = 0;
    for (size_t i = from; i < to; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
    return sum;
}

// A command frame as the host sends it, sequence number stamped.
Bytes frame(uint8_t kind, uint8_t operation, const Bytes &parameters, uint8_t sequence = 1,
            uint8_t commandClass = 0x34) {
    Bytes f(parameters.size() + 8, 0);
    f[0] = kind;
    f[1] = sequence;
    f[3] = static_cast<uint8_t>(parameters.size() + 2);
    f[5] = commandClass;
    f[6] = operation;
    std::copy(parameters.begin(), parameters.end(), f.begin() + 7);
    f.back() = sum8(f, 1, f.size() - 1);
    return f;
}

Bytes statusRead(uint8_t sequence = 1) { return frame(0x04, 0x01, {0x01}, sequence); }
Bytes infoRead(uint8_t selector) { return frame(0x04, 0x00, {0x0A, 0, 0, selector}); }
Bytes mode(uint8_t value) { return frame(0x02, 0x30, {value}); }
Bytes address(uint32_t a) { return frame(0x02, 0x29, {uint8_t(a), uint8_t(a >> 8), uint8_t(a >> 16)}); }
Bytes size(uint32_t s) { return frame(0x02, 0x2C, {uint8_t(s), uint8_t(s >> 8), uint8_t(s >> 16)}); }
Bytes erase() { return frame(0x02, 0x28, {}); }
Bytes calculate() { return frame(0x02, 0x26, {}); }
Bytes download(const Bytes &data) { return frame(0x02, 0x25, data); }

class DeviceTest : public ::testing::Test {
protected:
    DeviceTest() { makeDevice({}); }

    void makeDevice(std::vector<Fault> faults, Mode initial = Mode::Application) {
        DeviceOptions options;
        options.rebootDelay = 1500ms;
        options.eraseTime = 50ms;
        options.initialMode = initial;
        options.faults = std::move(faults);
        options.clock = &clock;
        device = std::make_unique<Tz4817Device>(*flash, options);
    }

    // Sends one frame and returns the reply; nothing when none came.
    std::optional<Bytes> exchange(const Bytes &command) {
        uint32_t generation = device->presence().generation;
        EXPECT_EQ(device->bulkOut(generation, command), TransferStatus::Ok);
        Bytes buffer(520);
        size_t length = 0;
        TransferStatus status = device->bulkIn(generation, buffer, length);
        if (status != TransferStatus::Ok) return std::nullopt;
        buffer.resize(length);
        return buffer;
    }

    void enterProgrammingMode() {
        ASSERT_TRUE(exchange(mode(1)));
        clock.advance(1500ms);
        ASSERT_EQ(device->presence().mode, Mode::Programming);
    }

    uint8_t status() { return (*exchange(statusRead()))[7]; }

    ManualClock clock;
    std::unique_ptr<NorFlash> flash = NorFlash::inMemory();
    std::unique_ptr<Tz4817Device> device;
};

TEST_F(DeviceTest, StatusReadReplyHasTheFrameLayout) {
    auto reply = exchange(statusRead(0x37));
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->size(), 9u);  // one data byte + 8
    EXPECT_EQ((*reply)[1], 0x37);  // echo
    EXPECT_EQ((*reply)[3], 3);     // body: class, operation, one data byte
    EXPECT_EQ((*reply)[7] & command_frame::kStatusBusy, 0);
    EXPECT_EQ(reply->back(), sum8(*reply, 1, reply->size() - 1));
}

TEST_F(DeviceTest, WriteRepliesAreSixBytesAndEchoTheSequence) {
    auto reply = exchange(frame(0x02, 0x30, {0x07}, 0xC4));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size(), 6u);
    EXPECT_EQ((*reply)[1], 0xC4);
}

TEST_F(DeviceTest, FlashIdentityAndChecksumSitAtDataBytesSixToNine) {
    auto manufacturer = exchange(infoRead(0x0C));
    ASSERT_TRUE(manufacturer);
    ASSERT_EQ(manufacturer->size(), 18u);
    EXPECT_EQ((*manufacturer)[13], 0x01);
    EXPECT_EQ((*manufacturer)[14], 0x00);
    auto deviceCode = exchange(infoRead(0x0D));
    EXPECT_EQ((*deviceCode)[13], 0x49);
    EXPECT_EQ((*deviceCode)[14], 0x22);
}

TEST_F(DeviceTest, MalformedFramesGetNoReply) {
    Bytes badChecksum = statusRead();
    badChecksum.back() ^= 1;
    Bytes badLength = statusRead();
    badLength[3] = 4;
    const Bytes cases[] = {
        badChecksum,
        badLength,
        frame(0x04, 0x02, {0x01}),           // unknown operation
        frame(0x02, 0x01, {0x01}),           // status read sent as a write
        frame(0x04, 0x01, {0x01}, 1, 0x77),  // unknown class
        frame(0x03, 0x30, {0x01}),           // unknown kind
        frame(0x02, 0x29, {0x00, 0x40}),     // address without its third byte
        Bytes{0x02, 0x01, 0x00},             // shorter than any frame
    };
    for (const Bytes &bad : cases) EXPECT_FALSE(exchange(bad)) << testing::PrintToString(bad);
    EXPECT_TRUE(exchange(statusRead()));  // and the device still answers
}

TEST_F(DeviceTest, GenericClassFramesAreAnswered) {
    auto write = exchange(frame(0x02, 0x30, {0x02}, 1, 0x12));
    ASSERT_TRUE(write);
    EXPECT_EQ(write->size(), 6u);
    auto read = exchange(Bytes{0x04, 0x01, 0x00, 0x06, 0x00, 0x12, 0x03, 0x02, 0x10, 0x20, 0x77, 0xC5});
    ASSERT_TRUE(read);
    EXPECT_EQ(read->size(), 10u);  // two data bytes
    EXPECT_EQ((*read)[7], 0);
    EXPECT_EQ((*read)[8], 0);
}

TEST_F(DeviceTest, RepliesQueueInOrderAndOverflowIsReported) {
    uint32_t generation = device->presence().generation;
    ASSERT_EQ(device->bulkOut(generation, statusRead(5)), TransferStatus::Ok);
    ASSERT_EQ(device->bulkOut(generation, statusRead(6)), TransferStatus::Ok);
    Bytes buffer(64);
    size_t length = 0;
    ASSERT_EQ(device->bulkIn(generation, buffer, length), TransferStatus::Ok);
    EXPECT_EQ(buffer[1], 5);
    Bytes small(4);
    EXPECT_EQ(device->bulkIn(generation, small, length), TransferStatus::Overflow);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(device->bulkIn(generation, buffer, length), TransferStatus::NoReply);
}

TEST_F(DeviceTest, ApplicationFirmwareDoesNotWriteFlash) {
    const Bytes before(flash->contents().begin(), flash->contents().end());
    ASSERT_TRUE(exchange(address(0x4000)));
    ASSERT_TRUE(exchange(erase()));
    ASSERT_TRUE(exchange(download(Bytes(56, 0x00))));
    EXPECT_TRUE(std::equal(before.begin(), before.end(), flash->contents().begin()));
    EXPECT_EQ(status() & command_frame::kStatusBusy, 0);
}

TEST_F(DeviceTest, ModeOneRestartsIntoProgrammingModeAfterTheAckIsRead) {
    Presence before = device->presence();
    EXPECT_EQ(before.vendorId, kAppVendorId);
    EXPECT_EQ(before.productId, kAppProductId);
    ASSERT_EQ(device->bulkOut(before.generation, mode(1)), TransferStatus::Ok);
    EXPECT_TRUE(device->presence().onBus);  // still there until its ack is read
    Bytes buffer(64);
    size_t length = 0;
    ASSERT_EQ(device->bulkIn(before.generation, buffer, length), TransferStatus::Ok);
    EXPECT_EQ(length, 6u);
    EXPECT_FALSE(device->presence().onBus);
    EXPECT_EQ(device->bulkOut(before.generation, statusRead()), TransferStatus::Gone);

    clock.advance(1499ms);
    EXPECT_FALSE(device->presence().onBus);
    clock.advance(1ms);
    Presence after = device->presence();
    EXPECT_TRUE(after.onBus);
    EXPECT_EQ(after.vendorId, kBootVendorId);
    EXPECT_EQ(after.productId, kBootProductId);
    EXPECT_EQ(after.generation, before.generation + 1);
    EXPECT_EQ(device->bulkOut(before.generation, statusRead()), TransferStatus::Gone);  // old connection
    EXPECT_EQ(status() & 0x01, 0x01);
}

TEST_F(DeviceTest, ModeOneInProgrammingModeChangesNothingAndModeTwoReturnsToTheApplication) {
    enterProgrammingMode();
    uint32_t generation = device->presence().generation;
    ASSERT_TRUE(exchange(mode(1)));
    EXPECT_TRUE(device->presence().onBus);
    EXPECT_EQ(device->presence().generation, generation);
    ASSERT_TRUE(exchange(mode(2)));
    EXPECT_FALSE(device->presence().onBus);
    clock.advance(1500ms);
    EXPECT_EQ(device->presence().vendorId, kAppVendorId);
}

TEST_F(DeviceTest, EraseClearsTheSectorOfTheAddressAndStaysBusyForTheEraseTime) {
    enterProgrammingMode();
    ASSERT_TRUE(exchange(address(0x6000)));
    ASSERT_TRUE(exchange(erase()));
    for (uint32_t offset = 0x6000; offset < 0x8000; ++offset) ASSERT_EQ(flash->at(offset), 0xFF);
    EXPECT_NE(flash->at(0x8000), 0xFF);
    EXPECT_NE(status() & command_frame::kStatusBusy, 0);
    clock.advance(49ms);
    EXPECT_NE(status() & command_frame::kStatusBusy, 0);
    clock.advance(1ms);
    EXPECT_EQ(status() & command_frame::kStatusBusy, 0);
}

TEST_F(DeviceTest, FlashCommandsWhileErasingAreIgnored) {
    enterProgrammingMode();
    ASSERT_TRUE(exchange(address(0x4000)));
    ASSERT_TRUE(exchange(erase()));
    ASSERT_TRUE(exchange(download(Bytes{0x00})));  // too early
    EXPECT_EQ(flash->at(0x4000), 0xFF);
    clock.advance(50ms);
    ASSERT_TRUE(exchange(download(Bytes{0x00})));
    EXPECT_EQ(flash->at(0x4000), 0x00);
}

TEST_F(DeviceTest, DownloadProgramsAtTheAddressAndChecksumCoversAddressAndSize) {
    enterProgrammingMode();
    ASSERT_TRUE(exchange(address(0xFE204000)));  // upper address lines are not connected
    ASSERT_TRUE(exchange(erase()));
    clock.advance(50ms);
    ASSERT_TRUE(exchange(address(0x4000)));
    ASSERT_TRUE(exchange(size(100)));
    Bytes data(56);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    ASSERT_TRUE(exchange(download(data)));
    ASSERT_TRUE(exchange(download(Bytes(44, 0x01))));
    EXPECT_EQ(flash->at(0x4000 + 55), 55);
    EXPECT_EQ(flash->at(0x4000 + 56), 0x01);
    EXPECT_EQ(flash->at(0x4000 + 100), 0xFF);
    ASSERT_TRUE(exchange(calculate()));
    auto reply = exchange(infoRead(0x00));
    ASSERT_TRUE(reply);
    uint32_t checksum = (*reply)[13] | ((*reply)[14] << 8) | ((*reply)[15] << 16) | (uint32_t((*reply)[16]) << 24);
    EXPECT_EQ(checksum, 55u * 56 / 2 + 44);
    EXPECT_EQ(checksum, flash->sum(0x4000, 100));
}

TEST_F(DeviceTest, ProgrammingAOneOverAZeroIsAProgramError) {
    enterProgrammingMode();
    ASSERT_TRUE(exchange(address(0x4000)));  // not erased: old firmware there
    uint8_t old = flash->at(0x4000);
    ASSERT_TRUE(exchange(download(Bytes{0xFF})));
    EXPECT_EQ(flash->at(0x4000), old);
    EXPECT_EQ(flash->programErrors(), old == 0xFF ? 0u : 1u);
}

TEST_F(DeviceTest, DroppedReplyStillActs) {
    makeDevice({Fault{Fault::Kind::DropReply, 2, 2}}, Mode::Programming);
    ASSERT_TRUE(exchange(address(0x6000)));  // frame 1
    EXPECT_FALSE(exchange(erase()));         // frame 2: no reply
    EXPECT_EQ(flash->at(0x6000), 0xFF);
    EXPECT_TRUE(exchange(statusRead()));
}

TEST_F(DeviceTest, WrongEchoAndShortReplyFaults) {
    makeDevice({Fault{Fault::Kind::WrongEcho, 1, 1}, Fault{Fault::Kind::ShortReply, 2, 2, 0, 7}});
    auto wrong = exchange(statusRead(9));
    ASSERT_TRUE(wrong);
    EXPECT_EQ((*wrong)[1], 10);
    EXPECT_EQ(wrong->back(), sum8(*wrong, 1, wrong->size() - 1));
    auto shortened = exchange(statusRead());
    ASSERT_TRUE(shortened);
    EXPECT_EQ(shortened->size(), 7u);
}

TEST_F(DeviceTest, LeaveAndRebootFaults) {
    makeDevice({Fault{Fault::Kind::Reboot, 2, 2}, Fault{Fault::Kind::Leave, 4, 4}});
    EXPECT_TRUE(exchange(statusRead()));   // 1
    EXPECT_FALSE(exchange(statusRead()));  // 2: reboots
    EXPECT_FALSE(device->presence().onBus);
    clock.advance(1500ms);
    Presence back = device->presence();
    EXPECT_TRUE(back.onBus);
    EXPECT_EQ(back.mode, Mode::Application);
    EXPECT_TRUE(exchange(statusRead()));   // 3
    EXPECT_FALSE(exchange(statusRead()));  // 4: gone for good
    clock.advance(1h);
    EXPECT_FALSE(device->presence().onBus);
}

TEST_F(DeviceTest, BusyAnswersAfterEachErase) {
    makeDevice({Fault{Fault::Kind::BusyAfterErase, 0, 0, 0, 3}}, Mode::Programming);
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(exchange(address(0x4000)));
        ASSERT_TRUE(exchange(erase()));
        clock.advance(1s);
        for (int i = 0; i < 3; ++i) EXPECT_NE(status() & command_frame::kStatusBusy, 0) << round << i;
        EXPECT_EQ(status() & command_frame::kStatusBusy, 0) << round;
    }
}

TEST_F(DeviceTest, SilentWhileErasing) {
    makeDevice({Fault{Fault::Kind::SilentWhileErasing}}, Mode::Programming);
    EXPECT_TRUE(exchange(statusRead()));
    ASSERT_TRUE(exchange(address(0x4000)));
    ASSERT_TRUE(exchange(erase()));
    EXPECT_FALSE(exchange(statusRead()));
    clock.advance(50ms);
    EXPECT_TRUE(exchange(statusRead()));
}

TEST_F(DeviceTest, FlippedBitShowsInTheChecksum) {
    makeDevice({Fault{Fault::Kind::FlipBit, 0, 0, 0x4001, 3}}, Mode::Programming);
    ASSERT_TRUE(exchange(address(0x4000)));
    ASSERT_TRUE(exchange(erase()));
    clock.advance(50ms);
    ASSERT_TRUE(exchange(size(2)));
    ASSERT_TRUE(exchange(download(Bytes{0xFF, 0xFF})));
    EXPECT_EQ(flash->at(0x4000), 0xFF);
    EXPECT_EQ(flash->at(0x4001), 0xF7);
    ASSERT_TRUE(exchange(calculate()));
    auto reply = exchange(infoRead(0x00));
    EXPECT_EQ((*reply)[13], 0xF6);  // 0xFF + 0xF7 = 0x1F6
    EXPECT_EQ((*reply)[14], 0x01);
}

TEST_F(DeviceTest, LateReplyIsHeldItsTimeAndClearingFaultsEndsEveryFault) {
    makeDevice({Fault{Fault::Kind::LateReply, 1, 2, 0, 200}});
    const uint32_t generation = device->presence().generation;
    Bytes buffer(64);
    size_t length = 0;
    ASSERT_EQ(device->bulkOut(generation, statusRead(1)), TransferStatus::Ok);
    clock.advance(199ms);
    EXPECT_EQ(device->bulkIn(generation, buffer, length), TransferStatus::NoReply);
    clock.advance(1ms);
    ASSERT_EQ(device->bulkIn(generation, buffer, length), TransferStatus::Ok);
    EXPECT_EQ(buffer[1], 1);

    ASSERT_EQ(device->bulkOut(generation, statusRead(2)), TransferStatus::Ok);
    EXPECT_EQ(device->bulkIn(generation, buffer, length), TransferStatus::NoReply);
    device->clearFaults();  // the reply held back is ready at once
    ASSERT_EQ(device->bulkIn(generation, buffer, length), TransferStatus::Ok);
    EXPECT_EQ(buffer[1], 2);

    device->addFault(Fault{Fault::Kind::Leave, 3, 3});
    device->addFault(Fault{Fault::Kind::LateReply, 4, 4, 0, 200});
    EXPECT_FALSE(exchange(statusRead()));  // frame 3: gone for good
    clock.advance(1h);
    EXPECT_FALSE(device->presence().onBus);
    device->clearFaults();  // plugged back in, in the mode it had, with no fault left
    const Presence back = device->presence();
    EXPECT_TRUE(back.onBus);
    EXPECT_EQ(back.mode, Mode::Application);
    EXPECT_EQ(back.generation, generation + 1);
    EXPECT_TRUE(exchange(statusRead()));  // frame 4: no longer held back
}

TEST_F(DeviceTest, PowerCutLeavesTheFrameUnheard) {
    makeDevice({Fault{Fault::Kind::PowerCut, 2, 2}}, Mode::Programming);
    std::vector<bool> cuts;
    device->setFrameObserver([&](const FrameRecord &record) { cuts.push_back(record.powerCut); });
    ASSERT_TRUE(exchange(address(0x6000)));  // frame 1
    const uint8_t before = flash->at(0x6000);
    EXPECT_FALSE(exchange(erase()));  // frame 2: the power fails
    EXPECT_EQ(flash->at(0x6000), before);
    EXPECT_FALSE(device->presence().onBus);
    EXPECT_EQ(cuts, (std::vector<bool>{false, true}));
}

TEST_F(DeviceTest, LatencyFaultsAddUp) {
    makeDevice({Fault{Fault::Kind::Latency, 0, 0, 0, 125}, Fault{Fault::Kind::Latency, 0, 0, 0, 5}});
    EXPECT_EQ(device->transferLatency(), std::chrono::microseconds(130));
}

TEST_F(DeviceTest, FaultsAddedLaterUseAbsoluteFrameNumbers) {
    EXPECT_TRUE(exchange(statusRead()));
    device->addFault(Fault{Fault::Kind::DropReply, device->framesReceived() + 1, device->framesReceived() + 1});
    EXPECT_FALSE(exchange(statusRead()));
    EXPECT_TRUE(exchange(statusRead()));
}

TEST_F(DeviceTest, ObserverSeesEveryFrameOutsideTheLock) {
    std::vector<FrameRecord> seen;
    device->setFrameObserver([&](const FrameRecord &record) {
        seen.push_back(record);
        device->framesReceived();  // would deadlock if called under the device lock
    });
    exchange(statusRead(3));
    Bytes bad = statusRead();
    bad.back() ^= 0xFF;
    exchange(bad);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_TRUE(seen[0].valid);
    EXPECT_EQ(seen[0].operation, 0x01);
    EXPECT_EQ(seen[0].reply.size(), 9u);
    EXPECT_FALSE(seen[1].valid);
    EXPECT_STREQ(seen[1].note, "ignored: bad checksum");
}

// The real clock, threads waiting for replies and for the device to come back.
TEST(DeviceThreads, WaitersWakeForRepliesAndForTheReturnAfterAReboot) {
    auto flash = NorFlash::inMemory();
    DeviceOptions options;
    options.rebootDelay = 30ms;
    Tz4817Device device(*flash, options);
    Presence first = device.presence();

    std::thread writer([&] {
        std::this_thread::sleep_for(5ms);
        device.bulkOut(first.generation, mode(1));
    });
    EXPECT_TRUE(device.waitForReply(first.generation, std::chrono::steady_clock::now() + 10s));
    writer.join();
    Bytes buffer(64);
    size_t length = 0;
    ASSERT_EQ(device.bulkIn(first.generation, buffer, length), TransferStatus::Ok);

    Presence gone = device.waitForPresenceChange(first, std::chrono::steady_clock::now() + 10s);
    EXPECT_FALSE(gone.onBus);
    Presence back = device.waitForPresenceChange(gone, std::chrono::steady_clock::now() + 10s);
    EXPECT_TRUE(back.onBus);
    EXPECT_EQ(back.mode, Mode::Programming);
    EXPECT_FALSE(device.waitForReply(first.generation, std::chrono::steady_clock::now() + 10s));
}

}  // namespace
}  // namespace projector_emulator
