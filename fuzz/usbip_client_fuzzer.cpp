// SPDX-License-Identifier: MIT
// UsbipBus, the updater's USB/IP client, as the victim of a server: an
// in-process peer on a loopback port answers the bus with the input's bytes.
// The bus is used as the driver uses it: started, a device that arrives is
// described as the driver describes it, opened, its interface selected, and a
// few command exchanges run (a frame out, a reply in, the pipes reset after a
// failure); then the bus is stopped.
//
// Input: chunks (fuzz::Chunks). The first answers the device-list request,
// the second the import request of the first projector listed; then each
// chunk answers the next message the bus sends on the imported connection
// (the descriptor requests, set interface, the transfers, an unlink). An
// empty chunk is silence: the bus's wait runs out and it unlinks. A chunk
// that leaves the bus waiting for more (a cut message, a reply to nothing it
// asked) is followed by the next chunk at once; when the chunks are used up
// the peer closes the connection.
//
// The bus must report only whole devices that agree with what was imported,
// never a departure of a device it did not report, keep every transfer's
// length within its buffer, return only the statuses its interface names,
// never call the listener after stop() returned, and leave no thread or
// descriptor behind.
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "device_info.h"
#include "fuzz_support.h"
#include "usb_driver/driver_status.h"
#include "usbip/protocol.h"
#include "usbip/stream_socket.h"
#include "usbip_bus/usbip_bus.h"
#include "usbip_bus/usbip_socket.h"

namespace {

using namespace std::chrono_literals;
using fuzz::Bytes;
using namespace usb_driver;

// What the bus waits for when the peer keeps silent; short, since silence is
// what the input asked for.
constexpr auto kSilenceTimeout = 10ms;
// A bound on the whole run of one input; reaching it is a hang of the bus.
constexpr auto kPatience = 20s;
constexpr size_t kExchanges = 3;

bool projector(uint16_t vendorId, uint16_t productId) {
    return (vendorId == 0xE7A2 && productId == 0x051E) || (vendorId == 0xE7B9 && productId == 0x2000);
}

bool oneOf(uint32_t status, std::initializer_list<uint32_t> allowed) {
    return std::find(allowed.begin(), allowed.end(), status) != allowed.end();
}

// The listener, checking what the bus promises about its calls.
class Listener : public BusListener {
public:
    bool wanted(uint16_t vendorId, uint16_t productId, const std::string &place) override {
        std::lock_guard lock(mutex_);
        FUZZ_CHECK(!stopped_ && !failed_);
        FUZZ_CHECK(!place.empty() && place.size() <= kMaxPlaceLength);
        return projector(vendorId, productId);
    }
    void busFailed(uint32_t status) override {
        std::lock_guard lock(mutex_);
        FUZZ_CHECK(!stopped_ && !failed_);
        FUZZ_CHECK(status == kStatusProtocolError);
        failed_ = true;
        changed_.notify_all();
    }
    void deviceArrived(const BusDevice &device) override {
        // Described as the driver describes it, outside any lock.
        std::optional<DeviceModel> model = parseDescriptors(device.deviceDescriptor, device.configDescriptor);
        if (model) {
            // Exactly as large as asked for: a write past it is an ASan error.
            std::unique_ptr<uint8_t[]> block(new uint8_t[infoBlockSize(*model)]);
            fillInfoBlock(*model, ActiveAlternates{}, block.get());
        }
        std::lock_guard lock(mutex_);
        FUZZ_CHECK(!stopped_ && !failed_);
        FUZZ_CHECK(!device.place.empty() && device.place.size() <= kMaxPlaceLength);
        FUZZ_CHECK(imported_ && device.vendorId == imported_->first && device.productId == imported_->second);
        FUZZ_CHECK(device.deviceDescriptor.size() == 18);
        FUZZ_CHECK((device.deviceDescriptor[8] | device.deviceDescriptor[9] << 8) == device.vendorId);
        FUZZ_CHECK((device.deviceDescriptor[10] | device.deviceDescriptor[11] << 8) == device.productId);
        FUZZ_CHECK(device.configDescriptor.size() <= 0xFFFF);
        FUZZ_CHECK(!arrived_ && device.key != 0);
        arrived_ = device;
        describable_ = model.has_value();
        changed_.notify_all();
    }
    void deviceLeft(uint64_t key) override {
        std::lock_guard lock(mutex_);
        FUZZ_CHECK(!stopped_);
        FUZZ_CHECK(arrived_ && arrived_->key == key && !left_);
        left_ = true;
    }

