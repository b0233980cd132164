// SPDX-License-Identifier: MIT
#include "libusb_bus.h"

#include <libusb.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "libusb_descriptors.h"
#include "usb_driver/driver_status.h"

namespace usb_driver {
namespace {

// How long the event thread sleeps in libusb at most before it looks at its
// queue again; libusb_interrupt_event_handler cuts it short.
constexpr int kEventSliceUs = 100'000;
constexpr int kTakenInterface = 0;

// "1-4.2": bus number and port path, as the kernel names the device.
std::string portName(libusb_device *device) {
    uint8_t ports[8] = {};
    const int count = libusb_get_port_numbers(device, ports, sizeof ports);
    std::string name = std::to_string(libusb_get_bus_number(device));
    if (count <= 0) return name + " address " + std::to_string(libusb_get_device_address(device));
    for (int i = 0; i < count; ++i) name += (i == 0 ? "-" : ".") + std::to_string(ports[i]);
    return name;
}

// The flag is libusb's "completed" word: libusb reads it under its own lock,
// the waiting thread reads it in its loop; atomic accesses keep both honest.
void LIBUSB_CALL onTransferDone(libusb_transfer *transfer) {
    __atomic_store_n(static_cast<int *>(transfer->user_data), 1, __ATOMIC_RELEASE);
}

bool done(int &completed) { return __atomic_load_n(&completed, __ATOMIC_ACQUIRE) != 0; }

// Handles libusb's events until the submitted transfer has completed.
// Whichever waiting thread holds libusb's event lock completes transfers, this
// one included: the wait needs no other thread. The completion writes into
// `completed` and into the transfer's buffer, both the caller's, so this never
// returns while the transfer is in libusb: when event handling fails the
// transfer is cancelled (again after every failure, in case a cancellation
// failed too) and the wait goes on until libusb gives it back.
void waitForCompletion(libusb_context *context, libusb_transfer *transfer, int &completed) {
    while (!done(completed)) {
        const int result = libusb_handle_events_completed(context, &completed);
        if (result < 0 && result != LIBUSB_ERROR_INTERRUPTED) libusb_cancel_transfer(transfer);
    }
}

struct TransferDeleter {
    void operator()(libusb_transfer *transfer) const { libusb_free_transfer(transfer); }
};

}  // namespace

// One appearance of a device on the bus.
struct Device {
    Device(uint64_t key, libusb_device *device) : key(key), device(libusb_ref_device(device)) {}
    ~Device() { libusb_unref_device(device); }
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    uint64_t key;  // 0 until reported; guarded by State::mutex
    libusb_device *const device;
    // Written by the event thread before the device is reported, read-only after.
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string name;
    std::map<uint8_t, uint8_t> endpoints;  // address -> bmAttributes

    // Guarded by State::mutex.
    libusb_device_handle *handle = nullptr;
    bool left = false;     // gone from the bus: nothing will work again
    bool closing = false;  // the handle is being let go
    int users = 0;         // operations running on the handle
    uint32_t claimed = 0;  // bit n: interface n claimed
    std::set<libusb_transfer *> transfers;
};

namespace {

// One line on standard error for a device this bus could not take, while the
// wait for a projector goes on; the permission hint has a line of its own.
void reportOpenFailure(const Device &device, const char *what, int libusbError) {
    std::fprintf(stderr, "tz4817: USB device %s (%04x:%04x) %s: %s (%s)%s\n", device.name.c_str(), device.vendorId,
                 device.productId, what, libusb_strerror(static_cast<libusb_error>(libusbError)),
                 libusb_error_name(libusbError), libusbError == LIBUSB_ERROR_BUSY ? "; another program holds it" : "");
}

}  // namespace

struct LibusbBus::State {
    libusb_context *context = nullptr;
    LibusbBusOptions options;
    bool hotplug = false;
    libusb_hotplug_callback_handle hotplugHandle = 0;

    BusListener *listener = nullptr;
    std::thread thread;
    std::atomic<bool> stopping{false};

    // What libusb's hotplug callback saw, for the event thread to act on.
    std::mutex queueMutex;
    std::deque<std::pair<libusb_device *, bool>> queue;  // referenced device, arrived

    std::mutex mutex;
    std::condition_variable idle;
    uint64_t nextKey = 1;
    std::map<uint64_t, std::shared_ptr<Device>> devices;         // reported to the listener
    std::map<libusb_device *, std::shared_ptr<Device>> present;  // every device seen, reported or not

