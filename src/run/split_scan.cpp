// The calling thread cuts the file, hands ranges to the walkers (at most two
// per walker ahead of the merge, which bounds the memory held by finished
// ranges), and folds finished ranges in order. A walker scans its range with
// a fresh engine and keeps the engine, its streamed values and how the range
// ended until the merge takes them. The merge keeps one range open (`cur`):
// it is folded once the next range is known to start at top level, and its
// engine goes on through the next range when it is not. An error, a read
// failure, an abort or an early stop cancels every range still being scanned;
// the walkers are joined before the run returns.
#include "run/split_scan.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "run/output_merge.h"
#include "run/plans.h"
#include "run/run_policy.h"
#include "source/mapped_file.h"

namespace jorvane::run {
namespace {

constexpr uint64_t kNewlineProbe = 65536;

struct Range {
    size_t index = 0;
    uint64_t begin = 0;
    uint64_t end = 0;
};

// Cuts the file into ranges on demand, each ending just after a newline (or
// at the end of the file).
class RangeCutter {
public:
    RangeCutter(const MappedFile& file, uint64_t range_len) : file_(file), len_(std::max<uint64_t>(range_len, 1)) {}

    // The next range, nothing after the last, or the read failure.
    Result<std::optional<Range>, IoError> next() {
        auto size = file_.size();
        if (!size) return make_err(std::move(size.error()));
        if (at_ >= *size) return std::optional<Range>();
        Range r{count_++, at_, *size};
        uint64_t pos = at_ + len_ - 1;
        while (pos < *size) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(kNewlineProbe, *size - pos));
            auto w = file_.window(pos, want, spare_);
            if (!w) return make_err(std::move(w.error()));
            const ByteView bytes = w->bytes();
            if (bytes.empty()) break;
            if (const void* nl = std::memchr(bytes.data(), '\n', bytes.size())) {
                r.end = pos + static_cast<uint64_t>(static_cast<const uint8_t*>(nl) - bytes.data()) + 1;
                break;
            }
            pos += bytes.size();
        }
        at_ = r.end;
        return std::optional<Range>(r);
    }

private:
    const MappedFile& file_;
    uint64_t len_;
    uint64_t at_ = 0;
    size_t count_ = 0;
    std::vector<uint8_t> spare_;
};

// One engine's scan over consecutive bytes of the file: a range, then
// perhaps the ranges after it that did not start at top level.
struct RangeRun {
    uint64_t begin = 0;  // the file offset of the engine's first byte
    uint64_t end = 0;    // scanned up to here
    uint64_t range_end = 0;  // a walker's run: where its range ends
    std::unique_ptr<engine::Engine> engine;
    std::vector<engine::ValueBatch> batches;
    std::optional<engine::ParseError> error;
    std::optional<IoError> read_error;
    bool top_level = false;
    bool cancelled = false;

    bool ended() const { return error || read_error || cancelled; }
};

// Everything a scan of bytes needs besides the run it extends.
struct FileScan {
    const MappedFile& file;
    size_t grid;
    bool stream;
};

// The error as one engine scanning the whole file reports it: its offset in
// the file, and the context taken from the grid buffer that held
// `buffer_start` (the scan met the error in that buffer).
engine::ParseError locate(engine::ParseError e, uint64_t base, uint64_t buffer_start, const FileScan& fs) {
    e.offset += base;
    auto size = fs.file.size();
    if (!size) return e;
    const uint64_t g0 = buffer_start - buffer_start % fs.grid;
    const uint64_t g1 = std::min<uint64_t>(g0 + fs.grid, *size);
    if (g1 <= g0) return e;
    std::vector<uint8_t> spare;
    auto w = fs.file.window(g0, static_cast<size_t>(g1 - g0), spare);
    if (!w) return e;
    e.context = engine::make_parse_error(e.kind, e.offset, g0, w->bytes()).context;
    return e;
}

