// SPDX-License-Identifier: MIT
// The claims this process holds, and their names; the system objects behind
// them are place_claim_posix.cpp's and place_claim_windows.cpp's.
#include "usb_driver/place_claim.h"

#include <cstdio>
#include <map>
#include <mutex>

#include "place_claim_system.h"

namespace usb_driver::place_claim {
namespace {

struct Claims {
    std::mutex mutex;
    std::map<std::string, system::Handle> held;  // by name
    std::string localKey;
};

Claims &claims() {
    // Never destroyed: a claim lasts as long as the process.
    static Claims *all = new Claims;
    return *all;
}

// FNV-1a, 64 bits: names of one length and alphabet on every platform,
// whatever bytes a USB/IP server put into a bus id.
std::string nameOf(const Scope &scope, const std::string &place) {
    uint64_t hash = 0xcbf29ce484222325;
    const std::string text = scope.key + '\n' + place;
    for (const char c : text) {
        hash ^= static_cast<uint8_t>(c);
        hash *= 0x100000001b3;
    }
    char name[40];
    std::snprintf(name, sizeof name, "tz4817-claim-%016llx", static_cast<unsigned long long>(hash));
    return name;
}

}  // namespace

Taken take(const Scope &scope, const std::string &place, Holder &holder, std::string &why) {
    if (scope.key.empty()) return Taken::Ours;
    const std::string name = nameOf(scope, place);
    Claims &all = claims();
    std::lock_guard lock(all.mutex);
    for (const auto &[held, handle] : all.held) system::tend(handle);
    if (all.held.count(name)) return Taken::Ours;
    system::Handle handle{};
    const Taken taken = system::take(name, handle, holder, why);
    if (taken == Taken::Ours) all.held.emplace(name, handle);
    return taken;
}

void release(const Scope &scope, const std::string &place) {
    if (scope.key.empty()) return;
    Claims &all = claims();
    std::lock_guard lock(all.mutex);
    auto it = all.held.find(nameOf(scope, place));
    if (it == all.held.end()) return;
    system::release(it->first, it->second);
    all.held.erase(it);
}

bool heldElsewhere(const Scope &scope, const std::string &place, Holder &holder) {
    if (scope.key.empty()) return false;
    const std::string name = nameOf(scope, place);
    {
        Claims &all = claims();
        std::lock_guard lock(all.mutex);
        if (all.held.count(name)) return false;
    }
    return system::heldElsewhere(name, holder);
}

std::string localScopeKey() {
    Claims &all = claims();
    std::lock_guard lock(all.mutex);
    return all.localKey.empty() ? "local" : all.localKey;
}

Scope localScope() { return {localScopeKey(), "this computer's USB ports", false}; }

std::string busyText(const Scope &scope, const std::string &place, const Holder &holder) {
    std::string text =
        "the projector at " + place + (scope.server ? " of " : " on ") + scope.name + " is being updated by ";
    if (holder.pid == 0) return text + "another program";
    text += "process " + std::to_string(holder.pid);
    return holder.program.empty() ? text : text + " (" + holder.program + ")";
}

namespace testing {

void setLocalScopeKey(std::string key) {
    Claims &all = claims();
    std::lock_guard lock(all.mutex);
    all.localKey = std::move(key);
}

}  // namespace testing
}  // namespace usb_driver::place_claim
