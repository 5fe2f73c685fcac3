// IsalInflater: raw deflate data inflated by ISA-L, with zlib's answers on
// damaged data (see isal_inflater.cpp). Built only where ISA-L is found
// (JORVANE_HAVE_ISAL); the gzip decoder uses ZlibInflater elsewhere.
#pragma once

#if JORVANE_HAVE_ISAL

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "source/buffered_input.h"
#include "source/inflater.h"
#include "source/zlib_inflater.h"

struct inflate_state;

namespace jorvane {

class IsalInflater final : public Inflater {
public:
    // `window_only`: decode through ISA-L's window even where the library
    // could decode straight into the caller's buffer.
    explicit IsalInflater(BufferedInput& input, bool window_only = false);
    IsalInflater(const IsalInflater&) = delete;
    IsalInflater& operator=(const IsalInflater&) = delete;
    ~IsalInflater() override;

    Result<void, IoError> start() override;
    InflateStep inflate(std::span<uint8_t> dest) override;

private:
    // A run of bits, least significant bit of bytes[0] first.
    struct Bits {
        std::vector<uint8_t> bytes;
        size_t count = 0;
        void clear();
        void append(uint64_t value, size_t n);
        void append_bytes(std::span<const uint8_t> b);
        void truncate(size_t n);
    };
    enum class Phase { BlockStart, InBlock, Zlib, End, Failed };
    // Where ISA-L stood before a call, or stands now: enough to hand the
    // stream to zlib from there.
    struct Position {
        uint64_t read_in;
        int32_t read_in_bits;
        int block_state;
        int32_t stored_left;
        int32_t header_bytes;  // partial block header ISA-L keeps aside
        int32_t handed;        // ISA-L's window: bytes handed out,
        int32_t history;       // and bytes held
    };

    // Each returns the bytes it wrote to the caller's buffer, or a retryable
    // read error of the input, which leaves everything where it was.
    Result<size_t, IoError> begin_block();
    Result<size_t, IoError> run_direct(std::span<uint8_t> dest);
    Result<size_t, IoError> run_in_window();
    Position position() const;
    // After the block ended: the trailer or the next block.
    void end_block();
    void remember(std::span<const uint8_t> out);
    void hand_over(const Position& at, std::span<const uint8_t> before, std::span<const uint8_t> undelivered);

    BufferedInput& input_;
    std::unique_ptr<inflate_state> st_;
    ZlibInflater zlib_;
    bool keeps_position_;  // the library keeps its bit position at a block's end
    bool direct_;          // ISA-L writes into the caller's buffer
    Phase phase_ = Phase::BlockStart;
    std::optional<IoError> error_;
    bool final_block_ = false;
    size_t taken_ = 0;            // window route: bytes of ISA-L's window handed out
    std::vector<uint8_t> recent_; // direct route: the last 32 KiB handed out
    std::vector<uint8_t> held_;   // decoded, to hand out before zlib's output
    size_t held_pos_ = 0;
    Bits header_;  // the current block's header, as zlib read it
    Bits scratch_;
};

}  // namespace jorvane

#endif  // JORVANE_HAVE_ISAL
