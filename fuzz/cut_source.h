// Helpers shared by the table_stream and ndjson_emitter targets: a source
// that hands out a document in buffers cut at chosen offsets, and the part of
// an error that must not depend on those cuts.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "run/jorvane_error.h"
#include "source/source.h"

namespace jorvane::fuzz {

// The document in buffers ending at each cut (taken modulo its size; repeats
// and 0 dropped), then the rest. Each buffer is a copy of its own exact size,
// so a read past it is caught by the sanitizer.
class CutSource final : public Source {
public:
    CutSource(std::string doc, std::vector<size_t> cuts) : doc_(std::move(doc)) {
        for (size_t& c : cuts) c = doc_.empty() ? 0 : c % doc_.size();
        cuts.push_back(doc_.size());
        std::sort(cuts.begin(), cuts.end());
        for (size_t c : cuts)
            if (c > 0 && (ends_.empty() || c > ends_.back())) ends_.push_back(c);
    }
    BufferResult next_buffer() override {
        if (next_ == ends_.size()) return std::optional<ByteView>();
        const size_t from = next_ == 0 ? 0 : ends_[next_ - 1];
        buffer_.assign(doc_.begin() + static_cast<ptrdiff_t>(from), doc_.begin() + static_cast<ptrdiff_t>(ends_[next_]));
        ++next_;
        return std::optional<ByteView>(ByteView(buffer_));
    }

private:
    std::string doc_;
    std::vector<size_t> ends_;
    std::vector<uint8_t> buffer_;
    size_t next_ = 0;
};

inline std::unique_ptr<Source> cut_source(std::string doc, std::vector<size_t> cuts) {
    return std::make_unique<CutSource>(std::move(doc), std::move(cuts));
}

// An error as cuts must leave it: its text, except that a malformed or
// truncated input is its kind and offset (the context shown is the text of
// the buffer that held it).
inline std::string error_key(const JorvaneError& e) {
    if (const Incomplete* r = e.record())
        return "parse error (" + r->kind.to_string() + ") at " + std::to_string(r->offset);
    return e.to_string();
}

}  // namespace jorvane::fuzz
