// SPDX-License-Identifier: MIT
// The USB/IP server over real loopback TCP: listing, import, endpoint 0,
// pending IN and unlink, re-enumeration, and hostile clients.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <thread>

#include "server_fixture.h"
#include "usb_standard/usb_standard.h"

namespace projector_emulator::test {
namespace {

using usbip::SetupPacket;

constexpr uint8_t kInDevice = usb_standard::DIR_IN | usb_standard::TYPE_STANDARD | usb_standard::RECIP_DEVICE;
constexpr uint8_t kInEndpoint = usb_standard::DIR_IN | usb_standard::TYPE_STANDARD | usb_standard::RECIP_ENDPOINT;
constexpr uint8_t kOutDevice = usb_standard::DIR_OUT | usb_standard::TYPE_STANDARD | usb_standard::RECIP_DEVICE;
constexpr uint8_t kOutInterface = usb_standard::DIR_OUT | usb_standard::TYPE_STANDARD | usb_standard::RECIP_INTERFACE;
constexpr uint8_t kOutEndpoint = usb_standard::DIR_OUT | usb_standard::TYPE_STANDARD | usb_standard::RECIP_ENDPOINT;

class UsbipServerTest : public UsbipServerFixture {};

TEST_F(UsbipServerTest, DeviceListShowsTheProjectorAsTheDescriptorsDescribeIt) {
    startServer();
    const auto devices = listed();
    ASSERT_EQ(devices.size(), 1u);
    const usbip::DeviceRecord &record = devices[0].device;
    EXPECT_EQ(record.busId, "1-1");
    EXPECT_EQ(record.busnum, 1u);
    EXPECT_EQ(record.devnum, usbipDevnum(device_->presence().generation));
    EXPECT_EQ(record.speed, usbip::kSpeedFull);
    EXPECT_EQ(record.idVendor, kAppVendorId);
    EXPECT_EQ(record.idProduct, kAppProductId);
    EXPECT_EQ(record.bConfigurationValue, 1);
    EXPECT_EQ(record.bNumConfigurations, 1);
    EXPECT_EQ(record.bNumInterfaces, 1);
    ASSERT_EQ(devices[0].interfaces.size(), 1u);
    EXPECT_EQ(devices[0].interfaces[0], (usbip::InterfaceRecord{0xFF, 0x00, 0x00}));
}

TEST_F(UsbipServerTest, ImportGivesTheListedRecord) {
    startServer();
    const auto devices = listed();
    ASSERT_EQ(devices.size(), 1u);
    UsbipTestClient client(port());
    auto reply = client.import("1-1");
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->status, usbip::kOpStatusOk);
    ASSERT_TRUE(reply->device);
    EXPECT_EQ(*reply->device, devices[0].device);
}

TEST_F(UsbipServerTest, ImportIsRefusedForAnotherBusIdAWhileImportedDeviceOrAnAbsentOne) {
    startServer(Mode::Application, {{Fault::Kind::Leave, 1, 1}});
    {
        UsbipTestClient other(port());
        auto reply = other.import("1-2");
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, usbip::kOpStatusNoSuchDevice);
    }
    auto first = importDevice();
    {
        UsbipTestClient second(port());
        auto reply = second.import("1-1");
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, usbip::kOpStatusBusy) << "two connections share one device";
    }
    // The first frame makes the device leave for good.
    first->submitOut(1, stamped(statusReadFrame(), 1));
    EXPECT_TRUE(first->waitForClose());
    UsbipTestClient late(port());
    auto reply = late.import("1-1");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, usbip::kOpStatusNoSuchDevice);
    EXPECT_TRUE(listed().empty());
}

TEST_F(UsbipServerTest, ImportIsFreeAgainOnceTheImportingClientHasGone) {
    startServer();
    importDevice().reset();  // connects, imports, closes
    EXPECT_TRUE(importWhenFree()) << "the import slot was never freed";
}

