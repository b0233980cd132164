// SPDX-License-Identifier: MIT
#include "usb_recording/usbmon.h"

#include <cstring>

namespace usb_recording::usbmon {
namespace {

// Offsets in the header (struct usbmon_packet of the Linux kernel's
// Documentation/usb/usbmon.rst, with the mmap interface's last four fields).
constexpr size_t kId = 0;
constexpr size_t kType = 8;
constexpr size_t kXferType = 9;
constexpr size_t kEndpoint = 10;
constexpr size_t kDevice = 11;
constexpr size_t kBus = 12;
constexpr size_t kSetupFlag = 14;
constexpr size_t kDataFlag = 15;
constexpr size_t kSeconds = 16;
constexpr size_t kMicroseconds = 24;
constexpr size_t kStatus = 28;
constexpr size_t kLength = 32;
constexpr size_t kDataLength = 36;
constexpr size_t kSetup = 40;
constexpr size_t kFlags = 56;

template <typename T>
void put(std::array<uint8_t, kHeaderSize> &out, size_t at, T value) {
    for (size_t i = 0; i < sizeof(T); ++i) out[at + i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
}

template <typename T>
T get(std::span<const uint8_t> in, size_t at) {
    uint64_t value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<uint64_t>(in[at + i]) << (8 * i);
    return static_cast<T>(value);
}

}  // namespace

std::array<uint8_t, kHeaderSize> encode(const Header &header) {
    std::array<uint8_t, kHeaderSize> out{};
    put<uint64_t>(out, kId, header.urbId);
    out[kType] = static_cast<uint8_t>(header.event);
    out[kXferType] = header.transferType;
    out[kEndpoint] = header.endpoint;
    out[kDevice] = header.device;
    put<uint16_t>(out, kBus, header.bus);
    out[kSetupFlag] = header.setupPresent ? 0 : '-';
    out[kDataFlag] = header.dataLength ? 0 : header.event == kSubmit ? '<' : '>';
    put<int64_t>(out, kSeconds, header.seconds);
    put<int32_t>(out, kMicroseconds, header.microseconds);
    put<int32_t>(out, kStatus, header.status);
    put<uint32_t>(out, kLength, header.urbLength);
    put<uint32_t>(out, kDataLength, header.dataLength);
    std::memcpy(out.data() + kSetup, header.setup.data(), header.setup.size());
    put<uint32_t>(out, kFlags, header.transferFlags);
    // Interval, start frame and the number of isochronous descriptors stay 0.
    return out;
}

std::optional<Header> decode(std::span<const uint8_t> packet) {
    if (packet.size() < kHeaderSize) return std::nullopt;
    Header header;
    header.urbId = get<uint64_t>(packet, kId);
    header.event = static_cast<char>(packet[kType]);
    if (header.event != kSubmit && header.event != kComplete && header.event != 'E') return std::nullopt;
    header.transferType = packet[kXferType];
    header.endpoint = packet[kEndpoint];
    header.device = packet[kDevice];
    header.bus = get<uint16_t>(packet, kBus);
    header.setupPresent = packet[kSetupFlag] == 0;
    header.seconds = get<int64_t>(packet, kSeconds);
    header.microseconds = get<int32_t>(packet, kMicroseconds);
    header.status = get<int32_t>(packet, kStatus);
    header.urbLength = get<uint32_t>(packet, kLength);
    header.dataLength = get<uint32_t>(packet, kDataLength);
    std::memcpy(header.setup.data(), packet.data() + kSetup, header.setup.size());
    header.transferFlags = get<uint32_t>(packet, kFlags);
    if (header.dataLength > packet.size() - kHeaderSize) return std::nullopt;
    return header;
}

}  // namespace usb_recording::usbmon
