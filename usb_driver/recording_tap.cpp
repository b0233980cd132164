// SPDX-License-Identifier: MIT
#include "recording_tap.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>

#include "usb_driver/driver_status.h"
#include "usb_recording/download_data.h"
#include "usb_recording/notes.h"
#include "usb_recording/recording.h"
#include "usb_standard/usb_standard.h"

namespace usb_driver {
namespace {

using usb_recording::notes::DeviceNote;
namespace usbmon = usb_recording::usbmon;

// A power cut keeps what the system had on disk. The tap asks for that once a
// second on a thread of its own, and when the bus stops: a sync costs 150 to
// 460 microseconds here for one transfer's block and milliseconds for a
// second's, far too much for the transfers to wait for.
constexpr auto kSyncInterval = std::chrono::seconds(1);
// Enough for any block the tap writes: a header, a frame or reply of at most
// a few hundred bytes (a transfer longer than this is still written whole).
constexpr size_t kBlockReserve = 2048;

// The bus number of a place ("3-4.2": 3); 1 when it names none.
uint16_t busOf(const std::string &place) {
    unsigned number = 0;
    size_t digits = 0;
    while (digits < place.size() && digits < 5 && place[digits] >= '0' && place[digits] <= '9')
        number = number * 10 + static_cast<unsigned>(place[digits++] - '0');
    return digits > 0 && number <= 0xFFFF ? static_cast<uint16_t>(number) : 1;
}

DeviceNote noteOf(const auto &device, DeviceNote::What what) {
    return DeviceNote{what, device.number, device.place, device.vendorId, device.productId};
}

std::string hex(uint32_t status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", status);
    return text;
}

// Said once per process: the tap is made anew for every bus.
void sayOnce(std::atomic<bool> &said, const std::string &line) {
    if (!said.exchange(true)) std::fprintf(stderr, "tz4817: %s\n", line.c_str());
}
std::atomic<bool> saidUnusable{false};
std::atomic<bool> saidWriteFailed{false};

}  // namespace

std::shared_ptr<Bus> RecordingTap::wrap(std::shared_ptr<Bus> inner, const Options &options) {
    if (!inner) return inner;
    std::string error;
    std::vector<uint8_t> existing;
    const std::string head = "tz4817 USB recording, begun by the USB driver in " + usb_recording::writingProcess() +
                             " (a program that writes no summary of its run)";
    auto file = usb_recording::RecordingFile::append(options.path, head, existing, error);
    if (!file) {
        sayOnce(saidUnusable, "not recording (QRV_RECORD): " + error);
        return inner;
    }
    // A file already begun (by the program, by this process's earlier buses)
    // goes on with new device numbers and URB ids.
    uint8_t lastNumber = 0;
    uint64_t lastUrb = 0;
    std::string ignored;
    (void)usb_recording::scanRecording(
        existing,
        [&](const usb_recording::Entry &entry) {
            if (entry.kind == usb_recording::Entry::Kind::Usb) {
                lastNumber = std::max(lastNumber, entry.usb.device);
                lastUrb = std::max(lastUrb, entry.usb.urbId);
            }
            return true;
        },
        ignored);
    return std::shared_ptr<Bus>(new RecordingTap(std::move(inner), options, std::move(file), lastNumber, lastUrb));
}

RecordingTap::RecordingTap(std::shared_ptr<Bus> inner, Options options,
                           std::unique_ptr<usb_recording::RecordingFile> file, uint8_t lastNumber, uint64_t lastUrb)
    : inner_(std::move(inner)),
      options_(std::move(options)),
      file_(std::move(file)),
      lastNumber_(lastNumber),
      lastUrb_(lastUrb) {
    block_.reserve(kBlockReserve);
    frame_.reserve(kBlockReserve);
    syncer_ = std::thread([this] { syncNowAndThen(); });
}

RecordingTap::~RecordingTap() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    syncWake_.notify_all();
    syncer_.join();
    // The file syncs as it closes.
}

void RecordingTap::syncNowAndThen() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        syncWake_.wait_for(lock, kSyncInterval, [this] { return stopping_; });
        if (stopping_ || !unsynced_ || !file_) continue;
        // Synced without the lock: the transfers go on writing meanwhile.
        const std::shared_ptr<usb_recording::RecordingFile> file = file_;
        unsynced_ = false;
        lock.unlock();
        file->sync();
        lock.lock();
    }
}

int32_t RecordingTap::urbStatusOf(uint32_t status) {
    switch (status) {
    case kStatusOk: return 0;
    case kStatusTimeout: return usbmon::kTimedOut;
    case kStatusDeviceNotFound: return usbmon::kNoDevice;
    case kStatusStall: return usbmon::kStalled;
    case kStatusTransferFailed: return usbmon::kProtocolError;
    case kStatusBadRecord: return usbmon::kInvalid;
    case kStatusAccessDenied: return usbmon::kAccessDenied;
    case kStatusBusy: return usbmon::kBusy;
    default: return usbmon::kIoError;
    }
}

// --- what the bus reports ------------------------------------------------------

