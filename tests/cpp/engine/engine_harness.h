// Engine tests: compiles queries, feeds a document cut into buffers at given
// positions through the engine's scan step, and collects outputs, streamed
// values and the error. Every `run` walks the document twice, with the fast
// walk and with the general walk alone, and fails the test when the two
// outcomes differ: each engine test doubles as a differential test of the
// fast walk's hand-over.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "classification_kernel/kernel.h"
#include "engine/compiled_queries.h"
#include "engine/engine.h"
#include "util/panic.h"

namespace jorvane::engine::testing {

using M = AccumulatorKind;

struct QuerySpec {
    std::string text;
    std::vector<AccumulatorKind> kinds;
    std::optional<uint64_t> limit;
};

struct Outcome {
    std::vector<QueryOutput> outputs;
    std::vector<std::vector<Value>> values;  // per query, Values streams in order
    bool failed = false;
    bool incomplete = false;  // end-of-input error (else malformed)
    ParseErrorKind kind;
    uint64_t offset = 0;
    std::string message;
    std::string context;
};

struct RunOptions {
    ScanMode mode = ScanMode::serial();
    classification_kernel::KernelKind kernel = classification_kernel::KernelKind::Scalar;
    std::vector<size_t> cuts;  // buffer boundaries (positions inside the document)
    bool raw = false;       // keeps the text of the first query's values (NDJSON whole rows)
    bool fast_walk = true;  // false: the general walk alone, and no comparison
};

inline CompiledQueries compile_specs(const std::vector<QuerySpec>& specs) {
    std::vector<QueryPlan> plans;
    for (const auto& s : specs) plans.push_back(QueryPlan{s.limit, s.text, s.kinds});
    auto compiled = CompiledQueries::compile(plans);
    if (!compiled.ok()) panic("test query does not compile: " + compiled.error().query);
    return std::move(*compiled);
}

// An engine for queries compiled once (long queries compile slowly next to
// a short scan).
inline Engine make_engine(const CompiledQueries& compiled, ScanMode mode) {
    Engine e(mode);
    compiled.install(e);
    return e;
}

inline Engine make_engine(const std::vector<QuerySpec>& specs, ScanMode mode) {
    return make_engine(compile_specs(specs), mode);
}

inline void take_values(Engine& e, Outcome& out) {
    for (auto& batch : e.drain_streams()) {
        if (batch.kind != StreamKind::Values) continue;
        if (out.values.size() <= batch.query) out.values.resize(batch.query + 1);
        for (auto& v : batch.values) out.values[batch.query].push_back(std::move(v));
    }
}

inline void note_error(Outcome& out, const ParseError& err) {
    out.failed = true;
    out.incomplete = err.end_of_input();
    out.kind = err.kind;
    out.offset = err.offset;
    out.message = err.kind.to_string() + " at byte " + std::to_string(err.offset) + " near " + err.context();
    out.context = err.context();
}

// Runs an engine over `doc` in the buffers given by the cuts.
inline Outcome run_engine(Engine& e, std::string_view doc, const std::vector<size_t>& cuts) {
    Outcome out;
    out.values.resize(e.query_count());
    std::vector<size_t> bounds{0};
    for (size_t c : cuts)
        if (c > bounds.back() && c < doc.size()) bounds.push_back(c);
    bounds.push_back(doc.size());
    for (size_t b = 0; b + 1 < bounds.size(); ++b) {
        std::string buffer(doc.substr(bounds[b], bounds[b + 1] - bounds[b]));  // a private copy, as a source hands out
        BufferScan scan = e.scan_buffer(std::string_view(buffer));
        take_values(e, out);
        if (scan.error) {
            // The context reaches into the buffers after this one, which a
            // driving loop reads for it alone.
            for (size_t n = b + 1; n + 1 < bounds.size() && scan.error->near_open; ++n) {
                const std::string_view next = doc.substr(bounds[n], bounds[n + 1] - bounds[n]);
                show_bytes_after(*scan.error, bounds[n],
                                 std::span(reinterpret_cast<const uint8_t*>(next.data()), next.size()));
            }
            note_error(out, *scan.error);
            out.outputs = e.finalize_source();
            return out;
        }
    }
    auto error = e.finish(true);
    take_values(e, out);
    if (error) note_error(out, *error);
    out.outputs = e.finalize_source();
    return out;
}

// Every cut position, one byte per buffer.
inline std::vector<size_t> every_byte(size_t n) {
    std::vector<size_t> c;
    for (size_t i = 1; i < n; ++i) c.push_back(i);
    return c;
}

inline std::vector<classification_kernel::KernelKind> supported_kernels() {
    std::vector<classification_kernel::KernelKind> ks;
    for (auto k : {classification_kernel::KernelKind::Scalar, classification_kernel::KernelKind::Avx2, classification_kernel::KernelKind::Avx512,
                   classification_kernel::KernelKind::Neon})
        if (classification_kernel::kernel_supported(k)) ks.push_back(k);
    return ks;
}

inline std::vector<ScanMode> every_mode() {
    std::vector<ScanMode> m{ScanMode::serial()};
    for (uint64_t n : {1, 2, 4, 8, 16, 32}) m.push_back(ScanMode::batched(n));
    // Every buffer with a full chunk through the stage-1 thread...
    for (uint64_t n : {4, 8, 16, 32, 64, 128, 256}) m.push_back(ScanMode::pipelined_always(n));
    // ...and the mode as runs use it (short buffers batched, long ones as measured).
    m.push_back(ScanMode::pipelined(128));
    return m;
}

// Field-by-field equality of two outputs.
inline bool same_output(const QueryOutput& a, const QueryOutput& b) {
    return a.count == b.count && a.min == b.min && a.max == b.max && a.sum == b.sum && a.mean == b.mean &&
           a.product == b.product && a.agg_skipped == b.agg_skipped && a.values_count == b.values_count &&
           a.distinct_count == b.distinct_count && a.count_unique == b.count_unique &&
           a.bytes_covered == b.bytes_covered && a.mode_list == b.mode_list && a.value_counts == b.value_counts &&
           a.types == b.types && a.exists_flag == b.exists_flag;
}

inline bool same_outcome(const Outcome& a, const Outcome& b) {
    if (a.failed != b.failed || a.values != b.values || a.outputs.size() != b.outputs.size()) return false;
    if (a.failed && (a.incomplete != b.incomplete || !(a.kind == b.kind) || a.offset != b.offset ||
                     a.context != b.context))
        return false;
    for (size_t i = 0; i < a.outputs.size(); ++i)
        if (!same_output(a.outputs[i], b.outputs[i])) return false;
    return true;
}

inline std::string mode_name(const ScanMode& m) {
    std::string s = m.kind == ScanMode::Serial ? "serial" : m.kind == ScanMode::Batched ? "batched" : "pipelined";
    s += " " + std::to_string(m.chunks);
    if (m.kind == ScanMode::Pipelined)
        s += m.adaptive ? " adaptive from " + std::to_string(m.min_pipelined_len) : " always from " + std::to_string(m.min_pipelined_len);
    return s;
}

inline std::string describe(const Outcome& o) {
    std::string s = o.failed ? o.message : std::string("ok");
    s += " values:";
    for (auto& v : o.values) s += " " + std::to_string(v.size());
    return s;
}

inline Outcome run(std::string_view doc, const std::vector<QuerySpec>& specs, const RunOptions& opt = {}) {
    Engine e = make_engine(specs, opt.mode);
    e.set_kernel(opt.kernel);
    e.set_fast_walk(opt.fast_walk);
    if (opt.raw) e.enable_raw_capture();
    Outcome out = run_engine(e, doc, opt.cuts);
    if (opt.fast_walk) {
        Engine general = make_engine(specs, opt.mode);
        general.set_kernel(opt.kernel);
        general.set_fast_walk(false);
        if (opt.raw) general.enable_raw_capture();
        const Outcome expected = run_engine(general, doc, opt.cuts);
        if (!same_outcome(out, expected))
            ADD_FAILURE() << "the fast walk differs from the general walk: " << describe(out) << " against "
                          << describe(expected) << "\nover: " << doc;
    }
    return out;
}

// The bytes of a test file.
inline std::string read_file(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// The conformance documents: y_ (accepted), n_ (rejected) and i_ (either).
inline std::vector<std::filesystem::path> conformance_files() {
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(std::filesystem::path(JORVANE_TEST_DATA_DIR) / "conformance")) {
        std::string name = e.path().filename().string();
        if (name.size() > 5 && name.ends_with(".json") && (name[0] == 'y' || name[0] == 'n' || name[0] == 'i') &&
            name[1] == '_')
            files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace jorvane::engine::testing
