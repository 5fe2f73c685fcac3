// CellStore: table rows completed since the table consumer last took them,
// held per column as compact cells rather than one Value per match.
//
// A cell is a scalar by kind (null, false, true, a 64-bit integer, the
// literal text of any other number, a decoded string), an array of scalars
// (its elements are cells of the column's item list), or any other
// container as a Value. The form is canonical, so the same matches give the
// same cells whichever walk captured them: an array becomes a list cell
// exactly when every element is a scalar. Texts live in one arena per
// column, so capturing a cell allocates nothing of its own; whole columns
// append to one another by moving or copying their vectors and shifting the
// positions stored in the cells.
//
// Each column also lists its row ends (the cell count after each completed
// row, after a leading 0). Cells past the last row end belong to the row in
// progress.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/drivers/capture.h"
#include "engine/values/value.h"

namespace jorvane::engine {

struct Cell {
    enum Kind : uint8_t {
        Null = 0,
        False = 1,
        True = 2,
        Int = 3,      // payload: the integer
        BigInt = 4,   // an integer literal beyond 64 bits: its text in the arena
        Decimal = 5,  // a literal with a fraction or an exponent: its text in the arena
        String = 6,   // the decoded text in the arena
        List = 7,     // an array of scalars: `len` items of the column from `payload`
        Tree = 8,     // any other container: the column's value at `payload`
    };
    uint64_t payload = 0;  // the integer, an arena offset, an item index or a value index
    uint32_t len = 0;      // text bytes or items
    Kind kind = Null;

    bool is_scalar() const { return kind <= String; }
    bool has_text() const { return kind == BigInt || kind == Decimal || kind == String; }
};

struct CellColumn {
    std::vector<Cell> cells;
    std::vector<Cell> items;  // the elements of list cells (scalars)
    std::string arena;        // the texts of cells and items
    std::vector<Value> trees;
    std::vector<uint64_t> row_ends{0};

    std::string_view text(const Cell& c) const { return {arena.data() + c.payload, c.len}; }

    // Making cells (a text one puts its text into the arena).
    static Cell int_cell(int64_t v) { return Cell{static_cast<uint64_t>(v), 0, Cell::Int}; }
    Cell text_cell(Cell::Kind kind, std::string_view text);
    // A well-formed number, as read.
    [[gnu::always_inline]] Cell number_cell(const NumberView& n) {
        if (n.kind == NumberView::Kind::Int) return int_cell(n.int_value);
        return text_cell(n.kind == NumberView::Kind::BigInt ? Cell::BigInt : Cell::Decimal, n.text);
    }
    // A string from its raw bytes between the quotes (decoded as Value does).
    Cell raw_string_cell(std::string_view raw);
    // A matched atom by its (trimmed) literal, read as a value would be: by
    // its first byte, a number classified by its text. The caller has
    // checked the number grammar where the value is kept.
    Cell atom_cell(std::string_view atom);
    // A value in canonical form (containers kept as list cells or trees).
    void push_value(Value v);
    // The container a finished capture recorded (well formed, no malformed
    // number), in canonical form: a flat array straight into items.
    void push_captured(const ActiveCapture& capture);

    // The value a cell denotes (a tree is copied; `take` moves it out).
    Value value_of(const Cell& c) const;
    Value take_value(const Cell& c);
    // The kind of a cell's value.
    JsonType type_of(const Cell& c) const;

    // Appends `other` (moved) after this column's cells and rows; `other`
    // must hold no row in progress unless this one takes it as its own.
    void append(CellColumn&& other);
    // Copies cell `c` of `from` (with its text, items or tree) onto the end.
    void copy_cell(const CellColumn& from, const Cell& c);
    // Frees everything.
    void release();
    // The heap bytes the column holds.
    size_t bytes() const {
        return cells.capacity() * sizeof(Cell) + items.capacity() * sizeof(Cell) + arena.capacity() +
               trees.capacity() * sizeof(Value) + row_ends.capacity() * sizeof(uint64_t);
    }
};

struct CellStore {
    std::vector<CellColumn> columns;  // one per column query
    uint64_t rows = 0;

    static CellStore make(size_t columns) {
        CellStore s;
        s.columns.resize(columns);
        return s;
    }
    // Ends a row in every column.
    void end_row() {
        for (auto& c : columns) c.row_ends.push_back(c.cells.size());
        rows += 1;
    }
    // The completed rows, leaving the row in progress (if any) behind in
    // this store.
    CellStore take_completed();
    // Appends `other`'s rows (moved) after this store's.
    void append(CellStore&& other);
    // The heap bytes the columns hold.
    size_t bytes() const {
        size_t n = 0;
        for (const CellColumn& c : columns) n += c.bytes();
        return n;
    }
};

}  // namespace jorvane::engine
