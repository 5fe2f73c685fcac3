// Raw deflate inflated by ISA-L, giving zlib's output and errors on every
// input. ISA-L is faster but not zlib on damaged data: it accepts Huffman
// codes with unused bit patterns that zlib refuses, reports some errors only
// after writing bytes past the damage, and at a cut in the data it may stop a
// few symbols before the last complete one. So ISA-L only decodes blocks
// whose header zlib has accepted, one block at a time, and whenever it fails,
// or the input ends or fails inside a block, zlib takes the stream over from
// the last point where ISA-L stood between two symbols and decodes the rest
// of the member, reporting what it would have reported from the start.
//
// One block at a time: before ISA-L reads a block header, the header's "last
// block" bit is set in ISA-L's bit buffer, so that ISA-L stops at the end of
// the block; the real bit decides whether the member's trailer or another
// block follows. zlib checks each header first (inflate with Z_TREES stops
// right after it) and the header's bits are kept, so that zlib can later be
// started in the middle of the block: the header's bits followed by the
// stream from ISA-L's position rebuild zlib's state there, with the output
// before that point as its dictionary.
//
// Where the block ends, ISA-L must still know the bit at which the next one
// starts. Up to version 2.32.0 it does, and it decodes straight into the
// caller's buffer (after the first bytes of each call, which go through its
// window); at the end of a block its window is set again from the last
// 32 KiB handed out. From 2.32.1 on, a last block that ends with all its
// output handed out rounds ISA-L's input position to a byte, so there every
// call gets no room in the caller's buffer: ISA-L decodes into its window
// (tmp_out_buffer), the new bytes are copied out from there, and one window
// byte stays marked as not handed out, which keeps the position. Only a
// member's first blocks, before any output, can then end with a rounded
// position; zlib decodes from there. Which behaviour the library has is
// found once by decoding a few bytes.
//
// This relies on inflate_state fields that the ISA-L header declares (bit
// buffer, block state, window counters) with the meaning they have in ISA-L
// 2.30 to 2.32.1; the differential tests against zlib check it on the library
// the build links, through both routes.
#include "source/isal_inflater.h"

#if JORVANE_HAVE_ISAL

#include <isa-l.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace jorvane {

namespace {

// The longest block header, with the bytes ISA-L's bit buffer may hold.
constexpr size_t kMaxHeaderBytes = ISAL_DEF_MAX_HDR_SIZE + 8;
constexpr size_t kWindowLen = ISAL_DEF_HIST_SIZE;

// Whether ISA-L keeps its bit buffer when a last block ends with all of its
// output handed out.
bool library_keeps_position() {
    static const bool keeps = [] {
        auto st = std::make_unique_for_overwrite<inflate_state>();
        isal_inflate_init(st.get());
        st->crc_flag = ISAL_DEFLATE;
        // An empty last block (10 bits), then 22 bits it does not use.
        uint8_t in[] = {0x03, 0x00, 0x5a, 0x5a};
        uint8_t out[8];
        st->next_in = in;
        st->avail_in = sizeof in;
        st->next_out = out;
        st->avail_out = sizeof out;
        return isal_inflate(st.get()) == ISAL_DECOMP_OK && st->block_state == ISAL_BLOCK_FINISH &&
               st->read_in_length == 22;
    }();
    return keeps;
}

// The last `n` whole bytes of a bit buffer holding `bits` bits (a 64-bit
// buffer: at most eight).
void last_bytes(uint64_t read_in, size_t bits, size_t n, uint8_t (&out)[8]) {
    for (size_t i = 0; i < n && i < 8; ++i) out[i] = static_cast<uint8_t>(read_in >> (bits - 8 * (n - i)));
}

}  // namespace

void IsalInflater::Bits::clear() {
    bytes.clear();
    count = 0;
}

void IsalInflater::Bits::append(uint64_t value, size_t n) {
    while (n > 0) {
        const size_t at = count % 8;
        if (at == 0) bytes.push_back(0);
        const size_t take = std::min(n, 8 - at);
        bytes.back() = static_cast<uint8_t>(bytes.back() | ((value & ((1u << take) - 1)) << at));
        value >>= take;
        n -= take;
        count += take;
    }
}

void IsalInflater::Bits::append_bytes(std::span<const uint8_t> b) {
    for (uint8_t x : b) append(x, 8);
}

