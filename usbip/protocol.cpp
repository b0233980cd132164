// SPDX-License-Identifier: MIT
// USB/IP encoders and decoders. Every read goes through Reader, which checks
// the remaining length first, so a decoder can only run out of input (Short),
// never past it.
#include "usbip/protocol.h"

#include <algorithm>
#include <cstring>

namespace usbip {
namespace {

void putU8(std::vector<uint8_t> &out, uint8_t value) { out.push_back(value); }

void putU16(std::vector<uint8_t> &out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

void putU32(std::vector<uint8_t> &out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void putI32(std::vector<uint8_t> &out, int32_t value) { putU32(out, static_cast<uint32_t>(value)); }

// A NUL-padded string field of `width` bytes; the text is cut so that at
// least one NUL ends it.
void putString(std::vector<uint8_t> &out, const std::string &text, size_t width) {
    const size_t length = std::min(text.size(), width - 1);
    out.insert(out.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length));
    out.insert(out.end(), width - length, 0);
}

void putZeros(std::vector<uint8_t> &out, size_t count) { out.insert(out.end(), count, 0); }

class Reader {
public:
    explicit Reader(std::span<const uint8_t> in) : in_(in) {}

    bool has(size_t count) const { return in_.size() - position_ >= count; }
    size_t position() const { return position_; }

    // Callers check has() first; these never read past the input.
    uint8_t u8() { return in_[position_++]; }
    uint16_t u16() {
        const uint16_t value = static_cast<uint16_t>(in_[position_] << 8 | in_[position_ + 1]);
        position_ += 2;
        return value;
    }
    uint32_t u32() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value = value << 8 | in_[position_ + static_cast<size_t>(i)];
        position_ += 4;
        return value;
    }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    std::string string(size_t width) {
        const auto field = in_.subspan(position_, width);
        const auto end = std::find(field.begin(), field.end(), uint8_t{0});
        position_ += width;
        return std::string(field.begin(), end);
    }
    void skip(size_t count) { position_ += count; }
    void bytes(uint8_t *target, size_t count) {
        std::memcpy(target, in_.data() + position_, count);
        position_ += count;
    }

private:
    std::span<const uint8_t> in_;
    size_t position_ = 0;
};

// Reads the common header; the caller has checked has(kOpHeaderSize).
Result<OpHeader> readOpHeader(Reader &reader) {
    OpHeader header;
    header.version = reader.u16();
    header.code = reader.u16();
    header.status = reader.u32();
    if (header.version != kVersion) return Error::BadVersion;
    return Result<OpHeader>(header, kOpHeaderSize);
}

// Reads a device record; the caller has checked has(kDeviceRecordSize).
DeviceRecord readDeviceRecord(Reader &reader) {
    DeviceRecord record;
    record.path = reader.string(kPathSize);
    record.busId = reader.string(kBusIdSize);
    record.busnum = reader.u32();
    record.devnum = reader.u32();
    record.speed = reader.u32();
    record.idVendor = reader.u16();
    record.idProduct = reader.u16();
    record.bcdDevice = reader.u16();
    record.bDeviceClass = reader.u8();
    record.bDeviceSubClass = reader.u8();
    record.bDeviceProtocol = reader.u8();
    record.bConfigurationValue = reader.u8();
    record.bNumConfigurations = reader.u8();
    record.bNumInterfaces = reader.u8();
    return record;
}

InterfaceRecord readInterfaceRecord(Reader &reader) {
    InterfaceRecord record;
    record.bInterfaceClass = reader.u8();
    record.bInterfaceSubClass = reader.u8();
    record.bInterfaceProtocol = reader.u8();
    reader.skip(1);
    return record;
}

bool isochronous(uint32_t numberOfPackets) { return numberOfPackets != 0 && numberOfPackets != 0xFFFFFFFF; }

}  // namespace

const char *errorText(Error error) {
    switch (error) {
    case Error::None: return "no error";
    case Error::Short: return "short message";
    case Error::BadVersion: return "unsupported protocol version";
    case Error::BadCode: return "unexpected operation code or command";
    case Error::BadDirection: return "bad direction";
    case Error::BadEndpoint: return "bad endpoint number";
    case Error::LengthTooLarge: return "transfer length too large";
    case Error::LengthOverrun: return "actual length larger than the buffer asked for";
    case Error::TooManyDevices: return "too many devices";
    case Error::TooManyInterfaces: return "too many interfaces";
    case Error::Isochronous: return "isochronous transfer";
    }
    return "unknown error";
}

// --- operation messages -------------------------------------------------------

void appendOpHeader(std::vector<uint8_t> &out, uint16_t code, uint32_t status) {
    putU16(out, kVersion);
    putU16(out, code);
    putU32(out, status);
}

void appendDeviceRecord(std::vector<uint8_t> &out, const DeviceRecord &record) {
    putString(out, record.path, kPathSize);
    putString(out, record.busId, kBusIdSize);
    putU32(out, record.busnum);
    putU32(out, record.devnum);
    putU32(out, record.speed);
    putU16(out, record.idVendor);
    putU16(out, record.idProduct);
    putU16(out, record.bcdDevice);
    putU8(out, record.bDeviceClass);
    putU8(out, record.bDeviceSubClass);
    putU8(out, record.bDeviceProtocol);
    putU8(out, record.bConfigurationValue);
    putU8(out, record.bNumConfigurations);
    putU8(out, record.bNumInterfaces);
}

void appendInterfaceRecord(std::vector<uint8_t> &out, const InterfaceRecord &record) {
    putU8(out, record.bInterfaceClass);
    putU8(out, record.bInterfaceSubClass);
    putU8(out, record.bInterfaceProtocol);
    putU8(out, 0);
}

void appendDevlistRequest(std::vector<uint8_t> &out) { appendOpHeader(out, kOpReqDevlist, kOpStatusOk); }

void appendDevlistReply(std::vector<uint8_t> &out, const DevlistReply &reply) {
    appendOpHeader(out, kOpRepDevlist, reply.status);
    if (reply.status != kOpStatusOk) return;
    putU32(out, static_cast<uint32_t>(reply.devices.size()));
    for (const ListedDevice &listed : reply.devices) {
        const size_t count = std::min<size_t>(listed.interfaces.size(), kMaxInterfaces);
        DeviceRecord record = listed.device;
        record.bNumInterfaces = static_cast<uint8_t>(count);
        appendDeviceRecord(out, record);
        for (size_t i = 0; i < count; ++i) appendInterfaceRecord(out, listed.interfaces[i]);
    }
}

void appendImportRequest(std::vector<uint8_t> &out, const ImportRequest &request) {
    appendOpHeader(out, kOpReqImport, kOpStatusOk);
    putString(out, request.busId, kBusIdSize);
}

void appendImportReply(std::vector<uint8_t> &out, const ImportReply &reply) {
    appendOpHeader(out, kOpRepImport, reply.status);
    if (reply.status != kOpStatusOk) return;
    appendDeviceRecord(out, reply.device.value_or(DeviceRecord{}));
}

Result<OpHeader> decodeOpHeader(std::span<const uint8_t> in) {
    Reader reader(in);
    if (!reader.has(kOpHeaderSize)) return Error::Short;
    return readOpHeader(reader);
}

Result<size_t> opRequestSize(const OpHeader &header) {
    switch (header.code) {
    case kOpReqDevlist: return Result<size_t>(kDevlistRequestSize, 0);
    case kOpReqImport: return Result<size_t>(kImportRequestSize, 0);
    default: return Error::BadCode;
    }
}

Result<OpHeader> decodeDevlistRequest(std::span<const uint8_t> in) {
    auto header = decodeOpHeader(in);
    if (!header) return header;
    if (header->code != kOpReqDevlist) return Error::BadCode;
    return header;
}

Result<ImportRequest> decodeImportRequest(std::span<const uint8_t> in) {
    Reader reader(in);
    if (!reader.has(kOpHeaderSize)) return Error::Short;
    auto header = readOpHeader(reader);
    if (!header) return header.error();
    if (header->code != kOpReqImport) return Error::BadCode;
    if (!reader.has(kBusIdSize)) return Error::Short;
    ImportRequest request;
    request.busId = reader.string(kBusIdSize);
    return Result<ImportRequest>(std::move(request), kImportRequestSize);
}

Result<DeviceRecord> decodeDeviceRecord(std::span<const uint8_t> in) {
    Reader reader(in);
    if (!reader.has(kDeviceRecordSize)) return Error::Short;
    return Result<DeviceRecord>(readDeviceRecord(reader), kDeviceRecordSize);
}

Result<InterfaceRecord> decodeInterfaceRecord(std::span<const uint8_t> in) {
    Reader reader(in);
    if (!reader.has(kInterfaceRecordSize)) return Error::Short;
    return Result<InterfaceRecord>(readInterfaceRecord(reader), kInterfaceRecordSize);
}

Result<DevlistReply> decodeDevlistReply(std::span<const uint8_t> in) {
    Reader reader(in);
    if (!reader.has(kOpHeaderSize)) return Error::Short;
    auto header = readOpHeader(reader);
    if (!header) return header.error();
    if (header->code != kOpRepDevlist) return Error::BadCode;
    DevlistReply reply;
    reply.status = header->status;
    if (reply.status != kOpStatusOk) return Result<DevlistReply>(std::move(reply), reader.position());

    if (!reader.has(4)) return Error::Short;
    const uint32_t count = reader.u32();
    if (count > kMaxDevices) return Error::TooManyDevices;
    // Check that every record is there before allocating for them.
    if (!reader.has(static_cast<size_t>(count) * kDeviceRecordSize)) return Error::Short;
    reply.devices.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        if (!reader.has(kDeviceRecordSize)) return Error::Short;
        ListedDevice listed;
        listed.device = readDeviceRecord(reader);
        const uint8_t interfaces = listed.device.bNumInterfaces;
        if (interfaces > kMaxInterfaces) return Error::TooManyInterfaces;
        if (!reader.has(size_t{interfaces} * kInterfaceRecordSize)) return Error::Short;
        listed.interfaces.reserve(interfaces);
        for (uint8_t j = 0; j < interfaces; ++j) listed.interfaces.push_back(readInterfaceRecord(reader));
        reply.devices.push_back(std::move(listed));
    }
    return Result<DevlistReply>(std::move(reply), reader.position());
}

