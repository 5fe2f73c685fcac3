// Rows are folded one buffer's worth at a time, while their cells are still
// in cache, but a refusal is reported as a scan read in batches of 65,536
// rows (kDefaultBatchRows) would report it (BatchedCells): a structural
// error later in the same batch wins over it.
//
// Groups are numbered in first-seen order (GroupKeys): their key tuples lie
// one after another in one vector, found through an insertion-ordered hash
// index whose entry numbers are the group numbers, so the result's row order
// is the order of first appearance and does not depend on hashing at all,
// and a group costs no heap block of its own. A row's tuple is hashed and
// compared straight from the batch's key cells (a missing key counts as JSON
// null); only a row that starts a new group moves its key cells in.
// Aggregates keep their states column by column, one vector per aggregate
// indexed by group number.
//
// A source read in ranges folds on the walkers' cores: each piece of rows a
// walker scans is folded there into groups of its own (a GroupPiece), its
// rows then dropped, and the merge, taking pieces in document order, absorbs
// each piece's groups into the running ones: new groups join in the order
// the piece first saw them, which is their order of first appearance
// overall. A piece with anything that could end the scan (a value an
// aggregate refuses, more groups than max_groups, several matches under
// on_multi "error") is not folded there and keeps its rows: the merge folds
// them itself, one by one, and meets the refusal where a single engine
// would. A folded piece whose new groups would pass max_groups holds the
// refusal too, and nothing in it comes first.
//
// What the walkers hold ahead of the merge is bounded in bytes, and in the
// groups their pieces may add: the merge publishes a bit per key hash of the
// groups it holds, so a walker can tell which groups of its piece may be
// new, and walkers wait while those would take the running groups past
// max_groups. A refusal then comes after about as many rows, and in about
// as much memory, as one engine's.
//
// count_unique keeps its (group, value) pairs in parts by the value's hash,
// as many as walkers: a walker's piece is deduplicated on its own core part
// by part, and each running part absorbs the pieces' pairs on a thread of
// its own, so the parts, disjoint, fill at once while the merge goes on.
#include "table/group_by.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <utility>

#include "engine/values/value_hasher.h"
#include "run/serial_worker.h"
#include "table/agg_state.h"
#include "table/inference.h"
#include "table/table_stream.h"
#include "table/batched_cells.h"
#include "table/stored_column.h"
#include "util/heap_return.h"
#include "util/ordered_map.h"

namespace jorvane::table {
namespace {

using engine::Value;

struct Empty {};

// What the folded pieces not yet absorbed may hold, per walker (at least
// eight walkers' worth): most pieces of a buffer fold into far less, and
// the walkers' heaps keep what they once held, so this adds to the peak.
constexpr uint64_t kHeldPerWalker = uint64_t{1} << 20;
// How much freed piece memory is let pile up before it is handed back.
constexpr size_t kHeapReturnStep = size_t{16} << 20;
// The batches of pieces a count_unique part may have waiting, and about
// the bytes of pieces in a batch.
constexpr size_t kPartQueue = 8;
constexpr uint64_t kPartBatch = uint64_t{1} << 20;
// The most counts per group and part made on the parts' threads.
constexpr size_t kCountedInParts = size_t{1} << 20;

const Value& key_or_null(const std::optional<Value>& cell) {
    static const Value null;
    return cell ? *cell : null;
}

// The groups' key tuples in group order, `n_keys` values each, and the hash
// index that finds a tuple's group (entry g of the index is group g).
class GroupKeys {
public:
    explicit GroupKeys(size_t n_keys) : n_keys_(n_keys) {}

    size_t size() const { return index_.size(); }
    uint64_t hash(size_t group) const { return index_.entries()[group].hash; }
    Value& key(size_t group, size_t k) { return keys_[group * n_keys_ + k]; }

