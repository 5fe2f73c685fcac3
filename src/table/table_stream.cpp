// The row query is installed last, as its own driver, and marked as the
// engine's row anchor; the column queries before it are the row query and
// the column path joined ("(rows).(path)"), compiled in fused groups of 64.
// After every buffer the engine's completed rows are moved into the stream's
// store; emit and next_cells hand the store out and start it afresh, so
// memory follows one batch of rows. A row limit is the engine's: the scan
// settles at the end of the limit-th row, so no later row is kept and nothing
// after that row (a malformed byte later in the same buffer) counts; the
// source is then abandoned.
#include "table/table_stream.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <system_error>
#include <thread>
#include <utility>

#include "engine/compiled_queries.h"
#include "run/plans.h"
#include "run/thread_failure.h"
#include "table/declared.h"
#include "table/inference.h"
#include "util/heap_return.h"
#include "util/text.h"

namespace jorvane::table {

std::optional<JorvaneError> multi_error(std::string_view name, const StoredColumn& column) {
    if (column.on_multi != OnMulti::Error) return std::nullopt;
    const auto multi = column.first_multi();
    if (!multi) return std::nullopt;
    return JorvaneError::shape("column " + debug_quote(name) + " matched " + std::to_string(multi->second) +
                               " times in one row; pass on_multi=\"list\", \"first\" or \"last\" to say which "
                               "value to keep");
}

Result<std::vector<std::optional<engine::Value>>, JorvaneError> resolve_cells(std::string_view name,
                                                                             StoredColumn column) {
    if (auto e = multi_error(name, column)) return make_err(std::move(*e));
    std::vector<std::optional<engine::Value>> cells(column.rows);
    for (uint64_t r = 0; r < column.rows; ++r) {
        const StoredColumn::Pick p = column.pick(r);
        if (p.size() > 0) cells[r] = column.take_value(p);
    }
    return cells;
}

namespace {

// Column `c` of the stores appended in order, its vectors sized once:
// appending store by store would copy the rows gathered so far again each
// time a vector grows. The stores' cells of that column go.
engine::CellColumn join_column(std::vector<engine::CellStore>& parts, size_t c) {
    engine::CellColumn into;
    if (parts.empty()) return into;
    into.append(std::move(parts[0].columns[c]));
    size_t cells = into.cells.size(), items = into.items.size(), arena = into.arena.size(), trees = into.trees.size(),
           ends = into.row_ends.size();
    for (size_t p = 1; p < parts.size(); ++p) {
        const engine::CellColumn& part = parts[p].columns[c];
        cells += part.cells.size();
        items += part.items.size();
        arena += part.arena.size();
        trees += part.trees.size();
        ends += part.row_ends.size() - 1;
    }
    into.cells.reserve(cells);
    into.items.reserve(items);
    into.arena.reserve(arena);
    into.trees.reserve(trees);
    into.row_ends.reserve(ends);
    for (size_t p = 1; p < parts.size(); ++p) into.append(std::move(parts[p].columns[c]));
    return into;
}

// Column `c` of the stores, in order, as far as `rows` rows in all.
StoredParts parts_of(std::vector<engine::CellStore>& stores, size_t c, uint64_t rows, OnMulti on_multi) {
    StoredParts s;
    s.rows = rows;
    for (engine::CellStore& store : stores) {
        const uint64_t take = std::min(store.rows, rows);
        if (take == 0) break;
        s.parts.push_back(StoredColumn{store.columns[c], take, on_multi});
        rows -= take;
    }
    return s;
}

// How much freed cell memory is let pile up before it is handed back.
constexpr size_t kHeapReturnStep = size_t{16} << 20;

// Runs `work` for every column, on up to `threads` threads (the calling one
// among them); what a thread throws is raised once all are joined.
void for_each_column(size_t columns, size_t threads, const std::function<void(size_t)>& work) {
    threads = std::min(threads, columns);
    if (threads <= 1) {
        for (size_t c = 0; c < columns; ++c) work(c);
        return;
    }
    std::atomic<size_t> next{0};
    run::ThreadFailure failure;
    const auto loop = [&] {
        (void)failure.guard([&] {
            for (size_t c = next.fetch_add(1); c < columns; c = next.fetch_add(1)) work(c);
        });
    };
    std::vector<std::thread> helpers;
    for (size_t t = 1; t < threads; ++t) {
        try {
            helpers.emplace_back(loop);
        } catch (const std::system_error&) {
            break;  // fewer helpers
        }
    }
    loop();
    for (auto& h : helpers) h.join();
    failure.raise();
}

}  // namespace

Result<TableStream, JorvaneError> TableStream::make(TableSpec spec, engine::ScanMode mode,
                                                    std::unique_ptr<Source> source, uint64_t batch_rows,
                                                    TableSplitOptions walkers) {
    if (spec.columns.empty()) return make_err(JorvaneError::invalid_input("table has no columns"));
    for (const auto& [name, path] : spec.columns)
        if (path.empty())
            return make_err(JorvaneError::invalid_input("column " + debug_quote(name) +
                                                        " has an empty path; a column must be inside the row, not "
                                                        "the row itself"));
    const std::vector<engine::AccumulatorKind> values{engine::AccumulatorKind::Values};
    std::vector<std::string> texts;
    texts.reserve(spec.columns.size());
    for (const auto& [name, path] : spec.columns)
        texts.push_back(spec.rows.empty() ? path : "(" + spec.rows + ").(" + path + ")");
    std::vector<engine::QueryPlan> plans;
    for (const auto& t : texts) plans.push_back(engine::QueryPlan{std::nullopt, t, values});
    auto columns = run::compile_plans(plans);
    if (!columns) return make_err(std::move(columns.error()));
    const std::vector<engine::AccumulatorKind> count{engine::AccumulatorKind::Count};
    const engine::QueryPlan anchor_plan{std::nullopt, spec.rows, count};
    auto anchor = run::compile_plans(std::span<const engine::QueryPlan>(&anchor_plan, 1));
    if (!anchor) return make_err(std::move(anchor.error()));

    TableEngines engines{std::move(*columns), std::move(*anchor), mode, spec.limit};

    for (const auto& entry : spec.declared) {
        const std::string& declared_name = entry.first;
        const bool known = std::any_of(spec.columns.begin(), spec.columns.end(),
                                       [&](const auto& c) { return c.first == declared_name; });
        if (!known)
            return make_err(JorvaneError::invalid_input("dtype declared for unknown column " + debug_quote(declared_name)));
    }
    TableStream stream(engines.make(), std::move(source));
    stream.split_ = TableSplit::make(std::move(engines), stream.scan_.source(), walkers);
    if (stream.split_) stream.walkers_ = walkers.walkers;
    stream.batch_rows_ = batch_rows;
    for (auto& [name, path] : spec.columns) {
        auto found = spec.declared.find(name);
        stream.declared_.push_back(Declaration{found == spec.declared.end() ? std::nullopt
                                                                            : std::optional<Declared>(found->second)});
        stream.names_.push_back(std::move(name));
    }
    stream.limit_ = spec.limit;
    stream.on_multi_ = spec.on_multi;
    return stream;
}

Result<bool, JorvaneError> TableStream::advance(run::Interrupt* interrupt) { return gather(batch_rows_, interrupt); }

run::SourceScan::Step TableStream::step(run::Interrupt* interrupt, engine::CellStore& rows, PieceParts& parts) {
    if (split_) return split_->step(interrupt, rows, parts);
    run::SourceScan::Step step = scan_.step(interrupt);
    if (step.kind == run::SourceScan::Step::Kind::Ended || step.kind == run::SourceScan::Step::Kind::Scanned)
        rows = scan_.engine().take_row_batch();
    return step;
}

Result<bool, JorvaneError> TableStream::gather(uint64_t rows, run::Interrupt* interrupt) {
    using Kind = run::SourceScan::Step::Kind;
    while (!done_) {
        engine::CellStore completed;
        PieceParts parts;
        run::SourceScan::Step step = this->step(interrupt, completed, parts);
        switch (step.kind) {
            case Kind::Interrupted: return make_err(run::interrupted_read());
            case Kind::Failed:
                if (split_ ? split_->over() : scan_.over()) done_ = true;
                return make_err(std::move(*step.error));
            case Kind::Ended:
                if (step.error) return make_err(std::move(*step.error));
                keep(std::move(completed));
                done_ = true;
                continue;
            case Kind::Scanned: break;
        }
        if (step.error) return make_err(std::move(*step.error));
        keep(std::move(completed), std::move(parts));
        if (step.settled) {
            limit_hit_ = true;
            if (split_) split_->stop();
            else (void)scan_.stop();
            done_ = true;
            break;
        }
        if (gathered_rows_ >= rows) return true;
    }
    return gathered_rows_ > 0;
}

void TableStream::keep(engine::CellStore rows, PieceParts parts) {
    uint64_t n = rows.rows;
    for (const PiecePart& p : parts)
        if (p.digest) {
            n += p.rows;
            gathered_digested_ += p.rows;
        }
    if (n == 0) return;
    gathered_rows_ += n;
    gathered_parts_.add(std::move(parts), rows.rows);
    if (rows.rows > 0) gathered_.push_back(std::move(rows));
}

uint64_t TableStream::take_parts(std::vector<engine::CellStore>& parts) {
    uint64_t n = gathered_rows_;
    if (limit_) n = std::min(n, *limit_);
    parts = std::move(gathered_);
    gathered_.clear();
    gathered_rows_ = 0;
    gathered_digested_ = 0;
    (void)gathered_parts_.take();
    if (limit_) *limit_ -= n;
    last_rows_ = n;
    first_row_ = rows_taken_;
    rows_taken_ += n;
    return n;
}

uint64_t TableStream::take_rows(engine::CellStore& rows) {
    std::vector<engine::CellStore> parts;
    const uint64_t digested = gathered_digested_;
    const uint64_t n = take_parts(parts);
    rows = engine::CellStore::make(names_.size());
    rows.rows = n - digested;
    for (size_t c = 0; c < names_.size(); ++c) rows.columns[c] = join_column(parts, c);
    return n;
}

Result<Table, JorvaneError> TableStream::emit() {
    std::vector<engine::CellStore> parts;
    const uint64_t n = take_parts(parts);
    // Columns are typed apart, each from its own cells in the stores the
    // buffers gave (no joined copy is made), and a store's cells of a column
    // go as soon as that column's rows in it are built, their memory handed
    // back as it goes: the cells and the typed table never coexist in full.
    // A large table read in ranges types its columns on the walkers' cores.
    std::vector<std::optional<Result<Column, JorvaneError>>> typed(names_.size());
    HeapReturn heap(kHeapReturnStep);
    const size_t threads = n >= kParallelTypingRows ? walkers_ : 1;
    for_each_column(names_.size(), threads, [&](size_t c) {
        StoredParts column = parts_of(parts, c, n, on_multi_);
        column.release = [&heap](engine::CellColumn& cells) {
            const size_t bytes = cells.bytes();
            cells.release();
            heap.freed(bytes);
        };
        std::optional<JorvaneError> multi;
        for (size_t i = 0; i < column.parts.size() && !multi; ++i) multi = multi_error(names_[c], column.parts[i]);
        if (multi) {
            typed[c].emplace(make_err(std::move(*multi)));
        } else if (declared_[c].declared) {
            typed[c].emplace(build_declared_column(names_[c], std::move(column), *declared_[c].declared, first_row_));
        } else {
            typed[c].emplace(narrow_cells(std::move(column)));
        }
    });
    Table table;
    table.n_rows = n;
    table.names = names_;
    table.columns.reserve(names_.size());
    for (auto& column : typed) {
        if (!*column) return make_err(std::move(column->error()));
        table.columns.push_back(std::move(column->value()));
    }
    if (done_ && limit_hit_) table.bytes_covered = split_ ? split_->stopped_at() : scan_.engine().stopped_at();
    return table;
}

Result<std::optional<CellBatch>, JorvaneError> TableStream::next_cells(run::Interrupt* interrupt) {
    return gathered_cells(batch_rows_, interrupt);
}

Result<std::optional<CellBatch>, JorvaneError> TableStream::next_buffer_cells(run::Interrupt* interrupt) {
    return gathered_cells(1, interrupt);
}

Result<std::optional<StoredRows>, JorvaneError> TableStream::next_buffer_store(run::Interrupt* interrupt) {
    auto ready = gather(1, interrupt);
    if (!ready) return make_err(std::move(ready.error()));
    if (!*ready) return std::optional<StoredRows>();
    StoredRows out;
    // Rows cut at a limit have no digests: a split under a row limit makes
    // none.
    out.parts = gathered_parts_.take();
    out.rows = take_rows(out.store);
    for (size_t c = 0; c < names_.size(); ++c) {
        if (auto e = multi_error(names_[c], StoredColumn{out.store.columns[c], out.store.rows, on_multi_})) {
            failed_column_ = c;
            return make_err(std::move(*e));
        }
    }
    return std::optional<StoredRows>(std::move(out));
}

Result<std::optional<CellBatch>, JorvaneError> TableStream::gathered_cells(uint64_t rows, run::Interrupt* interrupt) {
    auto ready = gather(rows, interrupt);
    if (!ready) return make_err(std::move(ready.error()));
    if (!*ready) return std::optional<CellBatch>();
    engine::CellStore taken;
    CellBatch out;
    out.rows = take_rows(taken);
    for (size_t c = 0; c < names_.size(); ++c) {
        auto cells = resolve_cells(names_[c], StoredColumn{taken.columns[c], out.rows, on_multi_});
        if (!cells) {
            failed_column_ = c;
            return make_err(std::move(cells.error()));
        }
        out.columns.push_back(std::move(*cells));
    }
    return std::optional<CellBatch>(std::move(out));
}

}  // namespace jorvane::table
