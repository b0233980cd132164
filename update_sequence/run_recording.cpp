// SPDX-License-Identifier: MIT
#include "update_sequence/run_recording.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "update_sequence/checked_image.h"
#include "qrv_version.h"
#include "usb_recording/recording.h"
#include "usb_recording/recording_file.h"

namespace update_sequence {
namespace {

constexpr std::string_view kEndLine = "end of the update: ";
constexpr std::string_view kExitLine = "exit status of tz4817-update: ";
constexpr std::string_view kMessageLine = "message: ";

std::string variable(const char *name) {
    const char *value = std::getenv(name);
    return value ? value : "";
}

// "tz4817.img, 18432 bytes; sum 0x0002fa00 of its 2048 bytes from 0x4000":
// the 32-bit sum of what the update writes, which the projector's checksum
// is compared with.
std::string imageSummary(const std::string &path) {
    std::ifstream file(pathFromUtf8(path), std::ios::binary);
    if (!file) return path + " (could not be read)";
    uint64_t size = 0, written = 0;
    uint32_t sum = 0;
    char chunk[65536];
    while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
        const auto got = static_cast<uint64_t>(file.gcount());
        for (uint64_t i = 0; i < got; ++i) {
            if (size + i >= kBootSectorSize) {
                sum += static_cast<uint8_t>(chunk[i]);
                ++written;
            }
        }
        size += got;
    }
    char text[160];
    std::snprintf(text, sizeof text, ", %llu bytes; sum 0x%08x of its %llu bytes from 0x%llx",
                  static_cast<unsigned long long>(size), sum, static_cast<unsigned long long>(written),
                  static_cast<unsigned long long>(kBootSectorSize));
    return path + text;
}

std::string startSummary(const std::string &imagePath) {
    const std::string server = variable("QRV_USBIP");
    const std::string place = variable("QRV_DEVICE");
    std::string text = "tz4817 update recording\n";
    // Built by appending: GCC 12 warns wrongly (-Wrestrict) of "text" + a
    // temporary string.
    text += "program: ";
    text += usb_recording::writingProcess();
    text += ", version " QRV_VERSION "\n";
    text += "bus: " +
            (server.empty() ? std::string("this computer's USB ports") : "USB/IP server " + server + " (QRV_USBIP)");
    if (!place.empty()) text += ", the projector at " + place + " (QRV_DEVICE)";
    text += "\nimage: ";
    text += imageSummary(imagePath);
    text += "\n";
    text += variable("QRV_RECORD_WITHOUT_DATA") == "1" ? "download data: left out (QRV_RECORD_WITHOUT_DATA=1)\n"
                                                       : "download data: recorded\n";
    return text;
}

}  // namespace

RunRecording::RunRecording(const std::string &imagePath) {
    const std::string path = variable("QRV_RECORD");
    if (path.empty()) return;
    const std::string summary = startSummary(imagePath);
    std::string error;
    auto file = usb_recording::RecordingFile::create(path, summary, error);
    std::vector<uint8_t> note;
    usb_recording::appendNote(note, usb_recording::nowMicroseconds(), summary);
    if (!file || !file->write(note)) {
        std::fprintf(stderr, "tz4817: not recording (QRV_RECORD): %s\n",
                     error.empty() ? ("cannot write to " + path).c_str() : error.c_str());
        return;
    }
    path_ = path;
}

void RunRecording::end(const std::string &outcome, int exitStatus, const std::string &messages) {
    if (path_.empty()) return;
    std::string text = std::string(kEndLine) + outcome + "\n" + std::string(kExitLine) + std::to_string(exitStatus);
    if (!messages.empty()) {
        text += '\n';
        text += kMessageLine;
        text += messages;
    }
    std::vector<uint8_t> note;
    usb_recording::appendNote(note, usb_recording::nowMicroseconds(), text);
    std::string error;
    std::vector<uint8_t> existing;
    auto file = usb_recording::RecordingFile::append(path_, {}, existing, error);
    if (!file || !file->write(note))
        std::fprintf(stderr, "tz4817: the recording %s ends without its summary: %s\n", path_.c_str(),
                     error.empty() ? "it could not be written" : error.c_str());
}

std::optional<RecordedEnd> parseRecordedEnd(std::string_view note) {
    if (note.substr(0, kEndLine.size()) != kEndLine) return std::nullopt;
    RecordedEnd end;
    std::string exitLine = "\n";
    exitLine += kExitLine;
    const size_t exitAt = note.find(exitLine);
    if (exitAt == std::string_view::npos) return std::nullopt;
    end.outcome = std::string(note.substr(kEndLine.size(), exitAt - kEndLine.size()));
    std::string_view rest = note.substr(exitAt + 1 + kExitLine.size());
    const size_t lineEnd = rest.find('\n');
    const std::string status(rest.substr(0, lineEnd));
    if (status.empty() || status.size() > 3 || status.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    end.exitStatus = std::stoi(status);
    if (lineEnd != std::string_view::npos) {
        rest.remove_prefix(lineEnd + 1);
        if (rest.substr(0, kMessageLine.size()) != kMessageLine) return std::nullopt;
        end.messages = std::string(rest.substr(kMessageLine.size()));
    }
    return end;
}

}  // namespace update_sequence
