// fuzz_replay: saved inputs through the fuzz targets, without libFuzzer.
//
//   fuzz_replay <target> <file or directory>...
//
// A directory is read file by file in name order; a missing one counts as
// empty. The first fault stops the run with the target's message, so a
// crash file kept in fuzz/regressions/<target>/ fails the test suite for as
// long as the fault lives.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "targets.h"

namespace {

using Target = int (*)(std::span<const uint8_t>);

Target find_target(const std::string& name) {
    if (name == "query_compile") return jorvane::fuzz::query_compile;
    if (name == "engine_differential") return jorvane::fuzz::engine_differential;
    if (name == "decoder") return jorvane::fuzz::decoder;
    return nullptr;
}

std::vector<uint8_t> read_file(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: fuzz_replay <target> <file or directory>...\n");
        return 2;
    }
    const Target target = find_target(argv[1]);
    if (!target) {
        std::fprintf(stderr, "fuzz_replay: no target named %s\n", argv[1]);
        return 2;
    }
    std::vector<std::filesystem::path> inputs;
    for (int i = 2; i < argc; ++i) {
        const std::filesystem::path p(argv[i]);
        if (std::filesystem::is_directory(p)) {
            std::vector<std::filesystem::path> files;
            for (const auto& e : std::filesystem::directory_iterator(p))
                if (e.is_regular_file() && e.path().filename().string()[0] != '.') files.push_back(e.path());
            std::sort(files.begin(), files.end());
            inputs.insert(inputs.end(), files.begin(), files.end());
        } else if (std::filesystem::exists(p)) {
            inputs.push_back(p);
        }
    }
    for (const auto& p : inputs) {
        std::fprintf(stderr, "%s\n", p.string().c_str());
        const std::vector<uint8_t> data = read_file(p);
        target(data);
    }
    std::fprintf(stderr, "%s: %zu inputs passed\n", argv[1], inputs.size());
    return 0;
}
