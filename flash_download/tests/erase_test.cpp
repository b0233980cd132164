// SPDX-License-Identifier: MIT
// Erasing a range sector by sector, and the busy poll after each erase.
#include "projector_link.h"
#include "qrvdl.h"

namespace flash_test {
namespace {

using projector_emulator::Fault;

class Erase : public ProjectorLink {
protected:
    FlashSectorList wholeMap() {
        uint32_t start = 0;
        uint32_t length = 0;
        FlashSectorList sectors{};
        EXPECT_EQ(QRVDL_CheckAddress(&start, &length, &sectors), 0);
        forgetFrames();
        return sectors;
    }
    // Start offsets carried by the flash address frames, in order.
    std::vector<uint32_t> addressesSent() const {
        std::vector<uint32_t> addresses;
        for (const auto &record : frames()) {
            if (record.bytes[6] == kAddress) {
                addresses.push_back(record.bytes[7] | record.bytes[8] << 8 | record.bytes[9] << 16);
            }
        }
        return addresses;
    }
};

std::vector<uint32_t> sectorsFrom(uint32_t first, uint32_t last) {
    std::vector<uint32_t> starts;
    for (uint32_t start : {0x0u, 0x4000u, 0x6000u, 0x8000u}) {
        if (start >= first && start <= last) starts.push_back(start);
    }
    for (uint32_t start = 0x10000; start <= last; start += 0x10000) {
        if (start >= first) starts.push_back(start);
    }
    return starts;
}

TEST_F(Erase, OnlySectorsThatBeginInsideTheRangeAreErased) {
    struct Case {
        uint32_t start, length;
        std::vector<uint32_t> erased;
    };
    const Case cases[] = {
        // The sector at 0x10000 begins exactly at the end of the range: it
        // holds nothing that will be programmed and keeps its contents.
        {0x4000, 0xC000, {0x4000, 0x6000, 0x8000}},
        {0x4000, 0xC001, {0x4000, 0x6000, 0x8000, 0x10000}},
        {0x4000, 0x1EBFFF, sectorsFrom(0x4000, 0x1E0000)},
        {0x4000, 0x1FC000, sectorsFrom(0x4000, 0x1F0000)},
        {0x0, 0x200000, sectorsFrom(0x0, 0x1F0000)},
        {0x1F0000, 0x10000, {0x1F0000}},
        {0x4000, 1, {0x4000}},
        {0x4000, 0, {}},  // an empty range erases nothing
    };
    const FlashSectorList sectors = wholeMap();
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.start << " + " << c.length);
        forgetFrames();
        erasedCalls.clear();
        EXPECT_EQ(QRVDL_EraseFlash(c.start, c.length, &sectors, recordErased), 0);
        EXPECT_EQ(addressesSent(), c.erased);
        Calls expected;
        for (uint32_t start : c.erased) expected.emplace_back(start, 0);
        EXPECT_EQ(erasedCalls, expected);
        Bytes perSector;
        for (size_t i = 0; i < c.erased.size(); ++i) perSector.insert(perSector.end(), {kAddress, kErase, kStatus});
        EXPECT_EQ(operations(), perSector);
    }
}

TEST_F(Erase, SectorsOutsideTheRangeKeepTheirContents) {
    const Bytes factory = projector_emulator::NorFlash::factoryPattern();
    const FlashSectorList sectors = wholeMap();
    ASSERT_EQ(QRVDL_EraseFlash(0x4000, 0xC000, &sectors, nullptr), 0);
    auto flash = flash_->contents();
    EXPECT_TRUE(std::equal(flash.begin(), flash.begin() + 0x4000, factory.begin())) << "boot sector touched";
    EXPECT_TRUE(std::all_of(flash.begin() + 0x4000, flash.begin() + 0x10000, [](uint8_t b) { return b == 0xFF; }));
    EXPECT_TRUE(std::equal(flash.begin() + 0x10000, flash.end(), factory.begin() + 0x10000));
}

TEST_F(Erase, StopsAtTheFirstFailingSector) {
    const FlashSectorList sectors = wholeMap();
    // Frames of the second sector: address +3, erase +4, status +5.
    struct Case {
        const char *what;
        uint64_t first, last;
        size_t framesSent;
    };
    const Case cases[] = {
        {"address", 3, 3, 4},
        {"erase", 4, 4, 5},
        {"poll: every read fails", 5, 14, 15},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        forgetFrames();
        erasedCalls.clear();
        pauses_.clear();
        fault(Fault::Kind::WrongEcho, nextFrame() + c.first, nextFrame() + c.last);
        EXPECT_EQ(QRVDL_EraseFlash(0x4000, 0xC000, &sectors, recordErased), 1);
        EXPECT_EQ(frames().size(), c.framesSent);
        EXPECT_EQ(erasedCalls, (Calls{{0x4000, 0}}));
    }
    EXPECT_EQ(pauses_, std::vector<uint32_t>(10, 500));
}

