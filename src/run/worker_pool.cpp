// Jobs (index, source) are queued up front on one channel; the workers drain
// it. A worker sends Values events (the batches it drains after each buffer,
// only when the run streams values) and Progress events (a snapshot plus a
// one-slot reply channel it then waits on). The calling thread receives
// events with a 50 ms deadline and ticks the listener whenever 50 ms have
// passed since the last tick, whether events keep arriving or not. When the
// listener stops the run, the stop flag is set: workers then abandon the
// source in hand and end every queued one as an early stop without reading
// it. Outcomes go to per-source slots.
#include "run/worker_pool.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>

#include "engine/engine.h"
#include "run/plans.h"
#include "run/thread_failure.h"
#include "util/channel.h"
#include "util/panic.h"

namespace jorvane::run {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTickPeriod = std::chrono::milliseconds(50);

struct ValuesEvent {
    engine::ValueBatch batch;
};
struct ProgressEvent {
    Sender<Verdict> reply;
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
    const engine::CompiledQueries& compiled;
    const PoolOptions& options;
    std::vector<Slot>& slots;
    std::atomic<bool> stop{false};
    ThreadFailure failure{};
};

// A worker's side of one source: values and progress go to the calling
// thread as events; the run's stop flag ends the scan.
class WorkerLink final : public engine::ValueSink, public ScanObserver {
public:
    WorkerLink(Shared& sh, Sender<Event>& events, size_t index) : sh_(sh), events_(events), index_(index) {}

    void accept(size_t query, engine::StreamKind kind, std::vector<engine::Value> values) override {
        (void)events_.send(Event(ValuesEvent{engine::ValueBatch{query, kind, std::move(values)}}));
    }
    bool requested() override { return sh_.stop.load(std::memory_order_relaxed); }
    Verdict at_interval(uint64_t bytes, const engine::Engine& engine) override {
        auto [reply_tx, reply_rx] = bounded_channel<Verdict>(1);
        ProgressEvent ev{std::move(reply_tx), engine.snapshot_source(bytes), index_, bytes};
        Verdict answer = Verdict::Abort;
        if (events_.send(Event(std::move(ev)))) {
            auto r = reply_rx.recv();
            if (r) answer = r.value();
        }
        // An aborted run still ends this source as an early stop.
        return answer == Verdict::Continue ? Verdict::Continue : Verdict::Stop;
    }

private:
    Shared& sh_;
    Sender<Event>& events_;
    size_t index_;
};

SourceOutcome scan_job(Shared& sh, engine::Engine& engine, Job& job, Sender<Event>& events) {
    WorkerLink link(sh, events, job.index);
    RunSource& rs = job.source;
    if (!rs.source && !sh.stop.load(std::memory_order_relaxed)) {
        auto opened = rs.open();
        if (!opened) return SourceOutcome(make_err(JorvaneError::read(std::move(opened.error()), job.index)));
        rs.source = std::move(opened.value());
    }
    SourceOutcome outcome(std::vector<engine::QueryOutput>{});
    if (!rs.source) {
        // Stopped before it was opened: an early stop at byte 0.
        (void)engine.finish(false);
        outcome = SourceOutcome(engine.finalize_source());
    } else {
        ScanOptions options;
        options.sink = sh.options.stream_values ? &link : nullptr;
        options.interval = sh.options.intervals[job.index];
        options.observer = &link;
        options.source_index = job.index;
        // The link never aborts, so there is always an outcome.
        outcome = std::move(*scan_source(engine, *rs.source, options));
    }
    engine.reset_for_next_source();
    return outcome;
}

void worker(Shared& sh, Receiver<Job> jobs, Sender<Event> events) {
    (void)sh.failure.guard([&] {
        engine::Engine engine = make_engine(sh.compiled, sh.options.mode, sh.options.stream_values);
        for (;;) {
            auto job = jobs.recv();
            if (!job) return;  // queue closed and empty
            Job j = std::move(job.value());
            SourceOutcome outcome = scan_job(sh, engine, j, events);
            {
                std::lock_guard lock(sh.slots[j.index].mu);
                sh.slots[j.index].outcome.emplace(std::move(outcome));
            }
            j.source.source.reset();
        }
    });
}

}  // namespace

std::vector<SourceOutcome> run_sources(const engine::CompiledQueries& compiled, std::vector<RunSource> sources,
                                       const PoolOptions& options, RunListener& listener) {
    const size_t n = sources.size();
    std::vector<Slot> slots(n);
    Shared sh{compiled, options, slots};
    std::exception_ptr failure;
    {
        auto [job_tx, job_rx] = unbounded_channel<Job>();
        for (size_t i = 0; i < n; ++i) (void)job_tx.send(Job{i, std::move(sources[i])});
        { auto drop = std::move(job_tx); }
        auto [event_tx, event_rx] = unbounded_channel<Event>();

        std::vector<std::thread> threads;
        threads.reserve(options.workers);
        for (size_t k = 0; k < options.workers; ++k) {
            try {
                threads.emplace_back(worker, std::ref(sh), job_rx, event_tx);
            } catch (const std::system_error&) {
                sh.failure.spawn_failed();
                break;
            }
        }
        { auto drop_rx = std::move(job_rx); }
        { auto drop_tx = std::move(event_tx); }

        Clock::time_point last_tick = Clock::now();
        auto tick = [&] {
            last_tick = Clock::now();
            if (!listener.tick()) sh.stop.store(true);
        };
        try {
            for (;;) {
                auto ev = event_rx.recv_deadline(Clock::now() + kTickPeriod);
                if (!ev) {
                    if (ev.error() == RecvError::Disconnected) break;
                    if (!sh.stop.load()) tick();
                    continue;
                }
                if (auto* values = std::get_if<ValuesEvent>(&ev.value())) {
                    listener.values(std::move(values->batch));
                } else {
                    auto& pe = std::get<ProgressEvent>(ev.value());
                    Verdict reply = Verdict::Abort;
                    if (!sh.stop.load()) {
                        last_tick = Clock::now();
                        reply = listener.progress(pe.index, pe.bytes, std::move(pe.snapshot));
                        if (reply == Verdict::Abort) sh.stop.store(true);
                    }
                    (void)pe.reply.send(reply);
                }
                if (!sh.stop.load() && Clock::now() - last_tick >= kTickPeriod) tick();
            }
        } catch (...) {
            // A failure while handling an event (out of memory): stop the
            // workers, let them finish, then raise it.
            failure = std::current_exception();
            sh.stop.store(true);
            for (;;) {
                auto ev = event_rx.recv();
                if (!ev) break;
                if (auto* pe = std::get_if<ProgressEvent>(&ev.value())) (void)pe->reply.send(Verdict::Abort);
            }
        }
        for (auto& t : threads) t.join();
    }
    if (failure) std::rethrow_exception(failure);
    sh.failure.raise();
    std::vector<SourceOutcome> out;
    out.reserve(n);
    for (auto& s : slots) {
        if (!s.outcome) panic("every source slot is written exactly once");
        out.push_back(std::move(*s.outcome));
    }
    return out;
}

}  // namespace jorvane::run
