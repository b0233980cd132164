// SPDX-License-Identifier: MIT
// The listener and the operation phase (device list, import) of the USB/IP
// server. The URB phase of an imported connection is ImportedConnection.
#include "projector_emulator/usbip_server.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <list>
#include <mutex>
#include <thread>

#include "imported_connection.h"
#include "socket_io.h"
#include "usbip/protocol.h"
#include "usbip/stream_socket.h"
#include "usb_standard/usb_standard.h"

namespace projector_emulator {
namespace {

// Connections served at once. Connections that are closing (their threads
// end within a fraction of a second) don't count.
constexpr size_t kMaxConnections = 16;

constexpr char kSysfsDirectory[] = "/sys/devices/platform/tz4817-emu/usb1/";

uint16_t le16(const std::vector<uint8_t> &bytes, size_t offset) {
    return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

// The bus id of the device at `index`: its own, or the server's by position.
std::string busIdOf(const EmulatedDevice &exported, size_t index) {
    std::string own = exported.busId();
    return own.empty() ? usbipBusId(index) : own;
}

// The projector at `index` as a USB/IP device list shows it, taken from its
// descriptors.
usbip::ListedDevice listedDevice(const EmulatedDevice &exported, const Presence &presence, size_t index) {
    const std::vector<uint8_t> device = exported.descriptor(usb_standard::DT_DEVICE, 0, presence);
    const std::vector<uint8_t> config = exported.descriptor(usb_standard::DT_CONFIG, 0, presence);
    usbip::ListedDevice listed;
    usbip::DeviceRecord &record = listed.device;
    record.busId = busIdOf(exported, index);
    record.path = kSysfsDirectory + record.busId;
    record.busnum = kUsbipBusNumber;
    record.devnum = usbipDevnum(presence.generation, index);
    record.speed = usbip::kSpeedFull;
    if (device.size() >= 18) {
        record.idVendor = le16(device, 8);
        record.idProduct = le16(device, 10);
        record.bcdDevice = le16(device, 12);
        record.bDeviceClass = device[4];
        record.bDeviceSubClass = device[5];
        record.bDeviceProtocol = device[6];
        record.bNumConfigurations = device[17];
    }
    if (config.size() >= 9) {
        record.bConfigurationValue = config[5];
        record.bNumInterfaces = config[4];
    }
    // Interface records: alternate setting 0 of each interface descriptor.
    for (size_t at = 0; at + 1 < config.size() && config[at] >= 2; at += config[at]) {
        if (config[at + 1] == 0x04 && config[at] >= 9 && at + 9 <= config.size() && config[at + 3] == 0)
            listed.interfaces.push_back({config[at + 5], config[at + 6], config[at + 7]});
    }
    return listed;
}

struct Session {
    usbip::SocketHandle fd = usbip::kNoSocket;  // guarded by State::mutex; kNoSocket once closed
    std::string peer;
    std::chrono::steady_clock::time_point deadline;  // for the whole request
    bool sendingRequest = true;                      // guarded by State::mutex
    std::thread thread;
    std::atomic<bool> closing{false};  // no longer serving; its threads are winding down
    std::atomic<bool> done{false};     // its thread has ended
};

}  // namespace

std::string usbipBusId(size_t index) { return "1-" + std::to_string(index + 1); }

// Projectors side by side get devnums apart, so their devids differ too.
uint32_t usbipDevnum(uint32_t generation, size_t index) {
    return 1 + static_cast<uint32_t>((generation + 16 * index) % 127);
}

struct UsbipServer::State {
    State(std::vector<EmulatedDevice *> exported, UsbipServerOptions options)
        : devices(std::move(exported)), options(std::move(options)) {
        if (devices.size() > kMaxExportedDevices) devices.resize(kMaxExportedDevices);
        imported.assign(devices.size(), false);
    }

