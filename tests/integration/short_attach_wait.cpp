// Linked only into tz4817-update-short-wait, the test build of tz4817-update:
// QRV_TEST_ATTACH_WAIT_SECONDS (a whole number of seconds) shortens
// QRV_USBInit's wait for a projector, so that a test of a projector that
// never comes need not wait the whole 30 seconds.
#include <cstdlib>

#include "qrv_usb.h"

namespace {

const bool kAttachWaitSet = [] {
    const char *seconds = std::getenv("QRV_TEST_ATTACH_WAIT_SECONDS");
    if (seconds != nullptr) qrvusb::testing::SetAttachWait(std::chrono::seconds(std::atoi(seconds)));
    return true;
}();

}  // namespace
