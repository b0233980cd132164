// SPDX-License-Identifier: MIT
// LibusbBus through the real libusb-1.0 on umockdev's emulated USB: the
// projector's URBs go through libusb's Linux backend to the bridge and on to
// the emulated device.
#include <gtest/gtest.h>
#include <libusb.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <umockdev.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "libusb_bus/libusb_descriptors.h"
#include "test_support/umockdev_projector.h"
#include "projector_emulator/device.h"
#include "projector_emulator/nor_flash.h"
#include "usb_driver/driver_status.h"
#include "libusb_bus/libusb_bus.h"
#include "usb_standard/usb_standard.h"

// libusb's event handling, wrapped at link time (-Wl,--wrap) so that a test
// can make it fail for the thread that waits for a transfer, and can hold the
// bus's own event thread outside libusb meanwhile: then nothing but the
// waiting thread completes the transfer.
namespace {

struct EventHandlingFaults {
    std::atomic<int> failures{0};  // calls of libusb_handle_events_completed left to fail
    std::mutex mutex;
    std::condition_variable changed;
    bool holdEventThread = false;
    bool eventThreadHeld = false;
};
EventHandlingFaults eventFaults;

}  // namespace

extern "C" int __real_libusb_handle_events_completed(libusb_context *context, int *completed);
extern "C" int __real_libusb_handle_events_timeout_completed(libusb_context *context, timeval *timeout, int *completed);

extern "C" int __wrap_libusb_handle_events_completed(libusb_context *context, int *completed) {
    int left = eventFaults.failures.load();
    while (left > 0 && !eventFaults.failures.compare_exchange_weak(left, left - 1)) {}
    if (left > 0) return LIBUSB_ERROR_IO;
    return __real_libusb_handle_events_completed(context, completed);
}

extern "C" int __wrap_libusb_handle_events_timeout_completed(libusb_context *context, timeval *timeout,
                                                             int *completed) {
    {
        std::unique_lock lock(eventFaults.mutex);
        if (eventFaults.holdEventThread) {
            eventFaults.eventThreadHeld = true;
            eventFaults.changed.notify_all();
            eventFaults.changed.wait(lock, [] { return !eventFaults.holdEventThread; });
            eventFaults.eventThreadHeld = false;
        }
    }
    return __real_libusb_handle_events_timeout_completed(context, timeout, completed);
}

// A completion that comes after its transfer() returned writes into a frame
// that is gone: AddressSanitizer is to see that too.
extern "C" __attribute__((visibility("default"))) const char *__asan_default_options() {
    return "detect_stack_use_after_return=1";
}

namespace usb_driver {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

// Safety net only: every wait below normally ends in milliseconds.
constexpr auto kPatience = 20s;

Bytes frame(uint8_t kind, uint8_t operation, const Bytes &parameters, uint8_t sequence = 1) {
    Bytes f{kind, sequence, 0, static_cast<uint8_t>(parameters.size() + 2), 0, 0x34, operation};
    f.reserve(f.size() + parameters.size() + 1);
    f.insert(f.end(), parameters.begin(), parameters.end());
    uint8_t sum = 0;
    for (size_t i = 1; i < f.size(); ++i) sum = static_cast<uint8_t>(sum + f[i]);
    f.push_back(sum);
    return f;
}
Bytes statusRead(uint8_t sequence = 1) { return frame(0x04, 0x01, {0x01}, sequence); }
Bytes programmingMode() { return frame(0x02, 0x30, {0x01}); }

class Listener : public BusListener {
public:
    void busFailed(uint32_t) override { ADD_FAILURE() << "the local bus never fails"; }
    bool wanted(uint16_t vendorId, uint16_t productId, const std::string &) override {
        std::lock_guard lock(mutex_);
        ++wantedQuestions_;
        return (vendorId == projector_emulator::kAppVendorId && productId == projector_emulator::kAppProductId &&
                wantApplication_) ||
               (vendorId == projector_emulator::kBootVendorId && productId == projector_emulator::kBootProductId);
    }
    void deviceArrived(const BusDevice &device) override {
        std::lock_guard lock(mutex_);
        EXPECT_NE(std::this_thread::get_id(), callerThread_) << "reported from inside a call of the driver";
        arrivals_.push_back(device);
        changed_.notify_all();
    }
    void deviceLeft(uint64_t key) override {
        std::lock_guard lock(mutex_);
        EXPECT_NE(std::this_thread::get_id(), callerThread_);
        departures_.push_back(key);
        changed_.notify_all();
    }

