// SPDX-License-Identifier: MIT
#include "test_support/scripted_usbip_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace test_support {
namespace {

bool readAll(int fd, uint8_t *data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t got = ::recv(fd, data + done, size - done, 0);
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

void send(int fd, const std::vector<uint8_t> &bytes) {
    if (!bytes.empty()) (void)!::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

}  // namespace

ScriptedUsbipServer::ScriptedUsbipServer(Script script) : script_(std::move(script)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        ::listen(listener_, 16) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return;
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { accept(); });
}

ScriptedUsbipServer::~ScriptedUsbipServer() {
    ::shutdown(listener_, SHUT_RDWR);
    if (acceptor_.joinable()) acceptor_.join();
    {
        std::lock_guard lock(mutex);
        for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
    }
    for (auto &thread : threads_) thread.join();
    for (int fd : fds_) ::close(fd);
    if (listener_ >= 0) ::close(listener_);
}

void ScriptedUsbipServer::accept() {
    for (;;) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        std::lock_guard lock(mutex);
        fds_.push_back(fd);
        threads_.emplace_back([this, fd] { serve(fd); });
    }
}

void ScriptedUsbipServer::serve(int fd) {
    uint8_t header[8];
    if (!readAll(fd, header, sizeof header)) return;
    const uint16_t code = static_cast<uint16_t>(header[2] << 8 | header[3]);
    if (code == usbip::kOpReqDevlist) {
        int poll;
        {
            std::lock_guard lock(mutex);
            poll = devlists++;
            changed.notify_all();
        }
        send(fd, script_.devlist(poll));
        ::shutdown(fd, SHUT_WR);
        return;
    }
    uint8_t busId[32];
    if (!readAll(fd, busId, sizeof busId)) return;
    {
        std::lock_guard lock(mutex);
        ++imports;
        changed.notify_all();
    }
    send(fd, script_.importReply);
    for (;;) {
        uint8_t urb[48];
        if (!readAll(fd, urb, sizeof urb)) break;
        auto decoded = usbip::decodeUrbHeader(std::span<const uint8_t>(urb, sizeof urb));
        if (!decoded) break;
        if (auto *submit = std::get_if<usbip::CmdSubmit>(&*decoded)) {
            std::vector<uint8_t> data(usbip::submitDataLength(*submit));
            if (!data.empty() && !readAll(fd, data.data(), data.size())) break;
            {
                std::lock_guard lock(mutex);
                ++submits;
                changed.notify_all();
            }
            std::vector<uint8_t> reply = script_.onSubmit ? script_.onSubmit(*submit) : std::vector<uint8_t>();
            if (reply.empty()) break;
            send(fd, reply);
        }
    }
    ::shutdown(fd, SHUT_RDWR);
    std::lock_guard lock(mutex);
    ++importsEnded;
    changed.notify_all();
}

usbip::DeviceRecord projectorRecord(const std::string &busId) {
    usbip::DeviceRecord record;
    record.path = "/sys/devices/fake";
    record.busId = busId;
    record.busnum = 1;
    record.devnum = 2;
    record.idVendor = 0xE7A2;
    record.idProduct = 0x051E;
    record.bConfigurationValue = 1;
    record.bNumConfigurations = 1;
    return record;
}

std::vector<uint8_t> listing(bool withDevice) {
    usbip::DevlistReply reply;
    if (withDevice) reply.devices.push_back(usbip::ListedDevice{projectorRecord(), {{0xFF, 0, 0}}});
    std::vector<uint8_t> bytes;
    usbip::appendDevlistReply(bytes, reply);
    return bytes;
}

std::vector<uint8_t> importOk(const std::string &busId) {
    usbip::ImportReply reply;
    reply.device = projectorRecord(busId);
    std::vector<uint8_t> bytes;
    usbip::appendImportReply(bytes, reply);
    return bytes;
}

std::vector<uint8_t> refusal(uint16_t code, uint32_t status) {
    std::vector<uint8_t> bytes;
    usbip::appendOpHeader(bytes, code, status);
    return bytes;
}

std::vector<uint8_t> answer(const usbip::CmdSubmit &submit, std::vector<uint8_t> data, int32_t status) {
    usbip::RetSubmit reply;
    reply.seqnum = submit.seqnum;
    reply.status = status;
    std::vector<uint8_t> bytes;
    if (submit.direction == usbip::Direction::In) {
        usbip::appendRetSubmit(bytes, reply, submit.direction, data);
    } else {
        reply.actualLength = submit.transferBufferLength;
        usbip::appendRetSubmit(bytes, reply, submit.direction);
    }
    return bytes;
}

std::vector<uint8_t> descriptors(const usbip::CmdSubmit &submit, const std::vector<uint8_t> &device,
                                 const std::vector<uint8_t> &config) {
    const auto setup = usbip::parseSetup(submit.setup);
    std::vector<uint8_t> data = (setup.wValue >> 8) == 1 ? device : config;
    if (data.size() > setup.wLength) data.resize(setup.wLength);
    return answer(submit, data);
}

}  // namespace test_support
