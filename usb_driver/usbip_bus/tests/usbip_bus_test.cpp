// SPDX-License-Identifier: MIT
// The USB/IP bus against the emulator's USB/IP server (through the driver, as
// the device manager uses it) and against small hostile servers that break
// the protocol.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <future>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "driver_client.h"
#include "fake_bus.h"
#include "test_support/scripted_usbip_server.h"
#include "projector_emulator/clock.h"
#include "projector_emulator/device.h"
#include "projector_emulator/nor_flash.h"
#include "projector_emulator/usbip_server.h"
#include "usbip/protocol.h"
#include "usbip_bus/usbip_bus.h"

namespace usb_driver::test {
namespace {

using namespace std::chrono_literals;

const std::vector<uint8_t> kStatusRead = {0x04, 0x01, 0x00, 0x03, 0x00, 0x34, 0x01, 0x01, 0x3A};
std::vector<uint8_t> programmingMode1(uint8_t sequence) {
    return {0x02, sequence, 0x00, 0x03, 0x00, 0x34, 0x30, 0x01, static_cast<uint8_t>(0x68 + sequence)};
}

UsbipBus::Options fastOptions(uint16_t port) {
    UsbipBus::Options options;
    options.host = "127.0.0.1";
    options.port = port;
    options.pollInterval = 10ms;
    options.controlTimeout = 1000ms;
    options.operationTimeout = 2000ms;
    options.unlinkTimeout = 1000ms;
    return options;
}

// Waits for a condition that the code under test makes true; the limit is a
// safety net against a hang, not a claim about speed.
template <typename Predicate>
bool eventually(std::mutex &mutex, std::condition_variable &changed, Predicate predicate) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 20s, predicate);
}

// A listener that records what the bus reports.
struct Recorder : BusListener {
    bool wanted(uint16_t, uint16_t, const std::string &place) override { return onlyAt.empty() || place == onlyAt; }
    void busFailed(uint32_t status) override {
        std::lock_guard lock(mutex);
        failures.push_back(status);
        changed.notify_all();
    }
    void deviceArrived(const BusDevice &device) override {
        std::lock_guard lock(mutex);
        arrived.push_back(device);
        changed.notify_all();
    }
    void deviceLeft(uint64_t key) override {
        std::lock_guard lock(mutex);
        left.push_back(key);
        changed.notify_all();
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<BusDevice> arrived;
    std::vector<uint64_t> left;
    std::vector<uint32_t> failures;
    std::string onlyAt;  // wanted only at this place; empty: anywhere
};

// --- against the emulator's server ------------------------------------------------------

class UsbipDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        flash = projector_emulator::NorFlash::inMemory();
        projector_emulator::DeviceOptions options;
        options.rebootDelay = 100ms;
        options.clock = &clock;
        options.faults = faults;
        device = std::make_unique<projector_emulator::Tz4817Device>(*flash, options);
        projector_emulator::UsbipServerOptions serverOptions;
        serverOptions.port = 0;
        server = std::make_unique<projector_emulator::UsbipServer>(*device, serverOptions);
        std::string error;
        ASSERT_TRUE(server->start(error)) << error;
        const uint16_t port = server->port();
        usb_driver::testing::setBusFactory([port] { return std::make_shared<UsbipBus>(fastOptions(port)); });
    }
    void TearDown() override {
        usb_driver::testing::setBusFactory({});
        server.reset();
    }

    uint32_t take(Client &client, uint32_t &handle) {
        handle = client.registerFor({entry(projector_emulator::kAppVendorId, projector_emulator::kAppProductId),
                                     entry(projector_emulator::kBootVendorId, projector_emulator::kBootProductId)});
        EventRecord event = client.next(handle);
        EXPECT_EQ(event.dwAction, EVENT_ATTACH);
        EXPECT_EQ(client.setInterface(event.dwUniqueID, 0, 0), kStatusOk);
        EXPECT_EQ(client.acknowledge(event, true), kStatusOk);
        return event.dwUniqueID;
    }

    std::vector<projector_emulator::Fault> faults;
    std::unique_ptr<projector_emulator::NorFlash> flash;
    projector_emulator::ManualClock clock;
    std::unique_ptr<projector_emulator::Tz4817Device> device;
    std::unique_ptr<projector_emulator::UsbipServer> server;
};

