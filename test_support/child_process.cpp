// SPDX-License-Identifier: MIT
#include "test_support/child_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace test_support {

namespace {

std::string temporaryFile(const char *what) {
    std::string pattern = std::string("/tmp/tz4817-child-") + what + "-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) return {};
    ::close(fd);
    return pattern;
}

}  // namespace

std::string readFile(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

ChildProcess::ChildProcess(const Launch &launch) {
    outputFile_ = temporaryFile("out");
    errorFile_ = temporaryFile("err");
    if (outputFile_.empty() || errorFile_.empty()) return;

    // Everything the child needs is made before fork: after it, only
    // async-signal-safe calls.
    std::vector<std::string> arguments{launch.program};
    arguments.insert(arguments.end(), launch.arguments.begin(), launch.arguments.end());
    std::vector<char *> argv;
    for (auto &argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment;
    for (char **entry = environ; *entry; ++entry) environment.emplace_back(*entry);
    environment.insert(environment.end(), launch.environment.begin(), launch.environment.end());
    std::vector<char *> envp;
    for (auto &entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    const int out =
        launch.standardOutput >= 0 ? launch.standardOutput : ::open(outputFile_.c_str(), O_WRONLY | O_CLOEXEC);
    const int err = launch.standardError >= 0 ? launch.standardError : ::open(errorFile_.c_str(), O_WRONLY | O_CLOEXEC);
    const int in = launch.standardInput >= 0 ? launch.standardInput : ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const char *directory = launch.directory.empty() ? nullptr : launch.directory.c_str();

    pid_ = ::fork();
    if (pid_ == 0) {
        if (::dup2(in, STDIN_FILENO) < 0 || ::dup2(out, STDOUT_FILENO) < 0 || ::dup2(err, STDERR_FILENO) < 0)
            ::_exit(126);
        if (directory && ::chdir(directory) != 0) ::_exit(126);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    if (launch.standardOutput < 0) ::close(out);
    if (launch.standardError < 0) ::close(err);
    if (launch.standardInput < 0) ::close(in);
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (!outputFile_.empty()) ::unlink(outputFile_.c_str());
    if (!errorFile_.empty()) ::unlink(errorFile_.c_str());
}

bool ChildProcess::ended() const {
    // WNOWAIT: the status stays for wait().
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_;
}

void ChildProcess::signal(int number) {
    if (pid_ > 0) ::kill(pid_, number);
}

std::optional<int> ChildProcess::wait(std::chrono::seconds safety) {
    if (pid_ <= 0) return status_;
    const auto deadline = std::chrono::steady_clock::now() + safety;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) break;
        if (done < 0 && errno != EINTR) return std::nullopt;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    if (WIFEXITED(status)) status_ = WEXITSTATUS(status);
    return status_;
}

bool ChildProcess::waitForOutput(const std::string &text, std::chrono::seconds safety) {
    return waitFor(outputFile_, text, safety);
}

bool ChildProcess::waitForErrors(const std::string &text, std::chrono::seconds safety) {
    return waitFor(errorFile_, text, safety);
}

bool ChildProcess::waitFor(const std::string &file, const std::string &text, std::chrono::seconds safety) {
    const auto deadline = std::chrono::steady_clock::now() + safety;
    while (std::chrono::steady_clock::now() < deadline) {
        if (readFile(file).find(text) != std::string::npos) return true;
        if (pid_ <= 0 || ended()) return readFile(file).find(text) != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::string ChildProcess::output() const { return readFile(outputFile_); }
std::string ChildProcess::errors() const { return readFile(errorFile_); }

RunResult runToEnd(const Launch &launch) {
    ChildProcess child(launch);
    RunResult result;
    result.status = child.wait();
    result.out = child.output();
    result.err = child.errors();
    return result;
}

}  // namespace test_support
