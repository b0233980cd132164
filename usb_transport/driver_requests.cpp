// SPDX-License-Identifier: MIT
#include "driver_requests.h"

#include <atomic>

#include "qrvusb.h"

namespace usb_transport {
namespace {

constexpr DriverFunctions kRealDriver = {
    &usb_driver::driverOpen,
    &usb_driver::DriverIoctl,
    &usb_driver::driverClose,
};

// Read by the event thread and the callers' threads; replaced only by tests.
std::atomic<const DriverFunctions *> gDriverFunctions{&kRealDriver};

}  // namespace

DriverFile driverOpenFile() {
    usb_driver::Connection *connection = gDriverFunctions.load()->open();
    return connection != nullptr ? connection : kInvalidDriverFile;
}

void driverCloseFile(DriverFile file) {
    if (driverFileIsOpen(file)) gDriverFunctions.load()->close(file);
}

uint32_t DriverIoctl(uint32_t code, DriverFile file, void *record, uint32_t size, bool ownConnection) {
    const DriverFunctions *driver = gDriverFunctions.load();
    if (!ownConnection) {
        if (!driverFileIsOpen(file)) return WDU_ERR_NO_DRIVER;
        return driver->ioctl(file, code, record, size);
    }
    usb_driver::Connection *own = driver->open();
    if (own == nullptr) return WDU_ERR_NO_DRIVER;
    const uint32_t status = driver->ioctl(own, code, record, size);
    driver->close(own);
    return status;
}

namespace testing {

void setDriverFunctions(const DriverFunctions *functions) {
    gDriverFunctions.store(functions != nullptr ? functions : &kRealDriver);
}

}  // namespace testing
}  // namespace usb_transport
