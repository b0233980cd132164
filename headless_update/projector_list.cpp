// SPDX-License-Identifier: MIT
#include "projector_list.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace headless_update {
namespace {

struct Identity {
    uint16_t vendorId, productId;
    const char *mode;
};

// The projector in its application firmware and in programming mode.
constexpr Identity kIdentities[] = {
    {0xE7A2, 0x051E, "application"},
    {0xE7B9, 0x2000, "programming"},
};

// Places come from the bus (a USB/IP server's bus ids): untrusted text.
std::string shown(const std::string &text) {
    std::string out = text;
    for (char &c : out)
        if (c < 0x20 || c > 0x7E) c = '?';
    return out;
}

std::string jsonString(const std::string &text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string ids(const Projector &projector) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", projector.vendorId, projector.productId);
    return text;
}

std::string line(const Projector &projector) {
    char text[128];
    std::snprintf(text, sizeof text, "%-12s %s  %s", shown(projector.place).c_str(), ids(projector).c_str(),
                  projector.mode);
    return text;
}

// "  busy (process 1234, tz4817-update)" for a projector another process is
// updating; empty otherwise.
std::string busyNote(const Projector &projector) {
    if (!projector.busy) return {};
    if (projector.busy->pid == 0) return "  busy (another program)";
    std::string note = "  busy (process " + std::to_string(projector.busy->pid);
    if (!projector.busy->program.empty()) note += ", " + shown(projector.busy->program);
    return note + ")";
}

std::string holderJson(const Projector &projector) {
    if (!projector.busy || projector.busy->pid == 0) return "null";
    return "{\"pid\": " + std::to_string(projector.busy->pid) +
           ", \"program\": " + jsonString(projector.busy->program) + "}";
}

// "1-2" before "1-10": runs of digits compare as numbers.
bool placeBefore(const std::string &a, const std::string &b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            size_t endA = i, endB = j;
            while (endA < a.size() && std::isdigit(static_cast<unsigned char>(a[endA]))) ++endA;
            while (endB < b.size() && std::isdigit(static_cast<unsigned char>(b[endB]))) ++endB;
            const std::string numberA = a.substr(i, endA - i), numberB = b.substr(j, endB - j);
            if (numberA.size() != numberB.size()) return numberA.size() < numberB.size();
            if (numberA != numberB) return numberA < numberB;
            i = endA, j = endB;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i, ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

}  // namespace

std::vector<Projector> projectorsIn(const usb_driver::Survey &survey) {
    std::vector<Projector> projectors;
    for (const usb_driver::SurveyedDevice &device : survey.devices)
        for (const Identity &identity : kIdentities)
            if (device.vendorId == identity.vendorId && device.productId == identity.productId)
                projectors.push_back(
                    Projector{device.place, device.vendorId, device.productId, identity.mode, device.busy});
    std::stable_sort(projectors.begin(), projectors.end(),
                     [](const Projector &a, const Projector &b) { return placeBefore(a.place, b.place); });
    return projectors;
}

std::string listText(const usb_driver::Survey &survey, const std::vector<Projector> &projectors) {
    std::string text;
    for (const Projector &projector : projectors)
        text += line(projector) + "  " + survey.bus + busyNote(projector) + "\n";
    return text;
}

std::string listJson(const usb_driver::Survey &survey, const std::vector<Projector> &projectors) {
    std::string text = "{\"bus\": ";
    text +=
        survey.server.empty() ? "\"local\", \"server\": null" : "\"usbip\", \"server\": " + jsonString(survey.server);
    text += ", \"projectors\": [";
    for (size_t i = 0; i < projectors.size(); ++i) {
        if (i) text += ", ";
        text += "{\"place\": " + jsonString(projectors[i].place) + ", \"usb_id\": \"" + ids(projectors[i]) +
                "\", \"mode\": \"" + projectors[i].mode + "\", \"busy\": " + (projectors[i].busy ? "true" : "false") +
                ", \"holder\": " + holderJson(projectors[i]) + "}";
    }
    return text + "]}\n";
}

std::string refusalText(const usb_driver::Survey &survey, const std::vector<Projector> &projectors) {
    std::string text = std::to_string(projectors.size()) + " projectors are attached (" + survey.bus +
                       "); choose the one to update with --device PLACE:\n";
    for (const Projector &projector : projectors) text += "  " + line(projector) + busyNote(projector) + "\n";
    return text;
}

}  // namespace headless_update