    // The n-th arrival (from 1); fails the test when it does not come.
    BusDevice arrival(size_t n) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, kPatience, [&] { return arrivals_.size() >= n; })) {
            ADD_FAILURE() << "arrival " << n << " did not come";
            return {};
        }
        return arrivals_[n - 1];
    }
    bool departed(uint64_t key) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] {
            return std::find(departures_.begin(), departures_.end(), key) != departures_.end();
        });
    }
    size_t arrivals() {
        std::lock_guard lock(mutex_);
        return arrivals_.size();
    }
    size_t departures() {
        std::lock_guard lock(mutex_);
        return departures_.size();
    }
    int wantedQuestions() {
        std::lock_guard lock(mutex_);
        return wantedQuestions_;
    }
    void wantApplication(bool want) {
        std::lock_guard lock(mutex_);
        wantApplication_ = want;
    }

    std::thread::id callerThread_ = std::this_thread::get_id();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<BusDevice> arrivals_;
    std::vector<uint64_t> departures_;
    bool wantApplication_ = false;
    int wantedQuestions_ = 0;
};

// Root passes every permission check; this drops that override for the
// calling thread only (capabilities are per thread), as for a desktop user.
class AsUnprivilegedThread {
public:
    AsUnprivilegedThread() {
        syscall(SYS_capget, &header_, saved_);
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        syscall(SYS_capset, &header_, reduced);
    }
    ~AsUnprivilegedThread() { syscall(SYS_capset, &header_, saved_); }

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2] = {};
};

class LibusbBusTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (!test_support::umockdevLoaded())
            GTEST_SKIP() << "libumockdev-preload is not loaded: the emulated USB is not there";
        flash_ = projector_emulator::NorFlash::inMemory();
        projector_emulator::DeviceOptions options;
        options.rebootDelay = 30ms;
        options.eraseTime = 1ms;
        device_ = std::make_unique<projector_emulator::Tz4817Device>(*flash_, options);
        projector_ = std::make_unique<test_support::UmockdevProjector>(*device_);
        LibusbBusOptions busOptions;
        busOptions.forcePolling = GetParam();
        busOptions.pollInterval = 50ms;
        bus_ = LibusbBus::create(busOptions);
        ASSERT_TRUE(bus_);
    }
    void TearDown() override {
        bus_.reset();
        if (projector_) {
            EXPECT_EQ(projector_->unknownRequests(), std::vector<unsigned long>{});
        }
        projector_.reset();
    }

    // Starts the bus and opens the projector; its key.
    uint64_t openProjector() {
        listener_.wantApplication(true);
        EXPECT_EQ(bus_->start(listener_), kStatusOk);
        const uint64_t key = listener_.arrival(1).key;
        EXPECT_EQ(bus_->open(key), kStatusOk);
        return key;
    }

    uint32_t send(uint64_t key, Bytes bytes, uint32_t timeoutMs = 1000) {
        TransferRequest request;
        request.pipe = 0x01;
        request.buffer = bytes.data();
        request.length = static_cast<uint32_t>(bytes.size());
        request.timeoutMs = timeoutMs;
        uint32_t transferred = 0xDEAD;
        const uint32_t status = bus_->transfer(key, request, transferred);
        if (status == kStatusOk) {
            EXPECT_EQ(transferred, bytes.size());
        }
        return status;
    }
    uint32_t receive(uint64_t key, Bytes &reply, uint32_t timeoutMs = 1000, uint32_t capacity = 255) {
        reply.assign(capacity, 0);
        TransferRequest request;
        request.pipe = 0x81;
        request.in = true;
        request.buffer = reply.data();
        request.length = capacity;
        request.timeoutMs = timeoutMs;
        uint32_t transferred = 0xDEAD;
        const uint32_t status = bus_->transfer(key, request, transferred);
        EXPECT_LE(transferred, capacity) << "transferred is always written";
        reply.resize(transferred);
        return status;
    }

    std::unique_ptr<projector_emulator::NorFlash> flash_;
    std::unique_ptr<projector_emulator::Tz4817Device> device_;
    std::unique_ptr<test_support::UmockdevProjector> projector_;
    std::shared_ptr<LibusbBus> bus_;
    Listener listener_;
};

