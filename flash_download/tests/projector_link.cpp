// SPDX-License-Identifier: MIT
#include "projector_link.h"

#include <unistd.h>

#include <fstream>
#include <random>

#include "pause.h"
#include "qrvusb.h"
#include "test_support/loopback_bus.h"
#include "usb_driver/driver.h"
#include "usb_driver/driver_status.h"

namespace flash_test {

// What the test asks of the buses it is given; transfers run on the test's
// own thread, so no lock is needed.
struct ProjectorLink::BusHooks {
    ReplyRewriter rewriter;
    int failReadAfter = -1;  // operation byte, or -1
    bool failNextRead = false;
};

namespace {

// Passes everything to a loopback bus and lets the test rewrite or break what
// comes in.
class RewritingBus : public test_support::LoopbackBusWrapper {
public:
    using Hooks = std::shared_ptr<ProjectorLink::BusHooks>;
    RewritingBus(projector_emulator::Tz4817Device &device, Hooks hooks)
        : LoopbackBusWrapper(device), hooks_(std::move(hooks)) {}

    uint32_t transfer(uint64_t key, const usb_driver::TransferRequest &request, uint32_t &transferred) override {
        const bool bulkIn = request.in && request.pipe == projector_emulator::kBulkInEndpoint;
        if (!request.in && request.pipe == projector_emulator::kBulkOutEndpoint && request.length > 6 &&
            request.buffer[6] == hooks_->failReadAfter) {
            hooks_->failReadAfter = -1;
            hooks_->failNextRead = true;
        }
        const uint32_t status = inner_.transfer(key, request, transferred);
        if (bulkIn && hooks_->failNextRead) {
            hooks_->failNextRead = false;
            transferred = 0;
            return usb_driver::kStatusTransferFailed;
        }
        if (status == 0 && bulkIn && hooks_->rewriter) {
            hooks_->rewriter(std::span<uint8_t>(request.buffer, transferred));
        }
        return status;
    }

private:
    Hooks hooks_;
};

}  // namespace

Bytes stamped(Bytes frame, uint8_t sequence) {
    frame[1] = sequence;
    frame.back() = static_cast<uint8_t>(frame.back() + sequence);
    return frame;
}

std::string captureStdout(const std::function<void()> &body) {
    ::testing::internal::CaptureStdout();
    body();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

TempFile::TempFile(const Bytes &contents, const std::string &name) {
    std::string pattern = (std::filesystem::temp_directory_path() / "qrvdl-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    directory_ = pattern;
    path_ = (directory_ / name).string();
    std::ofstream out(path_, std::ios::binary);
    out.write(reinterpret_cast<const char *>(contents.data()), static_cast<std::streamsize>(contents.size()));
}

TempFile::~TempFile() {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

Bytes imagePattern(size_t size, uint32_t seed) {
    Bytes bytes(size);
    std::mt19937 random(seed);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(random() >> 24);
    return bytes;
}

uint32_t byteSum(std::span<const uint8_t> bytes) {
    uint32_t sum = 0;
    for (uint8_t byte : bytes) sum += byte;
    return sum;
}

Calls erasedCalls;
Calls programmedCalls;
void recordErased(uint32_t value, uint32_t other) { erasedCalls.emplace_back(value, other); }
void recordProgrammed(uint32_t value, uint32_t other) { programmedCalls.emplace_back(value, other); }

projector_emulator::DeviceOptions fastProjector(projector_emulator::Mode mode) {
    projector_emulator::DeviceOptions options;
    options.rebootDelay = std::chrono::milliseconds(5);
    options.eraseTime = std::chrono::milliseconds(0);
    options.initialMode = mode;
    return options;
}

void ProjectorLink::SetUp() {
    hooks_ = std::make_shared<BusHooks>();
    erasedCalls.clear();
    programmedCalls.clear();
    flash_download::testing::setPauseFunction([this](uint32_t milliseconds) { pauses_.push_back(milliseconds); });
    usb_driver::testing::setBusFactory([this]() -> std::shared_ptr<usb_driver::Bus> {
        if (refuseBuses_) return nullptr;
        auto bus = std::make_shared<RewritingBus>(*device_, hooks_);
        bus_ = bus;
        return bus;
    });
    flash_ = projector_emulator::NorFlash::inMemory();
    installDevice(fastProjector());
}

void ProjectorLink::TearDown() {
    QRV_USBTerm();
    *hooks_ = BusHooks{};
    usb_driver::testing::setBusFactory({});
    flash_download::testing::setPauseFunction({});
}

void ProjectorLink::installDevice(projector_emulator::DeviceOptions options) {
    QRV_USBTerm();
    if (device_) retired_.push_back(std::move(device_));
    device_ = std::make_unique<projector_emulator::Tz4817Device>(*flash_, std::move(options));
    device_->setFrameObserver([this](const projector_emulator::FrameRecord &record) {
        std::lock_guard lock(mutex_);
        frames_.push_back(record);
    });
    ASSERT_EQ(QRV_USBInit(), 0);
    forgetFrames();
    pauses_.clear();
}

void ProjectorLink::restart(projector_emulator::DeviceOptions options) { installDevice(std::move(options)); }

std::vector<projector_emulator::FrameRecord> ProjectorLink::frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
}

std::vector<Bytes> ProjectorLink::frameBytes() const {
    std::vector<Bytes> bytes;
    for (const auto &record : frames()) bytes.push_back(record.bytes);
    return bytes;
}

void ProjectorLink::forgetFrames() {
    std::lock_guard lock(mutex_);
    frames_.clear();
}

Bytes ProjectorLink::operations() const {
    Bytes operations;
    for (const auto &record : frames()) operations.push_back(record.bytes.size() > 6 ? record.bytes[6] : 0xEE);
    return operations;
}

Bytes ProjectorLink::downloadedData() const {
    Bytes data;
    for (const auto &record : frames()) {
        if (record.bytes.size() >= 8 && record.bytes[6] == 0x25) {
            data.insert(data.end(), record.bytes.begin() + 7, record.bytes.end() - 1);
        }
    }
    return data;
}

void ProjectorLink::fault(projector_emulator::Fault::Kind kind, uint64_t first, uint64_t last, uint32_t value,
                          uint32_t offset) {
    projector_emulator::Fault fault{kind};
    fault.first = first;
    fault.last = last;
    fault.value = value;
    fault.offset = offset;
    device_->addFault(fault);
}

void ProjectorLink::setRewriter(ReplyRewriter rewriter) { hooks_->rewriter = std::move(rewriter); }

void ProjectorLink::failReadAfter(uint8_t operation) { hooks_->failReadAfter = operation; }

void ProjectorLink::refuseNewBuses() { refuseBuses_ = true; }

void ProjectorLink::allowNewBuses() { refuseBuses_ = false; }

}  // namespace flash_test
