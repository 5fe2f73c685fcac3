// The check of a skipped container whose text is kept (raw capture).
//
// Such a container is skipped like any other, by counting brackets, but its
// text becomes output, so it must fail exactly where its value would: the
// walk refuses a token its container does not take (a missing or extra comma
// or colon, a key that is not a string), a byte that begins no token, a
// close of the other kind, an open that nests the kept value past the
// container limit, and, in a capture, an atom or a string escape that a
// strict reader refuses. The skipped structural positions of each chunk are
// therefore looked at once more, with the grammar position of the innermost
// container open inside the skipped one (a frame state) and the kinds of the
// open containers on a stack of bits. The chunk's bytes are read through
// masks (64 at a time with the instruction set's byte tests; one by one in a
// buffer's last, partial chunk):
// - the grammar is read from the masks at once for a chunk without a
//   backslash (skipped_grammar), and position by position for the others,
//   or where the masks find a fault, so that the first one is named;
// - a string covers its opening quote and the next position, its closing
//   quote; its bytes are read for escapes only in a chunk with a backslash
//   (or while an escape from an earlier chunk is still due);
// - a number atom covers the bytes up to the next position; all of a chunk's
//   numbers are judged at once from the masks (plain_numbers), and only when
//   that fails is each read byte by byte, as is one that runs on into a
//   later chunk or buffer; true, false and null are read one by one.
// The first error of a chunk, be it of the grammar, a byte, a close, or a
// refused atom or escape (noted in the captures, as the walk notes it), is
// recorded at the end of the chunk, as the walk would have met it first.
//
// Included by walk_chunk.h only: compiled once per instruction set.
#pragma once

#include <array>
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
#include "util/json_escape.h"

