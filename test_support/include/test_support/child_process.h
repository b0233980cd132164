// SPDX-License-Identifier: MIT
// Runs a program for the tests of whole programs: standard output and
// standard error into files (read while it runs or after), standard input
// from a given descriptor, extra environment, a working directory, and safety
// time-outs against hangs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

struct Launch {
    std::string program;
    std::vector<std::string> arguments;
    std::vector<std::string> environment;  // "NAME=VALUE", added to this process's
    std::string directory;                 // empty: this process's
    int standardInput = -1;                // -1: /dev/null
    int standardOutput = -1;               // -1: a file, read with output()
    int standardError = -1;                // -1: a file, read with errors()
};

class ChildProcess {
public:
    explicit ChildProcess(const Launch &launch);
    ~ChildProcess();  // kills the child if it still runs, removes the files
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    bool started() const { return pid_ > 0 || status_.has_value(); }
    // Its process id while it runs; -1 once wait() has seen it end.
    pid_t pid() const { return pid_; }
    void signal(int number);

    // The exit status; nothing when the child ended by a signal or was still
    // running after `safety` (it is then killed).
    std::optional<int> wait(std::chrono::seconds safety = std::chrono::seconds(240));

    // Waits until standard output (standard error) contains `text`; false
    // after `safety` or when the child ended without writing it.
    bool waitForOutput(const std::string &text, std::chrono::seconds safety = std::chrono::seconds(120));
    bool waitForErrors(const std::string &text, std::chrono::seconds safety = std::chrono::seconds(120));

    std::string output() const;  // standard output so far
    std::string errors() const;  // standard error so far

private:
    bool ended() const;
    bool waitFor(const std::string &file, const std::string &text, std::chrono::seconds safety);

    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string outputFile_, errorFile_;
};

// Runs to the end.
struct RunResult {
    std::optional<int> status;
    std::string out, err;
};
RunResult runToEnd(const Launch &launch);

std::string readFile(const std::string &path);

}  // namespace test_support