TEST_P(LibusbBusTest, PresentDeviceIsReportedWithTheDescriptorsItSent) {
    listener_.wantApplication(true);
    ASSERT_EQ(bus_->start(listener_), kStatusOk);
    const BusDevice device = listener_.arrival(1);
    EXPECT_NE(device.key, 0u);
    EXPECT_EQ(device.vendorId, projector_emulator::kAppVendorId);
    EXPECT_EQ(device.productId, projector_emulator::kAppProductId);
    EXPECT_EQ(device.deviceDescriptor, projector_emulator::deviceDescriptor(device_->presence()));
    EXPECT_EQ(device.configDescriptor, projector_emulator::configDescriptor());
}

TEST_P(LibusbBusTest, UnwantedDeviceIsReportedOnlyOnceSomeoneWantsIt) {
    ASSERT_EQ(bus_->start(listener_), kStatusOk);
    while (listener_.wantedQuestions() == 0) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(listener_.arrivals(), 0u);
    listener_.wantApplication(true);
    EXPECT_EQ(listener_.arrival(1).vendorId, projector_emulator::kAppVendorId);
}

TEST_P(LibusbBusTest, FrameAndReplyTravelThroughLibusb) {
    const uint64_t key = openProjector();
    EXPECT_EQ(bus_->setInterface(key, 0, 0), kStatusOk);
    EXPECT_EQ(projector_->interfaceSelections(), std::vector<unsigned>{0u});
    ASSERT_EQ(send(key, statusRead(7)), kStatusOk);
    Bytes reply;
    ASSERT_EQ(receive(key, reply), kStatusOk);
    ASSERT_EQ(reply.size(), 9u);  // one data byte: d + 8
    EXPECT_EQ(reply[1], 7) << "sequence echo";
}

TEST_P(LibusbBusTest, ReadWithNothingToReadTimesOutWithNothingTransferred) {
    const uint64_t key = openProjector();
    Bytes reply;
    EXPECT_EQ(receive(key, reply, 30), kStatusTimeout);
    EXPECT_TRUE(reply.empty());
    // The cancelled URB is gone: the next exchange gets its own reply.
    ASSERT_EQ(send(key, statusRead(9)), kStatusOk);
    ASSERT_EQ(receive(key, reply), kStatusOk);
    ASSERT_GE(reply.size(), 2u);
    EXPECT_EQ(reply[1], 9);
}

TEST_P(LibusbBusTest, StalledPipeIsReportedAndItsHaltCleared) {
    const uint64_t key = openProjector();
    projector_->failNextIn(-EPIPE);
    Bytes reply;
    EXPECT_EQ(receive(key, reply), kStatusStall);
    EXPECT_EQ(bus_->resetPipe(key, 0x81), kStatusOk);
    EXPECT_EQ(projector_->clearedHalts(), std::vector<unsigned>{0x81u});
}

TEST_P(LibusbBusTest, PipesTheDeviceDoesNotHaveAreRefused) {
    const uint64_t key = openProjector();
    Bytes buffer(8);
    TransferRequest request;
    request.buffer = buffer.data();
    request.length = 8;
    request.timeoutMs = 100;
    uint32_t transferred = 0xDEAD;
    for (auto [pipe, in] : {std::pair{0x02u, false}, std::pair{0x82u, true}, std::pair{0x81u, false},
                            std::pair{0x01u, true}, std::pair{0x181u, true}}) {
        request.pipe = pipe;
        request.in = in;
        EXPECT_EQ(bus_->transfer(key, request, transferred), kStatusBadRecord) << "pipe " << pipe;
        EXPECT_EQ(transferred, 0u);
    }
}

