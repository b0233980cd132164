// SPDX-License-Identifier: MIT
// The pcapng capture file format, as far as a recording needs it: one
// section (Section Header Block), its interfaces (Interface Description
// Blocks) and their packets (Enhanced Packet Blocks), each block with an
// optional comment (opt_comment).
//
// Reference: "PCAP Next Generation (pcapng) Capture File Format",
// draft-ietf-opsawg-pcapng (IETF opsawg): 3.1 the general block structure,
// 3.5 options, 4.1 the Section Header Block, 4.2 the Interface Description
// Block, 4.3 the Enhanced Packet Block.
//
// Written little-endian, timestamps in microseconds (no if_tsresol). The
// reader takes little-endian sections (what every x86 and ARM machine
// writes), skips block types it does not know (as the format asks), and never
// reads outside the bytes it is given: a file cut off inside its last block
// is read up to that block and said to be cut short; anything else out of
// place is an error naming the block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace usb_recording::pcapng {

inline constexpr uint32_t kSectionHeaderBlock = 0x0A0D0D0A;
inline constexpr uint32_t kInterfaceDescriptionBlock = 0x00000001;
inline constexpr uint32_t kEnhancedPacketBlock = 0x00000006;
inline constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;

// The largest block the reader takes (a recording's blocks are a few hundred
// bytes; Wireshark's own limit is 16 MiB).
inline constexpr uint32_t kMaxBlockLength = 16 * 1024 * 1024;

// Blocks, appended whole to `out`. An empty comment writes no option.
void appendSectionHeader(std::vector<uint8_t> &out, std::string_view comment);
void appendInterfaceDescription(std::vector<uint8_t> &out, uint16_t linkType, std::string_view name,
                                std::string_view description);
// The packet is `head` followed by `data` (two parts, so that a caller need
// not join them first).
void appendEnhancedPacket(std::vector<uint8_t> &out, uint32_t interfaceId, uint64_t timestampUs,
                          std::span<const uint8_t> head, std::span<const uint8_t> data, std::string_view comment);

struct Interface {
    uint16_t linkType = 0;
    std::string name;
    std::string description;
    uint8_t timestampExponent = 6;  // if_tsresol: units of 10^-n seconds
};

// One packet as read: `data` points into the bytes given to read().
struct Packet {
    uint32_t interfaceId = 0;
    uint64_t timestampUs = 0;
    std::span<const uint8_t> data;
    std::string_view comment;  // the first opt_comment, into the bytes given
    size_t number = 0;         // 1 for the section's first packet, as Wireshark numbers them
};

struct Section {
    std::string_view comment;
    std::vector<Interface> interfaces;
    bool cutShort = false;  // the bytes end inside a block
};

// Called for every packet in order, with the interfaces described so far
// (the packet's among them). Returns false to stop reading there.
using PacketVisitor = std::function<bool(const Packet &, const std::vector<Interface> &)>;

// Reads one section: calls `onPacket` for every packet and gives the
// section's comment and interfaces. Nothing, with `error` set, when the
// bytes are not one well-formed little-endian pcapng section.
std::optional<Section> read(std::span<const uint8_t> bytes, const PacketVisitor &onPacket, std::string &error);

}  // namespace usb_recording::pcapng
