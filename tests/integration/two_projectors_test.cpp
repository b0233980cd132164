// SPDX-License-Identifier: MIT
// Two projectors side by side, over USB/IP (one server exporting both) and
// on the local bus (two ports of umockdev's emulated USB), through the whole
// stack: the flash library, the transport, the driver and the bus it picks.
//
// - Pinned: the projector taken by the first QRV_USBInit is the one written,
//   although when it comes back from its switch into programming mode the
//   other one is already there in programming mode.
// - Chosen: QRV_DEVICE names the one to take; the other is never touched.
// - Listed: the survey names both, with their places and modes, and takes
//   neither (what tz4817-update's refusal to choose rests on).
#include <gtest/gtest.h>
#include <qrvdl.h>
#include <qrvusb.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device_manager.h"
#include "test_support/child_process.h"
#include "test_support/umockdev_projector.h"
#include "projector_emulator/device.h"
#include "projector_emulator/nor_flash.h"
#include "projector_emulator/usbip_server.h"
#include "usb_driver/driver.h"
#include "usb_driver/place_claim.h"
#include "usb_driver/survey.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

enum class Bus { Usbip, Local };

constexpr uint32_t kStart = 0xFE204000;
constexpr auto kReboot = 300ms;

// An image with the boot sector and one more sector to write.
class TwoSectorImage {
public:
    TwoSectorImage() {
        char pattern[] = "/tmp/tz4817-two-XXXXXX";
        directory_ = ::mkdtemp(pattern);
        path_ = directory_ + "/tz4817.img";
        bytes_.resize(0x6000);
        for (size_t i = 0; i < bytes_.size(); ++i) bytes_[i] = static_cast<uint8_t>((i * 13 + (i >> 9)) ^ 0xA5);
        std::ofstream(path_, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes_.data()), static_cast<std::streamsize>(bytes_.size()));
    }
    ~TwoSectorImage() { std::filesystem::remove_all(directory_); }
    const std::string &path() const { return path_; }
    const Bytes &bytes() const { return bytes_; }

private:
    std::string directory_, path_;
    Bytes bytes_;
};

// Sends programming mode 1 straight to the device, as another program would,
// and waits until it is back in programming mode.
void switchBehindTheUpdatersBack(projector_emulator::Tz4817Device &device) {
    const projector_emulator::Presence before = device.presence();
    const uint8_t frame[] = {0x02, 0x01, 0x00, 0x03, 0x00, 0x34, 0x30, 0x01, 0x69};
    ASSERT_EQ(device.bulkOut(before.generation, frame), projector_emulator::TransferStatus::Ok);
    uint8_t reply[64];
    size_t length = 0;
    ASSERT_EQ(device.bulkIn(before.generation, reply, length), projector_emulator::TransferStatus::Ok);
    projector_emulator::Presence now = before;
    const auto deadline = device.clock().now() + 20s;
    while (!(now.onBus && now.mode == projector_emulator::Mode::Programming) && device.clock().now() < deadline)
        now = device.waitForPresenceChange(now, deadline);
    ASSERT_EQ(now.mode, projector_emulator::Mode::Programming);
}

class TwoProjectorsTest : public ::testing::TestWithParam<Bus> {
protected:
    static constexpr const char *kPlaces[2] = {"1-1", "1-2"};

    void SetUp() override {
        if (GetParam() == Bus::Local && !test_support::umockdevLoaded())
            GTEST_SKIP() << "libumockdev-preload is not loaded: the emulated USB is not there";
        usb_driver::testing::setBusFactory({});  // the bus the driver picks itself
        ::unsetenv("QRV_DEVICE");
        usb_transport::testing::forgetPlace();
    }
    void TearDown() override {
        QRV_USBTerm();
        ::unsetenv("QRV_DEVICE");
        ::unsetenv("QRV_USBIP");
        usb_transport::testing::forgetPlace();
        projectors_.clear();
        server_.reset();
    }

