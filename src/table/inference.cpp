// Type inference in two passes over a column of the store. The first
// classifies every present cell in row order and folds the classes into one
// state (the narrowest column type that holds every value seen so far, or
// "mixed" once none does); the second builds the column the final state
// calls for, its payload allocated once at the row count, reading integers,
// booleans and texts straight from the cells. Only a Mixed column builds
// values.
//
// Integers and floats share a Float column only while every integer is
// exact as a double: an integer beyond 2^53 sets the "wide" flag, and wide
// numbers that would have to become floats stay as values instead.
//
// A column of arrays becomes a List column when the elements of all its
// arrays, classified the same way, narrow to one scalar type; its child is
// inferred from the elements with this same rule. (An array holding a
// container is a tree cell, never a list cell, and its column is Mixed.)
#include "table/inference.h"

#include <limits>
#include <utility>

#include "table/declared.h"
#include "table/stored_column.h"

namespace jorvane::table {

namespace {

using engine::Cell;
using engine::CellColumn;
using engine::JsonType;
using engine::Value;

enum class State : uint8_t { Nothing, Integers, Numbers, Bools, Strings, Arrays, Mixed };

constexpr uint64_t kExactDoubleLimit = uint64_t{1} << 53;

class Classifier {
public:
    // Folds one present (non-null) cell into the state.
    void add(const CellColumn& col, const Cell& c) {
        if (state_ == State::Mixed) return;
        switch (c.kind) {
            case Cell::Null: return;
            case Cell::False:
            case Cell::True: return same_kind(State::Bools);
            case Cell::String: return same_kind(State::Strings);
            case Cell::List: return same_kind(State::Arrays);
            case Cell::Tree:
                if (col.type_of(c) == JsonType::Array) return same_kind(State::Arrays);
                state_ = State::Mixed;
                return;
            case Cell::Int: {
                const int64_t v = static_cast<int64_t>(c.payload);
                const uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
                if (magnitude > kExactDoubleLimit) wide_ = true;
                if (state_ == State::Nothing) {
                    state_ = State::Integers;
                } else if (state_ != State::Integers && state_ != State::Numbers) {
                    state_ = State::Mixed;
                }
                return;
            }
            case Cell::BigInt: state_ = State::Mixed; return;
            case Cell::Decimal:
                if (state_ == State::Nothing || state_ == State::Integers || state_ == State::Numbers) {
                    state_ = State::Numbers;
                } else {
                    state_ = State::Mixed;
                }
                return;
        }
    }
    // Several cells read as one array.
    void add_array() {
        if (state_ != State::Mixed) same_kind(State::Arrays);
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

// The float of a number cell: integers converted, literals parsed.
std::optional<double> cell_f64(const CellColumn& col, const Cell& c) {
    if (c.kind == Cell::Int) return static_cast<double>(static_cast<int64_t>(c.payload));
    return engine::number::parse_f64(col.text(c));
}

// The column of a scalar state over `n` entries; `get(i)` gives entry i's
// cell, or null when it is missing (JSON nulls are missing too). `mixed`
// builds the Mixed column when the state calls for one.
template <class Get, class Mixed>
Column scalar_column(const CellColumn& col, State state, bool wide, bool any_absent, size_t n, Get&& get,
                     Mixed&& mixed) {
    using K = Column::Kind;
    auto build = [&](auto filler, auto&& payload) {
        using T = decltype(filler);
        NullableBuilder<T> out(n, any_absent);
        for (size_t i = 0; i < n; ++i) {
            const Cell* c = get(i);
            if (c != nullptr && c->kind != Cell::Null) {
                out.push(payload(*c));
            } else {
                out.push_missing(filler);
            }
        }
        return std::move(out).finish();
    };
    switch (state) {
        case State::Integers:
            return Column::of<K::Int64>(
                build(int64_t{0}, [](const Cell& c) { return static_cast<int64_t>(c.payload); }));
        case State::Numbers: {
            if (wide) return mixed();
            // A literal no float can read stays as its text in a Mixed column:
            // a NaN would pass for a value.
            bool unreadable = false;
            auto floats = build(std::numeric_limits<double>::quiet_NaN(), [&](const Cell& c) {
                const std::optional<double> d = cell_f64(col, c);
                if (!d) unreadable = true;
                return d.value_or(std::numeric_limits<double>::quiet_NaN());
            });
            if (unreadable) return mixed();
            return Column::of<K::Float>(std::move(floats));
        }
        case State::Bools:
            return Column::of<K::Bool>(
                build(uint8_t{0}, [](const Cell& c) { return static_cast<uint8_t>(c.kind == Cell::True ? 1 : 0); }));
        case State::Strings:
            return Column::of<K::Str>(
                build(std::string(), [&](const Cell& c) { return std::string(col.text(c)); }));
        case State::Nothing:
        case State::Arrays:
        case State::Mixed: break;
    }
    return mixed();
}

// The elements of every present array of a column, as cells; false when
// some element is a container (the column is then Mixed).
bool gather_elements(StoredColumn& s, std::vector<const Cell*>& out) {
    const CellColumn& col = s.cells;
    for (uint64_t r = 0; r < s.rows; ++r) {
        const StoredColumn::Pick p = s.pick(r);
        if (p.size() == 0) continue;
        if (p.size() > 1) {
            for (uint64_t i = p.from; i < p.to; ++i) {
                if (!col.cells[i].is_scalar()) return false;
                out.push_back(&col.cells[i]);
            }
            continue;
        }
        const Cell& c = col.cells[p.from];
        if (c.kind == Cell::Tree) return false;  // an array holding a container
        if (c.kind != Cell::List) continue;      // null
        for (uint32_t i = 0; i < c.len; ++i) out.push_back(&col.items[c.payload + i]);
    }
    return true;
}

Column mixed_rows(StoredColumn& s) {
    MixedColumn cells(s.rows);
    for (uint64_t r = 0; r < s.rows; ++r) {
        const StoredColumn::Pick p = s.pick(r);
        if (p.size() == 0 || (p.size() == 1 && s.cells.cells[p.from].kind == Cell::Null)) continue;
        cells[r] = s.take_value(p);
    }
    return Column::of<Column::Kind::Mixed>(std::move(cells));
}

Column list_of(StoredColumn& s, bool any_absent) {
    std::vector<const Cell*> elements;
    if (!gather_elements(s, elements)) return mixed_rows(s);
    const CellColumn& col = s.cells;
    Classifier classes;
    for (const Cell* e : elements) classes.add(col, *e);
    if (classes.state() == State::Mixed || (classes.state() == State::Numbers && classes.wide())) return mixed_rows(s);

    ListColumn list;
    list.offsets.reserve(s.rows + 1);
    list.offsets.push_back(0);
    if (any_absent) {
        list.validity.emplace();
        list.validity->bytes.reserve((s.rows + 7) / 8);
    }
    int64_t count = 0;
    for (uint64_t r = 0; r < s.rows; ++r) {
        const StoredColumn::Pick p = s.pick(r);
        const bool present = p.size() > 1 || (p.size() == 1 && col.cells[p.from].kind != Cell::Null);
        if (list.validity) list.validity->push(present);
        if (present) count += p.size() > 1 ? static_cast<int64_t>(p.size()) : col.cells[p.from].len;
        list.offsets.push_back(count);
    }
    const size_t n = elements.size();
    auto get = [&](size_t i) { return elements[i]; };
    bool absent = false;
    for (const Cell* e : elements) absent = absent || e->kind == Cell::Null;
    list.child = std::make_unique<Column>(scalar_column(col, classes.state(), classes.wide(), absent, n, get, [&] {
        MixedColumn cells(n);
        for (size_t i = 0; i < n; ++i)
            if (elements[i]->kind != Cell::Null) cells[i] = col.value_of(*elements[i]);
        return Column::of<Column::Kind::Mixed>(std::move(cells));
    }));
    return Column::of<Column::Kind::List>(std::move(list));
}

}  // namespace

Column narrow_cells(StoredColumn column) {
    StoredColumn& s = column;
    const CellColumn& col = s.cells;
    Classifier classes;
    bool any_absent = false;
    for (uint64_t r = 0; r < s.rows; ++r) {
        const StoredColumn::Pick p = s.pick(r);
        if (p.size() > 1) {
            classes.add_array();
        } else if (p.size() == 0 || col.cells[p.from].kind == Cell::Null) {
            any_absent = true;
        } else {
            classes.add(col, col.cells[p.from]);
        }
    }
    if (classes.state() == State::Arrays) return list_of(s, any_absent);
    auto get = [&](size_t r) -> const Cell* {
        const StoredColumn::Pick p = s.pick(r);
        return p.size() == 0 ? nullptr : &col.cells[p.from];
    };
    return scalar_column(col, classes.state(), classes.wide(), any_absent, s.rows, get, [&] { return mixed_rows(s); });
}

Column narrow_cells(std::vector<std::optional<engine::Value>> cells) {
    const uint64_t rows = cells.size();
    CellColumn col = column_of_values(std::move(cells));
    return narrow_cells(StoredColumn{col, rows, OnMulti::First});
}

CellColumn column_of_values(std::vector<std::optional<engine::Value>> values) {
    CellColumn col;
    col.cells.reserve(values.size());
    col.row_ends.reserve(values.size() + 1);
    for (auto& v : values) {
        if (v) col.push_value(std::move(*v));
        col.row_ends.push_back(col.cells.size());
    }
    return col;
}

}  // namespace jorvane::table
