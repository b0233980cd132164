// SPDX-License-Identifier: MIT
// The replayed projector against recordings written here, event by event:
// its delays times the speed, its departure and return, a frame the
// recording does not have, an updater that goes quiet. The recordings of
// whole updates are replayed end to end in tests/integration/replay_test.cpp.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "replay_device.h"
#include "projector_emulator/device.h"
#include "usb_recording/notes.h"
#include "usb_recording/recording.h"

namespace projector_emulator::test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
namespace usbmon = usb_recording::usbmon;
using usb_recording::notes::DeviceNote;

const Bytes kStatusRead = {0x04, 0x01, 0x00, 0x03, 0x00, 0x34, 0x01, 0x01, 0x3A};
const Bytes kStatusReply = {0x04, 0x01, 0x00, 0x03, 0x00, 0x34, 0x01, 0x00, 0x39};

// A recording written event by event, as the driver's tap writes one.
class Recorder {
public:
    Recorder() : bytes_(usb_recording::recordingHead("written by the test")) {}

    // Device `number` opened, in application mode or programming mode.
    void open(uint8_t number, bool programming, uint64_t atUs) {
        const Presence presence{true, programming ? Mode::Programming : Mode::Application,
                                programming ? kBootVendorId : kAppVendorId,
                                programming ? kBootProductId : kAppProductId, 1};
        const DeviceNote note{DeviceNote::What::Opened, number, "1-1", presence.vendorId, presence.productId};
        const std::string comment = usb_recording::notes::describe(note);
        control(number, 0x01, deviceDescriptor(presence), atUs, comment);
        control(number, 0x02, configDescriptor(), atUs, {});
    }
    void frame(uint8_t number, const Bytes &frame, uint64_t atUs) {
        usb(number, usbmon::kSubmit, 0x01, usbmon::kInProgress, frame, atUs);
        usb(number, usbmon::kComplete, 0x01, 0, {}, atUs);
    }
    void reply(uint8_t number, const Bytes &reply, uint64_t atUs, int32_t status = 0) {
        usb(number, usbmon::kSubmit, 0x81, usbmon::kInProgress, {}, atUs);
        usb(number, usbmon::kComplete, 0x81, status, reply, atUs);
    }
    void left(uint8_t number, bool programming, uint64_t atUs) {
        const DeviceNote note{DeviceNote::What::Left, number, "1-1", programming ? kBootVendorId : kAppVendorId,
                              programming ? kBootProductId : kAppProductId};
        usb_recording::appendNote(bytes_, atUs, usb_recording::notes::describe(note));
    }

    ReplayScript script() const {
        std::string error;
        auto script = buildReplayScript(bytes_, error);
        EXPECT_TRUE(script) << error;
        return script ? *script : ReplayScript{};
    }

private:
    void control(uint8_t number, uint8_t type, const Bytes &descriptor, uint64_t atUs, const std::string &comment) {
        usbmon::Header header;
        header.urbId = ++urb_;
        header.transferType = usbmon::kControl;
        header.endpoint = 0x80;
        header.device = number;
        header.setupPresent = true;
        header.setup = {0x80, 0x06, 0x00, type, 0x00, 0x00, static_cast<uint8_t>(descriptor.size()), 0x00};
        usb_recording::appendUsbEvent(bytes_, atUs, header, {}, comment);
        header.event = usbmon::kComplete;
        header.setupPresent = false;
        header.dataLength = static_cast<uint32_t>(descriptor.size());
        usb_recording::appendUsbEvent(bytes_, atUs, header, descriptor, {});
    }
    void usb(uint8_t number, char event, uint8_t endpoint, int32_t status, const Bytes &data, uint64_t atUs) {
        usbmon::Header header;
        header.urbId = event == usbmon::kSubmit ? ++urb_ : urb_;
        header.event = event;
        header.transferType = usbmon::kBulk;
        header.endpoint = endpoint;
        header.device = number;
        header.status = status;
        header.dataLength = static_cast<uint32_t>(data.size());
        usb_recording::appendUsbEvent(bytes_, atUs, header, data, {});
    }

    Bytes bytes_;
    uint64_t urb_ = 0;
};

