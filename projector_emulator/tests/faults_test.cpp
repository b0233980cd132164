// SPDX-License-Identifier: MIT
#include "projector_emulator/faults.h"

#include <gtest/gtest.h>

namespace projector_emulator {
namespace {

using Kind = Fault::Kind;

TEST(FaultSpec, EveryKindParses) {
    struct Case {
        const char *spec;
        Kind kind;
        uint64_t first, last;
        uint32_t offset, value;
    };
    const Case cases[] = {
        {"drop-reply@7", Kind::DropReply, 7, 7, 0, 0},
        {"drop-reply@3-11", Kind::DropReply, 3, 11, 0, 0},
        {"wrong-echo@0x10", Kind::WrongEcho, 16, 16, 0, 0},
        {"short-reply@5", Kind::ShortReply, 5, 5, 0, 4},
        {"short-reply@5-6:7", Kind::ShortReply, 5, 6, 0, 7},
        {"leave@9", Kind::Leave, 9, 9, 0, 0},
        {"reboot@2", Kind::Reboot, 2, 2, 0, 0},
        {"busy-after-erase=3", Kind::BusyAfterErase, 0, 0, 0, 3},
        {"silent-while-erasing", Kind::SilentWhileErasing, 0, 0, 0, 0},
        {"flip-bit=0x4000", Kind::FlipBit, 0, 0, 0x4000, 0},
        {"flip-bit=0x1FFFFF:7", Kind::FlipBit, 0, 0, 0x1FFFFF, 7},
        {"latency=125", Kind::Latency, 0, 0, 0, 125},
        {"late-reply@4", Kind::LateReply, 4, 4, 0, 500},
        {"late-reply@4-5:20", Kind::LateReply, 4, 5, 0, 20},
        {"power-cut@12", Kind::PowerCut, 12, 12, 0, 0},
    };
    for (const Case &c : cases) {
        std::string error;
        auto faults = parseFaults(c.spec, error);
        ASSERT_TRUE(faults) << c.spec << ": " << error;
        ASSERT_EQ(faults->size(), 1u);
        const Fault &f = faults->front();
        EXPECT_EQ(f.kind, c.kind) << c.spec;
        EXPECT_EQ(f.first, c.first) << c.spec;
        EXPECT_EQ(f.last, c.last) << c.spec;
        EXPECT_EQ(f.offset, c.offset) << c.spec;
        EXPECT_EQ(f.value, c.value) << c.spec;
    }
}

TEST(FaultSpec, CommasJoinSeveral) {
    std::string error;
    auto faults = parseFaults("drop-reply@4,latency=10,silent-while-erasing", error);
    ASSERT_TRUE(faults) << error;
    ASSERT_EQ(faults->size(), 3u);
    EXPECT_EQ((*faults)[1].kind, Kind::Latency);
}

TEST(FaultSpec, MalformedSpecsAreRejectedWithAReason) {
    const char *bad[] = {
        "",
        "drop-reply",
        "drop-reply@",
        "drop-reply@0",
        "drop-reply@5-3",
        "drop-reply@x",
        "drop-reply@-4",
        "leave@3-4",
        "reboot@",
        "short-reply@4:2000",
        "busy-after-erase",
        "busy-after-erase=-1",
        "flip-bit=0x200000",
        "flip-bit=0x10:8",
        "latency=99999999",
        "silent-while-erasing=1",
        "explode@3",
        "drop-reply@4,",
        "latency=1e3",
        "late-reply@2:3600001",
        "power-cut@3-4",
    };
    for (const char *spec : bad) {
        std::string error;
        EXPECT_FALSE(parseFaults(spec, error)) << spec;
        EXPECT_FALSE(error.empty()) << spec;
    }
}

}  // namespace
}  // namespace projector_emulator