// A client that ends between a frame and its reply (killed, crashed) leaves
// the reply in the IN endpoint, as a real device's endpoint buffer keeps it:
// neither the next client's import nor its SET_INTERFACE or halt clearing
// drops it. Only reading it does.
TEST_F(UsbipServerTest, ReplyStaysQueuedAcrossTheClientsDisconnectAndReimport) {
    startServer();
    {
        auto gone = importDevice();
        gone->submitOut(1, stamped(statusReadFrame(), 0x2A));
        auto written = gone->receive();
        ASSERT_TRUE(written && written->status == 0);
    }
    auto next = importWhenFree();
    ASSERT_TRUE(next) << "the import slot was never freed";
    ASSERT_TRUE(next->control({kOutInterface, usb_standard::SET_INTERFACE, 0, 0, 0}));
    ASSERT_TRUE(next->control({kOutEndpoint, usb_standard::CLEAR_FEATURE, usb_standard::ENDPOINT_HALT, 0x81, 0}));
    next->submitIn(1, 255);
    auto stale = next->receive();
    ASSERT_TRUE(stale);
    EXPECT_EQ(stale->status, 0);
    ASSERT_GE(stale->data.size(), 2u);
    EXPECT_EQ(stale->data[1], 0x2A) << "the earlier client's reply is gone";
}

