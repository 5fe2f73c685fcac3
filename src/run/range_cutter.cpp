// A file's cut is found by probing the file for a newline from a range
// length on, a window at a time; sequential input's in the slabs read so far.
#include "run/range_cutter.h"

#include <string.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <utility>

#include "source/mapped_file.h"

namespace jorvane::run {
namespace {

// A cut looks for the first newline after its length, which lines make
// near: the first look reads a little, and each further one twice as much.
constexpr uint64_t kFirstNewlineProbe = 4096;
constexpr uint64_t kNewlineProbe = 65536;

// The input ends where the file ended when the first range was cut: ranges
// already handed out end there, so a file that shrinks below that size
// later, seen at a cut or by a probe, fails the ranges from there on rather
// than ending them early (the walkers' reads see it too, run/range_scan.h).
// A file that grows meanwhile is read up to that size.
class FileCutter final : public RangeCutter {
public:
    FileCutter(const MappedFile& file, uint64_t range_len) : file_(file), len_(std::max<uint64_t>(range_len, 1)) {}

    Result<std::optional<Range>, IoError> next() override {
        auto now = file_.size();
        if (!now) return make_err(std::move(now.error()));
        if (!size_) size_ = *now;
        if (*now < *size_) return make_err(file_shrank());
        const uint64_t size = *size_;
        if (at_ >= size) return std::optional<Range>();
        Range r{count_++, at_, size, nullptr};
        uint64_t pos = at_ + len_ - 1;
        uint64_t probe = kFirstNewlineProbe;
        while (pos < size) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(probe, size - pos));
            probe = std::min(probe * 2, kNewlineProbe);
            auto w = file_.read_window(pos, want, spare_);
            if (!w) return make_err(std::move(w.error()));
            const ByteView bytes = w->bytes();
            if (bytes.size() < want) return make_err(file_shrank());
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
    std::optional<uint64_t> size_;  // the input's end
    uint64_t at_ = 0;
    size_t count_ = 0;
    std::vector<uint8_t> spare_;
};

// Buffers for slabs of sequential input. A slab whose last range is gone
// gives its buffer back here, on whichever thread drops it, for the cutter to
// hand to the source (or read into) again: the buffers in use stay those of
// the ranges held ahead of the merge and of the source's read-ahead.
class SlabPool {
public:
    void put(std::vector<uint8_t> buffer) noexcept {
        try {
            std::lock_guard<std::mutex> lock(mu_);
            free_.push_back(std::move(buffer));
        } catch (...) {
            // Not kept: the buffer is freed instead.
        }
    }
    // A buffer given back, or an empty one.
    std::vector<uint8_t> take() {
        std::lock_guard<std::mutex> lock(mu_);
        if (free_.empty()) return {};
        std::vector<uint8_t> buffer = std::move(free_.back());
        free_.pop_back();
        return buffer;
    }

private:
    std::mutex mu_;
    std::vector<std::vector<uint8_t>> free_;
};

// A slab: consecutive bytes of sequential input that ranges share.
class Slab {
public:
    Slab(std::vector<uint8_t> bytes, std::shared_ptr<SlabPool> pool) : bytes_(std::move(bytes)), pool_(std::move(pool)) {}
    Slab(const Slab&) = delete;
    Slab& operator=(const Slab&) = delete;
    ~Slab() { pool_->put(std::move(bytes_)); }
    const uint8_t* data() const { return bytes_.data(); }

private:
    std::vector<uint8_t> bytes_;
    std::shared_ptr<SlabPool> pool_;
};

// Reads sequential input (a decoder on its own thread, say) on the calling
// thread in slabs, and cuts ranges out of them. A slab is one buffer the
// source hands over (Source::next_handed), else the source's buffers copied
// into a buffer of the pool. Inside a slab a range runs on to the first
// newline a range length on (with a margin's bytes after it in the slab);
// the last range of a slab ends at its last newline, and the bytes after
// that are copied into the room ahead of the next slab's bytes, so the
// range that takes them up is contiguous too. A record longer than that
// room is cut at the slab's end: a cut inside a record is only slower (the merge finds it out and reads on with
// one engine). The bytes of a source's buffer that failed to fill are lost
// as they are for one engine: what was read before a failure is scanned
// first, and the failure follows.
class SequentialCutter final : public RangeCutter {
public:
    SequentialCutter(Source& source, uint64_t range_len)
        : source_(source),
          len_(static_cast<size_t>(std::clamp<uint64_t>(range_len, 1, uint64_t{1} << 40))),
          handed_(source.hands_buffers()),
          pool_(std::make_shared<SlabPool>()) {}

