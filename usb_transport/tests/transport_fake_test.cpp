// SPDX-License-Identifier: MIT
// The exported transport against a scripted driver: taking a device, the
// exchange's requests in order, failures the projector never produces, and
// the request records of QRV_WriteQrvUsb byte by byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>

#include "fake_driver.h"
#include "qrv_usb.h"
#include "qrvusb.h"
#include "usb_driver/driver_status.h"

namespace usb_transport::test {
namespace {

using namespace usb_driver;
using Bytes = std::vector<uint8_t>;

constexpr int32_t kDeviceNotFound = static_cast<int32_t>(WDU_ERR_DEVICE_NOT_FOUND);

// The status read as the command builders make it, in a 520-byte buffer.
std::array<uint8_t, 520> statusReadFrame() {
    std::array<uint8_t, 520> frame{};
    const uint8_t bytes[] = {0x04, 0x00, 0x00, 0x03, 0x00, 0x34, 0x01, 0x01, 0x39};
    std::memcpy(frame.data(), bytes, sizeof bytes);
    return frame;
}

class Transport : public ::testing::Test {
protected:
    void SetUp() override { testing::setSequenceNumber(1); }
    void TearDown() override {
        EXPECT_EQ(QRV_USBTerm(), 0);
        EXPECT_EQ(fake_.openConnections(), 0);
    }
    // Offers device `uniqueId` (interface 0) and opens the link.
    int32_t initWith(uint32_t uniqueId) {
        fake_.addDevice(uniqueId);
        fake_.pushEventAtNextRegistration(EVENT_ATTACH, uniqueId);
        const int32_t result = QRV_USBInit();
        // The attach event's acknowledgement has gone back.
        EXPECT_TRUE(fake_.waitUntilQuiet());
        return result;
    }
    int32_t statusRead(std::array<uint8_t, 520> &frame, uint32_t &capacity) {
        frame = statusReadFrame();
        capacity = 255;
        return QRV_WriteQrvUsbCmd(frame.data(), 9, &capacity);
    }
    std::vector<uint32_t> codesFrom(size_t first) {
        std::vector<uint32_t> codes;
        const auto log = fake_.requests();
        for (size_t i = first; i < log.size(); ++i)
            if (log[i].code != IOCTL_WAIT) codes.push_back(log[i].code);
        return codes;
    }

