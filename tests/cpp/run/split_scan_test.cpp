// Scanning ranges of a file at once against one engine scanning it whole
// (run::scan_source): random NDJSON, pretty-printed and mixed documents,
// whole or broken at random places, every accumulator kind, in many buffer
// lengths, range lengths and walker counts. Results, streamed values in
// order, errors (kind, offset and text) and partial results must be equal,
// floating-point figures bit for bit.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <cstdio>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "engine/engine.h"
#include "run/plans.h"
#include "run/run_policy.h"
#include "run/scan_source.h"
#include "run/split_scan.h"
#include "source/gzip_decoder.h"
#include "source/mapped_file.h"
#include "source/memory_reader.h"
#include "source/prefetch_source.h"
#include "source/read_source.h"
#include "source/zstd_decoder.h"
#include "support/random_records.h"
#include "support/sample_inputs.h"
#include "support/scripted_scans.h"

namespace jorvane::run::testing {
namespace {

using jorvane::testing::sequential;
using jorvane::testing::TempFile;
using K = AccumulatorKind;
using engine::QueryOutput;

// Every streamed value, per query and stream, in arrival order.
class StreamSink final : public engine::ValueSink {
public:
    void accept(size_t query, engine::StreamKind kind, std::vector<Value> values) override {
        auto& into = kind == engine::StreamKind::Values ? values_ : unique_;
        if (into.size() <= query) into.resize(query + 1);
        for (auto& v : values) into[query].push_back(std::move(v));
    }
    std::vector<std::vector<Value>> values_, unique_;
};

struct Scanned {
    std::optional<SourceOutcome> outcome;
    StreamSink sink;
};

std::string bits(const std::optional<double>& d) {
    if (!d) return "none";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(std::bit_cast<uint64_t>(*d)));
    return buf;
}

void expect_same(const QueryOutput& a, const QueryOutput& b, const std::string& where) {
    EXPECT_EQ(a.count, b.count) << where;
    EXPECT_EQ(bits(a.min), bits(b.min)) << where;
    EXPECT_EQ(bits(a.max), bits(b.max)) << where;
    EXPECT_EQ(bits(a.sum), bits(b.sum)) << where;
    EXPECT_EQ(bits(a.mean), bits(b.mean)) << where;
    EXPECT_EQ(bits(a.product), bits(b.product)) << where;
    EXPECT_EQ(a.agg_skipped, b.agg_skipped) << where;
    EXPECT_EQ(a.values_count, b.values_count) << where;
    EXPECT_EQ(a.distinct_count, b.distinct_count) << where;
    EXPECT_EQ(a.count_unique, b.count_unique) << where;
    EXPECT_EQ(a.bytes_covered, b.bytes_covered) << where;
    EXPECT_EQ(a.mode_list, b.mode_list) << where;
    EXPECT_EQ(a.value_counts, b.value_counts) << where;
    EXPECT_EQ(a.types, b.types) << where;
    EXPECT_EQ(a.exists_flag, b.exists_flag) << where;
}

void expect_same(const Scanned& serial, const Scanned& split, const std::string& where) {
    ASSERT_TRUE(serial.outcome && split.outcome) << where;
    const SourceOutcome& a = *serial.outcome;
    const SourceOutcome& b = *split.outcome;
    ASSERT_EQ(a.ok(), b.ok()) << where << (a.ok() ? b.error().to_string() : a.error().to_string());
    EXPECT_EQ(serial.sink.values_, split.sink.values_) << where;
    EXPECT_EQ(serial.sink.unique_, split.sink.unique_) << where;
    const std::vector<QueryOutput>* pa = a.ok() ? &a.value() : nullptr;
    const std::vector<QueryOutput>* pb = b.ok() ? &b.value() : nullptr;
    if (!a.ok()) {
        EXPECT_EQ(a.error().kind(), b.error().kind()) << where;
        EXPECT_EQ(a.error().to_string(), b.error().to_string()) << where;
        if (a.error().record() && b.error().record()) {
            EXPECT_EQ(a.error().record()->offset, b.error().record()->offset) << where;
            pa = &a.error().record()->partials;
            pb = &b.error().record()->partials;
        }
    }
    if (!pa || !pb) return;
    ASSERT_EQ(pa->size(), pb->size()) << where;
    for (size_t q = 0; q < pa->size(); ++q) expect_same((*pa)[q], (*pb)[q], where + " query " + std::to_string(q));
}

Scanned scan_whole(const engine::CompiledQueries& compiled, const MappedFile& file, size_t buffer) {
    Scanned r;
    engine::Engine engine = make_engine(compiled, engine::ScanMode::batched(8), true);
    MappedFileSource source(std::shared_ptr<const MappedFile>(std::shared_ptr<void>(), &file), buffer);
    ScanOptions options;
    options.sink = &r.sink;
    r.outcome = scan_source(engine, source, options);
    return r;
}

Scanned scan_ranges(const engine::CompiledQueries& compiled, const MappedFile& file, size_t buffer, size_t walkers,
                uint64_t range_len, engine::ScanMode mode = engine::ScanMode::batched(8)) {
    Scanned r;
    MappedFileSource source(std::shared_ptr<const MappedFile>(std::shared_ptr<void>(), &file), buffer);
    ScanOptions options;
    options.sink = &r.sink;
    r.outcome = scan_split(compiled, mode, source, options, SplitPlan{walkers, range_len});
    return r;
}

// Random documents: records of nested objects and arrays over a few keys.
struct Gen {
    std::mt19937_64 rng;
    bool floats;
    Gen(uint64_t seed, bool with_floats) : rng(seed), floats(with_floats) {}
    size_t below(size_t n) { return rng() % n; }

