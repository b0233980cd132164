// SPDX-License-Identifier: MIT
#include <climits>
#include <pthread.h>

#include "platform.h"

namespace usb_transport::platform {

size_t minimumThreadStack() { return PTHREAD_STACK_MIN; }

bool localTime(std::time_t seconds, std::tm &local) { return ::localtime_r(&seconds, &local) != nullptr; }

}  // namespace usb_transport::platform
