// Engine: the scan of one source at a time, fed a buffer at a time.
//
// A driving loop builds an engine with its execution mode, installs the
// compiled queries (CompiledQueries::install), then hands it the source's
// buffers in stream order with `scan_buffer`, which reports what the buffer
// did: the source's structural error (the scan is then over), whether
// streamed output waits to be taken, and whether every query is settled (the
// loop then abandons the source and calls `finish(false)`). At end of input
// the loop calls `finish(true)`; in every case it then takes the per-query
// outputs with `finalize_source`. An engine serves one thread at a time and
// can be reused for another source after `reset_for_next_source`. In
// pipelined mode it owns a stage-1 thread (engine/walk/stage_one_producer.h),
// started with the first buffer worth pipelining, kept across buffers and
// sources (and moves), asleep while the engine is not scanning, and joined
// when the engine is destroyed.
//
// A source whose first byte is refused as the start of a UTF-8 byte-order
// mark, or of gzip or zstd data, is told so, in every cut: when the buffers
// so far hold only a part of the mark, the error waits (scan_buffer reports
// nothing and scans nothing) until a buffer shows the rest or the input ends
// (finish reports it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "classification_kernel/kernel.h"
#include "dfa_core/dfa.h"
#include "engine/describer.h"
#include "engine/drivers/accumulator.h"
#include "engine/drivers/driver.h"
#include "engine/parse_error.h"
#include "engine/query_output.h"
#include "engine/cell_store.h"
#include "engine/sink.h"
#include "engine/scan_mode.h"
#include "engine/walk/scan_state.h"

namespace jorvane::engine {

// What scanning one buffer did.
struct BufferScan {
    // The source's first structural error, with the input around it as far
    // as this buffer's end (while the window is open there, the bytes of
    // the buffers after it are the caller's to add: show_bytes_after).
    // The scan is over: take the outputs with finalize_source.
    std::optional<ParseError> error;
    // Streamed values, keyed values, raw spans or table rows wait to be taken.
    bool output_ready = false;
    // Every query is settled (limit reached, every Exists found, or stopped),
    // or the table row limit is reached: reading on cannot change any answer.
    // The walk stopped where that happened; nothing after that point counts,
    // not even a malformed byte later in the same buffer.
    bool settled = false;
};

// An installed accumulator and the query it serves (queries numbered as the
// outputs are).
struct InstalledAccumulator {
    size_t query = 0;
    const accumulator::Accumulator* accumulator = nullptr;
};

class Engine {
public:
    explicit Engine(ScanMode mode = ScanMode{});

    // ---- installation ----
    // One query with an automaton of its own (the next query number).
    void add_query(dfa_core::QueryDFA dfa, std::vector<accumulator::Accumulator> accumulators,
                   std::optional<uint64_t> limit);
    // Up to 64 queries fused into one automaton (label i = the i-th of them).
    void add_fused_queries(dfa_core::QueryDFA dfa, std::vector<FusedQuery> queries);
    // Whether matched values are queued for drain_streams (on by default).
    void set_stream_items(bool on);
    // Keeps the document text of every value the first query matches (call
    // it once the queries are installed). That text must hold only JSON
    // numbers, as a kept value must: a malformed one fails the scan.
    void enable_raw_capture();
    // The table row query, with an automaton of its own: its matches mark
    // table rows, and every other query is a column (its values go to the
    // row batch).
    void add_row_anchor(dfa_core::QueryDFA dfa, std::vector<accumulator::Accumulator> accumulators);
    // Table rows: the scan settles once this many rows of the source have
    // completed, and no later row is kept.
    void set_row_limit(std::optional<uint64_t> rows);
    // Uses this stage-1 kernel (tests and benchmarks; the CPU must support it).
    void set_kernel(classification_kernel::KernelKind kind);
    // Whether plain top-level values may take the fast walk (on by default;
    // tests and benchmarks turn it off to compare with the general walk).
    void set_fast_walk(bool on);
    // Every Sum, Mean and Product keeps the numbers it folds, in order
    // (Accumulator::keep_contributions): an engine over one range of a
    // source, whose figures the merge replays onto those of the ranges before.
    void keep_contributions();
    // Takes a structural profile of the source (every value is visited).
    void attach_describer(Describer describer);
    // The first byte this engine is handed lies inside its source (a stretch
    // of ranges that begins after a cut): a byte-order mark, or a
    // compressed format's magic, is one only at a source's start. Until
    // reset_for_next_source.
    void begin_inside_source() { inside_source_ = true; }
    // The profile taken so far, detached from the engine.
    std::optional<Describer> take_describer();

