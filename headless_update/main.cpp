// SPDX-License-Identifier: MIT
// tz4817-update: the update of OstranUpdater for a console, a script or a
// service bench. Runs the same update sequence on the image it is given (or
// tz4817.img in the current directory) and shows its stages and progress as text; lists the
// projectors attached (--list) and chooses one (--device).
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>

#include "command_line.h"
#include "console.h"
#include "console_reporter.h"
#include "update_sequence/checked_image.h"
#include "interrupt_guard.h"
#include "update_sequence/library_output_capture.h"
#include "projector_list.h"
#include "qrv_version.h"
#include "terminal_output.h"
#include "update_sequence/update_sequence.h"
#include "usb_driver/survey.h"

namespace {

constexpr int kExitTouched = 1;
constexpr int kExitUsage = 2;
constexpr int kExitUnchanged = 3;

constexpr char kWarning[] = "Do NOT interrupt upgrade after it starts!\n";

int usageError(const std::string &text) {
    std::fprintf(stderr, "tz4817-update: %s (see --help)\n", text.c_str());
    return kExitUsage;
}

// --list: the projectors attached, nothing opened. 0 when the bus could be
// asked (also when none is there), 3 when not, 2 for a malformed QRV_USBIP.
int listProjectors(bool json) {
    const usb_driver::Survey survey = usb_driver::surveyDefaultBus();
    if (survey.status != 0) {
        std::fprintf(stderr, "tz4817-update: %s\n", survey.problem.c_str());
        return survey.badAddress ? kExitUsage : kExitUnchanged;
    }
    const std::vector<headless_update::Projector> projectors = headless_update::projectorsIn(survey);
    const std::string text =
        json ? headless_update::listJson(survey, projectors) : headless_update::listText(survey, projectors);
    std::fputs(text.c_str(), stdout);
    if (!json && projectors.empty()) std::fprintf(stderr, "tz4817-update: no projector on %s\n", survey.bus.c_str());
    return 0;
}

// Before anything is touched: a malformed QRV_USBIP is bad usage, and with
// several projectors attached and none chosen nothing is started; a chosen
// place with no projector now is said, and the update waits for one there.
// Nothing when the update may go on, else the exit status. A bus that cannot
// be asked now is left to the update, whose wait tells what it finds.
// `chosen`: the place the update is limited to, or empty.
std::optional<int> refuseBeforeTouching(const std::string &chosen) {
    const usb_driver::Survey survey = usb_driver::surveyDefaultBus();
    if (survey.badAddress) {
        std::fprintf(stderr, "tz4817-update: %s\n", survey.problem.c_str());
        return kExitUsage;
    }
    const std::vector<headless_update::Projector> projectors = headless_update::projectorsIn(survey);
    if (survey.status != 0) return std::nullopt;
    if (!chosen.empty()) {
        const bool there =
            std::any_of(projectors.begin(), projectors.end(),
                        [&](const headless_update::Projector &projector) { return projector.place == chosen; });
        if (!there)
            std::fprintf(stderr, "tz4817-update: no projector at %s now (see --list); waiting for one\n",
                         chosen.c_str());
        return std::nullopt;
    }
    if (projectors.size() < 2) return std::nullopt;
    std::fprintf(stderr, "tz4817-update: %sNothing was changed.\n",
                 headless_update::refusalText(survey, projectors).c_str());
    return kExitUnchanged;
}

bool confirmed() {
    std::fputs("Start the update? [y/N] ", stdout);
    std::fflush(stdout);
    std::string answer;
    char part[256];
    while (std::fgets(part, sizeof part, stdin) != nullptr) {
        answer += part;
        if (answer.back() == '\n') break;
    }
    if (answer.empty()) std::fputs("\n", stdout);
    while (!answer.empty() && std::isspace(static_cast<unsigned char>(answer.back()))) answer.pop_back();
    for (char &c : answer) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return answer == "y" || answer == "yes";
}

// Ends the in-place progress line when standard error shares its terminal,
// then repeats the warning on `errorFd` (the real standard error). Runs on
// the guard's watcher thread: only write(2) and atomics.
void warnAgain(headless_update::TerminalOutput *terminal, bool errorIsTerminal, int errorFd) {
    if (terminal && errorIsTerminal && terminal->claimOpenLine()) (void)!::write(errorFd, "\n", 1);
    (void)!::write(errorFd, kWarning, sizeof kWarning - 1);
}

// Where the update's output goes. The program's own lines are written to a
// copy of the real standard output, drawn in place on a terminal; the
// libraries' printf lines on descriptor 1 are captured and forwarded to the
// same place, in order with them and never inside the progress bar. When
// standard error is that terminal too, the libraries' lines on it (what
// failed, and why) are captured as well and written to the real standard
// error after the progress line has been ended. When any of that cannot be
// set up, everything goes to standard output and standard error as plain
// lines, the libraries' lines included.
class UpdateOutput {
public:
    UpdateOutput() {
        std::fflush(stdout);
        fd_ = headless_update::console::duplicateStandardOutput();
        if (fd_ < 0) return;
        if (headless_update::console::isTerminal(fd_))
            terminal_ = std::make_unique<headless_update::TerminalOutput>(fd_);
        else if (!(plain_ = ::fdopen(fd_, "w")))
            return;
        capture_ = std::make_unique<update_sequence::LibraryOutputCapture>(
            [terminal = terminal_.get(), plain = plain_](std::string_view line) {
                if (terminal) {
                    terminal->write(line);
                    return;
                }
                std::fwrite(line.data(), 1, line.size(), plain);
                std::fflush(plain);
            });
        if (!capture_->capturing()) {
            capture_.reset();
            terminal_.reset();
            return;
        }
        if (terminal_ && headless_update::console::isTerminal(STDERR_FILENO)) captureErrors();
    }
    // Forwards the libraries' last lines and gives descriptors 2 and 1 back first.
    ~UpdateOutput() {
        errorLines_.reset();
        capture_.reset();
        terminal_.reset();
        if (error_) std::fclose(error_);
        if (plain_)
            std::fclose(plain_);
        else if (fd_ >= 0)
            ::close(fd_);
    }
    UpdateOutput(const UpdateOutput &) = delete;
    UpdateOutput &operator=(const UpdateOutput &) = delete;