    std::vector<EmulatedDevice *> devices;  // devices[i] is bus id busIdOf(*devices[i], i)
    const UsbipServerOptions options;
    usbip::SocketHandle listenFd = usbip::kNoSocket;
    std::unique_ptr<usbip::WakeSignal> wake;  // raised to end the accept loop
    uint16_t port = 0;
    std::string address;
    bool loopback = false;
    std::thread acceptThread;

    std::mutex mutex;  // sessions, imported, stopping, Session::fd
    std::list<std::unique_ptr<Session>> sessions;
    std::vector<bool> imported;  // by device
    bool stopping = false;
    bool stopped = false;

    std::mutex logMutex;

    void log(const std::string &line) {
        if (!options.log) return;
        std::lock_guard lock(logMutex);
        options.log(line);
    }

    void acceptLoop();
    void serve(Session &session);
    void serveImport(Session &session, const usbip::ImportRequest &request);
    void reapLocked();
};

UsbipServer::UsbipServer(EmulatedDevice &device, UsbipServerOptions options)
    : UsbipServer(std::vector<EmulatedDevice *>{&device}, std::move(options)) {}

UsbipServer::UsbipServer(std::vector<EmulatedDevice *> devices, UsbipServerOptions options)
    : state_(std::make_unique<State>(std::move(devices), std::move(options))) {}

UsbipServer::~UsbipServer() { stop(); }

uint16_t UsbipServer::port() const { return state_->port; }
std::string UsbipServer::address() const { return state_->address; }
bool UsbipServer::loopback() const { return state_->loopback; }

bool UsbipServer::start(std::string &error) {
    State &state = *state_;
    const auto endpoints = socket_io::resolve(state.options.host, state.options.port, error);
    if (endpoints.empty()) return false;
    for (const socket_io::Endpoint &endpoint : endpoints) {
        const usbip::SocketHandle fd = usbip::openStreamSocket(endpoint.family);
        if (fd == usbip::kNoSocket) {
            error = "socket: " + usbip::socketErrorText(usbip::socketError());
            continue;
        }
        usbip::allowQuickRebind(fd);
        if (::bind(fd, reinterpret_cast<const sockaddr *>(&endpoint.address), endpoint.length) != 0 ||
            ::listen(fd, 16) != 0) {
            const int failure = usbip::socketError();
            error = "cannot listen on " +
                    socket_io::describe(reinterpret_cast<const sockaddr *>(&endpoint.address), endpoint.length) + ": " +
                    usbip::socketErrorText(failure);
            usbip::closeSocket(fd);
            continue;
        }
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length);
        state.port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port
                                                       : reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
        state.address = socket_io::describe(reinterpret_cast<sockaddr *>(&bound), length);
        state.loopback = socket_io::isLoopback(endpoint);
        state.listenFd = fd;
        break;
    }
    if (state.listenFd == usbip::kNoSocket) return false;
    state.wake = std::make_unique<usbip::WakeSignal>();
    if (!state.wake->valid()) {
        error = "wake signal: " + usbip::socketErrorText(usbip::socketError());
        usbip::closeSocket(state.listenFd);
        state.listenFd = usbip::kNoSocket;
        return false;
    }
    state.acceptThread = std::thread([&state] { state.acceptLoop(); });
    return true;
}

void UsbipServer::stop() {
    State &state = *state_;
    {
        std::lock_guard lock(state.mutex);
        if (state.stopped) return;
        state.stopped = true;
        state.stopping = true;
    }
    if (state.acceptThread.joinable()) {
        state.wake->raise();
        state.acceptThread.join();
    }
    std::list<std::unique_ptr<Session>> sessions;
    {
        std::lock_guard lock(state.mutex);
        for (auto &session : state.sessions) {
            if (session->fd != usbip::kNoSocket) usbip::shutdownSocket(session->fd);
        }
        sessions.swap(state.sessions);
    }
    for (auto &session : sessions) session->thread.join();
    if (state.listenFd != usbip::kNoSocket) usbip::closeSocket(state.listenFd);
    state.listenFd = usbip::kNoSocket;
    state.wake.reset();
}

void UsbipServer::State::reapLocked() {
    for (auto it = sessions.begin(); it != sessions.end();) {
        if ((*it)->done) {
            (*it)->thread.join();
            it = sessions.erase(it);
        } else {
            ++it;
        }
    }
}

void UsbipServer::State::acceptLoop() {
    for (;;) {
        const usbip::Readiness readiness =
            usbip::waitReady(listenFd, false, std::chrono::milliseconds(-1), wake->handle());
        if (readiness == usbip::Readiness::Failed) {
            log("waiting for connections failed: " + usbip::socketErrorText(usbip::socketError()));
            return;
        }
        if (readiness == usbip::Readiness::Woken) return;
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const usbip::SocketHandle fd = usbip::acceptConnection(listenFd, peer, length);
        if (fd == usbip::kNoSocket) {
            // Out of descriptors or memory: the pending connection stays
            // readable, so pause instead of spinning on it.
            const int failure = usbip::socketError();
            if (failure == EMFILE || failure == ENFILE || failure == ENOBUFS || failure == ENOMEM)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;  // otherwise the client gave up
        }
        usbip::setOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);

        auto session = std::make_unique<Session>();
        session->fd = fd;
        session->peer = socket_io::describe(reinterpret_cast<sockaddr *>(&peer), length);
        session->deadline = std::chrono::steady_clock::now() + options.requestTimeout;
        std::lock_guard lock(mutex);
        reapLocked();
        auto serving = static_cast<size_t>(
            std::count_if(sessions.begin(), sessions.end(), [](const auto &other) { return !other->closing; }));
        if (!stopping && serving >= kMaxConnections) {
            // Every place is taken: the oldest connection still sending its
            // request gives way, so that clients which connect and then send
            // slowly or nothing cannot keep everyone else out. One waiting
            // for its client goes first; one whose bytes have arrived but
            // are not read yet is about to be served.
            const auto unfinished = [](const auto &other) { return !other->closing && other->sendingRequest; };
            auto oldest = std::find_if(sessions.begin(), sessions.end(), [&](const auto &other) {
                return unfinished(other) && usbip::unreadBytes(other->fd) == 0;
            });
            if (oldest == sessions.end()) oldest = std::find_if(sessions.begin(), sessions.end(), unfinished);
            if (oldest != sessions.end()) {
                log((*oldest)->peer + ": gave way to a new connection, its request unfinished");
                (*oldest)->closing = true;
                // Its thread wakes and closes it. Only the reading side: a
                // request that came complete meanwhile is still answered.
                usbip::shutdownSocket((*oldest)->fd, true);
                --serving;
            }
        }
        if (stopping || serving >= kMaxConnections) {
            log(session->peer + ": refused, too many connections");
            usbip::closeSocket(fd);
            continue;
        }
        Session &ref = *session;
        sessions.push_back(std::move(session));
        ref.thread = std::thread([this, &ref] { serve(ref); });
    }
}

