// SPDX-License-Identifier: MIT
// The whole stack on the local bus: the flash download library, the transport,
// the driver with the bus it picks itself (LibusbBus when QRV_USBIP is unset),
// the real libusb, and the emulated projector on umockdev's emulated USB.
#include <gtest/gtest.h>
#include <qrvdl.h>
#include <qrvusb.h>

#include <atomic>
#include <csignal>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>

#include "command_frame/command_frame.h"
#include "test_support/child_process.h"
#include "test_support/umockdev_projector.h"
#include "projector_emulator/device.h"
#include "projector_emulator/nor_flash.h"
#include "usb_driver/driver.h"
#include "usb_driver/driver_status.h"
#include "libusb_bus/libusb_bus.h"
#include "usb_driver/place_claim.h"

namespace usb_driver {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

constexpr auto kPatience = 60s;  // safety net only

enum class BusChoice { Default, PollingFactory };

// A flash image file: the bytes at file position p are meant for flash offset p.
class TemporaryImage {
public:
    explicit TemporaryImage(const Bytes &contents) {
        char pattern[] = "/tmp/tz4817-libusb-XXXXXX";
        directory_ = mkdtemp(pattern);
        path_ = directory_ + "/tz4817.img";
        std::ofstream(path_, std::ios::binary)
            .write(reinterpret_cast<const char *>(contents.data()), static_cast<std::streamsize>(contents.size()));
    }
    ~TemporaryImage() { std::filesystem::remove_all(directory_); }
    const std::string &path() const { return path_; }

private:
    std::string directory_;
    std::string path_;
};

class LibusbStackTest : public ::testing::TestWithParam<BusChoice> {
protected:
    void SetUp() override {
        if (!test_support::umockdevLoaded())
            GTEST_SKIP() << "libumockdev-preload is not loaded: the emulated USB is not there";
        unsetenv("QRV_USBIP");
        if (GetParam() == BusChoice::PollingFactory) {
            testing::setBusFactory([] {
                LibusbBusOptions options;
                options.forcePolling = true;
                return std::shared_ptr<Bus>(LibusbBus::create(options));
            });
        } else {
            testing::setBusFactory({});  // makeDefaultBus
        }
        flash_ = projector_emulator::NorFlash::inMemory();
        projector_emulator::DeviceOptions options;
        options.rebootDelay = 50ms;
        options.eraseTime = 0ms;
        device_ = std::make_unique<projector_emulator::Tz4817Device>(*flash_, options);
        projector_ = std::make_unique<test_support::UmockdevProjector>(*device_);
    }
    void TearDown() override {
        QRV_USBTerm();
        testing::setBusFactory({});
        if (projector_) {
            EXPECT_EQ(projector_->unknownRequests(), std::vector<unsigned long>{});
        }
        projector_.reset();
    }

    // A whole update with `image` (file positions are flash offsets): every
    // step succeeds and the image from 0x4000 on is in the flash.
    void expectUpdate(const Bytes &image) {
        TemporaryImage file(image);
        ASSERT_EQ(QRV_USBInit(), 0);
        ASSERT_EQ(QRVDL_SwitchAppToBoot(300), 0);
        ASSERT_EQ(QRVDL_LoadFlash(file.path().c_str(), 0xFE204000, 0, nullptr, nullptr), 0);
        EXPECT_EQ(QRVDL_CmdWriteProgrammingMode(2), 0);
        const auto after = flash_->contents();
        EXPECT_TRUE(std::equal(image.begin() + 0x4000, image.end(), after.begin() + 0x4000)) << "image not in flash";
    }

