// ScanState: everything the scan of one source keeps between tokens, chunks
// and buffers. It is the engine's private working state: the walk, the
// buffer loops and the cut-token code read and write it directly; callers
// outside the engine only ever see it through `Engine`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "classification_kernel/kernel.h"
#include "engine/describer.h"
#include "engine/drivers/driver.h"
#include "engine/near_bytes.h"
#include "engine/parse_error_kind.h"
#include "engine/raw_spans.h"
#include "engine/cell_store.h"
#include "engine/walk/pipeline_choice.h"
#include "engine/scan_mode.h"
#include "engine/walk/state_table.h"
#include "engine/walk/walk_state.h"

namespace jorvane::engine {

// A token carried across buffers may hold at most this many bytes.
inline constexpr uint64_t kMaxCutToken = 67108864;

class StageOneProducer;

// The input around it is kept apart, in ScanState::error_near: the walk
// tests `error` all the time and takes its context only once.
struct RecordedError {
    ParseErrorKind kind;
    uint64_t offset = 0;  // absolute byte offset in the source
};

struct ScanState {
    uint64_t skip_depth = 0;  // bracket depth of a container being skipped; 0 = not skipping
    SkipCheck skip_check;     // the check of a skipped container kept as text
    std::optional<RawSpans> raw_spans;  // absent = raw capture off
    std::optional<RecordedError> error;  // the first structural error of the source
    ScanMode mode;
    uint64_t stream_offset = 0;  // absolute offset of the current buffer's first byte
    CellStore row_cells;         // table rows completed since the consumer took them, and the row in progress
    std::vector<DfaDriver> drivers;
    std::vector<ContainerFrame> frames;  // open containers, innermost last
    std::string cut_token;               // a token cut by the end of a buffer
    std::string key_path;  // raw key of the current member of each open object (when tracked)
    ChunkCursor cursor;
    std::optional<uint64_t> stop_offset;  // where an early stop ended the scan
    std::optional<size_t> row_anchor;     // the driver whose matches mark table rows
    std::optional<uint64_t> row_limit;    // table rows wanted from the source
    uint64_t rows_completed = 0;          // table rows completed since the source began
    CutTokenKind cut_token_kind = CutTokenKind::None;
    classification_kernel::KernelCarry carry;
    bool track_key_path = false;
    // Every query settled, the row limit reached, or a container refused for
    // nesting too deep (after recording the error): set at the event that
    // did it. Nothing after that point of the source counts: no error is
    // recorded, no row kept, no match delivered (the drivers are stopped),
    // the buffer loops hand out no further batch of chunks, and later
    // buffers are not walked.
    bool settled = false;
    // Absolute offset of the first byte of the cut token (its opening quote
    // for a string), so errors about it do not depend on buffer cuts.
    uint64_t cut_token_offset = 0;
    // The stage-1 kernel: the best one for this CPU unless a test or a
    // benchmark sets another (it must be supported).
    classification_kernel::KernelKind kernel = classification_kernel::active_kernel();
    // The structural profile being taken, if any (nothing is skipped then).
    std::unique_ptr<Describer> describer;

    // Whether plain top-level values take the fast walk (tests and
    // benchmarks turn it off to compare with the general walk).
    bool fast_walk = true;
    // The fast walk's tables for the only driver (or the column queries'
    // driver of a table scan), built on first use.
    std::unique_ptr<StateTable> state_table;
    // The row walk's tables for the row anchor, and the driver of the
    // column queries.
    std::unique_ptr<StateTable> anchor_table;
    size_t row_columns = 0;
    // The row walk's recording of a matched container (kept for its storage).
    ActiveCapture row_capture;

    // Pipelined mode's stage-1 thread: started by the first buffer it
    // scans, kept across buffers and sources, joined with the state.
    std::unique_ptr<StageOneProducer> producer;
    // Pipelined mode: which scan the next long buffer gets.
    PipelineChoice pipeline_choice;

