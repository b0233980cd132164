// SPDX-License-Identifier: MIT
// A projector on a manual clock behind a USB/IP server on an ephemeral
// loopback port, for the server's tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "projector_emulator/clock.h"
#include "projector_emulator/device.h"
#include "projector_emulator/nor_flash.h"
#include "projector_emulator/usbip_server.h"
#include "usbip_test_client.h"

namespace projector_emulator::test {

class UsbipServerFixture : public ::testing::Test {
protected:
    static constexpr std::chrono::milliseconds kRebootDelay{100};
    static constexpr std::chrono::milliseconds kEraseTime{50};

    void startServer(Mode mode = Mode::Application, std::vector<Fault> faults = {}) {
        flash_ = NorFlash::inMemory();
        DeviceOptions options;
        options.rebootDelay = kRebootDelay;
        options.eraseTime = kEraseTime;
        options.initialMode = mode;
        options.faults = std::move(faults);
        options.clock = &clock_;
        device_ = std::make_unique<Tz4817Device>(*flash_, options);
        UsbipServerOptions serverOptions;
        serverOptions.port = 0;
        serverOptions.requestTimeout = requestTimeout_;
        // Connection events go to the test's output, shown when a test fails.
        serverOptions.log = [](const std::string &line) { std::fprintf(stderr, "server: %s\n", line.c_str()); };
        server_ = std::make_unique<UsbipServer>(*device_, serverOptions);
        std::string error;
        ASSERT_TRUE(server_->start(error)) << error;
        ASSERT_NE(server_->port(), 0);
    }

    void TearDown() override {
        if (server_) server_->stop();
    }

    uint16_t port() const { return server_->port(); }

    // A connection with the device imported; check connected()/devid() in the test.
    std::unique_ptr<UsbipTestClient> importDevice() {
        auto client = std::make_unique<UsbipTestClient>(port());
        auto reply = client->import("1-1");
        EXPECT_TRUE(reply && reply->status == usbip::kOpStatusOk) << "import failed";
        return client;
    }

    // A connection with the device imported once it is free: the server
    // notices an earlier client's close asynchronously, so an import right
    // after it may see "busy" for a moment, never for long. Null when it
    // never became free.
    std::unique_ptr<UsbipTestClient> importWhenFree() {
        for (int attempt = 0; attempt < 500; ++attempt) {
            auto client = std::make_unique<UsbipTestClient>(port());
            auto reply = client->import("1-1");
            if (!reply) return nullptr;
            if (reply->status == usbip::kOpStatusOk) return client;
            EXPECT_EQ(reply->status, usbip::kOpStatusBusy);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return nullptr;
    }

    // One command frame with the next sequence number; its reply.
    std::optional<Bytes> command(UsbipTestClient &client, const Bytes &frame) {
        return client.exchange(stamped(frame, nextSequence()));
    }

    uint8_t nextSequence() {
        sequence_ = static_cast<uint8_t>(sequence_ == 255 ? 1 : sequence_ + 1);
        return sequence_;
    }
    uint8_t sequence() const { return sequence_; }

    // The devices the server lists now (fails the test when listing fails).
    std::vector<usbip::ListedDevice> listed() {
        auto reply = UsbipTestClient::list(port());
        EXPECT_TRUE(reply.has_value()) << "device list failed";
        return reply ? reply->devices : std::vector<usbip::ListedDevice>{};
    }

    std::chrono::milliseconds requestTimeout_{10'000};  // set before startServer()
    ManualClock clock_;
    std::unique_ptr<NorFlash> flash_;
    std::unique_ptr<Tz4817Device> device_;
    std::unique_ptr<UsbipServer> server_;
    uint8_t sequence_ = 0;
};

}  // namespace projector_emulator::test
