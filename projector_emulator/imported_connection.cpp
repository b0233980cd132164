// SPDX-License-Identifier: MIT
#include "imported_connection.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>

#include "endpoint_zero.h"
#include "socket_io.h"
#include "projector_emulator/device.h"
#include "usbip/stream_socket.h"

namespace projector_emulator {
namespace {

// How long a helper thread sleeps on the device before it looks whether the
// connection is closing. The device itself wakes it at once for replies and
// bus changes; this only bounds how long closing takes.
constexpr auto kWaitSlice = std::chrono::milliseconds(50);

// A client with more IN transfers outstanding than this is misbehaving.
constexpr size_t kMaxPendingIn = 64;

Clock::TimePoint sliceEnd() { return std::chrono::steady_clock::now() + kWaitSlice; }

}  // namespace

ImportedConnection::ImportedConnection(EmulatedDevice &device, usbip::SocketHandle fd, const Presence &presence,
                                       uint32_t devid, std::function<void()> onClosing)
    : device_(device), fd_(fd), presence_(presence), devid_(devid), onClosing_(std::move(onClosing)) {}

std::string ImportedConnection::run() {
    std::thread completion([this] { completeInTransfers(); });
    std::thread watcher([this] { watchPresence(); });
    close(readLoop());
    completion.join();
    watcher.join();
    std::lock_guard lock(mutex_);
    return reason_;
}

void ImportedConnection::close(const std::string &reason) {
    std::lock_guard lock(mutex_);
    closeLocked(reason);
}

void ImportedConnection::closeLocked(const std::string &reason) {
    if (!closing_) {
        closing_ = true;
        reason_ = reason;
        if (onClosing_) onClosing_();
        // Wakes the reader; the caller of run() closes the descriptor.
        usbip::shutdownSocket(fd_);
    }
    changed_.notify_all();
}

bool ImportedConnection::sendLocked(std::span<const uint8_t> message) {
    if (closing_) return false;
    if (usbip::writeAll(fd_, message)) return true;
    closeLocked("the client stopped reading");
    return false;
}

// Takes the device's reply for the IN submit `seqnum` and sends it. Gone
// closes the connection.
ImportedConnection::InResult ImportedConnection::answerInLocked(uint32_t seqnum, uint32_t length) {
    inBuffer_.resize(length);
    size_t got = 0;
    const TransferStatus status = device_.bulkIn(presence_.generation, inBuffer_, got);
    if (status == TransferStatus::NoReply) return InResult::NoReply;
    if (status == TransferStatus::Gone) {
        closeLocked("the device left the bus");
        return InResult::Gone;
    }
    usbip::RetSubmit reply;
    reply.seqnum = seqnum;
    message_.clear();
    if (status != TransferStatus::Ok) {
        reply.status = status == TransferStatus::Stall ? usbip::kUrbStall : usbip::kUrbOverflow;
        usbip::appendRetSubmit(message_, reply, usbip::Direction::In);
    } else {
        usbip::appendRetSubmit(message_, reply, usbip::Direction::In, std::span(inBuffer_).first(got));
    }
    // Sent under the lock: a watcher that saw the device leave after this
    // read (a mode switch acknowledged) closes only once it is out.
    sendLocked(message_);
    return InResult::Sent;
}

std::string ImportedConnection::readLoop() {
    // What has arrived and is not handled yet: [begin, end). A submit's
    // header and data, sent together, take one read.
    std::vector<uint8_t> bytes(4096);
    size_t begin = 0, end = 0;
    auto need = [&](size_t count) {
        while (end - begin < count) {
            if (begin + count > bytes.size()) {
                std::memmove(bytes.data(), bytes.data() + begin, end - begin);
                end -= begin;
                begin = 0;
                if (count > bytes.size()) bytes.resize(count);
            }
            const size_t got = socket_io::readAvailable(fd_, std::span(bytes).subspan(end));
            if (got == 0) return false;
            end += got;
        }
        return true;
    };
    for (;;) {
        if (begin == end) begin = end = 0;
        if (!need(usbip::kUrbHeaderSize)) return "closed by the client";
        auto decoded = usbip::decodeUrbHeader(std::span(bytes).subspan(begin, usbip::kUrbHeaderSize));
        begin += usbip::kUrbHeaderSize;
        if (!decoded) return std::string("bad message: ") + usbip::errorText(decoded.error());

        if (const auto *submit = std::get_if<usbip::CmdSubmit>(&decoded.value())) {
            if (submit->devid != devid_) return "submit for another devid";
            const size_t length = usbip::submitDataLength(*submit);
            if (!need(length)) return "closed by the client in a message";
            const std::span<const uint8_t> data(bytes.data() + begin, length);
            begin += length;
            std::string error = handleSubmit(*submit, data);
            if (!error.empty()) return error;
        } else if (const auto *unlink = std::get_if<usbip::CmdUnlink>(&decoded.value())) {
            if (unlink->devid != devid_) return "unlink for another devid";
            handleUnlink(*unlink);
        } else {
            return "bad message: a reply sent by the client";
        }
    }
}

std::string ImportedConnection::handleSubmit(const usbip::CmdSubmit &submit, std::span<const uint8_t> data) {
    usbip::RetSubmit reply;
    reply.seqnum = submit.seqnum;
    const bool in = submit.direction == usbip::Direction::In;

    if (submit.endpoint == 0) {
        ControlResult result = handleControl(usbip::parseSetup(submit.setup), submit.direction,
                                             submit.transferBufferLength, device_, presence_);
        reply.status = result.status;
        if (!in && result.status == usbip::kUrbOk) reply.actualLength = static_cast<uint32_t>(data.size());
        std::lock_guard lock(mutex_);
        message_.clear();
        usbip::appendRetSubmit(message_, reply, submit.direction,
                               result.status == usbip::kUrbOk ? std::span<const uint8_t>(result.data)
                                                              : std::span<const uint8_t>());
        sendLocked(message_);
        return {};
    }

    if (submit.endpoint == (kBulkOutEndpoint & 0x0F) && !in) {
        device_.holdTransferLatency();
        // Under the lock, so that no frame reaches the device once the
        // connection is closing (the device may already serve another one).
        std::lock_guard lock(mutex_);
        if (closing_) return {};
        const TransferStatus status = device_.bulkOut(presence_.generation, data);
        if (status == TransferStatus::Gone) return "the device left the bus";
        if (status == TransferStatus::Stall) reply.status = usbip::kUrbStall;
        if (status == TransferStatus::Overflow) reply.status = usbip::kUrbOverflow;
        if (status == TransferStatus::Ok) reply.actualLength = static_cast<uint32_t>(data.size());
        message_.clear();
        usbip::appendRetSubmit(message_, reply, usbip::Direction::Out);
        sendLocked(message_);
        return {};
    }

    if (submit.endpoint == (kBulkInEndpoint & 0x0F) && in) {
        std::unique_lock lock(mutex_);
        const bool duplicate = std::any_of(pendingIn_.begin(), pendingIn_.end(),
                                           [&](const PendingIn &pending) { return pending.seqnum == submit.seqnum; });
        if (duplicate) return "a second submit with a pending seqnum";
        if (pendingIn_.size() >= kMaxPendingIn) return "too many pending IN transfers";
        // The usual case, a read right after its command: the reply is already
        // there, and answering here spares two thread hand-offs. Only this
        // thread adds submits, so none can overtake it meanwhile.
        if (pendingIn_.empty() && device_.waitForReply(presence_.generation, std::chrono::steady_clock::now())) {
            lock.unlock();
            device_.holdTransferLatency();
            lock.lock();
            if (closing_) return {};
            if (answerInLocked(submit.seqnum, submit.transferBufferLength) != InResult::NoReply) return {};
        }
        pendingIn_.push_back({submit.seqnum, submit.transferBufferLength});
        changed_.notify_all();
        return {};
    }

    // An endpoint the device does not have: what a local submit would get.
    reply.status = usbip::kUrbNoEntry;
    std::lock_guard lock(mutex_);
    message_.clear();
    usbip::appendRetSubmit(message_, reply, submit.direction);
    sendLocked(message_);
    return {};
}

void ImportedConnection::handleUnlink(const usbip::CmdUnlink &unlink) {
    std::lock_guard lock(mutex_);
    auto found = std::find_if(pendingIn_.begin(), pendingIn_.end(),
                              [&](const PendingIn &pending) { return pending.seqnum == unlink.unlinkSeqnum; });
    usbip::RetUnlink reply;
    reply.seqnum = unlink.seqnum;
    if (found != pendingIn_.end()) {
        pendingIn_.erase(found);
        reply.status = usbip::kUrbUnlinked;
    }
    // Otherwise the submit has completed (its RET_SUBMIT went out before this
    // answer, under the same lock) or never existed: status 0.
    message_.clear();
    usbip::appendRetUnlink(message_, reply);
    sendLocked(message_);
}

void ImportedConnection::completeInTransfers() {
    const uint32_t generation = presence_.generation;
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return closing_ || !pendingIn_.empty(); });
        if (closing_) return;
        lock.unlock();
        const bool ready = device_.waitForReply(generation, sliceEnd());
        if (!ready) {
            const Presence now = device_.presence();
            lock.lock();
            if (!now.onBus || now.generation != generation) {
                closeLocked("the device left the bus");
                return;
            }
            continue;
        }
        device_.holdTransferLatency();
        lock.lock();
        if (closing_) return;
        // Unlinked while the reply was coming: it stays in the device for the
        // next IN transfer, as it would on a real bus.
        if (pendingIn_.empty()) continue;

        const PendingIn pending = pendingIn_.front();
        const InResult result = answerInLocked(pending.seqnum, pending.length);
        if (result == InResult::Gone) return;
        if (result == InResult::Sent) pendingIn_.pop_front();
    }
}

void ImportedConnection::watchPresence() {
    std::unique_lock lock(mutex_);
    while (!closing_) {
        lock.unlock();
        const Presence now = device_.waitForPresenceChange(presence_, sliceEnd());
        lock.lock();
        if (now.onBus != presence_.onBus || now.generation != presence_.generation)
            closeLocked("the device left the bus");
    }
}

}  // namespace projector_emulator
