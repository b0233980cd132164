// SPDX-License-Identifier: MIT
// Internals of the exported transport (include/qrvusb.h) that tests reach.
#pragma once

#include <chrono>
#include <cstdint>

namespace usb_transport::testing {

// The sequence number that the next exchange will use (1..255).
uint8_t sequenceNumber();
// Sets it; 0 is taken as 1. Only between exchanges.
void setSequenceNumber(uint8_t value);
// Whether a device is taken now (the detach callback clears it). Any thread.
bool deviceTaken();
// How long the next QRV_USBInit waits for a projector (30 seconds unless
// set); 0 restores the 30 seconds. For tests that expect no projector, so
// that they need not wait the whole time. Not exported from the shipped
// library: only programs linked with the static transport reach it.
void setAttachWait(std::chrono::seconds wait);

}  // namespace usb_transport::testing
