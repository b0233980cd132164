// SPDX-License-Identifier: MIT
// Windows: the reading end is the server end of a named pipe opened for
// overlapped I/O, the writing end a client handle that the C runtime's
// descriptor wraps. Overlapped, because on a handle opened for synchronous
// I/O every request waits for the one before it: a reader thread blocked in
// ReadFile would hold up the capture's holder looking at what the pipe holds
// until the libraries write again. The reader waits with a read of zero
// bytes, which completes when data arrives and takes none of it (as poll(2)
// does); what is there is then taken with PeekNamedPipe and ReadFile.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <system_error>

#include "output_pipe.h"

namespace update_sequence {

namespace {

constexpr DWORD kPipeBytes = 64 * 1024;

// An event for one overlapped request, closed with it.
class OverlappedRequest {
public:
    OverlappedRequest() { request_.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~OverlappedRequest() {
        if (request_.hEvent != nullptr) ::CloseHandle(request_.hEvent);
    }
    OverlappedRequest(const OverlappedRequest &) = delete;
    OverlappedRequest &operator=(const OverlappedRequest &) = delete;
    bool good() const { return request_.hEvent != nullptr; }
    OVERLAPPED *get() { return &request_; }

private:
    OVERLAPPED request_{};
};

}  // namespace

struct OutputPipe::Ends {
    int descriptor;
    HANDLE readEnd;
    int saved;  // the real descriptor; -1 when the program had none
    OverlappedRequest wait, read;
    bool waiting = false;  // a zero-byte read is outstanding on `wait`
    char nothing = 0;      // its buffer
    bool restored = false;
};

OutputPipe::OutputPipe(std::unique_ptr<Ends> ends) : ends_(std::move(ends)) {}

std::unique_ptr<OutputPipe> OutputPipe::redirect(int descriptor) {
    static std::atomic<unsigned> made{0};
    wchar_t name[96];
    std::swprintf(name, std::size(name), L"\\\\.\\pipe\\tz4817-output-%lu-%u", ::GetCurrentProcessId(), made++);
    // Neither end is inherited by child processes.
    const HANDLE readEnd =
        ::CreateNamedPipeW(name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                           PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, kPipeBytes,
                           kPipeBytes, 0, nullptr);
    if (readEnd == INVALID_HANDLE_VALUE) return nullptr;
    const HANDLE writeEnd = ::CreateFileW(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (writeEnd == INVALID_HANDLE_VALUE) {
        ::CloseHandle(readEnd);
        return nullptr;
    }
    auto ends = std::make_unique<Ends>();
    ends->descriptor = descriptor;
    ends->readEnd = readEnd;
    // Binary: the libraries' bytes reach the reader as written; the line
    // ends are made where they are shown.
    const int wrapped = ::_open_osfhandle(reinterpret_cast<intptr_t>(writeEnd), _O_WRONLY | _O_BINARY);
    if (wrapped < 0) ::CloseHandle(writeEnd);
    if (wrapped < 0 || !ends->wait.good() || !ends->read.good()) {
        if (wrapped >= 0) ::_close(wrapped);
        ::CloseHandle(readEnd);
        return nullptr;
    }
    std::fflush(nullptr);
    // A program started from the desktop has no standard output: then
    // there is nothing to keep, and nothing to give back.
    ends->saved = ::_dup(descriptor);
    const bool moved = ::_dup2(wrapped, descriptor) == 0;
    ::_close(wrapped);
    if (!moved) {
        if (ends->saved >= 0) ::_close(ends->saved);
        ::CloseHandle(readEnd);
        return nullptr;
    }
    return std::unique_ptr<OutputPipe>(new OutputPipe(std::move(ends)));
}

OutputPipe::~OutputPipe() {
    restore();
    if (ends_->waiting) {
        ::CancelIoEx(ends_->readEnd, ends_->wait.get());
        DWORD ignored = 0;
        ::GetOverlappedResult(ends_->readEnd, ends_->wait.get(), &ignored, TRUE);
    }
    if (ends_->saved >= 0) ::_close(ends_->saved);
    ::CloseHandle(ends_->readEnd);
}

void OutputPipe::waitReadable() {
    if (!ends_->waiting) {
        ::ResetEvent(ends_->wait.get()->hEvent);
        if (::ReadFile(ends_->readEnd, &ends_->nothing, 0, nullptr, ends_->wait.get()) ||
            ::GetLastError() != ERROR_IO_PENDING)
            return;  // data, the end of the pipe, or an error: the caller reads
        ends_->waiting = true;
    }
    ::WaitForSingleObject(ends_->wait.get()->hEvent, INFINITE);
    DWORD ignored = 0;
    ::GetOverlappedResult(ends_->readEnd, ends_->wait.get(), &ignored, FALSE);
    ends_->waiting = false;
}

std::ptrdiff_t OutputPipe::readAvailable(char *buffer, size_t size) {
    DWORD available = 0;
    if (!::PeekNamedPipe(ends_->readEnd, nullptr, 0, nullptr, &available, nullptr))
        return ::GetLastError() == ERROR_BROKEN_PIPE ? -1 : 0;
    if (available == 0) return 0;
    const DWORD wanted = available < size ? available : static_cast<DWORD>(size);
    DWORD got = 0;
    ::ResetEvent(ends_->read.get()->hEvent);
    // The bytes are there: the read completes at once, or as good as.
    if (!::ReadFile(ends_->readEnd, buffer, wanted, &got, ends_->read.get())) {
        if (::GetLastError() != ERROR_IO_PENDING) return ::GetLastError() == ERROR_BROKEN_PIPE ? -1 : 0;
        if (!::GetOverlappedResult(ends_->readEnd, ends_->read.get(), &got, TRUE)) return 0;
    }
    return static_cast<std::ptrdiff_t>(got);
}

void OutputPipe::writeSaved(std::string_view text) {
    if (ends_->saved >= 0) (void)!::_write(ends_->saved, text.data(), static_cast<unsigned>(text.size()));
}

void OutputPipe::restore() {
    if (ends_->restored) return;
    ends_->restored = true;
    if (ends_->saved >= 0)
        ::_dup2(ends_->saved, ends_->descriptor);
    else
        ::_close(ends_->descriptor);
}

// No signals to keep from the reader on Windows.
std::thread OutputPipe::startReader(std::function<void()> body) {
    try {
        return std::thread(std::move(body));
    } catch (const std::system_error &) {
        return {};
    }
}

}  // namespace update_sequence