TEST_P(LibusbBusTest, ControlTransferOnPipeZeroCarriesTheSetupPacket) {
    const uint64_t key = openProjector();
    Bytes buffer(64, 0);
    TransferRequest request;
    request.pipe = 0;
    request.in = true;
    request.buffer = buffer.data();
    request.length = 64;
    const auto getDeviceDescriptor = usb_standard::getDescriptor(usb_standard::DT_DEVICE, 0, 18);
    std::copy(getDeviceDescriptor.begin(), getDeviceDescriptor.end(), request.setup);
    request.timeoutMs = 1000;
    uint32_t transferred = 0;
    ASSERT_EQ(bus_->transfer(key, request, transferred), kStatusOk);
    ASSERT_EQ(transferred, 18u);
    buffer.resize(18);
    EXPECT_EQ(buffer, projector_emulator::deviceDescriptor(device_->presence()));

    const uint8_t unknownRequest[8] = {0xC0, 0x77, 0, 0, 0, 0, 4, 0};
    std::copy(std::begin(unknownRequest), std::end(unknownRequest), request.setup);
    EXPECT_EQ(bus_->transfer(key, request, transferred), kStatusStall);
    // wLength beyond the caller's buffer would overrun it.
    request.setup[6] = 65;
    request.setup[0] = 0x80;
    EXPECT_EQ(bus_->transfer(key, request, transferred), kStatusBadRecord);
}

TEST_P(LibusbBusTest, DepartureEndsAPendingReadAndReportsTheDevice) {
    const uint64_t key = openProjector();
    auto read = std::async(std::launch::async, [&] {
        Bytes reply;
        return receive(key, reply, 0);  // no time-out: only the departure can end it
    });
    EXPECT_EQ(read.wait_for(50ms), std::future_status::timeout);
    projector_->unplug();
    EXPECT_TRUE(listener_.departed(key));
    ASSERT_EQ(read.wait_for(kPatience), std::future_status::ready) << "read hangs after the device left";
    EXPECT_EQ(read.get(), kStatusDeviceNotFound);
    Bytes reply;
    EXPECT_EQ(send(key, statusRead()), kStatusDeviceNotFound);
    EXPECT_EQ(bus_->setInterface(key, 0, 0), kStatusDeviceNotFound);
    EXPECT_EQ(bus_->open(key), kStatusDeviceNotFound);
    bus_->close(key);  // the driver's close after a departure is harmless
}

TEST_P(LibusbBusTest, ReturningDeviceIsANewDeviceWithANewKey) {
    const uint64_t key = openProjector();
    projector_->unplug();
    ASSERT_TRUE(listener_.departed(key));
    projector_->replug();
    const BusDevice again = listener_.arrival(2);
    EXPECT_NE(again.key, key);
    ASSERT_EQ(bus_->open(again.key), kStatusOk);
    ASSERT_EQ(send(again.key, statusRead(3)), kStatusOk);
    Bytes reply;
    ASSERT_EQ(receive(again.key, reply), kStatusOk);
    EXPECT_EQ(reply.at(1), 3);
}

TEST_P(LibusbBusTest, ModeSwitchLeavesAndComesBackWithTheProgrammingIds) {
    const uint64_t key = openProjector();
    ASSERT_EQ(send(key, programmingMode()), kStatusOk);
    Bytes reply;
    ASSERT_EQ(receive(key, reply), kStatusOk);  // the acknowledgement, then the reboot
    ASSERT_TRUE(listener_.departed(key));
    const BusDevice boot = listener_.arrival(2);
    EXPECT_EQ(boot.vendorId, projector_emulator::kBootVendorId);
    EXPECT_EQ(boot.productId, projector_emulator::kBootProductId);
    EXPECT_EQ(boot.deviceDescriptor, projector_emulator::deviceDescriptor(device_->presence()));
    ASSERT_EQ(bus_->open(boot.key), kStatusOk);
    ASSERT_EQ(send(boot.key, statusRead(4)), kStatusOk);
    ASSERT_EQ(receive(boot.key, reply), kStatusOk);
    EXPECT_EQ(reply.at(1), 4);
}