// Scans [from, to) with the run's engine, in buffers on the grid. Stops at
// an error, a read failure or when `cancel` is raised.
void scan_bytes(RangeRun& run, const FileScan& fs, uint64_t from, uint64_t to, std::vector<uint8_t>& spare,
                const std::atomic<bool>& cancel) {
    auto size = fs.file.size();
    if (!size) {
        run.read_error = std::move(size.error());
        return;
    }
    if (*size < to) {
        run.read_error = file_shrank();
        return;
    }
    uint64_t pos = from;
    while (pos < to) {
        if (cancel.load(std::memory_order_relaxed)) {
            run.cancelled = true;
            return;
        }
        const uint64_t next = std::min<uint64_t>(to, (pos / fs.grid + 1) * fs.grid);
        auto w = fs.file.window(pos, static_cast<size_t>(next - pos), spare);
        if (!w) {
            run.read_error = std::move(w.error());
            return;
        }
        if (w->bytes().size() < next - pos) {
            run.read_error = file_shrank();
            return;
        }
        engine::BufferScan scan = run.engine->scan_buffer(w->bytes());
        if (w->lost()) {
            run.read_error = file_shrank();
            return;
        }
        if (scan.output_ready && fs.stream)
            for (auto& b : run.engine->drain_streams()) run.batches.push_back(std::move(b));
        if (scan.error) {
            run.error = locate(std::move(*scan.error), run.begin, pos, fs);
            return;
        }
        pos = next;
        run.end = pos;
    }
    run.top_level = run.engine->at_top_level();
}

// A source over a mapped file it does not own, from its start.
std::unique_ptr<Source> whole_file(const MappedFile& file, size_t grid) {
    // The aliasing constructor with no owner: a pointer that keeps nothing alive.
    return std::make_unique<MappedFileSource>(std::shared_ptr<const MappedFile>(std::shared_ptr<void>(), &file), grid);
}

// One engine scanning the whole file for the figures the merge could not
// combine exactly; stops when `cancel` is raised.
class WholeScan {
public:
    WholeScan(const engine::CompiledQueries& compiled, engine::ScanMode mode, const MappedFile& file, size_t grid,
              const std::atomic<bool>& cancel)
        : stop_(cancel), thread_([this, &compiled, mode, &file, grid] {
              engine::Engine engine = make_engine(compiled, mode, false);
              std::unique_ptr<Source> source = whole_file(file, grid);
              ScanOptions options;
              options.observer = &stop_;
              outcome_ = scan_source(engine, *source, options);
          }) {}
    WholeScan(const WholeScan&) = delete;
    WholeScan& operator=(const WholeScan&) = delete;
    ~WholeScan() {
        if (thread_.joinable()) thread_.join();
    }

    // The outputs of the whole scan (its partial results if it failed), once
    // it is over; nothing when it was stopped or could not read.
    std::optional<std::vector<engine::QueryOutput>> outputs() {
        if (thread_.joinable()) thread_.join();
        if (!outcome_) return std::nullopt;
        if (outcome_->ok()) return std::move(outcome_->value());
        JorvaneError& e = outcome_->error();
        if (Incomplete* rec = e.record()) return std::move(rec->partials);
        return std::nullopt;
    }

private:
    class Stop final : public ScanObserver {
    public:
        explicit Stop(const std::atomic<bool>& cancel) : cancel_(cancel) {}
        bool stop_requested() override { return cancel_.load(std::memory_order_relaxed); }
        Verdict at_interval(uint64_t, const engine::Engine&) override { return Verdict::Continue; }
        bool reads_engine() const override { return false; }

    private:
        const std::atomic<bool>& cancel_;
    };

    Stop stop_;
    std::optional<SourceOutcome> outcome_;
    std::thread thread_;
};

