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

#include "usb_driver/driver_status.h"
#include "usb_standard/usb_standard.h"
#include "usbip/protocol.h"
#include "usbip/stream_socket.h"

namespace usb_driver {
namespace {

using namespace std::chrono;
using usbip::Direction;
using Clock = usbip_socket::Clock;

// How long the socket has been left unread before the reader thread takes it,
// to see a departure or a stray message while no transfer is in flight. A
// caller that transfers within it reads its reply itself, with no other
// thread woken.
constexpr auto kQuietSpell = milliseconds(5);

// The reader thread's mark in Import::readerRole.
constexpr char kReaderThread = 0;

// The largest device list the client reads: every device with the most
// interfaces the codec accepts.
constexpr size_t kMaxDevlistBytes =
    usbip::kDevlistReplyFixedSize +
    usbip::kMaxDevices * (usbip::kDeviceRecordSize + usbip::kMaxInterfaces * usbip::kInterfaceRecordSize);

constexpr int32_t kNoDevice = -19;  // ENODEV

constexpr uint8_t kOutInterface = usb::DIR_OUT | usb::TYPE_STANDARD | usb::RECIP_INTERFACE;
constexpr uint8_t kOutEndpoint = usb::DIR_OUT | usb::TYPE_STANDARD | usb::RECIP_ENDPOINT;

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

uint32_t statusOf(int32_t urbStatus, bool cancelled) {
    switch (urbStatus) {
    case usbip::kUrbOk: return kStatusOk;
    case usbip::kUrbStall: return kStatusStall;
    case usbip::kUrbShutdown:
    case kNoDevice:
    case usbip::kUrbNoEntry: return kStatusDeviceNotFound;
    case usbip::kUrbUnlinked: return cancelled ? kStatusTimeout : kStatusTransferFailed;
    default: return kStatusTransferFailed;
    }
}

}  // namespace

// One imported device and its connection.
struct UsbipBus::Import {
    struct Pending {
        Direction direction = Direction::Out;
        uint8_t *buffer = nullptr;
        uint32_t length = 0;
        bool complete = false;
        int32_t status = 0;
        uint32_t actual = 0;
        uint32_t unlinkSeqnum = 0;
        bool unlinked = false;
    };

    // What has arrived from the server and is not decoded yet, and a reply
    // whose header is decoded while its data is still to come. Only the
    // thread that holds the socket touches it, so whoever takes the socket
    // over next reads on where the last one stopped.
    struct Incoming {
        std::vector<uint8_t> bytes = std::vector<uint8_t>(4096);  // unread: [begin, end)
        size_t begin = 0, end = 0;
        std::optional<usbip::RetSubmit> reply;
        Direction direction = Direction::Out;
        uint32_t dataLength = 0;
    };

    Import(uint64_t k, std::string id, uint32_t d, usbip::SocketHandle f)
        : key(k), busId(std::move(id)), devid(d), fd(f) {
        pending.reserve(16);
        unlinks.reserve(16);
    }

    // Lists, not maps: a transfer adds and removes its entry without allocating.
    Pending *findPending(uint32_t seqnum) {
        for (auto &[s, p] : pending)
            if (s == seqnum) return p;
        return nullptr;
    }
    template <typename List>
    static void remove(List &list, uint32_t seqnum) {
        for (size_t i = 0; i < list.size(); ++i)
            if (list[i].first == seqnum) {
                list[i] = list.back();
                list.pop_back();
                return;
            }
    }
    ~Import() { usbip::closeSocket(fd); }

    // Ends the connection; whoever reads sees the end and the device leaves.
    void drop() {
        {
            std::lock_guard lock(mutex);
            dropped = true;
        }
        usbip::shutdownSocket(fd);
        quiet.notify_all();
    }

    const uint64_t key;
    const std::string busId;
    const uint32_t devid;
    const usbip::SocketHandle fd;  // closed with the last reference, never while a thread may use it
    usbip::WakeSignal wake;        // raised: the reader thread gives the socket to a caller
    std::thread reader;

