// SPDX-License-Identifier: MIT
// The flash identity and range check: which ranges reach the erase and
// programming, how the start moves onto a sector, and what every rejection
// prints and leaves behind.
#include "projector_link.h"
#include "qrvdl.h"

namespace flash_test {
namespace {

using projector_emulator::Fault;

class AddressCheck : public ProjectorLink {};

struct Accepted {
    uint32_t start, length;
    uint32_t newStart, newLength;
};

TEST_F(AddressCheck, AcceptedRangesMoveTheStartOntoItsSector) {
    const Accepted cases[] = {
        {0xFE204000, 0x100000, 0x4000, 0x100000},
        {0x5000, 0x1000, 0x4000, 0x2000},
        {0x3FFF, 1, 0x0000, 0x4000},
        {0x1FFFFF, 0, 0x1F0000, 0xFFFF},
        {0x0, 0x1FFFFF, 0x0, 0x1FFFFF},
        {0x8123, 0x10, 0x8000, 0x133},
        // A range may end exactly at the end of the flash: a whole image fits.
        {0x0, 0x200000, 0x0, 0x200000},
        {0xFE204000, 0x1FC000, 0x4000, 0x1FC000},
        {0xFE3FFFFF, 1, 0x1F0000, 0x10000},
        // Bit 21 is not an address line of the flash: 0x204000 is 0x4000.
        {0x00204000, 0x100, 0x4000, 0x100},
    };
    for (const auto &c : cases) {
        uint32_t start = c.start;
        uint32_t length = c.length;
        FlashSectorList sectors{-1, nullptr};
        std::string printed = captureStdout([&] { EXPECT_EQ(QRVDL_CheckAddress(&start, &length, &sectors), 0); });
        SCOPED_TRACE(testing::Message() << std::hex << c.start << " + " << c.length);
        EXPECT_EQ(printed, "");
        EXPECT_EQ(start, c.newStart);
        EXPECT_EQ(length, c.newLength);
        ASSERT_EQ(sectors.count, 35);
        ASSERT_NE(sectors.starts, nullptr);
        EXPECT_EQ(sectors.starts[0], 0x000000u);
        EXPECT_EQ(sectors.starts[1], 0x004000u);
        EXPECT_EQ(sectors.starts[2], 0x006000u);
        EXPECT_EQ(sectors.starts[3], 0x008000u);
        for (int i = 4; i < 35; ++i) EXPECT_EQ(sectors.starts[i], 0x010000u * static_cast<uint32_t>(i - 3));
        EXPECT_EQ(sectors.starts[35], 0x200000u) << "the end entry follows the 35 sectors";
    }
}

struct Rejected {
    uint32_t start, length;
    const char *line;
};

TEST_F(AddressCheck, RangesOutsideTheFlashAreRejectedWithTheirLine) {
    const Rejected cases[] = {
        {0x0, 0x200001, "Bad length [2097153]\n"},
        {0xFE204000, 0x1FC001, "Bad length [2080769]\n"},
        {0x1FFFFF, 2, "Bad length [2]\n"},
        // The sum passes 0xFFFFFFFF: beyond the flash, not a small end.
        {0x1FFFFF, 0xFFFFFFFF, "Bad length [4294967295]\n"},
        {0x4000, 0xFFFFC000, "Bad length [4294950912]\n"},
        {0xFE600000, 0x10, "Bad start address [0xfe600000]\n"},
        {0x400000, 0, "Bad start address [0x00400000]\n"},
        {0xFFFFFFFF, 0, "Bad start address [0xffffffff]\n"},
    };
    for (const auto &c : cases) {
        uint32_t start = c.start;
        uint32_t length = c.length;
        FlashSectorList sectors{35, reinterpret_cast<const uint32_t *>(&start)};
        std::string printed = captureStdout([&] { EXPECT_EQ(QRVDL_CheckAddress(&start, &length, &sectors), 1); });
        EXPECT_EQ(printed, c.line);
        EXPECT_EQ(start, c.start);
        EXPECT_EQ(length, c.length);
        EXPECT_EQ(sectors.count, 0);
        EXPECT_EQ(sectors.starts, nullptr);
    }
}

TEST_F(AddressCheck, FailedIdentityReadRejectsEveryRange) {
    fault(Fault::Kind::WrongEcho, nextFrame() + 1, nextFrame() + 1);
    uint32_t start = 0xFE204000;
    uint32_t length = 0x1000;
    FlashSectorList sectors{35, nullptr};
    std::string printed = captureStdout([&] { EXPECT_EQ(QRVDL_CheckAddress(&start, &length, &sectors), 1); });
    EXPECT_EQ(printed, "Failed to read flash device ID\n");
    EXPECT_EQ(start, 0xFE204000u);
    EXPECT_EQ(length, 0x1000u);
    EXPECT_EQ(sectors.count, 0);
}

TEST_F(AddressCheck, ForeignFlashIsRejectedBeforeAnyAddressIsExamined) {
    uint16_t manufacturer = 0x0001;
    uint16_t device = 0x2249;
    setRewriter([&](std::span<uint8_t> reply) {
        // Flash information replies carry the selector in data byte 0.
        if (reply.size() < 15 || reply[6] != 0x00 || (reply[7] != 0x0C && reply[7] != 0x0D)) return;
        const uint16_t value = reply[7] == 0x0C ? manufacturer : device;
        reply[13] = static_cast<uint8_t>(value);
        reply[14] = static_cast<uint8_t>(value >> 8);
    });
    struct Case {
        uint16_t manufacturer, device;
        const char *line;
    };
    const Case cases[] = {
        {0x00C2, 0x2249, "Unknown flash manufacturer [0x00c2]\n"},
        {0x0100, 0x0001, "Unknown flash manufacturer [0x0100]\n"},  // words swapped
        {0x0001, 0x22C4, "Unknown flash device [0x22c4]\n"},
        {0x0001, 0x0000, "Unknown flash device [0x0000]\n"},
    };
    for (const auto &c : cases) {
        manufacturer = c.manufacturer;
        device = c.device;
        uint32_t start = 0xFE600000;  // would be a bad start: never looked at
        uint32_t length = 0x10;
        FlashSectorList sectors{35, nullptr};
        std::string printed = captureStdout([&] { EXPECT_EQ(QRVDL_CheckAddress(&start, &length, &sectors), 1); });
        EXPECT_EQ(printed, c.line);
        EXPECT_EQ(sectors.count, 0);
    }
}

TEST_F(AddressCheck, NullArgumentsAreRejectedWithoutTraffic) {
    uint32_t start = 0x4000;
    uint32_t length = 0x100;
    FlashSectorList sectors{35, reinterpret_cast<const uint32_t *>(&start)};
    std::string printed = captureStdout([&] {
        EXPECT_EQ(QRVDL_CheckAddress(nullptr, &length, &sectors), 1);
        EXPECT_EQ(sectors.count, 0);
        EXPECT_EQ(sectors.starts, nullptr);
        EXPECT_EQ(QRVDL_CheckAddress(&start, nullptr, &sectors), 1);
        EXPECT_EQ(QRVDL_CheckAddress(&start, &length, nullptr), 1);
    });
    EXPECT_EQ(printed, "");
    EXPECT_TRUE(frames().empty());
}

}  // namespace
}  // namespace flash_test