    // Two projectors in application mode, plugged in at 1-1 and 1-2.
    void plugIn() {
        projector_emulator::DeviceOptions options;
        options.rebootDelay = kReboot;
        options.eraseTime = 0ms;
        for (size_t i = 0; i < 2; ++i) {
            flashes_[i] = projector_emulator::NorFlash::inMemory();
            factory_[i].assign(flashes_[i]->contents().begin(), flashes_[i]->contents().end());
            devices_[i] = std::make_unique<projector_emulator::Tz4817Device>(*flashes_[i], options);
        }
        if (GetParam() == Bus::Usbip) {
            projector_emulator::UsbipServerOptions serverOptions;
            serverOptions.port = 0;
            serverOptions.log = [this](const std::string &line) {
                std::lock_guard lock(logMutex_);
                serverLog_ += line + "\n";
            };
            server_ = std::make_unique<projector_emulator::UsbipServer>(
                std::vector<projector_emulator::EmulatedDevice *>{devices_[0].get(), devices_[1].get()}, serverOptions);
            std::string error;
            ASSERT_TRUE(server_->start(error)) << error;
            ::setenv("QRV_USBIP", ("127.0.0.1:" + std::to_string(server_->port())).c_str(), 1);
        } else {
            ::unsetenv("QRV_USBIP");
            for (int i = 0; i < 2; ++i)
                projectors_.push_back(std::make_unique<test_support::UmockdevProjector>(*devices_[i], i + 1));
        }
    }