// Clients that connect and then send slowly or nothing: the oldest of them
// gives way when every place is taken, the imported connection keeps its
// place, and a device list is answered at once.
TEST_F(UsbipServerTest, SlowClientsGiveWayAndTheImportedConnectionKeepsItsPlace) {
    startServer();
    auto imported = importDevice();
    std::vector<std::unique_ptr<UsbipTestClient>> slow;
    for (int i = 0; i < 20; ++i) {
        slow.push_back(std::make_unique<UsbipTestClient>(port()));
        ASSERT_TRUE(slow.back()->sendRaw({0x01}));  // the first byte of a request, and no more
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(listed().size(), 1u);
    // The slow clients' own deadline is 10 seconds: only giving way answers sooner.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(slow.front()->waitForClose()) << "the oldest unfinished request kept its place";
    auto status = command(*imported, statusReadFrame());
    ASSERT_TRUE(status) << "the imported connection lost its place";
    EXPECT_EQ((*status)[1], sequence());
}

// The deadline is for the whole request: a client that keeps sending a byte
// now and then, each well within the time-out, is still closed when it runs out.
TEST_F(UsbipServerTest, RequestTricklingInByteByByteRunsOutOfTime) {
    requestTimeout_ = std::chrono::milliseconds(300);
    startServer();
    Bytes request;
    usbip::appendImportRequest(request, {"1-1"});
    UsbipTestClient client(port());
    // 40 bytes, 50 ms apart: two seconds for the whole request.
    for (size_t i = 0; i < request.size() && client.sendRaw({request[i]}); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(client.waitForClose()) << "the trickled import was served";
}

// --- endpoint 0 -----------------------------------------------------------------

struct ControlCase {
    const char *name;
    SetupPacket setup;
    int32_t status;
    std::function<Bytes(const Presence &)> expected;  // IN data; unused for stalls and OUT
};

Bytes prefix(Bytes bytes, size_t length) {
    if (bytes.size() > length) bytes.resize(length);
    return bytes;
}

const ControlCase kControlCases[] = {
    {"device descriptor",
     {kInDevice, usb_standard::GET_DESCRIPTOR, usb_standard::descriptorValue(usb_standard::DT_DEVICE), 0, 64},
     0,
     [](const Presence &p) { return deviceDescriptor(p); }},
    {"device descriptor, first 8 bytes",
     {kInDevice, usb_standard::GET_DESCRIPTOR, usb_standard::descriptorValue(usb_standard::DT_DEVICE), 0, 8},
     0,
     [](const Presence &p) { return prefix(deviceDescriptor(p), 8); }},
    {"configuration header only",
     {kInDevice, usb_standard::GET_DESCRIPTOR, usb_standard::descriptorValue(usb_standard::DT_CONFIG), 0, 9},
     0,
     [](const Presence &) { return prefix(configDescriptor(), 9); }},
    {"whole configuration",
     {kInDevice, usb_standard::GET_DESCRIPTOR, usb_standard::descriptorValue(usb_standard::DT_CONFIG), 0, 255},
     0,
     [](const Presence &) { return configDescriptor(); }},
    {"language list",
     {kInDevice, usb_standard::GET_DESCRIPTOR, usb_standard::descriptorValue(usb_standard::DT_STRING), 0, 255},
     0,
     [](const Presence &) { return stringDescriptor(0); }},
    {"product string",
     {kInDevice, usb_standard::GET_DESCRIPTOR, usb_standard::descriptorValue(usb_standard::DT_STRING, 0x02), 0x0409,
      255},
     0,
     [](const Presence &) { return stringDescriptor(2); }},
    {"string that does not exist",
     {kInDevice, usb_standard::GET_DESCRIPTOR, usb_standard::descriptorValue(usb_standard::DT_STRING, 0x77), 0x0409,
      255},
     usbip::kUrbStall,
     nullptr},
    {"device qualifier of a full-speed device",
     {kInDevice, usb_standard::GET_DESCRIPTOR, usb_standard::descriptorValue(usb_standard::DT_DEVICE_QUALIFIER), 0, 10},
     usbip::kUrbStall,
     nullptr},
    {"second configuration",
     {kInDevice, usb_standard::GET_DESCRIPTOR, usb_standard::descriptorValue(usb_standard::DT_CONFIG, 0x01), 0, 255},
     usbip::kUrbStall,
     nullptr},
    {"SET_CONFIGURATION 1", {kOutDevice, usb_standard::SET_CONFIGURATION, 1, 0, 0}, 0, nullptr},
    {"SET_CONFIGURATION 2", {kOutDevice, usb_standard::SET_CONFIGURATION, 2, 0, 0}, usbip::kUrbStall, nullptr},
    {"SET_INTERFACE 0/0", {kOutInterface, usb_standard::SET_INTERFACE, 0, 0, 0}, 0, nullptr},
    {"SET_INTERFACE alternate 1", {kOutInterface, usb_standard::SET_INTERFACE, 1, 0, 0}, usbip::kUrbStall, nullptr},
    {"SET_INTERFACE interface 1", {kOutInterface, usb_standard::SET_INTERFACE, 0, 1, 0}, usbip::kUrbStall, nullptr},
    {"CLEAR_FEATURE halt on 0x81",
     {kOutEndpoint, usb_standard::CLEAR_FEATURE, usb_standard::ENDPOINT_HALT, 0x81, 0},
     0,
     nullptr},
    {"CLEAR_FEATURE halt on 0x01",
     {kOutEndpoint, usb_standard::CLEAR_FEATURE, usb_standard::ENDPOINT_HALT, 0x01, 0},
     0,
     nullptr},
    {"CLEAR_FEATURE halt on 0x02",
     {kOutEndpoint, usb_standard::CLEAR_FEATURE, usb_standard::ENDPOINT_HALT, 0x02, 0},
     usbip::kUrbStall,
     nullptr},
    {"CLEAR_FEATURE remote wake-up",
     {kOutDevice, usb_standard::CLEAR_FEATURE, usb_standard::DEVICE_REMOTE_WAKEUP, 0, 0},
     usbip::kUrbStall,
     nullptr},
    {"GET_STATUS device",
     {kInDevice, usb_standard::GET_STATUS, 0, 0, 2},
     0,
     [](const Presence &) {
         return Bytes{0, 0};
     }},
    {"GET_STATUS endpoint 0x81",
     {0x82, 0, 0, 0x81, 2},
     0,
     [](const Presence &) {
         return Bytes{0, 0};
     }},
    {"GET_STATUS endpoint 0x05", {0x82, 0, 0, 0x05, 2}, usbip::kUrbStall, nullptr},
    {"SET_ADDRESS", {0x00, 5, 3, 0, 0}, usbip::kUrbStall, nullptr},
    {"SET_FEATURE halt", {0x02, 3, 0, 0x81, 0}, usbip::kUrbStall, nullptr},
    {"vendor request", {0xC0, 0x42, 0, 0, 16}, usbip::kUrbStall, nullptr},
};

TEST_F(UsbipServerTest, EndpointZeroAnswersTheStandardRequestsAndStallsTheRest) {
    startServer();
    auto client = importDevice();
    ASSERT_TRUE(client->connected());
    const Presence presence = device_->presence();
    for (const ControlCase &row : kControlCases) {
        auto reply = client->control(row.setup);
        ASSERT_TRUE(reply) << row.name << ": no reply";
        EXPECT_EQ(reply->status, row.status) << row.name;
        if (row.expected) {
            EXPECT_EQ(reply->data, row.expected(presence)) << row.name;
        } else {
            EXPECT_TRUE(reply->data.empty()) << row.name;
        }
    }
}

TEST_F(UsbipServerTest, ControlSubmitWhoseDirectionContradictsTheSetupStalls) {
    startServer();
    auto client = importDevice();
    // A GET_DESCRIPTOR sent as an OUT transfer.
    const uint32_t seqnum = client->submitOut(
        0, {},
        {kInDevice, usb_standard::GET_DESCRIPTOR, usb_standard::descriptorValue(usb_standard::DT_DEVICE), 0, 18});
    auto reply = client->receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->seqnum, seqnum);
    EXPECT_EQ(reply->status, usbip::kUrbStall);
}

TEST_F(UsbipServerTest, SubmitToAnEndpointTheDeviceDoesNotHaveFailsWithoutClosing) {
    startServer();
    auto client = importDevice();
    for (uint32_t endpoint : {2u, 15u}) {
        client->submitIn(endpoint, 64);
        auto reply = client->receive();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, usbip::kUrbNoEntry);
    }
    client->submitOut(1, stamped(statusReadFrame(), 1));  // OUT on 0x81's number the other way works
    auto written = client->receive();
    ASSERT_TRUE(written);
    EXPECT_EQ(written->status, 0);
}