namespace jorvane::engine::walk {
inline namespace JORVANE_KERNEL_ISA_NS {

// Bit k of each mask describes byte k of a chunk.
struct SkippedBytes {
    uint64_t numeric = 0;    // '-' or a digit: a number atom starts here
    uint64_t digit = 0;      // a digit
    uint64_t zero = 0;       // '0'
    uint64_t point = 0;      // '.'
    uint64_t exp = 0;        // 'e' or 'E'
    uint64_t plus = 0;       // '+'
    uint64_t space = 0;      // ' ' '\t' '\n' '\r'
    uint64_t backslash = 0;  // '\\'
    uint64_t quote = 0;      // '"'
    uint64_t comma = 0;      // ','
    uint64_t colon = 0;      // ':'
    uint64_t literal = 0;    // 't' 'f' 'n': true, false or null starts here
};

// The masks of the first `n` bytes (at most 64), one byte at a time.
inline SkippedBytes skipped_bytes_scalar(const uint8_t* chunk, size_t n) {
    SkippedBytes m;
    for (size_t k = 0; k < n; ++k) {
        const uint8_t b = chunk[k];
        const bool digit = static_cast<uint8_t>(b - '0') < 10;
        const auto bit = [k](bool on) { return uint64_t{on} << k; };
        m.numeric |= bit(digit || b == '-');
        m.digit |= bit(digit);
        m.zero |= bit(b == '0');
        m.point |= bit(b == '.');
        m.exp |= bit((b | 0x20) == 'e');
        m.plus |= bit(b == '+');
        m.space |= bit(b == ' ' || b == '\t' || b == '\n' || b == '\r');
        m.backslash |= bit(b == '\\');
        m.quote |= bit(b == '"');
        m.comma |= bit(b == ',');
        m.colon |= bit(b == ':');
        m.literal |= bit(b == 't' || b == 'f' || b == 'n');
    }
    return m;
}

// The classes of a byte as two nibble lookups ANDed (low nibble, high
// nibble), for the vector sets with a byte table lookup, in two tables of
// eight classes. Each class bit belongs to bytes of one high nibble, so that
// no other byte gets it; bytes from 0x80 up have a high-nibble entry of
// zero. First table: '"' ',' (bit 0, unused); the digits (bit 1); '-' (bit
// 2); ':' (bit 3); 'f' 'n' (bit 4); 't' (bit 5); '0' (bit 6); '.' (bit 7).
// Second table: 'e' (bit 0), 'E' (bit 1), '+' (bit 2), ' ' (bit 3), '\t'
// '\n' '\r' (bit 4), '\\' (bit 5), '"' (bit 6), ',' (bit 7).
inline constexpr uint8_t kSkipDigit = 0x02;
inline constexpr uint8_t kSkipNumeric = 0x06;
inline constexpr uint8_t kSkipZero = 0x40;
inline constexpr uint8_t kSkipPoint = 0x80;
inline constexpr uint8_t kSkipExp = 0x03;
inline constexpr uint8_t kSkipPlus = 0x04;
inline constexpr uint8_t kSkipSpace = 0x18;
inline constexpr uint8_t kSkipBackslash = 0x20;
inline constexpr uint8_t kSkipQuote = 0x40;
inline constexpr uint8_t kSkipComma = 0x80;
inline constexpr uint8_t kSkipColon = 0x08;
inline constexpr uint8_t kSkipLiteral = 0x30;
inline constexpr uint8_t kSkipLowTable[16] = {0x42, 0x02, 0x03, 0x02, 0x22, 0x02, 0x12, 0x02,
                                              0x02, 0x02, 0x08, 0,    0x01, 0x04, 0x90, 0};
inline constexpr uint8_t kSkipHighTable[16] = {0, 0, 0x85, 0x4A, 0, 0, 0x10, 0x20, 0, 0, 0, 0, 0, 0, 0, 0};
inline constexpr uint8_t kSkipLowTable2[16] = {0x08, 0, 0x40, 0, 0, 0x03, 0, 0, 0, 0x10, 0x10, 0x04, 0xA0, 0x10, 0, 0};
inline constexpr uint8_t kSkipHighTable2[16] = {0x10, 0, 0xCC, 0, 0x02, 0x20, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0};

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
    m.digit = has(cls, kSkipSplat<kSkipDigit>);
    m.numeric = has(cls, kSkipSplat<kSkipNumeric>);
    m.zero = has(cls, kSkipSplat<kSkipZero>);
    m.point = has(cls, kSkipSplat<kSkipPoint>);
    m.exp = has(cls2, kSkipSplat<kSkipExp>);
    m.plus = has(cls2, kSkipSplat<kSkipPlus>);
    m.space = has(cls2, kSkipSplat<kSkipSpace>);
    m.backslash = has(cls2, kSkipSplat<kSkipBackslash>);
    m.quote = has(cls2, kSkipSplat<kSkipQuote>);
    m.comma = has(cls2, kSkipSplat<kSkipComma>);
    m.colon = has(cls, kSkipSplat<kSkipColon>);
    m.literal = has(cls, kSkipSplat<kSkipLiteral>);
    return m;
}
#elif defined(__AVX2__)
#define JORVANE_SKIP_CHECK_VECTOR 1
// Bit B of every byte of `v`, shifted into the byte's top bit and gathered.
template <int B>
inline uint64_t skipped_bit(__m256i v) {
    if constexpr (B == 7) return uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(v))};
    return uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_slli_epi16(v, 7 - B)))};
}
inline SkippedBytes skipped_bytes(const uint8_t* chunk) {
    const auto load = [](const classification_kernel::detail::LaneTable& t) {
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(t.bytes));
    };
    SkippedBytes m;
    for (unsigned at = 0; at < 64; at += 32) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chunk + at));
        const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(x, 4), load(kSkipSplat<0x0F>));
        const auto classes = [&](const auto& low_lanes, const auto& high_lanes) {
            return _mm256_and_si256(_mm256_shuffle_epi8(load(low_lanes), x), _mm256_shuffle_epi8(load(high_lanes), hi));
        };
        const __m256i cls = classes(kSkipLowLanes, kSkipHighLanes);
        const __m256i cls2 = classes(kSkipLowLanes2, kSkipHighLanes2);
        // Each class is one bit of a table (two bits for a few).
        const uint64_t digit = skipped_bit<1>(cls);
        m.digit |= digit << at;
        m.numeric |= (digit | skipped_bit<2>(cls)) << at;
        m.colon |= skipped_bit<3>(cls) << at;
        m.literal |= (skipped_bit<4>(cls) | skipped_bit<5>(cls)) << at;
        m.zero |= skipped_bit<6>(cls) << at;
        m.point |= skipped_bit<7>(cls) << at;
        m.exp |= (skipped_bit<0>(cls2) | skipped_bit<1>(cls2)) << at;
        m.plus |= skipped_bit<2>(cls2) << at;
        m.space |= (skipped_bit<3>(cls2) | skipped_bit<4>(cls2)) << at;
        m.backslash |= skipped_bit<5>(cls2) << at;
        m.quote |= skipped_bit<6>(cls2) << at;
        m.comma |= skipped_bit<7>(cls2) << at;
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
        const __m128i d = _mm_sub_epi8(x, _mm_set1_epi8('0'));
        const __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d);
        const __m128i space = _mm_or_si128(_mm_or_si128(eq(' '), eq('\t')), _mm_or_si128(eq('\n'), eq('\r')));
        m.digit |= bits(digit) << at;
        m.numeric |= bits(_mm_or_si128(digit, eq('-'))) << at;
        m.zero |= bits(eq('0')) << at;
        m.point |= bits(eq('.')) << at;
        m.exp |= bits(_mm_cmpeq_epi8(_mm_or_si128(x, _mm_set1_epi8(0x20)), _mm_set1_epi8('e'))) << at;
        m.plus |= bits(eq('+')) << at;
        m.space |= bits(space) << at;
        m.backslash |= bits(eq('\\')) << at;
        m.quote |= bits(eq('"')) << at;
        m.comma |= bits(eq(',')) << at;
        m.colon |= bits(eq(':')) << at;
        m.literal |= bits(_mm_or_si128(_mm_or_si128(eq('t'), eq('f')), eq('n'))) << at;
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
    m.digit = has(kSkipDigit);
    m.numeric = has(kSkipNumeric);
    m.zero = has(kSkipZero);
    m.point = has(kSkipPoint);
    m.exp = gather([&](int q) { return vceqq_u8(vorrq_u8(x[q], vdupq_n_u8(0x20)), vdupq_n_u8('e')); });
    m.plus = eq('+');
    m.space = eq(' ') | eq('\t') | eq('\n') | eq('\r');
    m.backslash = eq('\\');
    m.quote = eq('"');
    m.comma = eq(',');
    m.colon = has(kSkipColon);
    m.literal = has(kSkipLiteral);
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

