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
//
// A source read in ranges folds on the walkers' cores: each piece of rows a
// walker scans is folded there into groups of its own (a GroupPiece), and the
// merge, taking pieces in document order, absorbs each piece's groups into
// the running ones: new groups join in the order the piece first saw them,
// which is their order of first appearance overall. A piece with anything
// that could end the scan (a value an aggregate refuses, more groups than
// max_groups, several matches under on_multi "error") is not folded there,
// and neither is a piece whose new groups would pass max_groups: the merge
// folds those rows itself, one by one, and meets the refusal where a single
// engine would.
#include "table/group_by.h"

#include <cstdint>
#include <memory>
#include <utility>

#include "engine/values/value_hasher.h"
#include "run/serial_worker.h"
#include "table/agg_state.h"
#include "table/inference.h"
#include "table/table_stream.h"
#include "table/batched_cells.h"
#include "table/stored_column.h"
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

// What every fold of the scan needs to know, read by the walkers at once.
struct GroupPlan {
    size_t n_keys = 0;
    std::vector<std::string> names;                  // the stream's columns: keys, then aggregate inputs
    std::vector<std::optional<size_t>> agg_column;   // per aggregate, its input column
    std::vector<GroupAgg> aggs;
    OnMulti on_multi = OnMulti::Error;
    std::optional<uint64_t> max_groups;

    std::vector<AggStates> states(bool piece) const {
        std::vector<AggStates> out;
        out.reserve(aggs.size());
        for (const GroupAgg& a : aggs) out.emplace_back(a.name, a.op, piece);
        return out;
    }
};

uint64_t key_hash(const std::vector<std::optional<Value>>& keys) {
    engine::ValueHasher hasher;
    for (const auto& k : keys) key_or_null(k).hash_into(hasher);
    return hasher.finish();
}

bool same_keys(const std::vector<Value>& tuple, const std::vector<Value>& other) {
    for (size_t k = 0; k < tuple.size(); ++k)
        if (!(tuple[k] == other[k])) return false;
    return true;
}

// One piece of rows folded on its walker's thread.
struct GroupPiece : PieceDigest {
    std::vector<GroupMap::Entry> groups;  // in the order the piece first saw them
    std::vector<AggStates> states;
};

JorvaneError max_groups_error(uint64_t max_groups) {
    return JorvaneError::shape("group_by exceeded max_groups=" + std::to_string(max_groups) +
                               " distinct groups; raise max_groups= if this cardinality is intended (memory is "
                               "proportional to the number of groups)");
}

// Folds rows [from, to) into `groups` and `states` (one per aggregate),
// `cell_of(c, r)` giving row r's cell of column c (read once). The first
// refusal, a new group past max_groups or a value an aggregate refuses, goes
// to `refuse` and ends the fold: false.
template <class CellOf, class Refuse>
bool fold_rows(const GroupPlan& plan, GroupMap& groups, std::vector<AggStates>& states, uint64_t from, uint64_t to,
               CellOf&& cell_of, Refuse&& refuse) {
    std::vector<std::optional<Value>> keys(plan.n_keys);
    for (uint64_t r = from; r < to; ++r) {
        for (size_t k = 0; k < plan.n_keys; ++k) keys[k] = cell_of(k, r);
        const uint64_t hash = key_hash(keys);
        const auto same_key = [&](const std::vector<Value>& tuple) {
            for (size_t k = 0; k < plan.n_keys; ++k)
                if (!(tuple[k] == key_or_null(keys[k]))) return false;
            return true;
        };
        size_t group;
        if (const GroupMap::Entry* found = groups.find_if(hash, same_key)) {
            group = static_cast<size_t>(found - groups.entries().data());
        } else {
            if (plan.max_groups && groups.size() >= *plan.max_groups) {
                refuse(max_groups_error(*plan.max_groups));
                return false;
            }
            std::vector<Value> tuple;
            tuple.reserve(plan.n_keys);
            for (auto& k : keys) tuple.push_back(k ? std::move(*k) : Value());
            group = groups.size();
            groups.insert_new(std::move(tuple), Empty{}, hash);
            for (AggStates& s : states) s.add_group();
        }
        for (size_t a = 0; a < states.size(); ++a) {
            std::optional<Value> cell = plan.agg_column[a] ? cell_of(*plan.agg_column[a], r) : std::nullopt;
            if (auto folded = states[a].fold(group, cell); !folded) {
                refuse(std::move(folded.error()));
                return false;
            }
        }
    }
    return true;
}

// The piece's rows folded into groups of their own, or null when the piece
// holds anything the merge must meet row by row.
std::unique_ptr<PieceDigest> fold_piece(const GroupPlan& plan, engine::CellStore& rows) {
    std::vector<StoredColumn> columns;
    columns.reserve(plan.names.size());
    for (auto& c : rows.columns) {
        columns.push_back(StoredColumn{c, rows.rows, plan.on_multi});
        if (plan.on_multi == OnMulti::Error && columns.back().first_multi()) return nullptr;
    }
    const auto cell_of = [&](size_t c, uint64_t r) {
        const StoredColumn::Pick p = columns[c].pick(r);
        return p.size() > 0 ? std::optional<Value>(columns[c].value(p)) : std::nullopt;
    };
    GroupMap groups;
    std::vector<AggStates> states = plan.states(true);
    if (!fold_rows(plan, groups, states, 0, rows.rows, cell_of, [](JorvaneError&&) {})) return nullptr;
    auto piece = std::make_unique<GroupPiece>();
    piece->rows = rows.rows;
    piece->groups = groups.take_entries();
    piece->states = std::move(states);
    return piece;
}

}  // namespace

