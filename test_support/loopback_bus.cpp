// SPDX-License-Identifier: MIT
#include "test_support/loopback_bus.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <thread>

#include "usb_driver/driver_status.h"
#include "usb_standard/usb_standard.h"

namespace test_support {

using namespace usb_driver;

namespace {

// How often the watcher looks at its stop flag while the device is quiet.
constexpr auto kWatchSlice = std::chrono::milliseconds(20);

constexpr uint8_t kInDevice = usb_standard::DIR_IN | usb_standard::TYPE_STANDARD | usb_standard::RECIP_DEVICE;
constexpr uint8_t kOutDevice = usb_standard::DIR_OUT | usb_standard::TYPE_STANDARD | usb_standard::RECIP_DEVICE;
constexpr uint8_t kOutInterface = usb_standard::DIR_OUT | usb_standard::TYPE_STANDARD | usb_standard::RECIP_INTERFACE;
constexpr uint8_t kOutEndpoint = usb_standard::DIR_OUT | usb_standard::TYPE_STANDARD | usb_standard::RECIP_ENDPOINT;

bool knownPipe(uint32_t pipe) {
    return pipe == 0 || pipe == projector_emulator::kBulkOutEndpoint || pipe == projector_emulator::kBulkInEndpoint;
}

}  // namespace

struct LoopbackBus::State {
    explicit State(projector_emulator::Tz4817Device &d) : device(d) {}

    struct Failure {
        uint32_t status;
        bool deliver;
    };

    projector_emulator::Tz4817Device &device;
    mutable std::mutex mutex;
    BusListener *listener = nullptr;
    std::thread watcher;
    bool stopping = false;

    uint64_t nextKey = 1;
    uint64_t key = 0;                       // the device's key while it is reported on the bus
    projector_emulator::Presence presence;  // as it was when reported
    std::set<uint64_t> open;

    bool logging = true;
    std::vector<TransferLog> transfers;
    std::vector<ControlLog> controls;
    std::deque<Failure> failIn, failOut;

