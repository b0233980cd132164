// SPDX-License-Identifier: MIT
#include "usbip_bus.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "imported_device.h"
#include "usb_driver/driver_status.h"
#include "usb_standard/usb_standard.h"
#include "usbip/protocol.h"
#include "usbip/stream_socket.h"

namespace usb_driver {
namespace {

using namespace std::chrono;
using usbip::Direction;

// The largest device list the client reads: every device with the most
// interfaces the codec accepts.
constexpr size_t kMaxDevlistBytes =
    usbip::kDevlistReplyFixedSize +
    usbip::kMaxDevices * (usbip::kDeviceRecordSize + usbip::kMaxInterfaces * usbip::kInterfaceRecordSize);

constexpr uint8_t kOutInterface = usb_standard::DIR_OUT | usb_standard::TYPE_STANDARD | usb_standard::RECIP_INTERFACE;
constexpr uint8_t kOutEndpoint = usb_standard::DIR_OUT | usb_standard::TYPE_STANDARD | usb_standard::RECIP_ENDPOINT;

// A name or bus id from the server, as it is shown: control characters and
// bytes outside ASCII become '?'.
std::string printable(const std::string &text) {
    std::string shown = text;
    for (char &c : shown)
        if (c < 0x20 || c > 0x7E) c = '?';
    return shown;
}

const char *importStatusName(uint32_t status) {
    switch (status) {
    case usbip::kOpStatusNotAvailable: return "not available";
    case usbip::kOpStatusBusy: return "busy";
    case usbip::kOpStatusDeviceError: return "device error";
    case usbip::kOpStatusNoSuchDevice: return "no such device";
    default: return "error";
    }
}

}  // namespace

struct UsbipBus::State {
    explicit State(Options o) : options(std::move(o)) {}

    const Options options;
    usbip::WakeSignal wake;  // raised while the bus stops: ends every wait of discovery
    // "USB/IP server 127.0.0.1:3240", as messages name it.
    const std::string server =
        "USB/IP server " +
        printable(options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host) + ":" +
        std::to_string(options.port);

    std::mutex mutex;
    std::condition_variable changed;
    BusListener *listener = nullptr;
    bool stopping = false;
    std::thread discovery;
    uint64_t nextKey = 1;
    std::map<uint64_t, std::shared_ptr<ImportedDevice>> imports;  // by key
    bool failed = false;                                          // busFailed has been reported

    // Discovery thread only: the server could not be reached, and this was said.
    bool unreachableNoted = false;
    // The server's address as a device list was first asked of it; with
    // `mutex`. Names the server in claims, whatever name it was given by.
    std::string reached;

    // What one exchange with the server came to, and why when it failed.
    enum class Outcome { Done, Unreachable, TryAgain, Broken };
    struct Answer {
        Outcome outcome = Outcome::Done;
        std::string why;  // "refused the connection", "sent a malformed device list (...)"
    };

