// SPDX-License-Identifier: MIT
#include "pause.h"

#include <chrono>
#include <thread>
#include <utility>

#include "command_frame/command_frame.h"
#include "qrvdl.h"
#include "report.h"

namespace flash_download {

namespace {

std::function<void(uint32_t)> &pauseFunction() {
    static std::function<void(uint32_t)> function;
    return function;
}
}  // namespace

void pause(uint32_t milliseconds) {
    if (const auto &function = pauseFunction()) {
        function(milliseconds);
        return;
    }
    if (milliseconds != 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

BusyPoll pollUntilReady(uint32_t attempts, uint32_t pauseMs) {
    BusyPoll poll;
    for (uint32_t attempt = 0; attempt < attempts; ++attempt) {
        uint8_t status = 0;
        if (QRVDL_CmdReadStatus(&status) != 0) {
            ++poll.unanswered;
        } else if ((status & command_frame::kStatusBusy) != 0) {
            ++poll.busy;
        } else {
            poll.ready = true;
            return poll;
        }
        pause(pauseMs);
    }
    return poll;
}

void noteNotReady(const char *after, uint32_t attempts, uint32_t pauseMs, const BusyPoll &poll) {
    note("%s, but no status read of %u, %u ms apart, found the projector ready (%u answered busy, %u got no "
         "answer)",
         after, attempts, pauseMs, poll.busy, poll.unanswered);
}

namespace testing {
void setPauseFunction(std::function<void(uint32_t)> function) { pauseFunction() = std::move(function); }
}  // namespace testing

}  // namespace flash_download
