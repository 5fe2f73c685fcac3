// Accumulators: what a query keeps of its matches, and the finished answer of
// one query on one source (QueryOutput).
//
// A query asks for accumulator kinds (AccumulatorKind); initialize_accumulators
// turns the request list into running accumulators, dropping repeats and
// requests another accumulator of the query already answers. The driver folds
// every match into the accumulators of the queries it matched (fold_match);
// at the end of a source (or for a progress snapshot) each accumulator yields
// an AccumulatorResult, and fold_output gathers those into the query's
// QueryOutput. A source scanned in ranges has an engine per range; each
// accumulator takes in the next range's (combine), so the merged one answers
// as one engine over the whole would.
//
// Count, Exists, Types and the numeric kinds read the match's raw bytes and
// never build a Value. The kinds that keep values hash and compare atoms and
// strings straight from their raw bytes and build a Value only when one is
// stored or streamed.
//
// Every kind but Count and Exists reads what its matches hold (their values,
// numbers or types), so it takes only what a strict JSON reader takes: an
// atom that is exactly true, false, null or a JSON number, a string whose
// escapes are all valid, a container (captured whole) holding nothing else.
// Any other match is refused whole, and the scan fails as malformed input.
// (KeyedValues reads object members only, so an array element is never
// refused for it; it also decodes the member's key, whose escapes are read
// the same way.) The error names the byte that breaks the scalar: the first
// byte that breaks an atom, or its last byte when it ends where more is owed
// ("tru", "-", "1.", "1e+"), as InvalidAtomChar; the byte after a backslash
// that begins no escape, or the first of a \u escape's four that is not a
// hexadecimal digit, as InvalidEscape. The offset is that byte's absolute
// source offset: the scalar's own start offset (kept beside a token carried
// across buffers) plus the byte's index, so neither depends on how the input
// was cut. A container holding such a scalar reports it the same way, when it
// closes.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/drivers/capture.h"
#include "engine/query_output.h"
#include "engine/sink.h"
#include "engine/values/value.h"
#include "util/contribution_log.h"
#include "util/ordered_map.h"