void IsalInflater::Bits::truncate(size_t n) {
    count = n;
    bytes.resize((n + 7) / 8);
    if (n % 8 != 0) bytes.back() = static_cast<uint8_t>(bytes.back() & ((1u << (n % 8)) - 1));
}

IsalInflater::IsalInflater(BufferedInput& input, bool window_only)
    : input_(input),
      st_(std::make_unique_for_overwrite<inflate_state>()),
      zlib_(input),
      keeps_position_(library_keeps_position()),
      direct_(keeps_position_ && !window_only) {
    isal_inflate_init(st_.get());
    st_->crc_flag = ISAL_DEFLATE;
}

IsalInflater::~IsalInflater() = default;

Result<void, IoError> IsalInflater::start() {
    isal_inflate_reset(st_.get());
    phase_ = Phase::BlockStart;
    error_.reset();
    final_block_ = false;
    taken_ = 0;
    recent_.clear();
    held_.clear();
    held_pos_ = 0;
    return {};
}

InflateStep IsalInflater::inflate(std::span<uint8_t> dest) {
    for (;;) {
        if (held_pos_ < held_.size()) {
            const size_t n = std::min(held_.size() - held_pos_, dest.size());
            std::memcpy(dest.data(), held_.data() + held_pos_, n);
            held_pos_ += n;
            return {n, false, std::nullopt};
        }
        switch (phase_) {
            case Phase::Zlib: return zlib_.inflate(dest);
            case Phase::Failed: return {0, false, error_};
            default: break;
        }
        const size_t valid = static_cast<size_t>(st_->tmp_out_valid);
        if (!direct_ && taken_ < valid) {
            const size_t n = std::min(valid - taken_, dest.size());
            std::memcpy(dest.data(), st_->tmp_out_buffer + taken_, n);
            taken_ += n;
            return {n, false, std::nullopt};
        }
        // A retryable read error of the input leaves ISA-L where it was;
        // the next call goes on from there.
        Result<size_t, IoError> ran = size_t{0};
        switch (phase_) {
            case Phase::End: return {0, true, std::nullopt};
            case Phase::BlockStart: ran = begin_block(); break;
            case Phase::InBlock: ran = direct_ ? run_direct(dest) : run_in_window(); break;
            default: break;
        }
        if (!ran) return {0, false, std::move(ran).error()};
        if (*ran > 0) return {*ran, false, std::nullopt};
    }
}

IsalInflater::Position IsalInflater::position() const {
    const inflate_state& st = *st_;
    return {st.read_in,     st.read_in_length,    st.block_state,    st.type0_block_len,
            st.tmp_in_size, st.tmp_out_processed, st.tmp_out_valid};
}

Result<size_t, IoError> IsalInflater::begin_block() {
    inflate_state& st = *st_;
    // The whole header in one piece, for zlib and for ISA-L alike. A
    // retryable read error is reported with nothing done: the next call
    // gathers on after the bytes gathered so far. Any other stays with the
    // input for its next fill, where zlib, handed the stream below, meets it
    // after decoding what the bytes gathered still give.
    if (auto gathered = input_.gather(kMaxHeaderBytes); !gathered && gathered.error().retryable()) {
        return make_err(std::move(gathered).error());
    }
    const std::span<const uint8_t> next = input_.available();
    scratch_.clear();
    scratch_.append(st.read_in, static_cast<size_t>(st.read_in_length));
    const auto check = zlib_.check_header(scratch_.bytes, scratch_.count, next);
    if (check.verdict != ZlibInflater::Header::Accepted) {
        // zlib decodes from this block on and reports its damage or the end
        // of the input exactly where it finds them.
        const Position at = position();
        if (direct_) {
            hand_over(at, recent_, {});
        } else {
            hand_over(at, {st.tmp_out_buffer, static_cast<size_t>(at.history)}, {});
        }
        return size_t{0};
    }
    header_ = scratch_;
    if (check.bits > header_.count) {
        header_.append_bytes(next.first((check.bits - header_.count + 7) / 8));
    }
    header_.truncate(check.bits);
    if (st.read_in_length == 0) {
        st.read_in = next[0];
        st.read_in_length = 8;
        input_.consume(1);
    }
    final_block_ = (st.read_in & 1) != 0;
    st.read_in |= 1;
    st.block_state = ISAL_BLOCK_NEW_HDR;
    phase_ = Phase::InBlock;
    return size_t{0};
}