// Said in one line while the wait for a projector goes on, naming the device.
TEST_P(LibusbBusTest, InterfaceHeldElsewhereIsBusyIsSaidAndCanBeOpenedLater) {
    listener_.wantApplication(true);
    ASSERT_EQ(bus_->start(listener_), kStatusOk);
    const uint64_t key = listener_.arrival(1).key;
    EXPECT_EQ(listener_.arrival(1).place, "1-1");
    projector_->failNextClaim(EBUSY);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(bus_->open(key), kStatusBusy);
    const std::string message = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(message.rfind("tz4817: USB device 1-1 (e7a2:051e) cannot be claimed: ", 0), 0u) << message;
    EXPECT_NE(message.find("another program holds it\n"), std::string::npos) << message;
    EXPECT_EQ(bus_->open(key), kStatusOk);
}

TEST_P(LibusbBusTest, DeviceGoneBeforeOpenIsNotFound) {
    listener_.wantApplication(true);
    ASSERT_EQ(bus_->start(listener_), kStatusOk);
    const uint64_t key = listener_.arrival(1).key;
    projector_->unplug();
    ASSERT_TRUE(listener_.departed(key));
    EXPECT_EQ(bus_->open(key), kStatusDeviceNotFound);
}

TEST_P(LibusbBusTest, PermissionDeniedNamesTheUdevRule) {
    listener_.wantApplication(true);
    ASSERT_EQ(bus_->start(listener_), kStatusOk);
    const uint64_t key = listener_.arrival(1).key;
    ASSERT_EQ(chmod(projector_->deviceNodeFile().c_str(), 0), 0);
    ::testing::internal::CaptureStderr();
    uint32_t status = 0;
    {
        AsUnprivilegedThread unprivileged;
        status = bus_->open(key);
    }
    const std::string message = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, kStatusAccessDenied);
    EXPECT_NE(message.find("permission denied opening USB device"), std::string::npos) << message;
    EXPECT_NE(message.find("(e7a2:051e)"), std::string::npos) << message;
    EXPECT_NE(message.find("70-tz4817.rules"), std::string::npos) << message;
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
}

TEST_P(LibusbBusTest, StopEndsABlockedReadAndStartReportsTheDeviceAgain) {
    const uint64_t key = openProjector();
    auto read = std::async(std::launch::async, [&] {
        Bytes reply;
        return receive(key, reply, 0);
    });
    EXPECT_EQ(read.wait_for(50ms), std::future_status::timeout);
    bus_->stop();
    ASSERT_EQ(read.wait_for(kPatience), std::future_status::ready) << "stop left a read hanging";
    EXPECT_EQ(read.get(), kStatusDeviceNotFound);
    EXPECT_EQ(listener_.departures(), 0u) << "stop reports no departures";

    ASSERT_EQ(bus_->start(listener_), kStatusOk);
    const BusDevice again = listener_.arrival(2);
    EXPECT_NE(again.key, key) << "keys are never reused";
    EXPECT_EQ(bus_->open(again.key), kStatusOk);
}

// Keeps the bus's event thread outside libusb while it lives.
class HeldEventThread {
public:
    HeldEventThread() {
        std::unique_lock lock(eventFaults.mutex);
        eventFaults.holdEventThread = true;
        if (!eventFaults.changed.wait_for(lock, kPatience, [] { return eventFaults.eventThreadHeld; }))
            ADD_FAILURE() << "the event thread was not held";
    }
    ~HeldEventThread() { release(); }
    void release() {
        std::lock_guard lock(eventFaults.mutex);
        eventFaults.holdEventThread = false;
        eventFaults.changed.notify_all();
    }
};

