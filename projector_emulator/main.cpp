// SPDX-License-Identifier: MIT
// tz4817-emu: an emulated tz4817 projector behind a USB/IP server.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "command_frame/command_frame.h"
#include "demo_image.h"
#include "replay_run.h"
#include "stop_signals.h"
#include "qrv_version.h"
#include "projector_emulator/device.h"
#include "projector_emulator/faults.h"
#include "projector_emulator/nor_flash.h"
#include "projector_emulator/usbip_server.h"

namespace {

constexpr int kExitUsage = 2;
// The power failed (a power-cut fault): the process ends at once.
constexpr int kExitPowerCut = 3;
constexpr unsigned long kMaxMilliseconds = 3'600'000;
constexpr unsigned long kMaxCount = 16;

const char kUsage[] = "Usage: tz4817-emu [OPTION]...\n"
                      "An emulated tz4817 projector, exported over USB/IP as bus id 1-1 (with --count N,\n"
                      "N projectors as bus ids 1-1 ... 1-N).\n"
                      "\n"
                      "  --listen HOST:PORT   address to listen on (default 127.0.0.1:3240; port 0 picks a\n"
                      "                       free one; [ADDRESS]:PORT for IPv6)\n"
                      "  --allow-remote       allow a HOST that is not a loopback address\n"
                      "  --flash FILE         keep the flash in FILE, created with the factory contents when\n"
                      "                       missing (default: in memory, lost at exit); with --count N,\n"
                      "                       projector 1-K keeps its flash in FILE.K\n"
                      "  --count N            export N projectors (1..16, default 1), each with its own\n"
                      "                       flash, each switching mode and restarting on its own; the\n"
                      "                       options below apply to each\n"
                      "  --reboot-ms N        time the projector takes to restart (default 1500)\n"
                      "  --erase-ms N         time a sector erase keeps the flash busy (default 50)\n"
                      "  --programming-mode   start in programming mode, as a projector switched on with its\n"
                      "                       enter and power buttons held\n"
                      "  --fault SPEC         inject faults; may be given several times (grammar below)\n"
                      "  -v                   log every frame and connection on standard error\n"
                      "  --replay FILE        play back a recording of an update (tz4817-update --record)\n"
                      "                       instead of emulating: the recorded projector's ids, departures\n"
                      "                       and replies with their delays; exit status 0 once the updater\n"
                      "                       has been answered to the recording's end, 4 when a frame it sends\n"
                      "                       differs from the recording's (both named on standard error); takes\n"
                      "                       none of the options above but --listen, --allow-remote and -v\n"
                      "  --replay-speed X     the recorded delays times X (default 1; 0: none)\n"
                      "  --make-image FILE    write a 2 MB demo firmware image (\"TZ4817 APPLICATION v2.0\"\n"
                      "                       at 0x4000) to FILE and exit\n"
                      "  --help               show this help and exit\n"
                      "  --version            show the version and exit\n"
                      "\n"
                      "On start one line on standard output names the address, the mode and the USB ids.\n"
                      "SIGINT or SIGTERM stop the emulator (exit status 0); bad options give exit status 2.\n"
                      "SIGUSR1 ends every injected fault (held replies become ready, a projector that left\n"
                      "the bus for good is plugged back in) and prints \"tz4817-emu: faults cleared\".\n"
                      "\n"
                      "Fault SPEC grammar:\n";

struct Options {
    std::string listen = "127.0.0.1:3240";
    bool allowRemote = false;
    std::string flashFile;
    unsigned long count = 1;
    unsigned long rebootMs = 1500;
    unsigned long eraseMs = 50;
    bool programmingMode = false;
    std::vector<projector_emulator::Fault> faults;
    bool verbose = false;
    std::string makeImage;
    std::string replay;
    std::optional<double> replaySpeed;
    // The first option given that only an emulated projector takes.
    std::string emulationOption;
    bool help = false;
    bool version = false;
};

[[noreturn]] void usageError(const std::string &message) {
    std::fprintf(stderr, "tz4817-emu: %s (see --help)\n", message.c_str());
    std::exit(kExitUsage);
}

unsigned long parseMilliseconds(const std::string &option, const std::string &text) {
    if (text.empty() || text.size() > 7 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(text) > kMaxMilliseconds)
        usageError(option + " takes milliseconds 0.." + std::to_string(kMaxMilliseconds) + ", not '" + text + "'");
    return std::stoul(text);
}

Options parseOptions(int argc, char **argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        std::optional<std::string> inlineValue;
        if (argument.rfind("--", 0) == 0) {
            const size_t equals = argument.find('=');
            if (equals != std::string::npos) {
                inlineValue = argument.substr(equals + 1);
                argument.resize(equals);
            }
        }
        auto value = [&]() -> std::string {
            if (inlineValue) return *inlineValue;
            if (i + 1 >= argc) usageError(argument + " needs a value");
            return argv[++i];
        };
        auto noValue = [&] {
            if (inlineValue) usageError(argument + " takes no value");
        };
        if (argument == "--count" || argument == "--flash" || argument == "--reboot-ms" || argument == "--erase-ms" ||
            argument == "--programming-mode" || argument == "--fault") {
            if (options.emulationOption.empty()) options.emulationOption = argument;
        }
        if (argument == "--listen") {
            options.listen = value();
        } else if (argument == "--allow-remote") {
            noValue();
            options.allowRemote = true;
        } else if (argument == "--flash") {
            options.flashFile = value();
            if (options.flashFile.empty()) usageError("--flash needs a file name");
        } else if (argument == "--count") {
            const std::string text = value();
            if (text.empty() || text.size() > 2 || text.find_first_not_of("0123456789") != std::string::npos ||
                std::stoul(text) < 1 || std::stoul(text) > kMaxCount)
                usageError("--count takes 1.." + std::to_string(kMaxCount) + ", not '" + text + "'");
            options.count = std::stoul(text);
        } else if (argument == "--reboot-ms") {
            options.rebootMs = parseMilliseconds(argument, value());
        } else if (argument == "--erase-ms") {
            options.eraseMs = parseMilliseconds(argument, value());
        } else if (argument == "--programming-mode") {
            noValue();
            options.programmingMode = true;
        } else if (argument == "--fault") {
            std::string error;
            auto faults = projector_emulator::parseFaults(value(), error);
            if (!faults) usageError(error);
            options.faults.insert(options.faults.end(), faults->begin(), faults->end());
        } else if (argument == "-v") {
            options.verbose = true;
        } else if (argument == "--replay") {
            options.replay = value();
            if (options.replay.empty()) usageError("--replay needs a file");
        } else if (argument == "--replay-speed") {
            const std::string text = value();
            char *end = nullptr;
            const double speed = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !(speed >= 0 && speed <= 1000))
                usageError("--replay-speed takes a number 0..1000, not '" + text + "'");
            options.replaySpeed = speed;
        } else if (argument == "--make-image") {
            options.makeImage = value();
            if (options.makeImage.empty()) usageError("--make-image needs a file name");
        } else if (argument == "--help") {
            noValue();
            options.help = true;
        } else if (argument == "--version") {
            noValue();
            options.version = true;
        } else {
            usageError("unknown option '" + argument + "'");
        }
    }
    return options;
}