// The walkers and the ranges between them and the merge.
class Walkers {
public:
    Walkers(size_t n, const engine::CompiledQueries& compiled, engine::ScanMode mode, const FileScan& fs)
        : compiled_(compiled), mode_(mode), fs_(fs) {
        threads_.reserve(n);
        for (size_t i = 0; i < n; ++i) threads_.emplace_back([this] { work(); });
    }
    Walkers(const Walkers&) = delete;
    Walkers& operator=(const Walkers&) = delete;
    ~Walkers() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            closing_ = true;
        }
        cancel_.store(true);
        work_cv_.notify_all();
        for (auto& t : threads_) t.join();
    }

    void start(const Range& r) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            jobs_.push_back(r);
        }
        work_cv_.notify_one();
    }

    // The run of range `index` once it is done.
    RangeRun take(size_t index) {
        std::unique_lock<std::mutex> lock(mu_);
        done_cv_.wait(lock, [&] { return done_.count(index) != 0; });
        auto node = done_.extract(index);
        return std::move(node.mapped());
    }

    // Every range still queued or being scanned stops.
    void cancel() { cancel_.store(true); }
    const std::atomic<bool>& cancelled() const { return cancel_; }

private:
    void work() {
        std::vector<uint8_t> spare;
        for (;;) {
            Range r;
            {
                std::unique_lock<std::mutex> lock(mu_);
                work_cv_.wait(lock, [&] { return closing_ || !jobs_.empty(); });
                if (closing_) return;
                r = jobs_.front();
                jobs_.pop_front();
            }
            RangeRun run;
            run.begin = r.begin;
            run.end = r.begin;
            run.range_end = r.end;
            run.engine = std::make_unique<engine::Engine>(make_engine(compiled_, mode_, fs_.stream));
            scan_bytes(run, fs_, r.begin, r.end, spare, cancel_);
            {
                std::lock_guard<std::mutex> lock(mu_);
                done_.emplace(r.index, std::move(run));
            }
            done_cv_.notify_all();
        }
    }

    const engine::CompiledQueries& compiled_;
    engine::ScanMode mode_;
    FileScan fs_;
    std::mutex mu_;
    std::condition_variable work_cv_;
    std::condition_variable done_cv_;
    std::deque<Range> jobs_;
    std::map<size_t, RangeRun> done_;
    bool closing_ = false;
    std::atomic<bool> cancel_{false};
    std::vector<std::thread> threads_;  // last: joined before the rest goes
};

}  // namespace

bool queries_split(const engine::Engine& engine) {
    bool never_settles = false;
    for (const auto& d : engine.drivers()) {
        if (d.limited_mask != 0) return false;
        for (size_t i = 0; i < d.label_count; ++i)
            if (d.limits[i]) return false;
        for (const auto& acc : d.accumulators)
            if (acc.kind() != engine::AccumulatorKind::Exists) never_settles = true;
    }
    return never_settles;
}

