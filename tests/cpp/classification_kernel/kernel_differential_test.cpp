// Every kernel against the byte-at-a-time reference, on random documents
// built to hit the hard cases: long backslash runs crossing chunk edges,
// quotes and backslashes at the first and last byte of chunks, structural
// characters inside strings, form feeds and other near-miss bytes, bytes
// >= 0x80, and every initial carry; and against the scalar kernel, chunk by
// chunk, from random carries.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "classification_kernel/kernel.h"
#include "kernel_chunks.h"
#include "reference_classifier.h"

namespace jorvane::classification_kernel::testing {
namespace {

class KernelDifferential : public ::testing::TestWithParam<KernelKind> {
protected:
    void SetUp() override {
        if (!kernel_supported(GetParam())) GTEST_SKIP() << kernel_name(GetParam()) << " not supported by this CPU";
    }
};

// Bytes the class tables must tell apart: every classified byte and bytes
// sharing a nibble with one (0x0C form feed, 0x0B, 0x1B, 0x3B, 0x3C, 0x5A,
// 0x5C-like 0x7C, 0xDB, 0xFD...), bytes >= 0x80 and NUL.
const std::vector<uint8_t> kInteresting = {
    '"', '\\', ' ', '\t', '\n', '\r', '{', '}', '[', ']', ',', ':', 'a', '1', '-', 't',
    0x0C, 0x0B, 0x00, 0x1B, 0x2A, 0x2B, 0x2D, 0x3B, 0x3C, 0x3D, 0x5A, 0x7C, 0x7A, 0x4B, 0x6D,
    0x80, 0xA2, 0xDB, 0xDC, 0xFB, 0xFD, 0xFF, 0xA0, 0x89, 0x8D};

class DocumentGenerator {
public:
    explicit DocumentGenerator(uint64_t seed) : rng_(seed) {}

    // A document of `n_chunks` chunks mixing the styles below.
    std::vector<uint8_t> document(size_t n_chunks) {
        std::vector<uint8_t> doc;
        const size_t size = n_chunks * 64;
        while (doc.size() < size) {
            switch (pick(6)) {
                case 0: soup(doc, 1 + pick(100)); break;
                case 1: json_text(doc); break;
                case 2: backslash_run(doc); break;
                case 3: string_with_structurals(doc); break;
                case 4: align_to_edge(doc); break;
                default: any_bytes(doc, 1 + pick(40)); break;
            }
        }
        doc.resize(size);
        return doc;
    }

    KernelCarry carry() {
        KernelCarry c;
        c.in_string = uint8_t(pick(2));
        c.prev_separator = uint8_t(pick(2));
        c.backslash_run = uint8_t(pick(3));
        return c;
    }

    size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

private:
    void soup(std::vector<uint8_t>& doc, size_t n) {
        for (size_t i = 0; i < n; ++i) doc.push_back(kInteresting[pick(kInteresting.size())]);
    }
    void any_bytes(std::vector<uint8_t>& doc, size_t n) {
        for (size_t i = 0; i < n; ++i) doc.push_back(uint8_t(pick(256)));
    }
    void append(std::vector<uint8_t>& doc, const std::string& s) { doc.insert(doc.end(), s.begin(), s.end()); }
    void json_text(std::vector<uint8_t>& doc) {
        static const char* const kPieces[] = {
            "{\"id\":12,\"name\":\"a\\\"b\",\"tags\":[1, 22, 333]}", "\n",  "[true,false,null]",
            "{\"k\" : \"v\\\\\"}",                                      "  ", "\"\\u00e9\\n\\t\"",
            "-12.5e+3",                                                 ",",  "{\"a\":{\"b\":[{}]}}"};
        append(doc, kPieces[pick(std::size(kPieces))]);
    }
    void backslash_run(std::vector<uint8_t>& doc) {
        // Short runs often, long ones (over a whole chunk) sometimes.
        const size_t n = pick(4) == 0 ? 1 + pick(200) : 1 + pick(6);
        doc.insert(doc.end(), n, '\\');
        static const uint8_t kAfter[] = {'"', '"', 'a', ' ', '{', '\\'};
        doc.push_back(kAfter[pick(std::size(kAfter))]);
    }
    void string_with_structurals(std::vector<uint8_t>& doc) {
        doc.push_back('"');
        static const uint8_t kInside[] = {'{', '}', '[', ']', ',', ':', ' ', '\t', 'x', '1', 0x0C, 0xC3, 0xA9};
        const size_t n = pick(70);
        for (size_t i = 0; i < n; ++i) {
            if (pick(8) == 0) {
                doc.push_back('\\');
                doc.push_back(pick(2) ? '"' : '\\');
            } else {
                doc.push_back(kInside[pick(std::size(kInside))]);
            }
        }
        doc.push_back('"');
    }
    // Pads to just before a chunk edge, then puts a quote or backslash pair
    // across it.
    void align_to_edge(std::vector<uint8_t>& doc) {
        const size_t to_edge = 64 - doc.size() % 64;
        const size_t back = pick(3);
        if (to_edge > back) doc.insert(doc.end(), to_edge - back, pick(2) ? 'x' : ' ');
        static const char* const kAcross[] = {"\"", "\\\"", "\\\\\"", "\"\"", "\\", "\\\\", "a\"", "\"1"};
        append(doc, kAcross[pick(std::size(kAcross))]);
    }