    FakeDriver fake_;
};

TEST_F(Transport, InitRegistersForBothModesAndSelectsInterfaceZero) {
    ASSERT_EQ(initWith(5), 0);
    const auto registration = fake_.requests(IOCTL_EVENT_REGISTER).at(0);
    const auto record = recordOf<EventRecord>(registration);
    EXPECT_EQ(record.dwAction, EVENT_ATTACH | EVENT_DETACH);
    EXPECT_EQ(record.dwOptions, EVENT_OPT_ACKNOWLEDGE);
    const Bytes entries(registration.record.begin() + 56, registration.record.begin() + 76);
    EXPECT_EQ(entries, (Bytes{0xA2, 0xE7, 0x1E, 0x05, 0, 0, 0, 0, 0, 0, 0xB9, 0xE7, 0x00, 0x20, 0, 0, 0, 0, 0, 0}));

    const auto selections = fake_.requests(IOCTL_SET_INTERFACE);
    ASSERT_EQ(selections.size(), 1u);
    const auto selection = recordOf<SetInterfaceRecord>(selections[0]);
    EXPECT_EQ(selection.dwUniqueID, 5u);
    EXPECT_EQ(selection.dwInterfaceNum, 0u);
    EXPECT_EQ(selection.dwAlternateSetting, 0u);
    ASSERT_TRUE(fake_.waitUntilQuiet());
    EXPECT_EQ(recordOf<EventRecord>(fake_.requests(IOCTL_EVENT_ACK).at(0)).dwOptions,
              EVENT_OPT_ACKNOWLEDGE | EVENT_OPT_ACCEPT);
}

TEST_F(Transport, SecondMatchingDeviceIsDeclined) {
    ASSERT_EQ(initWith(5), 0);
    fake_.addDevice(6);
    fake_.pushEvent(EVENT_ATTACH, 6);
    ASSERT_TRUE(fake_.waitUntilQuiet());
    const auto acks = fake_.requests(IOCTL_EVENT_ACK);
    ASSERT_EQ(acks.size(), 2u);
    EXPECT_EQ(recordOf<EventRecord>(acks[1]).dwUniqueID, 6u);
    EXPECT_EQ(recordOf<EventRecord>(acks[1]).dwOptions, EVENT_OPT_ACKNOWLEDGE);
    EXPECT_EQ(fake_.requests(IOCTL_SET_INTERFACE).size(), 1u);

    std::array<uint8_t, 520> frame;
    uint32_t capacity = 0;
    EXPECT_EQ(statusRead(frame, capacity), 0);
    for (const LoggedRequest &transfer : fake_.requests(IOCTL_TRANSFER))
        EXPECT_EQ(recordOf<TransferRecord>(transfer).dwUniqueID, 5u);
}

TEST_F(Transport, DeviceOnAnotherInterfaceIsPassedOver) {
    fake_.addDevice(6, 1);
    fake_.pushEvent(EVENT_ATTACH, 6);
    ASSERT_EQ(initWith(5), 0);
    ASSERT_TRUE(fake_.waitUntilQuiet());
    const auto acks = fake_.requests(IOCTL_EVENT_ACK);
    ASSERT_EQ(acks.size(), 2u);
    EXPECT_EQ(recordOf<EventRecord>(acks[0]).dwOptions, EVENT_OPT_ACKNOWLEDGE);
    EXPECT_EQ(recordOf<EventRecord>(acks[1]).dwOptions, EVENT_OPT_ACKNOWLEDGE | EVENT_OPT_ACCEPT);
    EXPECT_EQ(recordOf<SetInterfaceRecord>(fake_.requests(IOCTL_SET_INTERFACE).at(0)).dwUniqueID, 5u);
}

TEST_F(Transport, FailedInterfaceSelectionIsReportedByInit) {
    fake_.addDevice(5).setInterfaceStatus = kStatusStall;
    fake_.pushEvent(EVENT_ATTACH, 5);
    EXPECT_EQ(QRV_USBInit(), static_cast<int32_t>(kStatusStall));
    // Init closed the link itself; the device went back declined.
    EXPECT_EQ(fake_.openConnections(), 0);
    const auto acks = fake_.requests(IOCTL_EVENT_ACK);
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(recordOf<EventRecord>(acks[0]).dwOptions, EVENT_OPT_ACKNOWLEDGE);
    std::array<uint8_t, 520> frame;
    uint32_t capacity = 0;
    EXPECT_EQ(statusRead(frame, capacity), kDeviceNotFound);
}

// No projector ever comes: the attach wait runs out. The 30 seconds
// themselves are waited once per bus, in the end-to-end tests.
TEST_F(Transport, InitWithoutAProjectorTimesOutWhenTheAttachWaitEnds) {
    testing::setAttachWait(std::chrono::seconds(1));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(QRV_USBInit(), static_cast<int32_t>(WDU_ERR_TIMEOUT));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    testing::setAttachWait(std::chrono::seconds(0));
}

// A bus that has failed (a USB/IP server that broke the protocol) brings no
// projector: the wait ends at once with the bus's status, the link closed.
TEST_F(Transport, FailedBusEndsTheWaitAtOnceWithItsStatus) {
    fake_.pushEventAtNextRegistration(EVENT_BUS_FAILED, 0, kStatusProtocolError);
    testing::setAttachWait(std::chrono::seconds(60));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(QRV_USBInit(), static_cast<int32_t>(kStatusProtocolError));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    EXPECT_EQ(fake_.openConnections(), 0);
    testing::setAttachWait(std::chrono::seconds(0));
}

TEST_F(Transport, InitFailuresPassTheDeviceManagersStatusThrough) {
    fake_.version = 602;
    EXPECT_EQ(QRV_USBInit(), static_cast<int32_t>(WDU_ERR_VERSION));
    EXPECT_EQ(QRV_USBTerm(), 0);
    fake_.version = 1010;
    fake_.failOpen = true;
    EXPECT_EQ(QRV_USBInit(), static_cast<int32_t>(WDU_ERR_SYSTEM));
    EXPECT_EQ(QRV_USBTerm(), 0);
    EXPECT_EQ(QRV_USBTerm(), 0);
}

TEST_F(Transport, TermTwiceReleasesNothingTwice) {
    ASSERT_EQ(initWith(5), 0);
    EXPECT_EQ(QRV_USBTerm(), 0);
    EXPECT_EQ(fake_.openConnections(), 0);
    fake_.clearLog();
    EXPECT_EQ(QRV_USBTerm(), 0);
    EXPECT_TRUE(fake_.requests().empty());
    std::array<uint8_t, 520> frame;
    uint32_t capacity = 0;
    EXPECT_EQ(statusRead(frame, capacity), kDeviceNotFound);
}

TEST_F(Transport, InitWithoutTermClosesTheEarlierLinkFirst) {
    ASSERT_EQ(initWith(5), 0);
    ASSERT_EQ(initWith(6), 0);
    EXPECT_EQ(fake_.requests(IOCTL_EVENT_UNREGISTER).size(), 1u);
    EXPECT_EQ(fake_.requests(IOCTL_EVENT_REGISTER).size(), 2u);
}

// Opening the link reads pipe 0x81 with a short time-out until a read finds
// nothing: replies left by a run that died between a frame and its reply are
// dropped. A pipe that fails meanwhile is cleared, and the link still opens.
TEST_F(Transport, OpeningTheLinkReadsAwayRepliesNobodyAskedFor) {
    struct Case {
        const char *name;
        std::function<void(FakeDevice &)> script;
        std::vector<uint32_t> codes;  // after the interface selection
    };
    const Case cases[] = {
        {"two stale replies",
         [](FakeDevice &d) {
             d.nextReply = Bytes{0x02, 0x37, 0, 0, 0, 0x37};
             d.lastFrame = {0x04, 0x38, 0, 3, 0, 0x34, 0x01, 0x01, 0x71};
             d.replyPending = true;
         },
         {IOCTL_TRANSFER, IOCTL_TRANSFER, IOCTL_TRANSFER}},
        {"stalled pipe",
         [](FakeDevice &d) { d.inFailures.push_back(kStatusStall); },
         {IOCTL_TRANSFER, IOCTL_RESET_PIPE, IOCTL_RESET_PIPE}},
    };
    uint32_t id = 10;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.script(fake_.addDevice(++id));
        fake_.pushEventAtNextRegistration(EVENT_ATTACH, id);
        fake_.clearLog();
        ASSERT_EQ(QRV_USBInit(), 0);
        ASSERT_TRUE(fake_.waitUntilQuiet());
        const auto log = fake_.requests();
        const auto selection =
            std::find_if(log.begin(), log.end(), [](const auto &r) { return r.code == IOCTL_SET_INTERFACE; }) -
            log.begin();
        std::vector<uint32_t> codes;
        for (size_t i = selection + 1; i < log.size(); ++i)
            if (log[i].code == IOCTL_TRANSFER || log[i].code == IOCTL_RESET_PIPE) codes.push_back(log[i].code);
        EXPECT_EQ(codes, c.codes);
        for (const auto &transfer : fake_.requests(IOCTL_TRANSFER)) {
            const auto record = recordOf<TransferRecord>(transfer);
            EXPECT_EQ(record.dwPipeNum, 0x81u);
            EXPECT_EQ(record.fRead, 1u);
            EXPECT_EQ(record.dwTimeout, 50u);
        }
        std::array<uint8_t, 520> frame;
        uint32_t capacity = 0;
        EXPECT_EQ(statusRead(frame, capacity), 0) << "a stale reply taken for the status read's";
        EXPECT_EQ(QRV_USBTerm(), 0);
    }
}

TEST_F(Transport, StatusReadIsStampedAndAnswered) {
    ASSERT_EQ(initWith(5), 0);
    std::array<uint8_t, 520> frame;
    uint32_t capacity = 0;
    ASSERT_EQ(statusRead(frame, capacity), 0);
    const auto transfers = fake_.requests(IOCTL_TRANSFER);
    ASSERT_EQ(transfers.size(), 3u);  // the first: opening the link found no reply waiting
    EXPECT_EQ(transfers[1].data, (Bytes{0x04, 0x01, 0x00, 0x03, 0x00, 0x34, 0x01, 0x01, 0x3A}));
    const auto read = recordOf<TransferRecord>(transfers[2]);
    EXPECT_EQ(read.dwPipeNum, 0x81u);
    EXPECT_EQ(read.fRead, 1u);
    EXPECT_EQ(read.dwBufferSize, 255u);
    EXPECT_EQ(read.dwTimeout, 2000u);
    EXPECT_EQ(capacity, 9u);  // one data byte asked for
    EXPECT_EQ(frame[1], 0x01);
    EXPECT_EQ(frame[7], 0xA0);
    EXPECT_EQ(testing::sequenceNumber(), 2);
    // Each exchange checks the device first: a size query and a fetch.
    EXPECT_EQ(fake_.requests(IOCTL_DEVICE_INFO).size(), 4u);  // two of them at attach
}

TEST_F(Transport, FailedWriteIsResetAndTheReadDecides) {
    ASSERT_EQ(initWith(5), 0);
    fake_.withDevice(5, [](FakeDevice &d) {
        d.outFailures.push_back(kStatusStall);
        d.failedWritesArrive = true;
    });
    const size_t start = fake_.requests().size();
    std::array<uint8_t, 520> frame;
    uint32_t capacity = 0;
    ::testing::internal::CaptureStdout();
    const int32_t result = statusRead(frame, capacity);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Reseting USB\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(codesFrom(start), (std::vector<uint32_t>{IOCTL_DEVICE_INFO, IOCTL_DEVICE_INFO, IOCTL_TRANSFER,
                                                       IOCTL_RESET_PIPE, IOCTL_RESET_PIPE, IOCTL_TRANSFER}));
    const auto resets = fake_.requests(IOCTL_RESET_PIPE);
    ASSERT_EQ(resets.size(), 2u);
    EXPECT_EQ(recordOf<ResetPipeRecord>(resets[0]).dwPipeNum, 0x01u);
    EXPECT_EQ(recordOf<ResetPipeRecord>(resets[1]).dwPipeNum, 0x81u);
    EXPECT_EQ(testing::sequenceNumber(), 2);
}

TEST_F(Transport, FailedReadKeepsTheCounterAndReportsTheBytesRead) {
    ASSERT_EQ(initWith(5), 0);
    fake_.withDevice(5, [](FakeDevice &d) {
        d.inFailures.push_back(kStatusTimeout);
        d.transferredOnFailure = 4;
    });
    std::array<uint8_t, 520> frame;
    uint32_t capacity = 0;
    ::testing::internal::CaptureStdout();
    const int32_t result = statusRead(frame, capacity);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Reseting USB\n");
    EXPECT_EQ(result, static_cast<int32_t>(WDU_ERR_TIMEOUT));
    EXPECT_EQ(capacity, 4u);
    EXPECT_EQ(fake_.requests(IOCTL_RESET_PIPE).size(), 2u);
    EXPECT_EQ(testing::sequenceNumber(), 1);

    ::testing::internal::CaptureStdout();
    ASSERT_EQ(statusRead(frame, capacity), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    const auto transfers = fake_.requests(IOCTL_TRANSFER);
    EXPECT_EQ(transfers.at(3).data.at(1), 0x01) << "the number is sent again";
}

TEST_F(Transport, ExchangeAfterDetachFailsWithoutTouchingTheBuffer) {
    ASSERT_EQ(initWith(5), 0);
    fake_.pushEvent(EVENT_DETACH, 5);
    ASSERT_TRUE(fake_.waitUntilQuiet());
    EXPECT_FALSE(testing::deviceTaken());
    fake_.clearLog();
    std::array<uint8_t, 520> frame = statusReadFrame();
    const auto before = frame;
    uint32_t capacity = 255;
    ::testing::internal::CaptureStdout();
    const int32_t result = QRV_WriteQrvUsbCmd(frame.data(), 9, &capacity);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(result, kDeviceNotFound);
    EXPECT_EQ(frame, before);
    EXPECT_EQ(capacity, 255u);
    EXPECT_EQ(testing::sequenceNumber(), 1);
    for (const LoggedRequest &request : fake_.requests()) EXPECT_EQ(request.code, IOCTL_WAIT);
}

TEST_F(Transport, DeviceArrivingAfterDetachIsTakenAgain) {
    ASSERT_EQ(initWith(5), 0);
    fake_.pushEvent(EVENT_DETACH, 5);
    fake_.addDevice(6);
    fake_.pushEvent(EVENT_ATTACH, 6);
    ASSERT_TRUE(fake_.waitUntilQuiet());
    std::array<uint8_t, 520> frame;
    uint32_t capacity = 0;
    EXPECT_EQ(statusRead(frame, capacity), 0);
    EXPECT_EQ(recordOf<TransferRecord>(fake_.requests(IOCTL_TRANSFER).at(1)).dwUniqueID, 6u);
}

TEST_F(Transport, WrongEchoFailsTheExchangeButAdvancesTheCounter) {
    ASSERT_EQ(initWith(5), 0);
    fake_.withDevice(5, [](FakeDevice &d) { d.wrongEcho = true; });
    std::array<uint8_t, 520> frame;
    uint32_t capacity = 0;
    EXPECT_EQ(statusRead(frame, capacity), 1);
    EXPECT_EQ(testing::sequenceNumber(), 2);
}

TEST_F(Transport, ReplyTooShortToCarryAnEchoIsNoSuccess) {
    ASSERT_EQ(initWith(5), 0);
    for (const Bytes &reply : {Bytes{}, Bytes{0x04}}) {
        fake_.withDevice(5, [&](FakeDevice &d) { d.nextReply = reply; });
        std::array<uint8_t, 520> frame;
        uint32_t capacity = 0;
        // Byte 1 of the buffer still holds the frame's own number.
        EXPECT_EQ(statusRead(frame, capacity), 1) << reply.size() << " bytes";
        EXPECT_EQ(capacity, reply.size());
    }
}

// Every failed transfer and every failed exchange leaves one line on
// standard error that names the command and what happened; standard output
// keeps only "Reseting USB". A good exchange says nothing.
TEST_F(Transport, EachFailedExchangeNamesItsCommandAndWhatHappened) {
    ASSERT_EQ(initWith(5), 0);
    const Bytes status = {0x04, 0x00, 0x00, 0x03, 0x00, 0x34, 0x01, 0x01, 0x39};
    const Bytes leave = {0x02, 0x00, 0x00, 0x03, 0x00, 0x34, 0x30, 0x02, 0x69};
    const Bytes checksum = {0x04, 0x00, 0x00, 0x06, 0x00, 0x34, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x44};
    const Bytes download = {0x02, 0x00, 0x00, 0x04, 0x00, 0x34, 0x25, 0xAB, 0xCD, 0x00};
    struct Case {
        const char *what;
        Bytes frame;
        std::function<void(FakeDevice &)> fault;
        const char *line;  // null: nothing
    };
    const Case cases[] = {
        {"good", status, [](FakeDevice &) {}, nullptr},
        {"write stalled", status, [](FakeDevice &d) { d.outFailures = {kStatusStall}, d.failedWritesArrive = true; },
         "tz4817: the projector stalled the status read command\n"},
        {"write timed out", leave, [](FakeDevice &d) { d.outFailures = {kStatusTimeout}, d.failedWritesArrive = true; },
         "tz4817: the projector did not take the programming mode 2 command within 2000 ms\n"},
        {"no reply", download, [](FakeDevice &d) { d.inFailures = {kStatusTimeout}; },
         "tz4817: no reply to the flash data download command within 2000 ms\n"},
        {"gone during the read", checksum, [](FakeDevice &d) { d.inFailures = {kStatusDeviceNotFound}; },
         "tz4817: the projector left the bus during the flash information read (checksum) command\n"},
        {"reply stalled", status, [](FakeDevice &d) { d.inFailures = {kStatusStall}; },
         "tz4817: the projector stalled the reply to the status read command\n"},
        {"read failed", status, [](FakeDevice &d) { d.inFailures = {kStatusTransferFailed}; },
         "tz4817: the reply to the status read command could not be read (status 0x20000041)\n"},
        {"wrong echo", leave, [](FakeDevice &d) { d.wrongEcho = true; },
         "tz4817: the reply to the programming mode 2 command answered another command (echo 18, expected 17)\n"},
        {"one byte", status, [](FakeDevice &d) { d.wrongEcho = false, d.nextReply = Bytes{0x04}; },
         "tz4817: the reply to the status read command was 1 byte long, too short to tell which command it "
         "answers\n"},
        {"device gone", status, [](FakeDevice &d) { d.present = false; },
         "tz4817: the projector has left the bus: the status read command was not sent\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        testing::setSequenceNumber(17);
        fake_.withDevice(5, c.fault);
        std::array<uint8_t, 520> frame{};
        std::copy(c.frame.begin(), c.frame.end(), frame.begin());
        uint32_t capacity = 255;
        ::testing::internal::CaptureStderr();
        ::testing::internal::CaptureStdout();
        const int32_t result = QRV_WriteQrvUsbCmd(frame.data(), static_cast<uint32_t>(c.frame.size()), &capacity);
        const std::string out = ::testing::internal::GetCapturedStdout();
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(err, c.line ? c.line : "");
        EXPECT_EQ(out.find("tz4817"), std::string::npos) << out;
        EXPECT_EQ(result == 0, c.line == nullptr || std::string(c.what).rfind("write", 0) == 0) << result;
    }
}

TEST_F(Transport, InvalidFrameArgumentsSendNothing) {
    ASSERT_EQ(initWith(5), 0);
    fake_.clearLog();
    std::array<uint8_t, 520> frame = statusReadFrame();
    uint32_t capacity = 255;
    EXPECT_EQ(QRV_WriteQrvUsbCmd(nullptr, 9, &capacity), 1);
    EXPECT_EQ(QRV_WriteQrvUsbCmd(frame.data(), 9, nullptr), 1);
    EXPECT_EQ(QRV_WriteQrvUsbCmd(frame.data(), 5, &capacity), 1);
    EXPECT_EQ(QRV_WriteQrvUsbCmd(frame.data(), 258, &capacity), 1);
    EXPECT_EQ(QRV_WriteQrvUsbCmd(frame.data(), 0xFFFFFFFF, &capacity), 1);
    EXPECT_EQ(frame, statusReadFrame());
    EXPECT_EQ(capacity, 255u);
    EXPECT_EQ(testing::sequenceNumber(), 1);
    for (const LoggedRequest &request : fake_.requests()) EXPECT_EQ(request.code, IOCTL_WAIT);

    // The limits themselves are frames.
    for (uint32_t length : {6u, 257u}) {
        frame.fill(0);
        capacity = 255;
        EXPECT_EQ(QRV_WriteQrvUsbCmd(frame.data(), length, &capacity), 0) << length;
        EXPECT_EQ(fake_.requests(IOCTL_TRANSFER).back().data.size(), 0u) << "the read comes last";
    }
    const auto transfers = fake_.requests(IOCTL_TRANSFER);
    ASSERT_EQ(transfers.size(), 4u);
    EXPECT_EQ(transfers[0].data.size(), 6u);
    EXPECT_EQ(transfers[2].data.size(), 257u);
}

struct RequestCase {
    Bytes record;
    Bytes frame;          // sent with counter 1
    uint32_t readLength;  // bytes asked of the device
};

TEST_F(Transport, RequestRecordsAreFramedByteByByte) {
    const RequestCase cases[] = {
        {{0x35, 0x10, 0x20, 0x00, 0x04}, {0x04, 0x01, 0x00, 0x05, 0x00, 0x34, 0x02, 0x04, 0x10, 0x20, 0x70}, 12},
        {{0x34, 0x30, 0x02, 0x00, 0x00}, {0x02, 0x01, 0x00, 0x03, 0x00, 0x34, 0x30, 0x02, 0x6A}, 6},
        {{0x13, 0x10, 0x20, 0x01, 0x02, 0x77},
         {0x04, 0x01, 0x00, 0x06, 0x00, 0x12, 0x03, 0x02, 0x10, 0x20, 0x77, 0xC5},
         10},
    };
    ASSERT_EQ(initWith(5), 0);
    for (const RequestCase &c : cases) {
        testing::setSequenceNumber(1);
        fake_.clearLog();
        std::array<uint8_t, 520> record{};
        std::copy(c.record.begin(), c.record.end(), record.begin());
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(QRV_WriteQrvUsb(record.data()), 0);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
        const auto transfers = fake_.requests(IOCTL_TRANSFER);
        ASSERT_EQ(transfers.size(), 2u);
        EXPECT_EQ(transfers[0].data, c.frame);
        EXPECT_EQ(recordOf<TransferRecord>(transfers[1]).dwBufferSize, c.readLength);
        EXPECT_EQ(testing::sequenceNumber(), 2);
    }
}

TEST_F(Transport, RequestReplyDataComesBackWithItsCount) {
    ASSERT_EQ(initWith(5), 0);
    std::array<uint8_t, 520> record{0x35, 0x10, 0x20, 0x00, 0x04};
    ASSERT_EQ(QRV_WriteQrvUsb(record.data()), 0);
    EXPECT_EQ(record[4], 4);
    EXPECT_EQ((Bytes(record.begin() + 5, record.begin() + 10)), (Bytes{0xA0, 0xA1, 0xA2, 0xA3, 0x00}));

    // A write gets no data back.
    record = {0x34, 0x30, 0x02, 0x00, 0x09};
    ASSERT_EQ(QRV_WriteQrvUsb(record.data()), 0);
    EXPECT_EQ(record[4], 0);
}

TEST_F(Transport, RequestDataCountNeverExceedsWhatArrivedOrWasAsked) {
    struct Case {
        Bytes reply;  // echo filled in
        uint8_t expectedCount;
    };
    const Case cases[] = {
        {{0x04, 0, 0, 200, 0, 0x34, 0x02, 1, 2, 3, 4}, 3},       // claims 198, delivered 3
        {{0x04, 0, 0, 50, 0, 0x34, 0x02, 1, 2, 3, 4, 5, 6}, 4},  // never more than asked
        {{0x04, 0, 0, 2, 0, 0x34, 0x02, 0}, 0},                  // no data
        {{0x04, 0, 0, 1, 0, 0x34, 0x02, 0}, 0},                  // below the two leading bytes
        {{0x04, 0, 0, 0, 0, 0x34}, 0},
    };
    ASSERT_EQ(initWith(5), 0);
    for (const Case &c : cases) {
        Bytes reply = c.reply;
        reply[1] = testing::sequenceNumber();
        fake_.withDevice(5, [&](FakeDevice &d) { d.nextReply = reply; });
        std::array<uint8_t, 520> record{0x35, 0x10, 0x20, 0x00, 0x04};
        record[9] = 0xEE;
        ASSERT_EQ(QRV_WriteQrvUsb(record.data()), 0);
        EXPECT_EQ(record[4], c.expectedCount) << "byte 3 = " << int(c.reply[3]);
        EXPECT_EQ(record[9], 0xEE) << "copied past the data that came";
    }
}

TEST_F(Transport, RequestReplyWithWrongEchoIsIgnoredButNotAFailure) {
    ASSERT_EQ(initWith(5), 0);
    fake_.withDevice(5, [](FakeDevice &d) { d.wrongEcho = true; });
    std::array<uint8_t, 520> record{0x35, 0x10, 0x20, 0x00, 0x04};
    EXPECT_EQ(QRV_WriteQrvUsb(record.data()), 0);
    EXPECT_EQ(record[4], 4);  // left as it was
    EXPECT_EQ(record[5], 0);
    EXPECT_EQ(testing::sequenceNumber(), 2);
}

TEST_F(Transport, InvalidRequestRecordsSendNothing) {
    ASSERT_EQ(initWith(5), 0);
    fake_.clearLog();
    const Bytes records[] = {
        {0x36, 0x10, 0x20, 0x00, 0x04}, {0x00, 0x00, 0x00, 0x00, 0x00},
        {0x14, 0x00, 0x00, 0x00, 0x00}, {0x34, 0x00, 0x00, 249, 0x00},  // over the write payload limit
        {0x12, 0x00, 0x00, 255, 0x00},  {0x35, 0x00, 0x00, 247, 0x00},  // over the read payload limit
        {0x13, 0x00, 0x00, 255, 0x00},
    };
    for (const Bytes &bytes : records) {
        std::array<uint8_t, 520> record{};
        std::copy(bytes.begin(), bytes.end(), record.begin());
        EXPECT_EQ(QRV_WriteQrvUsb(record.data()), 1) << std::hex << int(bytes[0]) << " " << std::dec << int(bytes[3]);
    }
    EXPECT_EQ(QRV_WriteQrvUsb(nullptr), 1);
    EXPECT_TRUE(fake_.requests(IOCTL_TRANSFER).empty());
    EXPECT_EQ(testing::sequenceNumber(), 1);
}

TEST_F(Transport, LargestRequestPayloadsFitTheChecksum) {
    ASSERT_EQ(initWith(5), 0);
    struct Case {
        uint8_t code, payload;
        size_t frameLength;
    };
    for (const Case &c : {Case{0x34, 248, 257}, Case{0x35, 246, 257}}) {
        fake_.clearLog();
        std::array<uint8_t, 520> record{};
        record[0] = c.code;
        record[3] = c.payload;
        for (int i = 0; i < c.payload; ++i) record[5 + i] = static_cast<uint8_t>(i);
        EXPECT_EQ(QRV_WriteQrvUsb(record.data()), 0);
        const Bytes frame = fake_.requests(IOCTL_TRANSFER).at(0).data;
        ASSERT_EQ(frame.size(), c.frameLength);
        uint8_t sum = 0;
        for (size_t i = 1; i + 1 < frame.size(); ++i) sum = static_cast<uint8_t>(sum + frame[i]);
        EXPECT_EQ(frame.back(), sum);
    }
}

TEST_F(Transport, RequestFailuresResetQuietly) {
    ASSERT_EQ(initWith(5), 0);
    fake_.withDevice(5, [](FakeDevice &d) { d.inFailures.push_back(kStatusTransferFailed); });
    std::array<uint8_t, 520> record{0x35, 0x10, 0x20, 0x00, 0x04};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(QRV_WriteQrvUsb(record.data()), static_cast<int32_t>(kStatusTransferFailed));
    EXPECT_EQ(testing::sequenceNumber(), 1);
    fake_.withDevice(5, [](FakeDevice &d) { d.outFailures.push_back(kStatusTransferFailed); });
    EXPECT_EQ(QRV_WriteQrvUsb(record.data()), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(fake_.requests(IOCTL_RESET_PIPE).size(), 4u);
}

}  // namespace
}  // namespace usb_transport::test