// --- pending IN and unlink --------------------------------------------------------

TEST_F(UsbipServerTest, UnlinkOfAPendingInCancelsItWithEconnreset) {
    startServer();
    auto client = importDevice();
    const uint32_t in = client->submitIn(1, 255);  // nothing to read yet
    const uint32_t unlink = client->unlink(in);
    auto reply = client->receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->command, usbip::kRetUnlink);
    EXPECT_EQ(reply->seqnum, unlink);
    EXPECT_EQ(reply->status, usbip::kUrbUnlinked);

    // The cancelled IN must not take the next reply: a new IN gets it.
    auto status = command(*client, statusReadFrame());
    ASSERT_TRUE(status);
    EXPECT_EQ((*status)[1], sequence());
}

TEST_F(UsbipServerTest, UnlinkOfACompletedInAnswersZeroAfterItsReply) {
    startServer();
    auto client = importDevice();
    client->submitOut(1, stamped(statusReadFrame(), nextSequence()));
    ASSERT_TRUE(client->receive());
    const uint32_t in = client->submitIn(1, 255);
    auto data = client->receive();
    ASSERT_TRUE(data);
    EXPECT_EQ(data->seqnum, in);
    client->unlink(in);
    auto reply = client->receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->command, usbip::kRetUnlink);
    EXPECT_EQ(reply->status, 0);
}

TEST_F(UsbipServerTest, PendingInIsAnsweredWhenTheFrameArrivesLater) {
    startServer();
    auto client = importDevice();
    const uint32_t in = client->submitIn(1, 255);  // posted before the command, as a driver may
    const uint32_t out = client->submitOut(1, stamped(statusReadFrame(), nextSequence()));
    auto first = client->receive();
    auto second = client->receive();
    ASSERT_TRUE(first && second);
    // The two completions may come in either order; seqnums tell them apart.
    if (first->seqnum == in) std::swap(first, second);
    EXPECT_EQ(first->seqnum, out);
    EXPECT_EQ(second->seqnum, in);
    ASSERT_EQ(second->data.size(), 9u);
    EXPECT_EQ(second->data[1], sequence());
}

TEST_F(UsbipServerTest, ReplyLongerThanTheInBufferIsAnOverflowWithNoData) {
    startServer();
    auto client = importDevice();
    auto reply = client->exchange(stamped(statusReadFrame(), nextSequence()), 4);
    EXPECT_FALSE(reply);  // exchange() rejects a failed IN; look at the status itself
    client->submitOut(1, stamped(statusReadFrame(), nextSequence()));
    ASSERT_TRUE(client->receive());
    client->submitIn(1, 4);
    auto in = client->receive();
    ASSERT_TRUE(in);
    EXPECT_EQ(in->status, usbip::kUrbOverflow);
    EXPECT_EQ(in->actualLength, 0u);
    EXPECT_TRUE(in->data.empty());
}