    // ---- an error's context (engine/near_bytes.h) ----
    // Touched once a buffer or a cut token and read when an error is
    // recorded, so it lies after the state the walk reads per token and
    // leaves that state where it was.
    // The input around `error`, as far as the scan held it when the error
    // was recorded (nothing for an error found after the last buffer).
    NearBytes error_near;
    // What that is gathered from: the buffer being scanned (empty between
    // buffers), the last bytes of the ones before it, the bytes before the
    // last token cut by a buffer's end, a cut token's text while the walk
    // reads it after its end, the bytes around a refused atom of a checked
    // skip that began in an earlier buffer, and the bytes on either side of
    // a key whose value had not begun when a buffer ended (the key itself is
    // in the key path).
    std::span<const uint8_t> buffer_now;
    RecentBytes recent;
    TokenLead token_lead;
    KnownBytes token_read;
    NearBytes skipped_atom_near;
    NearBytes key_lead;
    NearBytes key_trail;

    explicit ScanState(ScanMode mode);
    ScanState(ScanState&&) noexcept;
    ScanState& operator=(ScanState&&) noexcept;
    ~ScanState();

    // The stage-1 thread, started on first use (panics with "failed to spawn
    // thread" when it cannot start).
    StageOneProducer& stage_one_producer();

    // ---- buffers ----
    // Scans one buffer in the engine's mode; structural errors are recorded
    // in `error`.
    void process_buffer(std::span<const uint8_t> buffer);
    void process_buffer_batched(const uint8_t* buf, size_t len, uint32_t chunks);
    // Pipelined mode: short buffers as batched mode scans them, longer ones
    // through the stage-1 thread or not as `pipeline_choice` says.
    void process_buffer_pipelined_mode(const uint8_t* buf, size_t len);
    void process_buffer_pipelined(const uint8_t* buf, size_t len, uint32_t chunks);

    // ---- the fast walk (engine/walk/fast_walk.h) ----
    // The state tables when this buffer's top-level values may take the fast
    // walk (one driver and none of the features it leaves to the general
    // walk), else null. Chosen once per buffer.
    StateTable* fast_walk_table();
    // Whether the fast walk may start here: no container, token or skip open.
    bool at_top_level(const ChunkCursor& c) const {
        return frames.empty() && skip_depth == 0 && !c.has_open_token() && cut_token_kind == CutTokenKind::None &&
               !error && drivers[0].state_stack.empty() && drivers[0].captures.empty() && !drivers[0].stopped;
    }
    // The fast walk hands over inside a top-level value: the general walk's
    // state for the `count` containers it has open, the driver's current
    // state and the depth of a container being skipped.
    void adopt_fast_walk(const FastLevel* levels, uint32_t count, uint32_t state, uint64_t skip);
    // Adds the fast walk's direct counts to the accumulators.
    void flush_fast_counts();

    // ---- the row walk (engine/walk/row_walk.h) ----
    // Whether this buffer's table rows may take the row walk: the row anchor
    // and one driver of column queries kept as values, and none of the
    // features it leaves to the general walk. Builds its tables. Chosen once
    // per buffer.
    bool row_walk_ready();
    // Whether the row walk may start here: between top-level values, no
    // row in progress in the general walk, nothing settled.
    bool at_row_top_level(const ChunkCursor& c) const {
        if (!frames.empty() || skip_depth != 0 || c.has_open_token() || cut_token_kind != CutTokenKind::None ||
            error || settled)
            return false;
        for (const auto& d : drivers)
            if (!d.state_stack.empty() || !d.captures.empty()) return false;
        for (const auto& q : drivers[row_columns].queues)
            if (!q.empty()) return false;
        return true;
    }
    // The row walk hands over inside a top-level value.
    void adopt_row_walk(const RowWalkHandOver& h);

