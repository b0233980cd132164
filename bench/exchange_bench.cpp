// SPDX-License-Identifier: MIT
// One command exchange through the whole host stack on the loopback bus, and
// the same exchange taken apart: the driver's requests, the presence check,
// the frame build, the transport, the flash library's command.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "bench_support.h"
#include "driver_probe.h"
#include "command_frame/command_frame.h"
#include "frame_buffer.h"
#include "qrvdl.h"
#include "qrvusb.h"
#include "usb_driver/driver_records.h"

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

// A 64-byte download frame of 56 image bytes, as the library builds it.
Bytes blockFrame() {
    const Bytes image = imagePattern(kBlockBytes);
    return downloadFrame(image.data(), kBlockBytes);
}

// The headline: QRV_WriteQrvUsbCmd with a download frame, reply capacity 6.
void BM_Transport_WriteQrvUsbCmd(benchmark::State &state) {
    LoopbackLink link;
    if (!link.open()) return state.SkipWithError("QRV_USBInit failed");
    const Bytes frame = blockFrame();
    uint8_t buffer[command_frame::kFrameBufferSize] = {};
    int32_t failed = 0;
    for (auto _ : state) {
        // The reply overwrites the frame, as it does in the library.
        std::memcpy(buffer, frame.data(), frame.size());
        uint32_t capacity = 6;
        failed |= QRV_WriteQrvUsbCmd(buffer, static_cast<uint32_t>(frame.size()), &capacity);
    }
    if (failed) state.SkipWithError("an exchange failed");
    state.counters["exchanges_per_s"] = benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_Transport_WriteQrvUsbCmd)->UseRealTime();

