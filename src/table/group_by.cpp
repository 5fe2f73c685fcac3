// Rows are folded one buffer's worth at a time, while their cells are still
// in cache, but a refusal is reported as a scan read in batches of 65,536
// rows (kDefaultBatchRows) would report it (BatchedCells): a structural
// error later in the same batch wins over it.
//
// Groups live in one insertion-ordered hash map from key tuple to nothing:
// an entry's position is its group number, so the result's row order is the
// order of first appearance and does not depend on hashing at all. A row's
// tuple is hashed and compared straight from the batch's key cells (a missing
// key counts as JSON null); only a row that starts a new group moves its key
// cells into a tuple. Aggregates keep their states column by column, one
// vector per aggregate indexed by group number.
#include "table/group_by.h"

#include <utility>

#include "engine/values/value_hasher.h"
#include "table/agg_state.h"
#include "table/inference.h"
#include "table/table_stream.h"
#include "table/batched_cells.h"
#include "util/ordered_map.h"

namespace jorvane::table {
namespace {

using engine::Value;

struct Empty {};
using GroupMap = OrderedMap<std::vector<Value>, Empty>;

const Value& key_or_null(const std::optional<Value>& cell) {
    static const Value null;
    return cell ? *cell : null;
}

}  // namespace

std::optional<GroupOp> parse_group_op(std::string_view text) {
    if (text == "count") return GroupOp::Count;
    if (text == "sum") return GroupOp::Sum;
    if (text == "min") return GroupOp::Min;
    if (text == "max") return GroupOp::Max;
    if (text == "mean" || text == "avg") return GroupOp::Mean;
    if (text == "count_unique") return GroupOp::CountUnique;
    if (text == "first") return GroupOp::First;
    if (text == "last") return GroupOp::Last;
    return std::nullopt;
}

const char* group_op_name(GroupOp op) {
    switch (op) {
        case GroupOp::Count: return "count";
        case GroupOp::Sum: return "sum";
        case GroupOp::Min: return "min";
        case GroupOp::Max: return "max";
        case GroupOp::Mean: return "mean";
        case GroupOp::CountUnique: return "count_unique";
        case GroupOp::First: return "first";
        case GroupOp::Last: return "last";
    }
    return "count";
}

Result<Table, JorvaneError> group_by_scan(GroupSpec spec, engine::ScanMode mode, std::unique_ptr<Source> source,
                                          run::Interrupt* interrupt, TableWalkers walkers) {
    if (spec.keys.empty()) return make_err(JorvaneError::invalid_input("group_by needs at least one key column (by=)"));
    const size_t n_keys = spec.keys.size();

    // Key i is column i; each aggregate with a path gets the next column.
    TableSpec table_spec(spec.rows);
    table_spec.on_multi = spec.on_multi;
    for (const auto& [name, path] : spec.keys) table_spec = std::move(table_spec).column(name, path);
    std::vector<std::optional<size_t>> agg_column;
    std::vector<AggStates> states;
    for (const GroupAgg& a : spec.aggs) {
        if (a.path) {
            agg_column.emplace_back(table_spec.columns.size());
            table_spec = std::move(table_spec).column(a.name, *a.path);
        } else {
            agg_column.emplace_back();
        }
        states.emplace_back(a.name, a.op);
    }
    auto stream = TableStream::make(std::move(table_spec), mode, std::move(source), UINT64_MAX, walkers);
    if (!stream) return make_err(std::move(stream.error()));
    BatchedCells batches(std::move(stream.value()), kDefaultBatchRows);

    GroupMap groups;
    std::optional<Value> no_cell;
    for (;;) {
        auto batch = batches.next(interrupt);
        if (!batch) return make_err(std::move(batch.error()));
        if (!*batch) break;
        CellBatch& cells = **batch;
        for (uint64_t r = 0; r < cells.rows && !batches.deferring(); ++r) {
            engine::ValueHasher hasher;
            for (size_t k = 0; k < n_keys; ++k) key_or_null(cells.columns[k][r]).hash_into(hasher);
            const uint64_t hash = hasher.finish();
            const auto same_key = [&](const std::vector<Value>& tuple) {
                for (size_t k = 0; k < n_keys; ++k)
                    if (!(tuple[k] == key_or_null(cells.columns[k][r]))) return false;
                return true;
            };
            size_t group;
            if (const GroupMap::Entry* found = groups.find_if(hash, same_key)) {
                group = static_cast<size_t>(found - groups.entries().data());
            } else {
                if (spec.max_groups && groups.size() >= *spec.max_groups) {
                    batches.defer(JorvaneError::shape(
                        "group_by exceeded max_groups=" + std::to_string(*spec.max_groups) +
                        " distinct groups; raise max_groups= if this cardinality is intended (memory is "
                        "proportional to the number of groups)"));
                    break;
                }
                std::vector<Value> tuple;
                tuple.reserve(n_keys);
                for (size_t k = 0; k < n_keys; ++k) {
                    std::optional<Value>& cell = cells.columns[k][r];
                    tuple.push_back(cell ? std::move(*cell) : Value());
                }
                group = groups.size();
                groups.insert_new(std::move(tuple), Empty{}, hash);
                for (AggStates& s : states) s.add_group();
            }
            for (size_t a = 0; a < states.size(); ++a) {
                std::optional<Value>& cell = agg_column[a] ? cells.columns[*agg_column[a]][r] : no_cell;
                if (auto folded = states[a].fold(group, cell); !folded) {
                    batches.defer(std::move(folded.error()));
                    break;
                }
            }
        }
    }

    Table table;
    table.n_rows = groups.size();
    std::vector<GroupMap::Entry> entries = groups.take_entries();
    for (size_t k = 0; k < n_keys; ++k) {
        std::vector<std::optional<Value>> keys;
        keys.reserve(entries.size());
        for (auto& e : entries) keys.emplace_back(std::move(e.key[k]));
        table.names.push_back(spec.keys[k].first);
        table.columns.push_back(narrow_cells(std::move(keys)));
    }
    entries.clear();
    for (size_t a = 0; a < states.size(); ++a) {
        auto column = std::move(states[a]).finish();
        if (!column) return make_err(std::move(column.error()));
        table.names.push_back(spec.aggs[a].name);
        table.columns.push_back(std::move(*column));
    }
    return table;
}

}  // namespace jorvane::table