// --- re-enumeration ------------------------------------------------------------------

TEST_F(UsbipServerTest, ModeSwitchAcknowledgesClosesAndRelistsWithNewIdsAndDevnum) {
    startServer();
    const uint32_t devnumBefore = listed().at(0).device.devnum;
    auto client = importDevice();
    auto ack = command(*client, programmingModeFrame(1));
    ASSERT_TRUE(ack) << "programming mode 1 was not acknowledged";
    EXPECT_EQ(ack->size(), 6u);
    EXPECT_EQ((*ack)[1], sequence());
    EXPECT_TRUE(client->waitForClose()) << "the imported connection survived the mode switch";
    EXPECT_FALSE(client->timedOut());

    EXPECT_TRUE(listed().empty()) << "listed while rebooting";
    clock_.advance(kRebootDelay);
    const auto devices = listed();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].device.idVendor, kBootVendorId);
    EXPECT_EQ(devices[0].device.idProduct, kBootProductId);
    EXPECT_NE(devices[0].device.devnum, devnumBefore);

    // The new device is imported anew, with its own devid, and answers.
    auto again = importDevice();
    EXPECT_EQ(again->devid(), usbip::makeDevid(1, devices[0].device.devnum));
    auto status = command(*again, statusReadFrame());
    ASSERT_TRUE(status);
    EXPECT_EQ((*status)[1], sequence());
}

// One server, two projectors: each listed under its own bus id, imported on
// its own, and restarting into programming mode without the other moving.
TEST_F(UsbipServerTest, TwoProjectorsAreListedImportedAndSwitchedEachOnItsOwn) {
    DeviceOptions options;
    options.rebootDelay = kRebootDelay;
    options.clock = &clock_;
    auto flashes = std::array{NorFlash::inMemory(), NorFlash::inMemory()};
    Tz4817Device first(*flashes[0], options), second(*flashes[1], options);
    UsbipServerOptions serverOptions;
    serverOptions.port = 0;
    server_ = std::make_unique<UsbipServer>(std::vector<EmulatedDevice *>{&first, &second}, serverOptions);
    std::string error;
    ASSERT_TRUE(server_->start(error)) << error;
    auto devices = listed();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].device.busId, "1-1");
    EXPECT_EQ(devices[1].device.busId, "1-2");
    EXPECT_NE(devices[0].device.devnum, devices[1].device.devnum);

    UsbipTestClient client(port());
    auto reply = client.import("1-2");
    ASSERT_TRUE(reply && reply->status == usbip::kOpStatusOk);
    EXPECT_EQ(reply->device->busId, "1-2");
    auto ack = command(client, programmingModeFrame(1));
    ASSERT_TRUE(ack);
    EXPECT_TRUE(client.waitForClose());
    EXPECT_EQ(second.framesReceived(), 1u);
    EXPECT_EQ(first.framesReceived(), 0u) << "the frame went to the other projector";
    devices = listed();
    ASSERT_EQ(devices.size(), 1u) << "the switched projector is restarting";
    EXPECT_EQ(devices[0].device.busId, "1-1");
    clock_.advance(kRebootDelay);
    devices = listed();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].device.idProduct, kAppProductId);
    EXPECT_EQ(devices[1].device.idProduct, kBootProductId);
    server_->stop();
}

TEST_F(UsbipServerTest, OldDevidIsRefusedAfterReimport) {
    startServer();
    auto client = importDevice();
    ASSERT_TRUE(command(*client, programmingModeFrame(1)));
    ASSERT_TRUE(client->waitForClose());
    clock_.advance(kRebootDelay);
    const uint32_t oldDevid = client->devid();
    UsbipTestClient next(port());
    ASSERT_TRUE(next.import());
    ASSERT_NE(next.devid(), oldDevid);
    next.setDevid(oldDevid);
    next.submitOut(1, stamped(statusReadFrame(), nextSequence()));
    EXPECT_TRUE(next.waitForClose()) << "a submit for the old devid was served";
}

