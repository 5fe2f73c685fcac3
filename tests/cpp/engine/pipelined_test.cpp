// Pipelined mode: one stage-1 thread per engine, reused across buffers and
// sources and idle without using the processor; short buffers scanned inline
// without a thread; the outcome of a batched scan for buffers around the
// threshold and for many sources through one engine; failures on either
// thread.
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "classification_kernel/kernel.h"
#include "classification_kernel/scalar_kernel.h"
#include "engine/walk/stage_one_producer.h"
#include "engine/walk/walk_loop.h"
#include "engine_harness.h"

namespace jorvane::engine::testing {
namespace {

using classification_kernel::ChunkMasks;
using classification_kernel::KernelCarry;

double process_cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// NDJSON of at least `bytes` bytes: nesting, escapes, brackets in strings.
std::string ndjson(size_t bytes, uint32_t seed) {
    std::mt19937 g(seed);
    std::string s;
    for (int i = 0; s.size() < bytes; ++i) {
        s += R"({"id":)" + std::to_string(i) + R"(,"user":{"name":"u\"\\)" + std::string(g() % 40, 'x') +
             R"(","id":)" + std::to_string(g() % 1000) + R"(},"events":[)";
        const int n = int(g() % 4);
        for (int k = 0; k < n; ++k)
            s += std::string(k ? "," : "") + R"({"user":{"id":)" + std::to_string(g() % 50) +
                 R"(},"tags":["a]","{b",")" + std::string(g() % 3 * 2, '\\') + R"("]})";
        s += R"(],"qty":)" + std::to_string(g() % 100) + "}\n";
    }
    return s;
}

const std::vector<QuerySpec>& queries() {
    static const std::vector<QuerySpec> q{{"events[*].user.id", {M::Count, M::Values}},
                                          {"qty", {M::Sum}},
                                          {"user.name", {M::Values}},
                                          {"missing.field", {M::Count}}};
    return q;
}

// Cuts giving buffers of the given lengths in turn, up to `size`.
std::vector<size_t> cuts_of(size_t size, const std::vector<size_t>& lengths) {
    std::vector<size_t> cuts;
    size_t at = 0;
    for (size_t i = 0;; ++i) {
        at += lengths[i % lengths.size()];
        if (at >= size) break;
        cuts.push_back(at);
    }
    return cuts;
}

constexpr uint64_t kMin = ScanMode::kMinPipelinedLen;

TEST(Pipelined, ShortInputsNeverStartTheThread) {
    const std::string tiny = "[1,2,3,1,2,3,1,2,3,1,2,3,1,2,3,1,2,3,1,2,3,1,2,3,1,2,3,1,2,3,1,2,3,1,2,3,4,5,6,7,8,9,10,11,12]";
    Engine e = make_engine({{"[*]", {M::Count}}}, ScanMode::pipelined(128));
    for (int i = 0; i < 2000; ++i) {
        e.reset_for_next_source();
        e.scan_buffer(std::string_view(tiny));
        ASSERT_FALSE(e.finish(true));
    }
    EXPECT_FALSE(e.stage_one_started());
    EXPECT_EQ(e.finalize_source()[0].count, 45u);

    // Just below the threshold, in one buffer or several: still no thread.
    const std::string doc = ndjson(kMin + 4096, 1);
    Engine below = make_engine(queries(), ScanMode::pipelined(128));
    Outcome o = run_engine(below, doc, cuts_of(doc.size(), {kMin - 1}));
    EXPECT_FALSE(below.stage_one_started());
    EXPECT_TRUE(same_outcome(run(doc, queries()), o)) << describe(o);
    // At the threshold a buffer goes to the thread.
    Engine at = make_engine(queries(), ScanMode::pipelined_always(128, kMin));
    o = run_engine(at, doc, cuts_of(doc.size(), {kMin}));
    EXPECT_TRUE(at.stage_one_started());
    EXPECT_EQ(at.stage_one_buffers(), 1u);
    EXPECT_TRUE(same_outcome(run(doc, queries()), o)) << describe(o);
}

TEST(Pipelined, BuffersAroundTheThresholdScanAsBatched) {
    const std::string doc = ndjson(2 * kMin + 12345, 2);
    const Outcome reference = run(doc, queries(), RunOptions{ScanMode::batched(8)});
    ASSERT_FALSE(reference.failed) << reference.message;
    const std::vector<std::vector<size_t>> patterns{{kMin - 1}, {kMin}, {kMin + 1},         {kMin - 64, kMin + 64},
                                                    {kMin + 63, 1, 5, kMin - 1},             {2 * kMin + 17, 100}};
    for (ScanMode mode : {ScanMode::pipelined(128), ScanMode::pipelined_always(128, kMin),
                          ScanMode::pipelined_always(16, kMin), ScanMode::pipelined_always(256, kMin)}) {
        for (const auto& lengths : patterns) {
            for (auto k : supported_kernels()) {
                Engine e = make_engine(queries(), mode);
                e.set_kernel(k);
                Outcome o = run_engine(e, doc, cuts_of(doc.size(), lengths));
                ASSERT_TRUE(same_outcome(reference, o)) << mode_name(mode) << " first length " << lengths[0] << ": "
                                                        << describe(o);
                if (!mode.adaptive) {
                    EXPECT_EQ(e.stage_one_started(), lengths[0] >= kMin || lengths.size() > 1);
                }
            }
        }
    }
}

TEST(Pipelined, OneThreadServesManySourcesAndMoves) {
    Engine e = make_engine(queries(), ScanMode::pipelined_always(16));
    std::mt19937 g(3);
    uint64_t buffers = 0;
    for (int source = 0; source < 60; ++source) {
        e.reset_for_next_source();
        std::string doc = ndjson(1000 + g() % 20000, uint32_t(source));
        if (source % 7 == 3) doc.insert(doc.size() / 2, "]");  // a broken source in between
        std::vector<size_t> cuts;
        for (int c = 0; c < 5; ++c) cuts.push_back(1 + g() % (doc.size() - 1));
        std::sort(cuts.begin(), cuts.end());
        Outcome o = run_engine(e, doc, cuts);
        Outcome expected = run(doc, queries(), RunOptions{ScanMode::batched(8), classification_kernel::KernelKind::Scalar, cuts});
        ASSERT_TRUE(same_outcome(expected, o)) << "source " << source << ": " << describe(o) << " vs " << describe(expected);
        ASSERT_TRUE(e.stage_one_started());
        EXPECT_GT(e.stage_one_buffers(), buffers);
        buffers = e.stage_one_buffers();
        if (source == 30) {
            Engine moved = std::move(e);  // the thread goes with the engine
            e = std::move(moved);
        }
    }
}

TEST(Pipelined, AnIdleEngineUsesNoProcessor) {
    const std::string doc = ndjson(2 * kMin, 4);
    Engine e = make_engine(queries(), ScanMode::pipelined_always(128));
    run_engine(e, doc, {kMin});
    ASSERT_TRUE(e.stage_one_started());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // past the idle spin
    const double before = process_cpu_seconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_LT(process_cpu_seconds() - before, 0.02);
}

TEST(Pipelined, AdaptiveScansOfLongInputsMatchBatched) {
    const std::string doc = ndjson(7 * kMin + 999, 5);
    const Outcome reference = run(doc, queries(), RunOptions{ScanMode::batched(8)});
    for (size_t buffer : {kMin, kMin + 4099}) {
        Engine e = make_engine(queries(), ScanMode::pipelined(64));
        Outcome o = run_engine(e, doc, cuts_of(doc.size(), {buffer}));
        EXPECT_TRUE(same_outcome(reference, o)) << describe(o);
    }
}

TEST(Pipelined, TheChoiceFollowsTheMeasuredTimes) {
    PipelineChoice c;
    // Pipelined 10 % faster: probes alternate, then the rest of the round pipelines.
    std::vector<bool> seen;
    for (uint32_t i = 0; i < PipelineChoice::kRound; ++i) {
        const bool p = c.pipeline_next();
        seen.push_back(p);
        c.record(p, 1000, p ? 900 : 1000);
    }
    EXPECT_EQ(seen[0], false);
    EXPECT_EQ(seen[1], true);
    for (uint32_t i = 2 * PipelineChoice::kProbe; i < PipelineChoice::kRound; ++i) EXPECT_TRUE(seen[i]) << i;
    // Pipelined 1 % faster is within the margin: batched. The round after a
    // batched one is twice as long.
    uint32_t pipelined = 0;
    for (uint32_t i = 0; i < PipelineChoice::kRound; ++i) {
        const bool p = c.pipeline_next();
        pipelined += p;
        c.record(p, 1000, p ? 990 : 1000);
    }
    EXPECT_EQ(pipelined, PipelineChoice::kProbe);
    // Pipelined far slower: one probe, then batched for the whole (doubled) round.
    pipelined = 0;
    for (uint32_t i = 0; i < 2 * PipelineChoice::kRound; ++i) {
        const bool p = c.pipeline_next();
        pipelined += p;
        c.record(p, 1000, p ? 2000 : 1000);
    }
    EXPECT_EQ(pipelined, 1u);
    // The next round is four times as long; a win there brings it back.
    pipelined = 0;
    for (uint32_t i = 0; i < 4 * PipelineChoice::kRound; ++i) {
        const bool p = c.pipeline_next();
        pipelined += p;
        c.record(p, 1000, p ? 800 : 1000);
    }
    EXPECT_EQ(pipelined, 4 * PipelineChoice::kRound - PipelineChoice::kProbe);
    EXPECT_FALSE(c.pipeline_next());  // a new round of kRound starts with probes
    // No core to spare: the round stops probing and scans batched.
    c.record(false, 1000, 1000);
    ASSERT_TRUE(c.pipeline_next());
    c.no_spare_core();
    pipelined = 0;
    for (uint32_t i = 1; i < PipelineChoice::kRound; ++i) {
        const bool p = c.pipeline_next();
        pipelined += p;
        c.record(p, 1000, 1000);
    }
    EXPECT_EQ(pipelined, 0u);
}

// ---- the producer on its own ----

// Random JSON-ish bytes: quotes, backslashes, brackets, separators.
std::vector<uint8_t> noise(size_t chunks, uint32_t seed) {
    std::mt19937 g(seed);
    const char alphabet[] = "\"\\{}[],: abc\n";
    std::vector<uint8_t> v(chunks * 64);
    for (auto& b : v) b = uint8_t(alphabet[g() % (sizeof alphabet - 1)]);
    return v;
}

std::vector<ChunkMasks> reference_masks(const std::vector<uint8_t>& buf, KernelCarry carry) {
    std::vector<ChunkMasks> m(buf.size() / 64);
    classification_kernel::classify_batch<classification_kernel::KernelKind::Scalar>(buf.data(), m.size(), m.data(), carry);
    return m;
}

bool same_masks(const ChunkMasks& a, const ChunkMasks& b) {
    return a.structural == b.structural && a.openers == b.openers && a.closers == b.closers;
}

constexpr ClassifyChunks kScalar = &classification_kernel::classify_batch<classification_kernel::KernelKind::Scalar>;

TEST(StageOneProducer, BlocksAndInlineRunsGiveTheBatchedMasks) {
    StageOneProducer p;
    std::mt19937 g(6);
    for (int round = 0; round < 40; ++round) {
        const size_t chunks = 1 + g() % 3000;
        const auto buf = noise(chunks, uint32_t(round));
        KernelCarry carry;
        carry.in_string = uint8_t(round % 2);
        const auto expected = reference_masks(buf, carry);
        const uint32_t n = std::vector<uint32_t>{1, 7, 16, 128, 256}[round % 5];
        p.begin(buf.data(), chunks, n, carry, kScalar);
        uint64_t pos = 0;
        while (pos < chunks) {
            if (const MaskBlock* b = p.peek()) {
                ASSERT_LE(b->first, pos);
                for (uint64_t i = pos; i < b->first + b->count; ++i)
                    ASSERT_TRUE(same_masks(b->records[i - b->first], expected[i])) << "round " << round << " chunk " << i;
                if (b->first + b->count > pos) {
                    pos = b->first + b->count;
                    carry = b->carry;
                }
                p.release();
            } else if (g() % 2) {
                // Classify a few here, as the walk does when nothing is ready.
                const uint64_t m = std::min<uint64_t>(1 + g() % 9, chunks - pos);
                std::vector<ChunkMasks> own(m);
                kScalar(buf.data() + pos * 64, m, own.data(), carry);
                for (uint64_t i = 0; i < m; ++i) ASSERT_TRUE(same_masks(own[i], expected[pos + i]));
                pos += m;
                p.note_progress(pos, carry);
            }
        }
        p.end();
    }
    EXPECT_EQ(p.buffers_begun(), 40u);
}

std::atomic<uint64_t> g_calls{0};

void failing_classify(const uint8_t* chunks, size_t count, ChunkMasks* out, KernelCarry& carry) {
    if (g_calls.fetch_add(1) == 3) throw std::runtime_error("stage 1 failed");
    kScalar(chunks, count, out, carry);
}

TEST(StageOneProducer, AFailureIsRaisedAfterThePublishedBlocks) {
    StageOneProducer p;
    const auto buf = noise(4096, 7);
    const auto expected = reference_masks(buf, KernelCarry{});
    g_calls = 0;
    p.begin(buf.data(), 4096, 16, KernelCarry{}, &failing_classify);
    uint64_t pos = 0;
    for (;;) {
        if (const MaskBlock* b = p.peek()) {
            ASSERT_EQ(b->first, pos);
            for (uint32_t i = 0; i < b->count; ++i) ASSERT_TRUE(same_masks(b->records[i], expected[pos + i]));
            pos += b->count;
            p.release();
        } else if (p.closed()) {
            if (!p.peek()) break;
        } else {
            std::this_thread::yield();
        }
    }
    EXPECT_EQ(pos, 3u * 16);  // the three blocks published before the failure
    try {
        p.end();
        FAIL() << "end() did not raise the failure";
    } catch (const Panic& e) {
        EXPECT_EQ(e.message(), "producer thread panicked: stage 1 failed");
    }
    // The thread is still there for the next buffer.
    p.begin(buf.data(), 4096, 64, KernelCarry{}, kScalar);
    pos = 0;
    while (pos < 4096) {
        if (const MaskBlock* b = p.peek()) {
            ASSERT_EQ(b->first, pos);
            pos += b->count;
            p.release();
        }
    }
    p.end();
}

// The carry after each chunk of `buf`, classified from `carry` on.
std::vector<KernelCarry> reference_carries(const std::vector<uint8_t>& buf, KernelCarry carry) {
    std::vector<KernelCarry> after(buf.size() / 64);
    for (size_t i = 0; i < after.size(); ++i) {
        ChunkMasks m;
        kScalar(buf.data() + i * 64, 1, &m, carry);
        after[i] = carry;
    }
    return after;
}

TEST(StageOneProducer, AWalkerLeavingEarlyLeavesItSane) {
    // A walk that leaves a buffer early (it unwinds, having taken a block or
    // two, perhaps having classified chunks itself) abandons it. The thread
    // has left the buffer when abandon() returns, so the buffer is freed at
    // once; the next buffer, with another carry and block length, then gets
    // every one of its blocks in order from its first chunk, with its own
    // masks and carries and nothing of the buffer left, on a ring that stays
    // open, and ends cleanly. The producer can also be destroyed right after
    // leaving a buffer, or with the next one in flight.
    const auto next = noise(3000, 9);
    KernelCarry next_carry;
    next_carry.in_string = 1;
    const auto expected = reference_masks(next, next_carry);
    const auto carries = reference_carries(next, next_carry);
    for (int round = 0; round < 30; ++round) {
        StageOneProducer p;
        {
            const auto left = noise(20000, uint32_t(8 + round));
            p.begin(left.data(), 20000, 32, KernelCarry{}, kScalar);
            for (int taken = 0; taken < round % 3;) {
                if (p.peek()) {
                    p.release();
                    ++taken;
                }
            }
            if (round % 5 == 1) p.note_progress(100, KernelCarry{});
            p.abandon();
        }
        if (round % 2) continue;  // destroyed right after
        const uint32_t block = std::vector<uint32_t>{7, 16, 64}[round % 3];
        p.begin(next.data(), 3000, block, next_carry, kScalar);
        if (round % 4 == 0) continue;  // destroyed with a buffer in flight
        uint64_t pos = 0;
        while (pos < 3000) {
            if (const MaskBlock* b = p.peek()) {
                ASSERT_EQ(b->first, pos) << "round " << round;
                ASSERT_GT(b->count, 0u) << "round " << round;
                ASSERT_LE(b->first + b->count, 3000u) << "round " << round;
                for (uint32_t i = 0; i < b->count; ++i)
                    ASSERT_TRUE(same_masks(b->records[i], expected[pos + i])) << "round " << round << " chunk " << pos + i;
                pos += b->count;
                ASSERT_TRUE(b->carry == carries[pos - 1]) << "round " << round << " block ending at " << pos;
                p.release();
            } else {
                ASSERT_FALSE(p.closed()) << "round " << round << ": no more blocks after chunk " << pos;
            }
        }
        EXPECT_EQ(p.peek(), nullptr) << "round " << round;
        EXPECT_NO_THROW(p.end()) << "round " << round;
        EXPECT_EQ(p.buffers_begun(), 2u);
    }
}

// ---- failures inside an engine's pipelined scan ----

std::atomic<bool> g_producer_threw{false};
std::atomic<int> g_mode{0};  // 1: the stage-1 thread throws; 2: the walking thread throws
std::thread::id g_walker;

struct FaultyClassify {
    void operator()(const uint8_t* chunk, ChunkMasks& out, KernelCarry& carry) const {
        const bool walker = std::this_thread::get_id() == g_walker;
        if (g_mode == 1 && !walker) {
            g_producer_threw = true;
            throw std::runtime_error("injected");
        }
        if (g_mode == 1 && walker) {
            // Hold the walk back until the thread has failed.
            for (int i = 0; i < 20000 && !g_producer_threw; ++i) std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        if (g_mode == 2 && walker) throw std::runtime_error("walk failed");
        classification_kernel::scalar::classify_full_chunk(chunk, out, carry);
    }
};

TEST(Pipelined, AStageOneFailurePanicsOnTheWalkingThread) {
    const std::string doc = ndjson(kMin * 4, 9);
    const auto* bytes = reinterpret_cast<const uint8_t*>(doc.data());
    g_walker = std::this_thread::get_id();
    ScanState s(ScanMode::pipelined_always(16));
    g_mode = 1;
    g_producer_threw = false;
    try {
        walk::scan_pipelined(s, bytes, doc.size(), 16, FaultyClassify{});
        FAIL() << "no panic";
    } catch (const Panic& e) {
        EXPECT_EQ(e.message(), "producer thread panicked: injected");
    }
    ASSERT_NE(s.producer, nullptr);
    // The walking thread unwinding while the thread works on the buffer.
    g_mode = 2;
    ScanState t(ScanMode::pipelined_always(16));
    t.producer = std::move(s.producer);
    EXPECT_THROW(walk::scan_pipelined(t, bytes, doc.size(), 16, FaultyClassify{}), std::runtime_error);
    // The same thread scans the next buffer; then everything is torn down.
    g_mode = 0;
    ScanState u(ScanMode::pipelined_always(16));
    u.producer = std::move(t.producer);
    walk::scan_pipelined(u, bytes, doc.size(), 16, FaultyClassify{});
    ScanState v(ScanMode::batched(8));
    walk::scan_batched<8>(v, bytes, doc.size(), FaultyClassify{});
    EXPECT_EQ(u.carry, v.carry);
    EXPECT_EQ(u.cut_token_kind, v.cut_token_kind);
    EXPECT_EQ(u.cut_token, v.cut_token);
    EXPECT_EQ(u.frames.size(), v.frames.size());
}

}  // namespace
}  // namespace jorvane::engine::testing
