// SPDX-License-Identifier: MIT
// The device commands as they reach the projector: frame bytes, reply
// handling, and the arguments that must never reach the wire.
#include <array>
#include <numeric>

#include "projector_link.h"
#include "qrvdl.h"

namespace flash_test {
namespace {

using projector_emulator::Fault;

uint8_t sumOfBody(const Bytes &frame) {
    return static_cast<uint8_t>(std::accumulate(frame.begin() + 1, frame.end() - 1, 0u));
}

class Commands : public ProjectorLink {
protected:
    // The single frame the device received, checked to be the builder's
    // frame with the transport's stamp on it.
    void expectOneFrame(const Bytes &builderFrame) {
        auto received = frames();
        ASSERT_EQ(received.size(), 1u);
        const Bytes &wire = received[0].bytes;
        ASSERT_EQ(wire.size(), builderFrame.size());
        EXPECT_NE(wire[1], 0) << "the transport stamps a sequence number 1..255";
        EXPECT_EQ(wire, stamped(builderFrame, wire[1]));
        EXPECT_TRUE(received[0].valid) << received[0].note;
    }
};

TEST_F(Commands, FramesOnTheWireCarryTheBuilderBytesAndTheStamp) {
    uint8_t status = 0;
    ASSERT_EQ(QRVDL_CmdReadStatus(&status), 0);
    expectOneFrame({0x04, 0x00, 0x00, 0x03, 0x00, 0x34, 0x01, 0x01, 0x39});

    forgetFrames();
    ASSERT_EQ(QRVDL_CmdWriteFlashErase(), 0);
    expectOneFrame({0x02, 0x00, 0x00, 0x02, 0x00, 0x34, 0x28, 0x5E});

    forgetFrames();
    ASSERT_EQ(QRVDL_CmdWriteFlashCalculateChecksum(), 0);
    expectOneFrame({0x02, 0x00, 0x00, 0x02, 0x00, 0x34, 0x26, 0x5C});

    forgetFrames();
    uint32_t checksum = 0;
    ASSERT_EQ(QRVDL_CmdReadFlashChecksum(&checksum), 0);
    expectOneFrame({0x04, 0x00, 0x00, 0x06, 0x00, 0x34, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x44});

    // Bits 24-31 of an address are dropped: the device sees the flash offset.
    forgetFrames();
    ASSERT_EQ(QRVDL_CmdWriteFlashAddress(0xFE204000), 0);
    expectOneFrame({0x02, 0x00, 0x00, 0x05, 0x00, 0x34, 0x29, 0x00, 0x40, 0x20, 0xC2});

    forgetFrames();
    ASSERT_EQ(QRVDL_CmdWriteFlashSize(0x12345678), 0);
    expectOneFrame({0x02, 0x00, 0x00, 0x05, 0x00, 0x34, 0x2C, 0x78, 0x56, 0x34, 0x67});
}

TEST_F(Commands, IdentityReadAsksForManufacturerThenDevice) {
    uint16_t ids[2] = {0xAAAA, 0xAAAA};
    ASSERT_EQ(QRVDL_CmdReadFlashDeviceId(ids), 0);
    EXPECT_EQ(ids[0], 0x2249);  // device
    EXPECT_EQ(ids[1], 0x0001);  // manufacturer
    auto wire = frameBytes();
    ASSERT_EQ(wire.size(), 2u);
    EXPECT_EQ(wire[0], stamped({0x04, 0x00, 0x00, 0x06, 0x00, 0x34, 0x00, 0x0A, 0x00, 0x00, 0x0C, 0x50}, wire[0][1]));
    EXPECT_EQ(wire[1], stamped({0x04, 0x00, 0x00, 0x06, 0x00, 0x34, 0x00, 0x0A, 0x00, 0x00, 0x0D, 0x51}, wire[1][1]));
}

TEST_F(Commands, ProgrammingModeSendsOnlyTheLowByteOfTheMode) {
    ASSERT_EQ(QRVDL_CmdWriteProgrammingMode(0x101), 0);
    ASSERT_EQ(QRVDL_CmdWriteAppProgrammingMode(), 0);
    const Bytes modeOne{0x02, 0x00, 0x00, 0x03, 0x00, 0x34, 0x30, 0x01, 0x68};
    auto wire = frameBytes();
    ASSERT_EQ(wire.size(), 2u);
    EXPECT_EQ(wire[0], stamped(modeOne, wire[0][1]));
    EXPECT_EQ(wire[1], stamped(modeOne, wire[1][1]));
}

TEST_F(Commands, DownloadFrameIsCountPlusEightBytes) {
    const Bytes block = imagePattern(56);
    ASSERT_EQ(QRVDL_CmdWriteFlashDownloadData(block.data(), 56), 0);
    auto wire = frameBytes();
    ASSERT_EQ(wire.size(), 1u);
    ASSERT_EQ(wire[0].size(), 64u);
    EXPECT_EQ(wire[0][3], 0x3A);
    EXPECT_EQ(wire[0][4], 0x00);
    EXPECT_EQ(Bytes(wire[0].begin() + 7, wire[0].begin() + 63), block);
    EXPECT_EQ(wire[0][63], sumOfBody(wire[0]));

    forgetFrames();
    const uint8_t one = 0xAB;
    ASSERT_EQ(QRVDL_CmdWriteFlashDownloadData(&one, 1), 0);
    wire = frameBytes();
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(wire[0], stamped({0x02, 0x00, 0x00, 0x03, 0x00, 0x34, 0x25, 0xAB, 0x07}, wire[0][1]));

    // The largest download fills the one-byte checksum count exactly.
    forgetFrames();
    const Bytes largest = imagePattern(249);
    ASSERT_EQ(QRVDL_CmdWriteFlashDownloadData(largest.data(), 249), 0);
    ASSERT_EQ(frames().size(), 1u);
    EXPECT_EQ(frames()[0].bytes.size(), 257u);
    EXPECT_TRUE(frames()[0].valid) << frames()[0].note;
}

TEST_F(Commands, DownloadOfNoBytesIsAnEightByteFrame) {
    ASSERT_EQ(QRVDL_CmdWriteFlashDownloadData(nullptr, 0), 0);
    auto wire = frameBytes();
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(wire[0], stamped({0x02, 0x00, 0x00, 0x02, 0x00, 0x34, 0x25, 0x5B}, wire[0][1]));
}

TEST_F(Commands, SequenceNumberFFWrapsTheChecksum) {
    // Bring the transport's counter to 0xFF for the next frame.
    for (int i = 0; i < 300; ++i) {
        forgetFrames();
        uint8_t status = 0;
        ASSERT_EQ(QRVDL_CmdReadStatus(&status), 0);
        if (frames().at(0).bytes[1] == 0xFE) break;
    }
    ASSERT_EQ(frames().at(0).bytes[1], 0xFE);
    forgetFrames();
    // Mode 0x9B: the builder's checksum is 0x02; 0x02 + 0xFF wraps to 0x01.
    ASSERT_EQ(QRVDL_CmdWriteProgrammingMode(0x9B), 0);
    auto received = frames();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].bytes, (Bytes{0x02, 0xFF, 0x00, 0x03, 0x00, 0x34, 0x30, 0x9B, 0x01}));
    EXPECT_TRUE(received[0].valid) << received[0].note;
}

