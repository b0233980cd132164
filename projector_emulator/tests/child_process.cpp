#include "child_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tz4817::test {
namespace {

// Safety nets only: a healthy child answers in milliseconds.
constexpr int kSafetyTimeoutMs = 20000;

}  // namespace

ChildProcess::ChildProcess(const std::string &program, const std::vector<std::string> &arguments) {
    char pattern[] = "/tmp/tz4817-child-stderr-XXXXXX";
    const int errorFd = ::mkstemp(pattern);
    if (errorFd < 0) return;
    errorFile_ = pattern;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        ::close(errorFd);
        return;
    }
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const auto &argument : arguments) argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::dup2(errorFd, STDERR_FILENO);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    ::close(errorFd);
    stdout_ = pipeFds[0];
    if (pid_ < 0) {
        ::close(stdout_);
        stdout_ = -1;
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) ::close(stdout_);
    if (!errorFile_.empty()) ::unlink(errorFile_.c_str());
}

std::optional<std::string> ChildProcess::readLine() {
    for (;;) {
        const size_t end = buffered_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffered_.substr(0, end);
            buffered_.erase(0, end + 1);
            return line;
        }
        if (stdout_ < 0) return std::nullopt;
        pollfd entry{stdout_, POLLIN, 0};
        if (::poll(&entry, 1, kSafetyTimeoutMs) <= 0) return std::nullopt;
        char chunk[512];
        const ssize_t got = ::read(stdout_, chunk, sizeof chunk);
        if (got <= 0) return std::nullopt;
        buffered_.append(chunk, static_cast<size_t>(got));
    }
}

void ChildProcess::signal(int number) {
    if (pid_ > 0) ::kill(pid_, number);
}

std::optional<int> ChildProcess::wait() {
    if (pid_ <= 0) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSafetyTimeoutMs);
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
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    if (!WIFEXITED(status)) return std::nullopt;
    return WEXITSTATUS(status);
}

std::string ChildProcess::remainingOutput() {
    std::string out = buffered_;
    buffered_.clear();
    if (stdout_ >= 0) {
        char chunk[512];
        ssize_t got;
        while ((got = ::read(stdout_, chunk, sizeof chunk)) > 0) out.append(chunk, static_cast<size_t>(got));
    }
    return out;
}

std::string ChildProcess::errorOutput() const {
    std::ifstream file(errorFile_);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

RunResult runToEnd(const std::string &program, const std::vector<std::string> &arguments) {
    ChildProcess child(program, arguments);
    RunResult result;
    result.status = child.wait();
    result.out = child.remainingOutput();
    result.err = child.errorOutput();
    return result;
}

}  // namespace tz4817::test