namespace jorvane::engine {

// The accumulator kinds a query can ask for. Every property of a kind lives
// in kAccumulatorKinds below; nothing else lists kinds.
enum class AccumulatorKind : uint8_t {
    Count = 0,
    CountUnique = 1,
    ValueCounts = 2,
    Exists = 3,
    Values = 4,
    ValuesUnique = 5,
    KeyedValues = 6,
    Min = 7,
    Max = 8,
    Sum = 9,
    Mean = 10,
    Product = 11,
    Mode = 12,
    Types = 13,
};
inline constexpr int kAccumulatorKindCount = 14;

// What a kind is, as every layer reads it.
struct AccumulatorKindInfo {
    AccumulatorKind kind;
    const char* name;              // "count_unique": keyword and bare-name form
    const char* constructor_name;  // "CountUnique"
    // Hashes, stores or streams the values of its matches: a matched
    // container is captured whole for it, and a number it is handed must be
    // a well-formed one.
    bool keeps_values;
    // The stream its values go to when the caller binds a destination.
    std::optional<StreamKind> stream;
    // Streams (member key, value) pairs: the walk keeps the key path for it.
    bool keyed;
    // Folds the numbers its matches read as, counting the others as skipped.
    bool numeric;
    // Reads what its matches hold (values, numbers, types), not only that
    // they occur: a match it is handed must be strict JSON.
    bool reads;
};

inline constexpr std::array<AccumulatorKindInfo, kAccumulatorKindCount> kAccumulatorKinds = {{
    // kind                          name            constructor     keeps  stream                    keyed  numeric reads
    {AccumulatorKind::Count,         "count",         "Count",        false, std::nullopt,             false, false, false},
    {AccumulatorKind::CountUnique,   "count_unique",  "CountUnique",  true,  std::nullopt,             false, false, true},
    {AccumulatorKind::ValueCounts,   "value_counts",  "ValueCounts",  true,  std::nullopt,             false, false, true},
    {AccumulatorKind::Exists,        "exists",        "Exists",       false, std::nullopt,             false, false, false},
    {AccumulatorKind::Values,        "values",        "Values",       true,  StreamKind::Values,       false, false, true},
    {AccumulatorKind::ValuesUnique,  "values_unique", "ValuesUnique", true,  StreamKind::ValuesUnique, false, false, true},
    {AccumulatorKind::KeyedValues,   "keyed_values",  "KeyedValues",  true,  std::nullopt,             true,  false, true},
    {AccumulatorKind::Min,           "min",           "Min",          false, std::nullopt,             false, true,  true},
    {AccumulatorKind::Max,           "max",           "Max",          false, std::nullopt,             false, true,  true},
    {AccumulatorKind::Sum,           "sum",           "Sum",          false, std::nullopt,             false, true,  true},
    {AccumulatorKind::Mean,          "mean",          "Mean",         false, std::nullopt,             false, true,  true},
    {AccumulatorKind::Product,       "product",       "Product",      false, std::nullopt,             false, true,  true},
    {AccumulatorKind::Mode,          "mode",          "Mode",         true,  std::nullopt,             false, false, true},
    {AccumulatorKind::Types,         "types",         "Types",        false, std::nullopt,             false, false, true},
}};

static_assert(
    [] {
        for (int i = 0; i < kAccumulatorKindCount; ++i)
            if (static_cast<int>(kAccumulatorKinds[i].kind) != i) return false;
        return true;
    }(),
    "kAccumulatorKinds must list the kinds in enum order");
// The fold groups the numeric kinds under one set of case labels.
static_assert(
    [] {
        for (int i = 0; i < kAccumulatorKindCount; ++i) {
            const bool in_range = i >= static_cast<int>(AccumulatorKind::Min) &&
                                  i <= static_cast<int>(AccumulatorKind::Product);
            if (kAccumulatorKinds[i].numeric != in_range) return false;
        }
        return true;
    }(),
    "the numeric kinds are exactly Min through Product");

constexpr const AccumulatorKindInfo& kind_info(AccumulatorKind k) { return kAccumulatorKinds[static_cast<size_t>(k)]; }
// "count", "count_unique", ... (keyword and bare-name form).
constexpr const char* accumulator_kind_name(AccumulatorKind k) { return kind_info(k).name; }
// "Count", "CountUnique", ... (constructor form).
constexpr const char* accumulator_constructor_name(AccumulatorKind k) { return kind_info(k).constructor_name; }

// One streamed item waiting in a driver queue: a plain value (Values,
// ValuesUnique) or a value with its decoded member key (KeyedValues).
struct AccumulatorItem {
    Value value;
    std::optional<std::string> key;
};

// What one accumulator yields when a source is finished or snapshotted.
struct AccumulatorResult {
    AccumulatorKind kind = AccumulatorKind::Count;
    // Count, Values, KeyedValues: the matches; Exists: 0 or 1; ValuesUnique:
    // the distinct values; CountUnique: the set's size; numeric kinds: the
    // skipped matches.
    uint64_t number = 0;
    std::optional<double> numeric;    // numeric kinds
    std::vector<ValueCount> entries;  // Mode: the modal values; ValueCounts: every distinct value
    JsonTypeSet types;                // Types
};

// Folds one accumulator's result into its query's output.
void fold_output(QueryOutput& out, AccumulatorResult result);

namespace accumulator {

// One match as the accumulators read it.
struct Match {
    enum Kind : uint8_t { Atom = 0, String = 1, Container = 2 };
    Kind kind = Atom;
    uint8_t is_object = 0;         // Container
    std::string_view bytes;        // Atom: the trimmed literal; String: raw bytes between the quotes
    uint64_t offset = 0;           // Atom: source offset of its first byte; String: of its opening quote
    const Value* value = nullptr;  // Container: the captured value (null = not recorded)
    // Container: the first scalar it holds that a strict reader refuses, if
    // any (it cannot be read).
    const MalformedValue* malformed = nullptr;
    // An object member's: source offset of its key's opening quote.
    uint64_t key_offset = 0;

