// SPDX-License-Identifier: MIT
// Deterministic fault injection for the emulated projector. Frame numbers
// count every bulk OUT transfer the device has received since it was made,
// from 1, across mode switches.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace projector_emulator {

struct Fault {
    enum class Kind {
        DropReply,           // frames first..last get no reply
        WrongEcho,           // their reply's byte 1 is off by one
        ShortReply,          // their reply is cut to `value` bytes
        Leave,               // at frame `first` the device leaves the bus for good (no reply)
        Reboot,              // at frame `first` it leaves and returns after the reboot delay
        BusyAfterErase,      // `value` busy answers after each erase, whatever the time
        SilentWhileErasing,  // no reply at all to status reads while an erase runs
        FlipBit,             // programming offset `offset` stores the value with bit `value` flipped
        Latency,             // `value` microseconds added to every bulk transfer
        LateReply,           // frames first..last: their reply is ready only `value` ms later
        PowerCut,            // at frame `first` the power fails: the device leaves for good, the frame unheard
    };
    Kind kind;
    uint64_t first = 0;
    uint64_t last = 0;
    uint32_t offset = 0;
    uint32_t value = 0;
};

// The grammar of --fault, for --help.
extern const char kFaultGrammar[];

// Parses one --fault argument: one or more faults separated by commas.
// Nothing on a syntax error, with `error` saying what is wrong.
std::optional<std::vector<Fault>> parseFaults(const std::string &spec, std::string &error);

}  // namespace projector_emulator