    void watch();
    // Whether `key` is the open device on the bus; its generation then.
    bool usable(uint64_t key, projector_emulator::Presence &at) const;
    uint32_t control(const projector_emulator::Presence &at, const TransferRequest &request, uint32_t &transferred);
    void logControl(char kind, uint32_t value);
};

void LoopbackBus::State::watch() {
    projector_emulator::Presence known{};  // nothing reported yet
    known.onBus = false;
    known.generation = 0;
    for (;;) {
        {
            std::lock_guard lock(mutex);
            if (stopping) return;
        }
        const projector_emulator::Presence now =
            device.waitForPresenceChange(known, std::chrono::steady_clock::now() + kWatchSlice);
        if (now.onBus == known.onBus && now.generation == known.generation) continue;

        uint64_t left = 0, arrived = 0;
        {
            std::lock_guard lock(mutex);
            if (key != 0) {
                left = key;
                open.erase(key);
                key = 0;
            }
            if (now.onBus) {
                arrived = key = nextKey++;
                presence = now;
            }
        }
        known = now;
        // The listener is called without the bus lock: it may be anything.
        if (left) listener->deviceLeft(left);
        if (arrived) {
            BusDevice device;
            device.key = arrived;
            device.place = kPlace;
            device.vendorId = now.vendorId;
            device.productId = now.productId;
            device.deviceDescriptor = projector_emulator::deviceDescriptor(now);
            device.configDescriptor = projector_emulator::configDescriptor();
            listener->deviceArrived(device);
        }
    }
}

bool LoopbackBus::State::usable(uint64_t k, projector_emulator::Presence &at) const {
    std::lock_guard lock(mutex);
    if (k == 0 || k != key || !open.count(k)) return false;
    at = presence;
    return true;
}

void LoopbackBus::State::logControl(char kind, uint32_t value) {
    std::lock_guard lock(mutex);
    if (logging) controls.push_back(ControlLog{kind, value});
}

uint32_t LoopbackBus::State::control(const projector_emulator::Presence &at, const TransferRequest &request,
                                     uint32_t &transferred) {
    const projector_emulator::Presence now = device.presence();
    if (!now.onBus || now.generation != at.generation) return kStatusDeviceNotFound;
    const uint8_t type = request.setup[0];
    const uint8_t code = request.setup[1];
    const uint16_t value = static_cast<uint16_t>(request.setup[2] | request.setup[3] << 8);
    const uint16_t index = static_cast<uint16_t>(request.setup[4] | request.setup[5] << 8);

    std::vector<uint8_t> answer;
    if (type == kInDevice && code == usb_standard::GET_DESCRIPTOR) {
        const uint8_t kind = value >> 8, number = value & 0xFF;
        if (kind == usb_standard::DT_DEVICE && number == 0)
            answer = projector_emulator::deviceDescriptor(at);
        else if (kind == usb_standard::DT_CONFIG && number == 0)
            answer = projector_emulator::configDescriptor();
        else if (kind == usb_standard::DT_STRING)
            answer = projector_emulator::stringDescriptor(number);
        if (answer.empty()) return kStatusStall;
    } else if (type == kInDevice && code == usb_standard::GET_STATUS) {
        answer = {0, 0};
    } else if (type == kOutDevice && code == usb_standard::SET_CONFIGURATION && value == 1) {
    } else if (type == kOutInterface && code == usb_standard::SET_INTERFACE && value == 0 && index == 0) {
    } else if (type == kOutEndpoint && code == usb_standard::CLEAR_FEATURE && value == usb_standard::ENDPOINT_HALT &&
               knownPipe(index)) {
    } else {
        return kStatusStall;
    }
    const uint32_t count = std::min<uint32_t>(request.length, static_cast<uint32_t>(answer.size()));
    if (count) std::memcpy(request.buffer, answer.data(), count);
    transferred = count;
    return kStatusOk;
}

LoopbackBus::LoopbackBus(projector_emulator::Tz4817Device &device) : state_(std::make_unique<State>(device)) {}

LoopbackBus::~LoopbackBus() { stop(); }

uint32_t LoopbackBus::list(std::vector<BusDevice> &devices, std::string &) {
    devices.clear();
    const projector_emulator::Presence presence = state_->device.presence();
    if (presence.onBus) {
        BusDevice device;
        device.place = kPlace;
        device.vendorId = presence.vendorId;
        device.productId = presence.productId;
        devices.push_back(std::move(device));
    }
    return kStatusOk;
}

uint32_t LoopbackBus::start(BusListener &listener) {
    std::lock_guard lock(state_->mutex);
    if (state_->watcher.joinable()) return kStatusBusy;
    state_->listener = &listener;
    state_->stopping = false;
    state_->watcher = std::thread([state = state_.get()] { state->watch(); });
    return kStatusOk;
}

void LoopbackBus::stop() {
    std::thread watcher;
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
        watcher = std::move(state_->watcher);
    }
    if (watcher.joinable()) watcher.join();
    std::lock_guard lock(state_->mutex);
    // Every device is released; after a new start() the device is reported
    // again under a new key.
    state_->open.clear();
    state_->key = 0;
}

uint32_t LoopbackBus::open(uint64_t key) {
    std::lock_guard lock(state_->mutex);
    if (key == 0 || key != state_->key) return kStatusDeviceNotFound;
    if (state_->open.count(key)) return kStatusBusy;
    state_->open.insert(key);
    return kStatusOk;
}

void LoopbackBus::close(uint64_t key) {
    std::lock_guard lock(state_->mutex);
    state_->open.erase(key);
}

uint32_t LoopbackBus::setInterface(uint64_t key, uint32_t interface, uint32_t alternate) {
    projector_emulator::Presence at;
    if (!state_->usable(key, at)) return kStatusDeviceNotFound;
    state_->logControl('I', interface | alternate << 8);
    const projector_emulator::Presence now = state_->device.presence();
    if (!now.onBus || now.generation != at.generation) return kStatusDeviceNotFound;
    return interface == 0 && alternate == 0 ? kStatusOk : kStatusStall;
}

