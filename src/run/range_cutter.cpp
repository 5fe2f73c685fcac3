// A file's cut is found by probing the file for a newline from a range
// length on, a window at a time; sequential input's in the bytes read so far.
#include "run/range_cutter.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "source/mapped_file.h"

namespace jorvane::run {
namespace {

constexpr uint64_t kNewlineProbe = 65536;

class FileCutter final : public RangeCutter {
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

// Reads sequential input (a decoder on its own thread, say) on the calling thread
// and copies it into ranges. A range runs on to the next newline, but never
// past four range lengths: a cut inside a record is only slower (the merge
// finds it out and reads on with one engine).
class SequentialCutter final : public RangeCutter {
public:
    SequentialCutter(Source& source, uint64_t range_len) : source_(source), len_(std::max<uint64_t>(range_len, 1)) {}

    Result<std::optional<Range>, IoError> next() override {
        for (;;) {
            const size_t cut = find_cut();
            if (cut != 0 && (eof_ || held() >= cut + kRangeMargin)) return take(cut);
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
        auto copy = std::make_shared<RangeBytes>();
        const auto at = pending_.begin() + static_cast<std::ptrdiff_t>(head_);
        copy->before = tail_;
        copy->bytes.assign(at, at + static_cast<std::ptrdiff_t>(n));
        const size_t after = std::min(kRangeMargin, held() - n);
        copy->after.assign(at + static_cast<std::ptrdiff_t>(n), at + static_cast<std::ptrdiff_t>(n + after));
        // The last kRangeMargin bytes of the input so far, whatever the lengths
        // of the ranges.
        tail_.insert(tail_.end(), copy->bytes.end() - static_cast<std::ptrdiff_t>(std::min(kRangeMargin, n)),
                     copy->bytes.end());
        if (tail_.size() > kRangeMargin) tail_.erase(tail_.begin(), tail_.end() - static_cast<std::ptrdiff_t>(kRangeMargin));
        head_ += n;
        Range r{count_++, at_, at_ + n, std::move(copy)};
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

}  // namespace

std::unique_ptr<RangeCutter> cut_ranges(Source& source, uint64_t range_len) {
    if (const MappedFile* file = source.mapped_file()) return std::make_unique<FileCutter>(*file, range_len);
    return std::make_unique<SequentialCutter>(source, range_len);
}

}  // namespace jorvane::run