// The distribution of single exchanges: each of the download's 37,157
// exchanges timed on its own.
void BM_Transport_ExchangeSamples(benchmark::State &state) {
    LoopbackLink link;
    if (!link.open()) return state.SkipWithError("QRV_USBInit failed");
    const Bytes frame = blockFrame();
    uint8_t buffer[command_frame::kFrameBufferSize] = {};
    const size_t count = (kFullImageBytes - (kWizardStart & 0x01DFFFFF) + kBlockBytes - 1) / kBlockBytes;
    std::vector<double> samples;
    samples.reserve(count);
    int32_t failed = 0;
    for (auto _ : state) {
        samples.clear();
        for (size_t i = 0; i < count; ++i) {
            std::memcpy(buffer, frame.data(), frame.size());
            uint32_t capacity = 6;
            const auto start = Clock::now();
            failed |= QRV_WriteQrvUsbCmd(buffer, static_cast<uint32_t>(frame.size()), &capacity);
            samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
    }
    if (failed) state.SkipWithError("an exchange failed");
    std::sort(samples.begin(), samples.end());
    state.counters["exchanges"] = static_cast<double>(count);
    state.counters["p50_us"] = percentile(samples, 50);
    state.counters["p90_us"] = percentile(samples, 90);
    state.counters["p99_us"] = percentile(samples, 99);
    state.counters["max_us"] = samples.empty() ? 0 : samples.back();
}
BENCHMARK(BM_Transport_ExchangeSamples)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The flash library's command: frame build and exchange.
void BM_FlashLib_CmdWriteFlashDownloadData(benchmark::State &state) {
    LoopbackLink link;
    if (!link.open()) return state.SkipWithError("QRV_USBInit failed");
    const Bytes block = imagePattern(kBlockBytes);
    int32_t failed = 0;
    for (auto _ : state) failed |= QRVDL_CmdWriteFlashDownloadData(block.data(), static_cast<int32_t>(block.size()));
    if (failed) state.SkipWithError("a command failed");
}
BENCHMARK(BM_FlashLib_CmdWriteFlashDownloadData)->UseRealTime();

// Building the download frame alone: zeroed 520-byte buffer, header, data, checksum.
void BM_FlashLib_BuildDownloadFrame(benchmark::State &state) {
    const Bytes block = imagePattern(kBlockBytes);
    for (auto _ : state) {
        flash_download::FrameBuffer frame;
        benchmark::DoNotOptimize(frame.build(command_frame::kWriteFrame, command_frame::kOpFlashDataDownload, block));
        benchmark::DoNotOptimize(frame.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_FlashLib_BuildDownloadFrame)->UseRealTime();

// Opens the link with the probe under the transport and makes one exchange,
// so that the probe knows the device's unique id and the context's connection.
class ProbedLink {
public:
    ProbedLink() {
        probe::install();
        link_ = std::make_unique<LoopbackLink>();
        if (!link_->open()) return;
        const Bytes frame = blockFrame();
        uint8_t buffer[command_frame::kFrameBufferSize] = {};
        std::memcpy(buffer, frame.data(), frame.size());
        uint32_t capacity = 6;
        ready_ = QRV_WriteQrvUsbCmd(buffer, static_cast<uint32_t>(frame.size()), &capacity) == 0 &&
                 probe::uniqueId() != 0 && probe::contextConnection() != nullptr;
    }
    ~ProbedLink() {
        link_.reset();
        probe::remove();
    }
    bool ready() const { return ready_; }

private:
    std::unique_ptr<LoopbackLink> link_;
    bool ready_ = false;
};

// The presence check as the device manager makes it: the size query, the
// block's allocation, the fill, and the release.
void BM_Driver_PresenceCheck(benchmark::State &state) {
    ProbedLink link;
    if (!link.ready()) return state.SkipWithError("no probed link");
    usb_driver::Connection *connection = probe::contextConnection();
    uint32_t failed = 0;
    for (auto _ : state) {
        usb_driver::DeviceInfoQuery query{};
        query.dwUniqueID = probe::uniqueId();
        failed |= usb_driver::DriverIoctl(connection, usb_driver::IOCTL_DEVICE_INFO, &query, sizeof query);
        void *block = std::calloc(1, query.dwBytes);
        query.pBuf = block;
        failed |= usb_driver::DriverIoctl(connection, usb_driver::IOCTL_DEVICE_INFO, &query, sizeof query);
        std::free(block);
    }
    if (failed) state.SkipWithError("a device information request failed");
    state.counters["info_block_bytes"] = probe::infoBlockBytes();
}
BENCHMARK(BM_Driver_PresenceCheck)->UseRealTime();

// The information block's allocation and release alone.
void BM_Driver_InfoBlockAllocation(benchmark::State &state) {
    ProbedLink link;
    if (!link.ready()) return state.SkipWithError("no probed link");
    const size_t bytes = probe::infoBlockBytes();
    for (auto _ : state) {
        void *block = std::calloc(1, bytes);
        benchmark::DoNotOptimize(block);
        std::free(block);
    }
}
BENCHMARK(BM_Driver_InfoBlockAllocation)->UseRealTime();

// The exchange's two transfers as driver requests, each on a connection of
// its own (open, IOCTL_TRANSFER, close), as the device manager sends them.
void BM_Driver_DownloadTransfers(benchmark::State &state) {
    ProbedLink link;
    if (!link.ready()) return state.SkipWithError("no probed link");
    Bytes frame = blockFrame();
    uint8_t reply[64];
    auto request = [&](uint32_t pipe, bool read, uint8_t *buffer, uint32_t size) {
        usb_driver::TransferRecord record{};
        record.dwUniqueID = probe::uniqueId();
        record.dwPipeNum = pipe;
        record.fRead = read;
        record.pBuffer = buffer;
        record.dwBufferSize = size;
        record.dwTimeout = 2000;
        usb_driver::Connection *own = usb_driver::driverOpen();
        const uint32_t status = usb_driver::DriverIoctl(own, usb_driver::IOCTL_TRANSFER, &record, sizeof record);
        usb_driver::driverClose(own);
        return status;
    };
    uint32_t failed = 0;
    for (auto _ : state) {
        failed |= request(0x01, false, frame.data(), static_cast<uint32_t>(frame.size()));
        failed |= request(0x81, true, reply, 6);
    }
    if (failed) state.SkipWithError("a transfer request failed");
}
BENCHMARK(BM_Driver_DownloadTransfers)->UseRealTime();

// One exchange with every layer timed from the inside (probe and timing bus).
// Its twenty clock reads per exchange add to the total (see BM_ClockRead).
void BM_Transport_ExchangeBreakdown(benchmark::State &state) {
    probe::install();
    {
        LoopbackLink link(benchProjector(), &makeTimingBus);
        if (!link.open()) {
            probe::remove();
            return state.SkipWithError("QRV_USBInit failed");
        }
        const Bytes frame = blockFrame();
        uint8_t buffer[command_frame::kFrameBufferSize] = {};
        int32_t failed = 0;
        probe::resetTimes();
        probe::setTiming(true);
        for (auto _ : state) {
            std::memcpy(buffer, frame.data(), frame.size());
            uint32_t capacity = 6;
            failed |= QRV_WriteQrvUsbCmd(buffer, static_cast<uint32_t>(frame.size()), &capacity);
        }
        probe::setTiming(false);
        if (failed) state.SkipWithError("an exchange failed");
        const LayerTimes &times = probe::times();
        const double n = static_cast<double>(state.iterations());
        state.counters["presence_ns"] = static_cast<double>(times.presenceNs) / n;
        state.counters["transfer_requests_ns"] = static_cast<double>(times.transferNs) / n;
        state.counters["bus_ns"] = static_cast<double>(times.busNs) / n;
        state.counters["connections_ns"] = static_cast<double>(times.connectionNs) / n;
        state.counters["presence_requests"] = static_cast<double>(times.presenceRequests) / n;
        state.counters["transfer_requests"] = static_cast<double>(times.transferRequests) / n;
    }
    probe::remove();
}
BENCHMARK(BM_Transport_ExchangeBreakdown)->UseRealTime();

// What one clock read costs.
void BM_ClockRead(benchmark::State &state) {
    for (auto _ : state) benchmark::DoNotOptimize(Clock::now());
}
BENCHMARK(BM_ClockRead);

}  // namespace
}  // namespace bench