    // The device once it arrived, or nothing once `finished` says none will.
    std::optional<BusDevice> arrival(const std::function<bool()> &finished, bool &describable) {
        std::unique_lock lock(mutex_);
        FUZZ_CHECK(changed_.wait_for(lock, kPatience, [&] { return arrived_ || failed_ || finished(); }));
        describable = describable_;
        return arrived_;
    }
    // The ids of the record the import answer carries, before the bus reads it.
    void importing(uint16_t vendorId, uint16_t productId) {
        std::lock_guard lock(mutex_);
        imported_.emplace(vendorId, productId);
    }
    void notify() { changed_.notify_all(); }
    void stopped() {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    std::mutex &mutex() { return mutex_; }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<std::pair<uint16_t, uint16_t>> imported_;
    std::optional<BusDevice> arrived_;
    bool describable_ = false;
    bool left_ = false;
    bool failed_ = false;  // the bus gave up on its server: no arrival after that
    bool stopped_ = false;
};

// What the bus has asked for on the imported connection and not yet got an
// answer to, and how it reads the peer's bytes: the peer's model of the
// bus's reader, so that it knows when the bus waits for more.
class ReaderModel {
public:
    struct Submit {
        uint32_t seqnum;
        usbip::Direction direction;
        uint32_t length;
    };

    void asked(const usbip::UrbHeader &message) {
        if (const auto *submit = std::get_if<usbip::CmdSubmit>(&message)) {
            open_.push_back({submit->seqnum, submit->direction, submit->transferBufferLength});
        } else if (const auto *unlink = std::get_if<usbip::CmdUnlink>(&message)) {
            unlinks_.emplace_back(unlink->seqnum, unlink->unlinkSeqnum);
        }
    }
    // The bus waits for an answer.
    bool waiting() const { return !open_.empty() && !broken_; }
    // The bus drops the connection when it reads these bytes.
    bool broken() const { return broken_; }

    // Takes the next bytes the peer sent, as the bus's reader would.
    void received(Bytes bytes) {
        stream_.insert(stream_.end(), bytes.begin(), bytes.end());
        while (!broken_) {
            const Bytes rest = Bytes(stream_).subspan(consumed_);
            const auto header = usbip::decodeUrbHeader(rest);
            if (!header && header.error() == usbip::Error::Short) return;
            if (!header) {
                broken_ = true;
                return;
            }
            if (const auto *reply = std::get_if<usbip::RetSubmit>(&*header)) {
                const auto submit = std::find_if(open_.begin(), open_.end(),
                                                 [&](const Submit &s) { return s.seqnum == reply->seqnum; });
                if (submit == open_.end()) {
                    broken_ = true;
                    return;
                }
                const auto length = usbip::retSubmitDataLength(*reply, submit->direction, submit->length);
                if (!length) {
                    broken_ = true;
                    return;
                }
                if (rest.size() < usbip::kUrbHeaderSize + *length) return;
                consumed_ += usbip::kUrbHeaderSize + *length;
                open_.erase(submit);
            } else if (const auto *unlinked = std::get_if<usbip::RetUnlink>(&*header)) {
                consumed_ += usbip::kUrbHeaderSize;
                for (const auto &[unlinkSeqnum, submitSeqnum] : unlinks_) {
                    if (unlinkSeqnum != unlinked->seqnum) continue;
                    std::erase_if(open_, [&](const Submit &s) { return s.seqnum == submitSeqnum; });
                }
            } else {
                broken_ = true;
            }
        }
    }

private:
    std::vector<Submit> open_;
    std::vector<std::pair<uint32_t, uint32_t>> unlinks_;  // unlink seqnum, submit seqnum
    std::vector<uint8_t> stream_;
    size_t consumed_ = 0;
    bool broken_ = false;
};

// The USB/IP server of one input, on a thread of its own.
class Peer {
public:
    Peer(Bytes input, Listener &listener)
        : chunks_(input), listener_(listener), wake_(::eventfd(0, EFD_CLOEXEC)), thread_([this] { serve(); }) {}
    ~Peer() {
        const uint64_t one = 1;
        (void)!::write(wake_, &one, sizeof one);
        thread_.join();
        ::close(wake_);
    }
    uint16_t port() const { return socket_.port(); }
    bool finished() const { return finished_; }  // under the listener's mutex

private:
    void serve() {
        serveConnections();
        std::lock_guard lock(listener_.mutex());
        finished_ = true;
        listener_.notify();
    }

