// Internals of the exported transport (include/qrvusb.h) that tests reach.
#pragma once

#include <cstdint>

namespace qrvusb::testing {

// The sequence number that the next exchange will use (1..255).
uint8_t SequenceNumber();
// Sets it; 0 is taken as 1. Only between exchanges.
void SetSequenceNumber(uint8_t value);
// Whether a device is taken now (the detach callback clears it). Any thread.
bool DeviceTaken();

}  // namespace qrvusb::testing