void UsbipServer::State::serve(Session &session) {
    std::vector<uint8_t> request;
    auto finish = [&](const std::string &why) {
        if (!why.empty()) log(session.peer + ": " + why);
        std::lock_guard lock(mutex);
        usbip::closeSocket(session.fd);
        session.fd = usbip::kNoSocket;
        session.closing = true;
        session.done = true;
    };

    // One deadline for the whole request: a client that trickles its bytes
    // gets no more time than one that sends nothing.
    if (!socket_io::readAppend(session.fd, request, usbip::kOpHeaderSize, session.deadline))
        return finish("closed or out of time before a request");
    auto header = usbip::decodeOpHeader(request);
    if (!header) return finish(std::string("bad request: ") + usbip::errorText(header.error()));
    auto size = usbip::opRequestSize(*header);
    if (!size) return finish(std::string("bad request: ") + usbip::errorText(size.error()));
    if (!socket_io::readAppend(session.fd, request, *size - usbip::kOpHeaderSize, session.deadline))
        return finish("closed or out of time in a request");
    bool gaveWay = false;
    {
        std::lock_guard lock(mutex);
        gaveWay = session.closing;
        session.sendingRequest = false;
    }

    if (header->code == usbip::kOpReqDevlist) {
        usbip::DevlistReply reply;
        for (size_t index = 0; index < devices.size(); ++index) {
            devices[index]->clientEvent(ClientEvent::Listed);
            const Presence presence = devices[index]->presence();
            if (presence.onBus) reply.devices.push_back(listedDevice(*devices[index], presence, index));
        }
        std::vector<uint8_t> out;
        usbip::appendDevlistReply(out, reply);
        // The connection ends here either way: a client gone before its
        // list arrived has nothing more to be told.
        (void)usbip::writeAll(session.fd, out);
        log(session.peer + ": device list, " + std::to_string(reply.devices.size()) + " device(s)");
        return finish({});
    }
    // Given way to a newer connection just as its request came complete: a
    // device list is still sent, an import no longer starts.
    if (gaveWay) return finish({});
    auto import = usbip::decodeImportRequest(request);
    if (!import) return finish(std::string("bad request: ") + usbip::errorText(import.error()));
    serveImport(session, *import);
    finish({});
}

