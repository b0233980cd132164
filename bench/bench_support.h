// SPDX-License-Identifier: MIT
// What every benchmark program needs: image files, an emulated projector on
// the loopback bus or behind an in-process USB/IP server with the link open,
// the device's download frames, and a way to keep the library's lines off
// the benchmark's own output.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "projector_emulator/device.h"
#include "projector_emulator/nor_flash.h"
#include "projector_emulator/usbip_server.h"
#include "usb_driver/bus.h"

namespace bench {

using Bytes = std::vector<uint8_t>;

// The start address the update passes, and a whole-flash image: from it the
// download covers 0x4000..0x200000, 2,080,768 bytes in 37,157 blocks.
inline constexpr uint32_t kWizardStart = 0xFE204000;
inline constexpr uint32_t kFullImageBytes = 0x200000;
inline constexpr uint32_t kBlockBytes = 56;

// Image size used by the whole-update benchmarks; smaller in a smoke run.
// Set from --image-bytes=N (see takeImageBytesOption).
uint32_t imageBytes();
// Removes --image-bytes=N from argv (it is not a benchmark flag) and applies
// it. Exits with a message on a value outside 0x4001..0x200000.
void takeImageBytesOption(int &argc, char **argv);

// Frames the device receives in one QRVDL_LoadFlash of an image of `size`
// bytes from kWizardStart with length 0 and no busy answers: status, identity
// (2), programming mode, per erased sector address + erase + status,
// programming mode, address, size, the blocks, checksum calculate + read.
uint64_t loadFlashExchanges(uint32_t size);
// Sectors erased by that download.
uint32_t erasedSectors(uint32_t size);

// `size` bytes, byte i a fixed function of i; every value occurs.
Bytes imagePattern(size_t size);

// A fresh directory under the system's temporary directory, removed with the object.
class TempDirectory {
public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory &) = delete;
    TempDirectory &operator=(const TempDirectory &) = delete;
    const std::filesystem::path &path() const { return path_; }
    // Writes imagePattern(size) to a file in the directory; its path.
    std::string writeImage(uint32_t size, const std::string &name = "tz4817.img") const;

private:
    std::filesystem::path path_;
};

// Standard output goes to /dev/null while this lives (QRVDL_LoadFlash prints
// "File[...] Size[...]" on every call; the benchmark table is on standard output).
class QuietStdout {
public:
    QuietStdout();
    ~QuietStdout();
    QuietStdout(const QuietStdout &) = delete;
    QuietStdout &operator=(const QuietStdout &) = delete;

private:
    int saved_ = -1;
};

// A projector in programming mode (erase time 0, reboot 5 ms) with
// `latencyUs` added to every bulk transfer when non-zero.
projector_emulator::DeviceOptions benchProjector(uint32_t latencyUs = 0);

// Makes the bus the driver gets for `device`.
using BusMaker = std::function<std::shared_ptr<usb_driver::Bus>(projector_emulator::Tz4817Device &device)>;

// The open USB link (QRV_USBInit) to an emulated projector on the driver's
// loopback bus, with the bus's transfer log switched off (or on the bus that
// `makeBus` makes). One at a time.
class LoopbackLink {
public:
    explicit LoopbackLink(projector_emulator::DeviceOptions options = benchProjector(), BusMaker makeBus = {});
    ~LoopbackLink();  // QRV_USBTerm, the driver's default bus again
    LoopbackLink(const LoopbackLink &) = delete;
    LoopbackLink &operator=(const LoopbackLink &) = delete;

    bool open() const { return open_; }
    projector_emulator::Tz4817Device &device() { return *device_; }

private:
    std::unique_ptr<projector_emulator::NorFlash> flash_;
    std::unique_ptr<projector_emulator::Tz4817Device> device_;
    bool open_ = false;
};

// The open USB link through the driver's USB/IP client (QRV_USBIP) to an
// emulated projector behind a UsbipServer of this process on 127.0.0.1.
class UsbipLink {
public:
    explicit UsbipLink(projector_emulator::DeviceOptions options = benchProjector());
    ~UsbipLink();  // QRV_USBTerm, QRV_USBIP unset, server stopped
    UsbipLink(const UsbipLink &) = delete;
    UsbipLink &operator=(const UsbipLink &) = delete;

    bool open() const { return open_; }
    const std::string &error() const { return error_; }
    projector_emulator::Tz4817Device &device() { return *device_; }

private:
    std::unique_ptr<projector_emulator::NorFlash> flash_;
    std::unique_ptr<projector_emulator::Tz4817Device> device_;
    std::unique_ptr<projector_emulator::UsbipServer> server_;
    bool open_ = false;
    std::string error_;
};

// Command frames as the library builds them, without sequence number (byte 1
// is 0): the device accepts any sequence number.
// A frame of `kind` and `operation` with `count` parameter bytes.
Bytes commandFrame(uint8_t kind, uint8_t operation, const uint8_t *parameters, size_t count);
Bytes downloadFrame(const uint8_t *data, size_t count);
Bytes addressFrame(uint32_t address);
Bytes sizeFrame(uint32_t size);
Bytes eraseFrame();
Bytes statusFrame();

// Median of the samples (sorts them).
double median(std::vector<double> &samples);
// The p-th percentile (0..100) of sorted samples, nearest rank.
double percentile(const std::vector<double> &sorted, double p);

}  // namespace bench
