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
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "run/output_merge.h"
#include "run/plans.h"
#include "run/run_policy.h"
#include "source/mapped_file.h"
#include "util/panic.h"
#include "util/text.h"

namespace jorvane::run {
namespace {

constexpr uint64_t kNewlineProbe = 65536;
// Bytes kept on either side of a range read from a stream: an error's
// context reaches 64 bytes either way.
constexpr size_t kMargin = 64;

// The bytes of a range read from a stream (a range of a mapped file is read
// from the file), with up to kMargin bytes on either side.
struct Chunk {
    std::vector<uint8_t> before;
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> after;
};

struct Range {
    size_t index = 0;
    uint64_t begin = 0;
    uint64_t end = 0;
    std::shared_ptr<const Chunk> chunk;  // null: read from the file
};

// Cuts the input into ranges on demand, each ending just after a newline
// (or where the input ends).
class Cutter {
public:
    virtual ~Cutter() = default;
    // The next range, nothing after the last, or the read failure that
    // follows the ranges cut so far.
    virtual Result<std::optional<Range>, IoError> next() = 0;
};

class FileCutter final : public Cutter {
public:
    FileCutter(const MappedFile& file, uint64_t range_len) : file_(file), len_(std::max<uint64_t>(range_len, 1)) {}

    Result<std::optional<Range>, IoError> next() override {
        auto size = file_.size();
        if (!size) return make_err(std::move(size.error()));
        if (at_ >= *size) return std::optional<Range>();
        Range r{count_++, at_, *size, nullptr};
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

// Reads a stream (a decoder on its own thread, say) on the calling thread
// and copies it into ranges. A range runs on to the next newline, but never
// past four range lengths: a cut inside a record is only slower (the merge
// finds it out and reads on with one engine).
class StreamCutter final : public Cutter {
public:
    StreamCutter(Source& source, uint64_t range_len) : source_(source), len_(std::max<uint64_t>(range_len, 1)) {}

    Result<std::optional<Range>, IoError> next() override {
        for (;;) {
            const size_t cut = find_cut();
            if (cut != 0 && (eof_ || held() >= cut + kMargin)) return take(cut);
            if (eof_) {
                if (held() != 0) return take(held());
                if (failed_) return make_err(std::move(*std::exchange(failed_, std::nullopt)));
                return std::optional<Range>();
            }
            BufferResult b = source_.next_buffer();
            if (!b) {
                // What was read before the failure is scanned first.
                failed_ = std::move(b.error());
                eof_ = true;
                continue;
            }
            if (!b.value()) {
                eof_ = true;
                continue;
            }
            // What the ranges took goes once per buffer read, not once per range.
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
            pending_.insert(pending_.end(), (*b.value()).begin(), (*b.value()).end());
        }
    }

private:
    // Where the next range ends: after the first newline at or past a range
    // length, at four range lengths, or 0 when more input is needed.
    size_t find_cut() const {
        const uint64_t from = len_ - 1;
        const uint64_t cap = 4 * len_;
        if (held() <= from) return 0;
        const uint8_t* p = pending_.data() + head_;
        const size_t limit = static_cast<size_t>(std::min<uint64_t>(held(), cap));
        if (const void* nl = std::memchr(p + from, '\n', limit - static_cast<size_t>(from)))
            return static_cast<size_t>(static_cast<const uint8_t*>(nl) - p) + 1;
        return held() >= cap ? static_cast<size_t>(cap) : 0;
    }

    // The bytes read and not yet taken by a range.
    size_t held() const { return pending_.size() - head_; }

    Result<std::optional<Range>, IoError> take(size_t n) {
        auto chunk = std::make_shared<Chunk>();
        const auto at = pending_.begin() + static_cast<std::ptrdiff_t>(head_);
        chunk->before = tail_;
        chunk->bytes.assign(at, at + static_cast<std::ptrdiff_t>(n));
        const size_t after = std::min(kMargin, held() - n);
        chunk->after.assign(at + static_cast<std::ptrdiff_t>(n), at + static_cast<std::ptrdiff_t>(n + after));
        // The last kMargin bytes of the stream so far, whatever the lengths
        // of the ranges.
        tail_.insert(tail_.end(), chunk->bytes.end() - static_cast<std::ptrdiff_t>(std::min(kMargin, n)),
                     chunk->bytes.end());
        if (tail_.size() > kMargin) tail_.erase(tail_.begin(), tail_.end() - static_cast<std::ptrdiff_t>(kMargin));
        head_ += n;
        Range r{count_++, at_, at_ + n, std::move(chunk)};
        at_ += n;
        return std::optional<Range>(std::move(r));
    }

    Source& source_;
    uint64_t len_;
    uint64_t at_ = 0;
    size_t count_ = 0;
    std::vector<uint8_t> pending_;
    size_t head_ = 0;  // where the bytes not yet taken start in pending_
    std::vector<uint8_t> tail_;
    bool eof_ = false;
    std::optional<IoError> failed_;
};

// One engine's scan over consecutive bytes of the input: a range, then
// perhaps the ranges after it that did not start at top level.
struct RangeRun {
    uint64_t begin = 0;  // the input offset of the engine's first byte
    uint64_t end = 0;    // scanned up to here
    Range range;         // a walker's run: its range
    std::unique_ptr<engine::Engine> engine;
    std::vector<engine::ValueBatch> batches;
    std::optional<engine::ParseError> error;
    std::optional<IoError> read_error;
    // Stream ranges scanned last, reaching a grid buffer and a margin back
    // (for an error's context).
    std::deque<Range> recent;
    bool top_level = false;
    bool cancelled = false;

    bool ended() const { return error || read_error || cancelled; }
};

// Everything a scan of bytes needs besides the run it extends.
struct Input {
    const MappedFile* file;  // null for a stream
    size_t grid;
    bool stream_values;
};

// The error as one engine scanning the whole input reports it: its offset,
// and the context taken from the grid buffer that held `buffer_start` (the
// scan met the error in that buffer). `recent` are the stream ranges the run
// scanned last, the current one last.
engine::ParseError locate(engine::ParseError e, uint64_t base, uint64_t buffer_start, const std::deque<Range>& recent,
                          const Input& in) {
    e.offset += base;
    const uint64_t g0 = buffer_start - buffer_start % in.grid;
    uint64_t g1 = g0 + in.grid;
    if (!in.file) {
        // The bytes the context shows, as far as the recent ranges and
        // their margins reach (they reach back past the grid buffer's start).
        if (recent.empty()) return e;
        uint64_t a = g0, b = std::min<uint64_t>(g1, g0 + 64);
        if (e.offset >= g0) {
            a = std::max<uint64_t>(g0, e.offset >= 64 ? e.offset - 64 : 0);
            b = std::min<uint64_t>(g1, e.offset + 64);
        }
        const Range& first = recent.front();
        const Range& last = recent.back();
        a = std::clamp(a, first.begin - first.chunk->before.size(), last.end + last.chunk->after.size());
        b = std::clamp(b, a, last.end + last.chunk->after.size());
        std::string shown;
        for (uint64_t i = a; i < b; ++i) {
            uint8_t byte = 0;
            if (i < first.begin) {
                byte = first.chunk->before[first.chunk->before.size() - static_cast<size_t>(first.begin - i)];
            } else if (i >= last.end) {
                byte = last.chunk->after[static_cast<size_t>(i - last.end)];
            } else {
                for (const Range& r : recent)
                    if (i >= r.begin && i < r.end) byte = r.chunk->bytes[static_cast<size_t>(i - r.begin)];
            }
            shown.push_back(static_cast<char>(byte));
        }
        e.context = lossy_utf8(shown);
        return e;
    }
    auto size = in.file->size();
    if (!size) return e;
    g1 = std::min<uint64_t>(g1, *size);
    if (g1 <= g0) return e;
    std::vector<uint8_t> spare;
    auto w = in.file->window(g0, static_cast<size_t>(g1 - g0), spare);
    if (!w) return e;
    e.context = engine::make_parse_error(e.kind, e.offset, g0, w->bytes()).context;
    return e;
}

// Scans [from, to) of `range` with the run's engine, in buffers on the
// grid. Stops at an error, a read failure or when `cancel` is raised.
void scan_bytes(RangeRun& run, const Input& in, const Range& range, uint64_t from, uint64_t to,
                std::vector<uint8_t>& spare, const std::atomic<bool>& cancel) {
    if (!range.chunk) {
        auto size = in.file->size();
        if (!size) {
            run.read_error = std::move(size.error());
            return;
        }
        if (*size < to) {
            run.read_error = file_shrank();
            return;
        }
    }
    if (range.chunk) {
        run.recent.push_back(range);
        while (run.recent.size() > 1 && run.recent[1].begin + in.grid + kMargin < range.begin) run.recent.pop_front();
    }
    uint64_t pos = from;
    while (pos < to) {
        if (cancel.load(std::memory_order_relaxed)) {
            run.cancelled = true;
            return;
        }
        const uint64_t next = std::min<uint64_t>(to, (pos / in.grid + 1) * in.grid);
        const size_t len = static_cast<size_t>(next - pos);
        FileWindow window;
        ByteView bytes;
        if (range.chunk) {
            bytes = ByteView(range.chunk->bytes.data() + (pos - range.begin), len);
        } else {
            auto w = in.file->window(pos, len, spare);
            if (!w) {
                run.read_error = std::move(w.error());
                return;
            }
            window = std::move(*w);
            bytes = window.bytes();
            if (bytes.size() < len) {
                run.read_error = file_shrank();
                return;
            }
        }
        engine::BufferScan scan = run.engine->scan_buffer(bytes);
        if (window.lost()) {
            run.read_error = file_shrank();
            return;
        }
        if (scan.output_ready && in.stream_values)
            for (auto& b : run.engine->drain_streams()) run.batches.push_back(std::move(b));
        if (scan.error) {
            run.error = locate(std::move(*scan.error), run.begin, pos, run.recent, in);
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
              // Nothing thrown here leaves the thread: a failure leaves no
              // outcome, and the merged figures stand.
              try {
                  engine::Engine engine = make_engine(compiled, mode, false);
                  std::unique_ptr<Source> source = whole_file(file, grid);
                  ScanOptions options;
                  options.observer = &stop_;
                  outcome_ = scan_source(engine, *source, options);
              } catch (...) {
                  outcome_.reset();
              }
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
        bool requested() override { return cancel_.load(std::memory_order_relaxed); }
        Verdict at_interval(uint64_t, const engine::Engine&) override { return Verdict::Continue; }
        bool reads_engine() const override { return false; }

    private:
        const std::atomic<bool>& cancel_;
    };

    Stop stop_;
    std::optional<SourceOutcome> outcome_;
    std::thread thread_;
};

// What went wrong on a walker thread, raised on the calling thread once the
// walkers are joined.
struct WalkerFailure {
    std::atomic<bool> out_of_memory{false};
    std::atomic<bool> panicked{false};

    void raise() const {
        if (out_of_memory.load()) throw std::bad_alloc();
        if (panicked.load()) panic("a scoped thread panicked");
    }
};

// The walkers and the ranges between them and the merge. A walker thread
// is started with each range handed out while fewer than `n` run, so a
// short input starts few.
class Walkers {
public:
    Walkers(size_t n, const engine::CompiledQueries& compiled, engine::ScanMode mode, const Input& in,
            WalkerFailure& failure)
        : n_(std::max<size_t>(n, 1)), compiled_(compiled), mode_(mode), in_(in), failure_(failure) {
        threads_.reserve(n_);
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

    void start(Range r) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            jobs_.push_back(std::move(r));
        }
        if (threads_.size() < n_) {
            try {
                threads_.emplace_back([this] { work(); });
            } catch (const std::system_error&) {
                // Fewer walkers; none at all is a failure of the run.
                if (threads_.empty()) panic("failed to spawn thread");
            }
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

    // An engine the merge is done with: a walker destroys it (freeing its
    // tables is work the merging thread need not do).
    void retire(std::unique_ptr<engine::Engine> engine) {
        std::lock_guard<std::mutex> lock(mu_);
        retired_.push_back(std::move(engine));
    }

    // Every range still queued or being scanned stops.
    void cancel() { cancel_.store(true); }
    const std::atomic<bool>& cancelled() const { return cancel_; }

private:
    void work() {
        std::vector<uint8_t> spare;
        for (;;) {
            Range r;
            std::vector<std::unique_ptr<engine::Engine>> retired;
            {
                std::unique_lock<std::mutex> lock(mu_);
                work_cv_.wait(lock, [&] { return closing_ || !jobs_.empty(); });
                if (closing_) return;
                r = std::move(jobs_.front());
                jobs_.pop_front();
                retired.swap(retired_);
            }
            const size_t index = r.index;
            RangeRun run;
            // Nothing thrown here leaves the thread: the range comes back
            // cancelled, every other range stops, and the calling thread
            // raises the failure once the walkers are joined.
            try {
                retired.clear();
                run.begin = r.begin;
                run.end = r.begin;
                run.engine = std::make_unique<engine::Engine>(make_engine(compiled_, mode_, in_.stream_values));
                scan_bytes(run, in_, r, r.begin, r.end, spare, cancel_);
                run.range = std::move(r);
            } catch (const std::bad_alloc&) {
                failure_.out_of_memory.store(true);
                run = failed_run();
            } catch (...) {
                failure_.panicked.store(true);
                run = failed_run();
            }
            {
                std::lock_guard<std::mutex> lock(mu_);
                done_.emplace(index, std::move(run));
            }
            done_cv_.notify_all();
        }
    }

    RangeRun failed_run() {
        cancel_.store(true);
        RangeRun run;
        run.cancelled = true;
        return run;
    }

    size_t n_;
    const engine::CompiledQueries& compiled_;
    engine::ScanMode mode_;
    Input in_;
    WalkerFailure& failure_;
    std::mutex mu_;
    std::condition_variable work_cv_;
    std::condition_variable done_cv_;
    std::deque<Range> jobs_;
    std::map<size_t, RangeRun> done_;
    std::vector<std::unique_ptr<engine::Engine>> retired_;
    bool closing_ = false;
    std::atomic<bool> cancel_{false};
    std::vector<std::thread> threads_;  // started and joined by the merging thread only
};

}  // namespace

bool queries_split(const engine::Engine& engine, bool figures_combine) {
    if (engine.has_match_limit()) return false;
    bool never_settles = false;
    for (const engine::InstalledAccumulator& a : engine.accumulators()) {
        const engine::AccumulatorKind k = a.accumulator->kind();
        if (k != engine::AccumulatorKind::Exists) never_settles = true;
        if (!figures_combine && (k == engine::AccumulatorKind::Sum || k == engine::AccumulatorKind::Mean ||
                                 k == engine::AccumulatorKind::Product))
            return false;
    }
    return never_settles;
}

std::optional<SourceOutcome> scan_split(const engine::CompiledQueries& compiled, engine::ScanMode mode, Source& source,
                                        const ScanOptions& options, const SplitPlan& plan) {
    const MappedFile* file = source.mapped_file();
    const Input in{file, std::max<size_t>(source.buffer_grid(), 1), options.sink != nullptr};
    const engine::Engine layout = make_engine(compiled, mode, false);
    OutputMerge merge(layout);
    std::unique_ptr<Cutter> cutter;
    if (file) cutter = std::make_unique<FileCutter>(*file, plan.range_len);
    else cutter = std::make_unique<StreamCutter>(source, plan.range_len);
    std::atomic<bool> stop_whole{false};
    std::optional<WholeScan> whole;
    std::optional<RangeRun> cur;
    std::optional<IoError> cut_error;
    bool early = false;
    WalkerFailure walker_failure;
    // Once a Sum, Mean or Product turns out inexact: with values streamed
    // (already handed on in order) one engine scans the whole file beside
    // the walkers for those figures; without, one engine simply scans the
    // whole file in their place.
    bool one_engine = false;
    auto start_whole = [&] {
        if (!merge.inexact() || whole || !file) return;
        if (options.sink) whole.emplace(compiled, mode, *file, in.grid, stop_whole);
        else one_engine = true;
    };
    {
        Walkers walkers(plan.walkers, compiled, mode, in, walker_failure);
        const size_t ahead = 2 * std::max<size_t>(plan.walkers, 1);
        std::vector<uint8_t> spare;
        size_t cut = 0;
        size_t merged = 0;
        bool cut_done = false;
        bool clean = true;  // the open run ended at top level
        uint64_t stretch = 0;
        auto next_range = [&]() -> std::optional<Range> {
            auto r = cutter->next();
            if (!r) {
                cut_error = std::move(r.error());
                cut_done = true;
                return std::nullopt;
            }
            if (!*r) {
                cut_done = true;
                return std::nullopt;
            }
            ++cut;
            return std::move(*r);
        };
        auto extend = [&](const Range& r) { scan_bytes(*cur, in, r, r.begin, r.end, spare, walkers.cancelled()); };
        auto fold = [&](RangeRun& run) {
            merge.fold(*run.engine, std::move(run.batches), options.sink);
            walkers.retire(std::move(run.engine));
            start_whole();
        };
        for (;;) {
            if (interrupt_requested(options.observer)) {
                early = true;
                break;
            }
            while (clean && !cut_done && cut - merged < ahead) {
                if (auto r = next_range()) walkers.start(std::move(*r));
            }
            const uint64_t scanned_from = cur ? cur->end : 0;
            if (merged == cut) {
                if (cut_done) break;
                // Not at top level and nothing ahead: this range is the
                // open run's to scan.
                std::optional<Range> r = next_range();
                if (!r) break;
                ++merged;
                extend(*r);
            } else {
                RangeRun next = walkers.take(merged);
                ++merged;
                if (!next.engine) break;  // a walker failed: raised below
                if (!cur) {
                    cur = std::move(next);
                } else if (clean) {
                    fold(*cur);
                    cur = std::move(next);
                } else {
                    extend(next.range);
                    walkers.retire(std::move(next.engine));
                }
            }
            if (cur->ended() || one_engine) break;
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
    walker_failure.raise();
    if (one_engine) {
        engine::Engine engine = make_engine(compiled, mode, false);
        std::unique_ptr<Source> whole_source = whole_file(*file, in.grid);
        return scan_source(engine, *whole_source, options);
    }
    if (!cur) {
        // Empty input, or the first read failed: what one engine makes of it.
        if (cut_error) return SourceOutcome(make_err(JorvaneError::read(std::move(*cut_error), options.source_index)));
        engine::Engine engine = make_engine(compiled, mode, options.sink != nullptr);
        std::optional<JorvaneError> failure;
        if (early) source.abandon();
        if (auto error = engine.finish(!early)) failure.emplace(JorvaneError::parse(std::move(*error)));
        std::vector<engine::QueryOutput> outputs = engine.finalize_source();
        if (failure) return SourceOutcome(make_err(std::move(*failure).with_partials(std::move(outputs))));
        return SourceOutcome(std::move(outputs));
    }
    std::optional<JorvaneError> failure;
    std::optional<uint64_t> covered;
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
    merge.fold(*cur->engine, std::move(cur->batches), options.sink);
    if (!early) start_whole();
    if (one_engine) {
        engine::Engine engine = make_engine(compiled, mode, false);
        std::unique_ptr<Source> whole_source = whole_file(*file, in.grid);
        return scan_source(engine, *whole_source, options);
    }
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
    if (walkers > 1 && source.buffer_grid() > 0 && queries_split(engine, file != nullptr) &&
        !(options.observer && options.observer->reads_engine())) {
        uint64_t range_len = split_stream_range_len(walkers);
        if (file) {
            auto size = file->size();
            range_len = size ? split_range_len(*size, walkers) : 0;
        }
        if (range_len > 0) return scan_split(compiled, mode, source, options, SplitPlan{walkers, range_len});
    }
    return scan_source(engine, source, options);
}

}  // namespace jorvane::run
