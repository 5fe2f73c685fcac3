// The out-of-line parts of the fast walk and the row walk: choosing them for
// a buffer, and writing the general walk's state when they hand over.
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
    if (anchor_table && row_anchor) anchor_table->flush(drivers[*row_anchor]);
}

bool ScanState::row_walk_ready() {
    if (!fast_walk || !row_anchor || drivers.size() != 2 || describer || raw_spans || track_key_path) return false;
    const size_t columns = 1 - *row_anchor;
    const DfaDriver& a = drivers[*row_anchor];
    const DfaDriver& d = drivers[columns];
    for (const DfaDriver* x : {&a, &d})
        if (x->dfa.case_insensitive || x->dfa.num_states == 0 || x->done_mask != 0 || x->limited_mask != 0 ||
            x->text_keep_mask != 0 || x->stopped)
            return false;
    // The anchor only counts; each column query keeps its values, streamed.
    for (const auto& acc : a.accumulators)
        if (acc.kind() != AccumulatorKind::Count) return false;
    if (!d.stream_items || d.accumulators.size() != d.label_count) return false;
    for (size_t k = 0; k < d.accumulators.size(); ++k)
        if (d.accumulators[k].kind() != AccumulatorKind::Values || d.label_masks[k] != uint64_t{1} << k) return false;
    if (!state_table || !anchor_table) {
        state_table = std::make_unique<StateTable>(d);
        anchor_table = std::make_unique<StateTable>(a);
    }
    row_columns = columns;
    if (row_cells.columns.size() != d.label_count) {
        if (row_cells.rows != 0) return false;
        row_cells.columns.resize(d.label_count);
    }
    return true;
}

void ScanState::adopt_row_walk(const RowWalkHandOver& h) {
    DfaDriver& d = drivers[row_columns];
    DfaDriver& a = drivers[*row_anchor];
    for (uint32_t i = 0; i < h.count; ++i) {
        const RowLevel& level = h.levels[i];
        ContainerFrame f;
        f.array_index = level.array_index;
        f.key_path_len = 0;
        f.state = level.frame_state;
        f.is_object = level.is_object;
        frames.push_back(f);
        d.state_stack.push_back(level.cs);
        a.state_stack.push_back(level.as);
        if (i == h.row_level) {
            // The row's counting capture has seen every open since its own.
            ActiveCapture cap;
            cap.labels = h.row_labels;
            cap.is_object = level.is_object;
            cap.depth = static_cast<int64_t>(h.count - i);
            a.captures.push_back(std::move(cap));
        }
        if (i == h.capture_level) {
            ActiveCapture cap = std::move(row_capture);
            row_capture = ActiveCapture{};
            cap.recording = true;
            cap.checks_values = true;
            cap.depth = static_cast<int64_t>(h.count - i);
            d.captures.push_back(std::move(cap));
        }
    }
    d.state = h.column_state;
    a.state = h.anchor_state;
    skip_depth = h.skip;
}

}  // namespace jorvane::engine
