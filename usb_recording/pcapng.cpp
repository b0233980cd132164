// SPDX-License-Identifier: MIT
#include "usb_recording/pcapng.h"

#include <algorithm>

namespace usb_recording::pcapng {
namespace {

constexpr uint16_t kOptionEnd = 0;
constexpr uint16_t kOptionComment = 1;
constexpr uint16_t kInterfaceName = 2;
constexpr uint16_t kInterfaceDescription = 3;
constexpr uint16_t kInterfaceTimestampResolution = 9;
constexpr uint32_t kByteOrderMagicSwapped = 0x4D3C2B1A;
// Block type, length, and the trailing copy of the length.
constexpr size_t kBlockFraming = 12;
constexpr size_t kSectionHeaderFixed = 16;   // magic, versions, section length
constexpr size_t kInterfaceFixed = 8;        // link type, reserved, snap length
constexpr size_t kEnhancedPacketFixed = 20;  // interface, timestamp, lengths

size_t padded(size_t length) { return (length + 3) & ~size_t{3}; }

void put16(std::vector<uint8_t> &out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}
void put32(std::vector<uint8_t> &out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}
void putBytes(std::vector<uint8_t> &out, std::span<const uint8_t> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
    out.resize(out.size() + padded(bytes.size()) - bytes.size(), 0);
}
std::span<const uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const uint8_t *>(text.data()), text.size()};
}
void putOption(std::vector<uint8_t> &out, uint16_t code, std::span<const uint8_t> value) {
    put16(out, code);
    put16(out, static_cast<uint16_t>(value.size()));
    putBytes(out, value);
}
// Options longer than an option can hold are cut (a comment of 64 KiB is
// far beyond anything a recording writes).
std::string_view fitting(std::string_view text) { return text.substr(0, std::min<size_t>(text.size(), 0xFFFC)); }

// Starts a block: its type and a length filled in by endBlock().
size_t beginBlock(std::vector<uint8_t> &out, uint32_t type) {
    const size_t start = out.size();
    put32(out, type);
    put32(out, 0);
    return start;
}
void endBlock(std::vector<uint8_t> &out, size_t start) {
    const auto length = static_cast<uint32_t>(out.size() - start + 4);
    for (int i = 0; i < 4; ++i) out[start + 4 + i] = static_cast<uint8_t>(length >> (8 * i));
    put32(out, length);
}
void endOptions(std::vector<uint8_t> &out, bool any) {
    if (any) put32(out, 0);  // opt_endofopt
}

uint16_t le16(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}
uint32_t le32(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
           static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

std::string_view textOf(std::span<const uint8_t> value) {
    std::string_view text(reinterpret_cast<const char *>(value.data()), value.size());
    // Some writers end strings with NULs; the format does not.
    while (!text.empty() && text.back() == '\0') text.remove_suffix(1);
    return text;
}

// Walks the options in `options`, calling `take(code, value)` for each until
// opt_endofopt or the end. False when an option runs past the end.
template <typename Take>
bool readOptions(std::span<const uint8_t> options, Take take) {
    size_t at = 0;
    while (at < options.size()) {
        if (options.size() - at < 4) return false;
        const uint16_t code = le16(options, at);
        const uint16_t length = le16(options, at + 2);
        at += 4;
        if (code == kOptionEnd) return true;
        if (padded(length) > options.size() - at) return false;
        take(code, options.subspan(at, length));
        at += padded(length);
    }
    return true;
}

// Microseconds from a timestamp in units of 10^-exponent seconds.
uint64_t microseconds(uint64_t timestamp, uint8_t exponent) {
    uint64_t value = timestamp;
    for (uint8_t e = exponent; e > 6; --e) value /= 10;
    for (uint8_t e = exponent; e < 6; ++e) value *= 10;
    return value;
}

}  // namespace

void appendSectionHeader(std::vector<uint8_t> &out, std::string_view comment) {
    const size_t start = beginBlock(out, kSectionHeaderBlock);
    put32(out, kByteOrderMagic);
    put16(out, 1);           // major version
    put16(out, 0);           // minor version
    put32(out, 0xFFFFFFFF);  // section length: not given (-1)
    put32(out, 0xFFFFFFFF);
    if (!comment.empty()) putOption(out, kOptionComment, bytesOf(fitting(comment)));
    endOptions(out, !comment.empty());
    endBlock(out, start);
}

void appendInterfaceDescription(std::vector<uint8_t> &out, uint16_t linkType, std::string_view name,
                                std::string_view description) {
    const size_t start = beginBlock(out, kInterfaceDescriptionBlock);
    put16(out, linkType);
    put16(out, 0);
    put32(out, 0);  // snap length: no limit
    if (!name.empty()) putOption(out, kInterfaceName, bytesOf(fitting(name)));
    if (!description.empty()) putOption(out, kInterfaceDescription, bytesOf(fitting(description)));
    endOptions(out, !name.empty() || !description.empty());
    endBlock(out, start);
}