TEST_F(Commands, CalibrationUnlockSecondFrameKeepsWhatTheBufferHeld) {
    ASSERT_EQ(QRVDL_CmdWriteCalibrationUnlock(), 0);
    auto wire = frameBytes();
    ASSERT_EQ(wire.size(), 2u);
    const uint8_t first = wire[0][1];
    EXPECT_EQ(wire[0], stamped({0x02, 0x00, 0x00, 0x03, 0x00, 0x34, 0x20, 0x6D, 0xC4}, first));
    // The 6-byte reply overwrote bytes 0-5 only: bytes 7 and 8 are still the
    // first frame's unlock byte and its checksum as sent, 9-13 the zero fill.
    Bytes second{0x02, 0x00, 0x00, 0x0A, 0x00, 0x34, 0x20, 0x6D, static_cast<uint8_t>(0xC4 + first),
                 0x00, 0x00, 0x00, 0x00, 0x00, 0x92, 0x00};
    second[15] = sumOfBody(second);
    EXPECT_EQ(wire[1], stamped(second, wire[1][1]));
    EXPECT_TRUE(frames()[1].valid) << frames()[1].note;
}

TEST_F(Commands, CalibrationUnlockStopsAfterAFailedFirstFrame) {
    fault(Fault::Kind::WrongEcho, nextFrame(), nextFrame());
    EXPECT_EQ(QRVDL_CmdWriteCalibrationUnlock(), 1);
    EXPECT_EQ(frames().size(), 1u);
}