    std::mt19937_64 rng_;
};

void expect_same(const ChunkMasks& got, const ChunkMasks& want, const KernelCarry& got_carry,
                 const KernelCarry& want_carry, const uint8_t* chunk, const KernelCarry& before, size_t index) {
    if (got.structural == want.structural && got.openers == want.openers && got.closers == want.closers &&
        got_carry == want_carry)
        return;
    std::string hex;
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 64; ++i) {
        hex += kHex[chunk[i] >> 4];
        hex += kHex[chunk[i] & 15];
    }
    ADD_FAILURE() << "chunk " << index << " (" << hex << ") from " << describe(before) << "\n structural got "
                  << positions(got.structural) << " want " << positions(want.structural) << "\n openers got "
                  << positions(got.openers) << " want " << positions(want.openers) << "\n closers got "
                  << positions(got.closers) << " want " << positions(want.closers) << "\n after got "
                  << describe(got_carry) << " want " << describe(want_carry);
}

TEST_P(KernelDifferential, RandomDocumentsMatchReference) {
    DocumentGenerator gen(0x6a6f7276616e65ULL);
    const ClassifyChunksFn one_batch = chunk_classifier(GetParam());
    for (int doc_index = 0; doc_index < 1500 && !HasFailure(); ++doc_index) {
        const size_t n_chunks = 1 + gen.pick(64);
        const std::vector<uint8_t> doc = gen.document(n_chunks);
        const KernelCarry initial = gen.carry();

        std::vector<ChunkMasks> want(n_chunks);
        std::vector<KernelCarry> want_carry(n_chunks);
        KernelCarry ref = initial;
        for (size_t i = 0; i < n_chunks; ++i) {
            want[i] = reference_classify(doc.data() + 64 * i, ref);
            want_carry[i] = ref;
        }

        // Chunk by chunk: masks and carry after every chunk.
        KernelCarry carry = initial;
        for (size_t i = 0; i < n_chunks && !HasFailure(); ++i) {
            const KernelCarry before = carry;
            ChunkMasks got;
            one_batch(doc.data() + 64 * i, 1, &got, carry);
            expect_same(got, want[i], carry, want_carry[i], doc.data() + 64 * i, before, i);
        }

        // The whole document in one batch.
        std::vector<ChunkMasks> batch(n_chunks);
        carry = initial;
        classify_chunks(GetParam(), doc.data(), n_chunks, batch.data(), carry);
        EXPECT_EQ(carry, want_carry.back()) << "batch of " << n_chunks << " chunks, document " << doc_index;
        for (size_t i = 0; i < n_chunks && !HasFailure(); ++i) {
            EXPECT_EQ(batch[i].structural, want[i].structural) << "batch chunk " << i << " document " << doc_index;
            EXPECT_EQ(batch[i].openers, want[i].openers) << "batch chunk " << i;
            EXPECT_EQ(batch[i].closers, want[i].closers) << "batch chunk " << i;
        }
    }
}

// Every byte value, alone among spaces and as a whole chunk, after every
// carry: checks the class tables byte by byte.
TEST_P(KernelDifferential, EveryByteValueMatchesReference) {
    const ClassifyChunksFn one_batch = chunk_classifier(GetParam());
    for (int v = 0; v < 256; ++v) {
        std::array<uint8_t, 64> alternating, solid, mixed;
        for (int i = 0; i < 64; ++i) {
            alternating[i] = i % 2 ? uint8_t(v) : ' ';
            solid[i] = uint8_t(v);
            mixed[i] = i % 3 == 0 ? uint8_t(v) : (i % 3 == 1 ? uint8_t('a') : uint8_t(','));
        }
        for (const auto* chunk : {&alternating, &solid, &mixed}) {
            for (int c = 0; c < 12; ++c) {
                const KernelCarry initial{uint8_t(c & 1), uint8_t((c >> 1) & 1), uint8_t(c >> 2)};
                KernelCarry want_carry = initial, carry = initial;
                const ChunkMasks want = reference_classify(chunk->data(), want_carry);
                ChunkMasks got;
                one_batch(chunk->data(), 1, &got, carry);
                expect_same(got, want, carry, want_carry, chunk->data(), initial, size_t(v));
            }
        }
        if (HasFailure()) break;
    }
}

// Random chunks, each from a random carry rather than the one its
// predecessor left, against the scalar kernel: carries no document would
// reach (in_string 1 before plain JSON text, say) are compared too. Half the
// chunks are generated one-chunk documents, half uniformly random bytes.
TEST_P(KernelDifferential, RandomChunksAndCarriesMatchScalarKernel) {
    DocumentGenerator gen(0x73636171ULL);
    const ClassifyChunksFn scalar = chunk_classifier(KernelKind::Scalar);
    const ClassifyChunksFn kernel = chunk_classifier(GetParam());
    for (int round = 0; round < 20000 && !HasFailure(); ++round) {
        std::array<uint8_t, 64> chunk;
        if (round % 2 == 0) {
            const std::vector<uint8_t> doc = gen.document(1);
            std::copy(doc.begin(), doc.end(), chunk.begin());
        } else {
            for (uint8_t& b : chunk) b = uint8_t(gen.pick(256));
        }
        const KernelCarry initial = gen.carry();
        KernelCarry want_carry = initial, carry = initial;
        ChunkMasks want, got;
        scalar(chunk.data(), 1, &want, want_carry);
        kernel(chunk.data(), 1, &got, carry);
        expect_same(got, want, carry, want_carry, chunk.data(), initial, size_t(round));
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, KernelDifferential, ::testing::ValuesIn(all_kernels()), kernel_param_name);

}  // namespace
}  // namespace jorvane::classification_kernel::testing