void appendEnhancedPacket(std::vector<uint8_t> &out, uint32_t interfaceId, uint64_t timestampUs,
                          std::span<const uint8_t> head, std::span<const uint8_t> data, std::string_view comment) {
    const size_t start = beginBlock(out, kEnhancedPacketBlock);
    const auto length = static_cast<uint32_t>(head.size() + data.size());
    put32(out, interfaceId);
    put32(out, static_cast<uint32_t>(timestampUs >> 32));
    put32(out, static_cast<uint32_t>(timestampUs));
    put32(out, length);  // captured
    put32(out, length);  // original
    out.insert(out.end(), head.begin(), head.end());
    out.insert(out.end(), data.begin(), data.end());
    out.resize(out.size() + padded(length) - length, 0);
    if (!comment.empty()) putOption(out, kOptionComment, bytesOf(fitting(comment)));
    endOptions(out, !comment.empty());
    endBlock(out, start);
}

std::optional<Section> read(std::span<const uint8_t> bytes, const PacketVisitor &onPacket, std::string &error) {
    Section section;
    size_t at = 0;
    size_t blockNumber = 0;
    size_t packets = 0;
    auto fail = [&](const std::string &why) {
        error = "block " + std::to_string(blockNumber) + " (at byte " + std::to_string(at) + "): " + why;
        return std::nullopt;
    };
    if (bytes.size() < 12 || le32(bytes, 0) != kSectionHeaderBlock) {
        error = "not a pcapng file (no section header block at its start)";
        return std::nullopt;
    }
    if (le32(bytes, 8) == kByteOrderMagicSwapped) {
        error = "a big-endian pcapng section, which this reader does not take";
        return std::nullopt;
    }
    while (at < bytes.size()) {
        ++blockNumber;
        if (bytes.size() - at < 8) {
            section.cutShort = true;
            break;
        }
        const uint32_t type = le32(bytes, at);
        const uint32_t length = le32(bytes, at + 4);
        if (length < kBlockFraming || length % 4 != 0 || length > kMaxBlockLength)
            return fail("block length " + std::to_string(length) + " is impossible");
        if (length > bytes.size() - at) {
            section.cutShort = true;
            break;
        }
        if (le32(bytes, at + length - 4) != length) return fail("its two block lengths differ");
        const std::span<const uint8_t> body = bytes.subspan(at + 8, length - kBlockFraming);

        if (type == kSectionHeaderBlock) {
            if (at != 0) return fail("a second section, which a recording never has");
            if (body.size() < kSectionHeaderFixed) return fail("section header block too short");
            if (le32(body, 0) != kByteOrderMagic) return fail("bad byte-order magic");
            if (le16(body, 4) != 1) return fail("pcapng major version " + std::to_string(le16(body, 4)));
            const bool good = readOptions(body.subspan(kSectionHeaderFixed), [&](uint16_t code, auto value) {
                if (code == kOptionComment && section.comment.empty()) section.comment = textOf(value);
            });
            if (!good) return fail("an option runs past the block");
        } else if (type == kInterfaceDescriptionBlock) {
            if (body.size() < kInterfaceFixed) return fail("interface description block too short");
            Interface interface;
            interface.linkType = le16(body, 0);
            bool resolution = true;
            const bool good = readOptions(body.subspan(kInterfaceFixed), [&](uint16_t code, auto value) {
                if (code == kInterfaceName) interface.name = textOf(value);
                if (code == kInterfaceDescription) interface.description = textOf(value);
                if (code == kInterfaceTimestampResolution) {
                    // Powers of ten up to nanoseconds; powers of two are not taken.
                    resolution = value.size() == 1 && value[0] <= 9;
                    if (resolution) interface.timestampExponent = value[0];
                }
            });
            if (!good) return fail("an option runs past the block");
            if (!resolution) return fail("a timestamp resolution other than 10^-0..10^-9 s");
            section.interfaces.push_back(std::move(interface));
        } else if (type == kEnhancedPacketBlock) {
            if (body.size() < kEnhancedPacketFixed) return fail("enhanced packet block too short");
            Packet packet;
            packet.interfaceId = le32(body, 0);
            if (packet.interfaceId >= section.interfaces.size())
                return fail("a packet of interface " + std::to_string(packet.interfaceId) + ", which is not described");
            const uint64_t timestamp = uint64_t{le32(body, 4)} << 32 | le32(body, 8);
            packet.timestampUs = microseconds(timestamp, section.interfaces[packet.interfaceId].timestampExponent);
            const uint32_t captured = le32(body, 12);
            const uint32_t original = le32(body, 16);
            if (captured > body.size() - kEnhancedPacketFixed || padded(captured) > body.size() - kEnhancedPacketFixed)
                return fail("captured length " + std::to_string(captured) + " runs past the block");
            if (captured < original) return fail("a packet cut short when it was captured");
            packet.data = body.subspan(kEnhancedPacketFixed, captured);
            const bool good =
                readOptions(body.subspan(kEnhancedPacketFixed + padded(captured)), [&](uint16_t code, auto value) {
                    if (code == kOptionComment && packet.comment.empty()) packet.comment = textOf(value);
                });
            if (!good) return fail("an option runs past the block");
            packet.number = ++packets;
            if (!onPacket(packet, section.interfaces)) return section;
        }
        // Any other block type (name resolution, statistics, ...) is skipped.
        at += length;
    }
    return section;
}

}  // namespace usb_recording::pcapng