    static int LIBUSB_CALL onHotplug(libusb_context *, libusb_device *device, libusb_hotplug_event event,
                                     void *userData) {
        auto *state = static_cast<State *>(userData);
        {
            std::lock_guard lock(state->queueMutex);
            state->queue.emplace_back(libusb_ref_device(device), event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
        }
        libusb_interrupt_event_handler(state->context);
        return 0;
    }

    void run();
    void drainQueue();
    void pollDevices();
    void arrived(libusb_device *device);
    void departed(libusb_device *device);
    void offerUnreported();
    bool describe(Device &device, BusDevice &report);

    std::shared_ptr<Device> find(uint64_t key) {
        auto it = devices.find(key);
        return it == devices.end() ? nullptr : it->second;
    }
    // Starts an operation on an open device; 0 or kStatusDeviceNotFound.
    uint32_t beginUse(uint64_t key, std::shared_ptr<Device> &device);
    void endUse(Device &device);
    // Ends the device's transfers and closes its handle. Blocks until the
    // operations running on it have returned.
    void release(Device &device);
};

void LibusbBus::State::run() {
    auto nextPoll = std::chrono::steady_clock::now();
    while (!stopping.load()) {
        timeval slice{0, kEventSliceUs};
        libusb_handle_events_timeout_completed(context, &slice, nullptr);
        drainQueue();
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextPoll && !stopping.load()) {
            if (!hotplug) pollDevices();
            // A device no registration wanted may be wanted by a newer one.
            offerUnreported();
            nextPoll = now + options.pollInterval;
        }
    }
}

void LibusbBus::State::drainQueue() {
    for (;;) {
        std::pair<libusb_device *, bool> item;
        {
            std::lock_guard lock(queueMutex);
            if (queue.empty()) return;
            item = queue.front();
            queue.pop_front();
        }
        if (!stopping.load()) {
            if (item.second)
                arrived(item.first);
            else
                departed(item.first);
        }
        libusb_unref_device(item.first);
    }
}

void LibusbBus::State::pollDevices() {
    libusb_device **list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) return;
    std::set<libusb_device *> now(list, list + count);
    std::vector<libusb_device *> gone;
    {
        std::lock_guard lock(mutex);
        for (auto &[device, entry] : present)
            if (now.count(device) == 0) gone.push_back(device);
    }
    for (libusb_device *device : gone) departed(device);
    for (ssize_t i = 0; i < count; ++i) arrived(list[i]);
    libusb_free_device_list(list, 1);
}

// Fills the report of a device some registration wants; false when none wants
// it or it has no active configuration yet (both are asked again later).
bool LibusbBus::State::describe(Device &device, BusDevice &report) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device.device, &descriptor) != 0) return false;
    const std::string place = portName(device.device);
    if (listener == nullptr || !listener->wanted(descriptor.idVendor, descriptor.idProduct, place)) return false;
    libusb_config_descriptor *config = nullptr;
    if (libusb_get_active_config_descriptor(device.device, &config) != 0 || config == nullptr) return false;
    report.place = place;
    report.vendorId = descriptor.idVendor;
    report.productId = descriptor.idProduct;
    report.deviceDescriptor = deviceDescriptorBytes(descriptor);
    report.configDescriptor = configDescriptorBytes(*config);
    libusb_free_config_descriptor(config);
    device.vendorId = descriptor.idVendor;
    device.productId = descriptor.idProduct;
    device.name = place;
    device.endpoints = EndpointsOf(report.configDescriptor);
    return true;
}

void LibusbBus::State::arrived(libusb_device *device) {
    {
        std::lock_guard lock(mutex);
        if (present.count(device) != 0) return;
        // Keys are handed out when a device is reported; 0 marks "not yet".
        present.emplace(device, std::make_shared<Device>(0, device));
    }
    offerUnreported();
}

// Reports the present devices that are wanted but not yet reported. Runs on
// the event thread only, which alone touches unreported devices.
void LibusbBus::State::offerUnreported() {
    std::vector<std::shared_ptr<Device>> candidates;
    {
        std::lock_guard lock(mutex);
        for (auto &[device, entry] : present)
            if (entry->key == 0) candidates.push_back(entry);
    }
    for (auto &candidate : candidates) {
        BusDevice report;
        if (!describe(*candidate, report)) continue;
        {
            std::lock_guard lock(mutex);
            candidate->key = nextKey++;
            report.key = candidate->key;
            devices.emplace(report.key, candidate);
        }
        listener->deviceArrived(report);
    }
}