TEST_F(UsbipDriverTest, ImportedDeviceIsAttachedAndAnswersAFrame) {
    Client client;
    uint32_t handle = 0;
    const uint32_t id = take(client, handle);
    std::vector<uint8_t> block = client.deviceInfo(id);
    ASSERT_GE(block.size(), sizeof(DeviceInfo));
    const auto *info = reinterpret_cast<const DeviceInfo *>(block.data());
    EXPECT_EQ(info->Descriptor.idVendor, projector_emulator::kAppVendorId);
    EXPECT_EQ(info->pActiveInterface[0]->pActiveAltSetting->Descriptor.bInterfaceNumber, 0);

    std::vector<uint8_t> frame = kStatusRead;
    uint32_t transferred = 0;
    ASSERT_EQ(Client::transfer(id, 0x01, frame.data(), 9, transferred), kStatusOk);
    EXPECT_EQ(transferred, 9u);
    uint8_t reply[255] = {};
    ASSERT_EQ(Client::transfer(id, 0x81, reply, sizeof reply, transferred), kStatusOk);
    EXPECT_EQ(transferred, 9u);
    EXPECT_EQ(reply[1], 1);
    EXPECT_EQ(client.resetPipe(id, 0x01), kStatusOk);
    EXPECT_EQ(client.resetPipe(id, 0x81), kStatusOk);
}

class UsbipDropTest : public UsbipDriverTest {
protected:
    void SetUp() override {
        faults = {projector_emulator::Fault{projector_emulator::Fault::Kind::DropReply, 1, 1}};
        UsbipDriverTest::SetUp();
    }
};

TEST_F(UsbipDropTest, ReadWithoutReplyIsUnlinkedAndTheNextReadGetsItsOwnReply) {
    Client client;
    uint32_t handle = 0;
    const uint32_t id = take(client, handle);
    std::vector<uint8_t> frame = kStatusRead;
    uint8_t reply[255] = {};
    uint32_t transferred = 0;
    ASSERT_EQ(Client::transfer(id, 0x01, frame.data(), 9, transferred), kStatusOk);
    EXPECT_EQ(Client::transfer(id, 0x81, reply, sizeof reply, transferred, 50), kStatusTimeout);
    EXPECT_EQ(transferred, 0u);
    // Had the timed-out read stayed pending at the server, it would take this
    // reply and the read below would time out.
    frame[1] = 2;
    frame[8] = 0x3B;
    ASSERT_EQ(Client::transfer(id, 0x01, frame.data(), 9, transferred), kStatusOk);
    ASSERT_EQ(Client::transfer(id, 0x81, reply, sizeof reply, transferred), kStatusOk);
    EXPECT_EQ(reply[1], 2);
}

TEST_F(UsbipDriverTest, ModeSwitchIsADetachThenTheDeviceIsImportedAgain) {
    Client client;
    uint32_t handle = 0;
    const uint32_t first = take(client, handle);
    std::vector<uint8_t> frame = programmingMode1(5);
    uint8_t reply[255] = {};
    uint32_t transferred = 0;
    ASSERT_EQ(Client::transfer(first, 0x01, frame.data(), 9, transferred), kStatusOk);
    ASSERT_EQ(Client::transfer(first, 0x81, reply, sizeof reply, transferred), kStatusOk);
    EXPECT_EQ(transferred, 6u);

    EventRecord detach = client.next(handle);
    EXPECT_EQ(detach.dwAction, EVENT_DETACH);
    EXPECT_EQ(detach.dwUniqueID, first);
    EXPECT_EQ(Client::transfer(first, 0x81, reply, sizeof reply, transferred), kStatusDeviceNotFound);

    clock.advance(100ms);
    EventRecord attach = client.next(handle);
    ASSERT_EQ(attach.dwAction, EVENT_ATTACH);
    EXPECT_NE(attach.dwUniqueID, first);
    std::vector<uint8_t> block = client.deviceInfo(attach.dwUniqueID);
    ASSERT_GE(block.size(), sizeof(DeviceInfo));
    const auto *info = reinterpret_cast<const DeviceInfo *>(block.data());
    EXPECT_EQ(info->Descriptor.idVendor, 0xE7B9);
    EXPECT_EQ(info->Descriptor.idProduct, 0x2000);
}