uint32_t RecordingTap::start(BusListener &listener) {
    listener_ = &listener;
    {
        std::lock_guard lock(mutex_);
        noteLocked(usb_recording::notes::busStarted(options_.busName, options_.withoutData));
        flushLocked(false);
    }
    const uint32_t status = inner_->start(*this);
    if (status != kStatusOk) {
        std::lock_guard lock(mutex_);
        noteLocked("bus could not start (status " + hex(status) + ")");
        flushLocked(false);
    }
    return status;
}

void RecordingTap::stop() {
    inner_->stop();
    std::lock_guard lock(mutex_);
    noteLocked("bus stopped");
    flushLocked(true);
    devices_.clear();
}

uint32_t RecordingTap::list(std::vector<BusDevice> &devices, std::string &why) { return inner_->list(devices, why); }

bool RecordingTap::wanted(uint16_t vendorId, uint16_t productId, const std::string &place) {
    return listener_->wanted(vendorId, productId, place);
}

void RecordingTap::deviceArrived(const BusDevice &device) {
    {
        std::lock_guard lock(mutex_);
        Appearance &appearance = devices_[device.key];
        lastNumber_ = lastNumber_ >= 127 ? 1 : static_cast<uint8_t>(lastNumber_ + 1);
        appearance.number = lastNumber_;
        appearance.bus = busOf(device.place);
        appearance.place = device.place;
        appearance.vendorId = device.vendorId;
        appearance.productId = device.productId;
        appearance.deviceDescriptor = device.deviceDescriptor;
        appearance.configDescriptor = device.configDescriptor;
        noteLocked(describe(noteOf(appearance, DeviceNote::What::Arrived)));
        flushLocked(false);
    }
    listener_->deviceArrived(device);
}

void RecordingTap::deviceLeft(uint64_t key) {
    {
        std::lock_guard lock(mutex_);
        auto found = devices_.find(key);
        if (found != devices_.end()) {
            noteLocked(describe(noteOf(found->second, DeviceNote::What::Left)));
            flushLocked(false);
            // Transfers may still name an opened device until it is closed.
            if (found->second.opened)
                found->second.left = true;
            else
                devices_.erase(found);
        }
    }
    listener_->deviceLeft(key);
}

void RecordingTap::busFailed(uint32_t status) {
    {
        std::lock_guard lock(mutex_);
        noteLocked("bus failed (status " + hex(status) + "): what it is connected to broke the protocol");
        flushLocked(false);
    }
    listener_->busFailed(status);
}

// --- operations ------------------------------------------------------------------

uint32_t RecordingTap::open(uint64_t key) {
    const uint32_t status = inner_->open(key);
    std::lock_guard lock(mutex_);
    auto found = devices_.find(key);
    if (found == devices_.end()) return status;
    Appearance &device = found->second;
    if (status != kStatusOk) {
        noteLocked(describe(noteOf(device, DeviceNote::What::Opened)) + " failed (status " + hex(status) + ")");
        flushLocked(false);
        return status;
    }
    device.opened = true;
    // The descriptors the bus read when the device arrived, as the requests
    // that read them; the first names the device and where it sits.
    std::string comment = describe(noteOf(device, DeviceNote::What::Opened));
    for (const auto *descriptor : {&device.deviceDescriptor, &device.configDescriptor}) {
        const uint8_t type = descriptor == &device.deviceDescriptor ? usb_standard::DT_DEVICE : usb_standard::DT_CONFIG;
        const auto length = static_cast<uint16_t>(descriptor->size());
        const auto setup = usb_standard::getDescriptor(type, 0, length);
        const uint64_t urb =
            submitLocked(&device, usbmon::kControl, usbmon::kDirectionIn, setup.data(), length, {}, comment);
        completeLocked(&device, urb, usbmon::kControl, usbmon::kDirectionIn, kStatusOk, length, *descriptor);
        comment.clear();
    }
    flushLocked(false);
    return status;
}

void RecordingTap::close(uint64_t key) {
    inner_->close(key);
    std::lock_guard lock(mutex_);
    auto found = devices_.find(key);
    if (found == devices_.end() || !found->second.opened) return;
    noteLocked(describe(noteOf(found->second, DeviceNote::What::Closed)));
    flushLocked(false);
    if (found->second.left)
        devices_.erase(found);
    else
        found->second.opened = false;
}

uint32_t RecordingTap::setInterface(uint64_t key, uint32_t interface, uint32_t alternate) {
    const auto setup = usb_standard::setupPacket(
        usb_standard::DIR_OUT | usb_standard::TYPE_STANDARD | usb_standard::RECIP_INTERFACE,
        usb_standard::SET_INTERFACE, static_cast<uint16_t>(alternate), static_cast<uint16_t>(interface), 0);
    return control(key, setup, [&] { return inner_->setInterface(key, interface, alternate); });
}

uint32_t RecordingTap::resetPipe(uint64_t key, uint32_t pipe) {
    const auto setup = usb_standard::setupPacket(
        usb_standard::DIR_OUT | usb_standard::TYPE_STANDARD | usb_standard::RECIP_ENDPOINT, usb_standard::CLEAR_FEATURE,
        usb_standard::ENDPOINT_HALT, static_cast<uint16_t>(pipe), 0);
    return control(key, setup, [&] { return inner_->resetPipe(key, pipe); });
}

