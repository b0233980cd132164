// SPDX-License-Identifier: MIT
// One updater per projector per computer. A process that takes a projector
// first claims the projector's place (its port path on this computer, or its
// bus id on a USB/IP server) system-wide, before it opens the device or
// sends anything to it, and keeps the claim until it ends: across the
// switch into programming mode, when the projector leaves the bus and comes
// back at the same place, no other process can take it. A process that finds
// a place claimed leaves the device alone and can say which process holds it.
//
// The claim goes with the process, however it ends (a kill included):
// - Linux: a listening socket bound to a name in the abstract unix socket
//   namespace, which needs no folder and which the kernel frees with the
//   process. Another process asks who holds it by connecting (SO_PEERCRED
//   gives the holder's process id).
// - Windows: a mutex named in the Global namespace, which lives as long as
//   a handle to it is open; the holder's process id and program are written
//   beside it, in a file under %ProgramData%, for others to read.
//
// Threads: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace usb_driver::place_claim {

// Where a place is unique: this computer's USB ports, or one USB/IP server.
struct Scope {
    // Part of the claim's name: "local", "usbip 127.0.0.1:3240". Empty for a
    // bus that only this process can reach (a test's in-process bus): then
    // nothing is claimed.
    std::string key;
    // As messages name it: "this computer's USB ports", "USB/IP server
    // 127.0.0.1:3240".
    std::string name;
    bool server = false;  // a USB/IP server: "of" it, not "on" it
};

// The process holding a claim.
struct Holder {
    uint32_t pid = 0;     // 0: not known
    std::string program;  // "tz4817-update"; empty when not known
};

enum class Taken {
    Ours,       // this process holds the claim (taken now or before)
    Elsewhere,  // another process holds it (`holder` says which when known)
    Failed,     // the system refused to make one (`why` says why)
};

// Takes the claim on `place` in `scope` for this process, which then holds
// it until release() or its end. Non-blocking.
Taken take(const Scope &scope, const std::string &place, Holder &holder, std::string &why);

// Lets go of a claim this process holds; nothing otherwise.
void release(const Scope &scope, const std::string &place);

// Whether a process other than this one holds the claim, and which. Takes
// nothing. Non-blocking.
bool heldElsewhere(const Scope &scope, const std::string &place, Holder &holder);

// The key of this computer's USB ports: "local", unless a test set its own.
std::string localScopeKey();

// The scope of this computer's USB ports, the one of every local bus.
Scope localScope();

// "the projector at 1-2 of USB/IP server 127.0.0.1:3240 is being updated by
// process 1234 (tz4817-update)"; "by another program" when the holder is not
// known. No line feed.
std::string busyText(const Scope &scope, const std::string &place, const Holder &holder);

namespace testing {
// The local key for the rest of the process (empty: "local"). Tests on
// umockdev's emulated USB give each testbed its own, so that tests running
// side by side on this computer, their projectors all at "1-1", do not
// refuse each other. Only tests call it; nothing reads it from the
// environment, so no user can step around a claim with it.
void setLocalScopeKey(std::string key);
}  // namespace testing

}  // namespace usb_driver::place_claim
