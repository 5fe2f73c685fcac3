// PipelineChoice: which of two scans pipelined mode gives a buffer long
// enough to pipeline, chosen by measuring them on this engine's own buffers.
//
// Handing stage 1 to another core pays only when that core is free and the
// walk is the larger part of the work: on a loaded machine the stage-1 thread
// waits for a core while the walking thread classifies the chunks itself
// (see walk_loop.h), and even with a free core the walking core reading input
// lines and mask blocks that another core has just touched can cost more
// than the classification it saves. So the engine measures. Buffers go by in
// rounds: the first 2 * kProbe buffers of a round alternate between the
// batched scan (batched mode's own loop) and the pipelined scan, timed by the
// wall clock; the rest of the round goes to the scan with the lower best
// time per byte, the pipelined one only when it is at least kMargin faster
// (it spends a second core). A pipelined probe more than kClearLoss slower
// than the best batched one ends the probing at once. A round won by the
// batched scan makes the next one twice as long (up to kMaxRound buffers),
// so a machine where pipelining keeps losing pays ever fewer probes; a round
// won by the pipelined scan brings the length back to kRound. Each round
// measures afresh, so the choice follows the load. The choice never changes
// what a scan finds, only how fast: both scans walk the same masks.
#pragma once

#include <cstdint>
#include <limits>

namespace jorvane::engine {

class PipelineChoice {
public:
    static constexpr uint32_t kRound = 32;
    static constexpr uint32_t kMaxRound = 512;
    static constexpr uint32_t kProbe = 3;
    static constexpr double kMargin = 0.03;
    static constexpr double kClearLoss = 0.25;

    // Whether the next buffer goes through the stage-1 thread.
    bool pipeline_next() const { return probing_ ? step_ % 2 == 1 : pipelined_wins_; }

    // The buffer took `nanos` over `bytes`, scanned as pipeline_next() said.
    void record(bool pipelined, uint64_t bytes, uint64_t nanos) {
        ++step_;
        if (probing_) {
            if (bytes > 0) {
                const double per_byte = double(nanos) / double(bytes);
                double& best = pipelined ? best_pipelined_ : best_batched_;
                if (per_byte < best) best = per_byte;
            }
            if (step_ == 2 * kProbe || (pipelined && best_pipelined_ > best_batched_ * (1.0 + kClearLoss))) {
                probing_ = false;
                pipelined_wins_ = best_pipelined_ * (1.0 + kMargin) < best_batched_;
            }
        }
        if (step_ == round_) {
            round_ = pipelined_wins_ ? kRound : (round_ * 2 > kMaxRound ? kMaxRound : round_ * 2);
            step_ = 0;
            probing_ = true;
            best_pipelined_ = best_batched_ = std::numeric_limits<double>::infinity();
        }
    }

private:
    uint32_t step_ = 0;  // buffers into the round
    uint32_t round_ = kRound;
    bool probing_ = true;
    bool pipelined_wins_ = false;
    double best_pipelined_ = std::numeric_limits<double>::infinity();
    double best_batched_ = std::numeric_limits<double>::infinity();
};

}  // namespace jorvane::engine
