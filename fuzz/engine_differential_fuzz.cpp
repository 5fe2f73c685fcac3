// Fuzz target: the engine's answers do not depend on how it runs.
//
// The input chooses up to four queries (from a fixed list or as text), each
// with a set of accumulators and maybe a match limit, whether values are
// streamed and raw spans kept, buffer cuts, the chunk counts of the batched
// and pipelined modes, and (the rest of the bytes) the document. The engine
// is driven as the run layer drives it: scan_buffer per buffer, taking the
// streamed output when the scan says it waits, stopping on an error or once
// every query is settled (then finish(false)), else finish(true) at the end,
// and finalize_source.
//
// The reference is the serial scan with the scalar kernel over the whole
// document as one buffer, by the general walk alone. Every kernel the CPU runs, in every mode, over the
// chosen cuts, must give the same outputs field by field, the same streamed,
// unique and keyed values in the same order, the same raw spans, and the
// same error kind, offset and context (the buffers after the error's are
// read for its context, as the run layer reads them). Those runs take the
// fast walk wherever the queries allow it (one driver, no raw spans), so the
// fast walk is held to the general walk's answers. A scan that settles stops where it settled, and
// nothing after that point is reported by any run, but the stop offset is
// the end of the buffer it settled in: only that is let through.
// Also checked: a snapshot taken at the end agrees with the final outputs; an
// engine reused after another document answers as a fresh one; a query of a
// fused group answers as it does alone (when neither scan fails); and
// nothing waits to be taken when the scan says nothing does.
//
// Input layout (16-bit numbers little-endian): a head byte (bits 0-1 the
// query count less one, bit 2 streaming off, bit 3 raw spans on); per query
// a pick byte (below 0xe0 an entry of kQueries, else a length byte % 25 and
// that much query text), a 16-bit accumulator mask (bit k = AccumulatorKind
// k; none means Values) and a limit byte (bit 7 set: a limit of bits 0-2);
// then the batched chunk count, the pipelined one (4 << byte % 7), a cut
// count (byte % 17) and that many 16-bit cut positions (taken modulo the
// document's size); the rest is the document.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "classification_kernel/kernel.h"
#include "engine/compiled_queries.h"
#include "engine/engine.h"
#include "fuzz_input.h"
#include "targets.h"

