// SPDX-License-Identifier: MIT
// The USB/IP codec: wire layout, round trips, and malformed input.
#include "usbip/protocol.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace usbip {
namespace {

using Bytes = std::vector<uint8_t>;

uint32_t beU32(const Bytes &bytes, size_t offset) {
    return uint32_t{bytes[offset]} << 24 | uint32_t{bytes[offset + 1]} << 16 | uint32_t{bytes[offset + 2]} << 8 |
           bytes[offset + 3];
}

void setU32(Bytes &bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[offset + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

DeviceRecord sampleRecord() {
    DeviceRecord record;
    record.path = "/sys/devices/emulated/1-1";
    record.busId = "1-1";
    record.busnum = 1;
    record.devnum = 7;
    record.speed = kSpeedFull;
    record.idVendor = 0xE7A2;
    record.idProduct = 0x051E;
    record.bcdDevice = 0x0100;
    record.bDeviceClass = 0;
    record.bConfigurationValue = 1;
    record.bNumConfigurations = 1;
    record.bNumInterfaces = 1;
    return record;
}

// --- wire layout: a byte in the wrong place breaks every peer ----------------

TEST(UsbipLayout, OpHeaderIsBigEndianVersionCodeStatus) {
    Bytes out;
    appendOpHeader(out, kOpRepImport, kOpStatusNoSuchDevice);
    EXPECT_EQ(out, (Bytes{0x01, 0x11, 0x00, 0x03, 0x00, 0x00, 0x00, 0x04}));
}

TEST(UsbipLayout, DeviceRecordFieldsAtTheirOffsets) {
    Bytes out;
    appendDeviceRecord(out, sampleRecord());
    ASSERT_EQ(out.size(), kDeviceRecordSize);
    EXPECT_EQ(out[0], '/');
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&out[0x100])), "1-1");
    EXPECT_EQ(beU32(out, 0x120), 1u);
    EXPECT_EQ(beU32(out, 0x124), 7u);
    EXPECT_EQ(beU32(out, 0x128), kSpeedFull);
    EXPECT_EQ(out[0x12C], 0xE7);
    EXPECT_EQ(out[0x12D], 0xA2);
    EXPECT_EQ(out[0x12E], 0x05);
    EXPECT_EQ(out[0x12F], 0x1E);
    EXPECT_EQ(out[0x130], 0x01);
    EXPECT_EQ(out[0x135], 1);  // bConfigurationValue
    EXPECT_EQ(out[0x136], 1);  // bNumConfigurations
    EXPECT_EQ(out[0x137], 1);  // bNumInterfaces
}

TEST(UsbipLayout, ImportRequestIsFortyBytesWithPaddedBusId) {
    Bytes out;
    appendImportRequest(out, {"1-1"});
    ASSERT_EQ(out.size(), kImportRequestSize);
    EXPECT_EQ(out[3], 0x03);
    EXPECT_EQ(out[2], 0x80);
    EXPECT_EQ(out[8], '1');
    EXPECT_EQ(out[11], 0);
    EXPECT_EQ(out[39], 0);
}

TEST(UsbipLayout, CmdSubmitKeepsSetupPacketInUsbOrder) {
    CmdSubmit submit;
    submit.seqnum = 0x01020304;
    submit.devid = makeDevid(1, 2);
    submit.direction = Direction::In;
    submit.endpoint = 0;
    submit.transferBufferLength = 18;
    submit.setup = makeSetup({0x80, 0x06, 0x0100, 0x0000, 18});
    Bytes out;
    appendCmdSubmit(out, submit);
    ASSERT_EQ(out.size(), kUrbHeaderSize);
    EXPECT_EQ(beU32(out, 0x00), kCmdSubmit);
    EXPECT_EQ(beU32(out, 0x04), 0x01020304u);
    EXPECT_EQ(beU32(out, 0x08), 0x00010002u);
    EXPECT_EQ(beU32(out, 0x0C), 1u);
    EXPECT_EQ(beU32(out, 0x18), 18u);
    EXPECT_EQ(Bytes(out.begin() + 0x28, out.end()), (Bytes{0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00}));
}

