// Jobs (index, source) are queued up front on one channel; W workers drain it.
// A worker sends Values events (the batches it drained after each buffer, only
// when the run has a sink) and Progress events (a snapshot plus a one-slot
// reply channel it then waits on). The calling thread receives events with a
// 50 ms deadline and checks for signals whenever 50 ms have passed since the
// last check, whether events keep arriving or not. The first Python exception
// met (a signal, a raising callback, a failing flush) is stored and sets the
// stop flag: workers then abandon the source in hand and end every queued one
// as an early stop without reading it. Outcomes go to per-source slots.
#include "python/run_multi.h"

#include <algorithm>
#include <exception>
#include <atomic>
#include <chrono>
#include <limits>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>

#include "compiled_queries.h"
#include "engine/engine.h"
#include "python/errors.h"
#include "python/py_class.h"
#include "python/run_policy.h"
#include "util/channel.h"
#include "util/panic.h"

namespace jorvane::py {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kSignalPeriod = std::chrono::milliseconds(50);

enum class ProgressReply : uint8_t { Continue = 0, Stop = 1, Abort = 2 };

struct ValuesEvent {
    std::vector<engine::ValueBatch> batches;
};
struct ProgressEvent {
    Sender<ProgressReply> reply;
    std::vector<engine::QueryOutput> snapshot;
    size_t index = 0;
    uint64_t bytes = 0;
};
using Event = std::variant<ValuesEvent, ProgressEvent>;

struct Job {
    size_t index = 0;
    RunSource source;
};

struct Slot {
    std::mutex mu;
    std::optional<SourceOutcome> outcome;
};

// What the workers share.
struct Shared {
    const CompiledQueries& compiled;
    engine::ScanMode mode;
    bool has_sink;
    std::vector<std::optional<uint64_t>> intervals;  // per source: a callback's interval
    std::vector<Slot>& slots;
    std::atomic<bool> stop{false};
    std::atomic<bool> panicked{false};
    std::atomic<bool> out_of_memory{false};
};

uint64_t saturating_add(uint64_t a, uint64_t b) {
    return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

// Scans one source to its end; returns its outcome. The engine is reset
// afterwards for the next source.
SourceOutcome scan_one(Shared& sh, engine::Engine& engine, size_t i, RunSource& rs, Sender<Event>& events) {
    auto send_values = [&] {
        if (!sh.has_sink) return;
        std::vector<engine::ValueBatch> batches = engine.drain_streams();
        if (!batches.empty()) (void)events.send(Event(ValuesEvent{std::move(batches)}));
    };
    std::optional<JorvaneError> err;
    bool early = false;
    if (!rs.source) {
        if (sh.stop.load(std::memory_order_relaxed)) {
            early = true;  // never opened: ends at byte 0
        } else {
            auto opened = rs.open();
            if (!opened) {
                JorvaneError e = JorvaneError::read(std::move(opened.error()), i);
                engine.reset_for_next_source();
                return SourceOutcome(make_err(std::move(e)));
            }
            rs.source = std::move(opened.value());
        }
    }
    const std::optional<uint64_t> interval = sh.intervals[i];
    uint64_t total = 0;
    uint64_t since_report = 0;
    while (!early && !err) {
        if (sh.stop.load(std::memory_order_relaxed)) {
            rs.source->abandon();
            early = true;
            break;
        }
        ChunkResult chunk = rs.source->next_chunk();
        if (!chunk) {
            err.emplace(JorvaneError::read(std::move(chunk.error()), i));
            break;
        }
        if (!chunk.value()) {
            auto fin = engine.finish(true);
            if (!fin) err.emplace(std::move(fin.error()));
            break;
        }
        ByteView buf = *chunk.value();
        engine.process_buffer(buf);
        if (engine.error) {
            engine::RecordedError rec = *engine.error;
            engine.error.reset();
            err.emplace(engine::Engine::parse_error(engine.stream_offset, rec, buf));
            break;
        }
        engine.stream_offset = saturating_add(engine.stream_offset, buf.size());
        send_values();
        if (engine.is_done()) {
            rs.source->abandon();
            early = true;
            break;
        }
        total = saturating_add(total, buf.size());
        since_report = saturating_add(since_report, buf.size());
        if (interval && since_report >= *interval) {
            auto [reply_tx, reply_rx] = bounded_channel<ProgressReply>(1);
            ProgressEvent ev{std::move(reply_tx), engine.snapshot_source(total), i, total};
            ProgressReply answer = ProgressReply::Abort;
            if (events.send(Event(std::move(ev)))) {
                auto r = reply_rx.recv();
                if (r) answer = r.value();
            }
            if (answer == ProgressReply::Continue) {
                since_report = 0;
            } else {
                rs.source->abandon();
                early = true;
            }
        }
    }
    if (early) {
        auto fin = engine.finish(false);
        if (!fin) err.emplace(std::move(fin.error()));
    }
    send_values();
    std::vector<engine::QueryOutput> outputs = engine.finalize_source();
    engine.reset_for_next_source();
    if (err) return SourceOutcome(make_err(std::move(*err).with_partials(std::move(outputs))));
    return SourceOutcome(std::move(outputs));
}

void worker(Shared& sh, Receiver<Job> jobs, Sender<Event> events) {
    try {
        engine::Engine engine(sh.mode);
        sh.compiled.install(engine);
        for (auto& d : engine.drivers) d.stream_items = sh.has_sink;
        for (;;) {
            auto job = jobs.recv();
            if (!job) return;  // queue closed and empty
            Job j = std::move(job.value());
            SourceOutcome outcome = scan_one(sh, engine, j.index, j.source, events);
            {
                std::lock_guard lock(sh.slots[j.index].mu);
                sh.slots[j.index].outcome.emplace(std::move(outcome));
            }
            j.source.source.reset();
        }
    } catch (const std::bad_alloc&) {
        sh.out_of_memory.store(true);
    } catch (...) {
        sh.panicked.store(true);
    }
}

// Takes the interpreter lock back for its lifetime (the thread gave it up
// with PyEval_SaveThread, whose state `ts` holds).
class Reacquire {
public:
    explicit Reacquire(PyThreadState*& ts) : ts_(ts) { PyEval_RestoreThread(ts_); }
    ~Reacquire() { ts_ = PyEval_SaveThread(); }
    Reacquire(const Reacquire&) = delete;
    Reacquire& operator=(const Reacquire&) = delete;

private:
    PyThreadState*& ts_;
};

}  // namespace

size_t worker_count(size_t n_sources, std::optional<uint64_t> max_threads, const engine::ScanMode& mode) {
    uint64_t t = max_threads ? *max_threads : online_processors();
    if (mode.kind == engine::ScanMode::Pipelined) t >>= 1;
    t = std::max<uint64_t>(t, 1);
    return static_cast<size_t>(std::min<uint64_t>(n_sources, t));
}

std::optional<std::vector<SourceOutcome>> run_multi_with_progress(
    std::span<const QueryPlan> plans, engine::ScanMode mode, std::vector<RunSource> sources,
    const std::vector<std::optional<ProgressEntry>>& progress, std::optional<uint64_t> max_threads, PySink* sink,
    const std::vector<Ref>& targets, bool use_float) {
    auto compiled = compile_checked(plans);
    if (!compiled) return std::nullopt;
    const size_t n = sources.size();
    std::vector<Slot> slots(n);
    Shared sh{*compiled, mode, sink != nullptr, {}, slots};
    sh.intervals.resize(n);
    for (size_t i = 0; i < n && i < progress.size(); ++i)
        if (progress[i] && progress[i]->callback) sh.intervals[i] = progress[i]->interval;

    Ref stored;  // the run's first Python exception
    auto store = [&](Ref exc) {
        if (!stored) stored = std::move(exc);
        sh.stop.store(true);
    };
    bool spawn_failed = false;
    std::exception_ptr failure;
    {
        auto [job_tx, job_rx] = unbounded_channel<Job>();
        for (size_t i = 0; i < n; ++i) (void)job_tx.send(Job{i, std::move(sources[i])});
        { auto drop = std::move(job_tx); }
        auto [event_tx, event_rx] = unbounded_channel<Event>();
        const size_t w = worker_count(n, max_threads, mode);

        PyThreadState* ts = PyEval_SaveThread();
        std::vector<std::thread> threads;
        threads.reserve(w);
        for (size_t k = 0; k < w; ++k) {
            try {
                threads.emplace_back(worker, std::ref(sh), job_rx, event_tx);
            } catch (const std::system_error&) {
                spawn_failed = true;
                break;
            }
        }
        { auto drop_rx = std::move(job_rx); }
        { auto drop_tx = std::move(event_tx); }

        Clock::time_point last_check = Clock::now();
        auto check_signals = [&] {
            last_check = Clock::now();
            Reacquire gil(ts);
            if (PyErr_CheckSignals() < 0) store(take_error());
        };
        try {
            for (;;) {
                auto ev = event_rx.recv_deadline(Clock::now() + kSignalPeriod);
                if (!ev) {
                    if (ev.error() == RecvError::Disconnected) break;
                    if (!sh.stop.load()) check_signals();
                    continue;
                }
                if (auto* values = std::get_if<ValuesEvent>(&ev.value())) {
                    if (sink)
                        for (auto& b : values->batches) sink->accept(b.query, b.kind, std::move(b.values));
                } else {
                    auto& pe = std::get<ProgressEvent>(ev.value());
                    ProgressReply reply = ProgressReply::Abort;
                    if (!sh.stop.load()) {
                        last_check = Clock::now();
                        Reacquire gil(ts);
                        bool ok = PyErr_CheckSignals() == 0;
                        if (ok && sink) ok = flush_value_buckets(sink->buckets(), targets, use_float);
                        bool stop = false;
                        if (ok)
                            ok = call_progress(progress[pe.index]->callback.get(), pe.bytes, std::move(pe.snapshot),
                                               use_float, stop);
                        if (ok)
                            reply = stop ? ProgressReply::Stop : ProgressReply::Continue;
                        else
                            store(take_error());
                    }
                    (void)pe.reply.send(reply);
                }
                if (!sh.stop.load() && Clock::now() - last_check >= kSignalPeriod) check_signals();
            }
        } catch (...) {
            // A failure while handling an event (out of memory): stop the
            // workers, let them finish, then raise it.
            failure = std::current_exception();
            sh.stop.store(true);
            for (;;) {
                auto ev = event_rx.recv();
                if (!ev) break;
                if (auto* pe = std::get_if<ProgressEvent>(&ev.value())) (void)pe->reply.send(ProgressReply::Abort);
            }
        }
        for (auto& t : threads) t.join();
        PyEval_RestoreThread(ts);
    }
    if (failure) std::rethrow_exception(failure);
    if (sh.panicked.load()) panic("a scoped thread panicked");
    if (spawn_failed) panic("failed to spawn thread");
    if (sh.out_of_memory.load()) throw std::bad_alloc();
    if (stored) {
        raise_exception_object(std::move(stored));
        return std::nullopt;
    }
    std::vector<SourceOutcome> out;
    out.reserve(n);
    for (auto& s : slots) {
        if (!s.outcome) panic("every source slot is written exactly once");
        out.push_back(std::move(*s.outcome));
    }
    return out;
}

}  // namespace jorvane::py