    std::string number() {
        static const char* ints[] = {"0", "-0", "7", "-3", "12", "9007199254740991", "123456789012", "1e2", "1e999"};
        static const char* reals[] = {"0.1", "-0.0", "2.5", "1e-3", "3.14159", "-7.25", "1e300", "6.02e23"};
        if (floats && below(3) == 0) return reals[below(8)];
        return ints[below(9)];
    }
    std::string scalar() {
        switch (below(9)) {
            case 0: return "true";
            case 1: return "null";
            case 2: return R"("q\"u\\o\n\u00e9")";
            case 3: return "\"" + std::to_string(below(40)) + "\"";  // a number in a string
            case 4: return "\"" + std::string(below(20), 'x') + "\"";
            case 5: return R"("[{,:}]\n")";
            default: return number();
        }
    }
    std::string key() {
        static const char* keys[] = {"a", "b", "c", "d", "e", "a"};
        return keys[below(6)];
    }
    // `pretty` puts members and elements on lines of their own.
    std::string value(int depth, bool pretty) {
        const size_t pick = depth > 3 ? 9 : below(12);
        const std::string nl = pretty ? "\n" + std::string(static_cast<size_t>(depth + 1) * 2, ' ') : "";
        if (pick < 2) {
            std::string s = "[";
            const size_t n = below(4);
            for (size_t i = 0; i < n; ++i) s += (i ? "," : "") + nl + value(depth + 1, pretty);
            return s + (pretty && n ? "\n" : "") + "]";
        }
        if (pick < 5) return object(depth, pretty);
        return scalar();
    }
    std::string object(int depth, bool pretty) {
        const std::string nl = pretty ? "\n" + std::string(static_cast<size_t>(depth + 1) * 2, ' ') : "";
        std::string s = "{";
        const size_t n = below(5);
        for (size_t i = 0; i < n; ++i) s += (i ? "," : "") + nl + "\"" + key() + "\":" + value(depth + 1, pretty);
        return s + (pretty && n ? "\n" : "") + "}";
    }
    // Records one per line; `shape` 0 NDJSON, 1 every record pretty-printed,
    // 2 some records pretty-printed, 3 one pretty-printed array of records.
    std::string document(int shape) {
        const size_t n = 5 + below(40);
        std::string s;
        if (shape == 3) s += "[\n";
        for (size_t i = 0; i < n; ++i) {
            const bool pretty = shape == 1 || shape == 3 || (shape == 2 && below(4) == 0);
            if (shape == 3 && i) s += ",\n";
            s += object(0, pretty);
            if (shape != 3) s += below(5) == 0 ? " \n" : "\n";
        }
        if (shape == 3) s += "\n]\n";
        return s;
    }
    // The document broken at a random place.
    std::string broken(std::string doc) {
        const size_t at = below(doc.size());
        static const char* bad[] = {"]", "}", ",", "\"", "x", "\n", "1.", "-", "{", "[", ":"};
        switch (below(4)) {
            case 0: return doc.substr(0, at);  // truncated
            case 1: return doc.insert(at, bad[below(11)]);
            case 2: return doc.substr(0, at) + doc.substr(std::min(doc.size(), at + 1 + below(4)));
            default: {
                const size_t colon = doc.find(':', at);
                if (colon == std::string::npos) return doc.substr(0, at);
                return doc.insert(colon + 1, below(2) ? "1." : "-");
            }
        }
    }
};

