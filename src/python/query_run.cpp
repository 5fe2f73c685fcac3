// A Python exception met between buffers (a signal, a raising callback, a
// failing into= delivery) ends the run: a one-source run aborts at once and
// raises it; a multi-source run stops every source, waits for its workers
// and then raises it. A KeyboardInterrupt or SystemExit carried out of a
// file-like's read() in a one-source run is raised as itself in place of the
// source's error.
#include "python/query_run.h"

#include <utility>

#include "python/exceptions.h"
#include "python/py_class.h"
#include "python/query_result.h"
#include "python/value_convert.h"
#include "run/plans.h"
#include "run/run_policy.h"
#include "run/split_scan.h"

namespace jorvane::py {
namespace {

// Calls `callback(bytes, [QueryResult...])` with partial results built from
// `snapshot`; the truth of its answer in `stop`. False with an exception set.
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

// Between buffers, with the lock taken back: signals, into= delivery and the
// progress callback (when there is one). The first exception is kept.
struct Interval {
    IntoSink* sink;
    const std::vector<Ref>& targets;
    bool use_float;
    Ref raised;

    run::Verdict at(PyObject* callback, uint64_t bytes, std::vector<engine::QueryOutput> snapshot) {
        Gil gil;
        bool ok = PyErr_CheckSignals() == 0;
        if (ok && sink) ok = flush_value_buckets(sink->buckets(), targets, use_float);
        bool stop = false;
        if (ok && callback) ok = call_progress(callback, bytes, std::move(snapshot), use_float, stop);
        if (!ok) {
            raised = take_error();
            return run::Verdict::Abort;
        }
        return stop ? run::Verdict::Stop : run::Verdict::Continue;
    }
};

class OneSourceObserver final : public run::ScanObserver {
public:
    OneSourceObserver(Interval& interval, PyObject* callback) : interval_(interval), callback_(callback) {}
    run::Verdict at_interval(uint64_t bytes, const engine::Engine& engine) override {
        return interval_.at(callback_, bytes, callback_ ? engine.snapshot_source(bytes) : std::vector<engine::QueryOutput>{});
    }
    bool reads_engine() const override { return callback_ != nullptr; }

private:
    Interval& interval_;
    PyObject* callback_;
};

class ManySourcesListener final : public run::RunListener {
public:
    ManySourcesListener(Interval& interval, const std::vector<std::optional<ProgressEntry>>& progress)
        : interval_(interval), progress_(progress) {}

    bool tick() override {
        Gil gil;
        if (PyErr_CheckSignals() == 0) return true;
        if (!interval_.raised) interval_.raised = take_error();
        return false;
    }
    void values(engine::ValueBatch batch) override {
        if (interval_.sink) interval_.sink->accept(batch.query, batch.kind, std::move(batch.values));
    }
    run::Verdict progress(size_t source, uint64_t bytes, std::vector<engine::QueryOutput> snapshot) override {
        return interval_.at(progress_[source]->callback.get(), bytes, std::move(snapshot));
    }

private:
    Interval& interval_;
    const std::vector<std::optional<ProgressEntry>>& progress_;
};

// A failed source's error, unless it carries an interrupt: that one is
// raised (and the outcome dropped).
bool raise_carried_interrupt(SourceOutcome& outcome) {
    if (outcome) return false;
    if (Ref interrupt = carried_interrupt(outcome.error())) {
        raise_exception_object(std::move(interrupt));
        return true;
    }
    return false;
}

}  // namespace

std::optional<engine::CompiledQueries> compile_checked(std::span<const engine::QueryPlan> plans) {
    if (auto refused = run::check_plans(plans)) {
        raise(PyExc_ValueError, *refused);
        return std::nullopt;
    }
    auto compiled = run::compile_plans(plans);
    if (!compiled) {
        raise_jorvane_err(std::move(compiled.error()));
        return std::nullopt;
    }
    return std::move(compiled.value());
}

bool flush_value_buckets(std::vector<IntoSink::Bucket>& buckets, const std::vector<Ref>& targets, bool use_float) {
    const size_t n = std::min(buckets.size(), targets.size());
    for (size_t i = 0; i < n; ++i) {
        IntoSink::Bucket& b = buckets[i];
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

std::optional<SourceOutcome> run_one(std::span<const engine::QueryPlan> plans, engine::ScanMode mode,
                                     std::unique_ptr<Source> source, IntoSink* sink, const std::vector<Ref>& targets,
                                     PyObject* progress, uint64_t interval, bool use_float, size_t walkers) {
    // A prefetching source joins its reader thread when it is dropped: never
    // with the lock held.
    struct ReleaseSource {
        std::unique_ptr<Source>& source;
        ~ReleaseSource() {
            if (!source) return;
            NoGil released;
            source.reset();
        }
    } release{source};
    auto compiled = compile_checked(plans);
    if (!compiled) return std::nullopt;
    Interval between{sink, targets, use_float, {}};
    OneSourceObserver observer(between, progress);
    run::ScanOptions options;
    options.sink = sink;
    options.interval = interval;
    options.observer = &observer;
    std::optional<SourceOutcome> outcome;
    {
        NoGil released;
        outcome = run::scan_one_source(*compiled, mode, *source, options, walkers);
        source.reset();
    }
    if (!outcome) {
        restore_error(std::move(between.raised));
        return std::nullopt;
    }
    if (raise_carried_interrupt(*outcome)) return std::nullopt;
    return outcome;
}

std::optional<std::vector<SourceOutcome>> run_many(std::span<const engine::QueryPlan> plans, engine::ScanMode mode,
                                                   std::vector<run::RunSource> sources,
                                                   const std::vector<std::optional<ProgressEntry>>& progress,
                                                   const run::ThreadBudget& budget, IntoSink* sink,
                                                   const std::vector<Ref>& targets, bool use_float) {
    auto compiled = compile_checked(plans);
    if (!compiled) return std::nullopt;
    run::PoolOptions options;
    options.mode = mode;
    options.workers = budget.workers(sources.size(), mode);
    options.stream_values = sink != nullptr;
    options.intervals.resize(sources.size());
    for (size_t i = 0; i < sources.size() && i < progress.size(); ++i)
        if (progress[i] && progress[i]->callback) options.intervals[i] = progress[i]->interval;
    Interval between{sink, targets, use_float, {}};
    ManySourcesListener listener(between, progress);
    std::vector<SourceOutcome> outcomes;
    {
        NoGil released;
        outcomes = run::run_sources(*compiled, std::move(sources), options, listener);
    }
    if (between.raised) {
        restore_error(std::move(between.raised));
        return std::nullopt;
    }
    return outcomes;
}

}  // namespace jorvane::py
