// SPDX-License-Identifier: MIT
// The recording tap around the loopback bus, with QRV_RECORD set as a user
// sets it: what the driver did is in the file, in order, as Wireshark and a
// replay read it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver_client.h"
#include "projector_frames.h"
#include "test_support/loopback_bus.h"
#include "projector_emulator/device.h"
#include "projector_emulator/nor_flash.h"
#include "usb_recording/recording.h"

namespace usb_driver::test {
namespace {

using namespace std::chrono_literals;
using test_support::LoopbackBus;

// The first frames of an update, numbered as the transport numbers them.
const std::vector<uint8_t> kFirstStatusRead = stamped(kStatusRead, 1);
const std::vector<uint8_t> kFirstProgrammingMode1 = stamped(kProgrammingMode1, 2);
const std::vector<uint8_t> kDownload = {0x02, 0x03, 0x00, 0x05, 0x00, 0x34, 0x25, 0xAA, 0xBB, 0xCC, 0x92};

std::string hex(std::span<const uint8_t> bytes) {
    std::string text;
    char byte[4];
    for (uint8_t value : bytes) {
        std::snprintf(byte, sizeof byte, "%02x", value);
        text += byte;
    }
    return text;
}

// One USB event in a line: "S 81 d1 u255", "C 81 d1 s0 u9 =04010003...",
// "S 00 d1 setup=010b000000000000".
std::string line(const usb_recording::Entry &entry) {
    const auto &usb = entry.usb;
    char head[32];
    std::snprintf(head, sizeof head, "%c %02x d%u", usb.event, usb.endpoint, usb.device);
    std::string text = head;
    if (usb.setupPresent) text += " setup=" + hex(usb.setup);
    if (usb.event == 'C') text += " s" + std::to_string(usb.status);
    text += " u" + std::to_string(usb.urbLength);
    if (!entry.data.empty()) text += " =" + hex(entry.data);
    return text;
}

class RecordingTapTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ =
            (std::filesystem::temp_directory_path() / ("recording-tap-test-" + std::to_string(::getpid()) + ".pcapng"))
                .string();
        std::filesystem::remove(path_);
        ::setenv("QRV_RECORD", path_.c_str(), 1);
        ::unsetenv("QRV_RECORD_WITHOUT_DATA");
        flash_ = projector_emulator::NorFlash::inMemory();
        projector_emulator::DeviceOptions options;
        options.rebootDelay = 20ms;
        device_ = std::make_unique<projector_emulator::Tz4817Device>(*flash_, options);
        projector_emulator::Tz4817Device *device = device_.get();
        usb_driver::testing::setBusFactory([device] { return std::make_shared<LoopbackBus>(*device); });
    }
    void TearDown() override {
        usb_driver::testing::setBusFactory({});
        ::unsetenv("QRV_RECORD");
        ::unsetenv("QRV_RECORD_WITHOUT_DATA");
        std::filesystem::remove(path_);
    }

    // Takes the next device that comes (after a departure, the one back).
    uint32_t take(Client &client, uint32_t handle) {
        for (;;) {
            const EventRecord event = client.next(handle);
            if (event.dwAction == 0) return 0;
            if (event.dwAction != EVENT_ATTACH) continue;
            EXPECT_EQ(client.setInterface(event.dwUniqueID, 0, 0), kStatusOk);
            EXPECT_EQ(client.acknowledge(event, true), kStatusOk);
            return event.dwUniqueID;
        }
    }

    std::vector<uint8_t> exchange(uint32_t id, std::vector<uint8_t> frame) {
        uint32_t transferred = 0;
        EXPECT_EQ(Client::transfer(id, 0x01, frame.data(), static_cast<uint32_t>(frame.size()), transferred),
                  kStatusOk);
        std::vector<uint8_t> reply(255);
        EXPECT_EQ(Client::transfer(id, 0x81, reply.data(), 255, transferred), kStatusOk);
        reply.resize(transferred);
        return reply;
    }

    // The file's USB events as lines, and its notes.
    void read() {
        std::string error;
        ASSERT_TRUE(usb_recording::readWholeFile(path_, bytes_, error)) << error;
        usb_lines_.clear();
        notes_.clear();
        ASSERT_TRUE(usb_recording::scanRecording(
            bytes_,
            [&](const usb_recording::Entry &entry) {
                if (entry.kind == usb_recording::Entry::Kind::Note)
                    notes_.emplace_back(entry.comment);
                else
                    usb_lines_.push_back(line(entry) +
                                         (entry.comment.empty() ? "" : " # " + std::string(entry.comment)));
                return true;
            },
            error))
            << error;
    }

    std::string path_;
    std::unique_ptr<projector_emulator::NorFlash> flash_;
    std::unique_ptr<projector_emulator::Tz4817Device> device_;
    std::vector<uint8_t> bytes_;
    std::vector<std::string> usb_lines_;
    std::vector<std::string> notes_;
};

