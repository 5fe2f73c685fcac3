// Accumulators: what a query keeps of its matches, and the finished answer of
// one query on one source (QueryOutput).
//
// A query asks for accumulator kinds (AccumulatorKind); initialize_accumulators
// turns the request list into running accumulators, dropping repeats and
// requests another accumulator of the query already answers. The driver folds
// every match into the accumulators of the queries it matched (fold_match);
// at the end of a source (or for a progress snapshot) each accumulator yields
// an AccumulatorResult, and fold_output gathers those into the query's
// QueryOutput.
//
// Count, Exists, Types and the numeric kinds read the match's raw bytes and
// never build a Value. The kinds that keep values hash and compare atoms and
// strings straight from their raw bytes and build a Value only when one is
// stored or streamed.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/query_output.h"
#include "engine/values/value.h"
#include "util/ordered_map.h"

namespace jorvane::engine {

// The accumulator kinds a query can ask for, in this order.
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

// "count", "count_unique", ... (keyword and bare-name form).
const char* accumulator_kind_name(AccumulatorKind m);
// "Count", "CountUnique", ... (constructor form).
const char* accumulator_kind_camel_name(AccumulatorKind m);

enum class NumericOp : uint8_t { Min = 0, Max = 1, Sum = 2, Mean = 3, Product = 4 };

// One streamed item waiting in a driver queue: a plain value (Values,
// ValuesUnique) or a value with its decoded member key (KeyedValues).
struct AccumulatorItem {
    Value value;
    std::optional<std::string> key;
};

// What one accumulator yields when a source is finished or snapshotted.
struct AccumulatorResult {
    enum class Tag : uint8_t {
        Count = 0,         // number: the count
        Exists = 1,        // number: 0 or 1
        Numeric = 2,       // number: skipped count; op, numeric
        Mode = 3,          // entries: the modal values
        Values = 4,        // number: the count
        KeyedValues = 5,   // number: the count
        ValuesUnique = 6,  // number: the distinct count
        CountUnique = 7,   // number: the set's size
        ValueCounts = 8,   // entries: every distinct value
        Types = 9,         // types
    };
    Tag tag = Tag::Count;
    uint64_t number = 0;
    NumericOp op = NumericOp::Sum;
    std::optional<double> numeric;
    std::vector<ValueCount> entries;
    JsonTypeSet types;
};

// Folds one accumulator's result into its query's output.
void fold_output(QueryOutput& out, AccumulatorResult result);

namespace accumulator {

enum class Kind : uint8_t {
    Count = 0,
    CountUnique = 1,
    ValueCounts = 2,
    Exists = 3,
    Values = 4,
    ValuesUnique = 5,
    Numeric = 6,
    KeyedValues = 7,
    Mode = 8,
    Types = 9,
};

// Kinds that need a matched container's whole value (tags 1, 2, 4, 5, 7, 8).
inline constexpr uint32_t kWholeValueKinds = 0x1b6;

// One match as the accumulators read it.
struct Match {
    enum Kind : uint8_t { Atom = 0, String = 1, Container = 2 };
    Kind kind = Atom;
    uint8_t is_object = 0;         // Container
    std::string_view bytes;        // Atom: the trimmed literal; String: raw bytes between the quotes
    const Value* value = nullptr;  // Container: the captured value (null = not recorded)

    static Match atom(std::string_view b) { return {Atom, 0, b, nullptr}; }
    static Match string(std::string_view b) { return {String, 0, b, nullptr}; }
    static Match container(const Value* v, uint8_t is_object) { return {Container, is_object, {}, v}; }
};

using ValueTable = OrderedMap<Value, uint64_t>;
using ItemQueue = std::vector<AccumulatorItem>;

class MatchCache;

// The running state of one accumulator.
class Accumulator {
public:
    // The accumulator of one request kind, in its initial state.
    static Accumulator for_mode(AccumulatorKind mode);

    Kind kind() const { return kind_; }
    NumericOp op() const { return op_; }
    bool needs_whole_value() const { return (kWholeValueKinds >> static_cast<unsigned>(kind_)) & 1; }
    // Exists: whether a match was seen.
    bool found() const { return flag_; }
    // Count, Values, KeyedValues: matches; ValuesUnique: distinct values;
    // Numeric: skipped matches.
    uint64_t counter() const { return count_; }
    // CountUnique, ValuesUnique, ValueCounts, Mode: the distinct values.
    const ValueTable& table() const { return table_; }

    // Folds one match. `key` is the raw member key (escapes not decoded) when
    // the match is an object member; `queue` receives streamed items when
    // `stream_items` is set.
    void fold(const Match& m, std::optional<std::string_view> key, bool stream_items, ItemQueue& queue);

    // End of a source: moves the ValueCounts map and the Types set out.
    AccumulatorResult take_result();
    // Progress snapshot: copies, leaves the accumulator as it is.
    AccumulatorResult snapshot_result() const;
    // Back to the initial state.
    void reset();

private:
    friend void fold_match(std::span<Accumulator>, std::span<const uint64_t>, std::span<ItemQueue>, uint64_t,
                           const Match&, std::optional<std::string_view>, bool);
    void fold(MatchCache& m, std::optional<std::string_view> key, bool stream_items, ItemQueue& queue);
    explicit Accumulator(Kind k, NumericOp op = NumericOp::Sum) : kind_(k), op_(op) { reset(); }
    // The result; with `take`, the value-count map and the type set are moved
    // into it instead of copied.
    AccumulatorResult result(bool take) const;
    void fold_number(double x);

    Kind kind_;
    NumericOp op_;
    bool flag_ = false;  // Exists: found; Min/Max: has a value
    uint64_t count_ = 0;
    uint64_t folded_ = 0;  // Mean: values folded
    double running_ = 0.0;
    ValueTable table_;
    JsonTypeSet types_;
};

// Dispatch steps before folding: drops the labels of `done_mask`, then every
// label of `limited_mask` whose counter has reached its limit; counts the
// match against each remaining limited label. Returns the labels to deliver.
uint64_t apply_limits(uint64_t mask, uint64_t done_mask, uint64_t limited_mask,
                      std::span<const std::optional<uint64_t>> limits, std::span<uint64_t> counters);

// Folds a match into every accumulator whose label mask meets `mask`, in list
// order. The match is hashed and its Value built at most once; a container
// value is copied only for the accumulators that keep it.
void fold_match(std::span<Accumulator> accumulators, std::span<const uint64_t> label_masks,
                std::span<ItemQueue> queues, uint64_t mask, const Match& m, std::optional<std::string_view> key,
                bool stream_items);

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
std::vector<accumulator::Accumulator> initialize_accumulators(std::span<const AccumulatorKind> modes);

}  // namespace jorvane::engine