TEST_F(Commands, IdentityReadFailingOnSecondExchangeZeroesBothWords) {
    fault(Fault::Kind::WrongEcho, nextFrame() + 1, nextFrame() + 1);
    uint16_t ids[2] = {0xAAAA, 0xAAAA};
    EXPECT_EQ(QRVDL_CmdReadFlashDeviceId(ids), 1);
    EXPECT_EQ(ids[0], 0);
    EXPECT_EQ(ids[1], 0);
    EXPECT_EQ(frames().size(), 2u);
}

TEST_F(Commands, IdentityReadFailingOnFirstExchangeSendsNoSecond) {
    fault(Fault::Kind::WrongEcho, nextFrame(), nextFrame());
    uint16_t ids[2] = {0xAAAA, 0xAAAA};
    EXPECT_EQ(QRVDL_CmdReadFlashDeviceId(ids), 1);
    EXPECT_EQ(ids[0], 0);
    EXPECT_EQ(ids[1], 0);
    EXPECT_EQ(frames().size(), 1u);
}

TEST_F(Commands, FailedReadsZeroTheirOutputs) {
    uint8_t status = 0x55;
    fault(Fault::Kind::WrongEcho, nextFrame(), nextFrame());
    EXPECT_EQ(QRVDL_CmdReadStatus(&status), 1);
    EXPECT_EQ(status, 0);

    uint32_t checksum = 0x55555555;
    fault(Fault::Kind::WrongEcho, nextFrame(), nextFrame());
    EXPECT_EQ(QRVDL_CmdReadFlashChecksum(&checksum), 1);
    EXPECT_EQ(checksum, 0u);
}

TEST_F(Commands, WriteCommandsFailOnAWrongEcho) {
    struct Case {
        const char *name;
        std::function<int32_t()> command;
    };
    const uint8_t byte = 0;
    const std::vector<Case> cases = {
        {"mode", [] { return QRVDL_CmdWriteProgrammingMode(1); }},
        {"app mode", [] { return QRVDL_CmdWriteAppProgrammingMode(); }},
        {"erase", [] { return QRVDL_CmdWriteFlashErase(); }},
        {"calculate", [] { return QRVDL_CmdWriteFlashCalculateChecksum(); }},
        {"address", [] { return QRVDL_CmdWriteFlashAddress(0x4000); }},
        {"size", [] { return QRVDL_CmdWriteFlashSize(0x100); }},
        {"download", [&] { return QRVDL_CmdWriteFlashDownloadData(&byte, 1); }},
    };
    for (const auto &c : cases) {
        fault(Fault::Kind::WrongEcho, nextFrame(), nextFrame());
        EXPECT_EQ(c.command(), 1) << c.name;
        EXPECT_EQ(c.command(), 0) << c.name << " (no fault)";
    }
}