TEST(UsbipLayout, RetUnlinkStatusIsSignedAtOffset20) {
    Bytes out;
    appendRetUnlink(out, {9, kUrbUnlinked});
    ASSERT_EQ(out.size(), kUrbHeaderSize);
    EXPECT_EQ(beU32(out, 0x00), kRetUnlink);
    EXPECT_EQ(beU32(out, 0x04), 9u);
    EXPECT_EQ(beU32(out, 0x14), 0xFFFFFF98u);
}

TEST(UsbipLayout, SetupPacketFieldsAreLittleEndian) {
    const SetupPacket setup = parseSetup({0x80, 0x06, 0x03, 0x02, 0x09, 0x04, 0xFF, 0x00});
    EXPECT_EQ(setup.wValue, 0x0203);
    EXPECT_EQ(setup.wIndex, 0x0409);
    EXPECT_EQ(setup.wLength, 0x00FF);
}

// --- round trips --------------------------------------------------------------

TEST(UsbipRoundTrip, DevlistReplyWithSeveralDevicesAndInterfaces) {
    DevlistReply reply;
    for (int devices : {0, 1, 3}) {
        reply.devices.clear();
        for (int i = 0; i < devices; ++i) {
            ListedDevice listed{sampleRecord(), {}};
            listed.device.devnum = static_cast<uint32_t>(10 + i);
            for (int j = 0; j < i + 1; ++j) listed.interfaces.push_back({0xFF, static_cast<uint8_t>(j), 0x00});
            listed.device.bNumInterfaces = static_cast<uint8_t>(listed.interfaces.size());
            reply.devices.push_back(listed);
        }
        Bytes out;
        appendDevlistReply(out, reply);
        out.push_back(0xAA);  // the start of whatever follows
        auto decoded = decodeDevlistReply(out);
        ASSERT_TRUE(decoded) << errorText(decoded.error());
        EXPECT_EQ(decoded.size(), out.size() - 1);
        EXPECT_EQ(decoded->devices, reply.devices) << devices << " devices";
    }
}

TEST(UsbipRoundTrip, DevlistReplyInterfaceCountFollowsTheRecordsWritten) {
    DevlistReply reply;
    ListedDevice listed{sampleRecord(), {{0xFF, 0, 0}, {0x08, 0x06, 0x50}}};
    listed.device.bNumInterfaces = 1;  // disagrees with the records given
    reply.devices.push_back(listed);
    Bytes out;
    appendDevlistReply(out, reply);
    auto decoded = decodeDevlistReply(out);
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->devices.size(), 1u);
    EXPECT_EQ(decoded->devices[0].interfaces.size(), 2u);
    EXPECT_EQ(decoded.size(), out.size());
}

TEST(UsbipRoundTrip, ImportRequestAndReplies) {
    Bytes request;
    appendImportRequest(request, {"2-1.4"});
    auto decodedRequest = decodeImportRequest(request);
    ASSERT_TRUE(decodedRequest);
    EXPECT_EQ(decodedRequest->busId, "2-1.4");

    Bytes success;
    appendImportReply(success, {kOpStatusOk, sampleRecord()});
    ASSERT_EQ(success.size(), kImportReplySize);
    auto decodedSuccess = decodeImportReply(success);
    ASSERT_TRUE(decodedSuccess);
    EXPECT_EQ(decodedSuccess->device, sampleRecord());

    Bytes failure;
    appendImportReply(failure, {kOpStatusBusy, sampleRecord()});
    ASSERT_EQ(failure.size(), kOpHeaderSize);  // header only on failure
    auto decodedFailure = decodeImportReply(failure);
    ASSERT_TRUE(decodedFailure);
    EXPECT_EQ(decodedFailure->status, kOpStatusBusy);
    EXPECT_FALSE(decodedFailure->device);
}

