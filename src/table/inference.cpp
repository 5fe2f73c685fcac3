// Type inference in two passes over a column of the store, held in the
// parts the buffers gave. The first classifies every present cell in row
// order and folds the classes into one state (the narrowest column type
// that holds every value seen so far, or "mixed" once none does); the
// second builds the column the final state calls for, its payload allocated
// once at the row count, reading integers, booleans and texts straight from
// the cells and letting each part go once its rows are built, so that the
// cells and the built column do not both stay whole. Only a Mixed column
// builds values.
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

void release_all(StoredParts& s) {
    for (size_t i = 0; i < s.parts.size(); ++i) s.done(i);
}

// The entries a scalar column is built from: a column's rows (a row
// without a cell is missing), or the elements of its arrays
// (ElementEntries). visit calls put(store column, cell or null) for every
// entry in order, releasing each part after its entries when asked to.
struct RowEntries {
    StoredParts& s;
    template <class Put>
    void visit(Put&& put, bool release) {
        s.each_row(release, [&](StoredColumn& part, const StoredColumn::Pick& p) {
            put(part.cells, p.size() == 0 ? nullptr : &part.cells.cells[p.from]);
        });
    }
};

// The elements of every array of a column in order (a row holding several
// cells is an array of them); a null element is missing. A row's array
// held as a tree (it holds a container) is put as that one cell, which
// makes the column Mixed before any scalar column is built from them.
struct ElementEntries {
    StoredParts& s;
    template <class Put>
    void visit(Put&& put, bool release) {
        s.each_row(release, [&](StoredColumn& part, const StoredColumn::Pick& p) {
            const CellColumn& col = part.cells;
            if (p.size() > 1) {
                for (uint64_t i = p.from; i < p.to; ++i) put(col, &col.cells[i]);
                return;
            }
            if (p.size() == 0) return;
            const Cell& c = col.cells[p.from];
            if (c.kind == Cell::Tree) put(col, &c);
            if (c.kind != Cell::List) return;  // null, or a tree put whole
            for (uint32_t i = 0; i < c.len; ++i) put(col, &col.items[c.payload + i]);
        });
    }
};

// The column of a scalar state over `n` entries. `mixed` builds the Mixed
// column when the state calls for one. The parts go as they are read,
// except under a float column, which may still turn Mixed once all of it
// is read and then needs every cell.
template <class Entries, class Mixed>
Column scalar_column(StoredParts& s, State state, bool wide, bool any_absent, size_t n, Entries entries,
                     Mixed&& mixed) {
    using K = Column::Kind;
    auto build = [&](auto filler, auto&& payload, bool release) {
        using T = decltype(filler);
        NullableBuilder<T> out(n, any_absent);
        entries.visit(
            [&](const CellColumn& col, const Cell* c) {
                if (c != nullptr && c->kind != Cell::Null) {
                    out.push(payload(col, *c));
                } else {
                    out.push_missing(filler);
                }
            },
            release);
        return std::move(out).finish();
    };
    switch (state) {
        case State::Integers:
            return Column::of<K::Int64>(build(
                int64_t{0}, [](const CellColumn&, const Cell& c) { return static_cast<int64_t>(c.payload); }, true));
        case State::Numbers: {
            if (wide) return mixed();
            // A literal no float can read stays as its text in a Mixed column:
            // a NaN would pass for a value.
            bool unreadable = false;
            auto floats = build(
                std::numeric_limits<double>::quiet_NaN(),
                [&](const CellColumn& col, const Cell& c) {
                    const std::optional<double> d = cell_f64(col, c);
                    if (!d) unreadable = true;
                    return d.value_or(std::numeric_limits<double>::quiet_NaN());
                },
                false);
            if (unreadable) return mixed();
            release_all(s);
            return Column::of<K::Float>(std::move(floats));
        }
        case State::Bools:
            return Column::of<K::Bool>(build(
                uint8_t{0},
                [](const CellColumn&, const Cell& c) { return static_cast<uint8_t>(c.kind == Cell::True ? 1 : 0); },
                true));
        case State::Strings:
            return Column::of<K::Str>(build(
                std::string(), [](const CellColumn& col, const Cell& c) { return std::string(col.text(c)); }, true));
        case State::Nothing:
        case State::Arrays:
        case State::Mixed: break;
    }
    return mixed();
}