    static Match atom(std::string_view b, uint64_t offset = 0) { return {Atom, 0, b, offset, nullptr, nullptr}; }
    static Match string(std::string_view b, uint64_t offset = 0) { return {String, 0, b, offset, nullptr, nullptr}; }
    static Match container(const Value* v, uint8_t is_object, const MalformedValue* malformed = nullptr) {
        return {Container, is_object, {}, 0, v, malformed};
    }
};

using ValueTable = OrderedMap<Value, uint64_t>;
using ItemQueue = std::vector<AccumulatorItem>;

class MatchCache;

// The running state of one accumulator.
class Accumulator {
public:
    // The accumulator of one kind, in its initial state.
    static Accumulator of_kind(AccumulatorKind kind) { return Accumulator(kind); }

    AccumulatorKind kind() const { return kind_; }
    const AccumulatorKindInfo& info() const { return kind_info(kind_); }
    // Whether a match (with a member key or not) has its value kept: stored,
    // streamed or counted as one.
    bool keeps(bool has_key) const { return info().keeps_values && (has_key || !info().keyed); }
    // Whether a match (with a member key or not) has what it holds read, so
    // that it must be strict JSON.
    bool reads(bool has_key) const { return info().reads && (has_key || !info().keyed); }
    // Exists: whether a match was seen.
    bool found() const { return flag_; }
    // Count, Values, KeyedValues: matches; ValuesUnique: distinct values;
    // numeric kinds: skipped matches.
    uint64_t counter() const { return count_; }
    // CountUnique, ValuesUnique, ValueCounts, Mode: the distinct values.
    const ValueTable& table() const { return table_; }
    // Sum, Mean, Product: keeps every number folded from now on, in order,
    // until reset (its contributions): the accumulator this one is combined
    // into replays them (util/contribution_log.h). Off by default: an engine
    // over a whole source logs nothing.
    void keep_contributions() { logs_ = true; }

    // Folds one match. `key` is the raw member key (escapes not decoded) when
    // the match is an object member; `queue` receives streamed items when
    // `stream_items` is set. A kind that reads values refuses a scalar that a
    // strict reader refuses (or a container holding one): nothing changes
    // and its fault is returned.
    std::optional<MalformedValue> fold(const Match& m, std::optional<std::string_view> key, bool stream_items,
                                        ItemQueue& queue);

    // Folds one match into a kind that keeps no values (Count, Exists, Types,
    // the numeric kinds), as `fold` would, without its per-match cache and
    // without reading whether it is strict JSON.
    void fold_plain(const Match& m);

    // Count: `n` more matches at once (the fast walk counts the matches of
    // labels that only Count accumulators serve, and adds them per buffer).
    void add_count(uint64_t n) { count_ += n; }

    // Takes in `later`, an accumulator of the same kind that folded the part
    // of the source right after the part this one folded, so that this one
    // holds what one accumulator folding both parts would hold. Counts add;
    // Exists ors; every first-seen order (the value tables, Types) goes on
    // with the values `later` saw first, in its order. Min and Max fold
    // `later`'s figure as one more number, by the same step a match takes.
    // Sum, Mean and Product replay `later`'s contributions onto the running
    // figure, so every rounding step is one a single fold would take and the
    // figure is that fold's bit for bit: `later` must have kept them
    // (keep_contributions); this one's own log is not extended. `later`'s
    // values are moved out of it: only a reset or its end may follow. The
    // values new to a ValuesUnique are appended to `fresh`, when given, in
    // their order.
    void combine(Accumulator& later, std::vector<Value>* fresh);

