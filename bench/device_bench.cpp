// SPDX-License-Identifier: MIT
// The floor under every host stack: the emulated projector alone, and with the
// loopback bus in front of it. No driver, no transport.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>

#include "bench_support.h"
#include "command_frame/command_frame.h"
#include "test_support/loopback_bus.h"

namespace bench {
namespace {

using namespace command_frame;

constexpr size_t kReplyBytes = 64;

// Every frame the device receives in a full update (QRVDL_LoadFlash of a 2 MB
// image from the second sector, no busy answers), built once.
const std::vector<Bytes> &fullUpdateFrames() {
    static const std::vector<Bytes> frames = [] {
        std::vector<Bytes> list;
        const uint32_t start = kWizardStart & 0x01DFFFFF;
        const uint32_t length = kFullImageBytes - start;
        list.push_back(statusFrame());
        // Flash information reads: 10 data bytes, selector in the fourth parameter.
        auto information = [](uint8_t selector) {
            const uint8_t parameters[4] = {kFlashInformationDataCount, 0, 0, selector};
            return commandFrame(kReadFrame, kOpFlashInformationRead, parameters, 4);
        };
        list.push_back(information(kSelectDevice));
        list.push_back(information(kSelectManufacturer));
        auto programmingMode = [](uint8_t mode) { return commandFrame(kWriteFrame, kOpProgrammingMode, &mode, 1); };
        list.push_back(programmingMode(kModeProgramming));
        for (size_t i = 0; i < projector_emulator::kSectorCount; ++i) {
            if (projector_emulator::kSectorStarts[i] < start) continue;
            list.push_back(addressFrame(projector_emulator::kSectorStarts[i]));
            list.push_back(eraseFrame());
            list.push_back(statusFrame());
        }
        list.push_back(programmingMode(kModeProgramming));
        list.push_back(addressFrame(start));
        list.push_back(sizeFrame(length));
        const Bytes image = imagePattern(kFullImageBytes);
        for (uint32_t offset = start; offset < kFullImageBytes; offset += kBlockBytes) {
            const size_t count = std::min<size_t>(kBlockBytes, kFullImageBytes - offset);
            list.push_back(downloadFrame(image.data() + offset, count));
        }
        list.push_back(commandFrame(kWriteFrame, kOpFlashChecksumCalculation, nullptr, 0));
        list.push_back(information(kSelectChecksum));
        return list;
    }();
    return frames;
}

// Raw floor: every frame of a full update through Tz4817Device::bulkOut and
// its reply through bulkIn, erase time 0.
void BM_Device_FullUpdate(benchmark::State &state) {
    const std::vector<Bytes> &frames = fullUpdateFrames();
    auto flash = projector_emulator::NorFlash::inMemory();
    projector_emulator::Tz4817Device device(*flash, benchProjector());
    const uint32_t generation = device.presence().generation;
    uint8_t reply[kReplyBytes];
    size_t length = 0;
    uint64_t missing = 0;
    for (auto _ : state) {
        for (const Bytes &frame : frames) {
            device.bulkOut(generation, frame);
            if (device.bulkIn(generation, reply, length) != projector_emulator::TransferStatus::Ok) ++missing;
        }
    }
    if (missing) state.SkipWithError("the device left frames unanswered");
    const uint32_t start = kWizardStart & 0x01DFFFFF;
    if (flash->sum(start, kFullImageBytes - start) == 0) state.SkipWithError("nothing programmed");
    state.counters["frames"] = static_cast<double>(frames.size());
    state.counters["frames_per_s"] =
        benchmark::Counter(static_cast<double>(frames.size()), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_Device_FullUpdate)->Unit(benchmark::kMillisecond)->UseRealTime();

// One download frame (64 bytes) and its 6-byte reply at the device.
void BM_Device_DownloadFrame(benchmark::State &state) {
    auto flash = projector_emulator::NorFlash::inMemory();
    projector_emulator::Tz4817Device device(*flash, benchProjector());
    const uint32_t generation = device.presence().generation;
    const Bytes image = imagePattern(kBlockBytes);
    const Bytes frame = downloadFrame(image.data(), kBlockBytes);
    uint8_t reply[kReplyBytes];
    size_t length = 0;
    for (auto _ : state) {
        device.bulkOut(generation, frame);
        device.bulkIn(generation, reply, length);
        benchmark::DoNotOptimize(reply);
    }
    if (length != 6) state.SkipWithError("no 6-byte reply");
}
BENCHMARK(BM_Device_DownloadFrame)->UseRealTime();

// Takes the one device the loopback bus reports.
class KeyListener : public usb_driver::BusListener {
public:
    bool wanted(uint16_t, uint16_t, const std::string &) override { return true; }
    void busFailed(uint32_t) override {}
    void deviceArrived(const usb_driver::BusDevice &device) override {
        std::lock_guard lock(mutex_);
        key_ = device.key;
        arrived_.notify_all();
    }
    void deviceLeft(uint64_t) override {}
    uint64_t waitForKey() {
        std::unique_lock lock(mutex_);
        arrived_.wait_for(lock, std::chrono::seconds(5), [&] { return key_ != 0; });
        return key_;
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    uint64_t key_ = 0;
};

// The same frame and reply as two LoopbackBus transfers (bus and device).
void BM_LoopbackBus_DownloadTransfers(benchmark::State &state) {
    auto flash = projector_emulator::NorFlash::inMemory();
    projector_emulator::Tz4817Device device(*flash, benchProjector());
    test_support::LoopbackBus bus(device);
    bus.setLogging(false);
    KeyListener listener;
    const uint64_t key = bus.start(listener) == 0 ? listener.waitForKey() : 0;
    if (key == 0 || bus.open(key) != 0) {
        state.SkipWithError("the loopback bus reported no device");
        bus.stop();
        return;
    }
    const Bytes image = imagePattern(kBlockBytes);
    Bytes frame = downloadFrame(image.data(), kBlockBytes);
    uint8_t reply[kReplyBytes];
    usb_driver::TransferRequest out;
    out.pipe = projector_emulator::kBulkOutEndpoint;
    out.buffer = frame.data();
    out.length = static_cast<uint32_t>(frame.size());
    out.timeoutMs = 2000;
    usb_driver::TransferRequest in;
    in.pipe = projector_emulator::kBulkInEndpoint;
    in.in = true;
    in.buffer = reply;
    in.length = 6;
    in.timeoutMs = 2000;
    uint32_t transferred = 0, failed = 0;
    for (auto _ : state) {
        failed |= bus.transfer(key, out, transferred);
        failed |= bus.transfer(key, in, transferred);
    }
    bus.stop();
    if (failed || transferred != 6) state.SkipWithError("a bus transfer failed");
}
BENCHMARK(BM_LoopbackBus_DownloadTransfers)->UseRealTime();

}  // namespace
}  // namespace bench
