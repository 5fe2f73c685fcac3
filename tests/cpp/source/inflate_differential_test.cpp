// The gzip decoder inflating with ISA-L against the same decoder inflating
// with zlib: on every input both give the same bytes and then the same end
// (the same error text after the same bytes), whatever the damage, where the
// input stops or fails, the decoder's input buffer length and the read sizes.
// ISA-L is taken both ways: decoding into the reader's buffer where the
// library allows it, and through its own window only.
// Inputs: the conformance documents as members, random members (fixed seeds)
// cut and damaged at every byte, and hand-made deflate blocks on which ISA-L
// on its own answers otherwise than zlib.
#include <gtest/gtest.h>

#include <dirent.h>

#include <fstream>
#include <iterator>
#include <random>

#include "source/gzip_decoder.h"
#include "support/sample_inputs.h"

namespace jorvane {
namespace {

using namespace test;

struct Decoded {
    Bytes data;
    std::optional<std::string> error;
    bool operator==(const Decoded&) const = default;
};

// How the input reaches the decoder: its input buffer length, the most the
// reader serves per call, the decoder's read size, and whether the reader
// fails where the input stops (else it ends there).
struct Feed {
    size_t input_len, max_read, dest_len;
    bool fails;
};

constexpr Feed kFeeds[] = {
    {kDecoderInputLen, SIZE_MAX, kMiB, false}, {1, 1, 7, false},     {13, 5, 4096, true},
    {4096, 1000, 1, false},                    {333, SIZE_MAX, 65536, true},
};

Decoded decode(GzipInflate how, const Bytes& input, const Feed& feed) {
    auto reader = feed.fails
                      ? std::make_unique<ScriptedReader>(input, feed.max_read, IoError::custom(IoErrorKind::Other, "disk"))
                      : std::make_unique<ScriptedReader>(input, feed.max_read);
    GzipDecoder dec(std::move(reader), feed.input_len, how);
    Decoded d;
    Bytes dest(feed.dest_len);
    for (;;) {
        auto r = dec.read(dest);
        if (!r) {
            d.error = r.error().to_string();
            return d;
        }
        if (*r == 0) return d;
        d.data.insert(d.data.end(), dest.begin(), dest.begin() + static_cast<ptrdiff_t>(*r));
    }
}

std::string describe(const Decoded& d) {
    return std::to_string(d.data.size()) + " bytes, " + (d.error ? *d.error : std::string("clean end"));
}

// ISA-L, both ways, gives what zlib gives on `input` fed `feed`.
::testing::AssertionResult same(const Bytes& input, const Feed& feed) {
    const Decoded want = decode(GzipInflate::Zlib, input, feed);
    for (GzipInflate how : {GzipInflate::Fastest, GzipInflate::IsalWindow}) {
        const Decoded got = decode(how, input, feed);
        if (got == want) continue;
        return ::testing::AssertionFailure()
               << (how == GzipInflate::Fastest ? "ISA-L: " : "ISA-L through its window: ") << describe(got)
               << ", zlib: " << describe(want) << " (input buffers of " << feed.input_len << ", reads of "
               << feed.dest_len << " from reads of " << feed.max_read << (feed.fails ? ", failing" : "") << ")";
    }
    return ::testing::AssertionSuccess();
}

// A gzip member of `data` made by zlib with the given settings, flushed
// (empty stored blocks, sometimes a full flush) after every `flush_every`
// bytes when that is not 0.
Bytes deflate_member(const Bytes& data, int level, int strategy, int window_bits, size_t flush_every = 0) {
    z_stream zs{};
    if (deflateInit2(&zs, level, Z_DEFLATED, window_bits + 16, 8, strategy) != Z_OK) throw std::runtime_error("deflateInit2");
    Bytes out(deflateBound(&zs, data.size()) * 2 + 4096);
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    size_t pos = 0;
    for (int n = 0; pos < data.size(); ++n) {
        size_t take = flush_every ? std::min(flush_every, data.size() - pos) : data.size() - pos;
        zs.next_in = const_cast<Bytef*>(data.data() + pos);
        zs.avail_in = static_cast<uInt>(take);
        pos += take;
        deflate(&zs, flush_every ? (n % 3 == 2 ? Z_FULL_FLUSH : Z_SYNC_FLUSH) : Z_NO_FLUSH);
    }
    if (deflate(&zs, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

constexpr int kStrategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};

TEST(InflateDifferential, ConformanceDocumentsAsMembers) {
    const std::string dir = std::string(JORVANE_TEST_DATA_DIR) + "/conformance";
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr);
    while (dirent* e = readdir(d)) {
        if (std::string_view(e->d_name).ends_with(".json")) names.emplace_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    ASSERT_GT(names.size(), 100u);
    // Every document a member, each compressed another way; long ones alone.
    Bytes all;
    for (size_t i = 0; i < names.size(); ++i) {
        std::ifstream f(dir + "/" + names[i], std::ios::binary);
        const Bytes doc((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        const Bytes member = deflate_member(doc, static_cast<int>(i % 10), kStrategies[i % 5], 9 + static_cast<int>(i % 7),
                                            i % 4 == 3 ? 1 + i % 50 : 0);
        if (doc.size() > 50000) {
            for (const Feed& feed : {kFeeds[0], kFeeds[2], kFeeds[4]}) EXPECT_TRUE(same(member, feed)) << names[i];
            continue;
        }
        all = concat(std::move(all), member);
    }
    for (const Feed& feed : kFeeds) EXPECT_TRUE(same(all, feed));
    // Damaged here and there, and cut in the middle.
    for (size_t at = 7; at < all.size(); at += all.size() / 13) {
        Bytes damaged = all;
        damaged[at] ^= 0x24;
        damaged.resize(at % 2 ? damaged.size() : damaged.size() * 2 / 3);
        for (const Feed& feed : kFeeds) EXPECT_TRUE(same(damaged, feed)) << "damaged at " << at;
    }
}

TEST(InflateDifferential, RandomMembersCutAndDamagedAtEveryByte) {
    std::mt19937 rng(20250601);
    for (int round = 0; round < 6; ++round) {
        Bytes input;
        for (int m = 0, members = 1 + round % 3; m < members; ++m) {
            Bytes data(round == 5 ? 70000 : rng() % 600);
            const unsigned alphabet = 2 + rng() % 40;
            for (auto& b : data) b = static_cast<uint8_t>('a' + rng() % alphabet);
            input = concat(std::move(input), deflate_member(data, static_cast<int>(rng() % 10), kStrategies[rng() % 5],
                                                            9 + static_cast<int>(rng() % 7), rng() % 3 ? 0 : 1 + rng() % 300));
        }
        // The long round (more than a window of history, several blocks) in
        // strides, fed in pieces of many bytes: the feeds of a byte or a few
        // at a time run over every byte of the short rounds.
        const bool long_round = input.size() > 8000;
        const size_t step = long_round ? input.size() / 64 : 1;
        for (size_t at = 0; at <= input.size(); at += step) {
            const Feed& feed = long_round ? kFeeds[at % 3 * 2] : kFeeds[at % std::size(kFeeds)];
            ASSERT_TRUE(same(Bytes(input.begin(), input.begin() + static_cast<ptrdiff_t>(at)), feed))
                << "round " << round << ", cut at " << at;
            if (at == input.size()) break;
            Bytes damaged = input;
            damaged[at] ^= static_cast<uint8_t>(1u << (at % 8));
            ASSERT_TRUE(same(damaged, feed)) << "round " << round << ", damaged at " << at;
        }
    }
}

// Deflate bits, least significant first; Huffman codes go most significant
// bit first.
struct BitWriter {
    Bytes out;
    size_t bits = 0;
    void put(uint32_t value, int n) {
        for (int i = 0; i < n; ++i, ++bits) {
            if (bits % 8 == 0) out.push_back(0);
            out.back() = static_cast<uint8_t>(out.back() | (((value >> i) & 1) << (bits % 8)));
        }
    }
    void code(uint32_t c, int len) {
        for (int i = len - 1; i >= 0; --i) put((c >> i) & 1, 1);
    }
    // A stored block of `data`.
    void stored(const Bytes& data, bool last) {
        put(last ? 1 : 0, 3);
        if (bits % 8) put(0, 8 - static_cast<int>(bits % 8));
        put(static_cast<uint32_t>(data.size()), 16);
        put(static_cast<uint32_t>(~data.size() & 0xffff), 16);
        for (uint8_t b : data) put(b, 8);
    }
};

// The canonical codes of the given lengths.
std::vector<uint32_t> canonical(const std::vector<int>& lens) {
    int count[16] = {};
    for (int l : lens) ++count[l];
    count[0] = 0;
    uint32_t next[16] = {};
    for (int l = 1; l < 16; ++l) next[l] = (next[l - 1] + static_cast<uint32_t>(count[l - 1])) << 1;
    std::vector<uint32_t> codes(lens.size());
    for (size_t s = 0; s < lens.size(); ++s)
        if (lens[s]) codes[s] = next[lens[s]]++;
    return codes;
}

// A dynamic block header for these literal/length and distance code lengths
// (with a complete code-length code: every length a 4-bit code).
void dynamic_header(BitWriter& w, bool last, const std::vector<int>& lit, const std::vector<int>& dist) {
    w.put(last ? 5 : 4, 3);
    w.put(static_cast<uint32_t>(lit.size() - 257), 5);
    w.put(static_cast<uint32_t>(dist.size() - 1), 5);
    w.put(15, 4);
    for (int i = 0; i < 19; ++i) w.put(i < 3 ? 0 : 4, 3);  // 16, 17, 18 unused; 0..15 four bits each
    for (int l : lit) w.code(static_cast<uint32_t>(l), 4);
    for (int l : dist) w.code(static_cast<uint32_t>(l), 4);
}

// `deflate` as a gzip member whose trailer is that of `data`.
Bytes member(const Bytes& deflate, const Bytes& data) {
    Bytes out = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};
    out = concat(std::move(out), deflate);
    const uint32_t crc = static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size())));
    for (uint32_t v : {crc, static_cast<uint32_t>(data.size())})
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return out;
}

// A fixed-code symbol.
void fixed(BitWriter& w, int sym) {
    if (sym < 144) w.code(0x30 + static_cast<uint32_t>(sym), 8);
    else if (sym < 256) w.code(0x190 + static_cast<uint32_t>(sym - 144), 9);
    else if (sym < 280) w.code(static_cast<uint32_t>(sym - 256), 7);
    else w.code(0xc0 + static_cast<uint32_t>(sym - 280), 8);
}

TEST(InflateDifferential, BlocksIsalAloneAnswersOtherwise) {
    const Bytes xyz = {'x', 'y', 'z'};
    struct Case {
        const char* what;
        Bytes input;
        size_t bytes;  // zlib's output before the end
        const char* error;
    };
    std::vector<Case> cases;
    {
        // A literal/length code with room left (zlib refuses it), using only
        // the codes it has: ISA-L alone decodes the block.
        BitWriter w;
        w.stored(xyz, false);
        std::vector<int> lit(257, 0), dist = {1, 1};
        lit['a'] = 1, lit['b'] = 2, lit[256] = 3;
        dynamic_header(w, true, lit, dist);
        auto c = canonical(lit);
        for (int s : {int{'a'}, int{'b'}, int{'a'}, 256}) w.code(c[static_cast<size_t>(s)], lit[static_cast<size_t>(s)]);
        cases.push_back({"incomplete literal code", member(w.out, concat(xyz, Bytes{'a', 'b', 'a'})), 3, "corrupt deflate stream"});
    }
    {
        // One distance code (zlib takes it), then the missing one.
        BitWriter w;
        std::vector<int> lit(258, 0), dist = {1};
        lit['a'] = 1, lit[256] = 2, lit[257] = 2;
        dynamic_header(w, true, lit, dist);
        auto c = canonical(lit);
        w.code(c['a'], 1);
        w.code(c[257], 2), w.put(0, 1);  // a match of 3 at distance 1
        w.code(c[257], 2), w.put(1, 1);  // the distance code that is not there
        w.put(0, 16);
        cases.push_back({"missing distance code", member(w.out, Bytes(4, 'a')), 4, "corrupt deflate stream"});
    }
    for (int dist_code : {4, 30}) {
        // Back-references before the member's first byte (ISA-L writes the
        // match before it notices), and a distance code that does not exist.
        BitWriter w;
        w.put(3, 3);
        for (int s : {'a', 'b'}) fixed(w, s);
        fixed(w, 285), w.code(static_cast<uint32_t>(dist_code), 5), w.put(0, 1);  // 258 bytes, distance 5 or none
        fixed(w, 256);
        cases.push_back({"distance before the start", member(w.out, {}), 2, "corrupt deflate stream"});
    }
    {
        // The literal/length codes 286 and 287, which no data may use.
        BitWriter w;
        w.put(3, 3);
        fixed(w, 'q'), fixed(w, 287), fixed(w, 256);
        cases.push_back({"literal/length 287", member(w.out, {}), 1, "corrupt deflate stream"});
    }
    {
        // Empty blocks before any output (ISA-L would lose its bit position
        // at their end), then data in a stored and a fixed block.
        BitWriter w;
        w.put(2, 3), fixed(w, 256);  // empty fixed block
        w.stored({}, false);
        w.put(2, 3), fixed(w, 256);
        w.stored(xyz, false);
        w.put(3, 3), fixed(w, 'q'), fixed(w, 256);
        cases.push_back({"empty blocks first", member(w.out, concat(xyz, Bytes{'q'})), 4, nullptr});
    }
    for (const Case& c : cases) {
        const Decoded want = decode(GzipInflate::Zlib, c.input, kFeeds[0]);
        EXPECT_EQ(want.data.size(), c.bytes) << c.what;
        EXPECT_EQ(want.error, c.error ? std::optional<std::string>(c.error) : std::nullopt) << c.what;
        // Alone, in the middle of other members, and cut at every byte.
        const Bytes around = concat(concat(deflate_member(sample_bytes(40000), 6, Z_DEFAULT_STRATEGY, 15), c.input),
                                    deflate_member(sample_bytes(100), 1, Z_FIXED, 15));
        for (const Feed& feed : kFeeds) {
            EXPECT_TRUE(same(c.input, feed)) << c.what;
            EXPECT_TRUE(same(around, feed)) << c.what << " between members";
        }
        for (size_t at = 0; at < c.input.size(); ++at)
            EXPECT_TRUE(same(Bytes(c.input.begin(), c.input.begin() + static_cast<ptrdiff_t>(at)), kFeeds[at % 5]))
                << c.what << " cut at " << at;
    }
}

}  // namespace
}  // namespace jorvane