const std::vector<Spec>& fused_specs() {
    static const std::vector<Spec> specs{
        {"a", {K::Count, K::Sum, K::Mean, K::Product, K::Min, K::Max}},
        {"b[*]", {K::Values, K::Types, K::Mode}},
        {"c.d", {K::ValueCounts}},
        {"e", {K::ValuesUnique, K::Exists}},
        {"c", {K::CountUnique, K::Types}},
        {"d", {K::KeyedValues, K::Exists}},
        {"b", {K::Sum, K::Values}},
    };
    return specs;
}

// The document read as sequential input (a decoder's output, say) in ranges,
// against one engine reading the same input.
void check_sequential(const std::string& doc, const std::vector<Spec>& specs, const std::string& label) {
    const engine::CompiledQueries compiled = compile(specs);
    const auto scan_one = [&](size_t buffer) {
        Scanned serial;
        engine::Engine engine = make_engine(compiled, engine::ScanMode::batched(8), true);
        auto source = sequential(doc, buffer);
        ScanOptions options;
        options.sink = &serial.sink;
        serial.outcome = scan_source(engine, *source, options);
        return serial;
    };
    // One buffer holding the whole document: what every cut must report,
    // down to the error's context.
    const Scanned whole = scan_one(doc.size() + 1);
    for (size_t buffer : {size_t{1}, size_t{7}, size_t{4096}}) {
        const Scanned serial = scan_one(buffer);
        expect_same(whole, serial, label + " sequential buffer " + std::to_string(buffer) + " against one buffer");
        for (uint64_t range : {uint64_t{1}, uint64_t{29}, uint64_t{500}}) {
            for (size_t walkers : {size_t{1}, size_t{3}, size_t{8}}) {
                Scanned split;
                auto source = sequential(doc, buffer);
                ScanOptions options;
                options.sink = &split.sink;
                split.outcome =
                    scan_split(compiled, engine::ScanMode::batched(8), *source, options, SplitPlan{walkers, range});
                expect_same(serial, split,
                            label + " sequential buffer " + std::to_string(buffer) + " range " + std::to_string(range) +
                                " walkers " + std::to_string(walkers));
                if (::testing::Test::HasFailure()) {
                    ADD_FAILURE() << "document: " << doc;
                    return;
                }
            }
        }
    }
}