TEST_F(RecordingTapTest, EveryRequestAndEveryDeviceChangeIsWrittenInOrder) {
    const std::string app = hex(
        projector_emulator::deviceDescriptor({true, projector_emulator::Mode::Application,
                                              projector_emulator::kAppVendorId, projector_emulator::kAppProductId, 1}));
    const std::string config = hex(projector_emulator::configDescriptor());
    {
        Client client;
        const uint32_t handle = client.registerFor({kApp, kBoot});
        const uint32_t id = take(client, handle);
        ASSERT_EQ(exchange(id, kFirstStatusRead).size(), 9u);
        std::vector<uint8_t> nothing(255);
        uint32_t transferred = 0;
        EXPECT_EQ(Client::transfer(id, 0x81, nothing.data(), 255, transferred), kStatusTimeout);
        EXPECT_EQ(client.resetPipe(id, 0x81), kStatusOk);
        ASSERT_EQ(exchange(id, kFirstProgrammingMode1).size(), 6u);  // acknowledged; it restarts
        ASSERT_NE(take(client, handle), 0u);                    // back in programming mode
    }
    read();
    const std::vector<std::string> expected = {
        "S 80 d1 setup=8006000100001200 u18 # device 1 at 1-1 (e7a2:051e): opened",
        "C 80 d1 s0 u18 =" + app,
        "S 80 d1 setup=8006000200002000 u32",
        "C 80 d1 s0 u32 =" + config,
        "S 00 d1 setup=010b000000000000 u0",  // SET_INTERFACE 0, alternate 0
        "C 00 d1 s0 u0",
        "S 01 d1 u9 =" + hex(kFirstStatusRead),
        "C 01 d1 s0 u9",
        "S 81 d1 u255",
        "C 81 d1 s0 u9 =040100030034010039",
        "S 81 d1 u255",
        "C 81 d1 s-110 u0",                   // timed out
        "S 00 d1 setup=0201000081000000 u0",  // CLEAR_FEATURE(ENDPOINT_HALT) of 0x81
        "C 00 d1 s0 u0",
        "S 01 d1 u9 =" + hex(kFirstProgrammingMode1),
        "C 01 d1 s0 u9",
        "S 81 d1 u255",
        "C 81 d1 s0 u6 =020200000002",
        "S 80 d2 setup=8006000100001200 u18 # device 2 at 1-1 (e7b9:2000): opened",
    };
    ASSERT_GE(usb_lines_.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(usb_lines_[i], expected[i]) << i;
    const std::vector<std::string> notes = {
        "bus started: a bus a test or benchmark made; download data recorded",
        "device 1 at 1-1 (e7a2:051e): arrived",
        "device 1 at 1-1 (e7a2:051e): left the bus",
        "device 1 at 1-1 (e7a2:051e): closed",
        "device 2 at 1-1 (e7b9:2000): arrived",
        "device 2 at 1-1 (e7b9:2000): closed",
        "bus stopped",
    };
    EXPECT_EQ(notes_, notes);

    // The next bus of the process goes on in the same file with new numbers.
    {
        Client client;
        ASSERT_NE(take(client, client.registerFor({kApp, kBoot})), 0u);
    }
    read();
    EXPECT_EQ(notes_.at(notes.size() + 1), "device 3 at 1-1 (e7b9:2000): arrived");
}

// Without data: the download frame's data written as zeros, the checksum
// summed over them; everything else as it was.
TEST_F(RecordingTapTest, DownloadDataIsLeftOutWhenAskedAndNothingElse) {
    ::setenv("QRV_RECORD_WITHOUT_DATA", "1", 1);
    {
        Client client;
        const uint32_t id = take(client, client.registerFor({kApp}));
        ASSERT_EQ(exchange(id, kFirstStatusRead).size(), 9u);
        ASSERT_EQ(exchange(id, kDownload).size(), 6u);
    }
    read();
    EXPECT_NE(notes_.front().find("download data left out"), std::string::npos) << notes_.front();
    const auto has = [&](const std::string &text) {
        return std::find(usb_lines_.begin(), usb_lines_.end(), text) != usb_lines_.end();
    };
    EXPECT_TRUE(has("S 01 d1 u9 =" + hex(kFirstStatusRead)));
    EXPECT_TRUE(has("S 01 d1 u11 =0203000500342500000061"));  // 0x61: bytes 1..9 summed
    EXPECT_TRUE(has("C 81 d1 s0 u6 =020300000003"));
}

// A file that is no recording is never written to; the driver works on.
TEST_F(RecordingTapTest, AFileThatIsNoRecordingIsLeftAsItIs) {
    std::ofstream(path_) << "notes of a user\n";
    {
        Client client;
        const uint32_t id = take(client, client.registerFor({kApp}));
        ASSERT_EQ(exchange(id, kFirstStatusRead).size(), 9u);
    }
    std::ifstream file(path_);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "notes of a user\n");
}

}  // namespace
}  // namespace usb_driver::test
