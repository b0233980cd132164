// SPDX-License-Identifier: MIT
// tz4817-emu --replay FILE: a recorded projector (replay_device.h) behind
// the USB/IP server, until the replay ends or a stop signal comes.
#pragma once

#include <string>

#include "projector_emulator/usbip_server.h"

namespace projector_emulator {

struct ReplayRun {
    std::string file;
    double speed = 1.0;
    bool verbose = false;
    UsbipServerOptions server;
};

// The exit status: 0 the recording was played to its end, 4 the updater
// diverged from it (said on standard error), 1 the file could not be
// replayed, the server not started, or a stop signal came first.
int runReplay(const ReplayRun &run);

}  // namespace projector_emulator