TEST(UsbipRoundTrip, OverlongStringsAreCutWithATerminatingNul) {
    DeviceRecord record = sampleRecord();
    record.busId = std::string(40, 'b');
    record.path = std::string(300, 'p');
    Bytes out;
    appendDeviceRecord(out, record);
    ASSERT_EQ(out.size(), kDeviceRecordSize);
    auto decoded = decodeDeviceRecord(out);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->busId, std::string(31, 'b'));
    EXPECT_EQ(decoded->path, std::string(255, 'p'));
}

TEST(UsbipRoundTrip, UnterminatedStringsStopAtTheFieldEnd) {
    Bytes out;
    appendDeviceRecord(out, sampleRecord());
    std::fill(out.begin(), out.begin() + 0x120, 'x');  // path and busid without any NUL
    auto decoded = decodeDeviceRecord(out);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->path.size(), kPathSize);
    EXPECT_EQ(decoded->busId.size(), kBusIdSize);
}

TEST(UsbipRoundTrip, SubmitOutCarriesItsDataAndLength) {
    const Bytes data{0x04, 0x01, 0x00, 0x03, 0x00, 0x34, 0x01, 0x01, 0x3A};
    CmdSubmit submit;
    submit.seqnum = 5;
    submit.devid = makeDevid(1, 3);
    submit.direction = Direction::Out;
    submit.endpoint = 1;
    submit.transferBufferLength = 999;  // replaced by the data's size
    Bytes out;
    appendCmdSubmit(out, submit, data);
    ASSERT_EQ(out.size(), kUrbHeaderSize + data.size());
    auto decoded = decodeUrbHeader(out);
    ASSERT_TRUE(decoded);
    const auto *header = std::get_if<CmdSubmit>(&decoded.value());
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->seqnum, 5u);
    EXPECT_EQ(header->devid, 0x00010003u);
    EXPECT_EQ(header->endpoint, 1u);
    EXPECT_EQ(header->direction, Direction::Out);
    ASSERT_EQ(submitDataLength(*header), data.size());
    EXPECT_EQ(Bytes(out.begin() + kUrbHeaderSize, out.end()), data);
}

TEST(UsbipRoundTrip, SubmitInSendsNoData) {
    CmdSubmit submit;
    submit.direction = Direction::In;
    submit.endpoint = 1;
    submit.transferBufferLength = 255;
    Bytes out;
    appendCmdSubmit(out, submit);
    ASSERT_EQ(out.size(), kUrbHeaderSize);
    auto decoded = decodeUrbHeader(out);
    ASSERT_TRUE(decoded);
    const auto &header = std::get<CmdSubmit>(decoded.value());
    EXPECT_EQ(header.transferBufferLength, 255u);
    EXPECT_EQ(submitDataLength(header), 0u);
}

TEST(UsbipRoundTrip, RetSubmitDataFollowsOnlyForIn) {
    const Bytes data{1, 2, 3, 4, 5, 6};
    Bytes in;
    appendRetSubmit(in, {7, kUrbOk, 0, 0, 0, 0}, Direction::In, data);
    ASSERT_EQ(in.size(), kUrbHeaderSize + data.size());
    auto decodedIn = decodeUrbHeader(in);
    ASSERT_TRUE(decodedIn);
    const auto &replyIn = std::get<RetSubmit>(decodedIn.value());
    EXPECT_EQ(replyIn.actualLength, data.size());
    auto lengthIn = retSubmitDataLength(replyIn, Direction::In, 255);
    ASSERT_TRUE(lengthIn);
    EXPECT_EQ(*lengthIn, data.size());

    Bytes out;
    appendRetSubmit(out, {8, kUrbOk, 9, 0, 0, 0}, Direction::Out);
    ASSERT_EQ(out.size(), kUrbHeaderSize);
    auto decodedOut = decodeUrbHeader(out);
    ASSERT_TRUE(decodedOut);
    const auto &replyOut = std::get<RetSubmit>(decodedOut.value());
    EXPECT_EQ(replyOut.actualLength, 9u);
    auto lengthOut = retSubmitDataLength(replyOut, Direction::Out, 9);
    ASSERT_TRUE(lengthOut);
    EXPECT_EQ(*lengthOut, 0u);
}

