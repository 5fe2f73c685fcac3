// Thread budget, prefetching, mode choice and worker count.
#include "run/run_policy.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "run/usable_processors.h"
#include "util/text.h"

namespace jorvane::run {
namespace {

// An optional '+' then one or more digits, nothing else, no overflow.
std::optional<uint64_t> parse_u64(std::string_view s) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        uint64_t d = static_cast<uint64_t>(c - '0');
        if (v > (std::numeric_limits<uint64_t>::max() - d) / 10) return std::nullopt;
        v = v * 10 + d;
    }
    return v;
}

size_t saturating_double(size_t n) {
    n = std::max<size_t>(n, 1);
    return n > std::numeric_limits<size_t>::max() / 2 ? std::numeric_limits<size_t>::max() : n * 2;
}

}  // namespace

size_t threads_for(size_t cpus, std::optional<std::string_view> memory_env) {
    size_t c = cpus == 0 ? 1 : cpus;
    if (!memory_env || !is_valid_utf8(*memory_env)) return c;
    std::optional<uint64_t> mb = parse_u64(*memory_env);
    if (!mb) return c;
    uint64_t by_memory = std::max<uint64_t>(*mb / 1769, 1);
    return static_cast<size_t>(std::min<uint64_t>(by_memory, c));
}

size_t available_threads() {
    const char* env = std::getenv("AWS_LAMBDA_FUNCTION_MEMORY_SIZE");
    return threads_for(usable_processors(), env ? std::optional<std::string_view>(env) : std::nullopt);
}

bool prefetch_for(size_t n_sources, size_t threads) {
    return saturating_double(n_sources) <= std::max<size_t>(threads, 1);
}

std::optional<engine::ScanMode> choose_mode(const std::optional<std::string>& mode, size_t n_sources,
                                            size_t threads, bool splits) {
    if (!mode || *mode == "auto")
        return prefetch_for(n_sources, threads) && !splits ? engine::ScanMode::pipelined(128)
                                                           : engine::ScanMode::batched(8);
    if (*mode == "pipelined") return engine::ScanMode::pipelined(128);
    if (*mode == "batched") return engine::ScanMode::batched(8);
    return std::nullopt;
}

std::string unknown_mode_message(std::string_view mode) {
    return "unknown mode " + debug_quote(mode) + "; expected 'auto', 'pipelined', or 'batched'";
}

const char* mode_name(const engine::ScanMode& mode) {
    switch (mode.kind) {
        case engine::ScanMode::Serial: return "serial";
        case engine::ScanMode::Batched: return "batched";
        case engine::ScanMode::Pipelined: return "pipelined";
    }
    return "batched";
}

size_t buffer_len_for(const engine::ScanMode& mode) {
    return mode.kind == engine::ScanMode::Pipelined ? 4194304 : 1048576;
}

size_t split_walkers(size_t threads, const engine::ScanMode& mode) {
    // More walkers than processors would only hold more ranges in memory.
    size_t t = std::min(threads, usable_processors());
    if (mode.kind == engine::ScanMode::Pipelined) t >>= 1;
    return std::max<size_t>(t, 1);
}

uint64_t split_range_len(uint64_t size, size_t walkers) {
    constexpr uint64_t kMinSize = 8388608;
    constexpr uint64_t kMinRange = 2097152;
    constexpr uint64_t kMaxRange = 16777216;
    if (walkers < 2 || size < kMinSize) return 0;
    return std::clamp<uint64_t>(size / (static_cast<uint64_t>(walkers) * 16), kMinRange, kMaxRange);
}

uint64_t split_sequential_range_len(size_t walkers) {
    constexpr uint64_t kHeldAhead = 16777216;
    constexpr uint64_t kMinRange = 262144;
    constexpr uint64_t kMaxRange = 1048576;
    return std::clamp<uint64_t>(kHeldAhead / (2 * static_cast<uint64_t>(std::max<size_t>(walkers, 1))), kMinRange,
                                kMaxRange);
}

uint64_t streamed_range_len(uint64_t range_len, size_t walkers) {
    return std::min(range_len, 2 * split_sequential_range_len(walkers));
}

size_t worker_count(size_t n_sources, std::optional<uint64_t> max_threads, const engine::ScanMode& mode) {
    uint64_t t = max_threads ? *max_threads : usable_processors();
    if (mode.kind == engine::ScanMode::Pipelined) t >>= 1;
    t = std::max<uint64_t>(t, 1);
    return static_cast<size_t>(std::min<uint64_t>(n_sources, t));
}

uint64_t split_range_for(const SplitFacts& facts, size_t walkers) {
    using Kind = engine::AccumulatorKind;
    if (walkers < 2 || facts.input == SplitFacts::Input::Other || facts.match_limit || facts.reads_engine) return 0;
    bool never_settles = false;
    bool figures = false;
    for (const Kind k : facts.kinds) {
        if (k != Kind::Exists) never_settles = true;
        if (k == Kind::Sum || k == Kind::Mean || k == Kind::Product) figures = true;
    }
    if (!never_settles) return 0;
    if (facts.input == SplitFacts::Input::Sequential) return split_sequential_range_len(walkers);
    const uint64_t len = facts.size ? split_range_len(*facts.size, walkers) : 0;
    return figures ? std::min(len, kFiguresRangeLen) : len;
}

std::optional<SplitPlan> split_plan(const SplitFacts& facts, size_t walkers) {
    const uint64_t range_len = split_range_for(facts, walkers);
    if (range_len == 0) return std::nullopt;
    return SplitPlan{walkers, range_len};
}

ThreadBudget::ThreadBudget(std::optional<uint64_t> max_threads)
    : threads_(max_threads ? static_cast<size_t>(*max_threads) : available_threads()), max_threads_(max_threads) {}

std::optional<engine::ScanMode> ThreadBudget::mode(const std::optional<std::string>& name, size_t n_sources,
                                                   const SplitFacts* one_source) const {
    const bool splits =
        n_sources == 1 && one_source &&
        split_range_for(*one_source, split_walkers(threads_, engine::ScanMode::batched(8))) > 0;
    return choose_mode(name, n_sources, threads_, splits);
}

bool ThreadBudget::prefetch(size_t n_sources) const { return prefetch_for(n_sources, threads_); }

size_t ThreadBudget::walkers(const engine::ScanMode& mode) const { return split_walkers(threads_, mode); }

size_t ThreadBudget::workers(size_t n_sources, const engine::ScanMode& mode) const {
    return worker_count(n_sources, max_threads_, mode);
}

}  // namespace jorvane::run