namespace jorvane::fuzz {
namespace {

using engine::AccumulatorKind;
using engine::QueryOutput;
using engine::ScanMode;
using engine::Value;
using classification_kernel::KernelKind;

// Paths over the key names "a", "b", "c" and "long key", which the seed
// documents use.
const char* const kQueries[] = {
    "",        "a",          "b",         "a.b",       "[*]",         "[*].a",     "*",
    "**",      "**.a",       "a[0]",      "[1:3]",     "[2:]",        "a?",        "(a|b)",
    "(a|b).[0]", "(a.b)*",   "a.*.c",     "\"long key\"", "[0][1]",   "*.[*]",     "a.**",
    "[*].*",   "c[0:2].b",   "(a|[0])*",  "**.[1]",    "[:]",         "a.b?.c",    "\"\"",
};
constexpr size_t kQueryCount = sizeof(kQueries) / sizeof(kQueries[0]);

struct QuerySetup {
    std::string text;
    std::vector<AccumulatorKind> kinds;
    std::optional<uint64_t> limit;
};

struct Setup {
    std::vector<QuerySetup> queries;
    bool stream_items = true;
    bool raw = false;
    uint64_t batched_chunks = 1;
    uint64_t pipelined_chunks = 4;
    std::vector<size_t> bounds;  // buffer boundaries, 0 and the document's size included
    std::string doc;
};

Setup read_setup(FuzzInput& in) {
    Setup s;
    const uint8_t head = in.byte();
    const size_t n = 1 + (head & 3);
    s.stream_items = !(head & 4);
    s.raw = head & 8;
    for (size_t q = 0; q < n; ++q) {
        QuerySetup qs;
        const uint8_t pick = in.byte();
        qs.text = pick < 0xe0 ? std::string(kQueries[pick % kQueryCount]) : std::string(in.text(24));
        const uint16_t kinds = in.u16() & ((1u << engine::kAccumulatorKindCount) - 1);
        for (int k = 0; k < engine::kAccumulatorKindCount; ++k)
            if (kinds & (1u << k)) qs.kinds.push_back(static_cast<AccumulatorKind>(k));
        if (qs.kinds.empty()) qs.kinds.push_back(AccumulatorKind::Values);
        const uint8_t limit = in.byte();
        if (limit & 0x80) qs.limit = limit & 7;
        s.queries.push_back(std::move(qs));
    }
    s.batched_chunks = in.byte();
    s.pipelined_chunks = uint64_t{4} << (in.byte() % 7);
    std::vector<uint16_t> cuts(in.byte() % 17);
    for (auto& c : cuts) c = in.u16();
    const auto rest = in.rest();
    s.doc.assign(reinterpret_cast<const char*>(rest.data()), rest.size());
    s.bounds.push_back(0);
    if (!s.doc.empty()) {
        std::vector<size_t> at;
        for (uint16_t c : cuts) at.push_back(c % s.doc.size());
        std::sort(at.begin(), at.end());
        for (size_t c : at)
            if (c > s.bounds.back()) s.bounds.push_back(c);
        s.bounds.push_back(s.doc.size());
    }
    return s;
}

// ---- one scan ----

// A value as text that tells apart everything an engine could get wrong:
// member order, number form, string bytes.
void dump(const Value& v, std::string& out) {
    switch (v.type()) {
        case engine::JsonType::Null: out += 'n'; return;
        case engine::JsonType::Boolean: out += v.as_bool() ? 't' : 'f'; return;
        case engine::JsonType::Number: {
            const auto& n = v.as_number();
            out += "#" + std::to_string(static_cast<int>(n.kind())) + ":" + n.to_literal() + ";";
            return;
        }
        case engine::JsonType::String:
            out += "s" + std::to_string(v.as_string().size()) + ":" + v.as_string();
            return;
        case engine::JsonType::Array:
            out += '[';
            for (const Value& item : v.as_array()) {
                dump(item, out);
                out += ',';
            }
            out += ']';
            return;
        case engine::JsonType::Object:
            out += '{';
            for (const auto& m : v.as_object()) {
                out += std::to_string(m.key.size()) + ":" + m.key + "=";
                dump(m.value, out);
                out += ',';
            }
            out += '}';
            return;
    }
}

std::string dump(const Value& v) {
    std::string s;
    dump(v, s);
    return s;
}

struct Outcome {
    std::vector<QueryOutput> outputs;
    std::vector<std::vector<std::string>> values;  // per query, the Values stream
    std::vector<std::vector<std::string>> unique;  // per query, the ValuesUnique stream
    std::vector<std::vector<std::string>> keyed;   // per query, "key=value"
    std::vector<std::string> raw;
    std::optional<engine::ParseError> error;
    bool settled = false;
    size_t stop_buffer_end = 0;  // where the buffer the scan stopped in ended
};

struct RunConfig {
    KernelKind kernel = KernelKind::Scalar;
    ScanMode mode = ScanMode::serial();
    bool cut = false;  // the chosen cuts, else one buffer
    bool fast_walk = true;
    std::string label() const {
        const char* m = mode.kind == ScanMode::Serial ? "serial" : mode.kind == ScanMode::Batched ? "batched" : "pipelined";
        return std::string(classification_kernel::kernel_name(kernel)) + "/" + m + "(" + std::to_string(mode.chunks) +
               ")/" + (cut ? "cut" : "whole");
    }
};

void take_output(engine::Engine& e, Outcome& o) {
    for (auto& batch : e.drain_streams()) {
        if (batch.query >= o.values.size()) fail("a streamed batch names a query the engine does not have");
        auto& into = batch.kind == engine::StreamKind::Values ? o.values[batch.query] : o.unique[batch.query];
        for (const Value& v : batch.values) into.push_back(dump(v));
    }
    for (auto& batch : e.drain_keyed_streams()) {
        if (batch.query >= o.keyed.size()) fail("a keyed batch names a query the engine does not have");
        for (const auto& [k, v] : batch.items) o.keyed[batch.query].push_back(k + "=" + dump(v));
    }
    for (auto& span : e.take_raw_spans()) o.raw.push_back(std::move(span));
}

void expect_nothing_waiting(engine::Engine& e) {
    for (const auto& batch : e.drain_streams())
        if (!batch.values.empty()) fail("streamed values waited although the scan said no output was ready");
    if (!e.drain_keyed_streams().empty()) fail("keyed values waited although the scan said no output was ready");
    if (!e.take_raw_spans().empty()) fail("raw spans waited although the scan said no output was ready");
}

std::optional<std::string> output_difference(const QueryOutput& a, const QueryOutput& b, bool coverage);

Outcome scan(engine::Engine& e, const Setup& s, const std::vector<size_t>& bounds) {
    Outcome o;
    const size_t n = e.query_count();
    o.values.resize(n);
    o.unique.resize(n);
    o.keyed.resize(n);
    bool stopped = false;
    for (size_t b = 0; b + 1 < bounds.size(); ++b) {
        // A private copy, as a source hands out its own buffer.
        std::vector<uint8_t> buffer(s.doc.begin() + static_cast<ptrdiff_t>(bounds[b]),
                                    s.doc.begin() + static_cast<ptrdiff_t>(bounds[b + 1]));
        const engine::BufferScan r = e.scan_buffer(buffer);
        if (r.output_ready) {
            take_output(e, o);
        } else {
            expect_nothing_waiting(e);
        }
        if (r.error) {
            o.error = r.error;
            for (size_t n = b + 1; n + 1 < bounds.size() && o.error->near_open; ++n)
                engine::show_bytes_after(
                    *o.error, bounds[n],
                    std::span(reinterpret_cast<const uint8_t*>(s.doc.data()) + bounds[n], bounds[n + 1] - bounds[n]));
            o.stop_buffer_end = bounds[b + 1];
            stopped = true;
            break;
        }
        if (r.settled) {
            o.settled = true;
            o.stop_buffer_end = bounds[b + 1];
            if (auto err = e.finish(false)) o.error = err;
            stopped = true;
            break;
        }
    }
    if (!stopped) {
        o.stop_buffer_end = bounds.back();
        if (auto err = e.finish(true)) o.error = err;
    }
    const std::vector<QueryOutput> snapshot = e.snapshot_source(e.bytes_scanned());
    o.outputs = e.finalize_source();
    // A settled scan covered the buffer it settled in, whatever it walked of it.
    if (o.settled)
        for (const QueryOutput& out : o.outputs)
            if (out.bytes_covered != o.stop_buffer_end)
                fail("a settled scan covers " + (out.bytes_covered ? std::to_string(*out.bytes_covered) : "none") +
                     " bytes, not the " + std::to_string(o.stop_buffer_end) + " up to the end of its buffer");
    take_output(e, o);
    if (snapshot.size() != o.outputs.size()) fail("a snapshot holds another number of queries than the outputs");
    for (size_t q = 0; q < snapshot.size(); ++q)
        if (auto d = output_difference(snapshot[q], o.outputs[q], false))
            fail("query " + std::to_string(q) + ": the snapshot at the end differs from the final outputs in " + *d);
    return o;
}

Result<engine::CompiledQueries, engine::CompileFailure> compile(const std::vector<const QuerySetup*>& queries) {
    std::vector<engine::QueryPlan> plans;
    for (const QuerySetup* q : queries) plans.push_back(engine::QueryPlan{q->limit, q->text, q->kinds});
    return engine::CompiledQueries::compile(plans);
}

engine::Engine make_engine(const engine::CompiledQueries& cq, const Setup& s, const RunConfig& c) {
    engine::Engine e(c.mode);
    cq.install(e);
    e.set_stream_items(s.stream_items);
    if (s.raw) e.enable_raw_capture();
    e.set_kernel(c.kernel);
    e.set_fast_walk(c.fast_walk);
    return e;
}

// ---- comparison ----

std::string show(const std::optional<double>& d) {
    if (!d) return "none";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", *d);
    return buf;
}

bool same_double(const std::optional<double>& a, const std::optional<double>& b) {
    if (!a || !b) return !a && !b;
    if (std::isnan(*a) && std::isnan(*b)) return true;
    return std::bit_cast<uint64_t>(*a) == std::bit_cast<uint64_t>(*b);
}

std::string show(const std::optional<uint64_t>& v) { return v ? std::to_string(*v) : std::string("none"); }

std::string show(const std::optional<std::vector<engine::ValueCount>>& list) {
    if (!list) return "none";
    std::string s = "[";
    for (const auto& e : *list) s += dump(e.value) + " x" + std::to_string(e.count) + ", ";
    return s + "]";
}

std::string show(const std::optional<engine::JsonTypeSet>& t) {
    if (!t) return "none";
    std::string s = "{";
    for (auto type : *t) s += std::string(engine::json_type_name(type)) + " ";
    return s + "}";
}

std::optional<std::string> output_difference(const QueryOutput& a, const QueryOutput& b, bool coverage) {
    auto differ = [](const char* field, const std::string& x, const std::string& y) {
        return std::optional<std::string>(std::string(field) + ": " + x + " vs " + y);
    };
    if (a.count != b.count) return differ("count", show(a.count), show(b.count));
    if (!same_double(a.min, b.min)) return differ("min", show(a.min), show(b.min));
    if (!same_double(a.max, b.max)) return differ("max", show(a.max), show(b.max));
    if (!same_double(a.sum, b.sum)) return differ("sum", show(a.sum), show(b.sum));
    if (!same_double(a.mean, b.mean)) return differ("mean", show(a.mean), show(b.mean));
    if (!same_double(a.product, b.product)) return differ("product", show(a.product), show(b.product));
    if (a.agg_skipped != b.agg_skipped)
        return differ("agg_skipped", std::to_string(a.agg_skipped), std::to_string(b.agg_skipped));
    if (a.values_count != b.values_count) return differ("values_count", show(a.values_count), show(b.values_count));
    if (a.distinct_count != b.distinct_count)
        return differ("distinct_count", show(a.distinct_count), show(b.distinct_count));
    if (a.count_unique != b.count_unique) return differ("count_unique", show(a.count_unique), show(b.count_unique));
    if (coverage && a.bytes_covered != b.bytes_covered)
        return differ("bytes_covered", show(a.bytes_covered), show(b.bytes_covered));
    if (show(a.mode_list) != show(b.mode_list)) return differ("mode_list", show(a.mode_list), show(b.mode_list));
    if (show(a.value_counts) != show(b.value_counts))
        return differ("value_counts", show(a.value_counts), show(b.value_counts));
    if (show(a.types) != show(b.types)) return differ("types", show(a.types), show(b.types));
    if (a.exists_flag != b.exists_flag)
        return differ("exists_flag", std::to_string(a.exists_flag), std::to_string(b.exists_flag));
    return std::nullopt;
}

std::string show(const std::optional<engine::ParseError>& e) {
    if (!e) return "no error";
    return e->kind.to_string() + " at byte " + std::to_string(e->offset);
}

std::string show(const std::vector<std::string>& items) {
    std::string s = "[";
    for (const auto& i : items) s += i + " | ";
    return s + "]";
}

std::string describe(const Setup& s) {
    std::string d = "queries:";
    for (const auto& q : s.queries) {
        d += " '" + q.text + "' {";
        for (auto k : q.kinds) d += std::string(engine::accumulator_kind_name(k)) + " ";
        d += "}" + (q.limit ? " limit " + std::to_string(*q.limit) : std::string());
    }
    d += "; cuts:";
    for (size_t b : s.bounds) d += " " + std::to_string(b);
    d += std::string("; stream ") + (s.stream_items ? "on" : "off") + ", raw " + (s.raw ? "on" : "off");
    return d;
}

void compare(const Outcome& ref, const Outcome& got, const std::string& what, const Setup& s) {
    auto mismatch = [&](const std::string& detail) {
        fail(what + " differs from the serial scalar whole-buffer scan by the general walk: " + detail + "\n  " + describe(s) +
             "\n  reference: " + show(ref.error) + (ref.settled ? ", settled" : "") + "; this run: " + show(got.error) +
             (got.settled ? ", settled" : ""));
    };
    const bool settled = ref.settled || got.settled;
    if (ref.error && got.error) {
        if (!(ref.error->kind == got.error->kind) || ref.error->offset != got.error->offset) mismatch("the error");
        if (ref.error->context() != got.error->context())
            mismatch("the error's context: " + ref.error->context() + " against " + got.error->context());
    } else if (ref.error || got.error) {
        mismatch("only one scan reports an error");
    }
    if (ref.outputs.size() != got.outputs.size()) mismatch("the number of outputs");
    for (size_t q = 0; q < ref.outputs.size(); ++q) {
        if (auto d = output_difference(ref.outputs[q], got.outputs[q], !settled))
            mismatch("query " + std::to_string(q) + " output " + *d);
        if (ref.values[q] != got.values[q])
            mismatch("query " + std::to_string(q) + " streamed values " + show(ref.values[q]) + " vs " +
                     show(got.values[q]));
        if (ref.unique[q] != got.unique[q])
            mismatch("query " + std::to_string(q) + " unique values " + show(ref.unique[q]) + " vs " +
                     show(got.unique[q]));
        if (ref.keyed[q] != got.keyed[q])
            mismatch("query " + std::to_string(q) + " keyed values " + show(ref.keyed[q]) + " vs " +
                     show(got.keyed[q]));
    }
    if (ref.raw != got.raw) mismatch("raw spans " + show(ref.raw) + " vs " + show(got.raw));
}

// Query `q` of the fused reference against the same query run alone, when
// both scans got through the document.
void compare_alone(const Outcome& fused, const Outcome& alone, size_t q, const Setup& s) {
    if (fused.error || alone.error) return;
    auto mismatch = [&](const std::string& detail) {
        fail("query " + std::to_string(q) + " alone differs from the same query in a fused group: " + detail + "\n  " +
             describe(s));
    };
    const bool settled = fused.settled || alone.settled;
    if (auto d = output_difference(fused.outputs[q], alone.outputs[0], !settled)) mismatch("output " + *d);
    if (fused.values[q] != alone.values[0])
        mismatch("streamed values " + show(fused.values[q]) + " vs " + show(alone.values[0]));
    if (fused.unique[q] != alone.unique[0])
        mismatch("unique values " + show(fused.unique[q]) + " vs " + show(alone.unique[0]));
    if (fused.keyed[q] != alone.keyed[0])
        mismatch("keyed values " + show(fused.keyed[q]) + " vs " + show(alone.keyed[0]));
    // Raw spans are not compared here yet: beside some other queries of a
    // fused group, query 0 still gets scalar spans it does not get alone
    // (fuzz/pending/engine_differential/).
}

std::vector<KernelKind> supported_kernels() {
    std::vector<KernelKind> ks;
    for (KernelKind k : {KernelKind::Scalar, KernelKind::Avx2, KernelKind::Avx512})
        if (classification_kernel::kernel_supported(k)) ks.push_back(k);
    return ks;
}

}  // namespace

int engine_differential(std::span<const uint8_t> data) {
    FuzzInput in(data);
    const Setup s = read_setup(in);
    std::vector<const QuerySetup*> all;
    for (const auto& q : s.queries) all.push_back(&q);
    auto compiled = compile(all);
    if (!compiled) return 0;  // a fuzzed text that is no query: nothing to scan

    const std::vector<size_t> whole = s.doc.empty() ? std::vector<size_t>{0} : std::vector<size_t>{0, s.doc.size()};
    const RunConfig reference{KernelKind::Scalar, ScanMode::serial(), false, false};
    engine::Engine ref_engine = make_engine(*compiled, s, reference);
    const Outcome ref = scan(ref_engine, s, whole);

    // A pipelined scan starts a thread per buffer and waits for it by
    // spinning: it runs with one kernel per input and at most three of the
    // cuts, spread over the chosen ones.
    std::vector<size_t> few = {0};
    const size_t inner = s.bounds.size() > 2 ? s.bounds.size() - 2 : 0;
    const size_t picks = std::min<size_t>(inner, 3);
    for (size_t i = 1; i <= picks; ++i) few.push_back(s.bounds[i * inner / picks]);
    if (s.bounds.size() > 1) few.push_back(s.bounds.back());
    few.erase(std::unique(few.begin(), few.end()), few.end());
    const std::vector<KernelKind> kernels = supported_kernels();
    const KernelKind pipelined_kernel = kernels[s.batched_chunks % kernels.size()];
    for (KernelKind k : kernels) {
        for (ScanMode m : {ScanMode::serial(), ScanMode::batched(s.batched_chunks), ScanMode::pipelined(s.pipelined_chunks)}) {
            if (m.kind == ScanMode::Pipelined && k != pipelined_kernel) continue;
            const RunConfig c{k, m, true};
            engine::Engine e = make_engine(*compiled, s, c);
            const std::vector<size_t>& bounds = m.kind == ScanMode::Pipelined ? few : s.bounds;
            std::string label = c.label() + " at";
            for (size_t b : bounds) label += " " + std::to_string(b);
            compare(ref, scan(e, s, bounds), label, s);
        }
    }

    // An engine that scanned another document first (the first half of this
    // one, often cut inside a string or a container) answers as a fresh one.
    {
        const RunConfig c{supported_kernels().back(), ScanMode::batched(s.batched_chunks), true};
        engine::Engine e = make_engine(*compiled, s, c);
        Setup half = s;
        half.doc.resize(s.doc.size() / 2);
        half.bounds = half.doc.empty() ? std::vector<size_t>{0} : std::vector<size_t>{0, half.doc.size()};
        (void)scan(e, half, half.bounds);
        e.reset_for_next_source();
        compare(ref, scan(e, s, s.bounds), c.label() + " after another document", s);
    }

    if (s.queries.size() > 1) {
        for (size_t q = 0; q < s.queries.size(); ++q) {
            auto alone = compile({&s.queries[q]});
            if (!alone) fail("a query of a group that compiled does not compile alone: '" + s.queries[q].text + "'");
            Setup one = s;
            one.raw = s.raw && q == 0;
            engine::Engine e = make_engine(*alone, one, reference);
            compare_alone(ref, scan(e, one, whole), q, s);
        }
    }
    return 0;
}

}  // namespace jorvane::fuzz

#ifdef JORVANE_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return jorvane::fuzz::engine_differential({data, size});
}
#endif
