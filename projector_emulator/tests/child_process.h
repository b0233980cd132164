// Runs a program for the program tests: standard output through a pipe,
// standard error into a file, a safety time-out against hangs.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace tz4817::test {

class ChildProcess {
public:
    // Starts `program` with `arguments`; running() tells whether it started.
    ChildProcess(const std::string &program, const std::vector<std::string> &arguments);
    ~ChildProcess();  // kills the child if it still runs
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    bool running() const { return pid_ > 0; }

    // The next line of standard output, without its line feed; nothing at end
    // of output or after the safety time-out.
    std::optional<std::string> readLine();

    void signal(int number);

    // Waits for the end; the exit status, or nothing when killed by a signal
    // or still running after the safety time-out (then it is killed).
    std::optional<int> wait();

    // Everything the child wrote to standard output after what readLine()
    // took (read to the end), and to standard error. After wait().
    std::string remainingOutput();
    std::string errorOutput() const;

private:
    pid_t pid_ = -1;
    int stdout_ = -1;
    std::string errorFile_;
    std::string buffered_;
};

// Runs to the end and collects everything.
struct RunResult {
    std::optional<int> status;
    std::string out;
    std::string err;
};
RunResult runToEnd(const std::string &program, const std::vector<std::string> &arguments);

}  // namespace tz4817::test
