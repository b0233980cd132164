// tz4817-update: the update of OstranUpdater for a console, a script or a
// service bench. Runs the same update sequence on the image tz4817.img in the
// current directory and shows its stages and progress as text.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "command_line.h"
#include "console_reporter.h"
#include "interrupt_guard.h"
#include "library_output_capture.h"
#include "qrv_version.h"
#include "terminal_output.h"
#include "update_sequence.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr char kImageFileName[] = "tz4817.img";
constexpr char kWarning[] = "Do NOT interrupt upgrade after it starts!\n";

int usageError(const std::string &text) {
    std::fprintf(stderr, "tz4817-update: %s (see --help)\n", text.c_str());
    return kExitUsage;
}

// The image's size, or nothing when it cannot be read: missing, not a
// regular file, or not readable. Starting anyway would switch the projector
// into programming mode for a load that must fail (or, for an unreadable
// file, erase its firmware and then fail).
std::optional<uint32_t> imageSize() {
    // O_NONBLOCK: a FIFO of that name must not hang the program here.
    const int fd = ::open(kImageFileName, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat status {};
    const bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    ::close(fd);
    if (!regular) return std::nullopt;
    // Larger than any flash: the load rejects it; the count only has to stay in range.
    return static_cast<uint32_t>(std::min<off_t>(status.st_size, UINT32_MAX));
}

bool confirmed() {
    std::fputs("Start the update? [y/N] ", stdout);
    std::fflush(stdout);
    char *line = nullptr;
    size_t capacity = 0;
    const ssize_t length = ::getline(&line, &capacity, stdin);
    std::string answer = length > 0 ? std::string(line, static_cast<size_t>(length)) : std::string();
    std::free(line);
    if (length <= 0) std::fputs("\n", stdout);
    while (!answer.empty() && std::isspace(static_cast<unsigned char>(answer.back()))) answer.pop_back();
    for (char &c : answer) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return answer == "y" || answer == "yes";
}

// Ends the in-place progress line when standard error shares its terminal,
// then repeats the warning. Runs on the guard's watcher thread: only
// write(2) and atomics.
void warnAgain(headless::TerminalOutput *terminal, bool errorIsTerminal) {
    if (terminal && errorIsTerminal && terminal->claimOpenLine()) (void)!::write(STDERR_FILENO, "\n", 1);
    (void)!::write(STDERR_FILENO, kWarning, sizeof kWarning - 1);
}

// Where the update's output goes. The program's own lines are written to a
// copy of the real standard output, drawn in place on a terminal; the
// libraries' printf lines on descriptor 1 are captured and forwarded to the
// same place, in order with them and never inside the progress bar. When
// any of that cannot be set up, everything goes to standard output as plain
// lines, the libraries' lines included.
class UpdateOutput {
public:
    UpdateOutput() {
        std::fflush(stdout);
        fd_ = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        if (fd_ < 0) return;
        if (::isatty(fd_)) {
            terminal_ = std::make_unique<headless::TerminalOutput>(fd_);
            if (!terminal_->stream()) terminal_.reset();
        }
        if (!terminal_ && !(plain_ = ::fdopen(fd_, "w"))) return;
        FILE *const target = terminal_ ? terminal_->stream() : plain_;
        capture_ = std::make_unique<headless::LibraryOutputCapture>([target](std::string_view line) {
            std::fwrite(line.data(), 1, line.size(), target);
            std::fflush(target);
        });
        if (!capture_->capturing()) {
            capture_.reset();
            terminal_.reset();
        }
    }
    // Forwards the libraries' last lines and gives descriptor 1 back first.
    ~UpdateOutput() {
        capture_.reset();
        terminal_.reset();
        if (plain_)
            std::fclose(plain_);
        else if (fd_ >= 0)
            ::close(fd_);
    }
    UpdateOutput(const UpdateOutput &) = delete;
    UpdateOutput &operator=(const UpdateOutput &) = delete;

    FILE *out() const {
        if (terminal_) return terminal_->stream();
        return capture_ ? plain_ : stdout;
    }
    headless::TerminalOutput *terminal() const { return terminal_.get(); }
    headless::LibraryOutputCapture *libraryLines() const { return capture_.get(); }

private:
    int fd_ = -1;
    FILE *plain_ = nullptr;  // owns fd_ once made
    std::unique_ptr<headless::TerminalOutput> terminal_;
    std::unique_ptr<headless::LibraryOutputCapture> capture_;
};

int runUpdate(uint32_t length) {
    const UpdateOutput output;
    const bool errorIsTerminal = ::isatty(STDERR_FILENO);

    updater::UpdateSequence::Result result;
    {
        headless::ConsoleReporter reporter(output.out(), stderr, output.terminal(), output.libraryLines(), length);
        headless::InterruptGuard guard(
            [&output, errorIsTerminal](int) { warnAgain(output.terminal(), errorIsTerminal); });
        updater::UpdateSequence sequence(updater::exportedLibrary(), reporter, kImageFileName, length);
        reporter.stageBegan(updater::Stage::Connecting);
        result = sequence.run();
    }
    return result == updater::UpdateSequence::Result::Done ? 0 : kExitFailed;
}

}  // namespace

int main(int argc, char **argv) {
    // A reader that goes away (tz4817-update | head) must not end the
    // process in the middle of a flash: writes then fail quietly.
    std::signal(SIGPIPE, SIG_IGN);

    std::string error;
    const auto line = headless::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!line) return usageError(error);
    if (line->help) {
        std::fputs(headless::kUsageText, stdout);
        return 0;
    }
    if (line->version) {
        std::puts("tz4817-update " QRV_VERSION);
        return 0;
    }
    for (const std::string &directory : line->directories) {
        if (::chdir(directory.c_str()) != 0)
            return usageError("cannot change to directory '" + directory + "': " + std::strerror(errno));
    }

    const std::optional<uint32_t> length = imageSize();
    if (!length) {
        // The lines of a load that finds no image, without the projector
        // having been switched for it.
        std::printf("Bad file [%s]\n", kImageFileName);
        std::fflush(stdout);
        std::fputs(updater::kLoadFailedMessage, stderr);
        return kExitFailed;
    }

    std::printf("Number of bytes to download: %u\n%s", *length, kWarning);
    std::fflush(stdout);
    if (!line->yes && ::isatty(STDIN_FILENO) && !confirmed()) {
        std::puts("Update not started.");
        return kExitFailed;
    }
    return runUpdate(*length);
}
