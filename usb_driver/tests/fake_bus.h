// SPDX-License-Identifier: MIT
// A scripted bus: the test says when devices arrive and leave, what open and
// transfers answer, and reads back what the driver asked of the bus.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

#include "usb_driver/bus.h"
#include "usb_driver/driver_status.h"

namespace usb_driver::test {

// The descriptors of a simple device: interface 0 with bulk 0x01 and 0x81.
// clang-format off
inline std::vector<uint8_t> simpleDeviceDescriptor(uint16_t vendor, uint16_t product) {
    return {18, 1, 0x00, 0x02, 0, 0, 0, 64, static_cast<uint8_t>(vendor), static_cast<uint8_t>(vendor >> 8),
            static_cast<uint8_t>(product), static_cast<uint8_t>(product >> 8), 0, 1, 0, 0, 0, 1};
}
inline std::vector<uint8_t> simpleConfigDescriptor() {
    return {9, 2, 32, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 2, 0xFF, 0, 0, 0,
            7, 5, 0x01, 2, 64, 0, 0, 7, 5, 0x81, 2, 64, 0, 0};
}
// clang-format on

class FakeBus : public Bus {
public:
    ~FakeBus() override { destroyed->store(true); }

    uint32_t list(std::vector<BusDevice> &devices, std::string &) override {
        std::lock_guard lock(mutex);
        devices = listed;
        return kStatusOk;
    }
    place_claim::Scope claimScope() const override { return {}; }
    uint32_t start(BusListener &l) override {
        std::lock_guard lock(mutex);
        ++starts;
        if (startStatus == kStatusOk) listener = &l;
        return startStatus;
    }
    void stop() override {
        std::lock_guard lock(mutex);
        ++stops;
        listener = nullptr;
    }
    uint32_t open(uint64_t key) override {
        std::lock_guard lock(mutex);
        opens.push_back(key);
        auto it = openStatus.find(key);
        return it == openStatus.end() ? kStatusOk : it->second;
    }
    void close(uint64_t key) override {
        std::lock_guard lock(mutex);
        closes.push_back(key);
    }
    uint32_t setInterface(uint64_t key, uint32_t interface, uint32_t alternate) override {
        std::lock_guard lock(mutex);
        interfaces.push_back({key, interface << 8 | alternate});
        return kStatusOk;
    }
    uint32_t resetPipe(uint64_t key, uint32_t pipe) override {
        std::lock_guard lock(mutex);
        resets.push_back({key, pipe});
        return kStatusOk;
    }
    uint32_t transfer(uint64_t key, const TransferRequest &request, uint32_t &transferred) override {
        std::lock_guard lock(mutex);
        ++transfers;
        lastTransfer = request;
        lastKey = key;
        transferred = transferAnswer;
        return transferStatus;
    }

    // Test side: a device arrives or leaves (as if from the bus's own thread).
    void arrive(uint64_t key, uint16_t vendor, uint16_t product, std::string place = "1-1") {
        BusDevice device;
        device.key = key;
        device.place = std::move(place);
        device.vendorId = vendor;
        device.productId = product;
        device.deviceDescriptor = simpleDeviceDescriptor(vendor, product);
        device.configDescriptor = simpleConfigDescriptor();
        arrive(device);
    }
    void arrive(const BusDevice &device) {
        BusListener *l = currentListener();
        ASSERT_NE(l, nullptr) << "bus not started";
        l->deviceArrived(device);
    }
    void leave(uint64_t key) {
        BusListener *l = currentListener();
        ASSERT_NE(l, nullptr) << "bus not started";
        l->deviceLeft(key);
    }
    BusListener *currentListener() {
        std::lock_guard lock(mutex);
        return listener;
    }
    template <typename T>
    T read(const T &field) {
        std::lock_guard lock(mutex);
        return field;
    }

    std::mutex mutex;
    BusListener *listener = nullptr;
    std::vector<BusDevice> listed;  // what list() answers
    uint32_t startStatus = kStatusOk;
    int starts = 0, stops = 0;
    std::map<uint64_t, uint32_t> openStatus;
    std::vector<uint64_t> opens, closes;
    std::vector<std::pair<uint64_t, uint32_t>> interfaces, resets;
    int transfers = 0;
    TransferRequest lastTransfer;
    uint64_t lastKey = 0;
    uint32_t transferStatus = kStatusOk;
    uint32_t transferAnswer = 0;
    std::shared_ptr<std::atomic<bool>> destroyed = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace usb_driver::test
