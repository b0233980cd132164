// SPDX-License-Identifier: MIT
#include "winusb_bus.h"

#include <windows.h>
// After windows.h:
#include <cfgmgr32.h>
#include <initguid.h>
#include <setupapi.h>
#include <usbiodef.h>
#include <winusb.h>

#include <algorithm>
#include <bit>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "usb_driver/driver_status.h"
#include "usb_standard/usb_standard.h"
#include "winusb_requests.h"

namespace usb_driver {
namespace {

constexpr ULONG kDescriptorBytes = 4096;  // the largest configuration read

// A projector present in SetupAPI's list.
struct Present {
    std::string path;  // the device interface path, what CreateFile opens
    std::string place;
    winusb::UsbIds ids{};
};

std::string errorText(DWORD code) {
    char text[256] = "";
    DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                    sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == '.')) --length;
    return std::string(text, length) + " (error " + std::to_string(code) + ")";
}

bool isProjector(const winusb::UsbIds &ids) {
    return std::any_of(std::begin(winusb::kProjectorIds), std::end(winusb::kProjectorIds), [&](const auto &known) {
        return known.vendorId == ids.vendorId && known.productId == ids.productId;
    });
}

// The device interfaces the projectors are looked for under, in this order;
// a projector found under both is taken under the first.
// - The projector's own interface: WinUSB registers it for a projector
//   bound by tz4817.inf (its DeviceInterfaceGUIDs). Only WinUSB's devices
//   have it, so only projectors that WinUSB drives are found this way.
// - GUID_DEVINTERFACE_USB_DEVICE: Windows' USB hub gives it to every USB
//   device, whatever its driver. A projector bound to WinUSB by hand (Device
//   Manager's "WinUsb Device", which registers no interface of the project)
//   is found only this way; so is a projector bound to no driver or another
//   one, which then cannot be opened through WinUSB (said once, see arrived).
const GUID kSearchedInterfaces[] = {std::bit_cast<GUID>(winusb::kProjectorInterface), GUID_DEVINTERFACE_USB_DEVICE};
static_assert(sizeof(GUID) == sizeof(winusb::InterfaceGuid));

// Adds the projectors present under `interfaceGuid` to `found`, each device
// (by its instance id in `devices`) once. False when SetupAPI cannot list.
bool enumerateInterface(const GUID &interfaceGuid, std::vector<Present> &found, std::set<std::string> &devices) {
    HDEVINFO set = ::SetupDiGetClassDevsA(&interfaceGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return false;
    SP_DEVICE_INTERFACE_DATA interface {};
    interface.cbSize = sizeof interface;
    for (DWORD index = 0; ::SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceGuid, index, &interface); ++index) {
        DWORD size = 0;
        ::SetupDiGetDeviceInterfaceDetailA(set, &interface, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
        std::vector<char> storage(size);
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        if (!::SetupDiGetDeviceInterfaceDetailA(set, &interface, detail, size, nullptr, &device)) continue;
        Present present;
        present.path = detail->DevicePath;
        const auto ids = winusb::idsOfPath(present.path);
        if (!ids || !isProjector(*ids)) continue;
        present.ids = *ids;
        char instance[MAX_DEVICE_ID_LEN] = "";
        if (!::SetupDiGetDeviceInstanceIdA(set, &device, instance, sizeof instance, nullptr) ||
            devices.count(instance) != 0)
            continue;
        // The first of the location paths (a list of strings).
        char locations[1024] = "";
        if (!::SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_LOCATION_PATHS, nullptr,
                                                 reinterpret_cast<BYTE *>(locations), sizeof locations - 1, nullptr))
            continue;
        const auto place = winusb::placeOfLocation(locations);
        if (!place) continue;
        present.place = *place;
        devices.insert(instance);
        found.push_back(std::move(present));
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return true;
}

// The projectors present now. False with `why` when SetupAPI cannot list.
bool enumerate(std::vector<Present> &found, std::string &why) {
    found.clear();
    std::set<std::string> devices;
    for (const GUID &interfaceGuid : kSearchedInterfaces) {
        if (!enumerateInterface(interfaceGuid, found, devices)) {
            why = "the USB devices cannot be listed: " + errorText(::GetLastError());
            return false;
        }
    }
    return true;
}

// An open device: its file and WinUSB's handle of its first interface.
struct Opened {
    HANDLE file = INVALID_HANDLE_VALUE;
    WINUSB_INTERFACE_HANDLE winusb = nullptr;

    // 0 or the Windows error.
    DWORD open(const std::string &path) {
        file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        if (file == INVALID_HANDLE_VALUE) return ::GetLastError();
        if (!::WinUsb_Initialize(file, &winusb)) {
            const DWORD error = ::GetLastError();
            close();
            return error;
        }
        return 0;
    }
    void close() {
        if (winusb != nullptr) ::WinUsb_Free(winusb);
        if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
        winusb = nullptr;
        file = INVALID_HANDLE_VALUE;
    }
};

// The device and configuration descriptors, and the pipes of interface 0
// (address -> bmAttributes). 0 or the Windows error.
DWORD readDescriptors(const Opened &opened, BusDevice &report, std::map<uint8_t, uint8_t> &pipes) {
    std::vector<uint8_t> bytes(kDescriptorBytes);
    ULONG length = 0;
    if (!::WinUsb_GetDescriptor(opened.winusb, usb_standard::DT_DEVICE, 0, 0, bytes.data(),
                                usb_standard::DT_DEVICE_SIZE, &length))
        return ::GetLastError();
    report.deviceDescriptor.assign(bytes.begin(), bytes.begin() + length);
    if (!::WinUsb_GetDescriptor(opened.winusb, usb_standard::DT_CONFIG, 0, 0, bytes.data(), kDescriptorBytes, &length))
        return ::GetLastError();
    report.configDescriptor.assign(bytes.begin(), bytes.begin() + length);
    USB_INTERFACE_DESCRIPTOR interface {};
    for (UCHAR alternate = 0; ::WinUsb_QueryInterfaceSettings(opened.winusb, alternate, &interface); ++alternate) {
        for (UCHAR index = 0; index < interface.bNumEndpoints; ++index) {
            WINUSB_PIPE_INFORMATION pipe{};
            if (::WinUsb_QueryPipe(opened.winusb, alternate, index, &pipe))
                pipes[pipe.PipeId] = static_cast<uint8_t>(pipe.PipeType);  // UsbdPipeType has bmAttributes' values
        }
    }
    return 0;
}

}  // namespace

