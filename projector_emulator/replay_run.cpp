// SPDX-License-Identifier: MIT
#include "replay_run.h"

#include <cstdio>

#include "replay_device.h"
#include "stop_signals.h"
#include "usb_recording/recording.h"

namespace projector_emulator {
namespace {

// Every line of `text` on standard error, each with the program's name.
void sayEachLine(const std::string &text) {
    size_t from = 0;
    while (from < text.size()) {
        size_t end = text.find('\n', from);
        if (end == std::string::npos) end = text.size();
        std::fprintf(stderr, "tz4817-emu: %s\n", text.substr(from, end - from).c_str());
        from = end + 1;
    }
    std::fflush(stderr);
}

}  // namespace

int runReplay(const ReplayRun &run) {
    std::vector<uint8_t> bytes;
    std::string error;
    std::optional<ReplayScript> script;
    if (usb_recording::readWholeFile(run.file, bytes, error)) script = buildReplayScript(bytes, error);
    if (!script) {
        std::fprintf(stderr, "tz4817-emu: cannot replay %s: %s\n", run.file.c_str(), error.c_str());
        return 1;
    }
    ReplayDevice::Options options;
    options.speed = run.speed;
    if (run.verbose) options.log = sayEachLine;
    options.report = sayEachLine;
    options.ended = [](int) { stop_signals::requestStop(); };
    const uint64_t frames = script->frames;
    const ReplayAppearance first = script->appearances.front();

    ReplayDevice device(std::move(*script), options);
    UsbipServer server(device, run.server);
    if (!server.start(error)) {
        std::fprintf(stderr, "tz4817-emu: %s\n", error.c_str());
        return 1;
    }
    std::printf("tz4817-emu: listening on %s, replay of %s (%llu frames), %04x:%04x\n", server.address().c_str(),
                run.file.c_str(), static_cast<unsigned long long>(frames), first.vendorId, first.productId);
    std::fflush(stdout);

    int signal = 0;
    // A replay has no faults to clear.
    while (stop_signals::wait(signal) == stop_signals::Request::ClearFaults) {}
    server.stop();
    if (const std::optional<int> result = device.result()) {
        if (*result == kReplayEnded) sayEachLine("replay: the recording was played to its end");
        return *result;
    }
    sayEachLine("replay: stopped by signal " + std::to_string(signal) + " before its end (" + device.position() + ")");
    return 1;
}

}  // namespace projector_emulator