    std::mutex mutex;
    std::condition_variable changed;
    bool dead = false;
    bool dropped = false;
    // Who reads the socket: nobody, the caller whose Pending this points to,
    // or the reader thread (&kReaderThread). Exactly one at a time, so every
    // byte from the server passes one decoder in order.
    const void *readerRole = nullptr;
    bool readerThreadAsked = false;              // wake raised since the reader thread took the socket
    Clock::time_point idleSince = Clock::now();  // the last caller gave the socket up
    std::condition_variable quiet;               // the reader thread waits here for the socket
    std::string violation;                       // what broke the protocol, when something did
    Incoming incoming;
    bool opened = false;
    uint32_t nextSeqnum = 1;
    std::vector<std::pair<uint32_t, Pending *>> pending;  // submit seqnum, its transfer
    std::vector<std::pair<uint32_t, uint32_t>> unlinks;   // unlink seqnum, submit seqnum

    std::mutex writeMutex;  // one message at a time on the socket

    // Orders the arrival and departure reports of this device.
    std::mutex reportMutex;
    bool reported = false;
    bool silent = false;  // the bus is stopping: no departure report
};

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
    std::map<uint64_t, std::shared_ptr<Import>> imports;  // by key
    bool failed = false;                                  // busFailed has been reported

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
    void reap();
    void read(Import &import);
    // What one turn of reading the socket came to.
    enum class Step { Message, Waiting, Ended };
    Step readStep(Import &import, const usbip_socket::Deadline &deadline, usbip::SocketHandle wake);
    // Reads the socket while this caller holds it, or waits for the caller
    // or thread that does, until done() or the deadline. Called and returns
    // with the import's lock held.
    template <typename Done>
    bool collect(Import &import, std::unique_lock<std::mutex> &lock, const void *self,
                 const usbip_socket::Deadline &deadline, Done done);
    std::shared_ptr<Import> find(uint64_t key);
    uint32_t submit(Import &import, Direction direction, uint32_t endpoint, const std::array<uint8_t, 8> &setup,
                    uint8_t *buffer, uint32_t length, milliseconds timeout, uint32_t &transferred);
    uint32_t control(Import &import, const std::array<uint8_t, 8> &setup, uint8_t *buffer, uint32_t &transferred);
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

    std::shared_ptr<Import> import;
    {
        std::lock_guard lock(mutex);
        if (stopping) {
            usbip::closeSocket(fd);
            return {Outcome::TryAgain, {}};
        }
        import = std::make_shared<Import>(nextKey++, busId, usbip::makeDevid(record->busnum, record->devnum), fd);
        if (!import->wake.valid()) {
            // Without it the reader thread could not give the socket to a caller.
            return {Outcome::Unreachable,
                    "cannot be read (no wake signal: " + usbip::socketErrorText(usbip::socketError()) + ")"};
        }
        imports[import->key] = import;
        Import *raw = import.get();
        raw->reader = std::thread([this, raw] { read(*raw); });
    }

