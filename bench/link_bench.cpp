// SPDX-License-Identifier: MIT
// What the emulated links cost by themselves, with no updater code: the
// emulator's latency hold as it really lasts here, and a round trip of a
// small message between two threads over loopback TCP, which every USB/IP
// transfer makes at least once.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "projector_emulator/device.h"

namespace bench {
namespace {

// The emulated projector's hold of its per-transfer latency, exactly as the
// USB/IP server and the loopback bus apply it.
void BM_LatencySleep(benchmark::State &state) {
    auto flash = projector_emulator::NorFlash::inMemory();
    projector_emulator::DeviceOptions options;
    options.faults.push_back(
        {projector_emulator::Fault::Kind::Latency, 0, 0, 0, static_cast<uint32_t>(state.range(0))});
    projector_emulator::Tz4817Device device(*flash, options);
    for (auto _ : state) device.holdTransferLatency();
}
BENCHMARK(BM_LatencySleep)->Arg(125)->Arg(1000)->Unit(benchmark::kMicrosecond)->UseRealTime();

bool exact(int fd, uint8_t *buffer, size_t length, bool send) {
    for (size_t done = 0; done < length;) {
        const ssize_t n =
            send ? ::send(fd, buffer + done, length - done, MSG_NOSIGNAL) : ::recv(fd, buffer + done, length - done, 0);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// A 64-byte message to a thread that echoes it, and back, on 127.0.0.1 with
// TCP_NODELAY: one USB/IP transfer without the protocol and the device.
void BM_TcpLoopbackRoundTrip(benchmark::State &state) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0 || ::listen(listener, 1) != 0) {
        if (listener >= 0) ::close(listener);
        return state.SkipWithError("no listening socket on 127.0.0.1");
    }
    const int one = 1;
    std::thread echo([listener, one] {
        const int peer = ::accept(listener, nullptr, nullptr);
        if (peer < 0) return;
        ::setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        uint8_t message[64];
        while (exact(peer, message, sizeof message, false) && exact(peer, message, sizeof message, true)) {}
        ::close(peer);
    });
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = client >= 0 && ::connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    if (ok) ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    uint8_t message[64] = {};
    for (auto _ : state) {
        if (!ok) break;
        ok = exact(client, message, sizeof message, true) && exact(client, message, sizeof message, false);
    }
    if (client >= 0) {
        ::shutdown(client, SHUT_RDWR);
        ::close(client);
    }
    ::shutdown(listener, SHUT_RDWR);  // ends an accept that never got its connection
    echo.join();
    ::close(listener);
    if (!ok) state.SkipWithError("the round trip failed");
}
BENCHMARK(BM_TcpLoopbackRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace bench