// What a skipped structural position holds, by its byte.
enum class SkipToken : uint8_t { Other, Quote, Colon, Comma, Open, Close, Literal, Number };
inline constexpr std::array<SkipToken, 256> kSkipTokens = [] {
    std::array<SkipToken, 256> t{};
    t['"'] = SkipToken::Quote;
    t[':'] = SkipToken::Colon;
    t[','] = SkipToken::Comma;
    t['{'] = t['['] = SkipToken::Open;
    t['}'] = t[']'] = SkipToken::Close;
    t['t'] = t['f'] = t['n'] = SkipToken::Literal;
    t['-'] = SkipToken::Number;
    for (int c = '0'; c <= '9'; ++c) t[c] = SkipToken::Number;
    return t;
}();

// Bits `from` up to `to` (excluded) of a chunk mask, 0 <= from <= to <= 64.
inline uint64_t bits_between(unsigned from, unsigned to) {
    const uint64_t upto = to >= 64 ? ~uint64_t{0} : (uint64_t{1} << to) - 1;
    return from >= 64 ? 0 : upto & (~uint64_t{0} << from);
}

// The grammar position a skip check keeps between chunks (see SkipCheck).
struct SkipGrammar {
    FrameState state;
    uint64_t kinds;
    uint32_t count;
    bool obj;                     // the innermost container open is an object
    // The count at which an open is left to the walk position by position:
    // a full word of kinds, or the nesting limit.
    uint32_t open_limit = 64;
    bool string_runs_on = false;  // the last position opens a string
};