void check_document(const std::string& doc, const std::vector<Spec>& specs, const std::string& label) {
    check_sequential(doc, specs, label);
    if (::testing::Test::HasFailure()) return;
    TempFile file(doc);
    auto opened = MappedFile::open(file.path());
    ASSERT_TRUE(opened.ok());
    const MappedFile& mapped = **opened;
    const engine::CompiledQueries compiled = compile(specs);
    const Scanned whole = scan_whole(compiled, mapped, doc.size() + 1);
    for (size_t buffer : {size_t{1}, size_t{61}, size_t{4096}}) {
        const Scanned serial = scan_whole(compiled, mapped, buffer);
        expect_same(whole, serial, label + " buffer " + std::to_string(buffer) + " against one buffer");
        for (uint64_t range : {uint64_t{1}, uint64_t{17}, uint64_t{300}}) {
            for (size_t walkers : {size_t{1}, size_t{3}, size_t{8}}) {
                const Scanned split = scan_ranges(compiled, mapped, buffer, walkers, range);
                expect_same(serial, split,
                            label + " buffer " + std::to_string(buffer) + " range " + std::to_string(range) +
                                " walkers " + std::to_string(walkers));
                if (::testing::Test::HasFailure()) {
                    ADD_FAILURE() << "document: " << doc;
                    return;
                }
            }
        }
    }
}

TEST(SplitScan, RandomDocumentsAsOneEngineScansThem) {
    for (uint64_t seed = 1; seed <= 16; ++seed) {
        Gen g(seed, seed % 3 == 0);
        const int shape = static_cast<int>(seed % 4);
        const std::string doc = g.document(shape);
        check_document(doc, fused_specs(), "seed " + std::to_string(seed));
        if (::testing::Test::HasFailure()) return;
    }
}

TEST(SplitScan, BrokenDocumentsFailAsOneEngineFails) {
    for (uint64_t seed = 100; seed < 120; ++seed) {
        Gen g(seed, seed % 2 == 0);
        const std::string doc = g.broken(g.document(static_cast<int>(seed % 3)));
        check_document(doc, fused_specs(), "seed " + std::to_string(seed));
        if (::testing::Test::HasFailure()) return;
    }
}

TEST(SplitScan, AByteOrderMarkIsNamedOnlyWhereTheInputBegins) {
    // A mark that opens the input is named by the walker of the first range;
    // one that opens a later line, where a range begins, is a stray byte, as
    // one engine finds it. The magic of compressed data likewise adds its
    // advice at the input's start alone.
    using Kind = engine::ParseErrorKind;
    const std::string mark = "\xEF\xBB\xBF";
    const std::string gzip = "\x1F\x8B\x08\x00";
    const std::string zstd = "\x28\xB5\x2F\xFD";
    Gen g(400, false);
    const std::string records = g.document(0);
    const std::vector<Spec> specs{{"a", {K::Count}}, {"b[*]", {K::Values}}};
    const Kind stray_1f = Kind::unexpected_structural_byte(0x1F);
    const Kind stray_paren = Kind::unexpected_structural_byte('(');
    const std::tuple<std::string, Kind, uint64_t> docs[] = {
        {mark + records, Kind::byte_order_mark(), 0},
        {records + mark + records, Kind::unexpected_structural_byte(0xEF), records.size()},
        {gzip + records, stray_1f.in_compressed_input(engine::Compressed::Gzip), 0},
        {records + gzip + records, stray_1f, records.size()},
        {zstd + records, stray_paren.in_compressed_input(engine::Compressed::Zstd), 0},
        {records + zstd + records, stray_paren, records.size()},
    };
    for (const auto& [doc, kind, offset] : docs) {
        check_document(doc, specs, kind.to_string());
        TempFile file(doc);
        auto opened = MappedFile::open(file.path());
        ASSERT_TRUE(opened.ok());
        const Scanned whole = scan_whole(compile(specs), **opened, doc.size() + 1);
        ASSERT_FALSE(whole.outcome->ok());
        const Incomplete* record = whole.outcome->error().record();
        ASSERT_TRUE(record);
        EXPECT_EQ(record->kind, kind) << whole.outcome->error().to_string();
        EXPECT_EQ(record->offset, offset);
    }
}