    // Switches projector `index` into programming mode behind the updater's
    // back, and waits until its bus shows it so.
    void switchOther(size_t index) {
        const int appearances = GetParam() == Bus::Local ? projectors_[index]->appearances() : 0;
        switchBehindTheUpdatersBack(*devices_[index]);
        if (GetParam() != Bus::Local) return;  // the server lists it at once
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while ((projectors_[index]->appearances() == appearances || projectors_[index]->deviceNode().empty()) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
    }

    // Which projector the link has taken: the one a status read reaches.
    size_t taken() {
        const uint64_t before[2] = {devices_[0]->framesReceived(), devices_[1]->framesReceived()};
        uint8_t status = 0;
        EXPECT_EQ(QRVDL_CmdReadStatus(&status), 0);
        return devices_[1]->framesReceived() > before[1] ? 1 : 0;
    }

    // Whether projector `index` was ever opened for a transfer: imported
    // from the server, or its interface claimed on the local bus.
    bool everTaken(size_t index) {
        if (GetParam() == Bus::Local) return !projectors_[index]->interfaceSelections().empty();
        std::lock_guard lock(logMutex_);
        return serverLog_.find(std::string("imported ") + kPlaces[index]) != std::string::npos;
    }

    // The rest of the update on the link that QRV_USBInit opened: the
    // switch, the load, programming mode 2.
    void update(const TwoSectorImage &image) {
        ASSERT_EQ(QRVDL_SwitchAppToBoot(0), 0);
        ASSERT_EQ(QRVDL_LoadFlash(image.path().c_str(), kStart, 0, nullptr, nullptr), 0);
        EXPECT_EQ(QRVDL_CmdWriteProgrammingMode(2), 0);
        EXPECT_EQ(QRV_USBTerm(), 0);
    }

    void expectWritten(size_t index, const TwoSectorImage &image) {
        const auto &flash = flashes_[index]->contents();
        EXPECT_TRUE(std::equal(image.bytes().begin() + 0x4000, image.bytes().end(), flash.begin() + 0x4000))
            << kPlaces[index] << " does not hold the image";
        EXPECT_TRUE(std::equal(factory_[index].begin(), factory_[index].begin() + 0x4000, flash.begin()));
    }
    void expectUntouched(size_t index) {
        EXPECT_TRUE(std::equal(factory_[index].begin(), factory_[index].end(), flashes_[index]->contents().begin()))
            << kPlaces[index] << " was written";
    }

    // QRV_DEVICE names projector `chosen`: it is taken and written, the
    // other is never touched.
    void updateOnlyTheChosen(size_t chosen) {
        plugIn();
        TwoSectorImage image;
        ::setenv("QRV_DEVICE", kPlaces[chosen], 1);
        ASSERT_EQ(QRV_USBInit(), 0);
        EXPECT_EQ(taken(), chosen);
        update(image);
        expectWritten(chosen, image);
        expectUntouched(1 - chosen);
        EXPECT_FALSE(everTaken(1 - chosen)) << "the other projector was taken";
    }

    std::array<std::unique_ptr<projector_emulator::NorFlash>, 2> flashes_;
    std::array<Bytes, 2> factory_;
    std::array<std::unique_ptr<projector_emulator::Tz4817Device>, 2> devices_;
    std::unique_ptr<projector_emulator::UsbipServer> server_;
    std::vector<std::unique_ptr<test_support::UmockdevProjector>> projectors_;
    std::mutex logMutex_;
    std::string serverLog_;
};

TEST_P(TwoProjectorsTest, TheProjectorSwitchedIsTheOneWrittenThoughTheOtherWaitsInProgrammingMode) {
    plugIn();
    TwoSectorImage image;
    ASSERT_EQ(QRV_USBInit(), 0);
    const size_t first = taken(), other = 1 - first;
    // A service bench: the other projector is already in programming mode
    // when the first one comes back from its switch.
    switchOther(other);
    update(image);
    expectWritten(first, image);
    expectUntouched(other);
    EXPECT_EQ(usb_transport::testing::keptPlace(), kPlaces[first]);
}

// One choice per test: each test runs in its own process, which keeps one
// emulated USB (one umockdev testbed) from its start to its end.
TEST_P(TwoProjectorsTest, TheSecondProjectorChosenIsTheOnlyOneTaken) { updateOnlyTheChosen(1); }
TEST_P(TwoProjectorsTest, TheFirstProjectorChosenIsTheOnlyOneTaken) { updateOnlyTheChosen(0); }

TEST_P(TwoProjectorsTest, SurveyNamesBothAndTakesNeither) {
    plugIn();
    switchOther(1);
    const usb_driver::Survey survey = usb_driver::surveyDefaultBus();
    ASSERT_EQ(survey.status, 0u) << survey.problem;
    std::vector<std::string> seen;
    for (const usb_driver::SurveyedDevice &device : survey.devices) {
        char line[64];
        std::snprintf(line, sizeof line, "%s %04x:%04x", device.place.c_str(), device.vendorId, device.productId);
        seen.push_back(line);
    }
    std::sort(seen.begin(), seen.end());  // libusb lists in its own order
    EXPECT_EQ(seen, (std::vector<std::string>{"1-1 e7a2:051e", "1-2 e7b9:2000"}));
    EXPECT_EQ(survey.server.empty(), GetParam() == Bus::Local);
    EXPECT_FALSE(everTaken(0));
    EXPECT_FALSE(everTaken(1));
}

// Two projectors on one bench: the update claims the place of the one it
// takes, for the rest of its process (across the switch too), and gives up
// the claim on the one it passed over, which another updater may then take.
// The survey names the other updater of a projector.
TEST_P(TwoProjectorsTest, OnlyThePlaceOfTheProjectorTakenStaysClaimed) {
    plugIn();
    ASSERT_EQ(QRV_USBInit(), 0);
    const size_t first = taken(), other = 1 - first;
    const std::string scope = GetParam() == Bus::Usbip ? "usbip 127.0.0.1:" + std::to_string(server_->port())
                                                       : usb_driver::place_claim::localScopeKey();
    // The claim on the projector passed over goes once the link has declined it.
    std::unique_ptr<test_support::ChildProcess> holder;
    for (int attempt = 0; attempt < 100 && !holder; ++attempt) {
        holder = std::make_unique<test_support::ChildProcess>(
            test_support::Launch{CLAIM_HOLDER_PROGRAM, {scope, kPlaces[other]}});
        if (!holder->waitForOutput("claimed\n", std::chrono::seconds(10))) {
            holder.reset();
            std::this_thread::sleep_for(50ms);
        }
    }
    ASSERT_TRUE(holder) << "the place of the projector passed over stayed claimed";
    const usb_driver::Survey survey = usb_driver::surveyDefaultBus();
    for (const usb_driver::SurveyedDevice &device : survey.devices) {
        SCOPED_TRACE(device.place);
        ASSERT_EQ(device.busy.has_value(), device.place == kPlaces[other]);
        if (device.busy) {
            EXPECT_EQ(device.busy->pid, static_cast<uint32_t>(holder->pid()));
        }
    }

    ASSERT_EQ(QRV_USBTerm(), 0);  // as the switch into programming mode does
    test_support::ChildProcess refused({CLAIM_HOLDER_PROGRAM, {scope, kPlaces[first]}});
    EXPECT_EQ(refused.wait(), 1) << "the place of the projector taken was given up: " << refused.output();
}

INSTANTIATE_TEST_SUITE_P(Buses, TwoProjectorsTest, ::testing::Values(Bus::Usbip, Bus::Local),
                         [](const auto &info) { return info.param == Bus::Usbip ? "Usbip" : "LocalBus"; });

}  // namespace