void LibusbBus::State::departed(libusb_device *device) {
    std::shared_ptr<Device> entry;
    {
        std::lock_guard lock(mutex);
        auto it = present.find(device);
        if (it == present.end()) return;
        entry = it->second;
        present.erase(it);
        if (entry->key == 0) return;
        devices.erase(entry->key);
        entry->left = true;
        for (libusb_transfer *transfer : entry->transfers) libusb_cancel_transfer(transfer);
    }
    listener->deviceLeft(entry->key);
    release(*entry);
}

uint32_t LibusbBus::State::beginUse(uint64_t key, std::shared_ptr<Device> &device) {
    std::lock_guard lock(mutex);
    device = find(key);
    if (!device || device->left || device->closing || device->handle == nullptr) return kStatusDeviceNotFound;
    ++device->users;
    return kStatusOk;
}

void LibusbBus::State::endUse(Device &device) {
    std::lock_guard lock(mutex);
    if (--device.users == 0) idle.notify_all();
}

void LibusbBus::State::release(Device &device) {
    std::unique_lock lock(mutex);
    idle.wait(lock, [&] { return !device.closing; });
    if (device.handle == nullptr) return;
    device.closing = true;
    for (libusb_transfer *transfer : device.transfers) libusb_cancel_transfer(transfer);
    idle.wait(lock, [&] { return device.users == 0; });
    libusb_device_handle *handle = device.handle;
    const uint32_t claimed = device.claimed;
    lock.unlock();

    // Releasing fails harmlessly on a device that has gone.
    for (int interface = 0; interface < 32; ++interface)
        if (claimed & (1u << interface)) libusb_release_interface(handle, interface);
    libusb_close(handle);

    lock.lock();
    device.handle = nullptr;
    device.claimed = 0;
    device.closing = false;
    idle.notify_all();
}

std::shared_ptr<LibusbBus> LibusbBus::create(LibusbBusOptions options) {
    auto state = std::make_unique<State>();
    state->options = options;
    const int result = libusb_init(&state->context);
    if (result != 0) {
        std::fprintf(stderr,
                     "tz4817: libusb could not be initialised (%s); USB devices on this computer cannot be reached\n",
                     libusb_error_name(result));
        return nullptr;
    }
    return std::shared_ptr<LibusbBus>(new LibusbBus(std::move(state)));
}

LibusbBus::LibusbBus(std::unique_ptr<State> state) : state_(std::move(state)) {}

LibusbBus::~LibusbBus() {
    stop();
    libusb_exit(state_->context);
}

uint32_t LibusbBus::list(std::vector<BusDevice> &devices, std::string &why) {
    devices.clear();
    libusb_device **list = nullptr;
    const ssize_t count = libusb_get_device_list(state_->context, &list);
    if (count < 0) {
        why = std::string("the USB devices of this computer cannot be listed: ") +
              libusb_strerror(static_cast<libusb_error>(count));
        return statusOf(static_cast<int>(count));
    }
    // The descriptors libusb read at enumeration: nothing is opened.
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != 0) continue;
        BusDevice device;
        device.place = portName(list[i]);
        device.vendorId = descriptor.idVendor;
        device.productId = descriptor.idProduct;
        devices.push_back(std::move(device));
    }
    libusb_free_device_list(list, 1);
    return kStatusOk;
}

uint32_t LibusbBus::start(BusListener &listener) {
    State &state = *state_;
    if (state.thread.joinable()) return kStatusOk;
    state.listener = &listener;
    state.stopping = false;
    state.hotplug = false;
    if (!state.options.forcePolling && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        // Devices already present are reported through the queue too.
        const int result = libusb_hotplug_register_callback(
            state.context, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
            LIBUSB_HOTPLUG_ENUMERATE, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
            &State::onHotplug, &state, &state.hotplugHandle);
        state.hotplug = result == LIBUSB_SUCCESS;
    }
    state.thread = std::thread([&state] { state.run(); });
    return kStatusOk;
}

void LibusbBus::stop() {
    State &state = *state_;
    if (!state.thread.joinable()) return;
    state.stopping = true;
    if (state.hotplug) libusb_hotplug_deregister_callback(state.context, state.hotplugHandle);
    libusb_interrupt_event_handler(state.context);
    state.thread.join();
    state.hotplug = false;

    {
        std::lock_guard lock(state.queueMutex);
        for (auto &item : state.queue) libusb_unref_device(item.first);
        state.queue.clear();
    }
    std::map<uint64_t, std::shared_ptr<Device>> devices;
    {
        std::lock_guard lock(state.mutex);
        devices.swap(state.devices);
        state.present.clear();
        for (auto &[key, device] : devices) device->left = true;
    }
    for (auto &[key, device] : devices) state.release(*device);
    state.listener = nullptr;
}

