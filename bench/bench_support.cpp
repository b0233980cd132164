// SPDX-License-Identifier: MIT
#include "bench_support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "command_frame/command_frame.h"
#include "qrvusb.h"
#include "test_support/loopback_bus.h"
#include "usb_driver/driver.h"

namespace bench {
namespace {

uint32_t gImageBytes = kFullImageBytes;

using namespace command_frame;

}  // namespace

// kind, 0, 0, body length, class 0x34, operation, parameters, checksum.
Bytes commandFrame(uint8_t kind, uint8_t operation, const uint8_t *parameters, size_t count) {
    Bytes bytes(count + kFrameOverhead, 0);
    const size_t body = bytes.size() - kMinFrameLength;
    bytes[kKindOffset] = kind;
    bytes[kBodyLengthOffset] = static_cast<uint8_t>(body);
    bytes[kBodyLengthOffset + 1] = static_cast<uint8_t>(body >> 8);
    bytes[kClassOffset] = kCommandClass;
    bytes[kOperationOffset] = operation;
    if (count) std::memcpy(bytes.data() + kParameterOffset, parameters, count);
    bytes.back() = checksum(bytes);
    return bytes;
}

namespace {

Bytes le24Frame(uint8_t operation, uint32_t value) {
    const uint8_t parameters[3] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                   static_cast<uint8_t>(value >> 16)};
    return commandFrame(kWriteFrame, operation, parameters, 3);
}

}  // namespace

uint32_t imageBytes() { return gImageBytes; }

void takeImageBytesOption(int &argc, char **argv) {
    const std::string prefix = "--image-bytes=";
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.rfind(prefix, 0) != 0) {
            argv[kept++] = argv[i];
            continue;
        }
        char *end = nullptr;
        const unsigned long value = std::strtoul(argument.c_str() + prefix.size(), &end, 0);
        if (*end != '\0' || value <= (kWizardStart & 0x01DFFFFF) || value > kFullImageBytes) {
            std::fprintf(stderr, "%s: --image-bytes takes 0x4001..0x200000, not '%s'\n", argv[0],
                         argument.c_str() + prefix.size());
            std::exit(2);
        }
        gImageBytes = static_cast<uint32_t>(value);
    }
    argc = kept;
    argv[argc] = nullptr;
}

uint32_t erasedSectors(uint32_t size) {
    const uint32_t start = kWizardStart & 0x01DFFFFF;
    uint32_t count = 0;
    for (size_t i = 0; i < projector_emulator::kSectorCount; ++i)
        if (projector_emulator::kSectorStarts[i] >= start && projector_emulator::kSectorStarts[i] < size) ++count;
    return count;
}

uint64_t loadFlashExchanges(uint32_t size) {
    const uint32_t length = size - (kWizardStart & 0x01DFFFFF);
    const uint64_t blocks = (length + kBlockBytes - 1) / kBlockBytes;
    return 9 + 3ull * erasedSectors(size) + blocks;
}

Bytes imagePattern(size_t size) {
    Bytes bytes(size);
    uint32_t state = 0x4817;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = static_cast<uint8_t>(state >> 24);
    }
    return bytes;
}

TempDirectory::TempDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qrv-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    path_ = pattern;
}

TempDirectory::~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDirectory::writeImage(uint32_t size, const std::string &name) const {
    const std::string path = (path_ / name).string();
    const Bytes bytes = imagePattern(size);
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

QuietStdout::QuietStdout() {
    std::fflush(stdout);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) return;
    saved_ = ::dup(STDOUT_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
}

QuietStdout::~QuietStdout() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
}

projector_emulator::DeviceOptions benchProjector(uint32_t latencyUs) {
    projector_emulator::DeviceOptions options;
    options.initialMode = projector_emulator::Mode::Programming;
    options.eraseTime = std::chrono::milliseconds(0);
    options.rebootDelay = std::chrono::milliseconds(5);
    if (latencyUs) {
        projector_emulator::Fault latency{projector_emulator::Fault::Kind::Latency};
        latency.value = latencyUs;
        options.faults.push_back(latency);
    }
    return options;
}

LoopbackLink::LoopbackLink(projector_emulator::DeviceOptions options, BusMaker makeBus)
    : flash_(projector_emulator::NorFlash::inMemory()),
      device_(std::make_unique<projector_emulator::Tz4817Device>(*flash_, std::move(options))) {
    usb_driver::testing::setBusFactory([device = device_.get(), makeBus]() -> std::shared_ptr<usb_driver::Bus> {
        if (makeBus) return makeBus(*device);
        auto bus = std::make_shared<test_support::LoopbackBus>(*device);
        // A full download is 74,000 transfers: the log would grow by megabytes
        // and cost an allocation per transfer.
        bus->setLogging(false);
        return bus;
    });
    open_ = QRV_USBInit() == 0;
}

LoopbackLink::~LoopbackLink() {
    QRV_USBTerm();
    usb_driver::testing::setBusFactory({});
}

UsbipLink::UsbipLink(projector_emulator::DeviceOptions options)
    : flash_(projector_emulator::NorFlash::inMemory()),
      device_(std::make_unique<projector_emulator::Tz4817Device>(*flash_, std::move(options))) {
    projector_emulator::UsbipServerOptions serverOptions;
    serverOptions.host = "127.0.0.1";
    serverOptions.port = 0;
    server_ = std::make_unique<projector_emulator::UsbipServer>(*device_, serverOptions);
    if (!server_->start(error_)) return;
    usb_driver::testing::setBusFactory({});
    const std::string address = "127.0.0.1:" + std::to_string(server_->port());
    ::setenv("QRV_USBIP", address.c_str(), 1);
    const int32_t status = QRV_USBInit();
    open_ = status == 0;
    if (!open_) error_ = "QRV_USBInit returned " + std::to_string(status);
}

UsbipLink::~UsbipLink() {
    QRV_USBTerm();
    ::unsetenv("QRV_USBIP");
    if (server_) server_->stop();
}

Bytes downloadFrame(const uint8_t *data, size_t count) {
    return commandFrame(kWriteFrame, kOpFlashDataDownload, data, count);
}
Bytes addressFrame(uint32_t address) { return le24Frame(kOpFlashAddress, address); }
Bytes sizeFrame(uint32_t size) { return le24Frame(kOpFlashSize, size); }
Bytes eraseFrame() { return commandFrame(kWriteFrame, kOpFlashSectorErase, nullptr, 0); }
Bytes statusFrame() { return commandFrame(kReadFrame, kOpStatusRead, &kStatusDataCount, 1); }

double median(std::vector<double> &samples) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const size_t n = samples.size();
    return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

double percentile(const std::vector<double> &sorted, double p) {
    if (sorted.empty()) return 0;
    const size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
    return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

}  // namespace bench
