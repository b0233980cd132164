// SPDX-License-Identifier: MIT
// One USB event as Linux's usbmon reports it to a capture: the 64-byte header
// of LINKTYPE_USB_LINUX_MMAPPED (link type 220), followed by the data
// captured. Wireshark and tshark dissect it as USB on every platform.
//
// A transfer is two events with the same URB id: its submission ('S': the
// setup packet of a control transfer, the data of an OUT transfer) and its
// completion ('C': the status, the length transferred, the data of an IN
// transfer). Fields are little-endian here, as on every machine a recording
// is made on.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace usb_recording::usbmon {

inline constexpr uint16_t kLinkType = 220;  // LINKTYPE_USB_LINUX_MMAPPED
inline constexpr size_t kHeaderSize = 64;

inline constexpr char kSubmit = 'S';
inline constexpr char kComplete = 'C';

inline constexpr uint8_t kControl = 2;
inline constexpr uint8_t kBulk = 3;

inline constexpr uint8_t kDirectionIn = 0x80;  // in the endpoint address

// URB statuses: 0, or a negative Linux errno value.
inline constexpr int32_t kInProgress = -115;    // EINPROGRESS: every submission
inline constexpr int32_t kTimedOut = -110;      // ETIMEDOUT: the host gave up waiting
inline constexpr int32_t kNoDevice = -19;       // ENODEV: the device has left
inline constexpr int32_t kStalled = -32;        // EPIPE: the endpoint stalled
inline constexpr int32_t kProtocolError = -71;  // EPROTO: any other failure of the transfer
inline constexpr int32_t kAccessDenied = -13;   // EACCES
inline constexpr int32_t kBusy = -16;           // EBUSY
inline constexpr int32_t kInvalid = -22;        // EINVAL: a request the bus refused as malformed
inline constexpr int32_t kIoError = -5;         // EIO
// More ways a transfer ends without an answer, as usbmon reports them.
inline constexpr int32_t kUnlinked = -104;  // ECONNRESET: cancelled by the host
inline constexpr int32_t kNoEntry = -2;     // ENOENT: cancelled by the host, synchronously
inline constexpr int32_t kShutdown = -108;  // ESHUTDOWN: the device or its host controller went away

// The URB's transfer flag for an IN transfer (URB_DIR_IN).
inline constexpr uint32_t kTransferDirectionIn = 0x200;

struct Header {
    uint64_t urbId = 0;
    char event = kSubmit;
    uint8_t transferType = kBulk;
    uint8_t endpoint = 0;  // address, kDirectionIn set for IN
    uint8_t device = 0;    // the device's number on its bus, 1..127
    uint16_t bus = 0;
    bool setupPresent = false;  // a control submission carries its setup packet
    int64_t seconds = 0;
    int32_t microseconds = 0;
    int32_t status = 0;
    uint32_t urbLength = 0;   // bytes asked for (or sent)
    uint32_t dataLength = 0;  // bytes of data after the header
    std::array<uint8_t, 8> setup{};
    uint32_t transferFlags = 0;

    bool in() const { return (endpoint & kDirectionIn) != 0; }
};

// The 64 header bytes of `header`. The data flag says whether data follows
// ('<' an IN submission or '>' an OUT completion when none does, as usbmon
// writes them).
std::array<uint8_t, kHeaderSize> encode(const Header &header);

// The header at the start of `packet`; nothing when it is shorter than a
// header, names an unknown event, or announces more data than follows.
std::optional<Header> decode(std::span<const uint8_t> packet);

}  // namespace usb_recording::usbmon
