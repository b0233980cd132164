// SPDX-License-Identifier: MIT
// The line the transport leaves on standard error for every failed transfer
// and every failed exchange of QRV_WriteQrvUsbCmd, naming the command, what
// happened and how long was waited: "tz4817: no reply to the flash data
// download command within 2000 ms", "tz4817: the reply to the flash address
// command answered another command (echo 17, expected 18)". Standard output
// keeps only the library's own "Reseting USB" lines. Nothing is allocated:
// an exchange that succeeds costs only the copy of a few frame bytes.
#pragma once

#include <cstdint>

namespace usb_transport {

// What names a command, taken from its frame before the reply overwrites it.
struct CommandIdentity {
    uint8_t operation = 0;
    uint8_t parameter = 0;  // frame byte 7: the mode of a programming mode command
    uint8_t selector = 0;   // frame byte 10: what a flash information read asks for
    bool known = false;     // the frame had the command class of the command set
};

CommandIdentity identifyCommand(const uint8_t *frame, uint32_t length);

// The presence check before the exchange failed: nothing was sent.
void noteNotSent(const CommandIdentity &command, uint32_t status);
// The frame's write failed (the read still follows).
void noteWriteFailed(const CommandIdentity &command, uint32_t status, uint32_t timeoutMs);
// The reply's read failed.
void noteReadFailed(const CommandIdentity &command, uint32_t status, uint32_t timeoutMs);
// A reply was read but does not echo the frame's sequence number.
void noteWrongEcho(const CommandIdentity &command, uint32_t bytesRead, uint8_t echo, uint8_t expected);

}  // namespace usb_transport
