// The single-source loop alternates two phases. With the lock released it
// reads and scans buffers until the source ends, every query is settled, an
// error is recorded, or the stretch reaches the interval. With the lock held
// it drains the streamed values into the sink, and only when the interval was
// reached, checks signals, flushes plain values into the into= targets and
// calls the progress callback. The end of the scan is then one of: end of
// input (finish), stop (abandon + early finish), or an error whose partial
// results are the outputs reached so far.
#include "python/run_single.h"

#include <limits>
#include <string>

#include "compiled_queries.h"
#include "engine/engine.h"
#include "python/errors.h"
#include "python/query_result.h"
#include "python/value_convert.h"
#include "util/text.h"

namespace jorvane::py {
namespace {

uint64_t saturating_add(uint64_t a, uint64_t b) {
    return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

// Drops the source with the interpreter lock released: a prefetching source
// joins its reader thread when it is dropped.
struct ReleaseSource {
    std::unique_ptr<Source>& source;
    ~ReleaseSource() {
        if (!source) return;
        NoGil released;
        source.reset();
    }
};

void drain_into(engine::Engine& engine, PySink* sink) {
    if (!sink) return;
    for (auto& batch : engine.drain_streams()) sink->accept(batch.query, batch.kind, std::move(batch.values));
}

}  // namespace

bool check_plans(std::span<const QueryPlan> plans) {
    if (plans.empty()) {
        raise(PyExc_ValueError, "no queries provided");
        return false;
    }
    for (const QueryPlan& p : plans) {
        if (p.modes.empty()) {
            raise(PyExc_ValueError, "query " + debug_quote(p.query) + " has no accumulators");
            return false;
        }
    }
    return true;
}

std::optional<CompiledQueries> compile_checked(std::span<const QueryPlan> plans) {
    if (!check_plans(plans)) return std::nullopt;
    auto compiled = CompiledQueries::compile(plans);
    if (!compiled) {
        auto& f = compiled.error();
        raise_jorvane_err(JorvaneError::compile(std::move(f.error), std::move(f.query)));
        return std::nullopt;
    }
    return std::move(compiled.value());
}

bool flush_value_buckets(std::vector<Bucket>& buckets, const std::vector<Ref>& targets, bool use_float) {
    const size_t n = std::min(buckets.size(), targets.size());
    for (size_t i = 0; i < n; ++i) {
        Bucket& b = buckets[i];
        if (b.numeric || b.values.empty()) continue;
        Ref list = Ref::steal(PyList_New(0));
        if (!list) return false;
        for (const auto& v : b.values) {
            Ref item = value_to_py(v, use_float);
            if (!item || PyList_Append(list.get(), item.get()) < 0) return false;
        }
        b.values.clear();
        Ref r = Ref::steal(PyObject_CallMethod(targets[i].get(), "extend", "O", list.get()));
        if (!r) return false;
    }
    return true;
}

bool call_progress(PyObject* callback, uint64_t bytes, std::vector<engine::QueryOutput> snapshot, bool use_float,
                   bool& stop) {
    Ref results = Ref::steal(PyList_New(0));
    if (!results) return false;
    for (auto& o : snapshot) {
        Ref r = make_query_result(std::move(o), bytes, use_float);
        if (!r || PyList_Append(results.get(), r.get()) < 0) return false;
    }
    Ref n = uinteger(bytes);
    if (!n) return false;
    Ref answer = Ref::steal(PyObject_CallFunctionObjArgs(callback, n.get(), results.get(), nullptr));
    if (!answer) return false;
    int truth = PyObject_IsTrue(answer.get());
    if (truth < 0) return false;
    stop = truth == 1;
    return true;
}

std::optional<SourceOutcome> run_with_progress(std::span<const QueryPlan> plans, engine::ScanMode mode,
                                               std::unique_ptr<Source> source, PySink* sink,
                                               const std::vector<Ref>& targets, PyObject* progress,
                                               uint64_t interval, bool use_float) {
    ReleaseSource release{source};
    auto compiled = compile_checked(plans);
    if (!compiled) return std::nullopt;
    engine::Engine engine(mode);
    compiled->install(engine);
    for (auto& d : engine.drivers) d.stream_items = sink != nullptr;

    enum class End { Eof, Settled, Interval, Error };
    std::optional<JorvaneError> pending;
    uint64_t total = 0;
    bool stopped = false;
    for (;;) {
        End end = End::Eof;
        uint64_t stretch = 0;
        {
            NoGil released;
            for (;;) {
                ChunkResult chunk = source->next_chunk();
                if (!chunk) {
                    pending.emplace(JorvaneError::read(std::move(chunk.error()), 0));
                    end = End::Error;
                    break;
                }
                if (!chunk.value()) {
                    end = End::Eof;
                    break;
                }
                ByteView buf = *chunk.value();
                engine.process_buffer(buf);
                stretch += buf.size();
                if (engine.error) {
                    engine::RecordedError rec = *engine.error;
                    engine.error.reset();
                    pending.emplace(engine::Engine::parse_error(engine.stream_offset, rec, buf));
                    end = End::Error;
                    break;
                }
                engine.stream_offset = saturating_add(engine.stream_offset, buf.size());
                if (engine.is_done()) {
                    end = End::Settled;
                    break;
                }
                if (stretch >= interval) {
                    end = End::Interval;
                    break;
                }
            }
        }
        total = saturating_add(total, stretch);
        drain_into(engine, sink);
        if (end == End::Error) break;
        if (end == End::Eof) {
            auto fin = engine.finish(true);
            if (!fin) pending.emplace(std::move(fin.error()));
            break;
        }
        if (end == End::Settled) {
            stopped = true;
            break;
        }
        // The stretch reached the interval.
        if (PyErr_CheckSignals() < 0) return std::nullopt;
        if (sink && !flush_value_buckets(sink->buckets(), targets, use_float)) return std::nullopt;
        if (progress) {
            bool stop = false;
            if (!call_progress(progress, total, engine.snapshot_source(total), use_float, stop)) return std::nullopt;
            if (stop) {
                stopped = true;
                break;
            }
        }
    }
    if (stopped) {
        source->abandon();
        auto fin = engine.finish(false);
        if (!fin) pending.emplace(std::move(fin.error()));
    }
    std::vector<engine::QueryOutput> outputs = engine.finalize_source();
    drain_into(engine, sink);
    {
        NoGil released;
        source.reset();
    }
    if (pending) {
        if (Ref interrupt = carried_interrupt(*pending)) {
            raise_exception_object(std::move(interrupt));
            return std::nullopt;
        }
        return SourceOutcome(make_err(std::move(*pending).with_partials(std::move(outputs))));
    }
    return SourceOutcome(std::move(outputs));
}

}  // namespace jorvane::py
