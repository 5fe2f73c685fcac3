// Engine throughput over the benchmark file, one source scanned the way the
// run drivers scan it: buffers of 1 MiB (batched) or 4 MiB (pipelined) handed
// to `Engine::scan_buffer`, then `finish` and `finalize_source`.
// Cases: Count on `events[*].user.id`, Sum on `qty`, Count on an absent path
// (every record skipped whole), Values on `events[*].user.id`, and Count on
// 64 fused queries (the first path 64 times; 64 different paths), in serial,
// batched and pipelined mode. Batched and serial figures are one core; the
// pipelined mode uses a second core for stage 1 when measuring says that
// pays (engine/walk/pipeline_choice.h); "pipelined 128, always" hands every
// buffer to the stage-1 thread. The modes of a case run in turns, one pass
// each per round, so that they share whatever load the machine is under.
//
// JORVANE_BENCH_SWEEP=1 measures instead, for buffers of 4 KiB to 4 MiB,
// batched 8 against pipelined 128 with every buffer handed to the stage-1
// thread (no minimum length), buffer by buffer: below the length where the
// pipelined scan stops losing even in its best case is where
// ScanMode::kMinPipelinedLen belongs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "classification_kernel/kernel.h"
#include "engine/compiled_queries.h"
#include "engine/engine.h"
#include "harness.h"

using namespace jorvane;
using engine::AccumulatorKind;

