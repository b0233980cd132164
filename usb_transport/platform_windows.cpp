// SPDX-License-Identifier: MIT
#include "platform.h"

namespace usb_transport::platform {

// Windows reserves stacks in 64 KiB units.
size_t minimumThreadStack() { return 64 * 1024; }

bool localTime(std::time_t seconds, std::tm &local) { return ::localtime_s(&local, &seconds) == 0; }

}  // namespace usb_transport::platform
