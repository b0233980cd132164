// SPDX-License-Identifier: MIT
#include "exchange_notes.h"

#include <cstdio>

#include "command_frame/command_frame.h"
#include "qrvusb.h"
#include "trace.h"
#include "usb_driver/driver_status.h"

namespace usb_transport {
namespace {

using usb_driver::kStatusStall;

// "flash data download", "programming mode 2", "flash information read
// (device)": the names the projector's command set gives its operations.
const char *nameOf(const CommandIdentity &command, char *buffer, size_t size) {
    if (!command.known) {
        std::snprintf(buffer, size, "unknown");
        return buffer;
    }
    const char *name = command_frame::operationName(command.operation);
    if (name == nullptr) {
        std::snprintf(buffer, size, "operation 0x%02X", command.operation);
    } else if (command.operation == command_frame::kOpFlashInformationRead) {
        const char *selector = command_frame::selectorName(command.selector);
        std::snprintf(buffer, size, "%s (%s)", name, selector != nullptr ? selector : "other");
    } else if (command.operation == command_frame::kOpProgrammingMode) {
        std::snprintf(buffer, size, "%s %u", name, command.parameter);
    } else {
        return name;
    }
    return buffer;
}

}  // namespace

CommandIdentity identifyCommand(const uint8_t *frame, uint32_t length) {
    CommandIdentity command;
    using namespace command_frame;
    if (length > kClassOffset + 1 && frame[kClassOffset] == kCommandClass) {
        command.known = true;
        command.operation = frame[kOperationOffset];
        command.parameter = length > kParameterOffset + 1 ? frame[kParameterOffset] : 0;
        command.selector = length > kSelectorOffset + 1 ? frame[kSelectorOffset] : 0;
    }
    return command;
}

void noteNotSent(const CommandIdentity &command, uint32_t status) {
    char name[64];
    if (status == WDU_ERR_DEVICE_NOT_FOUND)
        note("the projector has left the bus: the %s command was not sent", nameOf(command, name, sizeof name));
    else
        note("the %s command was not sent: the projector cannot be reached (status 0x%08X)",
             nameOf(command, name, sizeof name), status);
}

void noteWriteFailed(const CommandIdentity &command, uint32_t status, uint32_t timeoutMs) {
    char name[64];
    const char *what = nameOf(command, name, sizeof name);
    if (status == WDU_ERR_TIMEOUT)
        note("the projector did not take the %s command within %u ms", what, timeoutMs);
    else if (status == WDU_ERR_DEVICE_NOT_FOUND)
        note("the projector left the bus while the %s command was sent", what);
    else if (status == kStatusStall)
        note("the projector stalled the %s command", what);
    else
        note("the %s command could not be sent (status 0x%08X)", what, status);
}

void noteReadFailed(const CommandIdentity &command, uint32_t status, uint32_t timeoutMs) {
    char name[64];
    const char *what = nameOf(command, name, sizeof name);
    if (status == WDU_ERR_TIMEOUT)
        note("no reply to the %s command within %u ms", what, timeoutMs);
    else if (status == WDU_ERR_DEVICE_NOT_FOUND)
        note("the projector left the bus during the %s command", what);
    else if (status == kStatusStall)
        note("the projector stalled the reply to the %s command", what);
    else
        note("the reply to the %s command could not be read (status 0x%08X)", what, status);
}

void noteWrongEcho(const CommandIdentity &command, uint32_t bytesRead, uint8_t echo, uint8_t expected) {
    char name[64];
    const char *what = nameOf(command, name, sizeof name);
    if (bytesRead < 2)
        note("the reply to the %s command was %u byte%s long, too short to tell which command it answers", what,
             bytesRead, bytesRead == 1 ? "" : "s");
    else
        note("the reply to the %s command answered another command (echo %u, expected %u)", what, echo, expected);
}

}  // namespace usb_transport