TEST_F(UsbipDriverTest, DefaultBusFollowsQrvUsbip) {
    usb_driver::testing::setBusFactory({});
    const std::string address = "127.0.0.1:" + std::to_string(server->port());
    ASSERT_EQ(::setenv("QRV_USBIP", address.c_str(), 1), 0);
    {
        Client client;
        ASSERT_NE(client.get(), nullptr);
        uint32_t handle = 0;
        EXPECT_NE(take(client, handle), 0u);
    }
    ASSERT_EQ(::setenv("QRV_USBIP", "127.0.0.1:99999", 1), 0);
    EXPECT_EQ(driverOpen(), nullptr) << "a malformed address gives no bus";
    ::unsetenv("QRV_USBIP");
}

TEST_F(UsbipDriverTest, StopEndsAPendingTransferAndReturns) {
    auto bus = std::make_shared<UsbipBus>(fastOptions(server->port()));
    Recorder recorder;
    ASSERT_EQ(bus->start(recorder), kStatusOk);
    ASSERT_TRUE(eventually(recorder.mutex, recorder.changed, [&] { return !recorder.arrived.empty(); }));
    const uint64_t key = recorder.arrived[0].key;
    ASSERT_EQ(bus->open(key), kStatusOk);
    // A read with no time-out and nothing to read: only stop() ends it.
    auto pending = std::async(std::launch::async, [&] {
        uint8_t buffer[64];
        TransferRequest request;
        request.pipe = 0x81;
        request.in = true;
        request.buffer = buffer;
        request.length = sizeof buffer;
        uint32_t transferred = 0;
        return bus->transfer(key, request, transferred);
    });
    bus->stop();
    EXPECT_EQ(pending.get(), kStatusDeviceNotFound);
    std::lock_guard lock(recorder.mutex);
    EXPECT_TRUE(recorder.left.empty()) << "stop() reports no departures";
}

// --- against hostile servers ------------------------------------------------------------

using ScriptedServer = test_support::ScriptedUsbipServer;
using test_support::answer;
using test_support::descriptors;
using test_support::importOk;
using test_support::listing;
using test_support::refusal;

// Short bounds: a hostile server makes every wait run to its end.
UsbipBus::Options hostileOptions(uint16_t port) {
    UsbipBus::Options options = fastOptions(port);
    options.controlTimeout = 100ms;
    options.unlinkTimeout = 100ms;
    options.operationTimeout = 200ms;
    return options;
}

struct HostileCase {
    const char *what;
    ScriptedServer::Script script;
    bool arrives;
    // What the one line on standard error says after "USB/IP server
    // 127.0.0.1:PORT " when the server broke the protocol; null when it did
    // not (the import is tried again, quietly).
    const char *failure;
};

