// ZlibInflater: raw deflate data inflated by zlib. Besides decoding a member
// whole, it can take over a stream in the middle (at any bit, with the output
// before it as history) and check a block header on its own, which is how the
// ISA-L inflater keeps zlib's answers on damaged data.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "source/buffered_input.h"
#include "source/inflater.h"

namespace jorvane {

class ZlibInflater final : public Inflater {
public:
    explicit ZlibInflater(BufferedInput& input) : input_(input) {}
    ZlibInflater(const ZlibInflater&) = delete;
    ZlibInflater& operator=(const ZlibInflater&) = delete;
    ~ZlibInflater() override;

    Result<void, IoError> start() override;
    InflateStep inflate(std::span<uint8_t> dest) override;

    // Starts decoding at a point inside deflate data: the first `lead_bits`
    // bits of `lead` (least significant bit of lead[0] first), then the
    // input's unread bytes. `window` is the output decoded before that point
    // (its last 32 KiB are kept), which back-references may reach.
    Result<void, IoError> resume(std::span<const uint8_t> lead, size_t lead_bits,
                                 std::span<const uint8_t> window);

    // Whether zlib accepts the block header at the start of the `lead_bits`
    // bits of `lead` followed by `bytes`, and if so its length in bits. The
    // input is not touched.
    enum class Header { Accepted, Rejected, Incomplete };
    struct HeaderCheck {
        Header verdict = Header::Incomplete;
        size_t bits = 0;
    };
    HeaderCheck check_header(std::span<const uint8_t> lead, size_t lead_bits,
                             std::span<const uint8_t> bytes);

private:
    // Readies zs_ for a new raw stream with the first `lead_bits % 8` bits of
    // `lead` primed; the rest of the lead, realigned, goes to lead_rest_.
    Result<void, IoError> reset(std::span<const uint8_t> lead, size_t lead_bits);

    BufferedInput& input_;
    z_stream zs_{};
    bool ready_ = false;
    std::vector<uint8_t> lead_rest_;
};

}  // namespace jorvane
