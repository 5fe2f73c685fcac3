// Benchmark harness: file loading and best/median timing of full passes.
#include "harness.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace jorvane::bench {

std::string corpus_path(int argc, char** argv) {
    if (argc > 1) return argv[1];
    return std::string(JORVANE_BENCH_DATA_DIR) + "/records.ndjson";
}

Corpus load_corpus(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        std::fprintf(stderr, "cannot open %s: generate it first (bench/run.sh does, or run gen_ndjson)\n",
                     path.c_str());
        std::exit(2);
    }
    Corpus c;
    c.path = path;
    c.size = size_t(in.tellg());
    c.storage.assign(c.size + 64, 0);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(c.storage.data()), std::streamsize(c.size));
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        std::exit(2);
    }
    return c;
}

int repetitions(int fallback) {
    if (const char* env = std::getenv("JORVANE_BENCH_REPS")) {
        const int n = std::atoi(env);
        if (n > 0) return n;
    }
    return fallback;
}

double measure(const std::string& name, size_t bytes, int reps, const std::function<uint64_t()>& pass) {
    using Clock = std::chrono::steady_clock;
    uint64_t checksum = pass();  // warm-up: page faults, caches, frequency
    std::vector<double> rates;
    for (int i = 0; i < reps; ++i) {
        const auto start = Clock::now();
        const uint64_t sum = pass();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (sum != checksum) std::fprintf(stderr, "%s: checksum differs between passes\n", name.c_str());
        rates.push_back(double(bytes) / seconds / 1e9);
    }
    std::sort(rates.begin(), rates.end());
    const double best = rates.back();
    const double median = rates[rates.size() / 2];
    std::printf("%-44s %7.2f GB/s best  %7.2f GB/s median  (checksum %llu)\n", name.c_str(), best, median,
                static_cast<unsigned long long>(checksum));
    std::fflush(stdout);
    return best;
}

}  // namespace jorvane::bench