// The grammar of a chunk's skipped positions `rest` read all at once from
// the chunk's masks, for a chunk without a backslash: true when they follow
// the grammar from `g`, which then holds the position after them; false (`g`
// untouched) when some may not, or when the stack of kinds would need its
// deeper words or reach the nesting limit: the positions are then walked one
// by one, which names the first fault.
//
// next(K) is the position after each of K (a carry through the bytes that
// hold none). A quote after a quote closes a string, every other opens one,
// and the one after an opening quote must be its closing one. The kind of
// the innermost open container is known between brackets, so commas (and the
// strings after them) are told apart as an object's or an array's. Then every
// kind of token allows only certain tokens after it; the first position
// follows the state kept from the chunk before.
[[gnu::always_inline]] inline bool skipped_grammar(SkipGrammar& g, uint64_t rest, const SkippedBytes& m,
                                                   const ChunkCursor& c, const uint8_t* chunk, bool outer_is_object,
                                                   bool deeper) {
    const auto next = [rest](uint64_t k) { return (~rest + (k << 1)) & rest; };
    const uint64_t q = rest & m.quote, col = rest & m.colon, com = rest & m.comma;
    const uint64_t atoms = rest & (m.numeric | m.literal);
    const uint64_t brackets = rest & (c.openers | c.closers);
    if ((rest & ~(q | col | com | atoms | brackets)) != 0) return false;
    const uint64_t qo = q & ~next(q);
    if (next(qo) != (q & ~qo)) return false;
    // The brackets in order: kinds, and the object's stretches of the chunk.
    uint64_t kinds = g.kinds;
    uint32_t count = g.count;
    bool obj = g.obj;
    uint64_t objm = 0, oo = 0, oa = 0, cl = 0;
    unsigned from = 0;
    for (uint64_t r = brackets; r != 0; r &= r - 1) {
        const unsigned k = static_cast<unsigned>(std::countr_zero(r));
        if (obj) objm |= bits_between(from, k);
        from = k + 1;
        const uint64_t bit = uint64_t{1} << k;
        const bool curly = chunk[k] == '{' || chunk[k] == '}';
        if ((bit & c.openers) != 0) {
            if (count == g.open_limit) return false;
            (curly ? oo : oa) |= bit;
            obj = curly;
            kinds = (kinds << 1) | obj;
            ++count;
            continue;
        }
        cl |= bit;
        if (count == 0) {
            // The skipped container's own close, its last position (the
            // walk checks its kind; one of the other kind is walked one by
            // one, as is a close into the deeper words).
            if (deeper || (r & (r - 1)) != 0 || outer_is_object != curly) return false;
            from = 64;
        } else {
            if (obj != curly) return false;
            kinds >>= 1;
            --count;
            obj = count > 0 ? (kinds & 1) != 0 : outer_is_object;
        }
    }
    if (obj) objm |= bits_between(from, 64);
    const uint64_t first = rest & (0 - rest);
    const bool key_first = g.state == FrameState::KeyExpected || g.state == FrameState::ObjectStart;
    const uint64_t key_open = qo & (next(oo | (com & objm)) | (key_first ? first : 0));
    const uint64_t value_open = qo & ~key_open;
    const uint64_t key_close = next(key_open), value_close = next(value_open);
    const uint64_t starts = value_open | oo | oa | atoms;
    uint64_t bad = next(oo) & ~(qo | cl);
    bad |= next(oa) & ~(starts | cl);
    bad |= next(col) & ~starts;
    bad |= next(com & objm) & ~qo;
    bad |= next(com & ~objm) & ~starts;
    bad |= next(key_close) & ~col;
    bad |= next(value_close | atoms | cl) & ~(com | cl);
    uint64_t allowed = 0;
    switch (g.state) {
        case FrameState::ObjectStart: allowed = qo | cl; break;
        case FrameState::KeyExpected: allowed = qo; break;
        case FrameState::AfterKey: allowed = col; break;
        case FrameState::ValueExpected: allowed = starts; break;
        case FrameState::ArrayStart: allowed = starts | cl; break;
        case FrameState::AfterValue: allowed = com | cl; break;
    }
    if ((bad | (first & ~allowed)) != 0) return false;
    // The position after the last one.
    const uint64_t last = uint64_t{1} << (63 - std::countl_zero(rest));
    g.string_runs_on = (last & qo) != 0;
    if ((last & (key_open | key_close)) != 0) {
        g.state = FrameState::AfterKey;
    } else if ((last & (value_open | value_close | atoms | cl)) != 0) {
        g.state = FrameState::AfterValue;
    } else if ((last & col) != 0) {
        g.state = FrameState::ValueExpected;
    } else if ((last & com) != 0) {
        g.state = obj ? FrameState::KeyExpected : FrameState::ValueExpected;
    } else {
        g.state = (last & oo) != 0 ? FrameState::ObjectStart : FrameState::ArrayStart;
    }
    g.kinds = kinds;
    g.count = count;
    g.obj = obj;
    return true;
}

