// SPDX-License-Identifier: MIT
// Random and mutated byte strings into every decoder. Under AddressSanitizer
// an out-of-bounds read fails the test; everywhere a decoder claiming more
// bytes than it was given does.
#include "usbip/protocol.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace usbip {
namespace {

using Bytes = std::vector<uint8_t>;

// Runs every decoder on `in` and checks what a successful decode promises.
void decodeAll(std::span<const uint8_t> in) {
    auto check = [&](const auto &result, const char *name) {
        if (result) {
            ASSERT_LE(result.size(), in.size()) << name;
        } else {
            ASSERT_NE(result.error(), Error::None) << name;
        }
    };
    check(decodeOpHeader(in), "op header");
    check(decodeDevlistRequest(in), "devlist request");
    check(decodeImportRequest(in), "import request");
    check(decodeDeviceRecord(in), "device record");
    check(decodeInterfaceRecord(in), "interface record");
    check(decodeImportReply(in), "import reply");
    auto devlist = decodeDevlistReply(in);
    check(devlist, "devlist reply");
    if (devlist) {
        size_t expected = kDevlistReplyFixedSize;
        if (devlist->status != kOpStatusOk) expected = kOpHeaderSize;
        for (const ListedDevice &listed : devlist->devices) {
            ASSERT_EQ(listed.interfaces.size(), listed.device.bNumInterfaces);
            expected += kDeviceRecordSize + listed.interfaces.size() * kInterfaceRecordSize;
        }
        ASSERT_EQ(devlist.size(), expected);
    }
    auto urb = decodeUrbHeader(in);
    check(urb, "URB header");
    if (urb) {
        if (const auto *submit = std::get_if<CmdSubmit>(&urb.value())) {
            ASSERT_LE(submitDataLength(*submit), kMaxTransferLength);
            ASSERT_LE(submit->endpoint, 15u);
        }
        if (const auto *reply = std::get_if<RetSubmit>(&urb.value())) {
            auto length = retSubmitDataLength(*reply, Direction::In, 64);
            if (length) {
                ASSERT_LE(*length, 64u);
            }
        }
    }
}

// Copies each byte string into an exactly sized heap block, so that reading
// one byte past it is an ASan error.
void decodeExact(const Bytes &bytes) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size() + 1]);
    std::copy(bytes.begin(), bytes.end(), copy.get());
    decodeAll(std::span<const uint8_t>(copy.get(), bytes.size()));
}

TEST(UsbipFuzz, RandomBytesNeverCrashOrOverreadAnyDecoder) {
    std::mt19937 random(4817);
    for (int round = 0; round < 20000; ++round) {
        Bytes bytes(random() % 400);
        for (uint8_t &byte : bytes) byte = static_cast<uint8_t>(random());
        // Make some look like the start of a real message, to get past the
        // version and code checks.
        if (round % 2 == 0 && bytes.size() >= 4) {
            bytes[0] = 0x01;
            bytes[1] = 0x11;
            bytes[2] = (round % 4 == 0) ? 0x00 : 0x80;
            bytes[3] = (round % 3 == 0) ? 0x05 : 0x03;
        }
        decodeExact(bytes);
        if (HasFatalFailure()) return;
    }
}

TEST(UsbipFuzz, MutatedValidMessagesNeverCrashOrOverread) {
    std::vector<Bytes> seeds(6);
    DevlistReply reply;
    ListedDevice listed;
    listed.device.busId = "1-1";
    listed.interfaces = {{0xFF, 0, 0}, {0xFF, 1, 0}};
    reply.devices = {listed, listed};
    appendDevlistReply(seeds[0], reply);
    appendImportReply(seeds[1], {kOpStatusOk, listed.device});
    appendImportRequest(seeds[2], {"1-1"});
    CmdSubmit submit;
    submit.endpoint = 1;
    appendCmdSubmit(seeds[3], submit, Bytes{4, 1, 0, 3, 0, 0x34, 1, 1, 0x3A});
    appendRetSubmit(seeds[4], {}, Direction::In, Bytes(20, 7));
    appendCmdUnlink(seeds[5], {3, 1, 2});

    std::mt19937 random(3240);
    for (int round = 0; round < 20000; ++round) {
        Bytes bytes = seeds[static_cast<size_t>(round) % seeds.size()];
        const int mutations = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < mutations; ++i) {
            switch (random() % 3) {
            case 0: bytes[random() % bytes.size()] = static_cast<uint8_t>(random()); break;
            case 1: bytes.resize(random() % (bytes.size() + 1)); break;
            default: bytes.push_back(static_cast<uint8_t>(random())); break;
            }
            if (bytes.empty()) bytes.push_back(0);
        }
        decodeExact(bytes);
        if (HasFatalFailure()) return;
    }
}

}  // namespace
}  // namespace usbip