void UsbipServer::State::serveImport(Session &session, const usbip::ImportRequest &request) {
    size_t index = 0;
    while (index < devices.size() && busIdOf(*devices[index], index) != request.busId) ++index;
    const Presence presence = index < devices.size() ? devices[index]->presence() : Presence{};
    usbip::ImportReply reply;
    {
        std::lock_guard lock(mutex);
        if (index == devices.size() || !presence.onBus) {
            reply.status = usbip::kOpStatusNoSuchDevice;
        } else if (imported[index] || stopping) {
            reply.status = usbip::kOpStatusBusy;
        } else {
            imported[index] = true;
            reply.device = listedDevice(*devices[index], presence, index).device;
        }
    }
    std::vector<uint8_t> out;
    usbip::appendImportReply(out, reply);
    if (reply.status != usbip::kOpStatusOk) {
        (void)usbip::writeAll(session.fd, out);  // closed next, sent or not
        log(session.peer + ": import of '" + request.busId + "' refused (status " + std::to_string(reply.status) + ")");
        return;
    }
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", presence.vendorId, presence.productId);
    log(session.peer + ": imported " + request.busId + " (" + ids + ", devnum " + std::to_string(reply.device->devnum) +
        ")");
    std::string reason = "the client went away";
    devices[index]->clientEvent(ClientEvent::Imported);
    if (usbip::writeAll(session.fd, out)) {
        // The device is free for the next import the moment this connection
        // is decided closed, before its threads have wound down.
        ImportedConnection connection(*devices[index], session.fd, presence,
                                      usbip::makeDevid(kUsbipBusNumber, reply.device->devnum), [this, &session, index] {
                                          std::lock_guard lock(mutex);
                                          imported[index] = false;
                                          session.closing = true;
                                      });
        reason = connection.run();
    } else {
        std::lock_guard lock(mutex);
        imported[index] = false;
    }
    devices[index]->clientEvent(ClientEvent::Released);
    log(session.peer + ": connection closed: " + reason);
}

std::optional<ListenAddress> parseListenAddress(const std::string &text, std::string &error) {
    std::string host;
    std::string port;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            error = "expected [ADDRESS]:PORT, got '" + text + "'";
            return std::nullopt;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) {
            error = "expected HOST:PORT, got '" + text + "'";
            return std::nullopt;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host.empty() || port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(port) > 65535) {
        error = "bad listen address '" + text + "'";
        return std::nullopt;
    }
    return ListenAddress{host, static_cast<uint16_t>(std::stoul(port))};
}

bool isLoopbackHost(const std::string &host, std::string &error) {
    const auto endpoints = socket_io::resolve(host, 0, error);
    if (endpoints.empty()) return false;
    for (const auto &endpoint : endpoints) {
        if (!socket_io::isLoopback(endpoint)) return false;
    }
    return true;
}

}  // namespace projector_emulator
