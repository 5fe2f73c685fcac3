// Fuzz target: the gzip and zstd decoders over arbitrary compressed bytes.
//
// The input chooses the codec, the decoder's input buffer length (short ones
// make frames and members straddle buffers), a script of read sizes for the
// reader under the decoder, a script of read sizes asked of the decoder, a
// buffer length for a ReadSource over it, whether the reader fails at its
// end, and (the rest of the bytes) the compressed input. The reference reads
// the input whole from memory and the decoder 64 KiB at a time. Whatever the
// scripts, the decoder must give the same bytes and then the same end: the
// same error text after the same number of bytes, or the clean end. A
// ReadSource over it must deliver the same bytes in full buffers, dropping
// only the partial buffer an error interrupts. Output is compared up to a
// cap, as a few compressed bytes can stand for gigabytes.
//
// The gzip decoder inflates with ISA-L where the build has it; the same
// decoder inflating with zlib, and with ISA-L through its own window only,
// read with the scripted sizes, must give what it gives: the same bytes, then
// the same error text or the clean end.
//
// Where the decoder and the libraries' own one-shot decoding (zlib's gzip
// wrapper member by member, zstd's whole-input call) both succeed, they give
// the same bytes; zlib must moreover succeed and fail where the decoder does.
//
// Input layout (16-bit numbers little-endian): a head byte (bit 0 zstd, else
// gzip; bit 1 the reader fails at its end), the input buffer length less one
// (16 bits), a count byte (% 9) and that many reader read sizes (16 bits,
// 1 + n % 4096), a count byte (1 + n % 8) and that many decoder read sizes
// less one (16 bits), the ReadSource buffer length less one (16 bits); the
// rest is the compressed input.
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "source/gzip_decoder.h"
#include "source/memory_reader.h"
#include "source/read_source.h"
#include "source/zstd_decoder.h"
#include "targets.h"

namespace jorvane::fuzz {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kCap = 256 << 10;

// Serves `data` in reads of the scripted sizes in turn (none: as much as
// asked), then 0, or the error when one is set.
class ScriptedReader final : public ByteReader {
public:
    ScriptedReader(std::span<const uint8_t> data, std::vector<size_t> sizes, bool fail_at_end)
        : data_(data), sizes_(std::move(sizes)), fail_at_end_(fail_at_end) {}

    Result<size_t, IoError> read(std::span<uint8_t> dest) override {
        if (pos_ == data_.size() && fail_at_end_) return make_err(IoError::custom(IoErrorKind::Other, "reader failed"));
        size_t n = std::min(dest.size(), data_.size() - pos_);
        if (!sizes_.empty()) n = std::min(n, sizes_[next_++ % sizes_.size()]);
        if (n > 0) std::memcpy(dest.data(), data_.data() + pos_, n);
        pos_ += n;
        return n;
    }

private:
    std::span<const uint8_t> data_;
    std::vector<size_t> sizes_;
    size_t next_ = 0;
    size_t pos_ = 0;
    bool fail_at_end_;
};

struct Decoded {
    Bytes data;
    bool capped = false;  // stopped at the cap
    std::optional<std::string> error;
};

std::string show(const Decoded& d) {
    return std::to_string(d.data.size()) + " bytes, " +
           (d.capped ? std::string("capped") : d.error ? "error '" + *d.error + "'" : std::string("clean end"));
}

void cap(Decoded& d) {
    if (d.data.size() >= kCap) {
        d.data.resize(kCap);
        d.capped = true;
        d.error.reset();
    }
}

std::unique_ptr<ByteReader> make_decoder(bool zstd, size_t input_len, std::unique_ptr<ByteReader> input,
                                         GzipInflate inflate = GzipInflate::Fastest) {
    if (!zstd) return std::make_unique<GzipDecoder>(std::move(input), input_len, inflate);
    auto z = ZstdDecoder::create(std::move(input), input_len);
    if (!z) fail("cannot make a zstd decoder: " + z.error().to_string());
    return std::move(z).value();
}

// Reads the decoder with the scripted sizes until its end, an error or the cap.
Decoded read_all(ByteReader& dec, const std::vector<size_t>& sizes) {
    Decoded d;
    Bytes dest;
    for (size_t i = 0; d.data.size() < kCap; ++i) {
        dest.resize(sizes[i % sizes.size()]);
        auto r = dec.read(dest);
        if (!r) {
            d.error = r.error().to_string();
            auto again = dec.read(dest);
            if (again || again.error().to_string() != *d.error) fail("a decoder error does not stick");
            break;
        }
        if (*r > dest.size()) fail("a decoder read returned more than asked");
        if (*r == 0) {
            auto again = dec.read(dest);
            if (!again || *again != 0) fail("a decoder's end does not stick");
            break;
        }
        d.data.insert(d.data.end(), dest.begin(), dest.begin() + static_cast<ptrdiff_t>(*r));
    }
    cap(d);
    return d;
}

// Drains a source; every buffer but the last must be `full` bytes long.
Decoded drain(Source& src, size_t full, const char* what) {
    Decoded d;
    bool short_seen = false;
    while (d.data.size() < kCap) {
        auto r = src.next_buffer();
        if (!r) {
            d.error = r.error().to_string();
            break;
        }
        if (!*r) break;
        const ByteView b = **r;
        if (b.empty()) fail(std::string(what) + " handed out an empty buffer");
        if (short_seen) fail(std::string(what) + " handed out a buffer after a short one");
        if (b.size() > full) fail(std::string(what) + " handed out a buffer longer than its length");
        short_seen = b.size() < full;
        d.data.insert(d.data.end(), b.begin(), b.end());
    }
    cap(d);
    return d;
}

// What a source of `full`-byte buffers delivers of the decoder's output.
Decoded as_buffers(const Decoded& ref, size_t full) {
    Decoded d = ref;
    if (d.error) d.data.resize(d.data.size() / full * full);
    return d;
}

void expect_same(const Decoded& ref, const Decoded& got, const std::string& what) {
    const bool same = ref.capped ? got.capped && got.data == ref.data
                                 : !got.capped && got.error == ref.error && got.data == ref.data;
    if (!same) fail(what + ": " + show(got) + " where reading whole gives " + show(ref));
}

// zlib's own gzip decoding, member after member; nothing on any failure or
// past the cap.
std::optional<Bytes> zlib_gunzip(std::span<const uint8_t> in) {
    if (in.empty()) return std::nullopt;
    z_stream zs{};
    if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) fail("inflateInit2");
    Bytes out(kCap);
    zs.next_in = const_cast<Bytef*>(in.data());
    zs.avail_in = static_cast<uInt>(in.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    std::optional<Bytes> result;
    for (;;) {
        const int rc = inflate(&zs, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) {
            if (zs.avail_in == 0) {
                out.resize(zs.total_out);
                result = std::move(out);
                break;
            }
            const uLong total = zs.total_out;
            inflateReset(&zs);
            zs.total_out = total;
            continue;
        }
        if (rc != Z_OK) break;
        if (zs.avail_out == 0) break;
    }
    inflateEnd(&zs);
    return result;
}

std::optional<Bytes> zstd_one_shot(std::span<const uint8_t> in) {
    if (in.empty()) return std::nullopt;
    Bytes out(kCap);
    const size_t n = ZSTD_decompress(out.data(), out.size(), in.data(), in.size());
    if (ZSTD_isError(n)) return std::nullopt;
    out.resize(n);
    return out;
}

}  // namespace

