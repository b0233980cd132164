// The whole update as the program runs it, through the shipped libraries
// (libqrvdldll.so over libqrvusbdll.so), over USB/IP on a loopback TCP
// connection to an emulated projector whose flash lives in a file: open the
// link, switch to programming mode, download a whole-flash image from the
// second sector, leave programming mode, close the link.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "qrvdl.h"
#include "qrvusb.h"
#include "tz4817/device.h"
#include "tz4817/nor_flash.h"
#include "tz4817/usbip_server.h"

namespace {

using Bytes = std::vector<uint8_t>;

class TempDirectory {
public:
    TempDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qrvdl-e2e-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempDirectory() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

Bytes readFile(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<uint32_t> erased;
uint32_t lastProgrammed = 0;
uint32_t programmedReports = 0;
void onErased(uint32_t sector, uint32_t) { erased.push_back(sector); }
void onProgrammed(uint32_t done, uint32_t) {
    lastProgrammed = done;
    ++programmedReports;
}

TEST(UsbipUpdate, WholeImageReachesTheFlashFileAndTheBootSectorStays) {
    TempDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const auto flashPath = directory.path() / "flash.bin";
    const auto imagePath = directory.path() / "tz4817.img";

    Bytes image(tz4817::kFlashSize);
    std::mt19937 random(4817);
    for (auto &byte : image) byte = static_cast<uint8_t>(random() >> 24);
    {
        std::ofstream out(imagePath, std::ios::binary);
        out.write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(image.size()));
    }

    std::string captured;
    {
        std::string error;
        auto flash = tz4817::NorFlash::openFile(flashPath.string(), error);
        ASSERT_TRUE(flash) << error;
        tz4817::DeviceOptions options;
        options.initialMode = tz4817::Mode::Application;
        options.rebootDelay = std::chrono::milliseconds(50);
        options.eraseTime = std::chrono::milliseconds(0);
        tz4817::Tz4817Device device(*flash, options);
        tz4817::UsbipServerOptions serverOptions;
        serverOptions.port = 0;
        tz4817::UsbipServer server(device, serverOptions);
        ASSERT_TRUE(server.start(error)) << error;
        const std::string address = "127.0.0.1:" + std::to_string(server.port());
        ASSERT_EQ(::setenv("QRV_USBIP", address.c_str(), 1), 0);

        ASSERT_EQ(QRV_USBInit(), 0);
        ASSERT_EQ(QRVDL_SwitchAppToBoot(20), 0);
        EXPECT_EQ(device.presence().mode, tz4817::Mode::Programming);

        testing::internal::CaptureStdout();
        const int32_t result = QRVDL_LoadFlash(imagePath.c_str(), 0xFE204000, 0, onErased, onProgrammed);
        captured = testing::internal::GetCapturedStdout();
        EXPECT_EQ(result, 0);

        EXPECT_EQ(QRVDL_CmdWriteProgrammingMode(2), 0);
        EXPECT_EQ(QRV_USBTerm(), 0);
        server.stop();
        EXPECT_EQ(flash->programErrors(), 0u);
    }

    EXPECT_EQ(captured, "File[" + imagePath.string() + "] Size[2097152]\n");
    EXPECT_EQ(erased.size(), 34u);
    EXPECT_EQ(erased.front(), 0x4000u);
    EXPECT_EQ(erased.back(), 0x1F0000u);
    EXPECT_EQ(lastProgrammed, 0x1FC000u);
    EXPECT_EQ(programmedReports, 0x1FC000u / (74 * 56) + 1);

    const Bytes flashFile = readFile(flashPath);
    ASSERT_EQ(flashFile.size(), tz4817::kFlashSize);
    const Bytes factory = tz4817::NorFlash::factoryPattern();
    EXPECT_TRUE(std::equal(flashFile.begin(), flashFile.begin() + 0x4000, factory.begin()))
        << "the boot sector was touched";
    EXPECT_TRUE(std::equal(flashFile.begin() + 0x4000, flashFile.end(), image.begin() + 0x4000))
        << "the flash differs from the image";
}

}  // namespace