place_claim::Scope LibusbBus::claimScope() const {
    return place_claim::localScope();
}

uint32_t LibusbBus::open(uint64_t key) {
    State &state = *state_;
    std::shared_ptr<Device> device;
    {
        std::lock_guard lock(state.mutex);
        device = state.find(key);
        if (!device || device->left) return kStatusDeviceNotFound;
        if (device->handle != nullptr && !device->closing) return kStatusOk;
    }
    libusb_device_handle *handle = nullptr;
    int result = libusb_open(device->device, &handle);
    if (result == LIBUSB_ERROR_ACCESS)
        std::fprintf(stderr,
                     "tz4817: permission denied opening USB device %s (%04x:%04x); install "
                     "packaging/70-tz4817.rules into /etc/udev/rules.d/ and replug (see README)\n",
                     device->name.c_str(), device->vendorId, device->productId);
    else if (result != 0)
        reportOpenFailure(*device, "cannot be opened", result);
    if (result != 0) return statusOf(result);
    // A kernel driver holding interface 0 is detached for as long as we hold it.
    libusb_set_auto_detach_kernel_driver(handle, 1);
    result = libusb_claim_interface(handle, kTakenInterface);
    if (result != 0) {
        reportOpenFailure(*device, "cannot be claimed", result);
        libusb_close(handle);
        return statusOf(result);
    }
    {
        std::unique_lock lock(state.mutex);
        state.idle.wait(lock, [&] { return !device->closing; });
        if (!device->left && device->handle == nullptr) {
            device->handle = handle;
            device->claimed = 1u << kTakenInterface;
            return kStatusOk;
        }
    }
    // Gone while we opened it, or opened by someone else meanwhile.
    const bool left = device->left;
    libusb_release_interface(handle, kTakenInterface);
    libusb_close(handle);
    return left ? kStatusDeviceNotFound : kStatusOk;
}

void LibusbBus::close(uint64_t key) {
    std::shared_ptr<Device> device;
    {
        std::lock_guard lock(state_->mutex);
        device = state_->find(key);
    }
    if (device) state_->release(*device);
}

uint32_t LibusbBus::setInterface(uint64_t key, uint32_t interface, uint32_t alternate) {
    if (interface > 31 || alternate > 255) return kStatusTransferFailed;
    std::shared_ptr<Device> device;
    if (uint32_t status = state_->beginUse(key, device)) return status;
    int result = LIBUSB_SUCCESS;
    bool claim = false;
    {
        std::lock_guard lock(state_->mutex);
        claim = (device->claimed & (1u << interface)) == 0;
    }
    if (claim) {
        result = libusb_claim_interface(device->handle, static_cast<int>(interface));
        if (result == 0) {
            std::lock_guard lock(state_->mutex);
            device->claimed |= 1u << interface;
        }
    }
    if (result == 0)
        result =
            libusb_set_interface_alt_setting(device->handle, static_cast<int>(interface), static_cast<int>(alternate));
    state_->endUse(*device);
    return statusOf(result);
}

uint32_t LibusbBus::resetPipe(uint64_t key, uint32_t pipe) {
    if (pipe > 0xFF) return kStatusTransferFailed;
    std::shared_ptr<Device> device;
    if (uint32_t status = state_->beginUse(key, device)) return status;
    const int result = libusb_clear_halt(device->handle, static_cast<unsigned char>(pipe));
    state_->endUse(*device);
    return statusOf(result);
}

