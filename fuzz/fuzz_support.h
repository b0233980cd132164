// SPDX-License-Identifier: MIT
// What the fuzz targets share: a check that stops the run where a promise of
// the code under test is broken (libFuzzer then keeps the input), inputs cut
// into chunks, and the loopback sockets the network targets talk over.
//
// Each target is one LLVMFuzzerTestOneInput. Built with -fsanitize=fuzzer
// (preset fuzz) libFuzzer drives it; built with the other presets it is linked
// with replay_main.cpp, which runs the committed inputs through it as a test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace fuzz {

// Prints where and what, then aborts: a crash for libFuzzer and for ctest.
[[noreturn]] void fail(const char *file, int line, const char *condition);

// Not assert(): it must hold in every build type, NDEBUG included.
#define FUZZ_CHECK(condition) ((condition) ? (void)0 : ::fuzz::fail(__FILE__, __LINE__, #condition))

using Bytes = std::span<const uint8_t>;

// An input read as chunks: each a big-endian 16-bit length and that many
// bytes. A length that runs past the end takes what is left, so every input
// means something.
class Chunks {
public:
    explicit Chunks(Bytes input) : rest_(input) {}
    // The next chunk (possibly empty); nothing once the input is used up.
    std::optional<Bytes> next();

private:
    Bytes rest_;
};

// The bytes of one chunk as Chunks reads it, for writing inputs.
void appendChunk(std::span<const uint8_t> chunk, std::vector<uint8_t> &out);

// Descriptors this process has open; a target that is to leave none behind
// compares the count before and after an input.
size_t openDescriptors();

// A TCP listener on 127.0.0.1, on a port the system picks.
class LoopbackListener {
public:
    LoopbackListener();
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener &) = delete;
    LoopbackListener &operator=(const LoopbackListener &) = delete;

    uint16_t port() const { return port_; }
    // Accepts one connection; -1 when `wake` (an eventfd, or -1) becomes
    // readable first.
    int accept(int wake);

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A blocking TCP connection to 127.0.0.1:port with TCP_NODELAY; -1 on failure.
int connectLoopback(uint16_t port);

}  // namespace fuzz
