// SPDX-License-Identifier: MIT
// The reading of a recording (usb_recording/), and the replay's reading of
// it (tz4817-emu --replay), over file bytes nobody here controls: a user
// sends the file. What is read lies within the input and keeps its counts;
// what the replay takes is a projector it can play: an appearance first,
// each step of an appearance it knows, its frames numbered in order, every
// device with its descriptors.
#include <string>

#include "fuzz_support.h"
#include "replay_script.h"
#include "usb_recording/recording.h"

namespace {

using fuzz::Bytes;

bool within(Bytes in, const void *data, size_t size) {
    const auto *at = static_cast<const uint8_t *>(data);
    return size == 0 || (at >= in.data() && at + size <= in.data() + in.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const Bytes in(data, size);
    std::string error;
    size_t lastPacket = 0;
    const bool read = usb_recording::scanRecording(
        in,
        [&](const usb_recording::Entry &entry) {
            FUZZ_CHECK(entry.packet == lastPacket + 1);
            lastPacket = entry.packet;
            FUZZ_CHECK(within(in, entry.comment.data(), entry.comment.size()));
            if (entry.kind == usb_recording::Entry::Kind::Usb) {
                FUZZ_CHECK(entry.data.size() == entry.usb.dataLength);
                FUZZ_CHECK(within(in, entry.data.data(), entry.data.size()));
            }
            return true;
        },
        error);
    FUZZ_CHECK(read || !error.empty());

    error.clear();
    const auto script = projector_emulator::buildReplayScript(in, error);
    if (!script) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    FUZZ_CHECK(read);
    FUZZ_CHECK(!script->appearances.empty() && !script->steps.empty());
    FUZZ_CHECK(script->steps.front().kind == projector_emulator::ReplayStep::Kind::Appear);
    for (const auto &appearance : script->appearances)
        FUZZ_CHECK(appearance.deviceDescriptor.size() == 18 && appearance.configDescriptor.size() >= 9);
    uint64_t frames = 0;
    for (const auto &step : script->steps) {
        FUZZ_CHECK(step.appearance < script->appearances.size());
        if (step.kind == projector_emulator::ReplayStep::Kind::Frame) FUZZ_CHECK(step.frame == ++frames);
    }
    FUZZ_CHECK(frames == script->frames);
    return 0;
}
