// SPDX-License-Identifier: MIT
// The claims on places between processes: another process's claim is seen
// with its process id and program, keeps this process off the place and
// goes with that process; this process's claim keeps the others off until
// it is given up.
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <string>

#include "test_support/child_process.h"
#include "usb_driver/place_claim.h"

namespace usb_driver::place_claim {
namespace {

using test_support::ChildProcess;

// A scope no other test process can meet: named after this process.
Scope testScope() { return {"test " + std::to_string(::getpid()), "USB/IP server 127.0.0.1:3240", true}; }

TEST(PlaceClaim, AnotherProcesssClaimKeepsThisOneOffAndGoesWithThatProcess) {
    const Scope scope = testScope();
    ChildProcess other({CLAIM_HOLDER_PROGRAM, {scope.key, "1-2"}});
    ASSERT_TRUE(other.waitForOutput("claimed\n", std::chrono::seconds(30))) << other.errors();

    Holder holder;
    EXPECT_TRUE(heldElsewhere(scope, "1-2", holder));
    EXPECT_EQ(holder.pid, static_cast<uint32_t>(other.pid()));
    EXPECT_EQ(holder.program, "claim_holder");
    EXPECT_FALSE(heldElsewhere(scope, "1-3", holder)) << "another place is free";
    std::string why;
    EXPECT_EQ(take(scope, "1-2", holder, why), Taken::Elsewhere);
    EXPECT_EQ(holder.pid, static_cast<uint32_t>(other.pid()));
    EXPECT_EQ(busyText(scope, "1-2", holder), "the projector at 1-2 of USB/IP server 127.0.0.1:3240 is being updated "
                                              "by process " +
                                                  std::to_string(other.pid()) + " (claim_holder)");

    other.signal(SIGKILL);
    other.wait();
    EXPECT_EQ(take(scope, "1-2", holder, why), Taken::Ours) << "the killed process's claim outlived it";
    EXPECT_FALSE(heldElsewhere(scope, "1-2", holder)) << "this process's own claim is not another's";

    // Held here, the place is refused to the next process until given up.
    ChildProcess refused({CLAIM_HOLDER_PROGRAM, {scope.key, "1-2"}});
    EXPECT_EQ(refused.wait(), 1);
    EXPECT_NE(refused.errors().find("held by " + std::to_string(::getpid())), std::string::npos) << refused.errors();
    release(scope, "1-2");
    ChildProcess after({CLAIM_HOLDER_PROGRAM, {scope.key, "1-2"}});
    EXPECT_TRUE(after.waitForOutput("claimed\n", std::chrono::seconds(30))) << after.errors();
}

TEST(PlaceClaim, BusWithoutAScopeClaimsNothingAndUnknownHoldersAreAnotherProgram) {
    Holder holder;
    std::string why;
    EXPECT_EQ(take(Scope{}, "1-1", holder, why), Taken::Ours);
    EXPECT_FALSE(heldElsewhere(Scope{}, "1-1", holder));
    EXPECT_EQ(busyText({"local", "this computer's USB ports", false}, "3-1.4", Holder{}),
              "the projector at 3-1.4 on this computer's USB ports is being updated by another program");
}

}  // namespace
}  // namespace usb_driver::place_claim