TEST(UsbipRoundTrip, UnlinkPair) {
    Bytes out;
    appendCmdUnlink(out, {12, makeDevid(1, 2), 11});
    appendRetUnlink(out, {12, kUrbUnlinked});
    auto unlink = decodeUrbHeader(out);
    ASSERT_TRUE(unlink);
    const auto &cmd = std::get<CmdUnlink>(unlink.value());
    EXPECT_EQ(cmd.seqnum, 12u);
    EXPECT_EQ(cmd.unlinkSeqnum, 11u);
    EXPECT_EQ(cmd.devid, 0x00010002u);
    auto ret = decodeUrbHeader(std::span<const uint8_t>(out).subspan(kUrbHeaderSize));
    ASSERT_TRUE(ret);
    EXPECT_EQ(std::get<RetUnlink>(ret.value()).status, kUrbUnlinked);
}

TEST(UsbipRoundTrip, NonIsochronousPacketCountAllOnesIsAccepted) {
    CmdSubmit submit;
    submit.numberOfPackets = 0xFFFFFFFF;
    Bytes out;
    appendCmdSubmit(out, submit);
    EXPECT_TRUE(decodeUrbHeader(out));
}

// --- malformed input ----------------------------------------------------------

// Every decoder, so that a table row names the one it feeds.
using Decoder = std::function<Error(std::span<const uint8_t>)>;
template <typename F>
Decoder errorOf(F decode) {
    return [decode](std::span<const uint8_t> in) { return decode(in).error(); };
}
const Decoder kOpHeader = errorOf(decodeOpHeader);
const Decoder kDevlistRequest = errorOf(decodeDevlistRequest);
const Decoder kImportRequest = errorOf(decodeImportRequest);
const Decoder kDevlistReply = errorOf(decodeDevlistReply);
const Decoder kImportReply = errorOf(decodeImportReply);
const Decoder kDeviceRecord = errorOf(decodeDeviceRecord);
const Decoder kUrb = errorOf(decodeUrbHeader);

Bytes devlistReplyBytes(int devices, int interfaces) {
    DevlistReply reply;
    for (int i = 0; i < devices; ++i) {
        ListedDevice listed{sampleRecord(), {}};
        listed.interfaces.assign(static_cast<size_t>(interfaces), {0xFF, 0, 0});
        reply.devices.push_back(listed);
    }
    Bytes out;
    appendDevlistReply(out, reply);
    return out;
}

Bytes submitBytes(Direction direction, uint32_t endpoint, uint32_t length) {
    CmdSubmit submit;
    submit.direction = direction;
    submit.endpoint = endpoint;
    submit.transferBufferLength = length;
    Bytes out;
    appendCmdSubmit(out, submit);
    return out;
}

struct Malformed {
    const char *name;
    std::function<Bytes()> bytes;
    const Decoder *decoder;
    Error expected;
};

