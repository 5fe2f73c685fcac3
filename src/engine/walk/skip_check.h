// The check of a skipped container whose text is kept (raw capture).
//
// Such a container is skipped like any other, by counting brackets, but its
// text becomes output, so it must fail exactly where its value would: the
// walk refuses a malformed number (in a capture), a byte that begins no
// token, and a close of the other kind. The skipped structural positions of
// each chunk are therefore looked at once more, through masks of the chunk's
// bytes (64 at a time with the instruction set's byte tests; one by one in a
// buffer's last, partial chunk):
// - a quote (also a string's closing quote, always the position after its
//   opening one), ':', ',' and the atoms true, false and null need nothing;
// - a bracket's kind goes on a stack of bits, or is compared with the
//   innermost open one;
// - a number atom covers the bytes up to the next position; all of a chunk's
//   numbers are judged at once from the masks (plain_numbers), and only when
//   that fails is each read byte by byte, as is one that runs on into a
//   later chunk or buffer;
// - any other byte is an error.
// The first error of a chunk is recorded first, as the walk would meet it.
//
// Included by walk_chunk.h only: compiled once per instruction set.
#pragma once

#include <bit>
#include <cstdint>
#include <cstddef>
#include <string_view>

#if defined(__AVX512BW__) || defined(__AVX2__) || defined(__SSE2__)
#include <immintrin.h>
#elif defined(__aarch64__) && defined(__ARM_NEON)
#include <arm_neon.h>
#endif

#include "classification_kernel/kernel_core.h"
#include "engine/walk/scan_state.h"