    std::unique_ptr<projector_emulator::NorFlash> flash_;
    std::unique_ptr<projector_emulator::Tz4817Device> device_;
    std::unique_ptr<test_support::UmockdevProjector> projector_;
};

TEST_P(LibusbStackTest, UsbInitTakesTheProjectorAndCommandsAreAnswered) {
    ASSERT_EQ(QRV_USBInit(), 0);
    uint8_t status = 0xEE;
    EXPECT_EQ(QRVDL_CmdReadStatus(&status), 0);
    EXPECT_EQ(status & command_frame::kStatusBusy, 0);
    uint16_t ids[2] = {};
    ASSERT_EQ(QRVDL_CmdReadFlashDeviceId(ids), 0);
    EXPECT_EQ(ids[0], projector_emulator::kFlashDeviceId);
    EXPECT_EQ(ids[1], projector_emulator::kFlashManufacturerId);
}

TEST_P(LibusbStackTest, SwitchAppToBootFollowsTheReEnumeration) {
    ASSERT_EQ(QRV_USBInit(), 0);
    // The pause must outlast the reboot: the switch opens the link anew after it.
    EXPECT_EQ(QRVDL_SwitchAppToBoot(300), 0);
    EXPECT_EQ(device_->presence().mode, projector_emulator::Mode::Programming);
    EXPECT_EQ(projector_->appearances(), 2);
    uint8_t status = 0xEE;
    EXPECT_EQ(QRVDL_CmdReadStatus(&status), 0);
}

TEST_P(LibusbStackTest, UpdateProgramsTheImageAndLeavesTheRestOfTheFlash) {
    const Bytes before(flash_->contents().begin(), flash_->contents().end());
    // Flash offsets 0x4000..0x5FFF: the second sector, after the boot sector.
    Bytes image(0x6000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>((i * 7 + (i >> 8)) ^ 0x5A);
    ASSERT_NO_FATAL_FAILURE(expectUpdate(image));

    const auto after = flash_->contents();
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + 0x4000, after.begin())) << "boot sector touched";
    EXPECT_TRUE(std::equal(before.begin() + 0x6000, before.end(), after.begin() + 0x6000)) << "flash beyond touched";
    EXPECT_EQ(flash_->programErrors(), 0u);
}

// A run that ended between a frame and its reply (killed, crashed) leaves
// that reply in the projector's IN endpoint; the projector keeps running.
// The next update discards it instead of taking it for the reply to its own
// first command, and updates.
TEST_P(LibusbStackTest, UpdateAfterARunThatLeftItsReplyUnreadSucceeds) {
    ASSERT_EQ(QRV_USBInit(), 0);
    ASSERT_EQ(QRVDL_SwitchAppToBoot(300), 0);
    EXPECT_EQ(QRV_USBTerm(), 0);
    // The last frame of the run that died: a download that reached the
    // projector, whose reply nobody read.
    Bytes frame = {0x02, 0x2A, 0x00, 0x03, 0x00, 0x34, 0x25, 0x5A, 0};
    for (size_t i = 1; i + 1 < frame.size(); ++i) frame.back() = static_cast<uint8_t>(frame.back() + frame[i]);
    const uint32_t generation = device_->presence().generation;
    ASSERT_EQ(device_->bulkOut(generation, frame), projector_emulator::TransferStatus::Ok);
    ASSERT_TRUE(device_->waitForReply(generation, std::chrono::steady_clock::now()));

    Bytes image(0x6000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 13 + (i >> 9));
    expectUpdate(image);
}

TEST_P(LibusbStackTest, ProjectorPulledMidDownloadFailsInsteadOfHanging) {
    Bytes image(0x14000, 0x3C);
    TemporaryImage file(image);
    std::mutex mutex;
    std::condition_variable downloading;
    int frames = 0;
    device_->setFrameObserver([&](const projector_emulator::FrameRecord &record) {
        if (record.valid && record.operation == 0x25) {
            std::lock_guard lock(mutex);
            ++frames;
            downloading.notify_all();
        }
    });

    ASSERT_EQ(QRV_USBInit(), 0);
    ASSERT_EQ(QRVDL_SwitchAppToBoot(300), 0);
    auto load = std::async(std::launch::async,
                           [&] { return QRVDL_LoadFlash(file.path().c_str(), 0xFE210000, 0, nullptr, nullptr); });
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(downloading.wait_for(lock, kPatience, [&] { return frames >= 20; }));
    }
    projector_->unplug();
    ASSERT_EQ(load.wait_for(kPatience), std::future_status::ready) << "the download hangs on a pulled device";
    EXPECT_EQ(load.get(), 1);

    uint8_t frame[520] = {0x04, 0, 0, 3, 0, 0x34, 0x01, 0x01};
    frame[8] = static_cast<uint8_t>(3 + 0x34 + 0x01 + 0x01);
    uint32_t capacity = 255;
    const int32_t result = QRV_WriteQrvUsbCmd(frame, 9, &capacity);
    EXPECT_NE(result, 0);
    EXPECT_NE(result, 1) << "a driver status (device gone or transfer failed), not an echo mismatch";
}