    Result<std::optional<Range>, IoError> next() override {
        for (;;) {
            if (!slab_) {
                if (ended_) {
                    if (failed_) return make_err(std::move(*std::exchange(failed_, std::nullopt)));
                    return std::optional<Range>();
                }
                HandedResult got = fetch();
                if (!got) {
                    failed_ = std::move(got.error());
                    ended_ = true;
                } else if (!*got) {
                    ended_ = true;
                } else {
                    HandedBuffer& b = **got;
                    pos_ = b.at;
                    end_ = b.at + b.len;
                    slab_ = std::make_shared<const Slab>(std::move(b.bytes), pool_);
                }
                continue;
            }
            // A range inside the slab while what follows it is at least half
            // a range length; else the rest is the slab's last range.
            if (end_ - pos_ >= len_ + len_ / 2) {
                const size_t from = pos_ + len_ - 1;
                const size_t to = end_ - kRangeMargin;
                if (from < to) {
                    if (const void* nl = std::memchr(slab_->data() + from, '\n', to - from)) {
                        const size_t cut = static_cast<size_t>(static_cast<const uint8_t*>(nl) - slab_->data()) + 1;
                        const uint8_t* after = slab_->data() + cut;
                        return std::optional<Range>(take(cut, std::vector<uint8_t>(after, after + kRangeMargin)));
                    }
                }
            }
            if (std::optional<Range> r = take_rest()) return r;
        }
    }

private:
    // The rest of the slab as its last range, the bytes after its last
    // newline going ahead of the next slab's; nothing when all of them go.
    std::optional<Range> take_rest() {
        HandedResult got = ended_ ? HandedResult(std::optional<HandedBuffer>()) : fetch();
        if (!got || !*got) {
            // The input ends here (a failure loses the buffer that failed).
            if (!got) failed_ = std::move(got.error());
            ended_ = true;
            std::optional<Range> last;
            if (end_ > pos_) last = take(end_, {});
            slab_.reset();
            return last;
        }
        HandedBuffer& b = **got;
        const uint8_t* d = slab_->data();
        const void* nl = memrchr(d + pos_, '\n', end_ - pos_);
        size_t keep = nl ? static_cast<size_t>(static_cast<const uint8_t*>(nl) - d) + 1 : pos_;
        if (end_ - keep > b.at) keep = end_;  // no room: cut inside the record
        const size_t carried = end_ - keep;
        std::memcpy(b.bytes.data() + b.at - carried, d + keep, carried);
        const size_t next_from = b.at - carried;
        const size_t next_end = b.at + b.len;
        auto next = std::make_shared<const Slab>(std::move(b.bytes), pool_);
        std::optional<Range> r;
        if (keep > pos_) {
            const uint8_t* after = next->data() + next_from;
            std::vector<uint8_t> margin(after, after + std::min(kRangeMargin, next_end - next_from));
            fill_margin(margin);
            r = take(keep, std::move(margin));
        }
        slab_ = std::move(next);
        pos_ = next_from;
        end_ = next_end;
        return r;
    }

    // The range of the slab from pos_ to `to`, with `after` as its margin.
    Range take(size_t to, std::vector<uint8_t> after) {
        const size_t n = to - pos_;
        auto bytes = std::make_shared<RangeBytes>();
        bytes->slab = slab_;
        bytes->bytes = ByteView(slab_->data() + pos_, n);
        bytes->before = tail_;
        bytes->after = std::move(after);
        // The last kRangeMargin bytes of the input so far, whatever the
        // lengths of the ranges.
        const ByteView last = bytes->bytes.last(std::min(kRangeMargin, n));
        tail_.insert(tail_.end(), last.begin(), last.end());
        if (tail_.size() > kRangeMargin) tail_.erase(tail_.begin(), tail_.end() - static_cast<std::ptrdiff_t>(kRangeMargin));
        Range r{count_++, at_, at_ + n, std::move(bytes)};
        at_ += n;
        pos_ = to;
        return r;
    }