std::optional<SourceOutcome> scan_split(const engine::CompiledQueries& compiled, engine::ScanMode mode, Source& source,
                                        const ScanOptions& options, const SplitPlan& plan) {
    const MappedFile& file = *source.mapped_file();
    const FileScan fs{file, std::max<size_t>(source.buffer_grid(), 1), options.sink != nullptr};
    const engine::Engine layout = make_engine(compiled, mode, false);
    OutputMerge merge(layout);
    RangeCutter cutter(file, plan.range_len);
    std::atomic<bool> stop_whole{false};
    std::optional<WholeScan> whole;
    std::optional<RangeRun> cur;
    std::optional<IoError> cut_error;
    bool early = false;
    {
        Walkers walkers(std::max<size_t>(plan.walkers, 1), compiled, mode, fs);
        const size_t ahead = 2 * std::max<size_t>(plan.walkers, 1);
        std::vector<uint8_t> spare;
        size_t cut = 0;
        size_t merged = 0;
        bool cut_done = false;
        bool clean = true;  // the last range folded or extended ended at top level
        uint64_t stretch = 0;
        auto next_range = [&]() -> std::optional<Range> {
            auto r = cutter.next();
            if (!r) {
                cut_error = std::move(r.error());
                cut_done = true;
                return std::nullopt;
            }
            if (!*r) cut_done = true;
            else ++cut;
            return *r;
        };
        auto extend = [&](uint64_t from, uint64_t to) {
            scan_bytes(*cur, fs, from, to, spare, walkers.cancelled());
        };
        auto fold = [&](RangeRun& run) {
            merge.fold(*run.engine, run.engine->finalize_source(), std::move(run.batches), options.sink);
            if (merge.inexact() && !whole) whole.emplace(compiled, mode, file, fs.grid, stop_whole);
        };
        for (;;) {
            if (options.observer && options.observer->stop_requested()) {
                early = true;
                break;
            }
            while (clean && !cut_done && cut - merged < ahead) {
                if (auto r = next_range()) walkers.start(*r);
            }
            uint64_t scanned_from = cur ? cur->end : 0;
            if (merged == cut) {
                if (cut_done) break;
                // Not at top level and nothing ahead: this range is the
                // open run's to scan.
                std::optional<Range> r = next_range();
                if (!r) break;
                ++merged;
                extend(r->begin, r->end);
            } else {
                RangeRun next = walkers.take(merged);
                ++merged;
                if (!cur) {
                    cur = std::move(next);
                } else if (clean) {
                    fold(*cur);
                    cur = std::move(next);
                } else {
                    extend(next.begin, next.range_end);
                }
            }
            if (cur->ended()) break;
            clean = cur->top_level;
            stretch += cur->end - scanned_from;
            if (options.observer && options.interval && stretch >= *options.interval) {
                stretch = 0;
                const Verdict verdict = options.observer->at_interval(cur->end, *cur->engine);
                if (verdict == Verdict::Abort) {
                    walkers.cancel();
                    stop_whole.store(true);
                    return std::nullopt;
                }
                if (verdict == Verdict::Stop) {
                    early = true;
                    break;
                }
            }
        }
        walkers.cancel();
    }
    std::optional<JorvaneError> failure;
    std::optional<uint64_t> covered;
    if (!cur) {
        // An empty file, or the first cut failed: what one engine makes of it.
        if (cut_error) return SourceOutcome(make_err(JorvaneError::read(std::move(*cut_error), options.source_index)));
        engine::Engine engine = make_engine(compiled, mode, options.sink != nullptr);
        std::unique_ptr<Source> empty = whole_file(file, fs.grid);
        return scan_source(engine, *empty, options);
    }
    if (early) {
        stop_whole.store(true);
        source.abandon();
        covered = cur->end;
        (void)cur->engine->finish(false);
    } else if (cur->error) {
        failure.emplace(JorvaneError::parse(std::move(*cur->error)));
    } else if (cur->read_error) {
        failure.emplace(JorvaneError::read(std::move(*cur->read_error), options.source_index));
    } else if (cut_error) {
        failure.emplace(JorvaneError::read(std::move(*cut_error), options.source_index));
    } else if (auto error = cur->engine->finish(true)) {
        error->offset += cur->begin;
        failure.emplace(JorvaneError::parse(std::move(*error)));
    }
    if (options.sink)
        for (auto& b : cur->engine->drain_streams()) cur->batches.push_back(std::move(b));
    merge.fold(*cur->engine, cur->engine->finalize_source(), std::move(cur->batches), options.sink);
    if (merge.inexact() && !whole && !early) whole.emplace(compiled, mode, file, fs.grid, stop_whole);
    std::vector<engine::QueryOutput> outputs = merge.take(covered);
    if (whole) {
        if (auto exact = whole->outputs(); exact && !early) OutputMerge::take_numeric_figures(outputs, *exact);
    }
    if (failure) return SourceOutcome(make_err(std::move(*failure).with_partials(std::move(outputs))));
    return SourceOutcome(std::move(outputs));
}

std::optional<SourceOutcome> scan_one_source(const engine::CompiledQueries& compiled, engine::ScanMode mode,
                                             Source& source, const ScanOptions& options, size_t walkers) {
    engine::Engine engine = make_engine(compiled, mode, options.sink != nullptr);
    const MappedFile* file = source.mapped_file();
    if (walkers > 1 && file && source.buffer_grid() > 0 && queries_split(engine) &&
        !(options.observer && options.observer->reads_engine())) {
        auto size = file->size();
        const uint64_t range_len = size ? split_range_len(*size, walkers) : 0;
        if (range_len > 0) return scan_split(compiled, mode, source, options, SplitPlan{walkers, range_len});
    }
    return scan_source(engine, source, options);
}

}  // namespace jorvane::run