// Another updater holds the projector's place (claim_holder stands in for
// it, a process of its own): this one sends nothing to the projector, fails
// at once with the busy status and names that process. Once it has been
// killed its claim is gone with it, and the projector is updated.
TEST_P(LibusbStackTest, ProjectorAnotherProcessUpdatesIsLeftAloneAndTakenOnceThatProcessIsGone) {
    test_support::ChildProcess other({CLAIM_HOLDER_PROGRAM, {place_claim::localScopeKey(), "1-1"}});
    ASSERT_TRUE(other.waitForOutput("claimed\n", std::chrono::seconds(30))) << other.errors();
    ::testing::internal::CaptureStderr();
    const auto began = std::chrono::steady_clock::now();
    const uint32_t status = static_cast<uint32_t>(QRV_USBInit());
    const auto took = std::chrono::steady_clock::now() - began;
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, QRV_ERR_BUSY);
    // At once: well before the 30-second wait would end, with room for a
    // sanitizer build on a loaded machine.
    EXPECT_LT(took, 20s) << "not at once: the 30-second wait ran";
    EXPECT_NE(said.find("tz4817: the projector at 1-1 on this computer's USB ports is being updated by process " +
                        std::to_string(other.pid()) + " (claim_holder)\n"),
              std::string::npos)
        << said;
    EXPECT_EQ(device_->framesReceived(), 0u);
    EXPECT_TRUE(projector_->interfaceSelections().empty()) << "the projector was opened";
    EXPECT_EQ(QRV_USBTerm(), 0);

    other.signal(SIGKILL);
    other.wait();
    Bytes image(0x6000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 5 + (i >> 7));
    expectUpdate(image);
}

INSTANTIATE_TEST_SUITE_P(DefaultBusAndPolling, LibusbStackTest,
                         ::testing::Values(BusChoice::Default, BusChoice::PollingFactory),
                         [](const auto &info) { return info.param == BusChoice::Default ? "DefaultBus" : "Polling"; });

// With QRV_USBIP unset and no projector plugged in, the driver still opens:
// the local bus exists and simply has nothing to offer, so QRV_USBInit waits
// its 30 seconds and returns WDU_ERR_TIMEOUT rather than failing at once with
// WDU_ERR_SYSTEM.
TEST(LibusbDefaultBus, DriverOpensOnTheLocalBusWithoutAProjector) {
    if (!test_support::umockdevLoaded()) GTEST_SKIP() << "libumockdev-preload is not loaded";
    unsetenv("QRV_USBIP");
    testing::setBusFactory({});
    auto flash = projector_emulator::NorFlash::inMemory();
    projector_emulator::Tz4817Device device(*flash);
    test_support::UmockdevProjector projector(device);
    projector.unplug();
    Connection *connection = driverOpen();
    EXPECT_NE(connection, nullptr) << "no local bus: QRV_USBInit would fail with WDU_ERR_SYSTEM";
    driverClose(connection);
}

// The same through the transport: with no projector on the local bus
// QRV_USBInit waits out its attach limit and says so with WDU_ERR_TIMEOUT,
// the status the program reports as a projector that never came. The local
// bus's one test of the real 30 seconds (labelled slow).
TEST(LibusbDefaultBus, UsbInitWithoutAProjectorTimesOut) {
    if (!test_support::umockdevLoaded()) GTEST_SKIP() << "libumockdev-preload is not loaded";
    unsetenv("QRV_USBIP");
    testing::setBusFactory({});
    auto flash = projector_emulator::NorFlash::inMemory();
    projector_emulator::Tz4817Device device(*flash);
    test_support::UmockdevProjector projector(device);
    projector.unplug();
    EXPECT_EQ(static_cast<uint32_t>(QRV_USBInit()), 0x20000015u);  // WDU_ERR_TIMEOUT
    EXPECT_EQ(QRV_USBTerm(), 0);
}

}  // namespace
}  // namespace usb_driver