Result<size_t, IoError> IsalInflater::run_direct(std::span<uint8_t> dest) {
    inflate_state& st = *st_;
    std::span<const uint8_t> in = input_.available();
    // Once the block has ended, ISA-L only hands out what it still holds.
    if (in.empty() && st.block_state != ISAL_BLOCK_INPUT_DONE) {
        auto more = input_.fill();
        // A retryable read error while ISA-L holds no output: it waits for
        // the next call, which reads on. (Output it holds goes out before
        // the error through zlib, which then decodes the rest of the member,
        // as after any other failure.)
        if (!more && more.error().retryable() && st.tmp_out_processed == st.tmp_out_valid) {
            return make_err(std::move(more).error());
        }
        if (!more || !*more) {
            // The input ended or failed inside the block: zlib decodes what
            // the bits ISA-L holds still give, then reports the end.
            const Position at = position();
            hand_over(at, recent_,
                      {st.tmp_out_buffer + at.handed, static_cast<size_t>(at.history - at.handed)});
            return 0;
        }
        in = input_.available();
    }
    const Position before = position();
    st.next_in = const_cast<uint8_t*>(in.data());
    st.avail_in = static_cast<uint32_t>(std::min<size_t>(in.size(), UINT32_MAX));
    st.next_out = dest.data();
    st.avail_out = static_cast<uint32_t>(std::min<size_t>(dest.size(), UINT32_MAX));
    const uint32_t room = st.avail_out;
    const int rc = isal_inflate(&st);
    if (rc < 0) {
        // Damage: zlib decodes this call's data again; what ISA-L wrote is
        // dropped, but for the bytes it held before the call, which it
        // writes first (the rest of them is still in its window).
        const size_t held = static_cast<size_t>(before.history - before.handed);
        const size_t written = std::min<size_t>(held, room);
        std::vector<uint8_t> undelivered(dest.begin(), dest.begin() + static_cast<ptrdiff_t>(written));
        undelivered.insert(undelivered.end(), st.tmp_out_buffer + before.handed + written,
                           st.tmp_out_buffer + before.history);
        hand_over(before, recent_, undelivered);
        return 0;
    }
    const size_t produced = room - st.avail_out;
    const size_t used = static_cast<size_t>(st.next_in - in.data());
    if (produced == 0 && used == 0 && st.block_state == before.block_state &&
        st.read_in_length == before.read_in_bits && st.tmp_out_valid == before.history) {
        // No progress (not seen): zlib goes on instead.
        hand_over(before, recent_, {st.tmp_out_buffer + before.handed, static_cast<size_t>(before.history - before.handed)});
        return 0;
    }
    input_.consume(used);
    remember({dest.data(), produced});
    if (st.block_state == ISAL_BLOCK_FINISH) {
        end_block();
        // The next block's back-references reach into the output handed
        // out, which ISA-L did not keep at the block's end.
        if (phase_ == Phase::BlockStart) isal_inflate_set_dict(&st, recent_.data(), static_cast<uint32_t>(recent_.size()));
    }
    return produced;
}

Result<size_t, IoError> IsalInflater::run_in_window() {
    inflate_state& st = *st_;
    std::span<const uint8_t> in = input_.available();
    if (in.empty()) {
        auto more = input_.fill();
        // The window's output is all handed out before ISA-L runs again, so
        // on a retryable read error it simply waits for the next call.
        if (!more && more.error().retryable()) return make_err(std::move(more).error());
        if (!more || !*more) {
            const Position at = position();
            hand_over(at, {st.tmp_out_buffer, static_cast<size_t>(at.history)}, {});
            return size_t{0};
        }
        in = input_.available();
    }
    const Position before = position();
    // One window byte stays marked as not handed out (see the top).
    const int32_t held = before.history > 0 ? before.history - 1 : 0;
    st.tmp_out_processed = held;
    st.next_in = const_cast<uint8_t*>(in.data());
    st.avail_in = static_cast<uint32_t>(std::min<size_t>(in.size(), UINT32_MAX));
    uint8_t no_room = 0;
    st.next_out = &no_room;
    st.avail_out = 0;
    const int rc = isal_inflate(&st);
    // A finished block whose bit buffer ISA-L emptied: the input position
    // may have been rounded.
    const bool rounded = st.block_state == ISAL_BLOCK_FINISH && st.read_in_length == 0 && !keeps_position_;
    if (rc < 0 || (rounded && !final_block_)) {
        // Damage, or the bit position lost: zlib decodes this call's data
        // again.
        hand_over(before, {st.tmp_out_buffer, static_cast<size_t>(before.history)}, {});
        return size_t{0};
    }
    // ISA-L may have slid its window down; what is new follows the history.
    taken_ = static_cast<size_t>(before.history - (held - st.tmp_out_processed));
    const ptrdiff_t used = st.next_in - in.data();
    if (used >= 0) {
        input_.consume(static_cast<size_t>(used));
    } else {
        // Rounding gave back whole bytes from before this call's input: the
        // last ones of the bit buffer it started with.
        uint8_t bytes[8];
        const size_t back = static_cast<size_t>(-used);
        last_bytes(before.read_in, static_cast<size_t>(before.read_in_bits), back, bytes);
        input_.unread({bytes, back});
    }
    if (st.block_state == ISAL_BLOCK_INPUT_DONE || st.block_state == ISAL_BLOCK_FINISH) {
        end_block();
    } else if (used == 0 && taken_ == static_cast<size_t>(st.tmp_out_valid) && st.tmp_out_valid == before.history &&
               st.block_state == before.block_state && st.read_in_length == before.read_in_bits) {
        // No progress (not seen): zlib goes on instead.
        hand_over(before, {st.tmp_out_buffer, static_cast<size_t>(before.history)}, {});
    }
    return size_t{0};
}