// Reads the escapes of string bytes from buffer position `from` up to `to`
// (within the chunk at `base`, whose backslashes are `backslash`), going on
// from what `s.escape` says is due. Returns the buffer position of the first
// byte refused (`to` when none, `bad` then unset) and leaves in `s.escape`
// what is due at `to`.
inline uint64_t read_escapes(SkipCheck& s, const uint8_t* buf, uint64_t base, uint64_t backslash, uint64_t from,
                             uint64_t to, uint8_t& bad) {
    uint64_t p = from;
    for (;;) {
        if (s.escape == SkipCheck::kEscapedByte) {
            if (p >= to) return to;
            const uint8_t b = buf[p];
            if (b == 'u') {
                s.escape = 4;
            } else if (short_escape(static_cast<char>(b))) {
                s.escape = 0;
            } else {
                bad = b;
                return p;
            }
            ++p;
        }
        for (; s.escape != 0; --s.escape, ++p) {
            if (p >= to) return to;
            const uint8_t b = buf[p];
            if (!((b >= '0' && b <= '9') || ((b | 0x20) >= 'a' && (b | 0x20) <= 'f'))) {
                bad = b;
                return p;
            }
        }
        const uint64_t rest = backslash & bits_between(static_cast<unsigned>(p - base), static_cast<unsigned>(to - base));
        if (rest == 0) return to;
        p = base + static_cast<unsigned>(std::countr_zero(rest)) + 1;
        s.escape = SkipCheck::kEscapedByte;
    }
}

// The text from buffer position `from` up to `to`, trailing white space dropped.
inline std::string_view skipped_atom(const uint8_t* buf, uint64_t from, uint64_t to) {
    while (to > from && (buf[to - 1] == ' ' || buf[to - 1] == '\t' || buf[to - 1] == '\n' || buf[to - 1] == '\r')) --to;
    return std::string_view(reinterpret_cast<const char*>(buf) + from, static_cast<size_t>(to - from));
}

