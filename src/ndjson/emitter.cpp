// Whole rows ride on a pull scan with raw capture: each refill hands over
// the document text of the rows completed in the buffers it read, and each
// span becomes a line by the raw-row rule (most are copied unchanged). The
// pull scan already keeps a structural error behind the rows found with it.
//
// Projection rides on a table stream whose columns are the fields; each row
// is written as an object of the fields present in it (a JSON null is
// present, a missing field is left out). The field names are escaped once,
// up front, so a row costs only the values' text, written straight from the
// stored cells. Rows are written one
// buffer's worth at a time, while their cells are still in cache, and the
// lines are handed out in batches of 65,536 rows: an error anywhere in a
// batch drops the batch's lines, as a stream read in such batches would,
// but for a failed read, after which the batch goes on where it was.
#include "ndjson/emitter.h"

#include <span>

#include "engine/query_plan.h"
#include "ndjson/json_writer.h"
#include "ndjson/raw_row.h"
#include "run/input_facts.h"
#include "run/plans.h"
#include "run/split_pull.h"
#include "util/panic.h"

namespace jorvane::ndjson {
namespace {

// The ranges of whole rows over `source` as `walkers` asks, when there are
// to be any.
std::optional<run::SplitPlan> whole_row_plan(Source& source, std::optional<uint64_t> limit,
                                             const table::TableSplitOptions& walkers) {
    const run::SplitFacts facts = run::input_facts(source, whole_row_facts(limit));
    if (walkers.range_len != 0 && walkers.walkers > 1 && !limit && facts.input != run::SplitFacts::Input::Other)
        return run::SplitPlan{walkers.walkers, walkers.range_len, walkers.in_order};
    // Lines wait for the consumer once made: streamed ranges.
    std::optional<run::SplitPlan> plan = run::split_plan(facts, walkers.walkers);
    if (plan) {
        plan->range_len = run::streamed_range_len(plan->range_len, walkers.walkers);
        plan->in_order = walkers.in_order;
    }
    return plan;
}

// Moves the lines of `from` from line `first` on to the end of `to`.
void move_lines(Lines& from, size_t first, Lines& to) {
    for (size_t i = first; i < from.size(); ++i) {
        to.buffer() += from.line(i);
        to.end_line();
    }
    from.truncate(first);
}

}  // namespace

run::SplitFacts whole_row_facts(std::optional<uint64_t> limit) {
    run::SplitFacts facts;
    // Every row is kept, as a Count counts every match: nothing settles.
    facts.kinds.push_back(engine::AccumulatorKind::Count);
    // A limit counts the rows query's matches, which a range cannot count on
    // from where the ranges before it left off: one engine.
    facts.match_limit = limit.has_value();
    return facts;
}

Result<NdjsonEmitter, JorvaneError> NdjsonEmitter::make(const std::string& rows, std::optional<Fields> fields,
                                                        table::OnMulti on_multi, std::optional<uint64_t> limit,
                                                        engine::ScanMode mode, std::unique_ptr<Source> source,
                                                        table::TableSplitOptions walkers) {
    NdjsonEmitter emitter;
    if (!fields) {
        const engine::AccumulatorKind count[] = {engine::AccumulatorKind::Count};
        const engine::QueryPlan plan{limit, rows, count};
        if (std::optional<run::SplitPlan> split = whole_row_plan(*source, limit, walkers)) {
            const std::span<const engine::QueryPlan> plans(&plan, 1);
            if (auto refused = run::check_plans(plans))
                return make_err(JorvaneError::invalid_input(std::move(*refused)));
            auto compiled = run::compile_plans(plans);
            if (!compiled) return make_err(std::move(compiled.error()));
            emitter.split_ = std::make_unique<SplitRows>(std::move(compiled.value()), mode, std::move(source), *split);
            return emitter;
        }
        auto pull = run::PullQuery::make(std::span<const engine::QueryPlan>(&plan, 1), mode, std::move(source));
        if (!pull) return make_err(std::move(pull.error()));
        if (pull->engine().accumulators().size() != 1)
            panic("raw spans require exactly one query with one accumulator");
        pull->engine().enable_raw_capture();
        // No line may come out: the scan never starts.
        if (!(limit && *limit == 0)) emitter.pull_.emplace(std::move(pull.value()));
        return emitter;
    }
    if (fields->empty())
        return make_err(
            JorvaneError::invalid_input("fields= must name at least one field (or omit it to re-emit whole rows)"));
    table::TableSpec spec(rows);
    spec.on_multi = on_multi;
    if (limit && *limit > 0) spec.limit = limit;
    for (auto& [name, path] : *fields) {
        std::string prefix;
        write_json_string(name, prefix);
        prefix += ':';
        emitter.prefixes_.push_back(std::move(prefix));
        spec = std::move(spec).column(std::move(name), std::move(path));
    }
    auto stream = table::TableStream::make(std::move(spec), mode, std::move(source), UINT64_MAX, walkers);
    if (!stream) return make_err(std::move(stream.error()));
    emitter.projecting_ = true;
    emitter.on_multi_ = on_multi;
    if (!(limit && *limit == 0)) emitter.cells_.emplace(std::move(stream.value()), table::kDefaultBatchRows);
    return emitter;
}

Result<bool, JorvaneError> NdjsonEmitter::next_lines(Lines& out, run::Interrupt* interrupt) {
    return projecting_ ? next_projected(out, interrupt) : next_whole_rows(out, interrupt);
}

bool NdjsonEmitter::holds_threads() const {
    return (pull_ && pull_->holds_threads()) || (split_ && split_->holds_threads()) ||
           (cells_ && cells_->holds_threads());
}

Result<bool, JorvaneError> NdjsonEmitter::next_whole_rows(Lines& out, run::Interrupt* interrupt) {
    if (split_) return split_->next_lines(out, interrupt);
    if (!pull_) return false;
    run::Pulled<std::string> pulled = pull_->refill_raw(interrupt);
    if (pulled.error) return make_err(std::move(*pulled.error));
    if (pulled.end) {
        pull_.reset();
        return false;
    }
    for (const std::string& span : pulled.batches) {
        append_raw_row(span, out.buffer());
        out.end_line();
    }
    return true;
}

Result<bool, JorvaneError> NdjsonEmitter::next_projected(Lines& out, run::Interrupt* interrupt) {
    if (!cells_) return false;
    const size_t first = out.size();
    // The lines a failed read left of the open batch come first: their rows
    // are out of the stream already.
    move_lines(interrupted_, 0, out);
    for (;;) {
        auto batch = cells_->next_stored(interrupt);
        if (!batch) {
            if (batch.error().kind() == JorvaneError::Kind::Read && cells_->reads_again()) {
                // A failed read or a stop leaves the stream where it was, so
                // the batch goes on at the next call.
                move_lines(out, first, interrupted_);
                return make_err(std::move(batch.error()));
            }
            // Any other error ends the stream.
            cells_.reset();
            out.truncate(first);
            return make_err(std::move(batch.error()));
        }
        if (!*batch) {
            cells_.reset();
            return out.size() > first;
        }
        table::StoredRows& rows = **batch;
        std::vector<table::StoredColumn> columns;
        columns.reserve(rows.store.columns.size());
        for (auto& c : rows.store.columns) columns.push_back(table::StoredColumn{c, rows.rows, on_multi_});
        std::string& text = out.buffer();
        for (uint64_t r = 0; r < rows.rows; ++r) {
            text += '{';
            bool first_member = true;
            for (size_t c = 0; c < columns.size(); ++c) {
                const table::StoredColumn::Pick p = columns[c].pick(r);
                if (p.size() == 0) continue;
                if (!first_member) text += ',';
                first_member = false;
                text += prefixes_[c];
                const engine::CellColumn& cells = columns[c].cells;
                if (p.size() == 1) {
                    write_json_cell(cells, cells.cells[p.from], text);
                    continue;
                }
                // Several matches under on_multi "list": an array of them.
                text += '[';
                for (uint64_t i = p.from; i < p.to; ++i) {
                    if (i != p.from) text += ',';
                    write_json_cell(cells, cells.cells[i], text);
                }
                text += ']';
            }
            text += '}';
            out.end_line();
        }
        if (cells_->batch_closed()) return true;
    }
}

EmittedLines emit_all(const std::string& rows, std::optional<Fields> fields, table::OnMulti on_multi,
                      std::optional<uint64_t> limit, engine::ScanMode mode, std::unique_ptr<Source> source,
                      table::TableSplitOptions walkers) {
    EmittedLines result;
    auto emitter = NdjsonEmitter::make(rows, std::move(fields), on_multi, limit, mode, std::move(source), walkers);
    if (!emitter) {
        result.error = std::move(emitter.error());
        return result;
    }
    Lines batch;
    for (;;) {
        batch.clear();
        auto more = emitter->next_lines(batch);
        if (!more) {
            result.error = std::move(more.error());
            return result;
        }
        for (size_t i = 0; i < batch.size(); ++i) result.lines.emplace_back(batch.line(i));
        if (!*more) return result;
    }
}

}  // namespace jorvane::ndjson