TEST(SplitScan, LoneQueriesAndPipelinedWalkers) {
    const std::vector<Spec> sum{{"a", {K::Sum, K::Mean, K::Product}}};
    const std::vector<Spec> values{{"b[*]", {K::Values, K::ValuesUnique}}};
    for (uint64_t seed = 200; seed < 204; ++seed) {
        Gen g(seed, seed % 2 == 0);
        const std::string doc = g.document(static_cast<int>(seed % 3));
        check_document(doc, sum, "sum seed " + std::to_string(seed));
        check_document(doc, values, "values seed " + std::to_string(seed));
        TempFile file(doc);
        auto opened = MappedFile::open(file.path());
        ASSERT_TRUE(opened.ok());
        const engine::CompiledQueries compiled = compile(fused_specs());
        const Scanned serial = scan_whole(compiled, **opened, 64);
        const Scanned split = scan_ranges(compiled, **opened, 64, 2, 40, engine::ScanMode::pipelined(2));
        expect_same(serial, split, "pipelined seed " + std::to_string(seed));
    }
}

TEST(SplitScan, NestingPastTheLimitFailsAsOneEngineFails) {
    // Between records, a kept value nested to the limit or one level past
    // it, on one line or one bracket a line, so that ranges start deep in it.
    const std::vector<Spec> specs{{"b", {K::Values}}, {"a", {K::Count}}};
    Gen g(300, false);
    const std::string records = g.document(0);
    for (size_t depth : {size_t{engine::kNestingLimit}, size_t{engine::kNestingLimit} + 1}) {
        for (const std::string nl : {"", "\n"}) {
            std::string deep = R"({"b":)";
            for (size_t i = 0; i < depth; ++i) deep += "[" + nl;
            for (size_t i = 0; i < depth; ++i) deep += "]" + nl;
            const std::string doc = records + deep + "}\n" + records;
            const std::string label = "depth " + std::to_string(depth) + (nl.empty() ? " on one line" : " a line each");
            TempFile file(doc);
            auto opened = MappedFile::open(file.path());
            ASSERT_TRUE(opened.ok());
            const Scanned whole = scan_whole(compile(specs), **opened, 4096);
            ASSERT_TRUE(whole.outcome);
            ASSERT_EQ(whole.outcome->ok(), depth == engine::kNestingLimit) << label;
            if (!whole.outcome->ok()) {
                EXPECT_EQ(whole.outcome->error().record()->offset,
                          records.size() + 5 + engine::kNestingLimit * (1 + nl.size()))
                    << label;
            }
            check_document(doc, specs, label);
        }
    }
}

// Records whose numbers go to Sum, Mean and Product: integers small, past
// 2^53, decimals, exponents, huge, tiny and subnormal magnitudes, numbers in
// strings, atoms that are no numbers; "p" stays near 1 so products neither
// vanish nor overflow at once.
std::string figure_document(std::mt19937_64& rng, size_t lines) {
    static const char* fixed[] = {"9007199254740993", "12345678901234567890", "4.9e-324", "-2.5e-310", "3e300",
                                  "-1.7976931348623157e308", "-0", "1E400", "\"2.5\"", "null"};
    static const char* near_one[] = {"1.0000001", "0.999", "-1.25", "1.5", "0.75", "2", "\"1.1\""};
    const auto number = [&]() -> std::string {
        const int64_t n = static_cast<int64_t>(rng() % 20001) - 10000;
        switch (rng() % 4) {
            case 0: return std::to_string(n);
            case 1: return std::to_string(n) + "." + std::to_string(rng() % 1000) + "e" + std::to_string(n % 30);
            case 2: return fixed[rng() % 10];
            default: return "0." + std::to_string(rng() % 1000000) + "e-" + std::to_string(rng() % 300);
        }
    };
    std::string doc;
    for (size_t i = 0; i < lines; ++i)
        doc += "{\"a\":" + number() + ",\"p\":" + near_one[rng() % 7] + ",\"b\":[" + number() + "]}\n";
    return doc;
}

enum class Codec { Gzip, Zstd };

std::unique_ptr<ByteReader> decoder_of(const test::Bytes& data, Codec codec) {
    auto input = std::make_unique<MemoryReader>(data);
    if (codec == Codec::Gzip) return std::make_unique<GzipDecoder>(std::move(input));
    auto z = ZstdDecoder::create(std::move(input));
    if (!z) panic("zstd decoder: " + z.error().to_string());
    return std::move(*z);
}