// One appearance of a projector on the bus.
struct WinusbDevice {
    uint64_t key = 0;
    Present present;
    std::map<uint8_t, uint8_t> pipes;

    // Guarded by State::mutex.
    Opened opened;
    bool left = false;
    bool closing = false;
    int users = 0;  // operations running on the handle
};

struct WinusbBus::State {
    WinusbBusOptions options;
    BusListener *listener = nullptr;
    std::thread thread;

    std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false;
    uint64_t nextKey = 1;
    std::map<uint64_t, std::shared_ptr<WinusbDevice>> devices;  // reported, by key
    std::map<std::string, uint64_t> reported;                   // path -> key
    std::set<std::string> unreadable;                           // said once that it cannot be opened

    void run();
    void poll();
    void arrived(const Present &present);
    std::shared_ptr<WinusbDevice> find(uint64_t key) {
        auto it = devices.find(key);
        return it == devices.end() ? nullptr : it->second;
    }
    // Starts an operation on an open device; 0 or kStatusDeviceNotFound.
    uint32_t beginUse(uint64_t key, std::shared_ptr<WinusbDevice> &device);
    void endUse(WinusbDevice &device);
    // Aborts the device's transfers, waits for its operations and closes it.
    void release(WinusbDevice &device, std::unique_lock<std::mutex> &lock);
};

void WinusbBus::State::run() {
    std::unique_lock lock(mutex);
    while (!stopping) {
        lock.unlock();
        poll();
        lock.lock();
        changed.wait_for(lock, options.pollInterval, [this] { return stopping; });
    }
}

void WinusbBus::State::poll() {
    std::vector<Present> now;
    std::string why;
    if (!enumerate(now, why)) return;  // tried again at the next poll
    std::set<std::string> paths;
    for (const Present &present : now) paths.insert(present.path);

    std::vector<uint64_t> gone;
    {
        std::unique_lock lock(mutex);
        for (auto it = reported.begin(); it != reported.end();) {
            if (paths.count(it->first) != 0) {
                ++it;
                continue;
            }
            const uint64_t key = it->second;
            it = reported.erase(it);
            if (auto device = find(key)) {
                device->left = true;
                if (device->opened.winusb != nullptr) {
                    for (const auto &[pipe, attributes] : device->pipes)
                        ::WinUsb_AbortPipe(device->opened.winusb, pipe);
                }
            }
            gone.push_back(key);
        }
    }
    for (uint64_t key : gone) listener->deviceLeft(key);
    for (const Present &present : now) {
        bool known;
        {
            std::lock_guard lock(mutex);
            known = reported.count(present.path) != 0 || stopping;
        }
        if (!known && listener->wanted(present.ids.vendorId, present.ids.productId, present.place)) arrived(present);
    }
}

