// SPDX-License-Identifier: MIT
// The system objects behind a claim (place_claim.h): one platform file each.
// Names are "tz4817-claim-" and 16 hexadecimal digits. Called with the claim
// table's lock held, never blocking.
#pragma once

#include <cstdint>
#include <string>

#include "usb_driver/place_claim.h"

namespace usb_driver::place_claim::system {

// A held claim's object: a socket descriptor, or a HANDLE.
using Handle = intptr_t;

// Makes the claim `name` for this process: Ours with `handle` set, Elsewhere
// with what is known of the holder, or Failed with `why`.
Taken take(const std::string &name, Handle &handle, Holder &holder, std::string &why);
// Gives the claim up.
void release(const std::string &name, Handle handle);
// Keeps a held claim answering (on Linux: lets go of the connections of
// processes that asked who holds it).
void tend(Handle handle);
// Whether another process holds `name`, and which.
bool heldElsewhere(const std::string &name, Holder &holder);

}  // namespace usb_driver::place_claim::system
