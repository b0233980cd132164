// SPDX-License-Identifier: MIT
// Every USB/IP decoder over bytes a peer sent: each message decoded from the
// whole input, and the input read as a URB conversation the way both ends
// read one (a header, then as many data bytes as its length fields say).
// What a decoder accepts lies within the input, keeps its counts consistent,
// and encodes back into bytes that decode to the same values.
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "usbip/protocol.h"

namespace {

using namespace usbip;
using fuzz::Bytes;

// What an encoder keeps of a string: it cuts the text to leave room for a NUL.
std::string encodable(const std::string &text, size_t width) {
    return text.substr(0, std::min(text.size(), width - 1));
}

DeviceRecord encodable(DeviceRecord record) {
    record.path = encodable(record.path, kPathSize);
    record.busId = encodable(record.busId, kBusIdSize);
    return record;
}

template <typename T>
void checkBounds(const Result<T> &result, Bytes in) {
    if (result) {
        FUZZ_CHECK(result.size() <= in.size());
    } else {
        FUZZ_CHECK(result.error() != Error::None);
        FUZZ_CHECK(errorText(result.error())[0] != '\0');
    }
}

void operationMessages(Bytes in) {
    const auto header = decodeOpHeader(in);
    checkBounds(header, in);
    if (header) {
        FUZZ_CHECK(header.size() == kOpHeaderSize && header->version == kVersion);
        std::vector<uint8_t> out;
        appendOpHeader(out, header->code, header->status);
        FUZZ_CHECK(std::equal(out.begin(), out.end(), in.begin()));
        // A server reads a request in two steps: the header, then the rest.
        if (const auto size = opRequestSize(*header)) FUZZ_CHECK(*size >= kOpHeaderSize);
    }
    checkBounds(decodeDevlistRequest(in), in);

    const auto import = decodeImportRequest(in);
    checkBounds(import, in);
    if (import) {
        FUZZ_CHECK(import.size() == kImportRequestSize && import->busId.size() < kBusIdSize + 1);
        std::vector<uint8_t> out;
        appendImportRequest(out, *import);
        const auto again = decodeImportRequest(out);
        FUZZ_CHECK(again && again->busId == encodable(import->busId, kBusIdSize));
    }

    const auto record = decodeDeviceRecord(in);
    checkBounds(record, in);
    if (record) {
        std::vector<uint8_t> out;
        appendDeviceRecord(out, *record);
        FUZZ_CHECK(out.size() == kDeviceRecordSize);
        const auto again = decodeDeviceRecord(out);
        FUZZ_CHECK(again && *again == encodable(*record));
    }
    checkBounds(decodeInterfaceRecord(in), in);

    const auto list = decodeDevlistReply(in);
    checkBounds(list, in);
    if (list) {
        size_t expected = list->status == kOpStatusOk ? kDevlistReplyFixedSize : kOpHeaderSize;
        DevlistReply kept;
        kept.status = list->status;
        for (const ListedDevice &listed : list->devices) {
            FUZZ_CHECK(listed.interfaces.size() == listed.device.bNumInterfaces);
            FUZZ_CHECK(listed.interfaces.size() <= kMaxInterfaces);
            expected += kDeviceRecordSize + listed.interfaces.size() * kInterfaceRecordSize;
            kept.devices.push_back({encodable(listed.device), listed.interfaces});
        }
        FUZZ_CHECK(list->devices.size() <= kMaxDevices);
        FUZZ_CHECK(list.size() == expected);
        std::vector<uint8_t> out;
        appendDevlistReply(out, *list);
        const auto again = decodeDevlistReply(out);
        FUZZ_CHECK(again && again.size() == out.size() && *again == kept);
    }

    const auto reply = decodeImportReply(in);
    checkBounds(reply, in);
    if (reply) {
        FUZZ_CHECK(reply->device.has_value() == (reply->status == kOpStatusOk));
        FUZZ_CHECK(reply.size() == (reply->device ? kImportReplySize : kOpHeaderSize));
        std::vector<uint8_t> out;
        appendImportReply(out, *reply);
        const auto again = decodeImportReply(out);
        ImportReply kept = *reply;
        if (kept.device) kept.device = encodable(*kept.device);
        FUZZ_CHECK(again && *again == kept);
    }
}

// A submit as the other end remembers it, to read the reply that follows.
struct Asked {
    uint32_t seqnum;
    Direction direction;
    uint32_t length;
};

// The input as the bytes of one imported connection, in both directions:
// each header, then the data its length fields announce, until a message
// breaks the protocol or the input ends.
void urbConversation(Bytes in) {
    std::vector<Asked> asked;
    while (!in.empty()) {
        const auto header = decodeUrbHeader(in);
        checkBounds(header, in);
        if (!header) return;
        FUZZ_CHECK(header.size() == kUrbHeaderSize);
        const Bytes after = in.subspan(kUrbHeaderSize);
        uint64_t data = 0;
        std::vector<uint8_t> out;
        if (const auto *submit = std::get_if<CmdSubmit>(&*header)) {
            FUZZ_CHECK(submit->endpoint <= 15 && submit->transferBufferLength <= kMaxTransferLength);
            data = submitDataLength(*submit);
            FUZZ_CHECK(data == (submit->direction == Direction::Out ? submit->transferBufferLength : 0));
            asked.push_back({submit->seqnum, submit->direction, submit->transferBufferLength});
            // An OUT submit encodes with the data it carries.
            CmdSubmit carried = *submit;
            Bytes payload;
            if (submit->direction == Direction::Out) {
                payload = after.first(std::min<size_t>(after.size(), data));
                carried.transferBufferLength = static_cast<uint32_t>(payload.size());
            }
            appendCmdSubmit(out, carried, payload);
            FUZZ_CHECK(out.size() == kUrbHeaderSize + payload.size());
            const auto again = decodeUrbHeader(out);
            FUZZ_CHECK(again && std::get<CmdSubmit>(*again) == carried);
        } else if (const auto *reply = std::get_if<RetSubmit>(&*header)) {
            // The reply is read against the submit it answers; one that was
            // never asked for is read as an IN of the largest length.
            Asked submit{reply->seqnum, Direction::In, kMaxTransferLength};
            for (const Asked &a : asked)
                if (a.seqnum == reply->seqnum) submit = a;
            const auto length = retSubmitDataLength(*reply, submit.direction, submit.length);
            if (!length) {
                FUZZ_CHECK(length.error() == Error::LengthOverrun && reply->actualLength > submit.length);
                return;
            }
            FUZZ_CHECK(*length <= submit.length && *length <= reply->actualLength);
            data = *length;
            appendRetSubmit(out, *reply, Direction::Out);
            const auto again = decodeUrbHeader(out);
            FUZZ_CHECK(again && std::get<RetSubmit>(*again) == *reply);
        } else if (const auto *unlink = std::get_if<CmdUnlink>(&*header)) {
            appendCmdUnlink(out, *unlink);
            const auto again = decodeUrbHeader(out);
            FUZZ_CHECK(again && std::get<CmdUnlink>(*again) == *unlink);
        } else {
            const auto &unlinked = std::get<RetUnlink>(*header);
            appendRetUnlink(out, unlinked);
            const auto again = decodeUrbHeader(out);
            FUZZ_CHECK(again && std::get<RetUnlink>(*again) == unlinked);
        }
        if (after.size() < data) return;
        in = after.subspan(static_cast<size_t>(data));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // libFuzzer hands the input over in a block of exactly its size, so a read
    // one byte past it is an AddressSanitizer error.
    const Bytes input(data, size);
    operationMessages(input);
    urbConversation(input);
    return 0;
}
