// SPDX-License-Identifier: MIT
// Runs every input of the folders named on the command line through one fuzz
// target, one after another as libFuzzer runs them, so that the committed
// corpus and every input that once broke something run as a plain test in
// every build, without clang. Names beginning with '.' are skipped. A folder
// that does not exist fails the run: a lost folder must not pass silently.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
// Optional, as for libFuzzer: the target's one-time set-up.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FOLDER...\n", argv[0]);
        return 2;
    }
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path folder = argv[i];
        std::error_code error;
        if (!std::filesystem::is_directory(folder, error)) {
            std::fprintf(stderr, "%s: no such folder\n", folder.c_str());
            return 1;
        }
        std::vector<std::filesystem::path> inputs;
        for (const auto &entry : std::filesystem::directory_iterator(folder)) {
            if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') inputs.push_back(entry.path());
        }
        std::sort(inputs.begin(), inputs.end());
        for (const auto &path : inputs) {
            std::ifstream file(path, std::ios::binary);
            const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
            if (!file.good() && !file.eof()) {
                std::fprintf(stderr, "%s: cannot be read\n", path.c_str());
                return 1;
            }
            std::fprintf(stderr, "%s (%zu bytes)\n", path.c_str(), bytes.size());
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        }
        std::fprintf(stderr, "%s: %zu inputs\n", folder.c_str(), inputs.size());
    }
    return 0;
}