    // Standard output for plain lines; not used while terminal() is there.
    FILE *out() const { return capture_ && plain_ ? plain_ : stdout; }
    // The real standard error, for the program's own lines.
    FILE *err() const { return error_ ? error_ : stderr; }
    int errorFd() const { return errorFd_; }
    headless_update::TerminalOutput *terminal() const { return terminal_.get(); }
    update_sequence::LibraryOutputCapture *libraryLines() const { return capture_.get(); }

private:
    void captureErrors() {
        std::fflush(stderr);
        const int fd = headless_update::console::duplicateStandardError();
        if (fd < 0) return;
        error_ = ::fdopen(fd, "w");
        if (!error_) {
            ::close(fd);
            return;
        }
        std::setvbuf(error_, nullptr, _IONBF, 0);
        errorFd_ = fd;
        errorLines_ = std::make_unique<update_sequence::LibraryOutputCapture>(
            [this](std::string_view line) {
                // The standard output lines written before it come first, and
                // the progress line is ended.
                const auto order = capture_->holdOutput();
                terminal_->endLine();
                (void)!::write(errorFd_, line.data(), line.size());
            },
            STDERR_FILENO);
        if (!errorLines_->capturing()) errorLines_.reset();
    }

    int fd_ = -1;
    FILE *plain_ = nullptr;  // owns fd_ once made
    std::unique_ptr<headless_update::TerminalOutput> terminal_;
    std::unique_ptr<update_sequence::LibraryOutputCapture> capture_;
    FILE *error_ = nullptr;  // the real standard error while it is captured
    int errorFd_ = STDERR_FILENO;
    std::unique_ptr<update_sequence::LibraryOutputCapture> errorLines_;
};

int runUpdate(const update_sequence::CheckedImage &image) {
    const UpdateOutput output;
    const bool errorIsTerminal = headless_update::console::isTerminal(STDERR_FILENO);
    const auto length = static_cast<uint32_t>(image.size());  // a good image fits

    update_sequence::UpdateSequence::Result result;
    {
        headless_update::ConsoleReporter reporter(output.out(), output.err(), output.terminal(), output.libraryLines(),
                                                  length);
        headless_update::InterruptGuard guard(
            [&output, errorIsTerminal](int) { warnAgain(output.terminal(), errorIsTerminal, output.errorFd()); });
        update_sequence::UpdateSequence sequence(update_sequence::exportedLibrary(), reporter, image.path(), length,
                                                 &image);
        reporter.stageBegan(update_sequence::Stage::Connecting);
        result = sequence.run();
    }
    switch (result) {
    case update_sequence::UpdateSequence::Result::Done: return 0;
    case update_sequence::UpdateSequence::Result::FailedUntouched:
        std::fputs("Nothing was changed on the projector.\n", stderr);
        return kExitUnchanged;
    case update_sequence::UpdateSequence::Result::Failed: break;
    }
    std::fputs("The flash may be partly erased or written: update the projector again.\n", stderr);
    return kExitTouched;
}

}  // namespace

int main(int argc, char **argv) {
    // A reader that goes away (tz4817-update | head) must not end the
    // process in the middle of a flash: writes then fail quietly.
    headless_update::console::survivePeerGoingAway();

    std::string error;
    const auto line = headless_update::parseCommandLine(headless_update::console::arguments(argc, argv), error);
    if (!line) return usageError(error);
    if (line->help) {
        std::fputs(headless_update::kUsageText, stdout);
        return 0;
    }
    if (line->version) {
        std::puts("tz4817-update " QRV_VERSION);
        return 0;
    }
    // Both are read by the transport when it first needs them.
    if (line->verbose) headless_update::console::setVariable("QRV_DEBUG", "1");
    if (!line->device.empty()) headless_update::console::setVariable("QRV_DEVICE", line->device);
    // Read by the update and the driver; the file is named from where the
    // program was started, whatever -C changes to.
    if (!line->record.empty())
        headless_update::console::setVariable("QRV_RECORD", std::filesystem::absolute(line->record).string());
    if (line->recordWithoutData) headless_update::console::setVariable("QRV_RECORD_WITHOUT_DATA", "1");
    if (line->list) return listProjectors(line->json);

    for (const std::string &directory : line->directories) {
        if (!headless_update::console::changeDirectory(directory))
            return usageError("cannot change to directory '" + directory + "': " + std::strerror(errno));
    }

    // Opened once: the update downloads this file, and refuses it if it has
    // changed by then.
    const update_sequence::CheckedImage image(update_sequence::imagePathFor(line->image));
    if (!image.good()) {
        std::fprintf(stderr, "%s\n", image.problem().c_str());
        return kExitUnchanged;
    }
    const char *chosen = std::getenv("QRV_DEVICE");
    if (const std::optional<int> refused = refuseBeforeTouching(chosen != nullptr ? chosen : "")) return *refused;

    std::printf("Number of bytes to download: %llu\n%s", static_cast<unsigned long long>(image.size()), kWarning);
    std::fflush(stdout);
    if (!line->yes && headless_update::console::isTerminal(STDIN_FILENO) && !confirmed()) {
        std::puts("Update not started.");
        return kExitUnchanged;
    }
    return runUpdate(image);
}
