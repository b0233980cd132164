// SPDX-License-Identifier: MIT
// The projector's command set and each injected fault, as a USB/IP client
// sees them over loopback TCP.
#include <gtest/gtest.h>

#include <chrono>
#include <numeric>
#include <random>

#include "command_frame/command_frame.h"
#include "server_fixture.h"

namespace projector_emulator::test {
namespace {

constexpr uint32_t kSectorAddress = 0x10000;  // sector 4, 64 KB
constexpr size_t kBlock = 56;

uint32_t le32(const Bytes &bytes, size_t offset) {
    return uint32_t{bytes[offset]} | uint32_t{bytes[offset + 1]} << 8 | uint32_t{bytes[offset + 2]} << 16 |
           uint32_t{bytes[offset + 3]} << 24;
}

Bytes randomBlock(uint32_t seed, size_t length = kBlock) {
    std::mt19937 random(seed);
    Bytes block(length);
    for (auto &byte : block) byte = static_cast<uint8_t>(random());
    return block;
}

class UsbipCommandsTest : public UsbipServerFixture {
protected:
    // Acknowledged write command: a six-byte reply echoing the sequence number.
    void write(UsbipTestClient &client, const Bytes &frame) {
        auto reply = command(client, frame);
        ASSERT_TRUE(reply) << "no reply to operation " << int(frame[6]);
        ASSERT_EQ(reply->size(), 6u);
        ASSERT_EQ((*reply)[1], sequence());
    }

    uint8_t status(UsbipTestClient &client) {
        auto reply = command(client, statusReadFrame());
        EXPECT_TRUE(reply && reply->size() == 9) << "bad status reply";
        return reply && reply->size() == 9 ? (*reply)[7] : 0xFF;
    }

    // Erases the sector at kSectorAddress and lets the erase time pass.
    void eraseSector(UsbipTestClient &client) {
        write(client, flashAddressFrame(kSectorAddress));
        write(client, eraseFrame());
        clock_.advance(kEraseTime);
    }