int writeDemoImage(const std::string &path) {
    const std::vector<uint8_t> image = projector_emulator::demoFirmwareImage();
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(image.size()));
    file.close();
    if (!file) {
        std::fprintf(stderr, "tz4817-emu: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    return 0;
}

const char *modeName(projector_emulator::Mode mode) {
    return mode == projector_emulator::Mode::Application ? "application" : "programming";
}

// `projector`: "" when the emulator exports one, else "1-2 " (its bus id).
void logFrame(const std::string &projector, const projector_emulator::FrameRecord &record) {
    const unsigned sequence = record.bytes.size() > 1 ? record.bytes[1] : 0;
    const bool generic = record.bytes.size() > command_frame::kClassOffset &&
                         record.bytes[command_frame::kClassOffset] == command_frame::kGenericClass;
    const char *name = command_frame::operationName(record.operation);
    const char *what = !record.valid ? "frame" : generic ? "class 0x12 frame" : name != nullptr ? name : "operation";
    std::fprintf(stderr, "tz4817-emu: %sframe %llu: %s (op 0x%02x), seq %u, %s mode: %s%s\n", projector.c_str(),
                 static_cast<unsigned long long>(record.index), what, record.valid ? record.operation : 0, sequence,
                 modeName(record.mode), record.note, record.reply.empty() ? ", no reply" : "");
}

// The flash file of projector `index` (from 0) of `count`.
std::string flashFileOf(const Options &options, size_t index) {
    if (options.flashFile.empty() || options.count == 1) return options.flashFile;
    return options.flashFile + "." + std::to_string(index + 1);
}

}  // namespace