// A broken server fails the bus at once with its fault named; one that is
// merely busy or slow is asked again. Neither ever yields a device that
// does not work.
TEST(UsbipHostileServerTest, BrokenServersAreNamedAtOnceAndNeverYieldADevice) {
    const std::vector<uint8_t> device = simpleDeviceDescriptor(0xE7A2, 0x051E);
    const std::vector<uint8_t> config = simpleConfigDescriptor();
    auto listed = [](int) { return listing(true); };
    auto good = [&](const usbip::CmdSubmit &s) { return descriptors(s, device, config); };
    std::vector<HostileCase> cases = {
        {"a well-behaved server (control)", {listed, importOk(), good}, true, nullptr},
        {"device count of 2^32-1",
         {[](int) {
              std::vector<uint8_t> bytes;
              usbip::appendOpHeader(bytes, usbip::kOpRepDevlist, 0);
              bytes.insert(bytes.end(), {0xFF, 0xFF, 0xFF, 0xFF});
              return bytes;
          },
          importOk(), good},
         false,
         "sent a malformed device list (too many devices)"},
        {"device list refused",
         {[](int) { return refusal(usbip::kOpRepDevlist, 5); }, importOk(), good},
         false,
         "refused the device list (status 5)"},
        {"device list cut short",
         {[](int) {
              auto b = listing(true);
              b.resize(100);
              return b;
          },
          importOk(), good},
         false,
         "sent a malformed device list (it ends after 100 bytes)"},
        {"a device without a bus id",
         {[](int) {
              usbip::DevlistReply reply;
              reply.devices.push_back(usbip::ListedDevice{test_support::projectorRecord(""), {{0xFF, 0, 0}}});
              std::vector<uint8_t> bytes;
              usbip::appendDevlistReply(bytes, reply);
              return bytes;
          },
          importOk(""), good},
         false,
         "sent a malformed device list (a device without a proper bus id)"},
        {"import of another bus id",
         {listed, importOk("9-9"), good},
         false,
         "sent a malformed import reply for 1-1 (it names 9-9)"},
        {"import reply cut short",
         {listed,
          [] {
              auto b = importOk();
              b.resize(50);
              return b;
          }(),
          good},
         false,
         "sent a malformed import reply for 1-1 (short message)"},
        {"import refused as busy", {listed, refusal(usbip::kOpRepImport, usbip::kOpStatusBusy), good}, false, nullptr},
        {"import refused for a device error",
         {listed, refusal(usbip::kOpRepImport, usbip::kOpStatusDeviceError), good},
         false,
         "refused to import 1-1 (status 3: device error)"},
        {"reply longer than asked",
         {listed, importOk(),
          [&](const usbip::CmdSubmit &s) {
              return answer(s, std::vector<uint8_t>(s.transferBufferLength + 10, 0x12));
          }},
         false,
         "broke the protocol on 1-1: it sent more data than was asked for"},
        {"reply to a seqnum never sent",
         {listed, importOk(),
          [&](const usbip::CmdSubmit &s) {
              usbip::CmdSubmit other = s;
              other.seqnum += 1000;
              return descriptors(other, device, config);
          }},
         false,
         "broke the protocol on 1-1: it answered a request never sent (seqnum 1001)"},
        {"garbage instead of a reply",
         {listed, importOk(), [](const usbip::CmdSubmit &) { return std::vector<uint8_t>(48, 0xA5); }},
         false,
         "broke the protocol on 1-1: it sent a message that is not USB/IP"},
        {"a command instead of a reply",
         {listed, importOk(),
          [](const usbip::CmdSubmit &s) {
              std::vector<uint8_t> b;
              usbip::appendCmdUnlink(b, usbip::CmdUnlink{s.seqnum, s.devid, 1});
              usbip::appendCmdSubmit(b, s);
              return b;
          }},
         false,
         "broke the protocol on 1-1: it sent a command instead of a reply"},
        {"header then hang-up",
         {listed, importOk(),
          [&](const usbip::CmdSubmit &s) {
              auto b = descriptors(s, device, config);
              b.resize(50);
              return b;
          }},
         false,
         nullptr},
        {"stalls every request",
         {listed, importOk(), [&](const usbip::CmdSubmit &s) { return answer(s, {}, usbip::kUrbStall); }},
         false,
         nullptr},
        {"descriptors of another device",
         {listed, importOk(),
          [&](const usbip::CmdSubmit &s) { return descriptors(s, simpleDeviceDescriptor(0x1234, 0x5678), config); }},
         false,
         "broke the protocol on 1-1 (its descriptor says 1234:5678, the device list e7a2:051e)"},
        {"configuration claiming 64 KiB",
         {listed, importOk(),
          [&](const usbip::CmdSubmit &s) {
              std::vector<uint8_t> huge = config;
              huge[2] = 0xFF, huge[3] = 0xFF;
              return descriptors(s, device, huge);
          }},
         true,
         nullptr},
    };
    for (HostileCase &c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server(std::move(c.script));
        UsbipBus bus(hostileOptions(server.port()));
        Recorder recorder;
        ::testing::internal::CaptureStderr();
        ASSERT_EQ(bus.start(recorder), kStatusOk);
        // A server that is not broken is asked a few times: every failed
        // import is tried again. A broken one fails the bus at its first fault.
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        auto settled = [&] {
            std::scoped_lock lock(server.mutex, recorder.mutex);
            return server.devlists >= 4 || !recorder.failures.empty();
        };
        while (!settled() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(2ms);
        ASSERT_TRUE(settled());
        bus.stop();
        const std::string said = ::testing::internal::GetCapturedStderr();
        std::lock_guard lock(recorder.mutex);
        if (c.failure) {
            EXPECT_EQ(recorder.failures, std::vector<uint32_t>{kStatusProtocolError});
            const std::string line =
                "tz4817: USB/IP server 127.0.0.1:" + std::to_string(server.port()) + " " + c.failure;
            EXPECT_EQ(said.rfind(line, 0), 0u) << said;
            EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
            std::lock_guard serverLock(server.mutex);
            EXPECT_EQ(server.devlists, 1) << "a broken server is not asked again";
        } else {
            EXPECT_TRUE(recorder.failures.empty());
            EXPECT_EQ(said, "");
        }
        EXPECT_EQ(recorder.arrived.size(), c.arrives ? 1u : 0u);
        EXPECT_TRUE(recorder.left.empty());
        if (c.arrives) {
            EXPECT_EQ(recorder.arrived[0].vendorId, 0xE7A2);
            EXPECT_EQ(recorder.arrived[0].deviceDescriptor, device);
            EXPECT_LE(recorder.arrived[0].configDescriptor.size(), config.size());
        }
    }
}

TEST(UsbipHostileServerTest, MissingFromTheListIsNoDepartureButAClosedConnectionIs) {
    const std::vector<uint8_t> device = simpleDeviceDescriptor(0xE7A2, 0x051E);
    const std::vector<uint8_t> config = simpleConfigDescriptor();
    std::atomic<bool> hangUp{false};
    ScriptedServer server({[](int poll) { return listing(poll == 0); }, importOk(),
                           [&](const usbip::CmdSubmit &s) {
                               if (hangUp) return std::vector<uint8_t>();
                               return descriptors(s, device, config);
                           }});
    UsbipBus bus(fastOptions(server.port()));
    Recorder recorder;
    ASSERT_EQ(bus.start(recorder), kStatusOk);
    ASSERT_TRUE(eventually(recorder.mutex, recorder.changed, [&] { return recorder.arrived.size() == 1; }));
    ASSERT_TRUE(eventually(server.mutex, server.changed, [&] { return server.devlists >= 5; }));
    {
        std::lock_guard lock(recorder.mutex);
        EXPECT_TRUE(recorder.left.empty()) << "an imported device that is no longer listed has not left";
    }
    // The server ends the import at the next request.
    const uint64_t key = recorder.arrived[0].key;
    ASSERT_EQ(bus.open(key), kStatusOk);
    hangUp = true;
    EXPECT_EQ(bus.resetPipe(key, 0x81), kStatusDeviceNotFound);
    ASSERT_TRUE(eventually(recorder.mutex, recorder.changed, [&] { return recorder.left.size() == 1; }));
    EXPECT_EQ(recorder.left[0], key);
    bus.stop();
}

// While no transfer is in flight no caller reads the connection, but what
// the server sends is still read and checked: a stray message fails the bus
// and ends the import.
TEST(UsbipHostileServerTest, StrayMessageWhileNothingIsInFlightFailsTheBus) {
    const std::vector<uint8_t> device = simpleDeviceDescriptor(0xE7A2, 0x051E);
    const std::vector<uint8_t> config = simpleConfigDescriptor();
    std::atomic<int> submits{0};
    // The answer to the last descriptor request has garbage behind it.
    ScriptedServer server({[](int) { return listing(true); }, importOk(),
                           [&](const usbip::CmdSubmit &s) {
                               std::vector<uint8_t> bytes = descriptors(s, device, config);
                               if (++submits == 3) bytes.insert(bytes.end(), 48, 0xA5);
                               return bytes;
                           }});
    UsbipBus bus(fastOptions(server.port()));
    Recorder recorder;
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(bus.start(recorder), kStatusOk);
    // Reported as arrived before the garbage was read, it leaves again.
    ASSERT_TRUE(eventually(recorder.mutex, recorder.changed, [&] {
        return !recorder.failures.empty() && recorder.left.size() == recorder.arrived.size();
    }));
    bus.stop();
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("broke the protocol on 1-1: it sent a message that is not USB/IP"), std::string::npos) << said;
    std::lock_guard lock(recorder.mutex);
    EXPECT_EQ(recorder.failures, std::vector<uint32_t>{kStatusProtocolError});
    EXPECT_EQ(submits, 3);
    if (!recorder.left.empty()) {
        EXPECT_EQ(recorder.left[0], recorder.arrived[0].key);
    }
}