// The compressed input `data` as its decoder's output in `buffer`-byte
// buffers, read by the scanning thread or prefetched on a thread of its own,
// scanned by one engine and in ranges: every outcome is that of one engine
// reading it unprefetched (results, values, errors, partial results).
void check_compressed(const test::Bytes& data, Codec codec, const std::string& label, std::vector<size_t> buffers,
                      std::vector<uint64_t> ranges) {
    const engine::CompiledQueries compiled = compile(
        {{"a", {K::Sum, K::Mean, K::Count, K::Values}}, {"p", {K::Product, K::Mean}}, {"b[*]", {K::Sum, K::Product}}});
    const auto scan = [&](size_t buffer, bool prefetch, const std::optional<SplitPlan>& plan) {
        std::unique_ptr<ByteReader> decoder = decoder_of(data, codec);
        std::unique_ptr<Source> source = prefetch ? std::unique_ptr<Source>(PrefetchSource::with_params(std::move(decoder), buffer))
                                                  : std::make_unique<ReadSource>(std::move(decoder), buffer);
        Scanned r;
        ScanOptions options;
        options.sink = &r.sink;
        engine::Engine engine = make_engine(compiled, engine::ScanMode::batched(8), true);
        r.outcome = plan ? scan_split(compiled, engine::ScanMode::batched(8), *source, options, *plan)
                         : scan_source(engine, *source, options);
        return r;
    };
    for (size_t buffer : buffers) {
        const std::string at = label + " buffer " + std::to_string(buffer);
        const Scanned serial = scan(buffer, false, std::nullopt);
        expect_same(serial, scan(buffer, true, std::nullopt), at + " prefetched");
        for (uint64_t range : ranges) {
            for (size_t walkers : {size_t{1}, size_t{3}, size_t{8}}) {
                for (bool prefetch : {false, true}) {
                    expect_same(serial, scan(buffer, prefetch, SplitPlan{walkers, range}),
                                at + (prefetch ? " prefetched" : "") + " range " + std::to_string(range) + " walkers " +
                                    std::to_string(walkers));
                    if (::testing::Test::HasFailure()) return;
                }
            }
        }
    }
}

test::Bytes gzip_of(const std::string& s) { return test::gzip(test::Bytes(s.begin(), s.end())); }
test::Bytes zstd_of(const std::string& s) { return test::zstd(test::Bytes(s.begin(), s.end())); }

TEST(SplitScan, FiguresReplayedAsOneEngineFoldsThem) {
    std::mt19937_64 rng(1);
    for (int round = 0; round < 6; ++round) {
        const std::string doc = figure_document(rng, 150);
        check_document(doc, {{"a", {K::Sum, K::Mean, K::Count}}, {"p", {K::Product}}, {"b[*]", {K::Sum, K::Product}}},
                       "figures " + std::to_string(round));
        check_compressed(gzip_of(doc), Codec::Gzip, "figures gzip " + std::to_string(round), {5, 4096}, {64, 700});
    }
}

