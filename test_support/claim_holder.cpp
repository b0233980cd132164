// SPDX-License-Identifier: MIT
// claim_holder SCOPE-KEY PLACE: a process that holds the claim on a place of
// this computer's USB ports (place_claim.h), as an updater of another
// process would, for the tests of what a process finds there. Prints
// "claimed" once it holds it, then holds it until it is killed.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "usb_driver/place_claim.h"

int main(int argc, char **argv) {
    using namespace usb_driver::place_claim;
    if (argc != 3) {
        std::fprintf(stderr, "usage: claim_holder SCOPE-KEY PLACE\n");
        return 2;
    }
    const Scope scope{argv[1], "this computer's USB ports", false};
    Holder holder;
    std::string why;
    if (take(scope, argv[2], holder, why) != Taken::Ours) {
        std::fprintf(stderr, "claim_holder: not claimed: held by %u %s; %s\n", holder.pid, holder.program.c_str(),
                     why.c_str());
        return 1;
    }
    std::puts("claimed");
    std::fflush(stdout);
    for (;;) ::pause();
}