    // ---- scanning ----
    BufferScan scan_buffer(std::span<const uint8_t> buffer);
    BufferScan scan_buffer(std::string_view buffer) {
        return scan_buffer(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(buffer.data()), buffer.size()));
    }
    // Closes the scan: at end of input (`complete`) reports an open string or
    // open containers; after an early stop records where the scan stopped.
    // Also reports an error recorded earlier and not yet taken.
    std::optional<ParseError> finish(bool complete);
    // Stops query `q` from now on (it counts as settled).
    void stop_query(size_t q);

    // ---- output ----
    // Every query's results, in query-number order (moves maps and sets out).
    std::vector<QueryOutput> finalize_source();
    // A copy of the results so far, for progress reports.
    std::vector<QueryOutput> snapshot_source(uint64_t bytes) const;
    std::vector<ValueBatch> drain_streams();
    std::vector<KeyedBatch> drain_keyed_streams();
    // The finished raw spans, in document order.
    std::vector<std::string> take_raw_spans();
    // The table rows completed so far, a column of cells per column query
    // (the row in progress stays).
    CellStore take_row_batch();
    // Every query settled, or the row limit reached: what BufferScan::settled
    // reports once the next buffer is scanned.
    bool settled() const;

    // Clears the per-source state so the engine can scan another source.
    void reset_for_next_source();

    // ---- inspection ----
    size_t query_count() const;
    // Bytes handed to scan_buffer since the source began.
    uint64_t bytes_scanned() const { return s_.stream_offset; }
    // Where an early stop (finish(false)) ended the scan.
    std::optional<uint64_t> stopped_at() const { return s_.stop_offset; }
    const ScanMode& mode() const { return s_.mode; }
    // Every installed accumulator that serves a query, in install order.
    std::vector<InstalledAccumulator> accumulators() const;
    // The same accumulators, in the same order, to change: the merge of a
    // scan in ranges moves a finished range's figures out of them
    // (Accumulator::combine).
    std::vector<accumulator::Accumulator*> mutable_accumulators();
    // Whether some query stops after a number of matches.
    bool has_match_limit() const;
    // Whether the walk keeps the key path (some query has KeyedValues).
    bool tracks_key_paths() const { return s_.track_key_path; }
    // Whether the scan so far ends between top-level values: no container,
    // string or token open, nothing pending in stage 1, no error recorded.
    // A fresh engine would carry on from here exactly as this one would (a
    // loop that cuts a source into ranges checks each cut with it).
    bool at_top_level() const;
    // Whether pipelined mode has started its stage-1 thread, which the
    // engine joins when it goes.
    bool stage_one_started() const { return s_.producer != nullptr; }
    // Buffers handed to the stage-1 thread since it started (tests).
    uint64_t stage_one_buffers() const;

private:
    bool has_output() const;
    // What a buffer ending at `buffer_end` did that found `error`: an error
    // at a source's first byte is reported with what the source opens with
    // (opening_kind), and held in `held_` while the buffers so far cannot
    // tell.
    BufferScan report(ParseError error, uint64_t buffer_end);

    ScanState s_;
    std::optional<ParseError> held_;
    bool inside_source_ = false;
};

}  // namespace jorvane::engine
