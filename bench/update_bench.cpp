// SPDX-License-Identifier: MIT
// The whole download (QRVDL_LoadFlash of a 2 MB image from 0xFE204000,
// length 0, erase time 0) over each link: the loopback bus, USB/IP on
// loopback TCP, and USB/IP with the emulator's per-transfer latency, which
// models a USB link. The link's bound is what the modelled link alone needs:
// exchanges x 2 transfers x latency (erase time 0, and no busy answers, so no
// pauses).
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "bench_support.h"
#include "qrvdl.h"

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

const std::string &imagePath() {
    static TempDirectory directory;
    static const std::string path = directory.writeImage(imageBytes());
    return path;
}

uint64_t erasedReports = 0, programmedReports = 0;
void onErased(uint32_t, uint32_t) { ++erasedReports; }
void onProgrammed(uint32_t, uint32_t) { ++programmedReports; }

// Runs the download once per iteration on an open link and sets the counters.
template <typename Link>
void loadFlash(benchmark::State &state, Link &link, uint32_t latencyUs) {
    if (!link.open()) return state.SkipWithError("the link did not open");
    const std::string &path = imagePath();
    const uint64_t framesBefore = link.device().framesReceived();
    int32_t failed = 0;
    double seconds = 0;
    for (auto _ : state) {
        QuietStdout quiet;
        const auto start = Clock::now();
        failed |= QRVDL_LoadFlash(path.c_str(), kWizardStart, 0, &onErased, &onProgrammed);
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
    }
    if (failed) return state.SkipWithError("QRVDL_LoadFlash failed");
    const double runs = static_cast<double>(state.iterations());
    const double exchanges = static_cast<double>(link.device().framesReceived() - framesBefore) / runs;
    const double expected = static_cast<double>(loadFlashExchanges(imageBytes()));
    // More frames would mean busy answers and their pauses: not the download measured here.
    if (exchanges != expected) return state.SkipWithError("the download did not take the expected exchanges");
    state.counters["exchanges"] = exchanges;
    state.counters["expected_exchanges"] = expected;
    state.counters["us_per_exchange"] = seconds / runs / exchanges * 1e6;
    if (latencyUs) {
        const double bound = exchanges * 2 * latencyUs * 1e-6;
        state.counters["latency_us"] = latencyUs;
        state.counters["link_bound_s"] = bound;
        state.counters["ratio_to_bound"] = seconds / runs / bound;
    }
}

void BM_LoadFlash_Loopback(benchmark::State &state) {
    LoopbackLink link;
    loadFlash(state, link, 0);
}
BENCHMARK(BM_LoadFlash_Loopback)
    ->Iterations(5)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_LoadFlash_Usbip(benchmark::State &state) {
    UsbipLink link;
    if (!link.error().empty()) return state.SkipWithError(link.error().c_str());
    loadFlash(state, link, 0);
}
BENCHMARK(BM_LoadFlash_Usbip)
    ->Iterations(3)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_LoadFlash_UsbipLatency(benchmark::State &state) {
    const auto latency = static_cast<uint32_t>(state.range(0));
    UsbipLink link(benchProjector(latency));
    if (!link.error().empty()) return state.SkipWithError(link.error().c_str());
    loadFlash(state, link, latency);
}
BENCHMARK(BM_LoadFlash_UsbipLatency)->Arg(125)->Arg(1000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same latency on the loopback bus: the modelled link without TCP.
void BM_LoadFlash_LoopbackLatency(benchmark::State &state) {
    const auto latency = static_cast<uint32_t>(state.range(0));
    LoopbackLink link(benchProjector(latency));
    loadFlash(state, link, latency);
}
BENCHMARK(BM_LoadFlash_LoopbackLatency)
    ->Arg(125)
    ->Arg(1000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// What recording the update (QRV_RECORD) costs: the same download with the
// driver's recording tap writing every transfer to a file in the temporary
// folder, against the same link without it. Arguments: link (0 the loopback
// bus, 1 USB/IP), latency per transfer in microseconds, recorded (0, 1).
void BM_LoadFlash_Recording(benchmark::State &state) {
    const bool usbip = state.range(0) == 1;
    const auto latency = static_cast<uint32_t>(state.range(1));
    const bool recorded = state.range(2) == 1;
    TempDirectory directory;
    // Read when the link opens its bus, below.
    if (recorded) ::setenv("QRV_RECORD", (directory.path() / "run.pcapng").c_str(), 1);
    if (usbip) {
        UsbipLink link(benchProjector(latency));
        if (!link.error().empty()) return state.SkipWithError(link.error().c_str());
        loadFlash(state, link, latency);
    } else {
        LoopbackLink link(benchProjector(latency));
        loadFlash(state, link, latency);
    }
    ::unsetenv("QRV_RECORD");
    state.counters["recorded"] = recorded;
}
BENCHMARK(BM_LoadFlash_Recording)
    ->ArgNames({"usbip", "latency_us", "recorded"})
    ->Args({0, 0, 0})
    ->Args({0, 0, 1})
    ->Args({1, 0, 0})
    ->Args({1, 0, 1})
    ->Args({1, 125, 0})
    ->Args({1, 125, 1})
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace bench
