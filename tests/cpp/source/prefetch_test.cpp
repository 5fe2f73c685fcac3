#include <gtest/gtest.h>

#include <chrono>
#include <new>
#include <thread>

#include "source/file_reader.h"
#include "source/gzip_decoder.h"
#include "source/prefetch_source.h"
#include "source/zstd_decoder.h"
#include "support/sample_inputs.h"
#include "util/panic.h"

namespace jorvane {
namespace {

using namespace test;

constexpr size_t k4MiB = 4 * kMiB;

// Never ends: every read fills the whole span.
class EndlessReader final : public ByteReader {
public:
    Result<size_t, IoError> read(std::span<uint8_t> dest) override {
        for (auto& b : dest) b = static_cast<uint8_t>(n_++);
        return dest.size();
    }

private:
    uint8_t n_ = 0;
};

// Throws from its first read, the way a broken decoder might.
template <class Throw>
class ThrowingReader final : public ByteReader {
public:
    Result<size_t, IoError> read(std::span<uint8_t>) override { Throw{}(); return size_t{0}; }
};
struct ThrowBadAlloc {
    void operator()() const { throw std::bad_alloc(); }
};
struct ThrowPanic {
    void operator()() const { panic("decoder invariant broken"); }
};

void expect_end_forever(Source& src) {
    for (int i = 0; i < 3; ++i) {
        auto r = src.next_buffer();
        ASSERT_TRUE(r.ok());
        EXPECT_FALSE(r->has_value());
    }
}

// The reader thread is gone once the kernel has removed it from the task
// list, which may trail the join by a moment.
bool threads_back_to(int before) {
    for (int i = 0; i < 5000; ++i) {
        if (thread_count() == before) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

TEST(PrefetchSource, ErrorOnceAfterTheGoodBuffers) {
    Bytes data = sample_bytes(2 * k4MiB + 1000);
    auto reader = std::make_unique<ScriptedReader>(data, 300000,
                                                   IoError::custom(IoErrorKind::Other, "boom"));
    auto src = PrefetchSource::with_params(std::move(reader), k4MiB);
    for (int i = 0; i < 2; ++i) {
        auto r = src->next_buffer();
        ASSERT_TRUE(r.ok());
        ASSERT_TRUE(r->has_value());
        ASSERT_EQ((*r)->size(), k4MiB);
        EXPECT_TRUE(std::equal((*r)->begin(), (*r)->end(), data.begin() + i * k4MiB));
    }
    auto e = src->next_buffer();
    ASSERT_FALSE(e.ok());
    EXPECT_EQ(e.error().to_string(), "boom");
    expect_end_forever(*src);
}

TEST(PrefetchSource, ExactAndEmptyInputs) {
    Bytes data = sample_bytes(k4MiB);
    auto exact = PrefetchSource::with_params(std::make_unique<ScriptedReader>(data, 1 << 20), k4MiB);
    auto r = exact->next_buffer();
    ASSERT_TRUE(r.ok() && r->has_value());
    EXPECT_EQ((*r)->size(), k4MiB);
    expect_end_forever(*exact);

    auto empty = PrefetchSource::with_params(std::make_unique<ScriptedReader>(Bytes{}, 10), k4MiB);
    expect_end_forever(*empty);
}

TEST(PrefetchSource, DecodesCompressedFilesInFourMiBBuffers) {
    TempDir dir;
    Bytes a = sample_bytes(9 * kMiB + 123, 5), b = sample_bytes(3 * kMiB, 6);
    auto gz = dir.write("x.json.gz", concat(gzip(a), gzip(b)));
    auto zs = dir.write("x.json.zst", concat(zstd(a), zstd(b)));

    auto gz_file = FileReader::open(gz);
    ASSERT_TRUE(gz_file.ok());
    auto gsrc = PrefetchSource::with_params(std::make_unique<GzipDecoder>(std::move(gz_file).value()), k4MiB);
    gsrc->abandon();  // changes nothing
    auto gd = drain(*gsrc);
    EXPECT_FALSE(gd.error);
    EXPECT_EQ(gd.data, concat(a, b));
    EXPECT_EQ(gd.buffer_sizes, (std::vector<size_t>{k4MiB, k4MiB, k4MiB, 123}));

    auto zs_file = FileReader::open(zs);
    ASSERT_TRUE(zs_file.ok());
    auto zdec = ZstdDecoder::create(std::move(zs_file).value());
    ASSERT_TRUE(zdec.ok());
    auto zsrc = PrefetchSource::with_params(std::move(zdec).value(), k4MiB);
    EXPECT_EQ(drain(*zsrc).data, concat(a, b));

    // A damaged gzip header held from opening comes out of the thread.
    auto bad = dir.write("bad.gz", Bytes{'n', 'o', 't', ' ', 'g', 'z', 'i', 'p', '!', '!', '!'});
    auto bad_file = FileReader::open(bad);
    ASSERT_TRUE(bad_file.ok());
    auto bsrc = PrefetchSource::with_params(std::make_unique<GzipDecoder>(std::move(bad_file).value()), k4MiB);
    auto br = bsrc->next_buffer();
    ASSERT_FALSE(br.ok());
    EXPECT_EQ(br.error().to_string(), "invalid gzip header");
    expect_end_forever(*bsrc);
}

TEST(PrefetchSource, HandsOverBuffersHoldingWhatNextBufferGives) {
    // With buffers given back or not, the bytes are those of next_buffer
    // (the failing fill lost alike), then the error once.
    Bytes data = sample_bytes(3 * k4MiB + 1000);
    for (int run = 0; run < 4; ++run) {
        const bool give_back = run & 1, fails = run & 2;
        auto src = PrefetchSource::with_params(
            fails ? std::make_unique<ScriptedReader>(data, 300000, IoError::custom(IoErrorKind::Other, "boom"))
                  : std::make_unique<ScriptedReader>(data, 300000),
            k4MiB);
        Bytes got, back;
        HandedResult r = src->next_handed({});
        for (; r.ok() && r->has_value(); r = src->next_handed(give_back ? std::move(back) : Bytes{})) {
            HandedBuffer& b = **r;
            ASSERT_EQ(b.at, PrefetchSource::kHeadroom);
            got.insert(got.end(), b.bytes.begin() + static_cast<std::ptrdiff_t>(b.at),
                       b.bytes.begin() + static_cast<std::ptrdiff_t>(b.at + b.len));
            back = std::move(b.bytes);
        }
        EXPECT_EQ(r.ok(), !fails);
        if (fails) {
            EXPECT_EQ(r.error().to_string(), "boom");
        }
        EXPECT_EQ(got, Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(fails ? 3 * k4MiB : data.size())));
        expect_end_forever(*src);
    }
}

TEST(PrefetchSource, ExceptionsInTheThreadBecomeErrors) {
    auto oom = PrefetchSource::with_params(std::make_unique<ThrowingReader<ThrowBadAlloc>>(), k4MiB);
    auto r = oom->next_buffer();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), IoErrorKind::OutOfMemory);
    EXPECT_EQ(r.error().to_string(), "out of memory");
    expect_end_forever(*oom);

    auto broken = PrefetchSource::with_params(std::make_unique<ThrowingReader<ThrowPanic>>(), k4MiB);
    auto p = broken->next_buffer();
    ASSERT_FALSE(p.ok());
    EXPECT_EQ(p.error().to_string(), "decoder invariant broken");
}

TEST(PrefetchSource, DroppingLeavesNoThread) {
    int before = thread_count();
    ASSERT_GT(before, 0);
    {
        // Never read: the thread has filled all four buffers and waits.
        auto src = PrefetchSource::with_params(std::make_unique<EndlessReader>(), k4MiB);
        EXPECT_EQ(thread_count(), before + 1);
    }
    EXPECT_TRUE(threads_back_to(before));
    for (int reads : {1, 7}) {
        // Dropped mid-stream while the thread is filling or waiting.
        auto src = PrefetchSource::with_params(std::make_unique<EndlessReader>(), k4MiB);
        for (int i = 0; i < reads; ++i) {
            auto r = src->next_buffer();
            ASSERT_TRUE(r.ok() && r->has_value());
            EXPECT_EQ((*r)->size(), k4MiB);
        }
        src.reset();
        EXPECT_TRUE(threads_back_to(before));
    }
}

}  // namespace
}  // namespace jorvane