// When libusb's event handling fails, the transfer is cancelled and waited
// for: once transfer() returns, libusb has nothing of it left, so nothing
// writes into the caller's buffer, the control transfer's own buffer or the
// call's frame any more.
TEST_P(LibusbBusTest, FailingEventHandlingNeverLeavesATransferBehind) {
    const uint64_t key = openProjector();
    struct Case {
        const char *name;
        bool control;
        int failures;
        uint32_t status;
        uint32_t transferred;
    };
    const Case cases[] = {
        {"read, handling recovers after the cancellation", false, 1, kStatusTransferFailed, 0},
        {"read, handling fails again after the cancellation", false, 4, kStatusTransferFailed, 0},
        // Completed before the cancellation could stop it: its result holds.
        {"control read", true, 2, kStatusOk, 18},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes buffer(64, 0);
        TransferRequest request;
        request.in = true;
        request.buffer = buffer.data();
        request.length = static_cast<uint32_t>(buffer.size());
        if (c.control) {
            const uint8_t getDeviceDescriptor[8] = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 18, 0};
            std::copy(std::begin(getDeviceDescriptor), std::end(getDeviceDescriptor), request.setup);
        } else {
            request.pipe = 0x81;  // nothing to read: only the cancellation ends it
        }
        HeldEventThread held;
        eventFaults.failures = c.failures;
        uint32_t transferred = 0xDEAD;
        const uint32_t status = bus_->transfer(key, request, transferred);
        EXPECT_EQ(eventFaults.failures.exchange(0), 0);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(transferred, c.transferred);
        EXPECT_EQ(projector_->outstandingUrbs(), 0u) << "transfer() returned with its URB still submitted";

        // A transfer left in libusb would be completed by the event thread
        // now, into a frame that is gone (under AddressSanitizer a report).
        held.release();
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (projector_->outstandingUrbs() != 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
    }
    // The link still works.
    ASSERT_EQ(send(key, statusRead(5)), kStatusOk);
    Bytes reply;
    ASSERT_EQ(receive(key, reply), kStatusOk);
    EXPECT_EQ(reply.at(1), 5);
}

INSTANTIATE_TEST_SUITE_P(HotplugAndPolling, LibusbBusTest, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Polling" : "Hotplug"; });

TEST(LibusbStatusTest, LibusbErrorsBecomeDriverStatuses) {
    const std::pair<int, uint32_t> table[] = {
        {LIBUSB_SUCCESS, kStatusOk},
        {LIBUSB_ERROR_TIMEOUT, kStatusTimeout},
        {LIBUSB_ERROR_NO_DEVICE, kStatusDeviceNotFound},
        {LIBUSB_ERROR_PIPE, kStatusStall},
        {LIBUSB_ERROR_ACCESS, kStatusAccessDenied},
        {LIBUSB_ERROR_BUSY, kStatusBusy},
        {LIBUSB_ERROR_IO, kStatusTransferFailed},
        {LIBUSB_ERROR_OVERFLOW, kStatusTransferFailed},
        {LIBUSB_ERROR_NOT_FOUND, kStatusTransferFailed},
        {LIBUSB_ERROR_OTHER, kStatusTransferFailed},
    };
    for (auto [error, status] : table) EXPECT_EQ(LibusbBus::statusOf(error), status) << libusb_error_name(error);
}

}  // namespace
}  // namespace usb_driver

