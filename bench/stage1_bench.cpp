// Stage-1 throughput per kernel over the benchmark file, on one core:
// - "inline": the kernel inlined into a loop of one call per chunk (the form
//   the engine's per-ISA walk loops compile in);
// - "batch N": the library entry point `classify_chunks` over N chunks at a
//   time into a block of records that is then read back, the way the batched
//   (N = 8) and pipelined producer (N = 128) scans use it.
// Kernels the CPU lacks are reported as skipped.
#include <algorithm>
#include <bit>
#include <cstdio>
#include <string>
#include <vector>

#include "classification_kernel/kernel.h"
#include "harness.h"
#include "stage1_loops.h"

using namespace jorvane;

namespace {

uint64_t batched_pass(classification_kernel::KernelKind kind, const uint8_t* data, size_t n_chunks, size_t batch) {
    std::vector<classification_kernel::ChunkMasks> block(batch);
    const classification_kernel::ClassifyChunksFn classify = classification_kernel::chunk_classifier(kind);
    classification_kernel::KernelCarry carry;
    uint64_t sum = 0;
    for (size_t done = 0; done < n_chunks; done += batch) {
        const size_t n = std::min(batch, n_chunks - done);
        classify(data + 64 * done, n, block.data(), carry);
        for (size_t i = 0; i < n; ++i) sum += block[i].structural ^ (block[i].openers << 1) ^ block[i].closers;
    }
    return sum + carry.in_string;
}

}  // namespace

int main(int argc, char** argv) {
    const bench::Corpus corpus = bench::load_corpus(bench::corpus_path(argc, argv));
    const size_t n_chunks = corpus.size / 64;
    const size_t bytes = n_chunks * 64;
    const int reps = bench::repetitions(5);
    std::printf("stage 1 over %s: %.3f GB, one core; active kernel: %s\n", corpus.path.c_str(), double(bytes) / 1e9,
                classification_kernel::kernel_name(classification_kernel::active_kernel()));

    using classification_kernel::KernelKind;
    for (KernelKind kind : {KernelKind::Avx512, KernelKind::Avx2, KernelKind::Neon, KernelKind::Scalar}) {
        const std::string name = classification_kernel::kernel_name(kind);
        if (!classification_kernel::kernel_supported(kind)) {
            std::printf("%-44s skipped (not supported by this CPU)\n", ("stage1 " + name).c_str());
            continue;
        }
        const auto loop = classification_kernel::with_kernel(
            kind, [](auto k) { return &bench::stage1_inline<decltype(k)::value>; });
        bench::measure("stage1 " + name + " inline", bytes, reps, [&] { return loop(corpus.data(), n_chunks); });
        for (size_t batch : {size_t(8), size_t(128)}) {
            bench::measure("stage1 " + name + " batch " + std::to_string(batch), bytes, reps,
                           [&] { return batched_pass(kind, corpus.data(), n_chunks, batch); });
        }
    }
    return 0;
}
