// Engine: the scan state of one source.
//
// A driving loop builds an engine with its execution mode, installs the query
// drivers, and then, per buffer of the source in stream order, calls
// `process_buffer`, takes any recorded error, advances `stream_offset` by the
// buffer's length, drains streamed values and tests `is_done`. At the end it
// calls `finish` and `finalize_source`. The engine is used by one thread at a
// time; the pipelined mode starts and joins its own helper thread inside
// `process_buffer`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "classification_kernel/kernel.h"
#include "engine/accumulator.h"
#include "engine/driver.h"
#include "engine/parse_error_kind.h"
#include "engine/raw_spans.h"
#include "engine/row_batch.h"
#include "engine/scan_mode.h"
#include "engine/sink.h"
#include "engine/walk_state.h"
#include "error.h"
#include "util/result.h"

namespace jorvane::engine {

// A token carried across buffers may hold at most this many bytes.
inline constexpr uint64_t kMaxPendingToken = 67108864;

struct RecordedError {
    ParseErrorKind kind;
    uint64_t offset = 0;  // absolute byte offset in the source
};

struct Engine {
    uint64_t skip_depth = 0;  // bracket depth of a container being skipped; 0 = not skipping
    std::optional<RawSpans> raw_spans;  // absent = raw capture off
    std::optional<RecordedError> error;  // the first structural error of the source
    ScanMode mode;
    uint64_t stream_offset = 0;  // absolute offset of the current buffer's first byte
    RowBatch row_batch;          // table rows completed since the consumer took them
    std::vector<DfaDriver> drivers;
    std::vector<ContainerFrame> frames;  // open containers, innermost last
    std::string pending_bytes;           // a token cut by the end of a buffer
    std::string key_path;  // raw key of the current member of each open object (when tracked)
    ChunkCursor cursor;
    std::optional<uint64_t> stop_offset;  // where an early stop ended the scan
    std::optional<size_t> row_anchor;     // the driver whose matches mark table rows
    PendingKind pending_kind = PendingKind::None;
    kernel::KernelCarry carry;
    bool track_key_path = false;
    // Absolute offset of the first byte of the pending token (its opening
    // quote for a string), so errors about it do not depend on buffer cuts.
    uint64_t pending_token_offset = 0;
    // The stage-1 kernel: the best one for this CPU unless a test or a
    // benchmark sets another (it must be supported).
    kernel::KernelKind kernel = kernel::active_kernel();

    explicit Engine(ScanMode mode = ScanMode{}) : mode(mode) {}

    // ---- installation ----
    // Appends one driver for up to 64 fused queries (label i = query i).
    void add_fused_queries(dfa::QueryDFA dfa, std::vector<FusedQuery> queries);
    // Switches capture of the first query's matched text on.
    void enable_raw_capture() {
        if (!raw_spans) raw_spans.emplace();
    }

    // ---- scanning ----
    // Scans one buffer; structural errors are recorded in `error`.
    void process_buffer(std::span<const uint8_t> buffer);
    void process_buffer(std::string_view buffer) {
        process_buffer(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(buffer.data()), buffer.size()));
    }

    // ---- end of a source ----
    // complete = true at end of input (reports an open string or open
    // containers), false for an early stop (records the stop offset).
    Result<void, JorvaneError> finish(bool complete);
    // Every query's results, in query-number order (moves maps and sets out).
    std::vector<QueryOutput> finalize_source();
    // A copy of the results so far, for progress reports.
    std::vector<QueryOutput> snapshot_source(uint64_t bytes) const;
    std::vector<ValueBatch> drain_streams();
    std::vector<KeyedBatch> drain_keyed_streams();
    // Every query settled (limit reached, all Exists found, or stopped by the consumer).
    bool is_done() const;
    // Clears the per-source state so the engine can scan another source.
    void reset_for_next_source();
    // Takes the finished raw spans out.
    std::vector<std::string> take_raw_spans();
    // Number of queries across the drivers.
    size_t query_count() const;

    // ---- errors ----
    void record_corruption(ParseErrorKind kind, uint64_t position);
    void record_incomplete(ParseErrorKind kind);
    // The error for a recorded (kind, offset), with the input around it.
    static JorvaneError parse_error(uint64_t buffer_offset, const RecordedError& recorded,
                                    std::span<const uint8_t> buffer);

    // ---- the walk (called by buffer processing) ----
    void process_chunk(ChunkCursor& cursor, const uint8_t* buf, size_t len);
    void on_open_container(uint8_t is_object, uint64_t pos);
    void on_close_container(uint8_t byte, uint64_t pos, const uint8_t* buf, size_t len);
    void on_atom(const uint8_t* buf, size_t len, uint64_t start, uint64_t end);
    void on_string(const uint8_t* buf, size_t len, uint64_t open, uint64_t close);
    void dispatch_atom_event(std::string_view bytes);

    // ---- tokens across buffers ----
    void save_pending_at_end(const uint8_t* buf, size_t len, uint64_t end, ChunkCursor& cursor);
    kernel::ChunkMasks structure_masks_partial(const uint8_t* block, size_t n);
    void resolve_cross_buffer_pending(ChunkCursor& cursor, const uint8_t* buf, size_t len);

    // Scans a buffer in the given mode with `chunks` classified per batch or block.
    void process_buffer_batched(const uint8_t* buf, size_t len, uint32_t chunks);
    void process_buffer_spsc(const uint8_t* buf, size_t len, uint32_t chunks);

    // Records an error at an absolute offset (first error wins; stops every driver).
    void record_corruption_at(ParseErrorKind kind, uint64_t offset);

    // ---- pieces of the walk (engine/walk_chunk.h inlines the rest) ----
    // The raw key of the current value, when key paths are tracked.
    std::optional<std::string_view> current_key() const;
    void scalar_value(std::string_view bytes, bool is_string);
    void string_key(std::string_view content);
    void raw_scalar_hit(std::string_view bytes, bool is_string, bool delivered);
    // A container opened at `pos` while some driver captures: opens the raw span.
    void open_raw_span(uint64_t pos);
    // A matching close at `pos` (frame already popped) when some driver
    // captures, raw spans or table rows are on, or a state stack is empty.
    void close_drivers(uint64_t pos, const uint8_t* buf);
    void complete_row(size_t anchor);
};

}  // namespace jorvane::engine
