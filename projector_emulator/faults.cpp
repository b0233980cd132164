// SPDX-License-Identifier: MIT
#include "projector_emulator/faults.h"

#include <cerrno>
#include <cstdlib>

namespace projector_emulator {

const char kFaultGrammar[] = "  drop-reply@N[-M]         frames N..M get no reply (the command still acts)\n"
                             "  wrong-echo@N[-M]         their reply's sequence byte is off by one\n"
                             "  short-reply@N[-M][:LEN]  their reply is cut to LEN bytes (default 4)\n"
                             "  leave@N                  at frame N the device leaves the bus for good\n"
                             "  reboot@N                 at frame N it leaves and returns after the reboot delay\n"
                             "  busy-after-erase=K       K busy status answers after each erase, whatever the time\n"
                             "  silent-while-erasing     no reply at all to status reads while an erase runs\n"
                             "  flip-bit=OFFSET[:BIT]    programming flash OFFSET stores the byte with bit BIT\n"
                             "                           (default 0) flipped\n"
                             "  latency=US               US microseconds added to every bulk transfer\n"
                             "  late-reply@N[-M][:MS]    their reply is ready only MS milliseconds later (default\n"
                             "                           500); the command acts at once\n"
                             "  power-cut@N              at frame N the power fails: the frame is not acted on and\n"
                             "                           tz4817-emu ends at once (exit status 3), its flash file as\n"
                             "                           the chip holds it\n"
                             "Frames are numbered from 1 in the order the device receives them. Numbers are\n"
                             "decimal or 0x-prefixed hexadecimal; several faults may be joined with commas.\n";

namespace {

bool parseNumber(const std::string &text, uint64_t max, uint64_t &value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end != text.c_str() + text.size() || parsed > max) return false;
    value = parsed;
    return true;
}

// "N" or "N-M", frames counted from 1.
bool parseFrames(const std::string &text, Fault &fault) {
    size_t dash = text.find('-');
    uint64_t first = 0, last = 0;
    if (dash == std::string::npos) {
        if (!parseNumber(text, UINT64_MAX, first)) return false;
        last = first;
    } else if (!parseNumber(text.substr(0, dash), UINT64_MAX, first) ||
               !parseNumber(text.substr(dash + 1), UINT64_MAX, last)) {
        return false;
    }
    if (first == 0 || last < first) return false;
    fault.first = first;
    fault.last = last;
    return true;
}

bool parseOne(const std::string &item, Fault &fault, std::string &error) {
    auto bad = [&](const std::string &why) {
        error = "bad fault '" + item + "': " + why;
        return false;
    };
    size_t at = item.find('@');
    size_t eq = item.find('=');
    std::string name = item.substr(0, std::min(at, eq));
    if (at != std::string::npos) {
        std::string frames = item.substr(at + 1);
        std::string length;
        if (name == "short-reply" || name == "late-reply") {
            size_t colon = frames.find(':');
            if (colon != std::string::npos) {
                length = frames.substr(colon + 1);
                frames = frames.substr(0, colon);
            }
        }
        if (!parseFrames(frames, fault)) return bad("expected frame N or N-M, counted from 1");
        if (name == "drop-reply") {
            fault.kind = Fault::Kind::DropReply;
        } else if (name == "wrong-echo") {
            fault.kind = Fault::Kind::WrongEcho;
        } else if (name == "short-reply") {
            fault.kind = Fault::Kind::ShortReply;
            uint64_t value = 4;
            if (!length.empty() && !parseNumber(length, 1024, value)) return bad("LEN must be 0..1024");
            fault.value = static_cast<uint32_t>(value);
        } else if (name == "late-reply") {
            fault.kind = Fault::Kind::LateReply;
            uint64_t value = 500;
            if (!length.empty() && !parseNumber(length, 3'600'000, value)) return bad("MS must be 0..3600000");
            fault.value = static_cast<uint32_t>(value);
        } else if (name == "leave" || name == "reboot" || name == "power-cut") {
            if (fault.first != fault.last) return bad("takes one frame, not a range");
            fault.kind = name == "leave"    ? Fault::Kind::Leave
                         : name == "reboot" ? Fault::Kind::Reboot
                                            : Fault::Kind::PowerCut;
        } else {
            return bad("unknown fault");
        }
        return true;
    }
    if (name == "silent-while-erasing") {
        if (eq != std::string::npos) return bad("takes no value");
        fault.kind = Fault::Kind::SilentWhileErasing;
        return true;
    }
    if (eq == std::string::npos) return bad("unknown fault or missing value");
    std::string value = item.substr(eq + 1);
    uint64_t number = 0;
    if (name == "busy-after-erase") {
        if (!parseNumber(value, UINT32_MAX, number)) return bad("K must be a number");
        fault.kind = Fault::Kind::BusyAfterErase;
        fault.value = static_cast<uint32_t>(number);
    } else if (name == "latency") {
        if (!parseNumber(value, 10'000'000, number)) return bad("US must be 0..10000000");
        fault.kind = Fault::Kind::Latency;
        fault.value = static_cast<uint32_t>(number);
    } else if (name == "flip-bit") {
        size_t colon = value.find(':');
        uint64_t bit = 0;
        if (!parseNumber(value.substr(0, colon), 0x1FFFFF, number)) return bad("OFFSET must be below 0x200000");
        if (colon != std::string::npos && !parseNumber(value.substr(colon + 1), 7, bit)) {
            return bad("BIT must be 0..7");
        }
        fault.kind = Fault::Kind::FlipBit;
        fault.offset = static_cast<uint32_t>(number);
        fault.value = static_cast<uint32_t>(bit);
    } else {
        return bad("unknown fault");
    }
    return true;
}

}  // namespace

std::optional<std::vector<Fault>> parseFaults(const std::string &spec, std::string &error) {
    if (spec.empty()) {
        error = "no fault given";
        return std::nullopt;
    }
    std::vector<Fault> faults;
    size_t begin = 0;
    for (;;) {
        size_t comma = spec.find(',', begin);
        Fault fault{};
        if (!parseOne(spec.substr(begin, comma - begin), fault, error)) return std::nullopt;
        faults.push_back(fault);
        if (comma == std::string::npos) return faults;
        begin = comma + 1;
    }
}

}  // namespace projector_emulator