uint32_t LoopbackBus::resetPipe(uint64_t key, uint32_t pipe) {
    projector_emulator::Presence at;
    if (!state_->usable(key, at)) return kStatusDeviceNotFound;
    state_->logControl('R', pipe);
    const projector_emulator::Presence now = state_->device.presence();
    if (!now.onBus || now.generation != at.generation) return kStatusDeviceNotFound;
    return knownPipe(pipe) ? kStatusOk : kStatusStall;
}

uint32_t LoopbackBus::transfer(uint64_t key, const TransferRequest &request, uint32_t &transferred) {
    transferred = 0;
    projector_emulator::Presence at;
    if (!state_->usable(key, at)) return kStatusDeviceNotFound;
    std::optional<State::Failure> failure;
    if (request.pipe != 0) {
        std::lock_guard lock(state_->mutex);
        auto &queue = request.in ? state_->failIn : state_->failOut;
        if (!queue.empty()) {
            failure = queue.front();
            queue.pop_front();
        }
    }

    projector_emulator::Tz4817Device &device = state_->device;
    uint32_t status = kStatusOk;
    const bool bulkOut = request.pipe == projector_emulator::kBulkOutEndpoint && !request.in;
    const bool bulkIn = request.pipe == projector_emulator::kBulkInEndpoint && request.in;
    if (request.pipe == 0) {
        status = state_->control(at, request, transferred);
    } else if (!bulkOut && !bulkIn) {
        status = kStatusBadRecord;
    } else {
        device.holdTransferLatency();
        projector_emulator::TransferStatus result = projector_emulator::TransferStatus::Ok;
        size_t length = 0;
        if (bulkOut) {
            if (!failure || failure->deliver)
                result = device.bulkOut(at.generation, std::span<const uint8_t>(request.buffer, request.length));
            if (result == projector_emulator::TransferStatus::Ok && !failure) transferred = request.length;
        } else if (failure) {
            if (failure->deliver) {
                std::vector<uint8_t> lost(request.length);
                device.bulkIn(at.generation, lost, length);
            }
        } else {
            result = device.bulkIn(at.generation, std::span<uint8_t>(request.buffer, request.length), length);
            transferred = static_cast<uint32_t>(length);
        }
        switch (result) {
        case projector_emulator::TransferStatus::Ok: status = kStatusOk; break;
        // Nothing can arrive later: the device answers at once or never.
        case projector_emulator::TransferStatus::NoReply: status = kStatusTimeout; break;
        case projector_emulator::TransferStatus::Overflow: status = kStatusTransferFailed; break;
        case projector_emulator::TransferStatus::Stall: status = kStatusStall; break;
        case projector_emulator::TransferStatus::Gone: status = kStatusDeviceNotFound; break;
        }
        if (failure) {
            status = failure->status;
            transferred = 0;
        }
    }

    std::lock_guard lock(state_->mutex);
    if (state_->logging) {
        TransferLog log;
        log.pipe = request.pipe;
        log.in = request.in;
        log.requested = request.length;
        if (request.in)
            log.data.assign(request.buffer, request.buffer + transferred);
        else if (request.buffer)
            log.data.assign(request.buffer, request.buffer + request.length);
        log.status = status;
        state_->transfers.push_back(std::move(log));
    }
    return status;
}

std::vector<LoopbackBus::TransferLog> LoopbackBus::transfers() const {
    std::lock_guard lock(state_->mutex);
    return state_->transfers;
}

void LoopbackBus::clearTransfers() {
    std::lock_guard lock(state_->mutex);
    state_->transfers.clear();
}

std::vector<LoopbackBus::ControlLog> LoopbackBus::controlRequests() const {
    std::lock_guard lock(state_->mutex);
    return state_->controls;
}

void LoopbackBus::failNextTransfer(bool in, uint32_t status, bool deliver) {
    std::lock_guard lock(state_->mutex);
    (in ? state_->failIn : state_->failOut).push_back(State::Failure{status, deliver});
}

void LoopbackBus::setLogging(bool enabled) {
    std::lock_guard lock(state_->mutex);
    state_->logging = enabled;
}

}  // namespace test_support