// Checks the skipped positions `positions` of the chunk under cursor `c`
// (all inside the container being skipped; the last may be its own close).
[[gnu::noinline]] inline void check_skipped(ScanState& e, const ChunkCursor& c, uint64_t positions, const uint8_t* buf,
                                            size_t len) {
    SkipCheck& s = e.skip_check;
    if (positions == 0 && !s.quote_open) return;
    const uint64_t base = c.base;
    const uint8_t* const chunk = buf + base;
    const unsigned n = base + 64 <= len ? 64u : static_cast<unsigned>(len - base);
#if defined(JORVANE_SKIP_CHECK_VECTOR)
    const SkippedBytes m = n == 64 ? skipped_bytes(chunk) : skipped_bytes_scalar(chunk, n);
#else
    const SkippedBytes m = skipped_bytes_scalar(chunk, n);
#endif
    // The first refused atom or escape of the chunk, noted in the captures at
    // the end; grammar, byte and close errors are recorded at once.
    std::optional<MalformedValue> fault;
    const auto take = [&](std::optional<MalformedValue> f) {
        if (f && (!fault || f->offset < fault->offset)) fault = f;
    };
    const auto escape_fault_at = [&](uint8_t b, uint64_t pos) {
        take(MalformedValue{ParseErrorKind::invalid_escape(b), e.stream_offset + pos});
        s.escape = 0;
    };
    // The bytes of a string from `from` up to `to` (its closing quote, or
    // the chunk's end when it runs on).
    const auto string_bytes = [&](uint64_t from, uint64_t to) {
        if (s.escape == 0 && (m.backslash & bits_between(static_cast<unsigned>(from - base),
                                                         static_cast<unsigned>(to - base))) == 0) [[likely]]
            return;
        uint8_t bad = 0;
        const uint64_t at = read_escapes(s, buf, base, m.backslash, from, to, bad);
        if (at < to) escape_fault_at(bad, at);
    };

    uint64_t rest = positions;
    if (s.quote_open) {
        // A string from an earlier chunk: the first position is its closing quote.
        const uint64_t close = rest != 0 ? base + static_cast<unsigned>(std::countr_zero(rest)) : base + n;
        string_bytes(base, close);
        if (rest == 0) {
            if (fault) e.refuse_in_captures(*fault);
            return;
        }
        if (s.escape != 0) escape_fault_at('"', close);
        rest &= rest - 1;
        s.quote_open = false;
    } else if (s.atom_open) {
        // The first position ends an atom begun before it.
        take(e.end_skipped_atom(
            std::string_view(reinterpret_cast<const char*>(buf) + s.atom_from,
                             static_cast<size_t>(base + static_cast<unsigned>(std::countr_zero(rest)) - s.atom_from))));
    }
    // Numbers: all of them at once; when that fails (a malformed one), each
    // on its own. One that runs on into a later chunk is read when it ends.
    if (const uint64_t starts = rest & m.numeric; starts != 0) {
        const unsigned last = 63 - static_cast<unsigned>(std::countl_zero(starts));
        const bool runs_on = last == 63 || (positions >> (last + 1)) == 0;
        const uint64_t ended = runs_on ? starts & ~(uint64_t{1} << last) : starts;
        if (ended != 0 && !plain_numbers(m, positions, ended)) [[unlikely]] {
            for (uint64_t r = ended; r != 0; r &= r - 1) {
                const unsigned k = static_cast<unsigned>(std::countr_zero(r));
                const unsigned end = static_cast<unsigned>(std::countr_zero(positions & (~uint64_t{0} << (k + 1))));
                take(scalar_fault(false, skipped_atom(buf, base + k, base + end), e.stream_offset + base + k));
            }
        }
    }
    // The grammar: from the masks when the chunk allows it, else position by
    // position. Strings are read for escapes only in a chunk that holds a
    // backslash (or when one is due).
    const bool escapes = m.backslash != 0 || s.escape != 0;
    if (!escapes && rest != 0) {
        SkipGrammar g{s.state, s.kinds, s.kind_count, s.innermost_is_object()};
        const uint64_t words = uint64_t{64} * s.deeper_kinds.size();
        if (s.room < words + 64) [[unlikely]]
            g.open_limit = s.room > words ? static_cast<uint32_t>(s.room - words) : 0;
        if (skipped_grammar(g, rest, m, c, chunk, s.outer_is_object != 0, !s.deeper_kinds.empty())) [[likely]] {
            s.state = g.state;
            s.kinds = g.kinds;
            s.kind_count = g.count;
            const unsigned last = 63 - static_cast<unsigned>(std::countl_zero(rest));
            const uint64_t last_bit = uint64_t{1} << last;
            // true, false and null (numbers were judged above), each up to
            // the next position; one that runs on is read when it ends.
            const uint64_t literals = rest & m.literal;
            for (uint64_t r = literals & ~last_bit; r != 0; r &= r - 1) {
                const unsigned k = static_cast<unsigned>(std::countr_zero(r));
                const unsigned end = static_cast<unsigned>(std::countr_zero(rest & (~uint64_t{0} << (k + 1))));
                take(scalar_fault(false, skipped_atom(buf, base + k, base + end), e.stream_offset + base + k));
            }
            if ((last_bit & (m.literal | m.numeric)) != 0) {
                s.atom_open = true;
                s.atom_from = base + last;
                s.atom_offset = e.stream_offset + base + last;
            }
            s.quote_open = g.string_runs_on;
            if (fault) e.refuse_in_captures(*fault);
            return;
        }
    }
    FrameState st = s.state;
    uint64_t kinds = s.kinds;
    uint32_t count = s.kind_count;
    const auto innermost_is_object = [&] {
        if (count > 0) return (kinds & 1) != 0;
        return s.deeper_kinds.empty() ? s.outer_is_object != 0 : (s.deeper_kinds.back() & 1) != 0;
    };
    bool obj = innermost_is_object();
    // The first error of the grammar, a byte or a close: the walk stops there.
    std::optional<MalformedValue> broken;
    const auto stop = [&](ParseErrorKind kind, unsigned k) { broken = MalformedValue{kind, e.stream_offset + base + k}; };
    const auto misplaced = [&](unsigned k) {
        stop(ParseErrorKind::unexpected_token(expected_in(st, obj), chunk[k]), k);
    };
    while (rest != 0) {
        const unsigned k = static_cast<unsigned>(std::countr_zero(rest));
        rest &= rest - 1;
        const uint8_t b = chunk[k];
        switch (kSkipTokens[b]) {
            case SkipToken::Quote: {
                if (st == FrameState::KeyExpected || st == FrameState::ObjectStart) {
                    st = FrameState::AfterKey;
                } else if (takes(kTakesValue, st)) {
                    st = FrameState::AfterValue;
                } else {
                    misplaced(k);
                    goto done;
                }
                // Its closing quote is the next position.
                if (rest == 0) {
                    if (escapes) string_bytes(base + k + 1, base + n);
                    s.quote_open = true;
                    goto done;
                }
                if (escapes) [[unlikely]] {
                    const uint64_t close = base + static_cast<unsigned>(std::countr_zero(rest));
                    string_bytes(base + k + 1, close);
                    if (s.escape != 0) escape_fault_at('"', close);
                }
                rest &= rest - 1;
                break;
            }
            case SkipToken::Colon:
                if (st != FrameState::AfterKey) {
                    misplaced(k);
                    goto done;
                }
                st = FrameState::ValueExpected;
                break;
            case SkipToken::Comma:
                if (st != FrameState::AfterValue) {
                    misplaced(k);
                    goto done;
                }
                st = obj ? FrameState::KeyExpected : FrameState::ValueExpected;
                break;
            case SkipToken::Open:
                if (!takes(kTakesValue, st)) {
                    misplaced(k);
                    goto done;
                }
                if (uint64_t{64} * s.deeper_kinds.size() + count >= s.room) [[unlikely]] {
                    stop(ParseErrorKind::nesting_too_deep(), k);
                    goto done;
                }
                if (count == 64) [[unlikely]] {
                    // A full word goes to the deeper ones.
                    s.deeper_kinds.push_back(kinds);
                    kinds = 0;
                    count = 0;
                }
                obj = b == '{';
                kinds = (kinds << 1) | obj;
                ++count;
                st = obj ? FrameState::ObjectStart : FrameState::ArrayStart;
                break;
            case SkipToken::Close: {
                const bool curly = b == '}';
                if (count == 0 && s.deeper_kinds.empty()) {
                    // The skipped container's own close, its last position:
                    // the walk checks its kind, and only a close of the right
                    // kind is misplaced.
                    if (curly == (s.outer_is_object != 0) && !takes(kTakesClose, st)) misplaced(k);
                    goto done;
                }
                if (count == 0) {
                    kinds = s.deeper_kinds.back();
                    s.deeper_kinds.pop_back();
                    count = 64;
                }
                if (obj != curly) {
                    stop(ParseErrorKind::mismatched_close(b), k);
                    goto done;
                }
                if (!takes(kTakesClose, st)) {
                    misplaced(k);
                    goto done;
                }
                kinds >>= 1;
                --count;
                obj = innermost_is_object();
                st = FrameState::AfterValue;
                break;
            }
            case SkipToken::Literal:
            case SkipToken::Number:
                if (!takes(kTakesValue, st)) {
                    misplaced(k);
                    goto done;
                }
                st = FrameState::AfterValue;
                if (rest == 0) {
                    // It runs on into a later chunk.
                    s.atom_open = true;
                    s.atom_from = base + k;
                    s.atom_offset = e.stream_offset + base + k;
                } else if (kSkipTokens[b] == SkipToken::Literal) {
                    // true, false, null; numbers were judged above.
                    take(scalar_fault(false, skipped_atom(buf, base + k, base + static_cast<unsigned>(std::countr_zero(rest))),
                                      e.stream_offset + base + k));
                }
                break;
            case SkipToken::Other:
                stop(ParseErrorKind::unexpected_structural_byte(b), k);
                goto done;
        }
    }
done:
    s.state = st;
    s.kinds = kinds;
    s.kind_count = count;
    // Whichever comes first is the source's error; at the same byte, a token
    // out of place before its text, as the walk reads it.
    if (broken && (!fault || broken->offset <= fault->offset)) {
        if (broken->kind == ParseErrorKind::nesting_too_deep()) {
            e.refuse_nesting_at(broken->offset);
        } else {
            e.record_corruption_at(broken->kind, broken->offset);
        }
    }
    if (fault) e.refuse_in_captures(*fault);
}

}  // namespace JORVANE_KERNEL_ISA_NS
}  // namespace jorvane::engine::walk
