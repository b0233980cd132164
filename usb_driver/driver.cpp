// SPDX-License-Identifier: MIT
// The three-function boundary and the testing hooks.
#include "usb_driver/driver.h"

#include <atomic>
#include <mutex>

#include "driver_core.h"
#include "recording_tap.h"

namespace usb_driver {
namespace {

std::mutex factoryMutex;
std::function<std::shared_ptr<Bus>()> &factory() {
    static std::function<std::shared_ptr<Bus>()> function;
    return function;
}
std::atomic<uint32_t> versionOverride{0};

}  // namespace

std::shared_ptr<Bus> makeBus() {
    std::function<std::shared_ptr<Bus>()> make;
    {
        std::lock_guard lock(factoryMutex);
        make = factory();
    }
    return make ? tapWhenRecording(make(), "a bus a test or benchmark made") : makeDefaultBus();
}

uint32_t reportedVersion() {
    const uint32_t version = versionOverride.load();
    return version ? version : kDriverVersion;
}

Connection *driverOpen() { return Driver::instance().open(); }

uint32_t DriverIoctl(Connection *connection, uint32_t code, void *record, uint32_t size) {
    if (!connection) return kStatusBadHandle;
    return Driver::instance().ioctl(connection, code, record, size);
}

void driverClose(Connection *connection) {
    if (connection) Driver::instance().close(connection);
}

namespace testing {

void setBusFactory(std::function<std::shared_ptr<Bus>()> function) {
    std::lock_guard lock(factoryMutex);
    factory() = std::move(function);
}

void setReportedVersion(uint32_t version) { versionOverride.store(version); }

}  // namespace testing
}  // namespace usb_driver
