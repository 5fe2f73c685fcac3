// PipelineChoice: which of two scans pipelined mode gives a buffer long
// enough to pipeline, chosen by measuring them on this engine's own buffers.
//
// Handing stage 1 to another core pays only when that core is free and the
// walk is the larger part of the work: on a loaded machine the stage-1 thread
// waits for a core while the walking thread classifies the chunks itself
// (see walk_loop.h), and even with a free core the walking core reading input
// lines and mask blocks that another core has just touched can cost more
// than the classification it saves. So the engine measures, by the wall
// clock, in rounds of buffers. The first 2 * kProbe buffers of a round
// alternate between the batched scan (batched mode's own loop) and the
// pipelined scan; the rest of the round goes to the pipelined scan only if
// its mean time per byte is at least kMargin below the median of the batched
// probes (the median, because a stray preemption should not make the batched
// scan look slow; the mean for the pipelined scan, because the stalls of two
// threads sharing a loaded machine are part of its cost). While the round
// pipelines, its times keep adding to that mean, and the round falls back to
// the batched scan as soon as the mean no longer wins. A pipelined probe more
// than kClearLoss slower than the batched ones ends the probing at once. A
// round that ends batched makes the next one twice as long (up to kMaxRound
// buffers), so a machine where pipelining keeps losing pays ever fewer
// probes; a round that ends pipelining brings the length back to kRound.
// A buffer is never pipelined while no core is to spare (see spare_core()
// in buffer_processing.cpp: the engines of this process scanning in pipelined
// mode would need more than the online processors, or the machine's load
// average already reaches their number): the round then ends its probing
// as one the batched scan won. The choice never changes what a scan finds,
// only how fast: both scans walk the same masks.
#pragma once

#include <algorithm>
#include <cstdint>

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
        if (bytes > 0) {
            if (pipelined) {
                pipelined_nanos_ += double(nanos);
                pipelined_bytes_ += double(bytes);
            } else if (probing_ && batched_probes_ < kProbe) {
                batched_[batched_probes_++] = double(nanos) / double(bytes);
            }
        }
        if (probing_) {
            if (step_ == 2 * kProbe || (pipelined && !pipelined_within(1.0 + kClearLoss))) {
                probing_ = false;
                pipelined_wins_ = pipelined_within(1.0 / (1.0 + kMargin));
            }
        } else if (pipelined_wins_) {
            pipelined_wins_ = pipelined_within(1.0 / (1.0 + kMargin));
        }
        if (step_ == round_) {
            round_ = pipelined_wins_ ? kRound : (round_ * 2 > kMaxRound ? kMaxRound : round_ * 2);
            step_ = 0;
            probing_ = true;
            pipelined_wins_ = false;
            batched_probes_ = 0;
            pipelined_nanos_ = pipelined_bytes_ = 0;
        }
    }

    // The next buffer was to be pipelined but no core is to spare: it is
    // scanned batched (and recorded so), and the round stops probing.
    void no_spare_core() {
        if (probing_ || pipelined_wins_) {
            probing_ = false;
            pipelined_wins_ = false;
        }
    }

private:
    // Whether the pipelined mean is below `factor` times the batched median.
    bool pipelined_within(double factor) const {
        if (batched_probes_ == 0 || pipelined_bytes_ == 0) return false;
        double b[kProbe];
        for (uint32_t i = 0; i < batched_probes_; ++i) b[i] = batched_[i];
        std::sort(b, b + batched_probes_);
        const double batched = batched_probes_ % 2 ? b[batched_probes_ / 2]
                                                   : (b[batched_probes_ / 2 - 1] + b[batched_probes_ / 2]) / 2;
        return pipelined_nanos_ / pipelined_bytes_ < batched * factor;
    }

    uint32_t step_ = 0;  // buffers into the round
    uint32_t round_ = kRound;
    bool probing_ = true;
    bool pipelined_wins_ = false;
    uint32_t batched_probes_ = 0;
    double batched_[kProbe] = {};  // nanoseconds per byte of each batched probe
    double pipelined_nanos_ = 0;   // the round's pipelined buffers
    double pipelined_bytes_ = 0;
};

}  // namespace jorvane::engine
