// SPDX-License-Identifier: MIT
#include "usbip_test_client.h"

#include <algorithm>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "usb_standard/usb_standard.h"

namespace projector_emulator::test {
namespace {

// Only a safety net against a hung server; no test waits this long on success.
constexpr int kSafetyTimeoutSeconds = 10;

int connectTo(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    timeval timeout{kSafetyTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

Bytes makeFrame(uint8_t kind, uint8_t operation, const Bytes &parameters) {
    const size_t length = parameters.size() + 8;
    const size_t body = length - 6;
    Bytes frame(length, 0);
    frame[0] = kind;
    frame[3] = static_cast<uint8_t>(body);
    frame[4] = static_cast<uint8_t>(body >> 8);
    frame[5] = 0x34;
    frame[6] = operation;
    std::copy(parameters.begin(), parameters.end(), frame.begin() + 7);
    uint8_t sum = 0;
    for (size_t i = 1; i + 1 < length; ++i) sum = static_cast<uint8_t>(sum + frame[i]);
    frame[length - 1] = sum;
    return frame;
}

Bytes stamped(Bytes frame, uint8_t sequence) {
    frame[1] = sequence;
    frame.back() = static_cast<uint8_t>(frame.back() + sequence);
    return frame;
}

Bytes statusReadFrame() { return makeFrame(0x04, 0x01, {0x01}); }
Bytes programmingModeFrame(uint8_t mode) { return makeFrame(0x02, 0x30, {mode}); }
Bytes flashAddressFrame(uint32_t address) {
    return makeFrame(
        0x02, 0x29,
        {static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address >> 16)});
}
Bytes flashSizeFrame(uint32_t size) {
    return makeFrame(0x02, 0x2C,
                     {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size >> 16)});
}
Bytes eraseFrame() { return makeFrame(0x02, 0x28, {}); }
Bytes downloadFrame(const Bytes &data) { return makeFrame(0x02, 0x25, data); }
Bytes calculateChecksumFrame() { return makeFrame(0x02, 0x26, {}); }
Bytes flashInformationFrame(uint8_t selector) { return makeFrame(0x04, 0x00, {0x0A, 0x00, 0x00, selector}); }

UsbipTestClient::UsbipTestClient(uint16_t port) : fd_(connectTo(port)) {}

UsbipTestClient::~UsbipTestClient() {
    if (fd_ >= 0) ::close(fd_);
}

bool UsbipTestClient::read(std::span<uint8_t> buffer) {
    size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t got = ::recv(fd_, buffer.data() + done, buffer.size() - done, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) timedOut_ = true;
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

bool UsbipTestClient::sendRaw(const Bytes &bytes) {
    return fd_ >= 0 && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

std::optional<usbip::DevlistReply> UsbipTestClient::list(uint16_t port) {
    UsbipTestClient client(port);
    Bytes request;
    usbip::appendDevlistRequest(request);
    if (!client.sendRaw(request)) return std::nullopt;
    // The server closes the connection after the reply: read to the end.
    Bytes reply;
    uint8_t chunk[4096];
    for (;;) {
        const ssize_t got = ::recv(client.fd_, chunk, sizeof chunk, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        reply.insert(reply.end(), chunk, chunk + got);
    }
    auto decoded = usbip::decodeDevlistReply(reply);
    if (!decoded || decoded.size() != reply.size()) return std::nullopt;
    return std::move(decoded).value();
}

std::optional<usbip::ImportReply> UsbipTestClient::import(const std::string &busId) {
    Bytes request;
    usbip::appendImportRequest(request, {busId});
    if (!sendRaw(request)) return std::nullopt;
    Bytes reply(usbip::kOpHeaderSize);
    if (!read(reply)) return std::nullopt;
    auto header = usbip::decodeOpHeader(reply);
    if (!header) return std::nullopt;
    if (header->status == usbip::kOpStatusOk) {
        reply.resize(usbip::kImportReplySize);
        if (!read(std::span(reply).subspan(usbip::kOpHeaderSize))) return std::nullopt;
    }
    auto decoded = usbip::decodeImportReply(reply);
    if (!decoded) return std::nullopt;
    if (decoded->device) devid_ = usbip::makeDevid(decoded->device->busnum, decoded->device->devnum);
    return std::move(decoded).value();
}

uint32_t UsbipTestClient::submit(usbip::Direction direction, uint32_t endpoint, uint32_t length, const Bytes &data,
                                 const usbip::SetupPacket &setup) {
    usbip::CmdSubmit submit;
    submit.seqnum = nextSeqnum_++;
    submit.devid = devid_;
    submit.direction = direction;
    submit.endpoint = endpoint;
    submit.transferBufferLength = length;
    if (endpoint == 0) submit.setup = usbip::makeSetup(setup);
    Bytes message;
    usbip::appendCmdSubmit(message, submit, data);
    submitted_[submit.seqnum] = {direction, direction == usbip::Direction::Out ? uint32_t(data.size()) : length};
    sendRaw(message);
    return submit.seqnum;
}

uint32_t UsbipTestClient::submitOut(uint32_t endpoint, const Bytes &data, const usbip::SetupPacket &setup) {
    return submit(usbip::Direction::Out, endpoint, static_cast<uint32_t>(data.size()), data, setup);
}

uint32_t UsbipTestClient::submitIn(uint32_t endpoint, uint32_t length, const usbip::SetupPacket &setup) {
    return submit(usbip::Direction::In, endpoint, length, {}, setup);
}

uint32_t UsbipTestClient::unlink(uint32_t seqnum) {
    usbip::CmdUnlink unlink{nextSeqnum_++, devid_, seqnum};
    Bytes message;
    usbip::appendCmdUnlink(message, unlink);
    sendRaw(message);
    return unlink.seqnum;
}

std::optional<UsbipTestClient::Reply> UsbipTestClient::receive() {
    Bytes header(usbip::kUrbHeaderSize);
    if (!read(header)) return std::nullopt;
    auto decoded = usbip::decodeUrbHeader(header);
    if (!decoded) return std::nullopt;
    Reply reply;
    if (const auto *ret = std::get_if<usbip::RetSubmit>(&decoded.value())) {
        auto found = submitted_.find(ret->seqnum);
        if (found == submitted_.end()) return std::nullopt;
        auto length = usbip::retSubmitDataLength(*ret, found->second.direction, found->second.length);
        if (!length) return std::nullopt;
        submitted_.erase(found);
        reply.command = usbip::kRetSubmit;
        reply.seqnum = ret->seqnum;
        reply.status = ret->status;
        reply.actualLength = ret->actualLength;
        reply.data.resize(*length);
        if (!read(reply.data)) return std::nullopt;
    } else if (const auto *ret = std::get_if<usbip::RetUnlink>(&decoded.value())) {
        reply.command = usbip::kRetUnlink;
        reply.seqnum = ret->seqnum;
        reply.status = ret->status;
    } else {
        return std::nullopt;
    }
    return reply;
}

bool UsbipTestClient::waitForClose() {
    uint8_t chunk[512];
    for (;;) {
        const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
        if (got > 0) continue;
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) timedOut_ = true;
        return got == 0 || (got < 0 && errno == ECONNRESET);
    }
}

std::optional<UsbipTestClient::Reply> UsbipTestClient::control(const usbip::SetupPacket &setup, const Bytes &out) {
    const bool in = (setup.bmRequestType & usb_standard::DIR_IN) != 0;
    const uint32_t seqnum = in ? submitIn(0, setup.wLength, setup) : submitOut(0, out, setup);
    auto reply = receive();
    if (!reply || reply->seqnum != seqnum) return std::nullopt;
    return reply;
}

std::optional<Bytes> UsbipTestClient::exchange(const Bytes &frame, uint32_t replyCapacity) {
    const uint32_t out = submitOut(1, frame);
    auto written = receive();
    if (!written || written->seqnum != out || written->status != 0) return std::nullopt;
    const uint32_t in = submitIn(1, replyCapacity);
    auto reply = receive();
    if (!reply || reply->seqnum != in || reply->status != 0) return std::nullopt;
    return reply->data;
}

}  // namespace projector_emulator::test
