// SPDX-License-Identifier: MIT
// A recording of an update's USB traffic: one pcapng section (pcapng.h)
// with two interfaces,
//   0  the USB transfers, as usbmon events (usbmon.h, link type 220);
//   1  notes: what happened besides transfers (the run's start and end, a
//      bus started, a device arrived, was opened, left), each a packet whose
//      comment is the note (link type 252, Wireshark's exported PDUs, with
//      no content of its own).
// Wireshark shows both interfaces in one list, in the order of events; a
// packet's comment is under "Packet comments" and in the expert
// information.
//
// Whoever writes a recording writes whole blocks (recording_file.h): one
// write for each, so that a run cut off at any moment leaves a file that is
// readable up to its last block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "usb_recording/usbmon.h"

namespace usb_recording {

inline constexpr uint32_t kUsbInterface = 0;
inline constexpr uint32_t kNotesInterface = 1;
inline constexpr uint16_t kNotesLinkType = 252;  // LINKTYPE_WIRESHARK_UPPER_PDU

// The head of every recording: the section header with `comment`, and the
// two interfaces.
std::vector<uint8_t> recordingHead(std::string_view comment);

// Appends one USB event (header and data) with its comment (may be empty).
void appendUsbEvent(std::vector<uint8_t> &out, uint64_t timestampUs, const usbmon::Header &header,
                    std::span<const uint8_t> data, std::string_view comment);

// Appends one note.
void appendNote(std::vector<uint8_t> &out, uint64_t timestampUs, std::string_view text);

// Microseconds since 1970 by the system's clock, never less than the last
// value returned in this process.
uint64_t nowMicroseconds();

// One packet of a recording as read.
struct Entry {
    enum class Kind { Usb, Note };
    Kind kind = Kind::Note;
    size_t packet = 0;  // its number in Wireshark's list, from 1
    uint64_t timestampUs = 0;
    std::string_view comment;
    usbmon::Header usb;             // Kind::Usb
    std::span<const uint8_t> data;  // Kind::Usb: the data after the header
};

// Calls `onEntry` for every packet of the recording in `bytes`, in order,
// until it returns false. `headComment` (when given) receives the section's
// comment, `cutShort` whether the bytes end inside a block (a run that ended
// while it wrote). False, with `error` set, when the bytes are not a
// recording: not pcapng, other interfaces, a USB packet that is no usbmon
// event.
bool scanRecording(std::span<const uint8_t> bytes, const std::function<bool(const Entry &)> &onEntry,
                   std::string &error, std::string *headComment = nullptr, bool *cutShort = nullptr);

// A whole file read into memory, for scanRecording. False, with `error`
// set, when it cannot be read.
bool readWholeFile(const std::string &path, std::vector<uint8_t> &bytes, std::string &error);

}  // namespace usb_recording
