// SPDX-License-Identifier: MIT
#include "projector_emulator/nor_flash.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace projector_emulator {
namespace {

std::vector<uint8_t> readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/nor_flash_test.XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string file(const char *name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

TEST(SectorMap, BottomBootLayoutOf35Sectors) {
    EXPECT_EQ(kSectorStarts.front(), 0u);
    EXPECT_EQ(kSectorStarts[1], 0x4000u);
    EXPECT_EQ(kSectorStarts[2], 0x6000u);
    EXPECT_EQ(kSectorStarts[3], 0x8000u);
    EXPECT_EQ(kSectorStarts[4], 0x10000u);
    EXPECT_EQ(kSectorStarts[34], 0x1F0000u);
    EXPECT_EQ(kSectorStarts.back(), kFlashSize);
}

TEST(SectorMap, OffsetsFindTheSectorThatHoldsThem) {
    const std::pair<uint32_t, size_t> cases[] = {
        {0x0000, 0}, {0x3FFF, 0}, {0x4000, 1},  {0x5FFF, 1},  {0x6000, 2},    {0x7FFF, 2},
        {0x8000, 3}, {0xFFFF, 3}, {0x10000, 4}, {0x1FFFF, 4}, {0x1F0000, 34}, {0x1FFFFF, 34},
    };
    for (auto [offset, index] : cases) EXPECT_EQ(NorFlash::sectorIndexOf(offset), index) << std::hex << offset;
}

TEST(NorFlash, EraseSetsExactlyOneSectorToFF) {
    auto flash = NorFlash::inMemory();
    flash->eraseSector(2);  // 0x6000..0x7FFF
    EXPECT_NE(flash->at(0x5FFF), 0xFF);
    for (uint32_t offset = 0x6000; offset < 0x8000; ++offset) ASSERT_EQ(flash->at(offset), 0xFF);
    EXPECT_NE(flash->at(0x8000), 0xFF);
}

TEST(NorFlash, ProgrammingOnlyClearsBitsAndCountsAOneOverAZero) {
    auto flash = NorFlash::inMemory();
    flash->eraseSector(1);
    EXPECT_TRUE(flash->program(0x4000, 0xA5));
    EXPECT_EQ(flash->at(0x4000), 0xA5);
    EXPECT_TRUE(flash->program(0x4000, 0x21));  // clears more bits: fine
    EXPECT_EQ(flash->at(0x4000), 0x21);
    EXPECT_FALSE(flash->program(0x4000, 0xFF));  // would set bits
    EXPECT_EQ(flash->at(0x4000), 0x21);
    EXPECT_EQ(flash->programErrors(), 1u);
}

TEST(NorFlash, SumWrapsAndStopsAtTheEndOfTheFlash) {
    auto flash = NorFlash::inMemory();
    for (size_t i = 0; i < kSectorCount; ++i) flash->eraseSector(i);
    EXPECT_EQ(flash->sum(0, kFlashSize), 0xFFu * kFlashSize);  // 0x1FE00000, below 2^32
    EXPECT_EQ(flash->sum(kFlashSize - 2, 100), 0x1FEu);
    EXPECT_EQ(flash->sum(kFlashSize, 10), 0u);
    EXPECT_EQ(flash->sum(0x4000, 0), 0u);
}

TEST(NorFlash, FactoryPatternHasABootBlockAndOldFirmware) {
    auto image = NorFlash::factoryPattern();
    ASSERT_EQ(image.size(), kFlashSize);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(image.data())), "TZ4817 BOOT LOADER v1.3");
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(image.data() + 0x4000)), "TZ4817 APPLICATION v1.0");
    EXPECT_EQ(image, NorFlash::factoryPattern());  // deterministic
}

TEST(FlashFile, MissingFileIsCreatedWithTheFactoryPattern) {
    TempDir dir;
    std::string error;
    auto flash = NorFlash::openFile(dir.file("flash.bin"), error);
    ASSERT_TRUE(flash) << error;
    EXPECT_EQ(readFile(dir.file("flash.bin")), NorFlash::factoryPattern());
}

TEST(FlashFile, ChangesAreInTheFileAtOnceAndSurviveReopening) {
    TempDir dir;
    std::string error;
    auto flash = NorFlash::openFile(dir.file("flash.bin"), error);
    ASSERT_TRUE(flash) << error;
    flash->eraseSector(1);
    ASSERT_TRUE(flash->program(0x4000, 0x12));
    auto onDisk = readFile(dir.file("flash.bin"));  // flash still open
    EXPECT_EQ(onDisk[0x4000], 0x12);
    EXPECT_EQ(onDisk[0x4001], 0xFF);
    flash.reset();
    auto again = NorFlash::openFile(dir.file("flash.bin"), error);
    ASSERT_TRUE(again) << error;
    EXPECT_EQ(again->at(0x4000), 0x12);
}

TEST(FlashFile, KilledProcessLeavesWhatItHadWritten) {
    TempDir dir;
    const std::string path = dir.file("flash.bin");
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string error;
        auto flash = NorFlash::openFile(path, error);
        if (!flash) ::_exit(3);
        flash->eraseSector(3);
        if (!flash->program(0x8000, 0x5A)) ::_exit(5);
        ::kill(::getpid(), SIGKILL);  // no destructor, no msync
        ::_exit(4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "child exit " << WEXITSTATUS(status);
    auto onDisk = readFile(path);
    ASSERT_EQ(onDisk.size(), kFlashSize);
    EXPECT_EQ(onDisk[0x8000], 0x5A);
    EXPECT_EQ(onDisk[0x8001], 0xFF);
    EXPECT_EQ(onDisk[0x7FFF], NorFlash::factoryPattern()[0x7FFF]);
}

TEST(FlashFile, WrongSizeOrUnopenablePathIsAnError) {
    TempDir dir;
    {
        std::ofstream out(dir.file("short.bin"), std::ios::binary);
        out << "not a flash";
    }
    std::string error;
    EXPECT_FALSE(NorFlash::openFile(dir.file("short.bin"), error));
    EXPECT_NE(error.find("11 bytes"), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE(NorFlash::openFile(dir.file("no/such/dir/flash.bin"), error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace projector_emulator