    // End of a source: moves the ValueCounts map and the Types set out.
    AccumulatorResult take_result();
    // Progress snapshot: copies, leaves the accumulator as it is.
    AccumulatorResult snapshot_result() const;
    // Back to the initial state.
    void reset();

private:
    friend std::optional<MalformedValue> fold_match(std::span<Accumulator>, std::span<const uint64_t>,
                                                     std::span<ItemQueue>, uint64_t, uint64_t, const Match&,
                                                     std::optional<std::string_view>, bool);
    friend std::optional<MalformedValue> fold_match_into(std::span<Accumulator>, std::span<ItemQueue>,
                                                          std::span<const uint32_t>, bool, const Match&, bool);
    void fold(MatchCache& m, std::optional<std::string_view> key, bool stream_items, ItemQueue& queue);
    explicit Accumulator(AccumulatorKind k) : kind_(k) { reset(); }
    // The result; with `take`, the value-count map and the type set are moved
    // into it instead of copied.
    AccumulatorResult result(bool take) const;
    bool fold_without_value(const Match& m);
    void fold_number(double x);

    AccumulatorKind kind_;
    bool flag_ = false;  // Exists: found; Min/Max: has a value
    uint64_t count_ = 0;
    uint64_t folded_ = 0;  // Mean: values folded
    double running_ = 0.0;
    bool logs_ = false;  // Sum, Mean, Product: see keep_contributions()
    ContributionLog log_;
    ValueTable table_;
    JsonTypeSet types_;
};

// Dispatch steps before folding: drops the labels of `done_mask`, then every
// label of `limited_mask` whose counter has reached its limit; counts the
// match against each remaining limited label. Returns the labels to deliver;
// `reached` (when given) gets the labels this match brought to their limit.
uint64_t apply_limits(uint64_t mask, uint64_t done_mask, uint64_t limited_mask,
                      std::span<const std::optional<uint64_t>> limits, std::span<uint64_t> counters,
                      uint64_t* reached = nullptr);

// Folds a match into every accumulator whose label mask meets `mask`, in list
// order. The match is hashed and its Value built at most once; a container
// value is copied only for the accumulators that keep it. When `mask` meets
// `read_mask` (the labels of the accumulators that read this match, see
// Accumulator::reads) and the match is a scalar a strict reader refuses or a
// container holding one, nothing is folded and its fault is returned.
std::optional<MalformedValue> fold_match(std::span<Accumulator> accumulators, std::span<const uint64_t> label_masks,
                                          std::span<ItemQueue> queues, uint64_t mask, uint64_t read_mask,
                                          const Match& m, std::optional<std::string_view> key, bool stream_items);

// The same for a match without a member key, into the accumulators listed in
// `which` (indices, in list order) only; `reads` says whether one of them
// reads the match (then a refused one is refused before any fold).
std::optional<MalformedValue> fold_match_into(std::span<Accumulator> accumulators, std::span<ItemQueue> queues,
                                               std::span<const uint32_t> which, bool reads, const Match& m,
                                               bool stream_items);

// The fault of a match that a strict reader refuses: an atom's or a
// string's, or that of the scalar a captured container holds.
std::optional<MalformedValue> match_fault_slow(const Match& m);
inline std::optional<MalformedValue> match_fault(const Match& m) {
    if (m.kind == Match::Atom && number::is_json_number(m.bytes)) [[likely]]
        return std::nullopt;
    return match_fault_slow(m);
}

// The kind of a match: containers by is_object, strings string, atoms by
// their first byte.
JsonType match_type(const Match& m);
// The number a match reads as for the numeric kinds: an atom that begins with
// '-' or a digit and parses whole; a string whose raw bytes are valid UTF-8
// and spell a number (value::coerce_numeric_str). Containers never.
std::optional<double> match_number(const Match& m);

}  // namespace accumulator

// Builds one query's accumulators from its requests: repeats collapse, then
// ValueCounts removes Mode, ValuesUnique and CountUnique; ValuesUnique removes
// CountUnique; Values removes Count and Exists; Count removes Exists. The
// survivors are built in request order (first occurrence). A single request
// is never reduced.
std::vector<accumulator::Accumulator> initialize_accumulators(std::span<const AccumulatorKind> kinds);

}  // namespace jorvane::engine