    // The descriptors, as the device gives them.
    std::vector<uint8_t> device(usb::DT_DEVICE_SIZE), config(usb::DT_CONFIG_SIZE);
    uint32_t got = 0;
    bool good =
        control(*import, usb::getDescriptor(usb::DT_DEVICE, 0, usb::DT_DEVICE_SIZE), device.data(), got) == kStatusOk &&
        got == usb::DT_DEVICE_SIZE;
    good =
        good &&
        control(*import, usb::getDescriptor(usb::DT_CONFIG, 0, usb::DT_CONFIG_SIZE), config.data(), got) == kStatusOk &&
        got == usb::DT_CONFIG_SIZE;
    if (good) {
        const uint16_t total = static_cast<uint16_t>(config[2] | config[3] << 8);
        config.resize(std::max<uint16_t>(total, usb::DT_CONFIG_SIZE));
        good = control(*import, usb::getDescriptor(usb::DT_CONFIG, 0, static_cast<uint16_t>(config.size())),
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
    std::vector<std::shared_ptr<Import>> ended;
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

// --- the imported connection --------------------------------------------------------

// The reader thread: while a caller waits for a reply it reads the socket
// itself (collect), so this thread reads only what arrives while no transfer
// is in flight, a departure above all, and reports how the connection ended.
void UsbipBus::State::read(Import &import) {
    std::unique_lock lock(import.mutex);
    while (!import.dead) {
        if (import.readerRole || !import.pending.empty()) {
            import.quiet.wait_for(lock, kQuietSpell);
            continue;
        }
        const auto quietUntil = import.idleSince + kQuietSpell;
        if (!import.dropped && Clock::now() < quietUntil) {
            import.quiet.wait_until(lock, quietUntil);
            continue;
        }
        import.wake.clear();
        import.readerRole = &kReaderThread;
        import.readerThreadAsked = false;
        lock.unlock();
        (void)readStep(import, std::nullopt, import.wake.handle());
        lock.lock();
        // Given to the caller that asked for it, or taken again.
        import.readerRole = nullptr;
        import.changed.notify_all();
    }
    const std::string violation = import.violation;
    lock.unlock();
    import.drop();
    if (!violation.empty()) fail("broke the protocol on " + printable(import.busId) + ": " + violation);
    std::lock_guard report(import.reportMutex);
    if (import.reported && !import.silent) listener->deviceLeft(import.key);
    import.reported = false;
}

UsbipBus::State::Step UsbipBus::State::readStep(Import &import, const usbip_socket::Deadline &deadline,
                                                usbip::SocketHandle wake) {
    using usbip_socket::Received;
    Import::Incoming &in = import.incoming;
    // Makes `count` unread bytes available, reading whatever has arrived.
    auto need = [&](size_t count) {
        while (in.end - in.begin < count) {
            if (in.begin + count > in.bytes.size()) {
                std::memmove(in.bytes.data(), in.bytes.data() + in.begin, in.end - in.begin);
                in.end -= in.begin;
                in.begin = 0;
                if (count > in.bytes.size()) in.bytes.resize(count);
            }
            size_t got = 0;
            const Received received =
                usbip_socket::receive(import.fd, std::span(in.bytes).subspan(in.end), got, deadline, wake);
            if (received != Received::Bytes) return received;
            in.end += got;
        }
        return Received::Bytes;
    };
    auto consume = [&](size_t count) {
        in.begin += count;
        if (in.begin == in.end) in.begin = in.end = 0;
    };

    std::string violation;
    Received received = Received::Bytes;
    if (!in.reply) {
        received = need(usbip::kUrbHeaderSize);
        if (received == Received::Waiting) return Step::Waiting;
        if (received == Received::Bytes) {
            auto message = usbip::decodeUrbHeader(std::span(in.bytes).subspan(in.begin, usbip::kUrbHeaderSize));
            consume(usbip::kUrbHeaderSize);
            if (!message) {
                violation =
                    std::string("it sent a message that is not USB/IP (") + usbip::errorText(message.error()) + ")";
            } else if (const auto *reply = std::get_if<usbip::RetSubmit>(&*message)) {
                Direction direction = Direction::Out;
                uint32_t asked = 0;
                bool known;
                {
                    std::lock_guard lock(import.mutex);
                    const Import::Pending *pending = import.findPending(reply->seqnum);
                    known = pending != nullptr;
                    if (pending) {
                        direction = pending->direction;
                        asked = pending->length;
                    }
                }
                const auto length = usbip::retSubmitDataLength(*reply, direction, asked);
                if (!known) {
                    violation = "it answered a request never sent (seqnum " + std::to_string(reply->seqnum) + ")";
                } else if (!length) {
                    violation = "it sent more data than was asked for";
                } else {
                    in.reply = *reply;
                    in.direction = direction;
                    in.dataLength = *length;
                }
            } else if (const auto *unlinked = std::get_if<usbip::RetUnlink>(&*message)) {
                std::lock_guard lock(import.mutex);
                for (const auto &[unlinkSeqnum, submitSeqnum] : import.unlinks) {
                    if (unlinkSeqnum != unlinked->seqnum) continue;
                    if (Import::Pending *pending = import.findPending(submitSeqnum)) pending->unlinked = true;
                    import.changed.notify_all();
                }
                // An answer to no unlink of ours carries no data: harmless.
                return Step::Message;
            } else {
                violation = "it sent a command instead of a reply";
            }
        }
    }
    if (received == Received::Bytes && violation.empty()) {
        received = need(in.dataLength);
        if (received == Received::Waiting) return Step::Waiting;
        if (received == Received::Bytes) {
            const usbip::RetSubmit reply = *in.reply;
            const uint32_t length = in.dataLength;
            in.reply.reset();
            std::lock_guard lock(import.mutex);
            // Given up meanwhile, the connection is going: otherwise delivered.
            if (Import::Pending *pending = import.findPending(reply.seqnum)) {
                if (length) std::memcpy(pending->buffer, in.bytes.data() + in.begin, length);
                consume(length);
                pending->actual = in.direction == Direction::In ? length : reply.actualLength;
                pending->status = reply.status;
                pending->complete = true;
                import.changed.notify_all();
                return Step::Message;
            }
        }
    }
    // The connection has ended, or broke the protocol.
    {
        std::lock_guard lock(import.mutex);
        if (import.violation.empty()) import.violation = violation;
        import.dead = true;
        import.changed.notify_all();
    }
    import.drop();  // wakes the reader thread, which reports it
    return Step::Ended;
}

template <typename Done>
bool UsbipBus::State::collect(Import &import, std::unique_lock<std::mutex> &lock, const void *self,
                              const usbip_socket::Deadline &deadline, Done done) {
    while (!done()) {
        if (!import.readerRole) import.readerRole = self;
        if (import.readerRole == self) {
            lock.unlock();
            const Step step = readStep(import, deadline, usbip::kNoSocket);
            lock.lock();
            if (step == Step::Waiting) return done();  // the deadline has passed
            continue;
        }
        // The reader thread gives the socket up when asked; another caller
        // gives it up once its own transfer has finished.
        if (import.readerRole == &kReaderThread && !import.readerThreadAsked && import.wake.valid()) {
            import.wake.raise();
            import.readerThreadAsked = true;
        }
        if (!deadline)
            import.changed.wait(lock);
        else if (import.changed.wait_until(lock, *deadline) == std::cv_status::timeout)
            return done();
    }
    return true;
}

uint32_t UsbipBus::State::submit(Import &import, Direction direction, uint32_t endpoint,
                                 const std::array<uint8_t, 8> &setup, uint8_t *buffer, uint32_t length,
                                 milliseconds timeout, uint32_t &transferred) {
    transferred = 0;
    Import::Pending pending;
    pending.direction = direction;
    pending.buffer = buffer;
    pending.length = length;
    usbip::CmdSubmit command;
    {
        std::lock_guard lock(import.mutex);
        if (import.dead) return kStatusDeviceNotFound;
        command.seqnum = import.nextSeqnum++;
        import.pending.emplace_back(command.seqnum, &pending);
        // The only transfer in flight reads its own reply: the socket is
        // taken before the submit goes out.
        if (!import.readerRole) import.readerRole = &pending;
    }
    command.devid = import.devid;
    command.direction = direction;
    command.endpoint = endpoint;
    command.transferBufferLength = length;
    command.setup = setup;

    thread_local std::vector<uint8_t> message;  // reused: no allocation per transfer once grown
    message.clear();
    usbip::appendCmdSubmit(message, command,
                           direction == Direction::Out ? std::span<const uint8_t>(buffer, length)
                                                       : std::span<const uint8_t>());
    bool written;
    {
        std::lock_guard lock(import.writeMutex);
        written = usbip::writeAll(import.fd, message);
    }

    bool cancelled = false, abandon = !written;
    std::unique_lock lock(import.mutex);
    auto finished = [&] { return pending.complete || import.dead; };
    const usbip_socket::Deadline deadline =
        timeout.count() == 0 ? usbip_socket::Deadline() : usbip_socket::Deadline(Clock::now() + timeout);
    if (!written) {
        // The connection is broken; the reader thread reports the departure.
    } else if (!collect(import, lock, &pending, deadline, finished)) {
        cancelled = true;
        const uint32_t unlinkSeqnum = import.nextSeqnum++;
        import.unlinks.emplace_back(unlinkSeqnum, command.seqnum);
        pending.unlinkSeqnum = unlinkSeqnum;
        lock.unlock();
        message.clear();
        usbip::appendCmdUnlink(message, usbip::CmdUnlink{unlinkSeqnum, import.devid, command.seqnum});
        {
            std::lock_guard writeLock(import.writeMutex);
            written = usbip::writeAll(import.fd, message);
        }
        lock.lock();
        // The completion may have raced the unlink: then it counts.
        abandon = !written || !collect(import, lock, &pending, Clock::now() + options.unlinkTimeout,
                                       [&] { return pending.complete || pending.unlinked || import.dead; });
    }
    Import::remove(import.pending, command.seqnum);
    if (pending.unlinkSeqnum) Import::remove(import.unlinks, pending.unlinkSeqnum);
    if (import.readerRole == &pending) {
        import.readerRole = nullptr;
        import.idleSince = Clock::now();
        // Another transfer in flight reads on.
        if (!import.pending.empty()) import.changed.notify_all();
    }
    lock.unlock();
    // A server that answers neither the submit nor its unlink cannot be
    // trusted with the next transfer.
    if (abandon) import.drop();

    if (pending.complete) {
        transferred = std::min(pending.actual, length);
        return statusOf(pending.status, cancelled);
    }
    if (cancelled) return kStatusTimeout;
    return kStatusDeviceNotFound;
}

uint32_t UsbipBus::State::control(Import &import, const std::array<uint8_t, 8> &setup, uint8_t *buffer,
                                  uint32_t &transferred) {
    const uint32_t length = static_cast<uint32_t>(setup[6] | setup[7] << 8);
    const Direction direction = (setup[0] & 0x80) ? Direction::In : Direction::Out;
    return submit(import, direction, 0, setup, buffer, length, options.controlTimeout, transferred);
}

std::shared_ptr<UsbipBus::Import> UsbipBus::State::find(uint64_t key) {
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
    std::vector<std::shared_ptr<Import>> imports;
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
    return state_->control(*import,
                           usb::setupPacket(kOutInterface, usb::SET_INTERFACE, static_cast<uint16_t>(alternate),
                                            static_cast<uint16_t>(interface), 0),
                           nullptr, transferred);
}

uint32_t UsbipBus::resetPipe(uint64_t key, uint32_t pipe) {
    auto import = state_->find(key);
    if (!import) return kStatusDeviceNotFound;
    if (pipe > 0xFF) return kStatusBadRecord;
    uint32_t transferred = 0;
    return state_->control(
        *import, usb::setupPacket(kOutEndpoint, usb::CLEAR_FEATURE, usb::ENDPOINT_HALT, static_cast<uint16_t>(pipe), 0),
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
    return state_->submit(*import, in ? Direction::In : Direction::Out, request.pipe & 0x0F, setup, request.buffer,
                          request.length, milliseconds(request.timeoutMs), transferred);
}

}  // namespace usb_driver