uint32_t LibusbBus::transfer(uint64_t key, const TransferRequest &request, uint32_t &transferred) {
    transferred = 0;
    State &state = *state_;
    std::shared_ptr<Device> device;
    if (uint32_t status = state.beginUse(key, device)) return status;
    struct Use {
        State &state;
        Device &device;
        ~Use() { state.endUse(device); }
    } use{state, *device};

    if (request.length > 0 && request.buffer == nullptr) return kStatusBadRecord;
    std::vector<uint8_t> control;
    uint16_t controlLength = 0;
    unsigned char type = LIBUSB_TRANSFER_TYPE_BULK;
    if (request.pipe == 0) {
        controlLength = static_cast<uint16_t>(request.setup[6] | (request.setup[7] << 8));
        const bool in = (request.setup[0] & LIBUSB_ENDPOINT_IN) != 0;
        if (controlLength > request.length || in != request.in) return kStatusBadRecord;
        control.resize(LIBUSB_CONTROL_SETUP_SIZE + controlLength);
        std::memcpy(control.data(), request.setup, LIBUSB_CONTROL_SETUP_SIZE);
        if (!in && controlLength > 0)
            std::memcpy(control.data() + LIBUSB_CONTROL_SETUP_SIZE, request.buffer, controlLength);
        type = LIBUSB_TRANSFER_TYPE_CONTROL;
    } else {
        const auto endpoint = device->endpoints.find(static_cast<uint8_t>(request.pipe));
        if (request.pipe > 0xFF || endpoint == device->endpoints.end()) return kStatusBadRecord;
        if (((request.pipe & LIBUSB_ENDPOINT_IN) != 0) != request.in) return kStatusBadRecord;
        const uint8_t kind = endpoint->second & LIBUSB_TRANSFER_TYPE_MASK;
        if (kind == LIBUSB_TRANSFER_TYPE_INTERRUPT)
            type = LIBUSB_TRANSFER_TYPE_INTERRUPT;
        else if (kind != LIBUSB_TRANSFER_TYPE_BULK)
            return kStatusBadRecord;
    }
    if (request.length > 0x7FFFFFFF) return kStatusBadRecord;

    // Freed on every way out; by then libusb has given it back.
    const std::unique_ptr<libusb_transfer, TransferDeleter> owned(libusb_alloc_transfer(0));
    libusb_transfer *const transfer = owned.get();
    if (transfer == nullptr) return kStatusTransferFailed;
    int completed = 0;
    if (type == LIBUSB_TRANSFER_TYPE_CONTROL)
        libusb_fill_control_transfer(transfer, device->handle, control.data(), &onTransferDone, &completed,
                                     request.timeoutMs);
    else
        libusb_fill_bulk_transfer(transfer, device->handle, static_cast<unsigned char>(request.pipe), request.buffer,
                                  static_cast<int>(request.length), &onTransferDone, &completed, request.timeoutMs);
    transfer->type = type;

    {
        // Submitted under the lock, so that a departure or close that comes
        // now finds the transfer to cancel; listed before it is submitted, so
        // that nothing can fail between the submission and the wait.
        std::lock_guard lock(state.mutex);
        if (device->left || device->closing) return kStatusDeviceNotFound;
        device->transfers.insert(transfer);
        const int result = libusb_submit_transfer(transfer);
        if (result != 0) {
            device->transfers.erase(transfer);
            return statusOf(result);
        }
    }
    waitForCompletion(state.context, transfer, completed);

    bool ended = false;
    {
        std::lock_guard lock(state.mutex);
        device->transfers.erase(transfer);
        ended = device->left || device->closing;
    }
    uint32_t status = kStatusTransferFailed;
    switch (transfer->status) {
    case LIBUSB_TRANSFER_COMPLETED: status = kStatusOk; break;
    case LIBUSB_TRANSFER_TIMED_OUT: status = kStatusTimeout; break;
    case LIBUSB_TRANSFER_STALL: status = kStatusStall; break;
    case LIBUSB_TRANSFER_NO_DEVICE: status = kStatusDeviceNotFound; break;
    // Ended by a departure or close, or by the wait after its event handling
    // failed.
    case LIBUSB_TRANSFER_CANCELLED: status = ended ? kStatusDeviceNotFound : kStatusTransferFailed; break;
    default: status = kStatusTransferFailed; break;
    }
    const int actual = transfer->actual_length < 0 ? 0 : transfer->actual_length;
    transferred = static_cast<uint32_t>(actual);
    if (type == LIBUSB_TRANSFER_TYPE_CONTROL && request.in && actual > 0) {
        const int copy = actual > controlLength ? controlLength : actual;
        std::memcpy(request.buffer, control.data() + LIBUSB_CONTROL_SETUP_SIZE, static_cast<size_t>(copy));
        transferred = static_cast<uint32_t>(copy);
    }
    return status;
}

uint32_t LibusbBus::statusOf(int libusbError) {
    switch (libusbError) {
    case LIBUSB_SUCCESS: return kStatusOk;
    case LIBUSB_ERROR_TIMEOUT: return kStatusTimeout;
    case LIBUSB_ERROR_NO_DEVICE: return kStatusDeviceNotFound;
    case LIBUSB_ERROR_PIPE: return kStatusStall;
    case LIBUSB_ERROR_ACCESS: return kStatusAccessDenied;
    case LIBUSB_ERROR_BUSY: return kStatusBusy;
    default: return kStatusTransferFailed;
    }
}

}  // namespace usb_driver
