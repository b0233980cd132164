// SPDX-License-Identifier: MIT
// Linked only into tz4817-update-short-wait, the test build of tz4817-update:
// - QRV_TEST_ATTACH_WAIT_SECONDS (a whole number of seconds) shortens
//   QRV_USBInit's wait for a projector, so that a test of a projector that
//   never comes need not wait the whole 30 seconds;
// - QRV_TEST_SWITCH_PAUSE_MS (milliseconds) shortens the pause the update
//   gives the projector to restart into programming mode, so that the fault
//   drill (tools/drill.sh) runs an update against the emulated projector in a
//   fraction of a second.
// The shipped tz4817-update reads neither: a user's waits are never shortened.
#include <cstdlib>

#include "qrv_usb.h"
#include "switch_pause.h"

namespace {

const bool kShortWaitsSet = [] {
    if (const char *seconds = std::getenv("QRV_TEST_ATTACH_WAIT_SECONDS"))
        usb_transport::testing::setAttachWait(std::chrono::seconds(std::atoi(seconds)));
    if (const char *milliseconds = std::getenv("QRV_TEST_SWITCH_PAUSE_MS"))
        update_sequence::testing::setSwitchPause(std::chrono::milliseconds(std::atoi(milliseconds)));
    return true;
}();

}  // namespace