void WinusbBus::State::arrived(const Present &present) {
    auto device = std::make_shared<WinusbDevice>();
    device->present = present;
    BusDevice report;
    report.place = present.place;
    report.vendorId = present.ids.vendorId;
    report.productId = present.ids.productId;
    Opened opened;
    DWORD error = opened.open(present.path);
    if (error == 0) error = readDescriptors(opened, report, device->pipes);
    opened.close();
    if (error != 0) {
        // Held by another program, or not bound to WinUSB: said once, tried
        // again at every poll.
        if (unreadable.insert(present.path).second)
            std::fprintf(stderr, "tz4817: USB device %s (%04x:%04x) cannot be opened through WinUSB: %s\n",
                         present.place.c_str(), present.ids.vendorId, present.ids.productId, errorText(error).c_str());
        return;
    }
    unreadable.erase(present.path);
    {
        std::lock_guard lock(mutex);
        if (stopping) return;
        device->key = nextKey++;
        report.key = device->key;
        devices[device->key] = device;
        reported[present.path] = device->key;
    }
    listener->deviceArrived(report);
}

uint32_t WinusbBus::State::beginUse(uint64_t key, std::shared_ptr<WinusbDevice> &device) {
    std::lock_guard lock(mutex);
    device = find(key);
    if (!device || device->left || device->closing || device->opened.winusb == nullptr) return kStatusDeviceNotFound;
    ++device->users;
    return kStatusOk;
}

void WinusbBus::State::endUse(WinusbDevice &device) {
    std::lock_guard lock(mutex);
    if (--device.users == 0) changed.notify_all();
}

void WinusbBus::State::release(WinusbDevice &device, std::unique_lock<std::mutex> &lock) {
    if (device.opened.winusb == nullptr || device.closing) return;
    device.closing = true;
    for (const auto &[pipe, attributes] : device.pipes) ::WinUsb_AbortPipe(device.opened.winusb, pipe);
    changed.wait(lock, [&] { return device.users == 0; });
    device.opened.close();
    device.closing = false;
}

std::shared_ptr<WinusbBus> WinusbBus::create(WinusbBusOptions options) {
    auto state = std::make_unique<State>();
    state->options = options;
    return std::shared_ptr<WinusbBus>(new WinusbBus(std::move(state)));
}

WinusbBus::WinusbBus(std::unique_ptr<State> state) : state_(std::move(state)) {}

WinusbBus::~WinusbBus() { stop(); }

uint32_t WinusbBus::list(std::vector<BusDevice> &devices, std::string &why) {
    devices.clear();
    std::vector<Present> found;
    if (!enumerate(found, why)) return kStatusTransferFailed;
    for (const Present &present : found) {
        BusDevice device;
        device.place = present.place;
        device.vendorId = present.ids.vendorId;
        device.productId = present.ids.productId;
        devices.push_back(std::move(device));
    }
    return kStatusOk;
}

uint32_t WinusbBus::start(BusListener &listener) {
    State &state = *state_;
    if (state.thread.joinable()) return kStatusOk;
    state.listener = &listener;
    state.stopping = false;
    state.thread = std::thread([&state] { state.run(); });
    return kStatusOk;
}

void WinusbBus::stop() {
    State &state = *state_;
    {
        std::lock_guard lock(state.mutex);
        state.stopping = true;
    }
    state.changed.notify_all();
    if (state.thread.joinable()) state.thread.join();
    std::unique_lock lock(state.mutex);
    for (auto &[key, device] : state.devices) state.release(*device, lock);
    state.devices.clear();
    state.reported.clear();
}

place_claim::Scope WinusbBus::claimScope() const {
    return place_claim::localScope();
}

