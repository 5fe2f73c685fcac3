// Type inference in two passes. The first classifies every present cell in
// row order and folds the classes into one state (the narrowest column type
// that holds every value seen so far, or "mixed" once none does); the second
// builds the column the final state calls for, its payload allocated once
// at the row count and strings and values moved out of the cells.
//
// Integers and floats share a Float column only while every integer is
// exact as a double: an integer beyond 2^53 sets the "wide" flag, and wide
// numbers that would have to become floats stay as values instead.
//
// A column of arrays becomes a List column when the elements of all its
// arrays, classified the same way, narrow to one scalar type; its child is
// inferred from the elements with this same rule.
#include "table/inference.h"

#include <limits>
#include <utility>

#include "table/declared.h"

namespace jorvane::table {

namespace {

using engine::JsonNumber;
using engine::JsonType;
using engine::Value;


enum class State : uint8_t { Nothing, Integers, Numbers, Bools, Strings, Arrays, Mixed };

constexpr uint64_t kExactDoubleLimit = uint64_t{1} << 53;

class Classifier {
public:
    // Folds one present (non-null) value into the state.
    void add(const Value& value) {
        if (state_ == State::Mixed) return;
        switch (value.type()) {
            case JsonType::Null: return;
            case JsonType::Boolean: return same_kind(State::Bools);
            case JsonType::String: return same_kind(State::Strings);
            case JsonType::Array: return same_kind(State::Arrays);
            case JsonType::Object: state_ = State::Mixed; return;
            case JsonType::Number: break;
        }
        const JsonNumber& number = value.as_number();
        switch (number.kind()) {
            case JsonNumber::Kind::Int: {
                const int64_t v = number.int_value();
                const uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
                if (magnitude > kExactDoubleLimit) wide_ = true;
                if (state_ == State::Nothing) {
                    state_ = State::Integers;
                } else if (state_ != State::Integers && state_ != State::Numbers) {
                    state_ = State::Mixed;
                }
                return;
            }
            case JsonNumber::Kind::BigInt: state_ = State::Mixed; return;
            case JsonNumber::Kind::Decimal:
                if (state_ == State::Nothing || state_ == State::Integers || state_ == State::Numbers) {
                    state_ = State::Numbers;
                } else {
                    state_ = State::Mixed;
                }
                return;
        }
    }

    State state() const { return state_; }
    bool wide() const { return wide_; }

private:
    void same_kind(State kind) {
        if (state_ == State::Nothing) {
            state_ = kind;
        } else if (state_ != kind) {
            state_ = State::Mixed;
        }
    }
    State state_ = State::Nothing;
    bool wide_ = false;
};

Column mixed_of(ColumnCells cells) { return Column::of<Column::Kind::Mixed>(std::move(cells)); }

// A Nullable column with one payload per present cell, `filler` elsewhere.
template <class T, class F>
Nullable<T> scalars(ColumnCells& cells, bool any_absent, T filler, F&& payload) {
    NullableBuilder<T> out(cells.size(), any_absent);
    for (auto& cell : cells) {
        if (cell) {
            out.push(payload(*cell));
        } else {
            out.push_missing(filler);
        }
    }
    return std::move(out).finish();
}

Column list_of(ColumnCells cells, bool any_absent) {
    Classifier elements;
    size_t element_count = 0;
    for (const auto& cell : cells) {
        if (!cell) continue;
        for (const Value& element : cell->as_array()) elements.add(element);
        element_count += cell->as_array().size();
    }
    switch (elements.state()) {
        case State::Nothing:
        case State::Integers:
        case State::Bools:
        case State::Strings: break;
        case State::Numbers:
            if (elements.wide()) return mixed_of(std::move(cells));
            break;
        case State::Arrays:
        case State::Mixed: return mixed_of(std::move(cells));
    }

    ListColumn list;
    list.offsets.reserve(cells.size() + 1);
    list.offsets.push_back(0);
    if (any_absent) {
        list.validity.emplace();
        list.validity->bytes.reserve((cells.size() + 7) / 8);
    }
    ColumnCells children;
    children.reserve(element_count);
    for (auto& cell : cells) {
        if (list.validity) list.validity->push(cell.has_value());
        if (cell) {
            for (Value& element : cell->as_array()) children.emplace_back(std::move(element));
        }
        list.offsets.push_back(static_cast<int64_t>(children.size()));
    }
    list.child = std::make_unique<Column>(narrow_cells(std::move(children)));
    return Column::of<Column::Kind::List>(std::move(list));
}

}  // namespace

Column narrow_cells(std::vector<std::optional<engine::Value>> cells) {
    Classifier classes;
    bool any_absent = false;
    for (auto& cell : cells) {
        if (cell && cell->is_null()) cell.reset();
        if (cell) {
            classes.add(*cell);
        } else {
            any_absent = true;
        }
    }

    using K = Column::Kind;
    switch (classes.state()) {
        case State::Nothing: return mixed_of(std::move(cells));  // every cell is absent by now
        case State::Integers:
            return Column::of<K::Int64>(scalars<int64_t>(
                cells, any_absent, 0, [](const Value& v) { return v.as_number().int_value(); }));
        case State::Numbers: {
            if (classes.wide()) return mixed_of(std::move(cells));
            // A literal no float can read stays as its text in a Mixed column:
            // a NaN would pass for a value.
            bool unreadable = false;
            auto floats = scalars<double>(cells, any_absent, std::numeric_limits<double>::quiet_NaN(),
                                          [&](const Value& v) {
                                              const std::optional<double> d = as_f64(v);
                                              if (!d) unreadable = true;
                                              return d.value_or(std::numeric_limits<double>::quiet_NaN());
                                          });
            if (unreadable) return mixed_of(std::move(cells));
            return Column::of<K::Float>(std::move(floats));
        }
        case State::Bools:
            return Column::of<K::Bool>(scalars<uint8_t>(
                cells, any_absent, 0, [](const Value& v) { return static_cast<uint8_t>(v.as_bool() ? 1 : 0); }));
        case State::Strings:
            return Column::of<K::Str>(scalars<std::string>(
                cells, any_absent, std::string(), [](Value& v) { return std::move(v.as_string()); }));
        case State::Arrays: return list_of(std::move(cells), any_absent);
        case State::Mixed: return mixed_of(std::move(cells));
    }
    return mixed_of(std::move(cells));
}

}  // namespace jorvane::table
