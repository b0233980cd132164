// SPDX-License-Identifier: MIT
// A small USB/IP client for the server's tests, built on the codec. Blocking,
// one connection, with a safety time-out on every read so that a server that
// never answers fails a test instead of hanging it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "usbip/protocol.h"

namespace projector_emulator::test {

using Bytes = std::vector<uint8_t>;

// A command frame: kind, zero sequence, body length, class 0x34, operation,
// parameters, checksum over bytes 1..n-2.
Bytes makeFrame(uint8_t kind, uint8_t operation, const Bytes &parameters);
// Writes sequence number `sequence` into byte 1 and adds it to the checksum.
Bytes stamped(Bytes frame, uint8_t sequence);

Bytes statusReadFrame();
Bytes programmingModeFrame(uint8_t mode);
Bytes flashAddressFrame(uint32_t address);
Bytes flashSizeFrame(uint32_t size);
Bytes eraseFrame();
Bytes downloadFrame(const Bytes &data);
Bytes calculateChecksumFrame();
Bytes flashInformationFrame(uint8_t selector);

class UsbipTestClient {
public:
    explicit UsbipTestClient(uint16_t port);
    ~UsbipTestClient();
    UsbipTestClient(const UsbipTestClient &) = delete;
    UsbipTestClient &operator=(const UsbipTestClient &) = delete;

    bool connected() const { return fd_ >= 0; }

    // One device-list exchange on a connection of its own.
    static std::optional<usbip::DevlistReply> list(uint16_t port);

    // Import on this connection; remembers the devid on success. Nothing
    // when the reply is missing or malformed.
    std::optional<usbip::ImportReply> import(const std::string &busId = "1-1");
    uint32_t devid() const { return devid_; }
    void setDevid(uint32_t devid) { devid_ = devid; }

    // Send a message; return the seqnum used.
    uint32_t submitOut(uint32_t endpoint, const Bytes &data, const usbip::SetupPacket &setup = {});
    uint32_t submitIn(uint32_t endpoint, uint32_t length, const usbip::SetupPacket &setup = {});
    uint32_t unlink(uint32_t seqnum);
    bool sendRaw(const Bytes &bytes);

    struct Reply {
        uint32_t command = 0;  // usbip::kRetSubmit or usbip::kRetUnlink
        uint32_t seqnum = 0;
        int32_t status = 0;
        uint32_t actualLength = 0;
        Bytes data;
    };
    // The next reply; nothing when the server closed the connection, the
    // safety time-out ran out (timedOut() tells), or the reply was malformed.
    std::optional<Reply> receive();
    bool timedOut() const { return timedOut_; }

    // True when the server closes the connection; replies still in flight
    // before the close are skipped.
    bool waitForClose();

    // Control transfer on endpoint 0, waited for.
    std::optional<Reply> control(const usbip::SetupPacket &setup, const Bytes &out = {});
    // One command frame out on 0x01 and its reply in on 0x81; the reply's
    // bytes, or nothing when a transfer failed or the connection closed.
    std::optional<Bytes> exchange(const Bytes &frame, uint32_t replyCapacity = 255);

private:
    uint32_t submit(usbip::Direction direction, uint32_t endpoint, uint32_t length, const Bytes &data,
                    const usbip::SetupPacket &setup);
    bool read(std::span<uint8_t> buffer);

    int fd_ = -1;
    uint32_t devid_ = 0;
    uint32_t nextSeqnum_ = 1;
    bool timedOut_ = false;
    struct Submitted {
        usbip::Direction direction;
        uint32_t length;
    };
    std::map<uint32_t, Submitted> submitted_;
};

}  // namespace projector_emulator::test
