// The fast walk's out-of-line parts: choosing it for a buffer, and writing
// the general walk's state when it hands over.
#include "engine/walk/scan_state.h"

namespace jorvane::engine {

StateTable* ScanState::fast_walk_table() {
    if (!fast_walk || drivers.size() != 1 || describer || raw_spans || row_anchor || track_key_path ||
        drivers[0].dfa.case_insensitive || drivers[0].dfa.num_states == 0)
        return nullptr;
    if (!state_table) state_table = std::make_unique<StateTable>(drivers[0]);
    return state_table.get();
}

void ScanState::adopt_fast_walk(const FastLevel* levels, uint32_t count, uint32_t state, uint64_t skip) {
    DfaDriver& d = drivers[0];
    for (uint32_t i = 0; i < count; ++i) {
        const FastLevel& level = levels[i];
        ContainerFrame f;
        f.array_index = level.array_index;
        f.key_path_len = static_cast<uint32_t>(key_path.size());
        f.state = level.frame_state;
        f.is_object = level.is_object;
        frames.push_back(f);
        d.state_stack.push_back(level.state);
        if (level.new_labels != 0) {
            // A counting capture has seen every open since its own.
            ActiveCapture cap;
            cap.labels = level.new_labels;
            cap.is_object = level.is_object;
            cap.recording = false;
            cap.depth = static_cast<int64_t>(count - i);
            d.captures.push_back(std::move(cap));
        }
    }
    d.state = state;
    skip_depth = skip;
}

void ScanState::flush_fast_counts() {
    if (state_table && drivers.size() == 1) state_table->flush(drivers[0]);
}

}  // namespace jorvane::engine
