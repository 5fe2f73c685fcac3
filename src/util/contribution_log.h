// ContributionLog: the numbers a floating-point running figure took, in the
// order it took them, so that the same steps can be taken again later onto
// another running figure.
//
// Floating-point addition and multiplication round at every step, so a sum
// or a product over a sequence depends on where it started and on the order
// of the steps. When one scan is cut into ranges that separate engines fold
// at once, a range's own figure starts from nothing instead of from the
// figure of everything before it, and adding the ranges' figures would not
// give the one-scan figure. Each range therefore logs the numbers it folded;
// the merge replays the logs in range order onto the one running figure,
// taking exactly the steps one scan takes, so the result is the same bit for
// bit. A range is bounded, so its log is too.
//
// The log is a byte string. Most numbers in JSON data are integers: one
// below 2^53 in magnitude (so exact in a double) takes a variable-length
// integer of one to eight bytes (seven bits a byte, zigzag for the sign, the
// lowest bit clear); every other double (a fraction, a larger or tiny
// magnitude, -0, an infinity, NaN) a marker byte (1) and its eight bytes.
// Appending costs a few instructions and no allocation but when the byte
// string grows.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace jorvane {

class ContributionLog {
public:
    // Appends `x`.
    void add(double x) {
        if (used_ + kMaxEntry > bytes_.size()) grow();
        uint8_t* out = bytes_.data() + used_;
        if (std::fabs(x) < kIntegerLimit && x == std::trunc(x) && !(x == 0.0 && std::signbit(x))) {
            const int64_t n = static_cast<int64_t>(x);
            uint64_t v = ((static_cast<uint64_t>(n) << 1) ^ static_cast<uint64_t>(n >> 63)) << 1;
            while (v >= 0x80) {
                *out++ = static_cast<uint8_t>(v | 0x80);
                v >>= 7;
            }
            *out++ = static_cast<uint8_t>(v);
        } else {
            *out++ = kRawDouble;
            std::memcpy(out, &x, sizeof x);
            out += sizeof x;
        }
        used_ = static_cast<size_t>(out - bytes_.data());
        ++count_;
    }

    // The numbers logged.
    uint64_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    // The bytes the entries take.
    size_t bytes() const { return used_; }
    // Forgets the entries, keeping the memory.
    void clear() {
        used_ = 0;
        count_ = 0;
    }

    // `total` plus every logged number in order, one rounding a step, as a
    // running sum that went on from `total` would have added them.
    double add_onto(double total) const;
    // `total` times every logged number in order, likewise.
    double multiply_onto(double total) const;
    // Calls `f` with every logged number in order.
    template <class F>
    void for_each(F&& f) const {
        const uint8_t* p = bytes_.data();
        const uint8_t* end = p + used_;
        while (p < end) f(next(p));
    }

private:
    static constexpr double kIntegerLimit = 9007199254740992.0;  // 2^53
    static constexpr uint8_t kRawDouble = 1;
    // The longest entry: a varint of 55 bits takes eight bytes, a raw double nine.
    static constexpr size_t kMaxEntry = 9;

    // The entry at `p`, moving `p` past it.
    static double next(const uint8_t*& p) {
        if (*p == kRawDouble) {
            double x;
            std::memcpy(&x, p + 1, sizeof x);
            p += 1 + sizeof x;
            return x;
        }
        uint64_t v = 0;
        unsigned shift = 0;
        for (;;) {
            const uint8_t b = *p++;
            v |= static_cast<uint64_t>(b & 0x7f) << shift;
            if (b < 0x80) break;
            shift += 7;
        }
        v >>= 1;
        const int64_t n = static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1);
        return static_cast<double>(n);
    }

    void grow();

    std::vector<uint8_t> bytes_;  // entries in bytes_[0, used_); the rest is room
    size_t used_ = 0;
    uint64_t count_ = 0;
};

}  // namespace jorvane