    uint32_t deviceChecksum(UsbipTestClient &client, uint32_t address, uint32_t size) {
        write(client, flashAddressFrame(address));
        write(client, flashSizeFrame(size));
        write(client, calculateChecksumFrame());
        auto reply = command(client, flashInformationFrame(0x00));
        EXPECT_TRUE(reply && reply->size() == 18) << "bad checksum reply";
        return reply && reply->size() == 18 ? le32(*reply, 13) : 0;
    }
};

TEST_F(UsbipCommandsTest, StatusReadFrameIsAnsweredWithItsSequenceEchoed) {
    startServer();
    auto client = importDevice();
    const Bytes frame = statusReadFrame();
    ASSERT_EQ(frame, (Bytes{0x04, 0x00, 0x00, 0x03, 0x00, 0x34, 0x01, 0x01, 0x39}));
    ASSERT_EQ(stamped(frame, 1), (Bytes{0x04, 0x01, 0x00, 0x03, 0x00, 0x34, 0x01, 0x01, 0x3A}));
    for (int round = 0; round < 3; ++round) {
        auto reply = command(*client, frame);
        ASSERT_TRUE(reply);
        ASSERT_EQ(reply->size(), 9u);
        EXPECT_EQ((*reply)[1], sequence());
        EXPECT_EQ((*reply)[3], 3);  // one data byte plus two
        EXPECT_EQ((*reply)[7] & command_frame::kStatusBusy, 0);
    }
}

TEST_F(UsbipCommandsTest, FlashIdentityIsReadThroughTheInformationSelectors) {
    startServer(Mode::Programming);
    auto client = importDevice();
    auto manufacturer = command(*client, flashInformationFrame(0x0C));
    auto device = command(*client, flashInformationFrame(0x0D));
    ASSERT_TRUE(manufacturer && device);
    ASSERT_EQ(manufacturer->size(), 18u);
    ASSERT_EQ(device->size(), 18u);
    EXPECT_EQ((*manufacturer)[13] | (*manufacturer)[14] << 8, kFlashManufacturerId);
    EXPECT_EQ((*device)[13] | (*device)[14] << 8, kFlashDeviceId);
}

TEST_F(UsbipCommandsTest, EraseReportsBusyUntilTheEraseTimeHasPassed) {
    startServer(Mode::Programming);
    auto client = importDevice();
    write(*client, flashAddressFrame(kSectorAddress));
    write(*client, eraseFrame());
    EXPECT_NE(status(*client) & command_frame::kStatusBusy, 0) << "not busy right after the erase";
    EXPECT_NE(status(*client) & command_frame::kStatusBusy, 0) << "busy only once";
    clock_.advance(kEraseTime);
    EXPECT_EQ(status(*client) & command_frame::kStatusBusy, 0) << "still busy after the erase time";
    for (uint32_t offset = kSectorAddress; offset < kSectorAddress + 0x10000; ++offset)
        ASSERT_EQ(flash_->at(offset), 0xFF) << "offset " << offset;
}

TEST_F(UsbipCommandsTest, DownloadedBlocksLandInFlashAndTheChecksumMatches) {
    startServer(Mode::Programming);
    auto client = importDevice();
    eraseSector(*client);
    Bytes image;
    for (uint32_t block = 0; block < 4; ++block) {
        const Bytes data = randomBlock(block, block == 3 ? 17 : kBlock);  // the last block short
        image.insert(image.end(), data.begin(), data.end());
    }
    write(*client, flashAddressFrame(kSectorAddress));
    write(*client, flashSizeFrame(static_cast<uint32_t>(image.size())));
    for (size_t offset = 0; offset < image.size(); offset += kBlock) {
        const size_t length = std::min(kBlock, image.size() - offset);
        write(*client, downloadFrame(Bytes(image.begin() + offset, image.begin() + offset + length)));
    }
    for (size_t i = 0; i < image.size(); ++i) ASSERT_EQ(flash_->at(kSectorAddress + i), image[i]) << "offset " << i;
    EXPECT_EQ(flash_->at(kSectorAddress + image.size()), 0xFF) << "programmed past the data";

    const uint32_t hostSum = std::accumulate(image.begin(), image.end(), 0u);
    const uint32_t checksum = deviceChecksum(*client, kSectorAddress, static_cast<uint32_t>(image.size()));
    EXPECT_EQ(checksum, hostSum);
    EXPECT_EQ(checksum, flash_->sum(kSectorAddress, static_cast<uint32_t>(image.size())));
}

// --- faults, as the client sees them ---------------------------------------------------

TEST_F(UsbipCommandsTest, DroppedReplyLeavesTheInPendingUntilUnlinked) {
    startServer(Mode::Application, {{Fault::Kind::DropReply, 2, 2}});
    auto client = importDevice();
    ASSERT_TRUE(command(*client, statusReadFrame()));
    client->submitOut(1, stamped(statusReadFrame(), nextSequence()));
    auto written = client->receive();
    ASSERT_TRUE(written);
    EXPECT_EQ(written->status, 0);
    const uint32_t in = client->submitIn(1, 255);
    client->unlink(in);
    auto reply = client->receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->command, usbip::kRetUnlink) << "the dropped reply was answered";
    EXPECT_EQ(reply->status, usbip::kUrbUnlinked);
    auto next = command(*client, statusReadFrame());
    ASSERT_TRUE(next);
    EXPECT_EQ((*next)[1], sequence());
}

TEST_F(UsbipCommandsTest, WrongEchoFaultChangesTheSequenceByte) {
    startServer(Mode::Application, {{Fault::Kind::WrongEcho, 1, 1}});
    auto client = importDevice();
    auto reply = command(*client, statusReadFrame());
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)[1], static_cast<uint8_t>(sequence() + 1));
    auto next = command(*client, statusReadFrame());
    ASSERT_TRUE(next);
    EXPECT_EQ((*next)[1], sequence());
}

TEST_F(UsbipCommandsTest, ShortReplyFaultCutsTheReply) {
    startServer(Mode::Application, {{Fault::Kind::ShortReply, 1, 1, 0, 4}});
    auto client = importDevice();
    auto reply = command(*client, statusReadFrame());
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size(), 4u);
}

