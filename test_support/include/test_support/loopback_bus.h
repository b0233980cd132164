// SPDX-License-Identifier: MIT
// A bus with one emulated projector in the same process and no latency of its
// own: the device's replies are there the moment its frame is written. For
// tests and benchmarks only; the shipped library never contains it.
//
// Besides the Bus operations it records every transfer and can be told to
// fail the next transfers, for tests of the layers above.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "projector_emulator/device.h"
#include "usb_driver/bus.h"

namespace test_support {

class LoopbackBus : public usb_driver::Bus {
public:
    // The device must outlive the bus.
    explicit LoopbackBus(projector_emulator::Tz4817Device &device);
    ~LoopbackBus() override;

    // The device sits at this place.
    static constexpr const char *kPlace = "1-1";

    [[nodiscard]] uint32_t list(std::vector<usb_driver::BusDevice> &devices, std::string &why) override;
    // In this process only: no other process can reach its projector.
    [[nodiscard]] usb_driver::place_claim::Scope claimScope() const override { return {}; }
    [[nodiscard]] uint32_t start(usb_driver::BusListener &listener) override;
    void stop() override;
    [[nodiscard]] uint32_t open(uint64_t key) override;
    void close(uint64_t key) override;
    [[nodiscard]] uint32_t setInterface(uint64_t key, uint32_t interface, uint32_t alternate) override;
    [[nodiscard]] uint32_t resetPipe(uint64_t key, uint32_t pipe) override;
    [[nodiscard]] uint32_t transfer(uint64_t key, const usb_driver::TransferRequest &request,
                                    uint32_t &transferred) override;

    // One transfer as the bus saw it.
    struct TransferLog {
        uint32_t pipe = 0;
        bool in = false;
        uint32_t requested = 0;     // the buffer length asked for
        std::vector<uint8_t> data;  // bytes written (out) or delivered (in)
        uint32_t status = 0;
    };
    std::vector<TransferLog> transfers() const;
    void clearTransfers();

    // Setup packets and pipe numbers of control requests (set interface,
    // pipe resets), in order: {kind, value} with kind 'I' or 'R'. For 'I' the
    // value is the interface number, with the alternate setting in bits 8-15;
    // for 'R' it is the pipe (endpoint address).
    struct ControlLog {
        char kind;
        uint32_t value;
    };
    std::vector<ControlLog> controlRequests() const;

    // The next transfer in that direction fails with `status` and 0 bytes.
    // With `deliver` an OUT frame still reaches the device (the host saw an
    // error, the device got the data), and an IN transfer still takes the
    // device's reply, which is then lost. Calls queue up: each fails one
    // transfer.
    void failNextTransfer(bool in, uint32_t status, bool deliver = false);

    // Transfer and control logging, on by default. Benchmarks switch it off
    // so that long runs neither slow down nor grow.
    void setLogging(bool enabled);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Passes every operation to a LoopbackBus of its own. Tests and benchmarks
// derive from it and override transfer() to watch or alter what goes by.
class LoopbackBusWrapper : public usb_driver::Bus {
public:
    explicit LoopbackBusWrapper(projector_emulator::Tz4817Device &device) : inner_(device) {}

    [[nodiscard]] uint32_t list(std::vector<usb_driver::BusDevice> &devices, std::string &why) override {
        return inner_.list(devices, why);
    }
    [[nodiscard]] usb_driver::place_claim::Scope claimScope() const override { return inner_.claimScope(); }
    [[nodiscard]] uint32_t start(usb_driver::BusListener &listener) override { return inner_.start(listener); }
    void stop() override { inner_.stop(); }
    [[nodiscard]] uint32_t open(uint64_t key) override { return inner_.open(key); }
    void close(uint64_t key) override { inner_.close(key); }
    [[nodiscard]] uint32_t setInterface(uint64_t key, uint32_t interface, uint32_t alternate) override {
        return inner_.setInterface(key, interface, alternate);
    }
    [[nodiscard]] uint32_t resetPipe(uint64_t key, uint32_t pipe) override { return inner_.resetPipe(key, pipe); }
    [[nodiscard]] uint32_t transfer(uint64_t key, const usb_driver::TransferRequest &request,
                                    uint32_t &transferred) override {
        return inner_.transfer(key, request, transferred);
    }

protected:
    LoopbackBus inner_;
};

}  // namespace test_support
