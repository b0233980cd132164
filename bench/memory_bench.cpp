// SPDX-License-Identifier: MIT
// Peak resident memory of a whole update, per image size: each update runs in
// a fresh child process (qrv_bench_update_child: the shipped libraries over
// USB/IP) against an emulated projector served from this process, so the
// child holds the host side alone. The child reports VmHWM: that is the
// measure, nothing subtracted. The parent also records ru_maxrss from wait4,
// but it is not the child's own peak: posix_spawn runs the child in the
// parent's address space until exec, and Linux carries that address space's
// peak into the child's ru_maxrss, so it shows the parent's size.
//
//   qrv_bench_memory [--sizes=BYTES,BYTES,...] [--child=PATH]
//
// Writes JSON on standard output, a line per child on standard error. Exit
// status 0 when every update succeeded and left the image in the flash.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"

extern char **environ;

namespace {

struct ChildRun {
    uint32_t imageBytes = 0;
    long vmhwmKb = -1;
    long startRssKb = -1;
    long maxrssKb = -1;
    int result = -1;
    bool flashMatches = false;
    double seconds = 0;
};

long field(const std::string &text, const std::string &name) {
    const size_t at = text.find(name + "=");
    return at == std::string::npos ? -1 : std::strtol(text.c_str() + at + name.size() + 1, nullptr, 10);
}

ChildRun runChild(const std::string &child, const std::string &image, const std::string &server, uint32_t size) {
    ChildRun run;
    run.imageBytes = size;
    int out[2];
    if (::pipe(out) != 0) return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);

    std::vector<std::string> environment;
    for (char **entry = environ; *entry; ++entry)
        if (std::strncmp(*entry, "QRV_USBIP=", 10) != 0) environment.emplace_back(*entry);
    environment.push_back("QRV_USBIP=" + server);
    std::vector<char *> envp;
    for (auto &entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = child, imageArgument = image;
    char *argv[] = {program.data(), imageArgument.data(), nullptr};

    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, child.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
    ::close(out[0]);
    if (spawned != 0) {
        std::fprintf(stderr, "cannot start %s: %s\n", child.c_str(), std::strerror(spawned));
        return run;
    }
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.maxrssKb = usage.ru_maxrss;
    run.vmhwmKb = field(text, "vmhwm_kb");
    run.startRssKb = field(text, "vmrss_start_kb");
    run.result = static_cast<int>(field(text, "result"));
    return run;
}

std::vector<uint32_t> parseSizes(const std::string &text) {
    std::vector<uint32_t> sizes;
    std::stringstream stream(text);
    for (std::string item; std::getline(stream, item, ',');) {
        const unsigned long value = std::strtoul(item.c_str(), nullptr, 0);
        if (value <= 0x4000 || value > bench::kFullImageBytes) return {};
        sizes.push_back(static_cast<uint32_t>(value));
    }
    return sizes;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<uint32_t> sizes = {0x80000, 0x100000, 0x200000};
    std::string child = QRV_BENCH_CHILD_PATH;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.rfind("--sizes=", 0) == 0) {
            sizes = parseSizes(argument.substr(8));
        } else if (argument.rfind("--child=", 0) == 0) {
            child = argument.substr(8);
        } else {
            sizes.clear();
        }
        if (sizes.empty()) {
            std::fprintf(stderr, "usage: %s [--sizes=BYTES,...] [--child=PATH] (0x4001..0x200000 each)\n", argv[0]);
            return 2;
        }
    }

    auto flash = projector_emulator::NorFlash::inMemory();
    projector_emulator::DeviceOptions options = bench::benchProjector();
    options.initialMode = projector_emulator::Mode::Application;
    options.rebootDelay = std::chrono::milliseconds(10);
    projector_emulator::Tz4817Device device(*flash, options);
    projector_emulator::UsbipServerOptions serverOptions;
    serverOptions.port = 0;
    projector_emulator::UsbipServer server(device, serverOptions);
    std::string error;
    if (!server.start(error)) {
        std::fprintf(stderr, "cannot start the USB/IP server: %s\n", error.c_str());
        return 1;
    }
    const std::string address = "127.0.0.1:" + std::to_string(server.port());

    bench::TempDirectory directory;
    std::vector<ChildRun> runs;
    bool ok = true;
    for (uint32_t size : sizes) {
        const std::string image = directory.writeImage(size, "image-" + std::to_string(size) + ".img");
        ChildRun run = runChild(child, image, address, size);
        const bench::Bytes expected = bench::imagePattern(size);
        const auto contents = flash->contents();
        run.flashMatches = std::equal(expected.begin() + 0x4000, expected.end(), contents.begin() + 0x4000);
        ok = ok && run.result == 0 && run.flashMatches && run.vmhwmKb > 0;
        std::fprintf(stderr, "image %7u bytes: VmHWM %ld kB, RSS at start %ld kB, result %d, flash %s, %.2f s\n", size,
                     run.vmhwmKb, run.startRssKb, run.result, run.flashMatches ? "matches" : "DIFFERS", run.seconds);
        runs.push_back(run);
    }
    server.stop();

    std::printf("{\n  \"children\": [\n");
    for (size_t i = 0; i < runs.size(); ++i) {
        const ChildRun &run = runs[i];
        std::printf("    {\"image_bytes\": %u, \"vmhwm_kb\": %ld, \"ru_maxrss_kb_with_parent_image\": %ld, "
                    "\"vmrss_start_kb\": %ld, "
                    "\"result\": %d, \"flash_matches\": %s, \"seconds\": %.3f}%s\n",
                    run.imageBytes, run.vmhwmKb, run.maxrssKb, run.startRssKb, run.result,
                    run.flashMatches ? "true" : "false", run.seconds, i + 1 < runs.size() ? "," : "");
    }
    const long difference = runs.size() >= 2 ? runs.back().vmhwmKb - runs.front().vmhwmKb : 0;
    std::printf("  ],\n  \"vmhwm_difference_kb\": %ld,\n  \"ok\": %s\n}\n", difference, ok ? "true" : "false");
    return ok ? 0 : 1;
}
