// FuzzInput: the choices a fuzz target makes, read from the front of the
// fuzzer's bytes, leaving the rest as the data the target works on (a query
// text, a document, compressed bytes). Past the end every choice reads as 0,
// so every input, however short, is a valid run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace jorvane::fuzz {

class FuzzInput {
public:
    explicit FuzzInput(std::span<const uint8_t> data) : data_(data) {}

    uint8_t byte() { return pos_ < data_.size() ? data_[pos_++] : 0; }
    uint16_t u16() {
        const uint16_t lo = byte();
        return static_cast<uint16_t>(lo | (uint16_t{byte()} << 8));
    }
    // A value in [0, n) for n >= 1 (from one byte when n <= 256).
    size_t below(size_t n) { return n <= 256 ? byte() % n : u16() % n; }
    bool flag() { return byte() & 1; }
    // A piece of up to `max` bytes, its length read first.
    std::string_view text(size_t max) {
        const size_t n = below(max + 1);
        return as_text(take(n));
    }
    // The next `n` bytes (fewer at the end).
    std::span<const uint8_t> take(size_t n) {
        const size_t k = n < data_.size() - pos_ ? n : data_.size() - pos_;
        std::span<const uint8_t> out = data_.subspan(pos_, k);
        pos_ += k;
        return out;
    }
    // Everything not read yet.
    std::span<const uint8_t> rest() { return take(data_.size() - pos_); }

    static std::string_view as_text(std::span<const uint8_t> bytes) {
        return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
    }

private:
    std::span<const uint8_t> data_;
    size_t pos_ = 0;
};

}  // namespace jorvane::fuzz