    void discover();
    Answer deviceList(std::vector<usbip::ListedDevice> &devices);
    Answer importDevice(const usbip::DeviceRecord &listed);
    // The server cannot be reached: said once, until it answers again.
    void noteUnreachable(const std::string &why);
    // The server broke the protocol: said once, and the listener is told.
    void fail(const std::string &why);
    bool isStopping() {
        std::lock_guard lock(mutex);
        return stopping;
    }
    // Joins the reader threads of connections that have ended.
    void reap();
    // The reader thread of `import` has seen its connection end: a protocol
    // violation fails the bus, and the device leaves.
    void connectionEnded(ImportedDevice &import, const std::string &violation);
    std::shared_ptr<ImportedDevice> find(uint64_t key);
};

// --- discovery ------------------------------------------------------------------------

void UsbipBus::State::discover() {
    for (;;) {
        reap();
        std::vector<usbip::ListedDevice> devices;
        Answer answer = deviceList(devices);
        for (size_t i = 0; answer.outcome == Outcome::Done && i < devices.size(); ++i) {
            const usbip::DeviceRecord &listed = devices[i].device;
            {
                std::lock_guard lock(mutex);
                if (stopping) return;
                const bool imported = std::any_of(imports.begin(), imports.end(), [&](const auto &entry) {
                    std::lock_guard importLock(entry.second->mutex);
                    return entry.second->busId == listed.busId && !entry.second->dead;
                });
                if (imported) continue;
            }
            // Only a device some registration wants, at its place: another
            // process may be updating the projector beside it.
            if (!listener->wanted(listed.idVendor, listed.idProduct, listed.busId)) continue;
            const Answer imported = importDevice(listed);
            if (imported.outcome == Outcome::Broken || imported.outcome == Outcome::Unreachable) answer = imported;
        }
        if (isStopping()) return;
        if (answer.outcome == Outcome::Broken) {
            fail(answer.why);
            return;  // nothing more comes from this server
        }
        if (answer.outcome == Outcome::Unreachable)
            noteUnreachable(answer.why);
        else
            unreachableNoted = false;
        std::unique_lock lock(mutex);
        if (failed) return;  // a reader found the protocol broken
        if (changed.wait_for(lock, options.pollInterval, [&] { return stopping; })) return;
    }
}

void UsbipBus::State::noteUnreachable(const std::string &why) {
    if (unreachableNoted) return;
    unreachableNoted = true;
    std::fprintf(stderr, "tz4817: %s %s; trying again until the wait for a projector ends\n", server.c_str(),
                 why.c_str());
}

void UsbipBus::State::fail(const std::string &why) {
    {
        std::lock_guard lock(mutex);
        if (stopping || failed) return;
        failed = true;
    }
    std::fprintf(stderr, "tz4817: %s %s\n", server.c_str(), why.c_str());
    listener->busFailed(kStatusProtocolError);
}

UsbipBus::State::Answer UsbipBus::State::deviceList(std::vector<usbip::ListedDevice> &devices) {
    const auto deadline = usbip_socket::Clock::now() + options.operationTimeout;
    std::string why;
    const usbip::SocketHandle fd =
        usbip_socket::connectTo(options.host, options.port, deadline, wake.handle(), options.operationTimeout, &why);
    if (fd == usbip::kNoSocket) return {Outcome::Unreachable, why};
    if (std::string peer = usbip_socket::peerAddress(fd); !peer.empty()) {
        std::lock_guard lock(mutex);
        if (reached.empty()) reached = std::move(peer);
    }
    Answer answer{Outcome::Unreachable, "closed the connection before the device list was asked"};
    std::vector<uint8_t> bytes;
    usbip::appendDevlistRequest(bytes);
    if (usbip::writeAll(fd, bytes)) {
        bytes.clear();
        for (;;) {
            bool ended = false;
            const bool more = usbip_socket::readSome(fd, bytes, kMaxDevlistBytes, deadline, wake.handle(), ended);
            auto reply = usbip::decodeDevlistReply(bytes);
            // A device without a bus id (or with one that fills its field
            // without an end) has no place: it could be neither chosen nor
            // kept to, and importing it needs the id.
            const bool unnamed = reply && std::any_of(reply->devices.begin(), reply->devices.end(), [](const auto &l) {
                                     return l.device.busId.empty() || l.device.busId.size() > kMaxPlaceLength;
                                 });
            if (reply && reply->status == usbip::kOpStatusOk && !unnamed) {
                devices = std::move(reply->devices);
                answer = {Outcome::Done, {}};
            } else if (unnamed) {
                answer = {Outcome::Broken, "sent a malformed device list (a device without a proper bus id)"};
            } else if (reply) {
                answer = {Outcome::Broken, "refused the device list (status " + std::to_string(reply->status) + ")"};
            } else if (reply.error() != usbip::Error::Short) {
                answer = {Outcome::Broken,
                          std::string("sent a malformed device list (") + usbip::errorText(reply.error()) + ")"};
            } else if (!more && !bytes.empty()) {
                answer = {Outcome::Broken,
                          "sent a malformed device list (it ends after " + std::to_string(bytes.size()) + " bytes)"};
            } else if (!more) {
                answer = {Outcome::Unreachable,
                          ended ? "closed the connection without answering" : "did not answer the device list in time"};
            } else {
                continue;
            }
            break;
        }
    }
    usbip::closeSocket(fd);
    return answer;
}

UsbipBus::State::Answer UsbipBus::State::importDevice(const usbip::DeviceRecord &listed) {
    const std::string &busId = listed.busId;
    const std::string malformed = "sent a malformed import reply for " + printable(busId);
    const auto deadline = usbip_socket::Clock::now() + options.operationTimeout;
    std::string why;
    const usbip::SocketHandle fd =
        usbip_socket::connectTo(options.host, options.port, deadline, wake.handle(), options.operationTimeout, &why);
    if (fd == usbip::kNoSocket) return {Outcome::Unreachable, why};
    std::vector<uint8_t> bytes;
    usbip::appendImportRequest(bytes, usbip::ImportRequest{busId});
    Answer answer{Outcome::Unreachable, "closed the connection before the import was asked"};
    std::optional<usbip::DeviceRecord> record;
    if (usbip::writeAll(fd, bytes)) {
        bytes.assign(usbip::kOpHeaderSize, 0);
        auto header = usbip_socket::readExact(fd, bytes, deadline, wake.handle())
                          ? usbip::decodeOpHeader(bytes)
                          : usbip::Result<usbip::OpHeader>(usbip::Error::Short);
        if (!header) {
            answer = {Outcome::Broken, malformed + " (" + usbip::errorText(header.error()) + ")"};
        } else if (header->code != usbip::kOpRepImport) {
            answer = {Outcome::Broken, malformed + " (it is no import reply)"};
        } else if (header->status == usbip::kOpStatusBusy || header->status == usbip::kOpStatusNotAvailable ||
                   header->status == usbip::kOpStatusNoSuchDevice) {
            // Held by another client, or gone since it was listed (a projector
            // restarting in its other mode): tried again at the next poll.
            answer = {Outcome::TryAgain, {}};
        } else if (header->status != usbip::kOpStatusOk) {
            answer = {Outcome::Broken, "refused to import " + printable(busId) + " (status " +
                                           std::to_string(header->status) + ": " + importStatusName(header->status) +
                                           ")"};
        } else {
            bytes.resize(usbip::kImportReplySize);
            auto rest = std::span(bytes).subspan(usbip::kOpHeaderSize);
            auto reply = usbip_socket::readExact(fd, rest, deadline, wake.handle())
                             ? usbip::decodeImportReply(bytes)
                             : usbip::Result<usbip::ImportReply>(usbip::Error::Short);
            if (!reply || !reply->device)
                answer = {Outcome::Broken, malformed + " (" + usbip::errorText(reply.error()) + ")"};
            else if (reply->device->busId != busId)
                answer = {Outcome::Broken, malformed + " (it names " + printable(reply->device->busId) + ")"};
            else
                record = reply->device;
        }
    }
    if (!record) {
        usbip::closeSocket(fd);
        return answer;
    }

    std::shared_ptr<ImportedDevice> import;
    {
        std::lock_guard lock(mutex);
        if (stopping) {
            usbip::closeSocket(fd);
            return {Outcome::TryAgain, {}};
        }
        import = std::make_shared<ImportedDevice>(nextKey++, busId, usbip::makeDevid(record->busnum, record->devnum),
                                                  fd, options.controlTimeout, options.unlinkTimeout);
        if (!import->wake.valid()) {
            // Without it the reader thread could not give the socket to a caller.
            return {Outcome::Unreachable,
                    "cannot be read (no wake signal: " + usbip::socketErrorText(usbip::socketError()) + ")"};
        }
        imports[import->key] = import;
        ImportedDevice *raw = import.get();
        raw->reader = std::thread([this, raw] { connectionEnded(*raw, raw->readUntilEnded()); });
    }

    // The descriptors, as the device gives them.
    std::vector<uint8_t> device(usb_standard::DT_DEVICE_SIZE), config(usb_standard::DT_CONFIG_SIZE);
    uint32_t got = 0;
    bool good = import->control(usb_standard::getDescriptor(usb_standard::DT_DEVICE, 0, usb_standard::DT_DEVICE_SIZE),
                                device.data(), got) == kStatusOk &&
                got == usb_standard::DT_DEVICE_SIZE;
    good = good &&
           import->control(usb_standard::getDescriptor(usb_standard::DT_CONFIG, 0, usb_standard::DT_CONFIG_SIZE),
                           config.data(), got) == kStatusOk &&
           got == usb_standard::DT_CONFIG_SIZE;
    if (good) {
        const uint16_t total = static_cast<uint16_t>(config[2] | config[3] << 8);
        config.resize(std::max<uint16_t>(total, usb_standard::DT_CONFIG_SIZE));
        good = import->control(
                   usb_standard::getDescriptor(usb_standard::DT_CONFIG, 0, static_cast<uint16_t>(config.size())),
                   config.data(), got) == kStatusOk;
        config.resize(got);
    }
    const uint16_t vendor = static_cast<uint16_t>(device[8] | device[9] << 8);
    const uint16_t product = static_cast<uint16_t>(device[10] | device[11] << 8);
    if (!good) {
        // The connection ended (the device restarting), a request stalled or
        // timed out: tried again at the next poll. A protocol violation has
        // been reported by the reader.
        import->drop();
        return {Outcome::TryAgain, {}};
    }
    // A device whose descriptors disagree with what the server listed is not
    // the device that was asked for.
    if (vendor != record->idVendor || product != record->idProduct) {
        import->drop();
        char ids[96];
        std::snprintf(ids, sizeof ids, " (its descriptor says %04x:%04x, the device list %04x:%04x)", vendor, product,
                      record->idVendor, record->idProduct);
        return {Outcome::Broken, "broke the protocol on " + printable(busId) + ids};
    }

    BusDevice arrived;
    arrived.key = import->key;
    arrived.place = busId.substr(0, kMaxPlaceLength);
    arrived.vendorId = vendor;
    arrived.productId = product;
    arrived.deviceDescriptor = std::move(device);
    arrived.configDescriptor = std::move(config);
    std::lock_guard report(import->reportMutex);
    {
        std::lock_guard importLock(import->mutex);
        if (import->dead || import->silent) return {Outcome::TryAgain, {}};
    }
    import->reported = true;
    listener->deviceArrived(arrived);
    return {Outcome::Done, {}};
}

void UsbipBus::State::reap() {
    std::vector<std::shared_ptr<ImportedDevice>> ended;
    {
        std::lock_guard lock(mutex);
        for (auto it = imports.begin(); it != imports.end();) {
            bool dead;
            {
                std::lock_guard importLock(it->second->mutex);
                dead = it->second->dead;
            }
            if (dead) {
                ended.push_back(std::move(it->second));
                it = imports.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto &import : ended) import->reader.join();
}

void UsbipBus::State::connectionEnded(ImportedDevice &import, const std::string &violation) {
    if (!violation.empty()) fail("broke the protocol on " + printable(import.busId) + ": " + violation);
    std::lock_guard report(import.reportMutex);
    if (import.reported && !import.silent) listener->deviceLeft(import.key);
    import.reported = false;
}

std::shared_ptr<ImportedDevice> UsbipBus::State::find(uint64_t key) {
    std::lock_guard lock(mutex);
    auto it = imports.find(key);
    return it == imports.end() ? nullptr : it->second;
}

// --- Bus ----------------------------------------------------------------------------------

UsbipBus::UsbipBus(Options options) : state_(std::make_unique<State>(std::move(options))) {}

UsbipBus::~UsbipBus() { stop(); }

uint32_t UsbipBus::start(BusListener &listener) {
    std::lock_guard lock(state_->mutex);
    if (!state_->wake.valid()) return kStatusTransferFailed;
    if (state_->discovery.joinable()) return kStatusBusy;
    state_->listener = &listener;
    state_->stopping = false;
    state_->failed = false;
    state_->discovery = std::thread([state = state_.get()] { state->discover(); });
    return kStatusOk;
}

void UsbipBus::stop() {
    State &state = *state_;
    std::thread discovery;
    std::vector<std::shared_ptr<ImportedDevice>> imports;
    {
        std::lock_guard lock(state.mutex);
        state.stopping = true;
        state.changed.notify_all();
        discovery = std::move(state.discovery);
        for (auto &[key, import] : state.imports) imports.push_back(import);
    }
    state.wake.raise();
    // Ending the connections first also ends a descriptor request that
    // discovery may be waiting on.
    for (auto &import : imports) {
        {
            std::lock_guard report(import->reportMutex);
            import->silent = true;
        }
        import->drop();
    }
    if (discovery.joinable()) discovery.join();
    {
        std::lock_guard lock(state.mutex);
        imports.clear();
        for (auto &[key, import] : state.imports) imports.push_back(import);
        state.imports.clear();
    }
    for (auto &import : imports) {
        {
            std::lock_guard report(import->reportMutex);
            import->silent = true;
        }
        import->drop();
        if (import->reader.joinable()) import->reader.join();
    }
    state.wake.clear();
}

place_claim::Scope UsbipBus::claimScope() const {
    std::lock_guard lock(state_->mutex);
    const std::string &address = state_->reached;
    const std::string given = (state_->options.host.find(':') != std::string::npos ? "[" + state_->options.host + "]"
                                                                                   : state_->options.host) +
                              ":" + std::to_string(state_->options.port);
    return {"usbip " + (address.empty() ? given : address), state_->server, true};
}

uint32_t UsbipBus::list(std::vector<BusDevice> &devices, std::string &why) {
    devices.clear();
    std::vector<usbip::ListedDevice> listed;
    const State::Answer answer = state_->deviceList(listed);
    if (answer.outcome != State::Outcome::Done) {
        why = state_->server + " " + answer.why;
        return answer.outcome == State::Outcome::Broken ? kStatusProtocolError : kStatusDeviceNotFound;
    }
    for (const usbip::ListedDevice &entry : listed) {
        BusDevice device;
        device.place = entry.device.busId.substr(0, kMaxPlaceLength);
        device.vendorId = entry.device.idVendor;
        device.productId = entry.device.idProduct;
        devices.push_back(std::move(device));
    }
    return kStatusOk;
}

uint32_t UsbipBus::open(uint64_t key) {
    auto import = state_->find(key);
    if (!import) return kStatusDeviceNotFound;
    std::lock_guard lock(import->mutex);
    if (import->dead) return kStatusDeviceNotFound;
    if (import->opened) return kStatusBusy;
    import->opened = true;
    return kStatusOk;
}

void UsbipBus::close(uint64_t key) {
    // The import stays: the device remains on this bus, free for others.
    auto import = state_->find(key);
    if (!import) return;
    std::lock_guard lock(import->mutex);
    import->opened = false;
}

uint32_t UsbipBus::setInterface(uint64_t key, uint32_t interface, uint32_t alternate) {
    auto import = state_->find(key);
    if (!import) return kStatusDeviceNotFound;
    if (interface > 0xFFFF || alternate > 0xFFFF) return kStatusBadRecord;
    uint32_t transferred = 0;
    return import->control(usb_standard::setupPacket(kOutInterface, usb_standard::SET_INTERFACE,
                                                     static_cast<uint16_t>(alternate), static_cast<uint16_t>(interface),
                                                     0),
                           nullptr, transferred);
}

uint32_t UsbipBus::resetPipe(uint64_t key, uint32_t pipe) {
    auto import = state_->find(key);
    if (!import) return kStatusDeviceNotFound;
    if (pipe > 0xFF) return kStatusBadRecord;
    uint32_t transferred = 0;
    return import->control(usb_standard::setupPacket(kOutEndpoint, usb_standard::CLEAR_FEATURE,
                                                     usb_standard::ENDPOINT_HALT, static_cast<uint16_t>(pipe), 0),
                           nullptr, transferred);
}

uint32_t UsbipBus::transfer(uint64_t key, const TransferRequest &request, uint32_t &transferred) {
    transferred = 0;
    auto import = state_->find(key);
    if (!import) return kStatusDeviceNotFound;
    {
        std::lock_guard lock(import->mutex);
        if (!import->opened || import->dead) return kStatusDeviceNotFound;
    }
    if (request.pipe > 0xFF || (request.pipe & 0x70) || request.length > usbip::kMaxTransferLength ||
        (!request.buffer && request.length))
        return kStatusBadRecord;
    std::array<uint8_t, 8> setup;
    std::memcpy(setup.data(), request.setup, setup.size());
    const bool in = request.pipe == 0 ? (setup[0] & 0x80) != 0 : (request.pipe & 0x80) != 0;
    if (in != request.in) return kStatusBadRecord;
    return import->submit(in ? Direction::In : Direction::Out, request.pipe & 0x0F, setup, request.buffer,
                          request.length, milliseconds(request.timeoutMs), transferred);
}

}  // namespace usb_driver
