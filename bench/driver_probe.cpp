// SPDX-License-Identifier: MIT
#include "driver_probe.h"

#include <atomic>

#include "driver_requests.h"
#include "test_support/loopback_bus.h"
#include "usb_driver/driver_records.h"

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

// The probe runs on the benchmark's thread and the transport's event thread;
// timing is only switched on while the benchmark's thread alone sends
// requests (the event thread waits in the driver meanwhile), so the sums need
// no lock.
std::atomic<bool> gTiming{false};
LayerTimes gTimes;
std::atomic<uint32_t> gUniqueId{0};
std::atomic<usb_driver::Connection *> gContextConnection{nullptr};
std::atomic<uint32_t> gInfoBytes{0};

uint64_t since(Clock::time_point start) {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
}

usb_driver::Connection *probeOpen() {
    if (!gTiming) return usb_driver::driverOpen();
    const auto start = Clock::now();
    usb_driver::Connection *connection = usb_driver::driverOpen();
    gTimes.connectionNs += since(start);
    return connection;
}

void probeClose(usb_driver::Connection *connection) {
    if (!gTiming) return usb_driver::driverClose(connection);
    const auto start = Clock::now();
    usb_driver::driverClose(connection);
    gTimes.connectionNs += since(start);
}

uint32_t probeIoctl(usb_driver::Connection *connection, uint32_t code, void *record, uint32_t size) {
    if (code == usb_driver::IOCTL_DEVICE_INFO) {
        const auto *query = static_cast<const usb_driver::DeviceInfoQuery *>(record);
        gUniqueId.store(query->dwUniqueID);
        gContextConnection.store(connection);
    }
    if (!gTiming) {
        const uint32_t status = usb_driver::DriverIoctl(connection, code, record, size);
        if (code == usb_driver::IOCTL_DEVICE_INFO)
            gInfoBytes.store(static_cast<usb_driver::DeviceInfoQuery *>(record)->dwBytes);
        return status;
    }
    const auto start = Clock::now();
    const uint32_t status = usb_driver::DriverIoctl(connection, code, record, size);
    const uint64_t elapsed = since(start);
    if (code == usb_driver::IOCTL_DEVICE_INFO) {
        gTimes.presenceNs += elapsed;
        ++gTimes.presenceRequests;
    } else if (code == usb_driver::IOCTL_TRANSFER) {
        gTimes.transferNs += elapsed;
        ++gTimes.transferRequests;
    }
    return status;
}

const usb_transport::DriverFunctions kProbe = {&probeOpen, &probeIoctl, &probeClose};

class TimingBus : public test_support::LoopbackBusWrapper {
public:
    explicit TimingBus(projector_emulator::Tz4817Device &device) : LoopbackBusWrapper(device) {
        inner_.setLogging(false);
    }

    uint32_t transfer(uint64_t key, const usb_driver::TransferRequest &request, uint32_t &transferred) override {
        if (!gTiming) return inner_.transfer(key, request, transferred);
        const auto start = Clock::now();
        const uint32_t status = inner_.transfer(key, request, transferred);
        gTimes.busNs += since(start);
        ++gTimes.busTransfers;
        return status;
    }
};

}  // namespace

namespace probe {

void install() { usb_transport::testing::setDriverFunctions(&kProbe); }
void remove() { usb_transport::testing::setDriverFunctions(nullptr); }
void setTiming(bool on) { gTiming = on; }
LayerTimes &times() { return gTimes; }
void resetTimes() { gTimes = LayerTimes{}; }
uint32_t uniqueId() { return gUniqueId.load(); }
usb_driver::Connection *contextConnection() { return gContextConnection.load(); }
uint32_t infoBlockBytes() { return gInfoBytes.load(); }

}  // namespace probe

std::shared_ptr<usb_driver::Bus> makeTimingBus(projector_emulator::Tz4817Device &device) {
    return std::make_shared<TimingBus>(device);
}

}  // namespace bench
