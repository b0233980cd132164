// SPDX-License-Identifier: MIT
#include "usb_recording/notes.h"

#include <charconv>
#include <cstdio>

namespace usb_recording::notes {
namespace {

constexpr std::string_view kBusStarted = "bus started: ";
constexpr std::string_view kRecorded = "; download data recorded";
constexpr std::string_view kLeftOut = "; download data left out";

const char *verbOf(DeviceNote::What what) {
    switch (what) {
    case DeviceNote::What::Arrived: return "arrived";
    case DeviceNote::What::Opened: return "opened";
    case DeviceNote::What::Left: return "left the bus";
    case DeviceNote::What::Closed: return "closed";
    }
    return "";
}

bool takePrefix(std::string_view &text, std::string_view prefix) {
    if (text.substr(0, prefix.size()) != prefix) return false;
    text.remove_prefix(prefix.size());
    return true;
}

template <typename T>
bool takeNumber(std::string_view &text, T &value, int base, size_t digits) {
    if (text.size() < digits) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + digits, value, base);
    if (error != std::errc() || end != text.data() + digits) return false;
    text.remove_prefix(digits);
    return true;
}

}  // namespace

std::string describe(const DeviceNote &note) {
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", note.vendorId, note.productId);
    return "device " + std::to_string(note.number) + " at " + note.place + " (" + ids + "): " + verbOf(note.what);
}

std::optional<DeviceNote> parseDeviceNote(std::string_view text) {
    DeviceNote note;
    if (!takePrefix(text, "device ")) return std::nullopt;
    const size_t space = text.find(' ');
    if (space == std::string_view::npos || space == 0 || space > 3) return std::nullopt;
    unsigned number = 0;
    if (!takeNumber(text, number, 10, space) || number == 0 || number > 127) return std::nullopt;
    note.number = static_cast<uint8_t>(number);
    if (!takePrefix(text, " at ")) return std::nullopt;
    const size_t open = text.find(" (");
    if (open == std::string_view::npos || open == 0) return std::nullopt;
    note.place = std::string(text.substr(0, open));
    text.remove_prefix(open + 2);
    if (!takeNumber(text, note.vendorId, 16, 4) || !takePrefix(text, ":") || !takeNumber(text, note.productId, 16, 4) ||
        !takePrefix(text, "): "))
        return std::nullopt;
    for (auto what :
         {DeviceNote::What::Arrived, DeviceNote::What::Opened, DeviceNote::What::Left, DeviceNote::What::Closed}) {
        if (text == verbOf(what)) {
            note.what = what;
            return note;
        }
    }
    return std::nullopt;
}

std::string busStarted(std::string_view bus, bool withoutData) {
    std::string text(kBusStarted);
    text += bus;
    text += withoutData ? std::string(kLeftOut) + " (each download frame's data written as zeros, its checksum "
                                                  "summed again over them)"
                        : std::string(kRecorded);
    return text;
}

bool leftDataOut(std::string_view text) {
    return text.substr(0, kBusStarted.size()) == kBusStarted && text.find(kLeftOut) != std::string_view::npos;
}

}  // namespace usb_recording::notes