void IsalInflater::end_block() {
    inflate_state& st = *st_;
    if (final_block_) {
        // The trailer starts at the next byte boundary; the whole bytes
        // ISA-L holds are its first.
        uint8_t bytes[8];
        const size_t back = static_cast<size_t>(st.read_in_length / 8);
        last_bytes(st.read_in, static_cast<size_t>(st.read_in_length), back, bytes);
        input_.unread({bytes, back});
        st.read_in = 0;
        st.read_in_length = 0;
        phase_ = Phase::End;
        return;
    }
    st.block_state = ISAL_BLOCK_NEW_HDR;
    phase_ = Phase::BlockStart;
}

void IsalInflater::remember(std::span<const uint8_t> out) {
    if (out.size() >= kWindowLen) {
        recent_.assign(out.end() - kWindowLen, out.end());
        return;
    }
    const size_t keep = std::min(recent_.size(), kWindowLen - out.size());
    recent_.erase(recent_.begin(), recent_.end() - static_cast<ptrdiff_t>(keep));
    recent_.insert(recent_.end(), out.begin(), out.end());
}

void IsalInflater::hand_over(const Position& at, std::span<const uint8_t> before,
                             std::span<const uint8_t> undelivered) {
    // zlib's dictionary: the last 32 KiB decoded before `at`, which ends with
    // what ISA-L decoded but did not hand out; that goes out first.
    std::vector<uint8_t> window(before.end() - static_cast<ptrdiff_t>(std::min(before.size(), kWindowLen)), before.end());
    window.insert(window.end(), undelivered.begin(), undelivered.end());
    held_.assign(undelivered.begin(), undelivered.end());
    held_pos_ = 0;
    // The bits from `at` on: the block's header when ISA-L stood inside the
    // block (a stored block's, rebuilt with what is left of it), the bits in
    // ISA-L's bit buffer, a partial header it kept aside, then the input.
    Bits lead;
    uint64_t read_in = at.read_in;
    if (at.block_state == ISAL_BLOCK_CODED) {
        lead = header_;
    } else if (at.block_state == ISAL_BLOCK_TYPE0) {
        lead.append(final_block_ ? 1 : 0, 8);
        const uint64_t len = static_cast<uint16_t>(at.stored_left);
        lead.append(len | ((~len & 0xffff) << 16), 32);
    } else if (phase_ == Phase::InBlock) {
        // At the block's header, whose last-block bit was set for ISA-L.
        read_in = (read_in & ~uint64_t{1}) | (final_block_ ? 1 : 0);
    }
    lead.append(read_in, static_cast<size_t>(at.read_in_bits));
    if (at.block_state == ISAL_BLOCK_HDR) {
        lead.append_bytes({st_->tmp_in_buffer, static_cast<size_t>(at.header_bytes)});
    }
    st_->read_in = 0;
    st_->read_in_length = 0;
    auto r = zlib_.resume(lead.bytes, lead.count, std::span<const uint8_t>(window).last(std::min(window.size(), kWindowLen)));
    if (!r) {
        error_ = std::move(r).error();
        phase_ = Phase::Failed;
        return;
    }
    phase_ = Phase::Zlib;
}

}  // namespace jorvane

#endif  // JORVANE_HAVE_ISAL
