// SPDX-License-Identifier: MIT
// Claims on Windows: a mutex named "Global\tz4817-claim-...", visible to every
// session of this computer. The process that creates it holds the claim for
// as long as its handle is open, which is until it ends however it ends; a
// process that finds the name taken leaves the place alone. Who holds it is
// written by the holder to %ProgramData%\tz4817\claims\<name>.txt (its
// process id and program); a reader believes it only while that process
// runs.
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "place_claim_system.h"

namespace usb_driver::place_claim::system {
namespace {

std::wstring wideOf(const std::string &ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::wstring mutexName(const std::string &name) { return L"Global\\" + wideOf(name); }

std::wstring recordFolder() {
    wchar_t data[MAX_PATH] = L"";
    const DWORD length = ::GetEnvironmentVariableW(L"ProgramData", data, MAX_PATH);
    const std::wstring root = length > 0 && length < MAX_PATH ? data : L"C:\\ProgramData";
    return root + L"\\tz4817\\claims";
}

std::wstring recordPath(const std::string &name) { return recordFolder() + L"\\" + wideOf(name) + L".txt"; }

std::string thisProgram() {
    wchar_t path[MAX_PATH] = L"";
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring program(path, length);
    program = program.substr(program.find_last_of(L"\\/") + 1);
    if (program.size() > 4 && _wcsicmp(program.c_str() + program.size() - 4, L".exe") == 0)
        program.resize(program.size() - 4);
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, program.data(), static_cast<int>(program.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string text(static_cast<size_t>(size > 0 ? size : 0), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, program.data(), static_cast<int>(program.size()), text.data(), size, nullptr,
                          nullptr);
    return text;
}

void writeRecord(const std::string &name) {
    const std::wstring folder = recordFolder();
    ::CreateDirectoryW(folder.substr(0, folder.rfind(L'\\')).c_str(), nullptr);
    ::CreateDirectoryW(folder.c_str(), nullptr);
    std::ofstream record(std::filesystem::path(recordPath(name)), std::ios::trunc);
    record << ::GetCurrentProcessId() << '\n' << thisProgram() << '\n';
}

bool running(uint32_t pid) {
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) return false;
    DWORD code = 0;
    const bool alive = ::GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    ::CloseHandle(process);
    return alive;
}

// What the record says of the holder, if that process still runs.
Holder readRecord(const std::string &name) {
    Holder holder;
    std::ifstream record(std::filesystem::path(recordPath(name)));
    uint32_t pid = 0;
    std::string program;
    if (!(record >> pid) || !std::getline(record >> std::ws, program) || !running(pid)) return holder;
    holder.pid = pid;
    holder.program = program;
    return holder;
}

}  // namespace

Taken take(const std::string &name, Handle &handle, Holder &holder, std::string &why) {
    // A process that only looks (another updater's question, --list) has the
    // mutex open for a moment: the name then seems taken though nobody holds
    // it, so a taken name whose record names no running process is tried a
    // few more times.
    for (int attempt = 0; attempt < 5; ++attempt) {
        HANDLE mutex = ::CreateMutexW(nullptr, FALSE, mutexName(name).c_str());
        const DWORD error = ::GetLastError();
        if (mutex != nullptr && error != ERROR_ALREADY_EXISTS) {
            handle = reinterpret_cast<Handle>(mutex);
            writeRecord(name);
            return Taken::Ours;
        }
        if (mutex != nullptr) ::CloseHandle(mutex);
        if (mutex == nullptr && error != ERROR_ACCESS_DENIED) {
            why = "error " + std::to_string(error) + " creating its mutex";
            return Taken::Failed;
        }
        // ERROR_ALREADY_EXISTS, or a mutex of another user's session that
        // this user may not open: held.
        holder = readRecord(name);
        if (holder.pid != 0) return Taken::Elsewhere;
        ::Sleep(20);
    }
    return Taken::Elsewhere;
}

void release(const std::string &name, Handle handle) {
    ::DeleteFileW(recordPath(name).c_str());
    ::CloseHandle(reinterpret_cast<HANDLE>(handle));
}

void tend(Handle /*handle*/) {}

bool heldElsewhere(const std::string &name, Holder &holder) {
    HANDLE mutex = ::OpenMutexW(SYNCHRONIZE, FALSE, mutexName(name).c_str());
    const DWORD error = ::GetLastError();
    if (mutex != nullptr) ::CloseHandle(mutex);
    if (mutex == nullptr && error != ERROR_ACCESS_DENIED) return false;
    holder = readRecord(name);
    return holder.pid != ::GetCurrentProcessId();
}

}  // namespace usb_driver::place_claim::system