// The replay with its report and result kept.
class Replay {
public:
    explicit Replay(ReplayScript script, double speed = 0, std::chrono::milliseconds quiet = 10s) {
        ReplayDevice::Options options;
        options.speed = speed;
        options.quietLimit = quiet;
        options.report = [this](const std::string &text) {
            std::lock_guard lock(mutex_);
            report_ += text;
        };
        device_ = std::make_unique<ReplayDevice>(std::move(script), options);
    }
    ReplayDevice &device() { return *device_; }
    std::string report() {
        std::lock_guard lock(mutex_);
        return report_;
    }
    Bytes read(uint32_t generation) {
        Bytes reply(255);
        size_t length = 0;
        if (device_->bulkIn(generation, reply, length) != TransferStatus::Ok) return {};
        reply.resize(length);
        return reply;
    }
    // The replay's end once the updater has let go; nothing after a few seconds.
    std::optional<int> endAfterRelease() {
        device_->clientEvent(ClientEvent::Imported);
        device_->clientEvent(ClientEvent::Released);
        for (int i = 0; i < 300 && !device_->result(); ++i) std::this_thread::sleep_for(10ms);
        return device_->result();
    }

private:
    std::mutex mutex_;
    std::string report_;
    std::unique_ptr<ReplayDevice> device_;
};

TEST(ReplayDeviceTest, RepliesComeAfterTheRecordedDelayTimesTheSpeed) {
    Recorder recorder;
    recorder.open(1, false, 0);
    recorder.frame(1, kStatusRead, 1'000'000);
    recorder.reply(1, kStatusReply, 61'000'000);  // a minute after its frame
    for (double speed : {0.0, 1.0}) {
        Replay replay(recorder.script(), speed);
        const Presence presence = replay.device().presence();
        ASSERT_TRUE(presence.onBus);
        EXPECT_EQ(presence.vendorId, kAppVendorId);
        ASSERT_EQ(replay.device().bulkOut(presence.generation, kStatusRead), TransferStatus::Ok);
        const bool ready = replay.device().waitForReply(presence.generation, Clock::system().now() + 20ms);
        EXPECT_EQ(ready, speed == 0) << speed;
        if (speed == 0) {
            EXPECT_EQ(replay.read(presence.generation), kStatusReply);
            EXPECT_EQ(replay.endAfterRelease(), kReplayEnded);
        }
    }
}

// Left after its reply was read, back in programming mode: a new generation
// with the new ids; a frame the recording does not have is said and ends it.
TEST(ReplayDeviceTest, TheProjectorLeavesAndReturnsAsRecordedAndAFrameBeyondTheEndIsADivergence) {
    Recorder recorder;
    recorder.open(1, false, 0);
    recorder.frame(1, kStatusRead, 100);
    recorder.reply(1, kStatusReply, 200);
    recorder.left(1, false, 300);
    recorder.frame(1, kStatusRead, 400);  // sent after it left: not the projector's
    recorder.open(2, true, 5'000'000);
    Replay replay(recorder.script());
    const Presence first = replay.device().presence();
    ASSERT_EQ(replay.device().bulkOut(first.generation, kStatusRead), TransferStatus::Ok);
    EXPECT_TRUE(replay.device().presence().onBus) << "it leaves once its reply is read";
    EXPECT_EQ(replay.read(first.generation), kStatusReply);
    const Presence second = replay.device().presence();
    ASSERT_TRUE(second.onBus);
    EXPECT_NE(second.generation, first.generation);
    EXPECT_EQ(second.vendorId, kBootVendorId);
    EXPECT_EQ(replay.device().bulkOut(first.generation, kStatusRead), TransferStatus::Gone);

    EXPECT_EQ(replay.device().bulkOut(second.generation, kStatusRead), TransferStatus::Gone);
    EXPECT_NE(replay.report().find("the updater sent frame 2, which the recording does not have: the recording "
                                   "ends here\n  updater:   04 01 00 03 00 34 01 01 3a\n"),
              std::string::npos)
        << replay.report();
    EXPECT_FALSE(replay.device().presence().onBus);
    EXPECT_EQ(replay.endAfterRelease(), kReplayDiverged);
}

TEST(ReplayDeviceTest, AnUpdaterThatGoesQuietBeforeTheEndEndsTheReplayAsDiverged) {
    Recorder recorder;
    recorder.open(1, false, 0);
    recorder.frame(1, kStatusRead, 100);
    recorder.reply(1, kStatusReply, 200);
    Replay replay(recorder.script(), 0, 0ms);
    EXPECT_EQ(replay.endAfterRelease(), kReplayDiverged);
    EXPECT_NE(replay.report().find("went quiet before the recording's end (frame 0 of 1 replayed)"), std::string::npos)
        << replay.report();
}

}  // namespace
}  // namespace projector_emulator::test