namespace jorvane::engine::walk {
inline namespace JORVANE_KERNEL_ISA_NS {

// Bit k of each mask describes byte k of a chunk.
struct SkippedBytes {
    uint64_t passed = 0;   // '"' ':' ',' 't' 'f' 'n': nothing to check
    uint64_t numeric = 0;  // '-' or a digit: a number atom starts here
    uint64_t digit = 0;    // a digit
    uint64_t zero = 0;     // '0'
    uint64_t point = 0;    // '.'
    uint64_t exp = 0;      // 'e' or 'E'
    uint64_t plus = 0;     // '+'
    uint64_t space = 0;    // ' ' '\t' '\n' '\r'
    uint64_t curly = 0;    // bit 0x20 set: '{' '}' rather than '[' ']'
};

// The masks of the first `n` bytes (at most 64), one byte at a time.
inline SkippedBytes skipped_bytes_scalar(const uint8_t* chunk, size_t n) {
    SkippedBytes m;
    for (size_t k = 0; k < n; ++k) {
        const uint8_t b = chunk[k];
        const bool digit = static_cast<uint8_t>(b - '0') < 10;
        const auto bit = [k](bool on) { return uint64_t{on} << k; };
        m.passed |= bit(b == '"' || b == ':' || b == ',' || b == 't' || b == 'f' || b == 'n');
        m.numeric |= bit(digit || b == '-');
        m.digit |= bit(digit);
        m.zero |= bit(b == '0');
        m.point |= bit(b == '.');
        m.exp |= bit((b | 0x20) == 'e');
        m.plus |= bit(b == '+');
        m.space |= bit(b == ' ' || b == '\t' || b == '\n' || b == '\r');
        m.curly |= bit((b & 0x20) != 0);
    }
    return m;
}

// The classes of a byte as two nibble lookups ANDed (low nibble, high
// nibble), for the vector sets with a byte table lookup, in two tables of
// eight classes. Each class bit belongs to bytes of one high nibble, so that
// no other byte gets it; bytes from 0x80 up have a high-nibble entry of
// zero. First table: '"' ',' (bit 0), ':' (bit 3), 'f' 'n' (bit 4) and 't'
// (bit 5) are passed over; the digits (bit 1); '-' (bit 2); '0' (bit 6);
// '.' (bit 7). Second table: 'e' (bit 0), 'E' (bit 1), '+' (bit 2), ' '
// (bit 3), '\t' '\n' '\r' (bit 4).
inline constexpr uint8_t kSkipPassed = 0x39;
inline constexpr uint8_t kSkipDigit = 0x02;
inline constexpr uint8_t kSkipNumeric = 0x06;
inline constexpr uint8_t kSkipZero = 0x40;
inline constexpr uint8_t kSkipPoint = 0x80;
inline constexpr uint8_t kSkipExp = 0x03;
inline constexpr uint8_t kSkipPlus = 0x04;
inline constexpr uint8_t kSkipSpace = 0x18;
inline constexpr uint8_t kSkipLowTable[16] = {0x42, 0x02, 0x03, 0x02, 0x22, 0x02, 0x12, 0x02,
                                              0x02, 0x02, 0x08, 0,    0x01, 0x04, 0x90, 0};
inline constexpr uint8_t kSkipHighTable[16] = {0, 0, 0x85, 0x4A, 0, 0, 0x10, 0x20, 0, 0, 0, 0, 0, 0, 0, 0};
inline constexpr uint8_t kSkipLowTable2[16] = {0x08, 0, 0, 0, 0, 0x03, 0, 0, 0, 0x10, 0x10, 0x04, 0, 0x10, 0, 0};
inline constexpr uint8_t kSkipHighTable2[16] = {0x10, 0, 0x0C, 0, 0x02, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0};

// The tables repeated in every 16-byte lane of a vector, for the vector
// sets whose byte lookup works lane by lane.
inline constexpr auto kSkipLowLanes = classification_kernel::detail::repeat_lanes(kSkipLowTable);
inline constexpr auto kSkipHighLanes = classification_kernel::detail::repeat_lanes(kSkipHighTable);
inline constexpr auto kSkipLowLanes2 = classification_kernel::detail::repeat_lanes(kSkipLowTable2);
inline constexpr auto kSkipHighLanes2 = classification_kernel::detail::repeat_lanes(kSkipHighTable2);

// A byte repeated over a 64-byte vector, loaded rather than broadcast.
template <uint8_t B>
inline constexpr classification_kernel::detail::LaneTable kSkipSplat = [] {
    classification_kernel::detail::LaneTable t{};
    for (auto& b : t.bytes) b = B;
    return t;
}();

#if defined(__AVX512BW__)
#define JORVANE_SKIP_CHECK_VECTOR 1
inline SkippedBytes skipped_bytes(const uint8_t* chunk) {
    const auto load = [](const classification_kernel::detail::LaneTable& t) { return _mm512_load_si512(t.bytes); };
    const __m512i x = _mm512_loadu_si512(chunk);
    const __m512i high = _mm512_and_si512(_mm512_srli_epi16(x, 4), load(kSkipSplat<0x0F>));
    const auto classes = [&](const auto& low_lanes, const auto& high_lanes) {
        return _mm512_and_si512(_mm512_shuffle_epi8(load(low_lanes), x), _mm512_shuffle_epi8(load(high_lanes), high));
    };
    const __m512i cls = classes(kSkipLowLanes, kSkipHighLanes);
    const __m512i cls2 = classes(kSkipLowLanes2, kSkipHighLanes2);
    const auto has = [&](__m512i v, const classification_kernel::detail::LaneTable& bits) {
        return static_cast<uint64_t>(_mm512_test_epi8_mask(v, load(bits)));
    };
    SkippedBytes m;
    m.passed = has(cls, kSkipSplat<kSkipPassed>);
    m.digit = has(cls, kSkipSplat<kSkipDigit>);
    m.numeric = has(cls, kSkipSplat<kSkipNumeric>);
    m.zero = has(cls, kSkipSplat<kSkipZero>);
    m.point = has(cls, kSkipSplat<kSkipPoint>);
    m.exp = has(cls2, kSkipSplat<kSkipExp>);
    m.plus = has(cls2, kSkipSplat<kSkipPlus>);
    m.space = has(cls2, kSkipSplat<kSkipSpace>);
    m.curly = has(x, kSkipSplat<0x20>);
    return m;
}
#elif defined(__AVX2__)
#define JORVANE_SKIP_CHECK_VECTOR 1
inline SkippedBytes skipped_bytes(const uint8_t* chunk) {
    const auto load = [](const classification_kernel::detail::LaneTable& t) {
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(t.bytes));
    };
    const auto bits = [](__m256i v) { return uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(v))}; };
    SkippedBytes m;
    for (unsigned at = 0; at < 64; at += 32) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chunk + at));
        const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(x, 4), load(kSkipSplat<0x0F>));
        const auto classes = [&](const auto& low_lanes, const auto& high_lanes) {
            return _mm256_and_si256(_mm256_shuffle_epi8(load(low_lanes), x), _mm256_shuffle_epi8(load(high_lanes), hi));
        };
        const __m256i cls = classes(kSkipLowLanes, kSkipHighLanes);
        const __m256i cls2 = classes(kSkipLowLanes2, kSkipHighLanes2);
        const auto has = [&](__m256i v, const classification_kernel::detail::LaneTable& b) {
            const __m256i none = _mm256_cmpeq_epi8(_mm256_and_si256(v, load(b)), _mm256_setzero_si256());
            return ~bits(none) & 0xFFFFFFFFu;
        };
        m.passed |= has(cls, kSkipSplat<kSkipPassed>) << at;
        m.digit |= has(cls, kSkipSplat<kSkipDigit>) << at;
        m.numeric |= has(cls, kSkipSplat<kSkipNumeric>) << at;
        m.zero |= has(cls, kSkipSplat<kSkipZero>) << at;
        m.point |= bits(cls) << at;  // the top bit
        m.exp |= has(cls2, kSkipSplat<kSkipExp>) << at;
        m.plus |= has(cls2, kSkipSplat<kSkipPlus>) << at;
        m.space |= has(cls2, kSkipSplat<kSkipSpace>) << at;
        m.curly |= bits(_mm256_slli_epi16(x, 2)) << at;
    }
    return m;
}
#elif defined(__SSE2__)
#define JORVANE_SKIP_CHECK_VECTOR 1
inline SkippedBytes skipped_bytes(const uint8_t* chunk) {
    SkippedBytes m;
    for (unsigned at = 0; at < 64; at += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chunk + at));
        const auto eq = [&](char c) { return _mm_cmpeq_epi8(x, _mm_set1_epi8(c)); };
        const auto bits = [](__m128i v) { return uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(v))}; };
        __m128i passed = eq('"');
        for (const char c : {':', ',', 't', 'f', 'n'}) passed = _mm_or_si128(passed, eq(c));
        const __m128i d = _mm_sub_epi8(x, _mm_set1_epi8('0'));
        const __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d);
        const __m128i space = _mm_or_si128(_mm_or_si128(eq(' '), eq('\t')), _mm_or_si128(eq('\n'), eq('\r')));
        m.passed |= bits(passed) << at;
        m.digit |= bits(digit) << at;
        m.numeric |= bits(_mm_or_si128(digit, eq('-'))) << at;
        m.zero |= bits(eq('0')) << at;
        m.point |= bits(eq('.')) << at;
        m.exp |= bits(_mm_cmpeq_epi8(_mm_or_si128(x, _mm_set1_epi8(0x20)), _mm_set1_epi8('e'))) << at;
        m.plus |= bits(eq('+')) << at;
        m.space |= bits(space) << at;
        m.curly |= bits(_mm_slli_epi16(x, 2)) << at;
    }
    return m;
}
#elif defined(__aarch64__) && defined(__ARM_NEON)
#define JORVANE_SKIP_CHECK_VECTOR 1
// NEON gathers no bit per byte: each test keeps its byte's weight (1 to 128,
// repeating every eight bytes) and three pairwise additions leave one byte
// per eight bytes of the chunk.
inline SkippedBytes skipped_bytes(const uint8_t* chunk) {
    static constexpr uint8_t weights_bytes[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    const uint8x16_t weights = vld1q_u8(weights_bytes);
    const uint8x16_t low = vld1q_u8(kSkipLowTable);
    const uint8x16_t high = vld1q_u8(kSkipHighTable);
    uint8x16_t x[4], cls[4];
    for (int q = 0; q < 4; ++q) {
        x[q] = vld1q_u8(chunk + 16 * q);
        cls[q] = vandq_u8(vqtbl1q_u8(low, vandq_u8(x[q], vdupq_n_u8(0x0F))), vqtbl1q_u8(high, vshrq_n_u8(x[q], 4)));
    }
    const auto gather = [&](auto test) {
        uint8x16_t w[4];
        for (int q = 0; q < 4; ++q) w[q] = vandq_u8(test(q), weights);
        const uint8x16_t folded = vpaddq_u8(vpaddq_u8(w[0], w[1]), vpaddq_u8(w[2], w[3]));
        return vgetq_lane_u64(vreinterpretq_u64_u8(vpaddq_u8(folded, folded)), 0);
    };
    const auto has = [&](uint8_t b) { return gather([&](int q) { return vtstq_u8(cls[q], vdupq_n_u8(b)); }); };
    const auto eq = [&](uint8_t c) { return gather([&](int q) { return vceqq_u8(x[q], vdupq_n_u8(c)); }); };
    SkippedBytes m;
    m.passed = has(kSkipPassed);
    m.digit = has(kSkipDigit);
    m.numeric = has(kSkipNumeric);
    m.zero = has(kSkipZero);
    m.point = has(kSkipPoint);
    m.exp = gather([&](int q) { return vceqq_u8(vorrq_u8(x[q], vdupq_n_u8(0x20)), vdupq_n_u8('e')); });
    m.plus = eq('+');
    m.space = eq(' ') | eq('\t') | eq('\n') | eq('\r');
    m.curly = gather([&](int q) { return vtstq_u8(x[q], vdupq_n_u8(0x20)); });
    return m;
}
#endif

// Whether every number atom starting at `starts` (each ending at a later
// position of `positions` in this chunk) is a JSON number, judged for all of
// them at once from the masks. Each number covers the bytes from its start
// up to the next position (trailing white space aside); a borrow from that
// next position marks them all. In them: an optional '-' at the start, an
// integer part without a leading zero, an optional fraction ('.' and
// digits), an optional exponent ('e' or 'E', maybe a sign, digits), nothing
// else. Digit runs are followed by adding their first bits: the carry stops
// at the byte after each run, which must be what may follow that part.
// False also when two numbers follow each other without another position
// between (then each is read on its own).
inline bool plain_numbers(const SkippedBytes& m, uint64_t positions, uint64_t starts) {
    const uint64_t others = positions & ~starts;
    const uint64_t spans = (others - starts) & ~others;
    if ((spans & ~(spans << 1)) != starts) return false;
    const uint64_t digit = m.digit;
    const uint64_t core = spans & ~m.space;
    const uint64_t lead = starts & ~digit;  // '-'
    const uint64_t whole = (starts & digit) | (lead << 1);
    const uint64_t exps = core & m.exp;
    const uint64_t signs = core & ((m.numeric & ~digit) | m.plus) & (exps << 1);
    const uint64_t points = core & m.point;
    const uint64_t exp_digits = ((exps << 1) & ~signs) | (signs << 1);
    uint64_t bad = core & ~digit & ~(lead | points | exps | signs);
    bad |= whole & ~digit;
    bad |= whole & m.zero & (digit >> 1);
    bad |= ((points << 1) | exp_digits) & ~digit;
    bad |= (exps >> 1) & ~digit;
    bad |= (digit + whole) & ~digit & core & ~(points | exps);
    bad |= (digit + (points << 1)) & ~digit & core & ~exps;
    bad |= (digit + exp_digits) & ~digit & core;
    return bad == 0;
}

// Checks the skipped positions `positions` of the chunk under cursor `c`
// (all inside the container being skipped; the last may be its own close).
[[gnu::noinline]] inline void check_skipped(ScanState& e, const ChunkCursor& c, uint64_t positions, const uint8_t* buf,
                                            size_t len) {
    if (positions == 0) return;
    SkipCheck& s = e.skip_check;
    const uint64_t base = c.base;
    const uint8_t* const chunk = buf + base;
    const auto text = [buf](uint64_t from, uint64_t to) {
        return std::string_view(reinterpret_cast<const char*>(buf) + from, static_cast<size_t>(to - from));
    };
    if (s.number_open) {
        // The first position ends a number atom begun before it.
        e.end_skipped_number(text(s.number_from, base + static_cast<unsigned>(std::countr_zero(positions))));
    }
#if defined(JORVANE_SKIP_CHECK_VECTOR)
    const SkippedBytes m = base + 64 <= len ? skipped_bytes(chunk) : skipped_bytes_scalar(chunk, len - base);
#else
    const SkippedBytes m = skipped_bytes_scalar(chunk, base + 64 <= len ? 64 : len - base);
#endif
    const uint64_t brackets = positions & (c.openers | c.closers);
    // Containers: the kinds of those opened inside are stacked; the skipped
    // container's own close is the walk's.
    unsigned mismatch = 64;
    if (brackets != 0) {
        uint64_t kinds = s.kinds;
        uint32_t count = s.kind_count;
        for (uint64_t rest = brackets; rest != 0; rest &= rest - 1) {
            const unsigned k = static_cast<unsigned>(std::countr_zero(rest));
            const uint64_t curly = (m.curly >> k) & 1;
            const bool opens = (c.openers >> k) & 1;
            if (count == (opens ? 64u : 0u)) [[unlikely]] {
                // A full word goes to (or comes back from) the deeper ones;
                // a close with none open is the skipped container's own.
                if (opens) {
                    s.deeper_kinds.push_back(kinds);
                    count = 0;
                } else if (s.deeper_kinds.empty()) {
                    continue;
                } else {
                    kinds = s.deeper_kinds.back();
                    s.deeper_kinds.pop_back();
                    count = 64;
                }
            }
            const bool bad = !opens & ((kinds & 1) != curly) & (mismatch == 64);
            mismatch = bad ? k : mismatch;
            kinds = opens ? (kinds << 1) | curly : kinds >> 1;
            count = opens ? count + 1 : count - 1;
        }
        s.kinds = kinds;
        s.kind_count = count;
    }
    // Numbers: all of them at once; when that fails (a malformed one), each
    // on its own. The last may run on into a later chunk.
    if (const uint64_t starts = positions & m.numeric; starts != 0) {
        const unsigned last = 63 - static_cast<unsigned>(std::countl_zero(starts));
        const bool runs_on = last == 63 || (positions >> (last + 1)) == 0;
        const uint64_t ended = runs_on ? starts & ~(uint64_t{1} << last) : starts;
        if (ended != 0 && !plain_numbers(m, positions, ended)) [[unlikely]] {
            for (uint64_t rest = ended; rest != 0; rest &= rest - 1) {
                const unsigned k = static_cast<unsigned>(std::countr_zero(rest));
                const unsigned end = static_cast<unsigned>(std::countr_zero(positions & (~uint64_t{0} << (k + 1))));
                s.number_offset = e.stream_offset + base + k;
                e.end_skipped_number(text(base + k, base + end));
            }
        }
        if (runs_on) {
            s.number_open = true;
            s.number_from = base + last;
            s.number_offset = e.stream_offset + base + last;
        }
    }
    const uint64_t stray = positions & ~(m.passed | m.numeric | brackets);
    const unsigned first_stray = stray != 0 ? static_cast<unsigned>(std::countr_zero(stray)) : 64;
    if (first_stray < mismatch) {
        e.record_corruption(ParseErrorKind::unexpected_structural_byte(chunk[first_stray]), base + first_stray);
    } else if (mismatch < 64) {
        e.record_corruption(ParseErrorKind::mismatched_close(chunk[mismatch]), base + mismatch);
    }
}

}  // namespace JORVANE_KERNEL_ISA_NS
}  // namespace jorvane::engine::walk