    bool readRequest(int fd, size_t size) {
        std::vector<uint8_t> request(size);
        return usbip_socket::readExact(fd, request, std::nullopt, wake_);
    }

    // Reads one URB message of the bus (with the data of an OUT submit).
    std::optional<usbip::UrbHeader> readMessage(int fd) {
        std::array<uint8_t, usbip::kUrbHeaderSize> header;
        if (!usbip_socket::readExact(fd, header, std::nullopt, wake_)) return std::nullopt;
        auto message = usbip::decodeUrbHeader(header);
        FUZZ_CHECK(message.ok());  // the bus sends only what the codec accepts
        if (const auto *submit = std::get_if<usbip::CmdSubmit>(&*message)) {
            std::vector<uint8_t> data(usbip::submitDataLength(*submit));
            if (!usbip_socket::readExact(fd, data, std::nullopt, wake_)) return std::nullopt;
        }
        return *message;
    }

    void serveConnections() {
        // The device list: one connection, closed after the answer.
        const Bytes list = chunks_.next().value_or(Bytes{});
        int fd = socket_.accept(wake_);
        if (fd < 0) return;
        const bool asked = readRequest(fd, usbip::kDevlistRequestSize);
        if (asked) (void)usbip::writeAll(fd, list);
        ::close(fd);
        if (!asked) return;

        // The bus imports the first projector of the list first.
        const auto reply = usbip::decodeDevlistReply(list);
        if (!reply || reply->status != usbip::kOpStatusOk) return;
        const auto wanted = std::find_if(reply->devices.begin(), reply->devices.end(), [](const auto &listed) {
            return projector(listed.device.idVendor, listed.device.idProduct);
        });
        if (wanted == reply->devices.end()) return;

        const Bytes answer = chunks_.next().value_or(Bytes{});
        fd = socket_.accept(wake_);
        if (fd < 0) return;
        if (readRequest(fd, usbip::kImportRequestSize)) serveImport(fd, answer, wanted->device.busId);
        ::close(fd);
    }

    void serveImport(int fd, Bytes answer, const std::string &busId) {
        const auto imported = usbip::decodeImportReply(answer);
        if (imported && imported->device) listener_.importing(imported->device->idVendor, imported->device->idProduct);
        if (!usbip::writeAll(fd, answer)) return;
        // An answer the bus refuses (or still waits to complete) ends here.
        if (!imported || !imported->device || imported->device->busId != busId) return;
        // Bytes after the import reply are the start of the URB stream.
        ReaderModel bus;
        bus.received(answer.subspan(usbip::kImportReplySize));
        for (;;) {
            if (bus.broken()) break;
            if (!bus.waiting()) {
                const auto message = readMessage(fd);
                if (!message) return;  // the bus closed the connection
                bus.asked(*message);
                if (!bus.waiting()) continue;  // an unlink of something already answered
            }
            const auto chunk = chunks_.next();
            if (!chunk) break;
            if (chunk->empty()) {
                // Silence: the bus's next message is the unlink of what it waits for.
                const auto message = readMessage(fd);
                if (!message) return;
                bus.asked(*message);
                continue;
            }
            if (!usbip::writeAll(fd, *chunk)) return;
            bus.received(*chunk);
        }
        ::shutdown(fd, SHUT_RDWR);
    }