uint32_t WinusbBus::open(uint64_t key) {
    State &state = *state_;
    std::shared_ptr<WinusbDevice> device;
    {
        std::lock_guard lock(state.mutex);
        device = state.find(key);
        if (!device || device->left) return kStatusDeviceNotFound;
        if (device->opened.winusb != nullptr) return kStatusOk;
    }
    Opened opened;
    if (const DWORD error = opened.open(device->present.path); error != 0) {
        std::fprintf(stderr, "tz4817: USB device %s (%04x:%04x) cannot be opened: %s\n", device->present.place.c_str(),
                     device->present.ids.vendorId, device->present.ids.productId, errorText(error).c_str());
        return winusb::statusOf(error);
    }
    std::lock_guard lock(state.mutex);
    if (device->left || device->opened.winusb != nullptr) {
        const bool left = device->left;
        opened.close();
        return left ? kStatusDeviceNotFound : kStatusOk;
    }
    device->opened = opened;
    return kStatusOk;
}

void WinusbBus::close(uint64_t key) {
    State &state = *state_;
    std::unique_lock lock(state.mutex);
    if (auto device = state.find(key)) {
        state.release(*device, lock);
        if (device->left) state.devices.erase(key);
    }
}

uint32_t WinusbBus::setInterface(uint64_t key, uint32_t interface, uint32_t alternate) {
    if (interface != 0 || alternate > 0xFF) return kStatusBadRecord;
    std::shared_ptr<WinusbDevice> device;
    if (const uint32_t status = state_->beginUse(key, device)) return status;
    const bool done = ::WinUsb_SetCurrentAlternateSetting(device->opened.winusb, static_cast<UCHAR>(alternate));
    const uint32_t status = done ? kStatusOk : winusb::statusOf(::GetLastError());
    state_->endUse(*device);
    return status;
}

uint32_t WinusbBus::resetPipe(uint64_t key, uint32_t pipe) {
    std::shared_ptr<WinusbDevice> device;
    if (const uint32_t status = state_->beginUse(key, device)) return status;
    uint32_t status = kStatusBadRecord;
    if (device->pipes.count(static_cast<uint8_t>(pipe)) != 0 && pipe <= 0xFF)
        status = ::WinUsb_ResetPipe(device->opened.winusb, static_cast<UCHAR>(pipe))
                     ? kStatusOk
                     : winusb::statusOf(::GetLastError());
    state_->endUse(*device);
    return status;
}

uint32_t WinusbBus::transfer(uint64_t key, const TransferRequest &request, uint32_t &transferred) {
    transferred = 0;
    State &state = *state_;
    std::shared_ptr<WinusbDevice> device;
    if (const uint32_t status = state.beginUse(key, device)) return status;
    struct Use {
        State &state;
        WinusbDevice &device;
        ~Use() { state.endUse(device); }
    } use{state, *device};

    winusb::Transfer plan;
    if (const uint32_t status = winusb::planTransfer(request, device->pipes, plan)) return status;
    WINUSB_INTERFACE_HANDLE handle = device->opened.winusb;
    // 0: no time-out, as the request means.
    ULONG timeout = request.timeoutMs;
    if (!::WinUsb_SetPipePolicy(handle, plan.pipe, PIPE_TRANSFER_TIMEOUT, sizeof timeout, &timeout))
        return winusb::statusOf(::GetLastError());
    ULONG done = 0;
    BOOL succeeded = FALSE;
    switch (plan.kind) {
    case winusb::Transfer::Kind::Control: {
        WINUSB_SETUP_PACKET setup{plan.setup.requestType, plan.setup.request, plan.setup.value, plan.setup.index,
                                  plan.setup.length};
        succeeded = ::WinUsb_ControlTransfer(handle, setup, request.buffer, plan.length, &done, nullptr);
        break;
    }
    case winusb::Transfer::Kind::Read:
        succeeded = ::WinUsb_ReadPipe(handle, plan.pipe, request.buffer, plan.length, &done, nullptr);
        break;
    case winusb::Transfer::Kind::Write:
        succeeded = ::WinUsb_WritePipe(handle, plan.pipe, request.buffer, plan.length, &done, nullptr);
        break;
    }
    const DWORD error = succeeded ? 0 : ::GetLastError();
    transferred = std::min<uint32_t>(done, plan.length);
    if (succeeded) return kStatusOk;
    bool ended;
    {
        std::lock_guard lock(state.mutex);
        ended = device->left || device->closing;
    }
    // Aborted because the device left or is being closed.
    if (ended) return kStatusDeviceNotFound;
    return winusb::statusOf(error);
}

}  // namespace usb_driver