// One value per row, a row without a cell (or with a null) missing; trees
// are moved out and each part goes once read.
Column mixed_rows(StoredParts& s) {
    MixedColumn cells(s.rows);
    uint64_t r = 0;
    s.each_row(true, [&](StoredColumn& part, const StoredColumn::Pick& p) {
        if (p.size() > 1 || (p.size() == 1 && part.cells.cells[p.from].kind != Cell::Null))
            cells[r] = part.take_value(p);
        ++r;
    });
    return Column::of<Column::Kind::Mixed>(std::move(cells));
}

Column list_of(StoredParts& s, bool any_absent) {
    // The elements, classified the way rows are; an element that is itself
    // a container makes the column Mixed.
    Classifier classes;
    bool nested = false;
    bool absent = false;
    size_t n = 0;
    ElementEntries elements{s};
    elements.visit(
        [&](const CellColumn& col, const Cell* e) {
            if (!e->is_scalar()) nested = true;
            classes.add(col, *e);
            absent = absent || e->kind == Cell::Null;
            ++n;
        },
        false);
    if (nested || classes.state() == State::Mixed || (classes.state() == State::Numbers && classes.wide()))
        return mixed_rows(s);

    ListColumn list;
    list.offsets.reserve(s.rows + 1);
    list.offsets.push_back(0);
    if (any_absent) {
        list.validity.emplace();
        list.validity->bytes.reserve((s.rows + 7) / 8);
    }
    int64_t count = 0;
    s.each_row(false, [&](StoredColumn& part, const StoredColumn::Pick& p) {
        const CellColumn& col = part.cells;
        const bool present = p.size() > 1 || (p.size() == 1 && col.cells[p.from].kind != Cell::Null);
        if (list.validity) list.validity->push(present);
        if (present) count += p.size() > 1 ? static_cast<int64_t>(p.size()) : col.cells[p.from].len;
        list.offsets.push_back(count);
    });
    list.child = std::make_unique<Column>(scalar_column(s, classes.state(), classes.wide(), absent, n, elements, [&] {
        MixedColumn cells(n);
        size_t i = 0;
        elements.visit(
            [&](const CellColumn& col, const Cell* e) {
                if (e->kind != Cell::Null) cells[i] = col.value_of(*e);
                ++i;
            },
            true);
        return Column::of<Column::Kind::Mixed>(std::move(cells));
    }));
    return Column::of<Column::Kind::List>(std::move(list));
}

}  // namespace

Column narrow_cells(StoredParts column) {
    StoredParts& s = column;
    Classifier classes;
    bool any_absent = false;
    s.each_row(false, [&](StoredColumn& part, const StoredColumn::Pick& p) {
        const CellColumn& col = part.cells;
        if (p.size() > 1) {
            classes.add_array();
        } else if (p.size() == 0 || col.cells[p.from].kind == Cell::Null) {
            any_absent = true;
        } else {
            classes.add(col, col.cells[p.from]);
        }
    });
    if (classes.state() == State::Arrays) return list_of(s, any_absent);
    return scalar_column(s, classes.state(), classes.wide(), any_absent, s.rows, RowEntries{s},
                         [&] { return mixed_rows(s); });
}

Column narrow_cells(std::vector<std::optional<engine::Value>> cells) {
    const uint64_t rows = cells.size();
    CellColumn col = column_of_values(std::move(cells));
    return narrow_cells(StoredParts::one(StoredColumn{col, rows, OnMulti::First}));
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