    fuzz::Chunks chunks_;
    Listener &listener_;
    fuzz::LoopbackListener socket_;
    const int wake_;
    bool finished_ = false;
    std::thread thread_;
};

// The exchanges of the transport on an open device: a frame out, a reply in.
void exchange(Bus &bus, uint64_t key) {
    const uint32_t opened = bus.open(key);
    FUZZ_CHECK(oneOf(opened, {kStatusOk, kStatusDeviceNotFound}));
    if (opened != kStatusOk) return;
    const uint32_t selected = bus.setInterface(key, 0, 0);
    FUZZ_CHECK(
        oneOf(selected, {kStatusOk, kStatusDeviceNotFound, kStatusStall, kStatusTimeout, kStatusTransferFailed}));
    const std::array<uint8_t, 9> statusRead = {0x04, 0x01, 0x00, 0x03, 0x00, 0x34, 0x01, 0x01, 0x3A};
    for (size_t i = 0; i < kExchanges; ++i) {
        for (const bool in : {false, true}) {
            // Exactly as long as the transfer asks: a write past it is an ASan error.
            std::vector<uint8_t> buffer(in ? 255 : statusRead.size());
            if (!in) std::copy(statusRead.begin(), statusRead.end(), buffer.begin());
            TransferRequest request;
            request.pipe = in ? 0x81 : 0x01;
            request.in = in;
            request.buffer = buffer.data();
            request.length = static_cast<uint32_t>(buffer.size());
            request.timeoutMs = static_cast<uint32_t>(kSilenceTimeout.count());
            uint32_t transferred = 0xEEEEEEEE;
            const uint32_t status = bus.transfer(key, request, transferred);
            FUZZ_CHECK(transferred <= request.length);
            FUZZ_CHECK(
                oneOf(status, {kStatusOk, kStatusTimeout, kStatusDeviceNotFound, kStatusStall, kStatusTransferFailed}));
            if (status == kStatusDeviceNotFound) return;
            if (status != kStatusOk) {
                for (const uint32_t pipe : {0x01u, 0x81u}) {
                    const uint32_t reset = bus.resetPipe(key, pipe);
                    FUZZ_CHECK(oneOf(reset, {kStatusOk, kStatusDeviceNotFound, kStatusStall, kStatusTimeout,
                                             kStatusTransferFailed}));
                }
            }
        }
    }
    bus.close(key);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const size_t descriptors = fuzz::openDescriptors();
    {
        Listener listener;
        Peer peer(Bytes(data, size), listener);
        UsbipBus::Options options;
        options.host = "127.0.0.1";
        options.port = peer.port();
        options.pollInterval = std::chrono::hours(1);  // one device list per input
        options.controlTimeout = kSilenceTimeout;
        options.unlinkTimeout = kSilenceTimeout;
        options.operationTimeout = kPatience;
        UsbipBus bus(options);
        FUZZ_CHECK(bus.start(listener) == kStatusOk);
        bool describable = false;
        const auto device = listener.arrival([&] { return peer.finished(); }, describable);
        // The driver offers only devices it can describe.
        if (device && describable) exchange(bus, device->key);
        bus.stop();
        listener.stopped();
    }
    FUZZ_CHECK(fuzz::openDescriptors() == descriptors);
    return 0;
}