namespace {

struct Case {
    const char* name;
    const char* query;
    AccumulatorKind mode;
    // Fused cases: 64 queries in one automaton, the same query 64 times
    // (`query` set) or 64 different paths (`query` null).
    bool fused = false;
};

// The plans of a case, one query or 64 fused ones, with the texts and
// accumulator lists they borrow.
struct CasePlans {
    std::vector<AccumulatorKind> kinds;
    std::vector<std::string> texts;
    std::vector<engine::QueryPlan> plans;
};

CasePlans case_plans(const Case& c) {
    CasePlans p;
    p.kinds = {c.mode};
    if (!c.fused) {
        p.texts.push_back(c.query);
    } else if (c.query) {
        p.texts.assign(64, c.query);
    } else {
        // Four members of each of the first sixteen events.
        for (int i = 0; i < 16; ++i)
            for (const char* member : {"user.id", "at", "value", "type"})
                p.texts.push_back("events[" + std::to_string(i) + "]." + member);
    }
    for (const std::string& t : p.texts) p.plans.push_back(engine::QueryPlan{std::nullopt, t, p.kinds});
    return p;
}

uint64_t scan(const bench::Corpus& corpus, const engine::CompiledQueries& compiled, engine::ScanMode mode,
              size_t buffer) {
    engine::Engine e(mode);
    compiled.install(e);
    e.set_stream_items(false);
    for (size_t at = 0; at < corpus.size; at += buffer) {
        const size_t n = corpus.size - at < buffer ? corpus.size - at : buffer;
        engine::BufferScan step = e.scan_buffer(std::span<const uint8_t>(corpus.data() + at, n));
        if (step.error) {
            std::fprintf(stderr, "scan error at byte %llu\n", static_cast<unsigned long long>(step.error->offset));
            return 0;
        }
    }
    if (e.finish(true)) std::fprintf(stderr, "scan ended with an error\n");
    auto out = e.finalize_source();
    const auto& o = out[0];
    if (o.count) return *o.count;
    if (o.values_count) return *o.values_count;
    if (o.sum) return static_cast<uint64_t>(static_cast<int64_t>(*o.sum));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bench::Corpus corpus = bench::load_corpus(bench::corpus_path(argc, argv));
    const int reps = bench::repetitions(5);
    std::printf("engine over %s: %.3f GB; kernel: %s\n", corpus.path.c_str(), double(corpus.size) / 1e9,
                classification_kernel::kernel_name(classification_kernel::active_kernel()));
    const Case cases[] = {{"count events[*].user.id", "events[*].user.id", AccumulatorKind::Count},
                          {"sum qty", "qty", AccumulatorKind::Sum},
                          {"count missing.field (skip)", "missing.field", AccumulatorKind::Count},
                          {"values events[*].user.id", "events[*].user.id", AccumulatorKind::Values},
                          {"count events[*].user.id x64 fused", "events[*].user.id", AccumulatorKind::Count, true},
                          {"count 64 paths fused", nullptr, AccumulatorKind::Count, true}};
    struct Mode {
        const char* name;
        engine::ScanMode mode;
        size_t buffer;
    };
    const Mode modes[] = {{"serial", engine::ScanMode::serial(), 1 << 20},
                          {"batched 8", engine::ScanMode::batched(8), 1 << 20},
                          {"pipelined 128", engine::ScanMode::pipelined(128), 4 << 20},
                          {"pipelined 128, always", engine::ScanMode::pipelined_always(128), 4 << 20}};
    // JORVANE_BENCH_FILTER: run only the cases whose name contains this text.
    const char* filter = std::getenv("JORVANE_BENCH_FILTER");
    const char* sweep = std::getenv("JORVANE_BENCH_SWEEP");
    if (sweep && *sweep && *sweep != '0') {
        // The first `size` bytes of the corpus (cut after a newline) scanned
        // again and again, a batched engine and an always-pipelining one
        // taking turns, each buffer timed on its own: the median and the best
        // per-buffer times, and their ratio.
        for (const Case& c : cases) {
            if (filter && std::string(c.name).find(filter) == std::string::npos) continue;
            const CasePlans plans = case_plans(c);
            auto compiled = engine::CompiledQueries::compile(plans.plans);
            if (!compiled.ok()) return 1;
            for (size_t size = 4096; size <= (size_t{4} << 20) && size <= corpus.size; size *= 2) {
                size_t len = size;
                while (len > 1 && corpus.data()[len - 1] != '\n') --len;
                engine::Engine batched(engine::ScanMode::batched(8)), pipelined(engine::ScanMode::pipelined_always(128));
                for (engine::Engine* e : {&batched, &pipelined}) {
                    compiled->install(*e);
                    e->set_stream_items(false);
                }
                std::vector<double> tb, tp;
                const int iters = std::max(20, int((size_t{1} << 30) / 8 / len));
                for (int i = 0; i < iters; ++i) {
                    for (int k = 0; k < 2; ++k) {
                        const bool pipe = (i + k) % 2 == 1;
                        engine::Engine& e = pipe ? pipelined : batched;
                        const auto start = std::chrono::steady_clock::now();
                        e.scan_buffer(std::span<const uint8_t>(corpus.data(), len));
                        (pipe ? tp : tb).push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
                    }
                }
                std::sort(tb.begin(), tb.end());
                std::sort(tp.begin(), tp.end());
                std::printf("%s, %5zu KiB buffers: batched 8 median %8.1f us best %8.1f | pipelined 128 median %8.1f us best "
                            "%8.1f | pipelined / batched: median %.3f best %.3f\n",
                            c.name, size >> 10, tb[tb.size() / 2] * 1e6, tb[0] * 1e6, tp[tp.size() / 2] * 1e6, tp[0] * 1e6,
                            tp[tp.size() / 2] / tb[tb.size() / 2], tp[0] / tb[0]);
                std::fflush(stdout);
            }
        }
        return 0;
    }
    for (const Case& c : cases) {
        const CasePlans plans = case_plans(c);
        auto compiled = engine::CompiledQueries::compile(plans.plans);
        if (!compiled.ok()) {
            std::fprintf(stderr, "case %s does not compile\n", c.name);
            return 1;
        }
        // The modes of a case take turns, pass by pass (one warm-up pass
        // each first), so that a change of load on a shared machine falls on
        // all of them alike.
        std::vector<const Mode*> chosen;
        for (const Mode& m : modes) {
            const std::string name = std::string(c.name) + ", " + m.name;
            if (!filter || name.find(filter) != std::string::npos) chosen.push_back(&m);
        }
        std::vector<uint64_t> checksums;
        std::vector<std::vector<double>> rates(chosen.size());
        for (const Mode* m : chosen) checksums.push_back(scan(corpus, *compiled, m->mode, m->buffer));
        for (int r = 0; r < reps; ++r) {
            for (size_t j = 0; j < chosen.size(); ++j) {
                const size_t i = (j + size_t(r)) % chosen.size();
                const auto start = std::chrono::steady_clock::now();
                const uint64_t sum = scan(corpus, *compiled, chosen[i]->mode, chosen[i]->buffer);
                const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                if (sum != checksums[i]) std::fprintf(stderr, "%s: checksum differs between passes\n", chosen[i]->name);
                rates[i].push_back(double(corpus.size) / seconds / 1e9);
            }
        }
        for (size_t i = 0; i < chosen.size(); ++i) {
            std::sort(rates[i].begin(), rates[i].end());
            const std::string name = std::string(c.name) + ", " + chosen[i]->name;
            std::printf("%-44s %7.2f GB/s best  %7.2f GB/s median  (checksum %llu)\n", name.c_str(), rates[i].back(),
                        rates[i][rates[i].size() / 2], static_cast<unsigned long long>(checksums[i]));
        }
        std::fflush(stdout);
    }
    return 0;
}
