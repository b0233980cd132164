// SPDX-License-Identifier: MIT
#include "exchange_notes.h"

#include <cstdio>

#include "qrvusb.h"
#include "trace.h"
#include "usb_driver/driver_status.h"

namespace qrvusb {
namespace {

constexpr uint8_t kCommandClass = 0x34;
using usb_driver::kStatusStall;

// "flash data download", "programming mode 2": the names the projector's
// command set gives its operations.
const char *nameOf(const CommandIdentity &command, char *buffer, size_t size) {
    if (!command.known) {
        std::snprintf(buffer, size, "unknown");
        return buffer;
    }
    switch (command.operation) {
    case 0x00:
        std::snprintf(buffer, size, "flash information read (%s)",
                      command.selector == 0x0C   ? "manufacturer"
                      : command.selector == 0x0D ? "device"
                      : command.selector == 0x00 ? "checksum"
                                                 : "other");
        return buffer;
    case 0x01: return "status read";
    case 0x20: return "calibration unlock";
    case 0x25: return "flash data download";
    case 0x26: return "flash checksum calculation";
    case 0x28: return "flash sector erase";
    case 0x29: return "flash address";
    case 0x2C: return "flash size";
    case 0x30: std::snprintf(buffer, size, "programming mode %u", command.parameter); return buffer;
    default: std::snprintf(buffer, size, "operation 0x%02X", command.operation); return buffer;
    }
}

}  // namespace

CommandIdentity IdentifyCommand(const uint8_t *frame, uint32_t length) {
    CommandIdentity command;
    if (length > 6 && frame[5] == kCommandClass) {
        command.known = true;
        command.operation = frame[6];
        command.parameter = length > 8 ? frame[7] : 0;
        command.selector = length > 11 ? frame[10] : 0;
    }
    return command;
}

void NoteNotSent(const CommandIdentity &command, uint32_t status) {
    char name[64];
    if (status == WDU_ERR_DEVICE_NOT_FOUND)
        Note("the projector has left the bus: the %s command was not sent", nameOf(command, name, sizeof name));
    else
        Note("the %s command was not sent: the projector cannot be reached (status 0x%08X)",
             nameOf(command, name, sizeof name), status);
}

void NoteWriteFailed(const CommandIdentity &command, uint32_t status, uint32_t timeoutMs) {
    char name[64];
    const char *what = nameOf(command, name, sizeof name);
    if (status == WDU_ERR_TIMEOUT)
        Note("the projector did not take the %s command within %u ms", what, timeoutMs);
    else if (status == WDU_ERR_DEVICE_NOT_FOUND)
        Note("the projector left the bus while the %s command was sent", what);
    else if (status == kStatusStall)
        Note("the projector stalled the %s command", what);
    else
        Note("the %s command could not be sent (status 0x%08X)", what, status);
}

void NoteReadFailed(const CommandIdentity &command, uint32_t status, uint32_t timeoutMs) {
    char name[64];
    const char *what = nameOf(command, name, sizeof name);
    if (status == WDU_ERR_TIMEOUT)
        Note("no reply to the %s command within %u ms", what, timeoutMs);
    else if (status == WDU_ERR_DEVICE_NOT_FOUND)
        Note("the projector left the bus during the %s command", what);
    else if (status == kStatusStall)
        Note("the projector stalled the reply to the %s command", what);
    else
        Note("the reply to the %s command could not be read (status 0x%08X)", what, status);
}

void NoteWrongEcho(const CommandIdentity &command, uint32_t bytesRead, uint8_t echo, uint8_t expected) {
    char name[64];
    const char *what = nameOf(command, name, sizeof name);
    if (bytesRead < 2)
        Note("the reply to the %s command was %u byte%s long, too short to tell which command it answers", what,
             bytesRead, bytesRead == 1 ? "" : "s");
    else
        Note("the reply to the %s command answered another command (echo %u, expected %u)", what, echo, expected);
}

}  // namespace qrvusb
