// SPDX-License-Identifier: MIT
#include "projector_emulator/device.h"

#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <thread>

#include "command_frame/command_frame.h"

namespace projector_emulator {

namespace {

// Timed waits of the calling thread end when asked, not up to 50 µs later.
bool askForNoTimerSlack() {
#ifdef __linux__
    return ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
#else
    return false;
#endif
}

using namespace command_frame;

// The firmware never queues more unread replies than this; older ones are lost.
constexpr size_t kReplyQueueDepth = 8;

// Header, then `data` for a read (with class and operation as the two leading
// body bytes), then the checksum over bytes 1..n-2.
std::vector<uint8_t> makeReply(std::span<const uint8_t> frame, std::span<const uint8_t> data, bool read) {
    const size_t body = read ? data.size() + 2 : 0;
    std::vector<uint8_t> reply(body + kMinFrameLength, 0);
    reply[kKindOffset] = frame[kKindOffset];
    reply[kSequenceOffset] = frame[kSequenceOffset];
    reply[kBodyLengthOffset] = static_cast<uint8_t>(body);
    reply[kBodyLengthOffset + 1] = static_cast<uint8_t>(body >> 8);
    if (read) {
        reply[kClassOffset] = frame[kClassOffset];
        reply[kOperationOffset] = frame[kOperationOffset];
        std::copy(data.begin(), data.end(), reply.begin() + kReplyDataOffset);
    }
    reply.back() = checksum(reply);
    return reply;
}

// The three parameter bytes of the flash address and flash size commands.
uint32_t le24(std::span<const uint8_t> frame) {
    const size_t p = kParameterOffset;
    return frame[p] | (frame[p + 1] << 8) | (static_cast<uint32_t>(frame[p + 2]) << 16);
}

}  // namespace

Tz4817Device::Tz4817Device(NorFlash &flash, DeviceOptions options)
    : flash_(flash),
      clock_(options.clock ? *options.clock : Clock::system()),
      options_(std::move(options)),
      faults_(options_.faults),
      mode_(options_.initialMode) {}

Presence Tz4817Device::presenceLocked(Clock::TimePoint now) {
    if (!onBus_ && returnAt_ && now >= *returnAt_) {
        onBus_ = true;
        mode_ = returnMode_;
        ++generation_;
        returnAt_.reset();
        changed_.notify_all();
        replyReady_.notify_all();
    }
    Presence presence;
    presence.onBus = onBus_;
    presence.mode = mode_;
    presence.vendorId = mode_ == Mode::Application ? kAppVendorId : kBootVendorId;
    presence.productId = mode_ == Mode::Application ? kAppProductId : kBootProductId;
    presence.generation = generation_;
    return presence;
}

Presence Tz4817Device::presence() {
    std::lock_guard lock(mutex_);
    return presenceLocked(clock_.now());
}

Presence Tz4817Device::waitForPresenceChange(const Presence &known, Clock::TimePoint deadline) {
    std::unique_lock lock(mutex_);
    for (;;) {
        Presence now = presenceLocked(clock_.now());
        if (now.onBus != known.onBus || now.generation != known.generation) return now;
        auto wake = deadline;
        if (returnAt_) {
            // A device clock that is not the steady clock can't be slept on:
            // look again soon.
            auto due = &clock_ == &Clock::system() ? *returnAt_
                                                   : std::chrono::steady_clock::now() + std::chrono::milliseconds(5);
            wake = std::min(wake, due);
        }
        if (std::chrono::steady_clock::now() >= deadline) return now;
        changed_.wait_until(lock, wake);
    }
}

void Tz4817Device::leaveLocked(Clock::TimePoint now, std::optional<Mode> returnIn) {
    onBus_ = false;
    leaveAfterReply_ = false;
    replies_.clear();
    if (returnIn) {
        returnAt_ = now + options_.rebootDelay;
        returnMode_ = *returnIn;
    } else {
        returnAt_.reset();
    }
    changed_.notify_all();
    replyReady_.notify_all();
}

TransferStatus Tz4817Device::bulkOut(uint32_t generation, std::span<const uint8_t> frame) {
    FrameRecord record;
    std::function<void(const FrameRecord &)> observer;
    {
        std::lock_guard lock(mutex_);
        auto now = clock_.now();
        presenceLocked(now);
        if (!onBus_ || generation != generation_) return TransferStatus::Gone;
        if (leaveAfterReply_) {
            // The mode switch was acknowledged and the firmware is already
            // restarting; the unread acknowledgement is lost.
            leaveLocked(now, leaveToMode_);
            return TransferStatus::Gone;
        }
        record.index = ++frames_;
        record.mode = mode_;
        record.bytes.assign(frame.begin(), frame.end());
        handleFrameLocked(record, now);
        // Only reply waiters: presence waiters are woken by a leave itself.
        replyReady_.notify_all();
        observer = observer_;
    }
    if (observer) observer(record);
    return TransferStatus::Ok;
}

TransferStatus Tz4817Device::bulkIn(uint32_t generation, std::span<uint8_t> buffer, size_t &length) {
    length = 0;
    std::lock_guard lock(mutex_);
    auto now = clock_.now();
    presenceLocked(now);
    if (!onBus_ || generation != generation_) return TransferStatus::Gone;
    if (!replyReadyLocked(now)) return TransferStatus::NoReply;
    std::vector<uint8_t> reply = std::move(replies_.front().bytes);
    replies_.pop_front();
    TransferStatus status = TransferStatus::Ok;
    if (reply.size() > buffer.size()) {
        status = TransferStatus::Overflow;
    } else {
        std::copy(reply.begin(), reply.end(), buffer.begin());
        length = reply.size();
    }
    if (leaveAfterReply_ && replies_.empty()) leaveLocked(now, leaveToMode_);
    return status;
}

bool Tz4817Device::waitForReply(uint32_t generation, Clock::TimePoint deadline) {
    std::unique_lock lock(mutex_);
    for (;;) {
        const auto now = clock_.now();
        presenceLocked(now);
        if (!onBus_ || generation != generation_) return false;
        if (replyReadyLocked(now)) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        auto wake = deadline;
        if (!replies_.empty()) {
            // A reply held back: wake when it is due (a device clock that is
            // not the steady clock can't be slept on: look again soon).
            auto due = &clock_ == &Clock::system() ? replies_.front().readyAt
                                                   : std::chrono::steady_clock::now() + std::chrono::milliseconds(5);
            wake = std::min(wake, due);
        }
        replyReady_.wait_until(lock, wake);
    }
}

std::chrono::microseconds Tz4817Device::transferLatency() const {
    std::lock_guard lock(mutex_);
    std::chrono::microseconds latency{0};
    for (const Fault &fault : faults_) {
        if (fault.kind == Fault::Kind::Latency) latency += std::chrono::microseconds(fault.value);
    }
    return latency;
}

void Tz4817Device::holdTransferLatency() const {
    const auto latency = transferLatency();
    if (latency.count() <= 0) return;
    // A sleep lasts longer than asked: by the timer slack (50 µs unless the
    // thread sets it) and the wake-up, which takes some tens of microseconds
    // on a virtual machine. So the thread asks for no slack, sleeps to
    // shortly before the end and spins the rest. Spinning longer is no
    // better: with both of a virtual machine's CPUs kept busy, the reply's
    // way to the updater took 70 µs more per exchange than after a sleep.
    thread_local const bool noSlack = askForNoTimerSlack();
    (void)noSlack;
    constexpr auto kSpin = std::chrono::microseconds(50);
    const auto end = std::chrono::steady_clock::now() + latency;
    if (latency > kSpin) std::this_thread::sleep_until(end - kSpin);
    while (std::chrono::steady_clock::now() < end) {}
}

void Tz4817Device::addFault(const Fault &fault) {
    std::lock_guard lock(mutex_);
    faults_.push_back(fault);
}

void Tz4817Device::clearFaults() {
    std::lock_guard lock(mutex_);
    const auto now = clock_.now();
    faults_.clear();
    busyAnswersLeft_ = 0;
    for (QueuedReply &reply : replies_) reply.readyAt = std::min(reply.readyAt, now);
    if (!onBus_ && !returnAt_) {
        returnAt_ = now;
        returnMode_ = mode_;
    }
    presenceLocked(now);
    changed_.notify_all();
    replyReady_.notify_all();
}

uint64_t Tz4817Device::framesReceived() const {
    std::lock_guard lock(mutex_);
    return frames_;
}

void Tz4817Device::setFrameObserver(std::function<void(const FrameRecord &)> observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

const Fault *Tz4817Device::faultLocked(Fault::Kind kind, uint64_t frame) const {
    for (const Fault &fault : faults_) {
        if (fault.kind != kind) continue;
        bool everyFrame = kind == Fault::Kind::BusyAfterErase || kind == Fault::Kind::SilentWhileErasing ||
                          kind == Fault::Kind::FlipBit || kind == Fault::Kind::Latency;
        if (everyFrame || (frame >= fault.first && frame <= fault.last)) return &fault;
    }
    return nullptr;
}

void Tz4817Device::handleFrameLocked(FrameRecord &record, Clock::TimePoint now) {
    if (faultLocked(Fault::Kind::PowerCut, record.index)) {
        record.note = "power cut";
        record.powerCut = true;
        leaveLocked(now, std::nullopt);
        return;
    }
    if (faultLocked(Fault::Kind::Leave, record.index)) {
        record.note = "left the bus for good";
        leaveLocked(now, std::nullopt);
        return;
    }
    if (faultLocked(Fault::Kind::Reboot, record.index)) {
        record.note = "left the bus to reboot";
        leaveLocked(now, mode_);
        return;
    }

    std::span<const uint8_t> frame = record.bytes;
    size_t n = frame.size();
    if (n < kFrameOverhead ||
        static_cast<size_t>(frame[kBodyLengthOffset] | (frame[kBodyLengthOffset + 1] << 8)) + kMinFrameLength != n) {
        record.note = "ignored: length disagrees with body length";
        return;
    }
    if (checksum(frame) != frame[n - 1]) {
        record.note = "ignored: bad checksum";
        return;
    }
    std::optional<std::vector<uint8_t>> reply = executeLocked(frame, record, now);
    if (!reply) return;
    record.valid = true;
    record.operation = frame[6];

    if (faultLocked(Fault::Kind::DropReply, record.index)) {
        record.note = "reply dropped";
        // A mode switch goes ahead whether or not its acknowledgement arrives.
        if (leaveAfterReply_) leaveLocked(now, leaveToMode_);
        return;
    }
    if (faultLocked(Fault::Kind::WrongEcho, record.index)) {
        (*reply)[1] = static_cast<uint8_t>((*reply)[1] + 1);
        reply->back() = checksum(*reply);
    }
    if (const Fault *fault = faultLocked(Fault::Kind::ShortReply, record.index)) {
        if (reply->size() > fault->value) reply->resize(fault->value);
    }
    record.reply = *reply;
    Clock::TimePoint readyAt = now;
    if (const Fault *fault = faultLocked(Fault::Kind::LateReply, record.index)) {
        readyAt += std::chrono::milliseconds(fault->value);
    }
    if (replies_.size() == kReplyQueueDepth) replies_.pop_front();
    replies_.push_back({std::move(*reply), readyAt});
}

uint8_t Tz4817Device::statusLocked(Clock::TimePoint now) {
    bool busy = erasingLocked(now);
    if (busyAnswersLeft_ > 0) {
        --busyAnswersLeft_;
        busy = true;
    }
    return static_cast<uint8_t>((busy ? kStatusBusy : 0) | (mode_ == Mode::Programming ? 0x01 : 0x00));
}

void Tz4817Device::downloadLocked(std::span<const uint8_t> data) {
    for (uint8_t byte : data) {
        uint32_t offset = writePointer_ & (kFlashSize - 1);
        bool flipHere = false;
        for (const Fault &fault : faults_) {
            if (fault.kind == Fault::Kind::FlipBit && fault.offset == offset) {
                flash_.corrupt(offset, static_cast<uint8_t>((flash_.at(offset) & byte) ^ (1u << fault.value)));
                flipHere = true;
            }
        }
        // A bit that cannot be programmed stays as the chip leaves it, counted
        // as a program error; the checksum shows it, as on the real flash.
        if (!flipHere) (void)flash_.program(offset, byte);
        ++writePointer_;
    }
}

std::optional<std::vector<uint8_t>> Tz4817Device::executeLocked(std::span<const uint8_t> frame, FrameRecord &record,
                                                                Clock::TimePoint now) {
    const uint8_t kind = frame[kKindOffset];
    const uint8_t commandClass = frame[kClassOffset];
    const uint8_t operation = frame[kOperationOffset];
    const size_t parameters = frame.size() - kFrameOverhead;  // bytes 7..n-2
    const bool read = kind == kReadFrame;
    if (kind != kWriteFrame && kind != kReadFrame) {
        record.note = "ignored: unknown frame kind";
        return std::nullopt;
    }
    if (read && parameters < 1) {
        record.note = "ignored: read frame without a data count";
        return std::nullopt;
    }
    const size_t wanted = read ? frame[kParameterOffset] : 0;

    if (commandClass == kGenericClass) {
        record.note = read ? "generic read: zero data" : "generic write: acknowledged";
        return makeReply(frame, std::vector<uint8_t>(wanted, 0), read);
    }
    if (commandClass != kCommandClass) {
        record.note = "ignored: unknown command class";
        return std::nullopt;
    }

    const bool programming = mode_ == Mode::Programming;
    const bool flashBusy = erasingLocked(now);
    auto flashCommand = [&](const char *done) {
        if (!programming) {
            record.note = "acknowledged, ignored: application firmware does not write flash";
            return false;
        }
        if (flashBusy) {
            record.note = "acknowledged, ignored: flash busy erasing";
            return false;
        }
        record.note = done;
        return true;
    };

    switch (operation) {
    case kOpFlashInformationRead: {
        if (!read || parameters < 4) break;
        // The value in data bytes 6 to 9.
        constexpr size_t kValue = kFlashInformationValueOffset - kReplyDataOffset;
        std::vector<uint8_t> data(kFlashInformationDataCount, 0);
        data[0] = frame[kSelectorOffset];
        switch (frame[kSelectorOffset]) {
        case kSelectManufacturer:
            data[kValue] = kFlashManufacturerId & 0xFF;
            data[kValue + 1] = kFlashManufacturerId >> 8;
            record.note = "flash manufacturer";
            break;
        case kSelectDevice:
            data[kValue] = kFlashDeviceId & 0xFF;
            data[kValue + 1] = kFlashDeviceId >> 8;
            record.note = "flash device";
            break;
        case kSelectChecksum:
            for (size_t i = 0; i < 4; ++i) data[kValue + i] = static_cast<uint8_t>(checksum_ >> (8 * i));
            record.note = "flash checksum";
            break;
        default: record.note = "flash information: unknown selector"; break;
        }
        data.resize(wanted, 0);
        return makeReply(frame, data, true);
    }
    case kOpStatusRead: {
        if (!read) break;
        if (erasingLocked(now) && faultLocked(Fault::Kind::SilentWhileErasing, record.index)) {
            record.note = "status: silent while erasing";
            return std::nullopt;
        }
        std::vector<uint8_t> data(wanted, 0);
        uint8_t status = statusLocked(now);
        if (!data.empty()) data[0] = status;
        record.note = (status & kStatusBusy) ? "status: busy" : "status: ready";
        return makeReply(frame, data, true);
    }
    case kOpCalibrationUnlock:
        if (read) break;
        record.note = "calibration unlock";
        return makeReply(frame, {}, false);
    case kOpFlashDataDownload:
        if (read) break;
        if (flashCommand("flash data programmed")) downloadLocked(frame.subspan(kParameterOffset, parameters));
        return makeReply(frame, {}, false);
    case kOpFlashChecksumCalculation:
        if (read) break;
        if (flashCommand("flash checksum calculated")) checksum_ = flash_.sum(address_, size_);
        return makeReply(frame, {}, false);
    case kOpFlashSectorErase:
        if (read) break;
        if (flashCommand("sector erase started")) {
            flash_.eraseSector(NorFlash::sectorIndexOf(address_));
            busyUntil_ = now + options_.eraseTime;
            const Fault *busy = faultLocked(Fault::Kind::BusyAfterErase, record.index);
            busyAnswersLeft_ = busy ? busy->value : 0;
        }
        return makeReply(frame, {}, false);
    case kOpFlashAddress:
        if (read || parameters < 3) break;
        if (flashCommand("flash address set")) {
            // Address lines above A20 are not connected.
            address_ = le24(frame) & (kFlashSize - 1);
            writePointer_ = address_;
        }
        return makeReply(frame, {}, false);
    case kOpFlashSize:
        if (read || parameters < 3) break;
        if (flashCommand("flash size set")) size_ = le24(frame);
        return makeReply(frame, {}, false);
    case kOpProgrammingMode: {
        if (read || parameters < 1) break;
        const uint8_t requested = frame[kParameterOffset];
        if (!programming && requested == kModeProgramming) {
            leaveAfterReply_ = true;
            leaveToMode_ = Mode::Programming;
            record.note = "programming mode 1: restarting into programming mode";
        } else if (programming && requested == kModeApplication) {
            leaveAfterReply_ = true;
            leaveToMode_ = Mode::Application;
            record.note = "programming mode 2: restarting into the application";
        } else {
            record.note = "programming mode: no change";
        }
        return makeReply(frame, {}, false);
    }
    default: break;
    }
    record.note = "ignored: unknown operation";
    return std::nullopt;
}

}  // namespace projector_emulator