const Malformed kMalformed[] = {
    {"empty op header", [] { return Bytes{}; }, &kOpHeader, Error::Short},
    {"op header of 7 bytes", [] { return Bytes{1, 0x11, 0x80, 5, 0, 0, 0}; }, &kOpHeader, Error::Short},
    {"version 0x0110", [] { return Bytes{1, 0x10, 0x80, 5, 0, 0, 0, 0}; }, &kDevlistRequest, Error::BadVersion},
    {"version 0x1101 (little-endian)", [] { return Bytes{0x11, 1, 0x80, 5, 0, 0, 0, 0}; }, &kOpHeader,
     Error::BadVersion},
    {"import request with devlist code",
     [] {
         Bytes out;
         appendOpHeader(out, kOpReqDevlist, 0);
         out.resize(kImportRequestSize);
         return out;
     },
     &kImportRequest, Error::BadCode},
    {"devlist request with import code",
     [] {
         Bytes out;
         appendImportRequest(out, {"1-1"});
         return out;
     },
     &kDevlistRequest, Error::BadCode},
    {"import request of 39 bytes",
     [] {
         Bytes out;
         appendImportRequest(out, {"1-1"});
         out.pop_back();
         return out;
     },
     &kImportRequest, Error::Short},
    {"devlist reply without its count", [] { return Bytes{1, 0x11, 0, 5, 0, 0, 0, 0}; }, &kDevlistReply, Error::Short},
    {"devlist reply announcing more devices than sent",
     [] {
         Bytes out = devlistReplyBytes(1, 1);
         setU32(out, 8, 2);
         return out;
     },
     &kDevlistReply, Error::Short},
    {"devlist reply announcing 2^32-1 devices",
     [] {
         Bytes out = devlistReplyBytes(1, 1);
         setU32(out, 8, 0xFFFFFFFF);
         return out;
     },
     &kDevlistReply, Error::TooManyDevices},
    {"devlist reply with more interfaces announced than sent",
     [] {
         Bytes out = devlistReplyBytes(1, 2);
         out[12 + 0x137] = 3;
         return out;
     },
     &kDevlistReply, Error::Short},
    {"devlist reply with 255 interfaces",
     [] {
         Bytes out = devlistReplyBytes(1, 1);
         out[12 + 0x137] = 255;
         out.resize(out.size() + 255 * 4);
         return out;
     },
     &kDevlistReply, Error::TooManyInterfaces},
    {"devlist reply with import code",
     [] {
         Bytes out = devlistReplyBytes(0, 0);
         out[3] = 3;
         return out;
     },
     &kDevlistReply, Error::BadCode},
    {"import reply OK without device record", [] { return Bytes{1, 0x11, 0, 3, 0, 0, 0, 0}; }, &kImportReply,
     Error::Short},
    {"import reply with one record byte missing",
     [] {
         Bytes out;
         appendImportReply(out, {kOpStatusOk, sampleRecord()});
         out.pop_back();
         return out;
     },
     &kImportReply, Error::Short},
    {"device record of 311 bytes", [] { return Bytes(kDeviceRecordSize - 1, 0); }, &kDeviceRecord, Error::Short},
    {"URB header of 47 bytes", [] { return Bytes(kUrbHeaderSize - 1, 0); }, &kUrb, Error::Short},
    {"URB command 0", [] { return Bytes(kUrbHeaderSize, 0); }, &kUrb, Error::BadCode},
    {"URB command 5",
     [] {
         Bytes out(kUrbHeaderSize, 0);
         out[3] = 5;
         return out;
     },
     &kUrb, Error::BadCode},
    {"submit with direction 2",
     [] {
         Bytes out = submitBytes(Direction::In, 1, 64);
         setU32(out, 0x0C, 2);
         return out;
     },
     &kUrb, Error::BadDirection},
    {"submit to endpoint 16", [] { return submitBytes(Direction::In, 16, 64); }, &kUrb, Error::BadEndpoint},
    {"submit IN of 1 MiB + 1", [] { return submitBytes(Direction::In, 1, kMaxTransferLength + 1); }, &kUrb,
     Error::LengthTooLarge},
    {"submit OUT of 4 GiB - 1",
     [] {
         Bytes out = submitBytes(Direction::Out, 1, 0);
         setU32(out, 0x18, 0xFFFFFFFF);
         return out;
     },
     &kUrb, Error::LengthTooLarge},
    {"isochronous submit",
     [] {
         Bytes out = submitBytes(Direction::In, 1, 64);
         setU32(out, 0x20, 1);
         return out;
     },
     &kUrb, Error::Isochronous},
    {"RET_SUBMIT with actual_length 2^31",
     [] {
         Bytes out;
         appendRetSubmit(out, {1, 0, 0, 0, 0, 0}, Direction::In);
         setU32(out, 0x18, 0x80000000);
         return out;
     },
     &kUrb, Error::LengthTooLarge},
    {"isochronous RET_SUBMIT",
     [] {
         Bytes out;
         appendRetSubmit(out, {1, 0, 0, 0, 0, 0}, Direction::In);
         setU32(out, 0x20, 8);
         return out;
     },
     &kUrb, Error::Isochronous},
};

