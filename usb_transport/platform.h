// SPDX-License-Identifier: MIT
// The few calls of the transport whose form differs between platforms:
// platform_posix.cpp, platform_windows.cpp.
#pragma once

#include <cstddef>
#include <ctime>

namespace usb_transport::platform {

// The smallest stack a new thread may be given.
size_t minimumThreadStack();

// The local time of `seconds`; false when it cannot be told. Thread-safe.
bool localTime(std::time_t seconds, std::tm &local);

}  // namespace usb_transport::platform