Result<Table, JorvaneError> group_by_scan(GroupSpec spec, engine::ScanMode mode, std::unique_ptr<Source> source,
                                          run::Interrupt* interrupt, TableWalkers walkers) {
    if (spec.keys.empty()) return make_err(JorvaneError::invalid_input("group_by needs at least one key column (by=)"));
    const size_t n_keys = spec.keys.size();

    // Key i is column i; each aggregate with a path gets the next column.
    auto plan = std::make_shared<GroupPlan>();
    plan->n_keys = n_keys;
    plan->on_multi = spec.on_multi;
    plan->max_groups = spec.max_groups;
    plan->aggs = spec.aggs;
    TableSpec table_spec(spec.rows);
    table_spec.on_multi = spec.on_multi;
    for (const auto& [name, path] : spec.keys) table_spec = std::move(table_spec).column(name, path);
    for (const GroupAgg& a : spec.aggs) {
        if (a.path) {
            plan->agg_column.emplace_back(table_spec.columns.size());
            table_spec = std::move(table_spec).column(a.name, *a.path);
        } else {
            plan->agg_column.emplace_back();
        }
    }
    for (const auto& column : table_spec.columns) plan->names.push_back(column.first);
    std::vector<AggStates> states = plan->states(false);
    walkers.digest = [plan](engine::CellStore& rows) { return fold_piece(*plan, rows); };
    auto stream = TableStream::make(std::move(table_spec), mode, std::move(source), UINT64_MAX, std::move(walkers));
    if (!stream) return make_err(std::move(stream.error()));
    BatchedCells batches(std::move(stream.value()), kDefaultBatchRows);

    GroupMap groups;
    // A distinct set absorbs a piece's values in any order, and that is the
    // costliest part of absorbing a piece (a probe into a large table per
    // value): count_unique states are filled on a thread of their own while
    // the merge goes on, and touched here only once it has caught up.
    std::vector<size_t> distinct, others;
    for (size_t a = 0; a < states.size(); ++a) (states[a].op() == GroupOp::CountUnique ? distinct : others).push_back(a);
    std::optional<run::SerialWorker> distinct_worker;
    // Room for many pieces: a burst of new values must not hold the merge,
    // and with it the walkers it starts, while the sets catch up.
    if (!distinct.empty()) distinct_worker.emplace(64);
    const auto catch_up = [&] {
        if (!distinct_worker) return;
        distinct_worker->wait();
        for (size_t a : distinct) states[a].add_groups(groups.size());
    };
    // Absorbs a piece folded by a walker (taking it); false, with nothing
    // changed, when its new groups would pass max_groups.
    std::vector<size_t> into;
    const auto absorb = [&](std::unique_ptr<PieceDigest>& digest) {
        GroupPiece& piece = static_cast<GroupPiece&>(*digest);
        into.assign(piece.groups.size(), SIZE_MAX);
        size_t fresh = 0;
        for (size_t i = 0; i < piece.groups.size(); ++i) {
            const GroupMap::Entry& e = piece.groups[i];
            const auto same_key = [&](const std::vector<Value>& tuple) { return same_keys(tuple, e.key); };
            if (const GroupMap::Entry* found = groups.find_if(e.hash, same_key))
                into[i] = static_cast<size_t>(found - groups.entries().data());
            else
                ++fresh;
        }
        if (plan->max_groups && groups.size() + fresh > *plan->max_groups) return false;
        for (size_t i = 0; i < piece.groups.size(); ++i) {
            if (into[i] != SIZE_MAX) continue;
            into[i] = groups.size();
            groups.insert_new(std::move(piece.groups[i].key), Empty{}, piece.groups[i].hash);
            for (size_t a : others) states[a].add_group();
        }
        for (size_t a : others)
            for (size_t i = 0; i < piece.groups.size(); ++i) states[a].absorb(into[i], piece.states[a], i);
        if (distinct_worker) {
            distinct_worker->submit([&states, &distinct, into = into, total = groups.size(),
                                     held = std::shared_ptr<PieceDigest>(std::move(digest))] {
                GroupPiece& p = static_cast<GroupPiece&>(*held);
                for (size_t a : distinct) {
                    states[a].add_groups(total);
                    for (size_t i = 0; i < into.size(); ++i) states[a].absorb(into[i], p.states[a], i);
                }
            });
        }
        return true;
    };

    for (;;) {
        auto batch = batches.next_stored(interrupt);
        if (!batch) return make_err(std::move(batch.error()));
        if (!*batch) break;
        StoredRows& stored = **batch;
        uint64_t from = 0;
        for (auto& digest : stored.digests) {
            const uint64_t rows = digest->rows;
            if (!absorb(digest)) break;
            from += rows;
        }
        if (from == stored.rows) continue;
        catch_up();
        CellBatch cells;
        cells.rows = stored.rows;
        for (size_t c = 0; c < plan->names.size(); ++c) {
            auto column = resolve_cells(plan->names[c], StoredColumn{stored.store.columns[c], stored.rows, spec.on_multi});
            if (!column) return make_err(std::move(column.error()));  // checked by the stream already
            cells.columns.push_back(std::move(*column));
        }
        const auto cell_of = [&](size_t c, uint64_t r) { return std::move(cells.columns[c][r]); };
        (void)fold_rows(*plan, groups, states, from, cells.rows, cell_of,
                        [&](JorvaneError&& e) { batches.defer(std::move(e)); });
    }

    catch_up();
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