// --- hostile clients ------------------------------------------------------------------

Bytes opHeader(uint16_t version, uint16_t code) {
    return {static_cast<uint8_t>(version >> 8),
            static_cast<uint8_t>(version),
            static_cast<uint8_t>(code >> 8),
            static_cast<uint8_t>(code),
            0,
            0,
            0,
            0};
}

Bytes urbHeader(uint32_t command, uint32_t devid, uint32_t direction, uint32_t endpoint, uint32_t length,
                uint32_t packets = 0) {
    Bytes out(usbip::kUrbHeaderSize, 0);
    auto put = [&](size_t offset, uint32_t value) {
        for (int i = 0; i < 4; ++i) out[offset + size_t(i)] = static_cast<uint8_t>(value >> (24 - 8 * i));
    };
    put(0x00, command);
    put(0x04, 1);
    put(0x08, devid);
    put(0x0C, direction);
    put(0x10, endpoint);
    put(0x18, length);
    put(0x20, packets);
    return out;
}

struct Garbage {
    const char *name;
    bool importFirst;
    std::function<Bytes(uint32_t devid)> bytes;
    bool clientCloses = false;  // the message is cut short by the client's close
};

const Garbage kGarbage[] = {
    {"random bytes", false,
     [](uint32_t) {
         std::mt19937 random(7);
         Bytes bytes(300);
         for (auto &byte : bytes) byte = static_cast<uint8_t>(random());
         return bytes;
     }},
    {"version 0x0110", false, [](uint32_t) { return opHeader(0x0110, usbip::kOpReqDevlist); }},
    {"a reply code as request", false, [](uint32_t) { return opHeader(0x0111, usbip::kOpRepImport); }},
    {"URB before import", false, [](uint32_t) { return urbHeader(usbip::kCmdSubmit, 0, 0, 1, 0); }},
    {"submit with another devid", true,
     [](uint32_t devid) { return urbHeader(usbip::kCmdSubmit, devid + 1, 1, 1, 64); }},
    {"unlink with another devid", true,
     [](uint32_t devid) { return urbHeader(usbip::kCmdUnlink, devid ^ 0x10000, 0, 0, 0); }},
    {"unknown command 9", true, [](uint32_t devid) { return urbHeader(9, devid, 0, 1, 0); }},
    {"RET_SUBMIT from the client", true, [](uint32_t devid) { return urbHeader(usbip::kRetSubmit, devid, 0, 0, 0); }},
    {"direction 7", true, [](uint32_t devid) { return urbHeader(usbip::kCmdSubmit, devid, 7, 1, 64); }},
    {"isochronous packets", true, [](uint32_t devid) { return urbHeader(usbip::kCmdSubmit, devid, 1, 1, 64, 4); }},
    {"OUT of 4 GiB", true, [](uint32_t devid) { return urbHeader(usbip::kCmdSubmit, devid, 0, 1, 0xFFFFFFF0); }},
    {"OUT that ends early", true,
     [](uint32_t devid) {
         Bytes out = urbHeader(usbip::kCmdSubmit, devid, 0, 1, 64);
         out.resize(out.size() + 10, 0x55);
         return out;
     },
     true},
};

