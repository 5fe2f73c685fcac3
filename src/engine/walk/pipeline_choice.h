// PipelineChoice: which of two scans pipelined mode gives a buffer long
// enough to pipeline, chosen by measuring them on this engine's own buffers.
//
// Handing stage 1 to another core pays only when that core is free and the
// walk is the larger part of the work: on a loaded machine the stage-1 thread
// waits for a core while the walking thread classifies the chunks itself
// (see walk_loop.h), and even with a free core the walking core reading input
// lines and mask blocks that another core has just touched can cost more
// than the classification it saves. So the engine measures. Buffers go by in
// rounds of kRound: the first 2 * kProbe of a round alternate between the
// pipelined scan and the batched scan (batched mode's own loop), timed by
// the wall clock; the rest of the round goes to the scan with the lower best
// time per byte, the pipelined one only when it is at least kMargin faster
// (it spends a second core). Each round measures afresh, so the choice
// follows the load. The choice never changes what a scan finds, only how
// fast: both scans walk the same masks.
#pragma once

#include <cstdint>
#include <limits>

namespace jorvane::engine {

class PipelineChoice {
public:
    static constexpr uint32_t kRound = 32;
    static constexpr uint32_t kProbe = 2;
    static constexpr double kMargin = 0.02;

    // Whether the next buffer goes through the stage-1 thread.
    bool pipeline_next() const {
        if (step_ < 2 * kProbe) return step_ % 2 == 0;
        return pipelined_wins_;
    }

    // The buffer took `nanos` over `bytes`, scanned as pipeline_next() said.
    void record(bool pipelined, uint64_t bytes, uint64_t nanos) {
        if (step_ < 2 * kProbe && bytes > 0) {
            const double per_byte = double(nanos) / double(bytes);
            double& best = pipelined ? best_pipelined_ : best_batched_;
            if (per_byte < best) best = per_byte;
        }
        if (++step_ == 2 * kProbe) pipelined_wins_ = best_pipelined_ * (1.0 + kMargin) < best_batched_;
        if (step_ == kRound) {
            step_ = 0;
            best_pipelined_ = best_batched_ = std::numeric_limits<double>::infinity();
        }
    }

private:
    uint32_t step_ = 0;
    bool pipelined_wins_ = false;
    double best_pipelined_ = std::numeric_limits<double>::infinity();
    double best_batched_ = std::numeric_limits<double>::infinity();
};

}  // namespace jorvane::engine
