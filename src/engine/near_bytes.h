// NearBytes: the input around an error, put together from whatever pieces of
// the input a scan still holds. An error's context shows the bytes from 64
// before its offset to 64 from it on, wherever the buffers were cut: the
// buffer that held the error, the last bytes of the buffers before it, the
// text of a token carried across buffers, and (in the driving loop) the
// buffers after it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace jorvane::engine {

// How far an error's context reaches on either side of its offset.
inline constexpr uint64_t kNearReach = 64;

// Bytes of the input and the absolute offset of the first of them.
struct KnownBytes {
    uint64_t at = 0;
    std::span<const uint8_t> bytes;

    // The bytes of `text`, the first of them at absolute `at`.
    static KnownBytes of(uint64_t at, std::string_view text) {
        return {at, {reinterpret_cast<const uint8_t*>(text.data()), text.size()}};
    }
};

// A stretch of the input from absolute offset `at`.
struct NearBytes {
    uint64_t at = 0;
    std::string bytes;

    uint64_t end() const { return at + bytes.size(); }
    KnownBytes known() const { return KnownBytes::of(at, bytes); }
};

// The first offset and the end of the window an error at `offset` shows.
uint64_t near_begin(uint64_t offset);
uint64_t near_end(uint64_t offset);

// The input in [from, to) around `at` as far as `known` holds it without a
// gap: the bytes back from `at` and on from it, each run ending at the first
// byte that no piece holds.
NearBytes gather_around(uint64_t from, uint64_t at, uint64_t to, std::span<const KnownBytes> known);
// The window an error at `offset` shows, as far as `known` holds it.
NearBytes gather_near(uint64_t offset, std::span<const KnownBytes> known);

// N bytes held in 64-bit words. GCC takes a class with a byte array member,
// and every class that holds one, for untyped storage that a store of any
// type may change: held as bytes in the engine's scan state, these had the
// whole walk compiled under that assumption, into code no longer than before
// but measurably slower. In words the state keeps its type.
template <size_t N>
class WordBytes {
public:
    uint8_t* data() { return reinterpret_cast<uint8_t*>(words_.data()); }
    const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(words_.data()); }

private:
    std::array<uint64_t, (N + 7) / 8> words_{};
};

// The last bytes of the input before a point (up to 128), kept from buffer
// to buffer: the context of an error early in a buffer, or at a token that
// began just before it, reaches back into them.
class RecentBytes {
public:
    static constexpr size_t kKept = 2 * kNearReach;

    // `bytes` follow the ones kept.
    void push(std::span<const uint8_t> bytes);
    void clear() { len_ = 0; }
    // The kept bytes, the last of them just before `end`.
    KnownBytes before(uint64_t end) const;

private:
    WordBytes<kKept> bytes_;
    size_t len_ = 0;
};

// The bytes before a token that a buffer's end cut, and the token's first
// byte: the token's own bytes are kept for the walk, and these complete the
// context of an error about it however long ago it began.
class TokenLead {
public:
    // The token begins at position `p` of `buffer`, whose first byte is at
    // absolute `buffer_offset`; `recent` ends where the buffer begins.
    void keep(const RecentBytes& recent, uint64_t buffer_offset, std::span<const uint8_t> buffer, size_t p);
    void clear() { len_ = 0; }
    KnownBytes known() const { return {at_, {bytes_.data(), len_}}; }

private:
    WordBytes<kNearReach + 1> bytes_;
    size_t len_ = 0;
    uint64_t at_ = 0;
};

}  // namespace jorvane::engine
