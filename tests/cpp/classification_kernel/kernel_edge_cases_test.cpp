// Exact masks and carries for small hand-written chunks, on every kernel the
// CPU supports; plus the run-time selection of the kernel.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "classification_kernel/kernel.h"
#include "kernel_chunks.h"
#include "util/panic.h"

namespace jorvane::classification_kernel::testing {
namespace {

class KernelEdgeCases : public ::testing::TestWithParam<KernelKind> {
protected:
    void SetUp() override {
        if (!kernel_supported(GetParam())) GTEST_SKIP() << kernel_name(GetParam()) << " not supported by this CPU";
    }
    ChunkMasks classify(const std::array<uint8_t, 64>& chunk, KernelCarry& carry) {
        ChunkMasks m;
        classify_chunks(GetParam(), chunk.data(), 1, &m, carry);
        return m;
    }
    ChunkMasks classify(std::string_view text, KernelCarry& carry) { return classify(padded(text), carry); }
};

#define EXPECT_MASK(actual, expected) EXPECT_EQ(positions(actual), positions(expected))

TEST_P(KernelEdgeCases, ObjectWithArrayOfNumbers) {
    KernelCarry carry;
    //                          0123456789012345678
    const ChunkMasks m = classify(R"({"a":[1,22, 333]})", carry);
    EXPECT_MASK(m.structural, bits({0, 1, 3, 4, 5, 6, 7, 8, 10, 12, 15, 16}));
    EXPECT_MASK(m.openers, bits({0, 5}));
    EXPECT_MASK(m.closers, bits({15, 16}));
    EXPECT_EQ(carry, (KernelCarry{0, 1, 2}));
}

TEST_P(KernelEdgeCases, StructuralsInsideStringsAreIgnored) {
    KernelCarry carry;
    const ChunkMasks m = classify(R"("a,b:{c}[]")", carry);
    EXPECT_MASK(m.structural, bits({0, 10}));
    EXPECT_EQ(m.openers, 0u);
    EXPECT_EQ(m.closers, 0u);
    EXPECT_EQ(carry.in_string, 0);
}

TEST_P(KernelEdgeCases, EscapedQuotes) {
    KernelCarry carry;
    EXPECT_MASK(classify(R"("a\"b")", carry).structural, bits({0, 5}));  // escaped quote stays inside
    EXPECT_EQ(carry.in_string, 0);
    EXPECT_MASK(classify(R"("a\\" )", carry).structural, bits({0, 4}));  // escaped backslash, then the end
    EXPECT_EQ(carry.in_string, 0);
    EXPECT_MASK(classify(R"("a\\\"b")", carry).structural, bits({0, 7}));  // three backslashes
    EXPECT_EQ(carry.in_string, 0);
}

TEST_P(KernelEdgeCases, PlainTextInsideAndOutsideStrings) {
    KernelCarry carry{1, 0, 2};
    std::array<uint8_t, 64> text;
    text.fill('x');
    ChunkMasks m = classify(text, carry);
    EXPECT_EQ(m.structural | m.openers | m.closers, 0u);
    EXPECT_EQ(carry, (KernelCarry{1, 0, 2}));

    carry = KernelCarry{};
    m = classify("abc def", carry);  // padded with spaces: the last byte is whitespace
    EXPECT_MASK(m.structural, bits({0, 4}));
    EXPECT_EQ(carry, (KernelCarry{0, 1, 2}));
}

TEST_P(KernelEdgeCases, BackslashRunAcrossChunks) {
    std::array<uint8_t, 64> chunk = padded(R"("abc)");
    chunk[63] = '\\';
    std::array<uint8_t, 64> next = padded(R"("x" 1)");

    // One backslash at the end: the quote at byte 0 of the next chunk is escaped.
    KernelCarry carry;
    classify(chunk, carry);
    EXPECT_EQ(carry, (KernelCarry{1, 0, 0}));
    ChunkMasks m = classify(next, carry);
    EXPECT_MASK(m.structural, bits({2, 4}));  // the next quote closes the string; "1" starts a scalar
    EXPECT_EQ(carry.in_string, 0);

    // Two backslashes: the quote at byte 0 closes the string.
    chunk[62] = '\\';
    carry = KernelCarry{};
    classify(chunk, carry);
    EXPECT_EQ(carry, (KernelCarry{1, 0, 1}));
    m = classify(next, carry);
    EXPECT_MASK(m.structural, bits({0, 1, 2}));  // closing quote, scalar start "x", opening quote
    EXPECT_EQ(carry.in_string, 1);

    // A whole chunk of backslashes keeps the parity of the run before it.
    std::array<uint8_t, 64> all;
    all.fill('\\');
    carry = KernelCarry{1, 0, 0};
    classify(all, carry);
    EXPECT_EQ(carry.backslash_run, 0);
    carry = KernelCarry{1, 0, 1};
    classify(all, carry);
    EXPECT_EQ(carry.backslash_run, 1);
    carry = KernelCarry{1, 0, 2};
    classify(all, carry);
    EXPECT_EQ(carry.backslash_run, 1);

    // A last byte that is not a backslash always ends the run.
    carry = KernelCarry{1, 0, 0};
    classify(R"(\\\\\a)", carry);
    EXPECT_EQ(carry.backslash_run, 2);
}

TEST_P(KernelEdgeCases, ScalarStartsAtChunkStart) {
    KernelCarry carry;  // a fresh source: byte 0 follows a separator
    EXPECT_MASK(classify("123", carry).structural, bits({0}));

    std::array<uint8_t, 64> digits;
    digits.fill('7');
    carry = KernelCarry{0, 0, 2};  // previous chunk ended inside a number
    EXPECT_EQ(classify(digits, carry).structural, 0u);
    carry = KernelCarry{0, 1, 2};  // previous chunk ended with a separator
    EXPECT_MASK(classify(digits, carry).structural, bits({0}));
}

TEST_P(KernelEdgeCases, OrdinaryControlAndHighBytes) {
    KernelCarry carry;
    // Form feed, vertical tab and 0x80+ are not whitespace: no scalar starts
    // after them, and each is itself a scalar start after a separator.
    const ChunkMasks m = classify("[\f1,\v2,\x80" "3,\xff]", carry);
    EXPECT_MASK(m.structural, bits({0, 1, 3, 4, 6, 7, 9, 10, 11}));
    EXPECT_MASK(m.openers, bits({0}));
    EXPECT_MASK(m.closers, bits({11}));
}

TEST_P(KernelEdgeCases, ByteAfterClosingQuoteIsScalarStart) {
    KernelCarry carry;
    EXPECT_MASK(classify(R"("a"x)", carry).structural, bits({0, 2, 3}));
}

INSTANTIATE_TEST_SUITE_P(Kernels, KernelEdgeCases, ::testing::ValuesIn(all_kernels()), kernel_param_name);

TEST(KernelSelection, ActiveKernelIsTheBestSupportedOne) {
    EXPECT_TRUE(kernel_supported(KernelKind::Scalar));
    const KernelKind active = active_kernel();
    EXPECT_TRUE(kernel_supported(active));
    EXPECT_EQ(active_kernel(), active);
    if (kernel_supported(KernelKind::Avx512)) {
        EXPECT_EQ(active, KernelKind::Avx512);
        EXPECT_TRUE(kernel_supported(KernelKind::Avx2));
    } else if (kernel_supported(KernelKind::Avx2)) {
        EXPECT_EQ(active, KernelKind::Avx2);
    } else if (kernel_supported(KernelKind::Neon)) {
        EXPECT_EQ(active, KernelKind::Neon);
    } else {
        EXPECT_EQ(active, KernelKind::Scalar);
    }
    // One architecture's kernels only.
    EXPECT_FALSE(kernel_supported(KernelKind::Neon) && kernel_supported(KernelKind::Avx2));
    EXPECT_STREQ(kernel_name(active), active == KernelKind::Avx512 ? "avx512"
                                      : active == KernelKind::Avx2  ? "avx2"
                                      : active == KernelKind::Neon  ? "neon"
                                                                    : "scalar");
}

// A run that knows which processor it is on (an emulated one, say) names the
// kernel it must get, so that a vector kernel never passes its tests by
// being skipped.
TEST(KernelSelection, ExpectedKernelIsActive) {
    const char* expected = std::getenv("JORVANE_EXPECT_KERNEL");
    if (expected == nullptr || *expected == '\0') GTEST_SKIP() << "JORVANE_EXPECT_KERNEL is not set";
    EXPECT_STREQ(kernel_name(active_kernel()), expected);
}

// Asking for a kernel the CPU lacks is an internal error, not an illegal
// instruction.
TEST(KernelSelection, UnsupportedKernelPanicsInsteadOfRunning) {
    for (KernelKind kind : all_kernels()) {
        if (kernel_supported(kind)) continue;
        EXPECT_THROW(chunk_classifier(kind), Panic) << kernel_name(kind);
        KernelCarry carry;
        ChunkMasks m;
        const auto chunk = padded("{}");
        EXPECT_THROW(classify_chunks(kind, chunk.data(), 1, &m, carry), Panic) << kernel_name(kind);
    }
}

}  // namespace
}  // namespace jorvane::classification_kernel::testing