TEST_F(UsbipServerTest, GarbageClosesOnlyThatConnectionAndTheServerKeepsServing) {
    startServer();
    for (const Garbage &row : kGarbage) {
        SCOPED_TRACE(row.name);
        {
            UsbipTestClient bad(port());
            ASSERT_TRUE(bad.connected());
            if (row.importFirst) {
                ASSERT_TRUE(bad.import());
            }
            bad.sendRaw(row.bytes(bad.devid()));
            if (!row.clientCloses) {
                EXPECT_TRUE(bad.waitForClose()) << "the server kept a connection that sent garbage";
                EXPECT_FALSE(bad.timedOut());
            }
        }
        // Another client is served, and can import once the bad one is gone.
        EXPECT_EQ(listed().size(), 1u);
        bool imported = false;
        for (int attempt = 0; attempt < 500 && !imported; ++attempt) {
            UsbipTestClient good(port());
            auto reply = good.import();
            ASSERT_TRUE(reply);
            if (reply->status == usbip::kOpStatusOk) {
                imported = true;
                auto status = command(good, statusReadFrame());
                ASSERT_TRUE(status);
                EXPECT_EQ((*status)[1], sequence());
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        EXPECT_TRUE(imported);
    }
}

TEST_F(UsbipServerTest, DuplicateSeqnumOfAPendingInClosesTheConnection) {
    startServer();
    UsbipTestClient client(port());
    ASSERT_TRUE(client.import());
    Bytes twice = urbHeader(usbip::kCmdSubmit, client.devid(), 1, 1, 64);
    twice.insert(twice.end(), twice.begin(), twice.end());
    client.sendRaw(twice);
    EXPECT_TRUE(client.waitForClose());
}

TEST_F(UsbipServerTest, StopEndsAnImportedConnectionWithAPendingIn) {
    startServer();
    auto client = importDevice();
    client->submitIn(1, 255);
    auto idle = std::make_unique<UsbipTestClient>(port());  // connected, never sends
    ASSERT_TRUE(idle->connected());
    server_->stop();
    EXPECT_TRUE(client->waitForClose());
    EXPECT_TRUE(idle->waitForClose());
    UsbipTestClient after(port());
    EXPECT_FALSE(after.connected()) << "still listening after stop()";
}

// --- listen address ------------------------------------------------------------------

TEST(UsbipListenAddress, ParsesHostPortAndBracketedIpv6AndRejectsTheRest) {
    struct Row {
        const char *text;
        bool ok;
        const char *host;
        uint16_t port;
    };
    const Row rows[] = {
        {"127.0.0.1:3240", true, "127.0.0.1", 3240},
        {"localhost:0", true, "localhost", 0},
        {"[::1]:40000", true, "::1", 40000},
        {"0.0.0.0:65535", true, "0.0.0.0", 65535},
        {"::1:3240", false, "", 0},
        {"127.0.0.1", false, "", 0},
        {":3240", false, "", 0},
        {"127.0.0.1:", false, "", 0},
        {"127.0.0.1:65536", false, "", 0},
        {"127.0.0.1:-1", false, "", 0},
        {"127.0.0.1:99999999999999999999", false, "", 0},
        {"[::1]3240", false, "", 0},
        {"[::1]:", false, "", 0},
        {"[::1", false, "", 0},
    };
    for (const Row &row : rows) {
        std::string error;
        const auto parsed = parseListenAddress(row.text, error);
        ASSERT_EQ(parsed.has_value(), row.ok) << row.text;
        if (!row.ok) {
            EXPECT_FALSE(error.empty()) << row.text;
            continue;
        }
        EXPECT_EQ(parsed->host, row.host) << row.text;
        EXPECT_EQ(parsed->port, row.port) << row.text;
    }
}

TEST(UsbipListenAddress, OnlyLoopbackHostsCountAsLoopback) {
    struct Row {
        const char *host;
        bool loopback;
    };
    const Row rows[] = {{"127.0.0.1", true}, {"127.4.8.17", true}, {"::1", true},       {"localhost", true},
                        {"0.0.0.0", false},  {"::", false},        {"192.0.2.1", false}};
    for (const Row &row : rows) {
        std::string error;
        EXPECT_EQ(isLoopbackHost(row.host, error), row.loopback) << row.host << " " << error;
    }
}

TEST(UsbipListenAddress, LocalhostListensWhereIpv4ClientsConnect) {
    auto flash = NorFlash::inMemory();
    Tz4817Device device(*flash);
    UsbipServerOptions options;
    options.host = "localhost";
    options.port = 0;
    UsbipServer server(device, options);
    std::string error;
    ASSERT_TRUE(server.start(error)) << error;
    EXPECT_EQ(server.address().rfind("127.0.0.1:", 0), 0u) << server.address();
    EXPECT_TRUE(server.loopback());
    EXPECT_TRUE(UsbipTestClient::list(server.port()));
}

}  // namespace
}  // namespace projector_emulator::test