TEST(SplitScan, DamagedCompressedInputFailsAfterTheSamePartialFigures) {
    // Decode errors inside a buffer and where one ends (a document of
    // exactly three 4096-byte buffers with a broken checksum), in a first
    // and a second gzip member or zstd frame.
    std::mt19937_64 rng(31);
    const std::string doc1 = figure_document(rng, 200);
    const std::string doc2 = figure_document(rng, 120);
    std::string exact = figure_document(rng, 60);
    exact.resize(3 * 4096 - 1, ' ');
    exact += '\n';
    const test::Bytes first = gzip_of(doc1);
    const test::Bytes both = test::concat(first, gzip_of(doc2));
    const test::Bytes three = gzip_of(exact);
    const test::Bytes zfirst = zstd_of(doc1);
    const test::Bytes zboth = test::concat(zfirst, zstd_of(doc2));
    const auto cut = [](const test::Bytes& b, size_t n) { return test::Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); };
    const auto flip = [](test::Bytes b, size_t at) { b[at] ^= 0x5a; return b; };
    const std::tuple<const char*, Codec, test::Bytes> cases[] = {
        {"truncated member", Codec::Gzip, cut(first, first.size() / 3)},
        {"truncated trailer", Codec::Gzip, cut(first, first.size() - 5)},
        {"truncated second member", Codec::Gzip, cut(both, (first.size() + both.size()) / 2)},
        {"corrupt checksum", Codec::Gzip, flip(both, first.size() - 8)},
        {"corrupt checksum after whole buffers", Codec::Gzip, flip(three, three.size() - 8)},
        {"corrupt length", Codec::Gzip, flip(both, first.size() - 2)},
        {"corrupt deflate data", Codec::Gzip, flip(first, first.size() / 2)},
        {"corrupt deflate data in the second member", Codec::Gzip, flip(both, (first.size() + both.size()) / 2)},
        {"two zstd frames", Codec::Zstd, zboth},
        {"truncated zstd frame", Codec::Zstd, cut(zfirst, zfirst.size() / 2)},
        {"truncated second zstd frame", Codec::Zstd, cut(zboth, (zfirst.size() + zboth.size()) / 2)},
        {"corrupt zstd block", Codec::Zstd, flip(zboth, zfirst.size() / 2)},
    };
    for (const auto& [what, codec, data] : cases) check_compressed(data, codec, what, {5, 4096}, {64, 700});
}

TEST(SplitScan, DecodedSlabsCarryRecordsAcrossTheirEdges) {
    // Over 1 MiB slabs handed over by the decoder's thread (batched mode's
    // buffers): records cross the slab edges, one longer than the room
    // ahead of a slab (cut inside the record, read on by one engine);
    // whole, then cut short in the third slab, failing after the same
    // partial results.
    std::mt19937_64 rng(77);
    std::string doc;
    while (doc.size() < 1048576 - 70000) doc += figure_document(rng, 1);
    doc += "{\"b\":[";
    for (int i = 0; i < 15000; ++i) doc += std::to_string(i % 97) + ".25,";
    doc += "1]}\n";
    while (doc.size() < 3 * 1048576 - 100000) doc += figure_document(rng, 100);
    const test::Bytes gz = gzip_of(doc);
    check_compressed(gz, Codec::Gzip, "whole", {1048576}, {300000});
    check_compressed(test::Bytes(gz.begin(), gz.begin() + static_cast<std::ptrdiff_t>(gz.size() * 17 / 20)),
                     Codec::Gzip, "cut", {1048576}, {300000});
}

TEST(SplitScan, ZerosOfEitherSignAndInfinitiesInMinAndMax) {
    // Ties between zeros settle by order; each grouping of the ranges must
    // settle them as one scan does.
    std::string doc;
    const char* figures[] = {"0", "-0", "1e999", "-1e999", "-0", "0", "\"-0\"", "0.0", "-0e5", "2"};
    for (int i = 0; i < 40; ++i) doc += std::string("{\"a\":") + figures[(i * 7) % 10] + "}\n";
    check_document(doc, {{"a", {K::Min, K::Max, K::Sum}}}, "zeros");
    check_document(doc.substr(doc.find('\n') + 1), {{"a", {K::Min, K::Max}}}, "zeros later");
}

// The one-source entry keeps one engine where ranges cannot give the same
// answer: a limit, queries that settle, an observer that reads the engine.
class ReadingObserver final : public ScanObserver {
public:
    Verdict at_interval(uint64_t, const engine::Engine&) override {
        ++calls;
        return Verdict::Continue;
    }
    int calls = 0;
};

