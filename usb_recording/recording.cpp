// SPDX-License-Identifier: MIT
#include "usb_recording/recording.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include "usb_recording/pcapng.h"

namespace usb_recording {
namespace {

// An exported PDU with no tags but its end: a packet with no content of
// its own, which Wireshark shows without complaint; the note is its comment.
constexpr uint8_t kEmptyExportedPdu[] = {0, 0, 0, 0};

}  // namespace

std::vector<uint8_t> recordingHead(std::string_view comment) {
    std::vector<uint8_t> out;
    pcapng::appendSectionHeader(out, comment);
    pcapng::appendInterfaceDescription(out, usbmon::kLinkType, "usb", "USB transfers of the tz4817 updater");
    pcapng::appendInterfaceDescription(out, kNotesLinkType, "notes", "what happened besides transfers");
    return out;
}

void appendUsbEvent(std::vector<uint8_t> &out, uint64_t timestampUs, const usbmon::Header &header,
                    std::span<const uint8_t> data, std::string_view comment) {
    const auto head = usbmon::encode(header);
    pcapng::appendEnhancedPacket(out, kUsbInterface, timestampUs, head, data, comment);
}

void appendNote(std::vector<uint8_t> &out, uint64_t timestampUs, std::string_view text) {
    pcapng::appendEnhancedPacket(out, kNotesInterface, timestampUs, kEmptyExportedPdu, {}, text);
}

uint64_t nowMicroseconds() {
    static std::atomic<uint64_t> last{0};
    const auto now = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
    uint64_t seen = last.load();
    while (seen < now && !last.compare_exchange_weak(seen, now)) {}
    return std::max(seen, now);
}

bool scanRecording(std::span<const uint8_t> bytes, const std::function<bool(const Entry &)> &onEntry,
                   std::string &error, std::string *headComment, bool *cutShort) {
    std::string packetError;
    auto visit = [&](const pcapng::Packet &packet, const std::vector<pcapng::Interface> &interfaces) {
        if (interfaces.size() != 2 || interfaces[kUsbInterface].linkType != usbmon::kLinkType ||
            interfaces[kNotesInterface].linkType != kNotesLinkType) {
            packetError = "packet " + std::to_string(packet.number) +
                          " comes before the two interfaces of a recording (USB, notes)";
            return false;
        }
        Entry entry;
        entry.packet = packet.number;
        entry.timestampUs = packet.timestampUs;
        entry.comment = packet.comment;
        if (packet.interfaceId == kUsbInterface) {
            const auto header = usbmon::decode(packet.data);
            if (!header || header->dataLength != packet.data.size() - usbmon::kHeaderSize) {
                packetError = "packet " + std::to_string(packet.number) + " is not a usbmon event";
                return false;
            }
            entry.kind = Entry::Kind::Usb;
            entry.usb = *header;
            entry.data = packet.data.subspan(usbmon::kHeaderSize);
        }
        return onEntry(entry);
    };
    const auto section = pcapng::read(bytes, visit, error);
    if (!section) return false;
    if (!packetError.empty()) {
        error = packetError;
        return false;
    }
    const auto &interfaces = section->interfaces;
    if (interfaces.size() != 2 || interfaces[kUsbInterface].linkType != usbmon::kLinkType ||
        interfaces[kNotesInterface].linkType != kNotesLinkType) {
        error = "not a recording of the tz4817 updater: its interfaces are not USB (220) and notes (252)";
        return false;
    }
    if (headComment) *headComment = std::string(section->comment);
    if (cutShort) *cutShort = section->cutShort;
    return true;
}

}  // namespace usb_recording