TEST(UsbipHostileServerTest, SilentServerIsUnlinkedThenDropped) {
    const std::vector<uint8_t> device = simpleDeviceDescriptor(0xE7A2, 0x051E);
    const std::vector<uint8_t> config = simpleConfigDescriptor();
    // Answers the descriptor requests, then nothing: neither submits nor unlinks.
    ScriptedServer server({[](int) { return listing(true); }, importOk(),
                           [&](const usbip::CmdSubmit &s) {
                               if (s.endpoint == 0) return descriptors(s, device, config);
                               return std::vector<uint8_t>(1, 0);  // one stray byte, then silence
                           }});
    UsbipBus::Options options = fastOptions(server.port());
    options.unlinkTimeout = 50ms;
    UsbipBus bus(options);
    Recorder recorder;
    ASSERT_EQ(bus.start(recorder), kStatusOk);
    ASSERT_TRUE(eventually(recorder.mutex, recorder.changed, [&] { return recorder.arrived.size() == 1; }));
    const uint64_t key = recorder.arrived[0].key;
    ASSERT_EQ(bus.open(key), kStatusOk);
    uint8_t buffer[64];
    TransferRequest request;
    request.pipe = 0x81;
    request.in = true;
    request.buffer = buffer;
    request.length = sizeof buffer;
    request.timeoutMs = 20;
    uint32_t transferred = 7;
    EXPECT_EQ(bus.transfer(key, request, transferred), kStatusTimeout);
    EXPECT_EQ(transferred, 0u);
    ASSERT_TRUE(eventually(recorder.mutex, recorder.changed, [&] { return recorder.left.size() == 1; }));
    EXPECT_EQ(bus.transfer(key, request, transferred), kStatusDeviceNotFound);
    bus.stop();
}