// A reply that stops before the bytes a read takes must not be read as a
// result: the buffer there still holds the request or zero fill.
TEST_F(Commands, ReadsFailWhenTheReplyIsTooShortForTheirBytes) {
    uint8_t status = 0x55;
    fault(Fault::Kind::ShortReply, nextFrame(), nextFrame(), 7);
    EXPECT_EQ(QRVDL_CmdReadStatus(&status), 1);
    EXPECT_EQ(status, 0);
    fault(Fault::Kind::ShortReply, nextFrame(), nextFrame(), 8);
    EXPECT_EQ(QRVDL_CmdReadStatus(&status), 0);

    uint16_t ids[2] = {0xAAAA, 0xAAAA};
    fault(Fault::Kind::ShortReply, nextFrame(), nextFrame(), 14);
    EXPECT_EQ(QRVDL_CmdReadFlashDeviceId(ids), 1);
    EXPECT_EQ(ids[0], 0);
    EXPECT_EQ(ids[1], 0);
    ids[0] = ids[1] = 0xAAAA;
    fault(Fault::Kind::ShortReply, nextFrame() + 1, nextFrame() + 1, 14);
    EXPECT_EQ(QRVDL_CmdReadFlashDeviceId(ids), 1);
    EXPECT_EQ(ids[0], 0);
    EXPECT_EQ(ids[1], 0);
    fault(Fault::Kind::ShortReply, nextFrame(), nextFrame() + 1, 15);
    EXPECT_EQ(QRVDL_CmdReadFlashDeviceId(ids), 0);
    EXPECT_EQ(ids[0], 0x2249);
    EXPECT_EQ(ids[1], 0x0001);

    uint32_t checksum = 0x55555555;
    fault(Fault::Kind::ShortReply, nextFrame(), nextFrame(), 16);
    EXPECT_EQ(QRVDL_CmdReadFlashChecksum(&checksum), 1);
    EXPECT_EQ(checksum, 0u);
    fault(Fault::Kind::ShortReply, nextFrame(), nextFrame(), 17);
    EXPECT_EQ(QRVDL_CmdReadFlashChecksum(&checksum), 0);
}

TEST_F(Commands, StatusBusyBitIsBitThree) {
    uint8_t answer = 0;
    setRewriter([&](std::span<uint8_t> reply) {
        if (reply.size() > 7 && reply[6] == 0x01) reply[7] = answer;
    });
    answer = 0x08;
    EXPECT_EQ(QRVDL_DeviceBusy(1, 0), 1);
    answer = 0xF7;
    EXPECT_EQ(QRVDL_DeviceBusy(1, 0), 0);
    uint8_t status = 0;
    EXPECT_EQ(QRVDL_CmdReadStatus(&status), 0);
    EXPECT_EQ(status, 0xF7);
}

TEST_F(Commands, InvalidArgumentsSendNothing) {
    const uint8_t block[250] = {};
    EXPECT_EQ(QRVDL_CmdReadStatus(nullptr), 1);
    EXPECT_EQ(QRVDL_CmdReadFlashDeviceId(nullptr), 1);
    EXPECT_EQ(QRVDL_CmdReadFlashChecksum(nullptr), 1);
    EXPECT_EQ(QRVDL_CmdWriteFlashDownloadData(block, 250), 1);  // would overrun the checksum count
    EXPECT_EQ(QRVDL_CmdWriteFlashDownloadData(block, -1), 1);
    EXPECT_EQ(QRVDL_CmdWriteFlashDownloadData(block, INT32_MIN), 1);
    EXPECT_EQ(QRVDL_CmdWriteFlashDownloadData(nullptr, 5), 1);
    EXPECT_EQ(QRVDL_CalculateFlashChecksum(0, 0, nullptr), 1);
    EXPECT_TRUE(frames().empty());
}

}  // namespace
}  // namespace flash_test