    // The next slab: one read ahead for a margin, else a new one.
    HandedResult fetch() {
        if (!ahead_.empty()) {
            HandedResult got = std::move(ahead_.front());
            ahead_.pop_front();
            return got;
        }
        return read_slab();
    }

    HandedResult read_slab() {
        if (handed_) return source_.next_handed(pool_->take());
        return gather();
    }

    // A margin shorter than kRangeMargin though the input goes on (the slab
    // after the range is shorter, as a source's buffers of a few bytes make
    // it) takes the rest from the slabs after it, read ahead for it.
    void fill_margin(std::vector<uint8_t>& margin) {
        for (size_t i = 0; margin.size() < kRangeMargin; ++i) {
            if (i == ahead_.size()) ahead_.push_back(read_slab());
            const HandedResult& got = ahead_[i];
            if (!got || !*got) return;
            const HandedBuffer& b = **got;
            const size_t n = std::min(kRangeMargin - margin.size(), b.len);
            const auto from = b.bytes.begin() + static_cast<std::ptrdiff_t>(b.at);
            margin.insert(margin.end(), from, from + static_cast<std::ptrdiff_t>(n));
        }
    }

    // The source's buffers copied into a pool buffer, after room for the
    // bytes a slab carries over, until it holds four range lengths (and at
    // least a margin, so the range before it gets its margin from it); what
    // was read before a failure comes first, the failure with the next call.
    HandedResult gather() {
        if (gather_failed_) return make_err(std::move(*std::exchange(gather_failed_, std::nullopt)));
        std::vector<uint8_t> buffer = pool_->take();
        size_t len = 0;
        while (!gather_ended_ && len < std::max(4 * len_, kRangeMargin)) {
            BufferResult b = source_.next_buffer();
            if (!b) {
                if (len == 0) return make_err(std::move(b.error()));
                gather_failed_ = std::move(b.error());
                break;
            }
            if (!*b) {
                gather_ended_ = true;
                break;
            }
            const ByteView bytes = **b;
            if (buffer.size() < kGatherRoom + len + bytes.size()) buffer.resize(kGatherRoom + len + bytes.size());
            std::memcpy(buffer.data() + kGatherRoom + len, bytes.data(), bytes.size());
            len += bytes.size();
        }
        if (len == 0) return std::optional<HandedBuffer>();
        return std::optional<HandedBuffer>(HandedBuffer{std::move(buffer), kGatherRoom, len});
    }

    // The room ahead of a gathered slab's bytes.
    static constexpr size_t kGatherRoom = 65536;

    Source& source_;
    size_t len_;
    bool handed_;
    std::shared_ptr<SlabPool> pool_;
    std::shared_ptr<const Slab> slab_;  // the slab being cut
    size_t pos_ = 0;  // where the next range starts in the slab
    size_t end_ = 0;  // where the slab's bytes end
    uint64_t at_ = 0;  // the input offset of pos_
    size_t count_ = 0;
    std::vector<uint8_t> tail_;
    bool ended_ = false;
    std::optional<IoError> failed_;
    bool gather_ended_ = false;
    std::optional<IoError> gather_failed_;
    std::deque<HandedResult> ahead_;  // slabs read for a margin, not cut yet
};

}  // namespace

std::unique_ptr<RangeCutter> cut_ranges(Source& source, uint64_t range_len) {
    if (const MappedFile* file = source.mapped_file()) return std::make_unique<FileCutter>(*file, range_len);
    return std::make_unique<SequentialCutter>(source, range_len);
}

std::optional<Range> RangeFeed::next() {
    if (done_) return std::nullopt;
    auto r = cutter_->next();
    if (!r) {
        error_ = std::move(r.error());
        done_ = true;
        return std::nullopt;
    }
    if (!*r) {
        done_ = true;
        return std::nullopt;
    }
    ++count_;
    end_ = (*r)->end;
    return std::move(*r);
}

}  // namespace jorvane::run
