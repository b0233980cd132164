// SPDX-License-Identifier: MIT
#include "process_exit.h"

#include <cstdio>
#include <cstdlib>

namespace wizard {

namespace {
std::function<void(int)> exitHandler;
}

void endProcess(int status) {
    if (exitHandler) {
        exitHandler(status);
        return;
    }
    std::fflush(nullptr);
    std::exit(status);
}

std::function<void(int)> SetProcessExitHandler(std::function<void(int)> handler) {
    std::function<void(int)> previous = std::move(exitHandler);
    exitHandler = std::move(handler);
    return previous;
}

}  // namespace wizard