int main(int argc, char **argv) {
    const Options options = parseOptions(argc, argv);
    if (options.help) {
        std::fputs(kUsage, stdout);
        std::fputs(projector_emulator::kFaultGrammar, stdout);
        return 0;
    }
    if (options.version) {
        std::puts("tz4817-emu " QRV_VERSION);
        return 0;
    }
    if (!options.makeImage.empty()) return writeDemoImage(options.makeImage);

    std::string error;
    const auto address = projector_emulator::parseListenAddress(options.listen, error);
    if (!address) usageError(error);
    const bool loopback = projector_emulator::isLoopbackHost(address->host, error);
    if (!loopback && !error.empty()) usageError(error);
    if (!loopback && !options.allowRemote)
        usageError("'" + address->host + "' is not a loopback address; add --allow-remote to listen there");
    if (options.replaySpeed && options.replay.empty()) usageError("--replay-speed goes with --replay");
    if (!options.replay.empty() && !options.emulationOption.empty())
        usageError("--replay plays the recorded projector back: it takes no " + options.emulationOption);

    projector_emulator::stop_signals::hold();

    projector_emulator::UsbipServerOptions serverOptions;
    serverOptions.host = address->host;
    serverOptions.port = address->port;
    if (options.verbose)
        serverOptions.log = [](const std::string &line) { std::fprintf(stderr, "tz4817-emu: %s\n", line.c_str()); };
    if (!options.replay.empty())
        return projector_emulator::runReplay(
            {options.replay, options.replaySpeed.value_or(1.0), options.verbose, serverOptions});

    projector_emulator::DeviceOptions deviceOptions;
    deviceOptions.rebootDelay = std::chrono::milliseconds(options.rebootMs);
    deviceOptions.eraseTime = std::chrono::milliseconds(options.eraseMs);
    deviceOptions.faults = options.faults;
    if (options.programmingMode) deviceOptions.initialMode = projector_emulator::Mode::Programming;
    std::vector<std::unique_ptr<projector_emulator::NorFlash>> flashes;
    std::vector<std::unique_ptr<projector_emulator::Tz4817Device>> devices;
    std::vector<projector_emulator::EmulatedDevice *> exported;
    for (size_t index = 0; index < options.count; ++index) {
        const std::string file = flashFileOf(options, index);
        flashes.push_back(file.empty() ? projector_emulator::NorFlash::inMemory()
                                       : projector_emulator::NorFlash::openFile(file, error));
        if (!flashes.back()) {
            std::fprintf(stderr, "tz4817-emu: %s\n", error.c_str());
            return 1;
        }
        devices.push_back(std::make_unique<projector_emulator::Tz4817Device>(*flashes.back(), deviceOptions));
        exported.push_back(devices.back().get());
        const std::string projector = options.count == 1 ? "" : projector_emulator::usbipBusId(index) + " ";
        devices.back()->setFrameObserver(
            [projector, verbose = options.verbose](const projector_emulator::FrameRecord &record) {
                if (verbose) logFrame(projector, record);
                if (record.powerCut) {
                    // The flash files are mapped shared: what the chips hold is in
                    // them as the process ends, as a power cut leaves a real chip.
                    std::fprintf(stderr, "tz4817-emu: %spower cut at frame %llu\n", projector.c_str(),
                                 static_cast<unsigned long long>(record.index));
                    std::_Exit(kExitPowerCut);
                }
            });
    }

    projector_emulator::UsbipServer server(exported, serverOptions);
    if (!server.start(error)) {
        std::fprintf(stderr, "tz4817-emu: %s\n", error.c_str());
        return 1;
    }

    std::string projectors;
    if (options.count > 1) {
        projectors = std::to_string(options.count) + " projectors (1-1 ... " +
                     projector_emulator::usbipBusId(options.count - 1) + "), ";
    }
    const projector_emulator::Presence presence = devices.front()->presence();
    std::printf("tz4817-emu: listening on %s, %s%s mode, %04x:%04x\n", server.address().c_str(), projectors.c_str(),
                modeName(presence.mode), presence.vendorId, presence.productId);
    std::fflush(stdout);

    int signal = 0;
    while (projector_emulator::stop_signals::wait(signal) == projector_emulator::stop_signals::Request::ClearFaults) {
        for (auto &device : devices) device->clearFaults();
        std::printf("tz4817-emu: faults cleared\n");
        std::fflush(stdout);
    }
    server.stop();
    if (options.verbose) std::fprintf(stderr, "tz4817-emu: stopped by signal %d\n", signal);
    // The flashes (file-backed: mapped shared) are released as `flashes` goes
    // out of scope, after the last connection has ended.
    return 0;
}