Result<ImportReply> decodeImportReply(std::span<const uint8_t> in) {
    Reader reader(in);
    if (!reader.has(kOpHeaderSize)) return Error::Short;
    auto header = readOpHeader(reader);
    if (!header) return header.error();
    if (header->code != kOpRepImport) return Error::BadCode;
    ImportReply reply;
    reply.status = header->status;
    if (reply.status != kOpStatusOk) return Result<ImportReply>(std::move(reply), reader.position());
    if (!reader.has(kDeviceRecordSize)) return Error::Short;
    reply.device = readDeviceRecord(reader);
    return Result<ImportReply>(std::move(reply), reader.position());
}

// --- URB messages -------------------------------------------------------------

SetupPacket parseSetup(const std::array<uint8_t, kSetupSize> &bytes) {
    SetupPacket setup;
    setup.bmRequestType = bytes[0];
    setup.bRequest = bytes[1];
    setup.wValue = static_cast<uint16_t>(bytes[2] | bytes[3] << 8);
    setup.wIndex = static_cast<uint16_t>(bytes[4] | bytes[5] << 8);
    setup.wLength = static_cast<uint16_t>(bytes[6] | bytes[7] << 8);
    return setup;
}

std::array<uint8_t, kSetupSize> makeSetup(const SetupPacket &setup) {
    return {setup.bmRequestType,
            setup.bRequest,
            static_cast<uint8_t>(setup.wValue),
            static_cast<uint8_t>(setup.wValue >> 8),
            static_cast<uint8_t>(setup.wIndex),
            static_cast<uint8_t>(setup.wIndex >> 8),
            static_cast<uint8_t>(setup.wLength),
            static_cast<uint8_t>(setup.wLength >> 8)};
}