    // The group whose tuple equals `keys` (a missing key is null), if any.
    std::optional<size_t> find(uint64_t hash, const std::vector<std::optional<Value>>& keys) const {
        return find_where(hash, [&](size_t k) -> const Value& { return key_or_null(keys[k]); });
    }
    // The group whose tuple equals that of group `group` of `other`, if any.
    std::optional<size_t> find(uint64_t hash, GroupKeys& other, size_t group) const {
        return find_where(hash, [&](size_t k) -> const Value& { return other.key(group, k); });
    }
    // A new group for `keys` (moved from); its number.
    size_t add(uint64_t hash, std::vector<std::optional<Value>>& keys) {
        for (auto& k : keys) keys_.push_back(k ? std::move(*k) : Value());
        return insert(hash);
    }
    // A new group for the tuple of group `group` of `other` (moved from).
    size_t add(uint64_t hash, GroupKeys& other, size_t group) {
        for (size_t k = 0; k < n_keys_; ++k) keys_.push_back(std::move(other.key(group, k)));
        return insert(hash);
    }
    // Key `k` of every group, in group order (moved out).
    std::vector<std::optional<Value>> take_column(size_t k) {
        std::vector<std::optional<Value>> out;
        out.reserve(size());
        for (size_t g = 0; g < size(); ++g) out.emplace_back(std::move(key(g, k)));
        return out;
    }
    size_t bytes() const {
        size_t n = keys_.capacity() * sizeof(Value) + index_.entries().capacity() * sizeof(Index::Entry) +
                   index_.size() * 16;  // the index's slots, about
        for (const Value& k : keys_) n += value_heap_bytes(k);
        return n;
    }

private:
    using Index = OrderedMap<uint32_t, Empty>;
    template <class KeyOf>
    std::optional<size_t> find_where(uint64_t hash, KeyOf&& key_of) const {
        const Index::Entry* found = index_.find_if(hash, [&](uint32_t g) {
            for (size_t k = 0; k < n_keys_; ++k)
                if (!(keys_[g * n_keys_ + k] == key_of(k))) return false;
            return true;
        });
        if (!found) return std::nullopt;
        return static_cast<size_t>(found->key);
    }
    size_t insert(uint64_t hash) {
        const size_t group = index_.size();
        index_.insert_new(static_cast<uint32_t>(group), Empty{}, hash);
        return group;
    }

    size_t n_keys_;
    std::vector<Value> keys_;
    Index index_;
};

// The groups the merge holds, published for the walkers: a bit per key hash
// (so a walker can tell which groups of its piece the merge surely holds)
// and the room max_groups leaves.
class GroupRoom {
public:
    explicit GroupRoom(uint64_t max_groups) : max_(max_groups), room_(max_groups), bits_(words_for(max_groups)) {}
    // A group of key hash `hash` joined; `groups` are held in all.
    void joined(uint64_t hash) {
        bits_[word(hash)].fetch_or(bit(hash), std::memory_order_relaxed);
    }
    void held(size_t groups) { room_.store(groups >= max_ ? 0 : max_ - groups, std::memory_order_relaxed); }
    // False when a group of key hash `hash` is surely held.
    bool may_be_new(uint64_t hash) const {
        return (bits_[word(hash)].load(std::memory_order_relaxed) & bit(hash)) == 0;
    }
    const std::atomic<uint64_t>& room() const { return room_; }

private:
    // A power of two from 2^12 to 2^26 bits, about eight for each group
    // allowed, so few keys share a bit.
    static size_t words_for(uint64_t max_groups) {
        uint64_t bits = uint64_t{1} << 12;
        while (bits < (uint64_t{1} << 26) && bits / 8 < max_groups) bits <<= 1;
        return static_cast<size_t>(bits / 64);
    }
    size_t word(uint64_t hash) const { return static_cast<size_t>(hash / 64) & (bits_.size() - 1); }
    static uint64_t bit(uint64_t hash) { return uint64_t{1} << (hash % 64); }

