// SPDX-License-Identifier: MIT
#include "pause.h"

#include <chrono>
#include <thread>
#include <utility>

namespace qrvdl {

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

namespace testing {
void SetPauseFunction(std::function<void(uint32_t)> function) { pauseFunction() = std::move(function); }
}  // namespace testing

}  // namespace qrvdl