void appendCmdSubmit(std::vector<uint8_t> &out, const CmdSubmit &submit, std::span<const uint8_t> data) {
    const bool isOut = submit.direction == Direction::Out;
    putU32(out, kCmdSubmit);
    putU32(out, submit.seqnum);
    putU32(out, submit.devid);
    putU32(out, static_cast<uint32_t>(submit.direction));
    putU32(out, submit.endpoint);
    putU32(out, submit.transferFlags);
    putU32(out, isOut ? static_cast<uint32_t>(data.size()) : submit.transferBufferLength);
    putI32(out, submit.startFrame);
    putU32(out, submit.numberOfPackets);
    putI32(out, submit.interval);
    out.insert(out.end(), submit.setup.begin(), submit.setup.end());
    if (isOut) out.insert(out.end(), data.begin(), data.end());
}

void appendRetSubmit(std::vector<uint8_t> &out, const RetSubmit &reply, Direction direction,
                     std::span<const uint8_t> data) {
    const bool isIn = direction == Direction::In;
    putU32(out, kRetSubmit);
    putU32(out, reply.seqnum);
    putZeros(out, 12);  // devid, direction, endpoint
    putI32(out, reply.status);
    putU32(out, isIn ? static_cast<uint32_t>(data.size()) : reply.actualLength);
    putI32(out, reply.startFrame);
    putU32(out, reply.numberOfPackets);
    putU32(out, reply.errorCount);
    putZeros(out, kSetupSize);
    if (isIn) out.insert(out.end(), data.begin(), data.end());
}

