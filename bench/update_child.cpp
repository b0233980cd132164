// SPDX-License-Identifier: MIT
// One whole update as the program runs it, through the shipped libraries
// (libqrvdldll.so, libqrvusbdll.so) and the driver's USB/IP client, in a
// process of its own, then its peak resident memory.
//
//   qrv_bench_update_child IMAGE        (QRV_USBIP names the emulator)
//
// After the library's own lines, prints "vmhwm_kb=N vmrss_start_kb=N
// result=N" on standard output. Exit status 0 when the update succeeded, 1
// when it failed, 2 on bad arguments.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qrvdl.h"
#include "qrvusb.h"

namespace {

// A "Vm...:  N kB" line of /proc/self/status; -1 when missing.
long statusKb(const char *field) {
    std::FILE *file = std::fopen("/proc/self/status", "r");
    if (!file) return -1;
    char line[256];
    long value = -1;
    const size_t length = std::strlen(field);
    while (std::fgets(line, sizeof line, file)) {
        if (std::strncmp(line, field, length) == 0 && line[length] == ':') {
            value = std::strtol(line + length + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(file);
    return value;
}

int update(const char *image) {
    if (QRV_USBInit() != 0) {
        QRV_USBTerm();
        return 10;
    }
    if (QRVDL_SwitchAppToBoot(0) != 0) {
        QRV_USBTerm();
        return 11;
    }
    const int32_t loaded = QRVDL_LoadFlash(image, 0xFE204000, 0, nullptr, nullptr);
    QRVDL_CmdWriteProgrammingMode(2);
    QRV_USBTerm();
    return loaded;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s IMAGE (with QRV_USBIP=HOST:PORT)\n", argv[0]);
        return 2;
    }
    const long startKb = statusKb("VmRSS");
    const int result = update(argv[1]);
    std::printf("vmhwm_kb=%ld vmrss_start_kb=%ld result=%d\n", statusKb("VmHWM"), startKb, result);
    return result == 0 ? 0 : 1;
}