TEST(UsbipHostileServerTest, StopReturnsWhileTheServerNeverAnswers) {
    // Accepts and reads, never answers: discovery waits in its device-list
    // exchange when stop() comes.
    std::atomic<bool> released{false};
    ScriptedServer server({[&](int) {
                               while (!released) std::this_thread::sleep_for(1ms);
                               return std::vector<uint8_t>();
                           },
                           {},
                           nullptr});
    struct Release {
        std::atomic<bool> &flag;
        ~Release() { flag = true; }
    } release{released};  // before the server goes, also when an assertion fails
    UsbipBus::Options options = fastOptions(server.port());
    options.operationTimeout = 60s;
    UsbipBus bus(options);
    Recorder recorder;
    ASSERT_EQ(bus.start(recorder), kStatusOk);
    ASSERT_TRUE(eventually(server.mutex, server.changed, [&] { return server.devlists >= 1; }));
    bus.stop();
    EXPECT_EQ(bus.start(recorder), kStatusOk) << "a stopped bus starts again";
    bus.stop();
}

TEST(UsbipAddressTest, ServerAddressesParseOrAreRefused) {
    struct Case {
        const char *text;
        bool ok;
        const char *host;
        uint16_t port;
    } cases[] = {
        {"127.0.0.1", true, "127.0.0.1", 3240},
        {"emu.local:4000", true, "emu.local", 4000},
        {"[::1]:3241", true, "::1", 3241},
        {"[::1]", true, "::1", 3240},
        {"::1", true, "::1", 3240},
        {"host:0", false, "", 0},
        {"host:65536", false, "", 0},
        {"host:", false, "", 0},
        {":3240", false, "", 0},
        {"host:12a", false, "", 0},
        {"[::1", false, "", 0},
        {"[]:1", false, "", 0},
        {"[::1]x", false, "", 0},
    };
    for (const Case &c : cases) {
        auto address = parseServerAddress(c.text);
        ASSERT_EQ(address.has_value(), c.ok) << c.text;
        if (!address) continue;
        EXPECT_EQ(address->host, c.host) << c.text;
        EXPECT_EQ(address->port, c.port) << c.text;
    }
}

}  // namespace
}  // namespace usb_driver::test