TEST_F(UsbipCommandsTest, LeaveFaultClosesTheConnectionAndTheDeviceNeverReturns) {
    startServer(Mode::Application, {{Fault::Kind::Leave, 2, 2}});
    auto client = importDevice();
    ASSERT_TRUE(command(*client, statusReadFrame()));
    client->submitOut(1, stamped(statusReadFrame(), nextSequence()));
    client->submitIn(1, 255);
    EXPECT_TRUE(client->waitForClose());
    clock_.advance(std::chrono::seconds(60));
    EXPECT_TRUE(listed().empty());
}

TEST_F(UsbipCommandsTest, RebootFaultClosesTheConnectionAndTheDeviceReturnsWithANewDevnum) {
    startServer(Mode::Application, {{Fault::Kind::Reboot, 1, 1}});
    const uint32_t devnumBefore = listed().at(0).device.devnum;
    auto client = importDevice();
    client->submitOut(1, stamped(statusReadFrame(), nextSequence()));
    client->submitIn(1, 255);
    EXPECT_TRUE(client->waitForClose());
    EXPECT_TRUE(listed().empty());
    clock_.advance(kRebootDelay);
    const auto devices = listed();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].device.idVendor, kAppVendorId);
    EXPECT_EQ(devices[0].device.idProduct, kAppProductId);
    EXPECT_NE(devices[0].device.devnum, devnumBefore);
    auto again = importDevice();
    EXPECT_TRUE(command(*again, statusReadFrame()));
}

TEST_F(UsbipCommandsTest, BusyAfterEraseFaultGivesKBusyAnswersWhateverTheTime) {
    startServer(Mode::Programming, {{Fault::Kind::BusyAfterErase, 0, 0, 0, 2}});
    auto client = importDevice();
    eraseSector(*client);  // the erase time has passed
    EXPECT_NE(status(*client) & command_frame::kStatusBusy, 0);
    EXPECT_NE(status(*client) & command_frame::kStatusBusy, 0);
    EXPECT_EQ(status(*client) & command_frame::kStatusBusy, 0);
}

TEST_F(UsbipCommandsTest, SilentWhileErasingFaultLeavesStatusReadsUnanswered) {
    startServer(Mode::Programming, {{Fault::Kind::SilentWhileErasing}});
    auto client = importDevice();
    write(*client, flashAddressFrame(kSectorAddress));
    write(*client, eraseFrame());
    client->submitOut(1, stamped(statusReadFrame(), nextSequence()));
    ASSERT_TRUE(client->receive());
    const uint32_t in = client->submitIn(1, 255);
    client->unlink(in);
    auto reply = client->receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->command, usbip::kRetUnlink) << "a status read was answered while erasing";
    EXPECT_EQ(reply->status, usbip::kUrbUnlinked);
    clock_.advance(kEraseTime);
    EXPECT_EQ(status(*client) & command_frame::kStatusBusy, 0);
}

TEST_F(UsbipCommandsTest, FlipBitFaultCorruptsTheByteAndTheChecksumShowsIt) {
    const uint32_t corrupted = kSectorAddress + 5;
    startServer(Mode::Programming, {{Fault::Kind::FlipBit, 0, 0, corrupted, 3}});
    auto client = importDevice();
    eraseSector(*client);
    const Bytes data = randomBlock(99);
    write(*client, flashAddressFrame(kSectorAddress));
    write(*client, downloadFrame(data));
    EXPECT_EQ(flash_->at(corrupted), data[5] ^ 0x08);
    const uint32_t hostSum = std::accumulate(data.begin(), data.end(), 0u);
    EXPECT_NE(deviceChecksum(*client, kSectorAddress, kBlock), hostSum);
}

// A lower bound only: the server must wait at least the latency per transfer.
TEST_F(UsbipCommandsTest, LatencyFaultDelaysEveryBulkTransfer) {
    constexpr auto kLatency = std::chrono::milliseconds(100);
    startServer(Mode::Application,
                {{Fault::Kind::Latency, 0, 0, 0, static_cast<uint32_t>(std::chrono::microseconds(kLatency).count())}});
    auto client = importDevice();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(command(*client, statusReadFrame()));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2 * kLatency);
}

}  // namespace
}  // namespace projector_emulator::test