int decoder(std::span<const uint8_t> data) {
    FuzzInput in(data);
    const uint8_t head = in.byte();
    const bool zstd = head & 1;
    const bool fail_at_end = head & 2;
    const size_t input_len = 1 + in.u16();
    std::vector<size_t> reads(in.byte() % 9);
    for (auto& r : reads) r = 1 + in.u16() % 4096;
    std::vector<size_t> asks(1 + in.byte() % 8);
    for (auto& a : asks) a = 1 + in.u16();
    const size_t buffer_len = 1 + in.u16();
    const std::span<const uint8_t> input = in.rest();

    std::unique_ptr<ByteReader> whole;
    if (fail_at_end) {
        whole = std::make_unique<ScriptedReader>(input, std::vector<size_t>{}, true);
    } else {
        whole = std::make_unique<MemoryReader>(Bytes(input.begin(), input.end()));
    }
    auto ref_dec = make_decoder(zstd, input_len, std::move(whole));
    const Decoded ref = read_all(*ref_dec, {size_t{1} << 16});

    auto dec = make_decoder(zstd, input_len, std::make_unique<ScriptedReader>(input, reads, fail_at_end));
    expect_same(ref, read_all(*dec, asks), "scripted reads");

    if (!zstd) {
        for (GzipInflate how : {GzipInflate::Zlib, GzipInflate::IsalWindow}) {
            auto other = make_decoder(false, input_len, std::make_unique<ScriptedReader>(input, reads, fail_at_end), how);
            expect_same(ref, read_all(*other, asks), how == GzipInflate::Zlib ? "inflating with zlib" : "ISA-L's window");
        }
    }

    ReadSource src(make_decoder(zstd, input_len, std::make_unique<ScriptedReader>(input, reads, fail_at_end)),
                   buffer_len);
    const Decoded buffered = drain(src, buffer_len, "a read source");
    // Past the cap the reference is not read: an error there cuts short the
    // source's buffer that crosses the cap.
    const bool error_past_cap = ref.capped && buffered.error && buffered.data.size() + buffer_len > kCap &&
                                std::equal(buffered.data.begin(), buffered.data.end(), ref.data.begin());
    if (!error_past_cap) expect_same(as_buffers(ref, buffer_len), buffered, "a read source");

    if (!fail_at_end && !ref.capped) {
        const std::optional<Bytes> own = zstd ? zstd_one_shot(input) : zlib_gunzip(input);
        const char* lib = zstd ? "zstd's one-shot decoding" : "zlib's gzip decoding";
        // zstd's one-shot and streaming paths each take some malformed
        // frames the other refuses (a block longer than the frame's window;
        // an empty compressed block fed in pieces), so only zlib must agree
        // with the decoder on success and failure.
        if (!ref.error && (own ? *own != ref.data : !zstd))
            fail(std::string(lib) + (own ? " gives other bytes" : " fails") + " where the decoder gives " + show(ref));
        if (ref.error && own && !zstd)
            fail(std::string(lib) + " succeeds with " + std::to_string(own->size()) +
                 " bytes where the decoder fails: " + show(ref));
    }
    return 0;
}

}  // namespace jorvane::fuzz

#ifdef JORVANE_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return jorvane::fuzz::decoder({data, size});
}
#endif