TEST(SplitScan, OneEngineWhereRangesCannotAnswer) {
    std::string doc;
    for (int i = 0; i < 600000; ++i) doc += "{\"a\":" + std::to_string(i % 97) + ",\"b\":[1,2]}\n";
    TempFile file(doc);
    auto opened = MappedFile::open(file.path());
    ASSERT_TRUE(opened.ok());
    const MappedFile& mapped = **opened;
    ASSERT_GE(*mapped.size(), uint64_t{8388608});
    const std::vector<std::vector<Spec>> sets{
        {{"a", {K::Values, K::Count}, 5}},
        {{"a", {K::Exists}}, {"b", {K::Exists}}},
        {{"a", {K::ValueCounts, K::Sum}}, {"b[*]", {K::Values}}},
    };
    for (const auto& specs : sets) {
        const engine::CompiledQueries compiled = compile(specs);
        const Scanned serial = scan_whole(compiled, mapped, 1048576);
        for (bool observe : {false, true}) {
            Scanned r;
            ReadingObserver observer;
            MappedFileSource source(std::shared_ptr<const MappedFile>(std::shared_ptr<void>(), &mapped), 1048576);
            ScanOptions options;
            options.sink = &r.sink;
            if (observe) {
                options.observer = &observer;
                options.interval = 1048576;
            }
            r.outcome = scan_one_source(compiled, engine::ScanMode::batched(8), source, options, 8);
            expect_same(serial, r, specs[0].text + (observe ? " observed" : ""));
            if (observe && !specs[0].limit && specs.size() > 1 && specs[1].kinds[0] != K::Exists) {
                EXPECT_GT(observer.calls, 0);
            }
        }
    }
}

// A mapped file's source that counts the buffers asked of it. Ranges are
// read from the file itself, so a run in ranges asks for none.
class CountingSource final : public Source {
public:
    CountingSource(const MappedFile& file, size_t grid)
        : inner_(std::shared_ptr<const MappedFile>(std::shared_ptr<void>(), &file), grid) {}
    BufferResult next_buffer() override {
        ++asked;
        return inner_.next_buffer();
    }
    std::optional<IoError> lost_buffer() const override { return inner_.lost_buffer(); }
    const MappedFile* mapped_file() const override { return inner_.mapped_file(); }
    size_t buffer_grid() const override { return inner_.buffer_grid(); }
    size_t asked = 0;

private:
    MappedFileSource inner_;
};

TEST(SplitScan, OneSourceSplitsFromThePolicysSizeOn) {
    // The smallest file the run policy cuts into ranges, a byte either side:
    // the one-source run follows the policy, with the same outcome.
    constexpr uint64_t kSplitSize = 8388608;
    ASSERT_EQ(split_range_len(kSplitSize - 1, 8), 0u);
    ASSERT_GT(split_range_len(kSplitSize, 8), 0u);
    std::string records;
    for (int i = 0; records.size() < kSplitSize - 200; ++i)
        records += "{\"a\":" + std::to_string(i % 89) + ",\"b\":[" + std::to_string(i % 7) + ",\"x\"]}\n";
    const engine::CompiledQueries compiled = compile({{"a", {K::Sum, K::Count, K::Values}}, {"b[*]", {K::Types}}});
    for (uint64_t size : {kSplitSize - 1, kSplitSize, kSplitSize + 1}) {
        // The last record padded out to the size.
        const std::string doc = records + "{\"a\":1}" + std::string(size - records.size() - 8, ' ') + "\n";
        ASSERT_EQ(doc.size(), size);
        TempFile file(doc);
        auto opened = MappedFile::open(file.path());
        ASSERT_TRUE(opened.ok());
        const Scanned serial = scan_whole(compiled, **opened, 1048576);
        Scanned r;
        CountingSource source(**opened, 1048576);
        ScanOptions options;
        options.sink = &r.sink;
        r.outcome = scan_one_source(compiled, engine::ScanMode::batched(8), source, options, 8);
        expect_same(serial, r, "size " + std::to_string(size));
        EXPECT_EQ(source.asked == 0, size >= kSplitSize) << size << " bytes, " << source.asked << " buffers asked";
    }
}

}  // namespace
}  // namespace jorvane::run::testing
