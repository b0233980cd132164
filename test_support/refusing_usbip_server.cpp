// SPDX-License-Identifier: MIT
// refusing-usbip-server: a USB/IP server on a loopback port that lists one
// projector and refuses to import it (status 3, device error), for the runs
// of whole programs from scripts (tools/test-windows.sh: OstranUpdater.exe's
// failure to open the USB link). Prints "listening on 127.0.0.1:PORT" and
// serves until SIGTERM or SIGINT.
#include <csignal>
#include <cstdio>

#include "test_support/scripted_usbip_server.h"

int main() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    // Blocked before the server's threads start, so that they inherit it and
    // sigwait() below takes the signal.
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    test_support::ScriptedUsbipServer server({[](int) { return test_support::listing(true); },
                                              test_support::refusal(usbip::kOpRepImport, usbip::kOpStatusDeviceError),
                                              {}});
    if (server.port() == 0) {
        std::fputs("refusing-usbip-server: no port to listen on\n", stderr);
        return 1;
    }
    std::printf("listening on %s\n", server.address().c_str());
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop, &signal);
    return 0;
}
