// SPDX-License-Identifier: MIT
#include "imported_device.h"

#include <algorithm>
#include <cstring>
#include <variant>

#include "usb_driver/driver_status.h"

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

// The reader thread's mark in readerRole.
constexpr char kReaderThread = 0;

constexpr int32_t kNoDevice = -19;  // ENODEV

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

// While a caller waits for a reply it reads the socket itself (collect), so
// the reader thread reads only what arrives while no transfer is in flight, a
// departure above all.
std::string ImportedDevice::readUntilEnded() {
    std::unique_lock lock(mutex);
    while (!dead) {
        if (readerRole || !pending.empty()) {
            quiet.wait_for(lock, kQuietSpell);
            continue;
        }
        const auto quietUntil = idleSince + kQuietSpell;
        if (!dropped && Clock::now() < quietUntil) {
            quiet.wait_until(lock, quietUntil);
            continue;
        }
        wake.clear();
        readerRole = &kReaderThread;
        readerThreadAsked = false;
        lock.unlock();
        (void)readStep(std::nullopt, wake.handle());
        lock.lock();
        // Given to the caller that asked for it, or taken again.
        readerRole = nullptr;
        changed.notify_all();
    }
    std::string ended = violation;
    lock.unlock();
    drop();
    return ended;
}

ImportedDevice::Step ImportedDevice::readStep(const usbip_socket::Deadline &deadline, usbip::SocketHandle wakeHandle) {
    using usbip_socket::Received;
    Incoming &in = incoming;
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
                usbip_socket::receive(fd, std::span(in.bytes).subspan(in.end), got, deadline, wakeHandle);
            if (received != Received::Bytes) return received;
            in.end += got;
        }
        return Received::Bytes;
    };
    auto consume = [&](size_t count) {
        in.begin += count;
        if (in.begin == in.end) in.begin = in.end = 0;
    };

    std::string broken;
    Received received = Received::Bytes;
    if (!in.reply) {
        received = need(usbip::kUrbHeaderSize);
        if (received == Received::Waiting) return Step::Waiting;
        if (received == Received::Bytes) {
            auto message = usbip::decodeUrbHeader(std::span(in.bytes).subspan(in.begin, usbip::kUrbHeaderSize));
            consume(usbip::kUrbHeaderSize);
            if (!message) {
                broken =
                    std::string("it sent a message that is not USB/IP (") + usbip::errorText(message.error()) + ")";
            } else if (const auto *reply = std::get_if<usbip::RetSubmit>(&*message)) {
                Direction direction = Direction::Out;
                uint32_t asked = 0;
                bool known;
                {
                    std::lock_guard lock(mutex);
                    const Pending *transfer = findPending(reply->seqnum);
                    known = transfer != nullptr;
                    if (transfer) {
                        direction = transfer->direction;
                        asked = transfer->length;
                    }
                }
                const auto length = usbip::retSubmitDataLength(*reply, direction, asked);
                if (!known) {
                    broken = "it answered a request never sent (seqnum " + std::to_string(reply->seqnum) + ")";
                } else if (!length) {
                    broken = "it sent more data than was asked for";
                } else {
                    in.reply = *reply;
                    in.direction = direction;
                    in.dataLength = *length;
                }
            } else if (const auto *unlinked = std::get_if<usbip::RetUnlink>(&*message)) {
                std::lock_guard lock(mutex);
                for (const auto &[unlinkSeqnum, submitSeqnum] : unlinks) {
                    if (unlinkSeqnum != unlinked->seqnum) continue;
                    if (Pending *transfer = findPending(submitSeqnum)) transfer->unlinked = true;
                    changed.notify_all();
                }
                // An answer to no unlink of ours carries no data: harmless.
                return Step::Message;
            } else {
                broken = "it sent a command instead of a reply";
            }
        }
    }
    if (received == Received::Bytes && broken.empty()) {
        received = need(in.dataLength);
        if (received == Received::Waiting) return Step::Waiting;
        if (received == Received::Bytes) {
            const usbip::RetSubmit reply = *in.reply;
            const uint32_t length = in.dataLength;
            in.reply.reset();
            std::lock_guard lock(mutex);
            // Given up meanwhile, the connection is going: otherwise delivered.
            if (Pending *transfer = findPending(reply.seqnum)) {
                if (length) std::memcpy(transfer->buffer, in.bytes.data() + in.begin, length);
                consume(length);
                transfer->actual = in.direction == Direction::In ? length : reply.actualLength;
                transfer->status = reply.status;
                transfer->complete = true;
                changed.notify_all();
                return Step::Message;
            }
        }
    }
    // The connection has ended, or broke the protocol.
    {
        std::lock_guard lock(mutex);
        if (violation.empty()) violation = broken;
        dead = true;
        changed.notify_all();
    }
    drop();  // wakes the reader thread, which reports it
    return Step::Ended;
}