template <typename Operation>
uint32_t RecordingTap::control(uint64_t key, const std::array<uint8_t, 8> &setup, Operation operation) {
    uint64_t urb = 0;
    {
        std::lock_guard lock(mutex_);
        urb = submitLocked(findLocked(key), usbmon::kControl, 0, setup.data(), 0, {}, {});
        flushLocked(false);
    }
    const uint32_t status = operation();
    std::lock_guard lock(mutex_);
    completeLocked(findLocked(key), urb, usbmon::kControl, 0, status, 0, {});
    flushLocked(false);
    return status;
}

uint32_t RecordingTap::transfer(uint64_t key, const TransferRequest &request, uint32_t &transferred) {
    const bool control = request.pipe == 0;
    const uint8_t type = control ? usbmon::kControl : usbmon::kBulk;
    const auto endpoint = static_cast<uint8_t>(control ? (request.in ? usbmon::kDirectionIn : 0) : request.pipe);
    uint64_t urb = 0;
    {
        std::lock_guard lock(mutex_);
        std::span<const uint8_t> data;
        if (!request.in && request.buffer) {
            data = std::span<const uint8_t>(request.buffer, request.length);
            if (options_.withoutData && !control && usb_recording::isDownloadFrame(data)) {
                frame_.assign(data.begin(), data.end());
                usb_recording::leaveOutData(frame_);
                data = frame_;
            }
        }
        urb =
            submitLocked(findLocked(key), type, endpoint, control ? request.setup : nullptr, request.length, data, {});
        flushLocked(false);
    }
    const uint32_t status = inner_->transfer(key, request, transferred);
    std::lock_guard lock(mutex_);
    std::span<const uint8_t> data;
    if (request.in && request.buffer)
        data = std::span<const uint8_t>(request.buffer, std::min(transferred, request.length));
    completeLocked(findLocked(key), urb, type, endpoint, status, transferred, data);
    flushLocked(false);
    return status;
}

// --- writing -----------------------------------------------------------------------

const RecordingTap::Appearance *RecordingTap::findLocked(uint64_t key) const {
    auto found = devices_.find(key);
    return found == devices_.end() ? nullptr : &found->second;
}

uint64_t RecordingTap::submitLocked(const Appearance *device, uint8_t type, uint8_t endpoint, const uint8_t *setup,
                                    uint32_t length, std::span<const uint8_t> data, std::string_view comment) {
    const uint64_t now = usb_recording::nowMicroseconds();
    usbmon::Header header;
    header.urbId = ++lastUrb_;
    header.event = usbmon::kSubmit;
    header.transferType = type;
    header.endpoint = endpoint;
    header.device = device ? device->number : 0;
    header.bus = device ? device->bus : 0;
    header.setupPresent = setup != nullptr;
    if (setup) std::copy(setup, setup + 8, header.setup.begin());
    header.seconds = static_cast<int64_t>(now / 1'000'000);
    header.microseconds = static_cast<int32_t>(now % 1'000'000);
    header.status = usbmon::kInProgress;
    header.urbLength = length;
    header.dataLength = static_cast<uint32_t>(data.size());
    header.transferFlags = (endpoint & usbmon::kDirectionIn) ? usbmon::kTransferDirectionIn : 0;
    usb_recording::appendUsbEvent(block_, now, header, data, comment);
    return header.urbId;
}

void RecordingTap::completeLocked(const Appearance *device, uint64_t urb, uint8_t type, uint8_t endpoint,
                                  uint32_t status, uint32_t transferred, std::span<const uint8_t> data) {
    const uint64_t now = usb_recording::nowMicroseconds();
    usbmon::Header header;
    header.urbId = urb;
    header.event = usbmon::kComplete;
    header.transferType = type;
    header.endpoint = endpoint;
    header.device = device ? device->number : 0;
    header.bus = device ? device->bus : 0;
    header.seconds = static_cast<int64_t>(now / 1'000'000);
    header.microseconds = static_cast<int32_t>(now % 1'000'000);
    header.status = urbStatusOf(status);
    header.urbLength = transferred;
    header.dataLength = static_cast<uint32_t>(data.size());
    header.transferFlags = (endpoint & usbmon::kDirectionIn) ? usbmon::kTransferDirectionIn : 0;
    usb_recording::appendUsbEvent(block_, now, header, data, {});
}

void RecordingTap::noteLocked(std::string_view text) {
    usb_recording::appendNote(block_, usb_recording::nowMicroseconds(), text);
}

void RecordingTap::flushLocked(bool sync) {
    if (block_.empty()) return;
    if (file_ && !file_->write(block_)) {
        sayOnce(saidWriteFailed, "the recording " + options_.path + " could not be written further; it ends here");
        file_.reset();
    }
    unsynced_ = true;
    block_.clear();
    if (sync && file_) file_->sync();
}

}  // namespace usb_driver
