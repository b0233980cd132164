// SPDX-License-Identifier: MIT
// What the update adds before it touches the projector: the private snapshot
// of the checked image that the download reads (update_sequence::CheckedImage::snapshot),
// made and removed once per iteration.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "update_sequence/checked_image.h"

namespace bench {
namespace {

void BM_ImageSnapshot(benchmark::State &state) {
    char pattern[] = "/tmp/tz4817-snapshot-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::filesystem::path folder(pattern);
    const std::string path = (folder / "tz4817.img").string();
    std::vector<char> bytes(imageBytes());
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31 + (i >> 11));
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    const update_sequence::CheckedImage image(path);
    for (auto _ : state) {
        std::string why;
        auto snapshot = image.snapshot(why);
        if (!snapshot) {
            state.SkipWithError(why.c_str());
            break;
        }
        benchmark::DoNotOptimize(snapshot.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_ImageSnapshot)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace bench