template <typename Done>
bool ImportedDevice::collect(std::unique_lock<std::mutex> &lock, const void *self,
                             const usbip_socket::Deadline &deadline, Done done) {
    while (!done()) {
        if (!readerRole) readerRole = self;
        if (readerRole == self) {
            lock.unlock();
            const Step step = readStep(deadline, usbip::kNoSocket);
            lock.lock();
            if (step == Step::Waiting) return done();  // the deadline has passed
            continue;
        }
        // The reader thread gives the socket up when asked; another caller
        // gives it up once its own transfer has finished.
        if (readerRole == &kReaderThread && !readerThreadAsked && wake.valid()) {
            wake.raise();
            readerThreadAsked = true;
        }
        if (!deadline)
            changed.wait(lock);
        else if (changed.wait_until(lock, *deadline) == std::cv_status::timeout)
            return done();
    }
    return true;
}

uint32_t ImportedDevice::submit(Direction direction, uint32_t endpoint, const std::array<uint8_t, 8> &setup,
                                uint8_t *buffer, uint32_t length, milliseconds timeout, uint32_t &transferred) {
    transferred = 0;
    Pending transfer;
    transfer.direction = direction;
    transfer.buffer = buffer;
    transfer.length = length;
    usbip::CmdSubmit command;
    {
        std::lock_guard lock(mutex);
        if (dead) return kStatusDeviceNotFound;
        command.seqnum = nextSeqnum++;
        pending.emplace_back(command.seqnum, &transfer);
        // The only transfer in flight reads its own reply: the socket is
        // taken before the submit goes out.
        if (!readerRole) readerRole = &transfer;
    }
    command.devid = devid;
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
        std::lock_guard lock(writeMutex);
        written = usbip::writeAll(fd, message);
    }

    bool cancelled = false, abandon = !written;
    std::unique_lock lock(mutex);
    auto finished = [&] { return transfer.complete || dead; };
    const usbip_socket::Deadline deadline =
        timeout.count() == 0 ? usbip_socket::Deadline() : usbip_socket::Deadline(Clock::now() + timeout);
    if (!written) {
        // The connection is broken; the reader thread reports the departure.
    } else if (!collect(lock, &transfer, deadline, finished)) {
        cancelled = true;
        const uint32_t unlinkSeqnum = nextSeqnum++;
        unlinks.emplace_back(unlinkSeqnum, command.seqnum);
        transfer.unlinkSeqnum = unlinkSeqnum;
        lock.unlock();
        message.clear();
        usbip::appendCmdUnlink(message, usbip::CmdUnlink{unlinkSeqnum, devid, command.seqnum});
        {
            std::lock_guard writeLock(writeMutex);
            written = usbip::writeAll(fd, message);
        }
        lock.lock();
        // The completion may have raced the unlink: then it counts.
        abandon = !written || !collect(lock, &transfer, Clock::now() + unlinkTimeout_,
                                       [&] { return transfer.complete || transfer.unlinked || dead; });
    }
    remove(pending, command.seqnum);
    if (transfer.unlinkSeqnum) remove(unlinks, transfer.unlinkSeqnum);
    if (readerRole == &transfer) {
        readerRole = nullptr;
        idleSince = Clock::now();
        // Another transfer in flight reads on.
        if (!pending.empty()) changed.notify_all();
    }
    lock.unlock();
    // A server that answers neither the submit nor its unlink cannot be
    // trusted with the next transfer.
    if (abandon) drop();

    if (transfer.complete) {
        transferred = std::min(transfer.actual, length);
        return statusOf(transfer.status, cancelled);
    }
    if (cancelled) return kStatusTimeout;
    return kStatusDeviceNotFound;
}

uint32_t ImportedDevice::control(const std::array<uint8_t, 8> &setup, uint8_t *buffer, uint32_t &transferred) {
    const uint32_t length = static_cast<uint32_t>(setup[6] | setup[7] << 8);
    const Direction direction = (setup[0] & 0x80) ? Direction::In : Direction::Out;
    return submit(direction, 0, setup, buffer, length, controlTimeout_, transferred);
}

}  // namespace usb_driver