namespace usb_driver {
namespace {

// A configuration with everything libusb keeps as "extra": an association
// descriptor after the configuration, a class descriptor after an interface,
// a companion after an endpoint, a second alternate setting, and a 9-byte
// (audio) endpoint.
TEST(LibusbDescriptorsTest, ConfigurationIsRebuiltByteForByteWithItsExtraDescriptors) {
    const Bytes associationExtra = {8, 0x0B, 0, 1, 0xFF, 0, 0, 0};
    const Bytes classExtra = {9, 0x21, 0x11, 0x01, 0, 1, 0x22, 0x20, 0};
    const Bytes companionExtra = {6, 0x30, 0, 0, 0, 0};
    const Bytes raw = {
        9, 0x02, 0,    0,    1,    1,    0,    0x80, 50,    // configuration, wTotalLength below
        8, 0x0B, 0,    1,    0xFF, 0,    0,    0,           // association
        9, 0x04, 0,    0,    1,    0x03, 0,    0,    0,     // interface 0 alt 0
        9, 0x21, 0x11, 0x01, 0,    1,    0x22, 0x20, 0,     // class descriptor
        7, 0x05, 0x81, 0x03, 8,    0,    10,                // interrupt IN
        6, 0x30, 0,    0,    0,    0,                       // companion
        9, 0x04, 0,    1,    2,    0xFF, 0,    0,    4,     // interface 0 alt 1
        7, 0x05, 0x02, 0x02, 0x00, 0x02, 0,                 // bulk OUT, 512
        9, 0x05, 0x83, 0x01, 0xC0, 0x00, 1,    2,    0x04,  // isochronous IN, audio layout
    };

    libusb_endpoint_descriptor interrupt{7, 0x05, 0x81, 0x03, 8, 10, 0, 0, companionExtra.data(), 6};
    libusb_endpoint_descriptor endpoints[2] = {{7, 0x05, 0x02, 0x02, 0x200, 0, 0, 0, nullptr, 0},
                                               {9, 0x05, 0x83, 0x01, 0xC0, 1, 2, 0x04, nullptr, 0}};
    libusb_interface_descriptor alternates[2] = {{9, 0x04, 0, 0, 1, 0x03, 0, 0, 0, &interrupt, classExtra.data(), 9},
                                                 {9, 0x04, 0, 1, 2, 0xFF, 0, 0, 4, endpoints, nullptr, 0}};
    libusb_interface interface { alternates, 2 };
    libusb_config_descriptor config{9, 0x02, 0, 1, 1, 0, 0x80, 50, &interface, associationExtra.data(), 8};

    Bytes expected = raw;
    expected[2] = static_cast<uint8_t>(raw.size());
    expected[3] = 0;
    EXPECT_EQ(configDescriptorBytes(config), expected);
    EXPECT_EQ(EndpointsOf(expected), (std::map<uint8_t, uint8_t>{{0x81, 0x03}, {0x02, 0x02}, {0x83, 0x01}}));
}

TEST(LibusbDescriptorsTest, DeviceDescriptorIsLittleEndian) {
    libusb_device_descriptor descriptor{18, 0x01, 0x0200, 0, 0, 0, 64, 0xE7A2, 0x051E, 0x0100, 1, 2, 3, 1};
    EXPECT_EQ(deviceDescriptorBytes(descriptor),
              (Bytes{18, 0x01, 0x00, 0x02, 0, 0, 0, 64, 0xA2, 0xE7, 0x1E, 0x05, 0x00, 0x01, 1, 2, 3, 1}));
}

// Endpoints are looked up in bytes a device sent: a broken descriptor chain
// ends the walk instead of reading past the end.
TEST(LibusbDescriptorsTest, BrokenDescriptorChainsEndTheEndpointWalk) {
    const std::pair<Bytes, std::map<uint8_t, uint8_t>> table[] = {
        {{}, {}},
        {{7, 0x05, 0x81, 0x02, 64, 0, 0}, {{0x81, 0x02}}},
        {{0, 0x05, 0x81, 0x02, 64, 0, 0}, {}},  // zero length: no progress possible
        {{7, 0x05, 0x81, 0x02, 64, 0}, {}},     // runs past the end
        {{5, 0x05, 0x81, 0x02, 64, 7, 0x05, 0x02, 0x02, 64, 0, 0}, {{0x02, 0x02}}},  // too short to be an endpoint
        {{1}, {}},
    };
    for (const auto &[bytes, endpoints] : table) EXPECT_EQ(EndpointsOf(bytes), endpoints) << bytes.size();
}

}  // namespace
}  // namespace usb_driver