void appendCmdUnlink(std::vector<uint8_t> &out, const CmdUnlink &unlink) {
    putU32(out, kCmdUnlink);
    putU32(out, unlink.seqnum);
    putU32(out, unlink.devid);
    putZeros(out, 8);  // direction, endpoint
    putU32(out, unlink.unlinkSeqnum);
    putZeros(out, 24);
}

void appendRetUnlink(std::vector<uint8_t> &out, const RetUnlink &reply) {
    putU32(out, kRetUnlink);
    putU32(out, reply.seqnum);
    putZeros(out, 12);
    putI32(out, reply.status);
    putZeros(out, 24);
}

Result<UrbHeader> decodeUrbHeader(std::span<const uint8_t> in) {
    Reader reader(in);
    if (!reader.has(kUrbHeaderSize)) return Error::Short;
    const uint32_t command = reader.u32();
    const uint32_t seqnum = reader.u32();
    const uint32_t devid = reader.u32();
    const uint32_t direction = reader.u32();
    const uint32_t endpoint = reader.u32();
    switch (command) {
    case kCmdSubmit: {
        if (direction > 1) return Error::BadDirection;
        if (endpoint > 15) return Error::BadEndpoint;
        CmdSubmit submit;
        submit.seqnum = seqnum;
        submit.devid = devid;
        submit.direction = static_cast<Direction>(direction);
        submit.endpoint = endpoint;
        submit.transferFlags = reader.u32();
        submit.transferBufferLength = reader.u32();
        submit.startFrame = reader.i32();
        submit.numberOfPackets = reader.u32();
        submit.interval = reader.i32();
        reader.bytes(submit.setup.data(), kSetupSize);
        if (submit.transferBufferLength > kMaxTransferLength) return Error::LengthTooLarge;
        if (isochronous(submit.numberOfPackets)) return Error::Isochronous;
        return Result<UrbHeader>(submit, kUrbHeaderSize);
    }
    case kRetSubmit: {
        RetSubmit reply;
        reply.seqnum = seqnum;
        reply.status = reader.i32();
        reply.actualLength = reader.u32();
        reply.startFrame = reader.i32();
        reply.numberOfPackets = reader.u32();
        reply.errorCount = reader.u32();
        if (reply.actualLength > kMaxTransferLength) return Error::LengthTooLarge;
        if (isochronous(reply.numberOfPackets)) return Error::Isochronous;
        return Result<UrbHeader>(reply, kUrbHeaderSize);
    }
    case kCmdUnlink: {
        CmdUnlink unlink;
        unlink.seqnum = seqnum;
        unlink.devid = devid;
        unlink.unlinkSeqnum = reader.u32();
        return Result<UrbHeader>(unlink, kUrbHeaderSize);
    }
    case kRetUnlink: {
        RetUnlink reply;
        reply.seqnum = seqnum;
        reply.status = reader.i32();
        return Result<UrbHeader>(reply, kUrbHeaderSize);
    }
    default: return Error::BadCode;
    }
}

uint32_t submitDataLength(const CmdSubmit &submit) {
    return submit.direction == Direction::Out ? submit.transferBufferLength : 0;
}

Result<uint32_t> retSubmitDataLength(const RetSubmit &reply, Direction direction, uint32_t askedLength) {
    if (reply.actualLength > askedLength) return Error::LengthOverrun;
    return Result<uint32_t>(direction == Direction::In ? reply.actualLength : 0, 0);
}

}  // namespace usbip