// A device that still says busy after an erase is asked again after the
// pause, as after a failed read; it passes once an answer says ready.
TEST_F(Erase, BusyAnswersAreWaitedOut) {
    const FlashSectorList sectors = wholeMap();
    fault(Fault::Kind::BusyAfterErase, 0, 0, 3);
    EXPECT_EQ(QRVDL_EraseFlash(0x4000, 0x4000, &sectors, recordErased), 0);
    EXPECT_EQ(operations(), (Bytes{kAddress, kErase, kStatus, kStatus, kStatus, kStatus,  //
                                   kAddress, kErase, kStatus, kStatus, kStatus, kStatus}));
    EXPECT_EQ(pauses_, std::vector<uint32_t>(6, 500));
    EXPECT_EQ(erasedCalls, (Calls{{0x4000, 0}, {0x6000, 0}}));
}

TEST_F(Erase, DeviceThatStaysBusyFailsTheErase) {
    const FlashSectorList sectors = wholeMap();
    fault(Fault::Kind::BusyAfterErase, 0, 0, 10);
    EXPECT_EQ(QRVDL_EraseFlash(0x4000, 0x4000, &sectors, recordErased), 1);
    EXPECT_EQ(operations(), (Bytes{kAddress, kErase, kStatus, kStatus, kStatus, kStatus, kStatus, kStatus, kStatus,
                                   kStatus, kStatus, kStatus}));
    EXPECT_EQ(pauses_, std::vector<uint32_t>(10, 500));
    EXPECT_TRUE(erasedCalls.empty());
}

TEST_F(Erase, ListsWithoutSectorsAreHandledWithoutTraffic) {
    const FlashSectorList empty{0, nullptr};
    EXPECT_EQ(QRVDL_EraseFlash(0x4000, 0x1000, &empty, recordErased), 0);
    const FlashSectorList negative{-3, nullptr};
    EXPECT_EQ(QRVDL_EraseFlash(0x4000, 0x1000, &negative, recordErased), 0);
    const FlashSectorList noTable{35, nullptr};
    EXPECT_EQ(QRVDL_EraseFlash(0x4000, 0x1000, &noTable, recordErased), 1);
    EXPECT_EQ(QRVDL_EraseFlash(0x4000, 0x1000, nullptr, recordErased), 1);
    EXPECT_TRUE(frames().empty());
    EXPECT_TRUE(erasedCalls.empty());
}

class BusyPoll : public ProjectorLink {};

TEST_F(BusyPoll, NoAttemptsMeansBusyWithoutTraffic) {
    EXPECT_EQ(QRVDL_DeviceBusy(0, 500), 1);
    EXPECT_TRUE(frames().empty());
    EXPECT_TRUE(pauses_.empty());
}

TEST_F(BusyPoll, FailedReadsAreRetriedAfterThePause) {
    struct Case {
        uint32_t failures, attempts;
        int32_t result;
    };
    const Case cases[] = {
        {0, 10, 0},
        {9, 10, 0},   // nine failed reads, the tenth answers ready
        {10, 10, 1},  // the pause follows the last failed read too
        {1, 1, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.failures << " failures, " << c.attempts << " attempts");
        forgetFrames();
        pauses_.clear();
        if (c.failures > 0) fault(Fault::Kind::WrongEcho, nextFrame(), nextFrame() + c.failures - 1);
        EXPECT_EQ(QRVDL_DeviceBusy(c.attempts, 1), c.result);
        EXPECT_EQ(operations(), Bytes(std::min(c.failures + 1, c.attempts), kStatus));
        EXPECT_EQ(pauses_, std::vector<uint32_t>(c.failures, 1));
    }
}

TEST_F(BusyPoll, FailedAndBusyAnswersBothWait) {
    int answer = 0;
    setRewriter([&](std::span<uint8_t> reply) {
        if (reply.size() > 7 && reply[6] == kStatus && ++answer <= 3) reply[7] |= 0x08;  // the second one fails anyway
    });
    fault(Fault::Kind::WrongEcho, nextFrame() + 1, nextFrame() + 1);
    EXPECT_EQ(QRVDL_DeviceBusy(5, 20), 0);
    EXPECT_EQ(operations(), Bytes(4, kStatus));  // busy, failed, busy, ready
    EXPECT_EQ(pauses_, std::vector<uint32_t>(3, 20));
}

}  // namespace
}  // namespace flash_test