TEST(UsbipMalformed, EachIsRejectedWithItsError) {
    for (const Malformed &row : kMalformed) {
        const Bytes bytes = row.bytes();
        EXPECT_EQ((*row.decoder)(bytes), row.expected)
            << row.name << ": expected " << errorText(row.expected) << ", got " << errorText((*row.decoder)(bytes));
    }
}

TEST(UsbipMalformed, ActualLengthLargerThanTheBufferAskedIsAnOverrun) {
    struct Row {
        Direction direction;
        uint32_t actual;
        uint32_t asked;
        Error expected;
    };
    const Row rows[] = {
        {Direction::In, 65, 64, Error::LengthOverrun}, {Direction::In, 1, 0, Error::LengthOverrun},
        {Direction::Out, 10, 9, Error::LengthOverrun},  // an OUT reply claiming more than was sent
        {Direction::In, 64, 64, Error::None},          {Direction::In, 0, 64, Error::None},
    };
    for (const Row &row : rows) {
        RetSubmit reply;
        reply.actualLength = row.actual;
        EXPECT_EQ(retSubmitDataLength(reply, row.direction, row.asked).error(), row.expected)
            << row.actual << " of " << row.asked;
    }
}

// Every proper prefix of a valid message is Short; the whole message decodes
// and says it took exactly its bytes.
TEST(UsbipMalformed, EveryTruncationOfAValidMessageIsShort) {
    struct Row {
        const char *name;
        Bytes bytes;
        const Decoder *decoder;
        std::function<size_t(std::span<const uint8_t>)> size;
    };
    Bytes devlistRequest, importRequest, importReply, retIn;
    appendDevlistRequest(devlistRequest);
    appendImportRequest(importRequest, {"1-1"});
    appendImportReply(importReply, {kOpStatusOk, sampleRecord()});
    appendRetSubmit(retIn, {}, Direction::In, Bytes{1, 2, 3});
    const Row rows[] = {
        {"devlist request", devlistRequest, &kDevlistRequest, [](auto in) { return decodeDevlistRequest(in).size(); }},
        {"import request", importRequest, &kImportRequest, [](auto in) { return decodeImportRequest(in).size(); }},
        {"devlist reply", devlistReplyBytes(2, 3), &kDevlistReply,
         [](auto in) { return decodeDevlistReply(in).size(); }},
        {"import reply", importReply, &kImportReply, [](auto in) { return decodeImportReply(in).size(); }},
        {"URB header", Bytes(retIn.begin(), retIn.begin() + kUrbHeaderSize), &kUrb,
         [](auto in) { return decodeUrbHeader(in).size(); }},
    };
    for (const Row &row : rows) {
        for (size_t length = 0; length < row.bytes.size(); ++length)
            ASSERT_EQ((*row.decoder)(std::span(row.bytes).first(length)), Error::Short)
                << row.name << " cut to " << length;
        EXPECT_EQ((*row.decoder)(row.bytes), Error::None) << row.name;
        EXPECT_EQ(row.size(row.bytes), row.bytes.size()) << row.name;
    }
}

}  // namespace
}  // namespace usbip