    // ---- the walk (engine/walk/walk_chunk.h inlines the common events) ----
    void process_chunk(ChunkCursor& cursor, const uint8_t* buf, size_t len);
    void on_open_container(uint8_t is_object, uint64_t pos);
    void on_close_container(uint8_t byte, uint64_t pos, const uint8_t* buf, size_t len);
    void on_atom(const uint8_t* buf, size_t len, uint64_t start, uint64_t end);
    void on_string(const uint8_t* buf, size_t len, uint64_t open, uint64_t close);
    void dispatch_atom_event(std::string_view bytes);
    // The raw key of the current value, when key paths are tracked.
    std::optional<std::string_view> current_key() const;
    void scalar_value(std::string_view bytes, bool is_string, uint64_t at);
    void string_key(std::string_view content, uint64_t at);
    void raw_scalar_hit(std::string_view bytes, bool is_string, bool delivered);
    // A container opened at `pos` while some driver captures: opens the raw span.
    void open_raw_span(uint64_t pos);
    // A matching close at `pos` (frame already popped) when some driver
    // captures, raw spans or table rows are on, or a state stack is empty.
    void close_drivers(uint64_t pos, const uint8_t* buf);
    void complete_row(size_t anchor);
    // An atom of a checked skip (engine/walk/skip_check.h) has ended where
    // it may be refused: its text in this buffer, after what earlier buffers
    // held of it, is read; its fault, if any.
    std::optional<MalformedValue> end_skipped_atom(std::string_view atom);
    // A refused scalar in the captures that check values: noted in each, and
    // recorded as the source's error.
    void refuse_in_captures(const MalformedValue& m);
    // A capture that reads its member key has just opened: the key must hold
    // only valid escapes.
    void check_member_key();
    // Whether, just after a container opened, some capture started before
    // it is open (which holds its own nesting to the limit).
    bool nested_in_capture() const;
    // The container opened at source offset `offset` nests past the limit:
    // the error is its bracket's, and the walk ends with its batch, so
    // neither the frames, the recordings nor a profile follow the rest of
    // the nesting.
    void refuse_nesting_at(uint64_t offset);

    // ---- tokens across buffers ----
    void save_cut_token(const uint8_t* buf, size_t len, uint64_t end, ChunkCursor& cursor);
    classification_kernel::ChunkMasks structure_masks_partial(const uint8_t* block, size_t n);
    void resume_cut_token(ChunkCursor& cursor, const uint8_t* buf, size_t len);
    // A cut token that has ended, read as the walk reads it unsplit.
    void dispatch_cut_token(CutTokenKind kind, std::string_view token);

    // ---- settling ----
    // Whether every query is settled or the row limit reached.
    bool all_settled() const;
    // A delivery settled the last open label of one driver: the scan settles
    // when every other driver has settled too.
    void driver_settled() {
        if (all_settled()) settle();
    }
    void settle();

    // ---- errors ----
    // Records an error at a buffer position (first error wins; stops every
    // driver); none is recorded once the scan has settled.
    void record_corruption(ParseErrorKind kind, uint64_t position);
    // The same at an absolute offset.
    void record_corruption_at(ParseErrorKind kind, uint64_t offset);
    // The input around `offset` from the pieces the scan holds now.
    NearBytes near_bytes(uint64_t offset) const;
    // The key of the innermost object when its value has not begun, and
    // where its opening quote lies.
    std::optional<std::pair<std::string_view, uint64_t>> key_awaiting_value() const;
    // A buffer ends between a key and its value: keeps the bytes on either
    // side of the key, which an error about the key shows once the value
    // begins.
    void keep_key_margins();
    // Records an end-of-input error at the current stream offset.
    void record_incomplete(ParseErrorKind kind);
    // Records UnexpectedToken for a token (first byte `byte`) that frame `f`
    // does not take, at an absolute offset.
    void record_misplaced(const ContainerFrame& f, uint8_t byte, uint64_t offset);
    // The input ended inside a string that opens at absolute offset
    // `offset` with `content` after its quote: a fault before the end comes
    // first, as it would had the string closed. So the string is refused
    // where its container takes neither a key nor a value, and, when a
    // capture or a profile would read it, at a broken escape.
    void check_open_string(uint64_t offset, std::string_view content);
};

// What a container whose frame is in state `s` wants next.
ParseErrorKind::Expected expected_in(FrameState s, bool is_object);

}  // namespace jorvane::engine