    const uint64_t max_;
    std::atomic<uint64_t> room_;
    std::vector<std::atomic<uint64_t>> bits_;
};

// What every fold of the scan needs to know, read by the walkers at once.
struct GroupPlan {
    size_t n_keys = 0;
    std::vector<std::string> names;                  // the stream's columns: keys, then aggregate inputs
    std::vector<std::optional<size_t>> agg_column;   // per aggregate, its input column
    std::vector<GroupAgg> aggs;
    OnMulti on_multi = OnMulti::Error;
    std::optional<uint64_t> max_groups;
    size_t parts = 1;                  // count_unique's parts
    std::unique_ptr<GroupRoom> room;   // with max_groups

    std::vector<AggStates> states(bool piece) const {
        std::vector<AggStates> out;
        out.reserve(aggs.size());
        for (const GroupAgg& a : aggs) out.emplace_back(a.name, a.op, piece, parts);
        return out;
    }
};

// A key equal to a 64-bit integer, the common case, is hashed as that
// integer rather than by its canonical digits: every number equal to it (1,
// 1.0, 10e-1) is, so equal tuples still hash alike.
uint64_t key_hash(const std::vector<std::optional<Value>>& keys) {
    engine::ValueHasher hasher;
    for (const auto& k : keys) {
        if (k && k->is_number()) {
            if (const std::optional<int64_t> i = exact_int64(*k)) {
                hasher.write_u8(0xF0);
                hasher.write_u64(static_cast<uint64_t>(*i));
                continue;
            }
        }
        key_or_null(k).hash_into(hasher);
    }
    return hasher.finish();
}

// One piece of rows folded on its walker's thread.
struct GroupPiece : PieceDigest {
    explicit GroupPiece(GroupKeys g) : groups(std::move(g)) {}
    GroupKeys groups;  // in the order the piece first saw them
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
bool fold_rows(const GroupPlan& plan, GroupKeys& groups, std::vector<AggStates>& states, uint64_t from, uint64_t to,
               CellOf&& cell_of, Refuse&& refuse) {
    std::vector<std::optional<Value>> keys(plan.n_keys);
    for (uint64_t r = from; r < to; ++r) {
        for (size_t k = 0; k < plan.n_keys; ++k) keys[k] = cell_of(k, r);
        const uint64_t hash = key_hash(keys);
        size_t group;
        if (const std::optional<size_t> found = groups.find(hash, keys)) {
            group = *found;
        } else {
            if (plan.max_groups && groups.size() >= *plan.max_groups) {
                refuse(max_groups_error(*plan.max_groups));
                return false;
            }
            group = groups.add(hash, keys);
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
    GroupKeys groups(plan.n_keys);
    std::vector<AggStates> states = plan.states(true);
    // A piece's distinct pairs are at most its rows: their tables never grow.
    for (AggStates& s : states) s.expect(rows.rows);
    if (!fold_rows(plan, groups, states, 0, rows.rows, cell_of, [](JorvaneError&&) {})) return nullptr;
    auto piece = std::make_unique<GroupPiece>(std::move(groups));
    piece->states = std::move(states);
    uint64_t bytes = piece->groups.bytes();
    for (const AggStates& s : piece->states) bytes += s.bytes();
    piece->bytes = bytes;
    if (plan.room)
        for (size_t g = 0; g < piece->groups.size(); ++g) piece->weight += plan.room->may_be_new(piece->groups.hash(g));
    return piece;
}

}  // namespace

run::SplitFacts group_split_facts(const GroupSpec& spec) {
    run::SplitFacts facts = table_split_facts();
    for (const GroupAgg& a : spec.aggs)
        if (a.op == GroupOp::Sum || a.op == GroupOp::Mean) {
            facts.kinds.push_back(engine::AccumulatorKind::Sum);
            break;
        }
    return facts;
}

Result<Table, JorvaneError> group_by_scan(GroupSpec spec, engine::ScanMode mode, std::unique_ptr<Source> source,
                                          run::Interrupt* interrupt, TableSplitOptions walkers) {
    if (spec.keys.empty()) return make_err(JorvaneError::invalid_input("group_by needs at least one key column (by=)"));
    const size_t n_keys = spec.keys.size();

    // Key i is column i; each aggregate with a path gets the next column.
    auto plan = std::make_shared<GroupPlan>();
    plan->n_keys = n_keys;
    plan->on_multi = spec.on_multi;
    plan->max_groups = spec.max_groups;
    plan->aggs = spec.aggs;
    plan->parts = std::max<size_t>(walkers.walkers, 1);
    if (spec.max_groups) plan->room = std::make_unique<GroupRoom>(*spec.max_groups);
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
    walkers.facts = group_split_facts(spec);
    if (walkers.held_bytes == 0) walkers.held_bytes = kHeldPerWalker * std::max<size_t>(walkers.walkers, 8);
    if (plan->room) walkers.weight_room = &plan->room->room();
    auto stream = TableStream::make(std::move(table_spec), mode, std::move(source), UINT64_MAX, std::move(walkers));
    if (!stream) return make_err(std::move(stream.error()));
    const bool splits = stream->splits();
    BatchedCells batches(std::move(stream.value()), kDefaultBatchRows);

    GroupKeys groups(n_keys);
    // New groups are published for the walkers (GroupRoom).
    const auto publish = [&](size_t from) {
        if (!plan->room) return;
        for (size_t g = from; g < groups.size(); ++g) plan->room->joined(groups.hash(g));
        plan->room->held(groups.size());
    };
    // Absorbing a piece's count_unique pairs is the costliest part of
    // absorbing it (a probe into a large table per pair): each part is
    // filled on a thread of its own while the merge goes on, and touched
    // here only once they have all caught up.
    std::vector<size_t> distinct, others;
    for (size_t a = 0; a < states.size(); ++a) (states[a].op() == GroupOp::CountUnique ? distinct : others).push_back(a);
    std::deque<run::SerialWorker> part_workers;
    if (splits && !distinct.empty())
        for (size_t p = 0; p < plan->parts; ++p) part_workers.emplace_back(kPartQueue);
    // Pieces go to the parts' threads a batch at a time, each with the
    // group numbers its groups took, so that short pieces do not cost a
    // hand-over each.
    struct Absorbed {
        std::unique_ptr<PieceDigest> piece;
        std::vector<size_t> into;
    };
    auto batch_of_pieces = std::make_shared<std::vector<Absorbed>>();
    uint64_t batch_bytes = 0;
    const auto hand_over = [&] {
        if (batch_of_pieces->empty()) return;
        std::shared_ptr<const std::vector<Absorbed>> pieces = std::move(batch_of_pieces);
        batch_of_pieces = std::make_shared<std::vector<Absorbed>>();
        batch_bytes = 0;
        for (size_t p = 0; p < part_workers.size(); ++p)
            part_workers[p].submit([&states, &distinct, pieces, p] {
                for (const Absorbed& a : *pieces) {
                    GroupPiece& piece = static_cast<GroupPiece&>(*a.piece);
                    for (size_t d : distinct) states[d].absorb_part(p, piece.states[d], a.into);
                }
            });
    };
    const auto catch_up = [&] {
        hand_over();
        for (run::SerialWorker& w : part_workers) w.wait();
    };
    // The pieces are made and freed on walkers' heaps while the groups grow
    // on this one's: what they freed goes back to the system as it adds up,
    // so that each walker's heap does not stay at the most it ever held.
    HeapReturn heap(kHeapReturnStep);
    // Absorbs a piece folded by a walker (taking it); false, with nothing
    // changed, when its new groups would pass max_groups.
    std::vector<size_t> into;
    const auto absorb = [&](std::unique_ptr<PieceDigest>& digest) {
        heap.freed(digest->bytes);
        GroupPiece& piece = static_cast<GroupPiece&>(*digest);
        const size_t n = piece.groups.size();
        into.assign(n, SIZE_MAX);
        size_t fresh = 0;
        for (size_t i = 0; i < n; ++i) {
            if (const std::optional<size_t> found = groups.find(piece.groups.hash(i), piece.groups, i))
                into[i] = *found;
            else
                ++fresh;
        }
        if (plan->max_groups && groups.size() + fresh > *plan->max_groups) return false;
        const size_t before = groups.size();
        for (size_t i = 0; i < n; ++i) {
            if (into[i] != SIZE_MAX) continue;
            into[i] = groups.add(piece.groups.hash(i), piece.groups, i);
            for (AggStates& s : states) s.add_group();
        }
        publish(before);
        for (size_t a : others) states[a].absorb(piece.states[a], into);
        if (!distinct.empty()) {
            batch_bytes += digest->bytes;
            batch_of_pieces->push_back(Absorbed{std::move(digest), into});
            if (batch_bytes >= kPartBatch) hand_over();
        }
        return true;
    };

    for (;;) {
        auto batch = batches.next_stored(interrupt);
        if (!batch) return make_err(std::move(batch.error()));
        if (!*batch) break;
        StoredRows& stored = **batch;
        // Rows left in the store are folded here, their cells resolved once
        // for the whole store when first needed.
        std::optional<CellBatch> cells;
        uint64_t at = 0;
        const auto fold_stored = [&](uint64_t n) {
            if (!cells) {
                catch_up();
                cells.emplace();
                cells->rows = stored.store.rows;
                for (size_t c = 0; c < plan->names.size(); ++c) {
                    auto column = resolve_cells(
                        plan->names[c], StoredColumn{stored.store.columns[c], stored.store.rows, spec.on_multi});
                    if (!column) {  // the stream refused these rows already
                        batches.defer(std::move(column.error()));
                        return false;
                    }
                    cells->columns.push_back(std::move(*column));
                }
            }
            const auto cell_of = [&](size_t c, uint64_t r) { return std::move(cells->columns[c][r]); };
            const size_t before = groups.size();
            const bool folded = fold_rows(*plan, groups, states, at, at + n, cell_of,
                                          [&](JorvaneError&& e) { batches.defer(std::move(e)); });
            publish(before);
            at += n;
            return folded;
        };
        if (stored.parts.empty()) {
            (void)fold_stored(stored.store.rows);
            continue;
        }
        for (PiecePart& part : stored.parts) {
            if (!part.digest) {
                if (!fold_stored(part.rows)) break;
            } else if (!absorb(part.digest)) {
                // Its rows bring one group too many, and nothing else in
                // them would have been refused first.
                batches.defer(max_groups_error(*plan->max_groups));
                break;
            }
        }
    }

    // The parts' pairs are counted per group on the parts' threads, when a
    // count per group and part takes little room.
    hand_over();
    if (groups.size() * part_workers.size() <= kCountedInParts)
        for (size_t p = 0; p < part_workers.size(); ++p)
            part_workers[p].submit([&states, &distinct, p] {
                for (size_t d : distinct) states[d].count_part(p);
            });
    catch_up();
    Table table;
    table.n_rows = groups.size();
    for (size_t k = 0; k < n_keys; ++k) {
        table.names.push_back(spec.keys[k].first);
        table.columns.push_back(narrow_cells(groups.take_column(k)));
    }
    groups = GroupKeys(n_keys);
    for (size_t a = 0; a < states.size(); ++a) {
        auto column = std::move(states[a]).finish();
        if (!column) return make_err(std::move(column.error()));
        table.names.push_back(spec.aggs[a].name);
        table.columns.push_back(std::move(*column));
    }
    return table;
}

}  // namespace jorvane::table
