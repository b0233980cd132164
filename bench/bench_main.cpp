// SPDX-License-Identifier: MIT
// main() of the Google Benchmark programs: takes --image-bytes=N, then the
// library's own flags.
#include <benchmark/benchmark.h>

#include "bench_support.h"

int main(int argc, char **argv) {
    bench::takeImageBytesOption(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::AddCustomContext("image_bytes", std::to_string(bench::imageBytes()));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
