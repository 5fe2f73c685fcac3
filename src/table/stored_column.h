// StoredColumn: one column of a batch of rows as the table stream's store
// holds it (engine/cell_store.h), read row by row: row r owns the cells
// between its row ends, and a row with several cells is read as on_multi
// says (the first, the last, or an array of them; "error" is checked before
// a column is read).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <type_traits>
#include <vector>

#include "engine/cell_store.h"
#include "table/table_spec.h"

namespace jorvane::table {

struct StoredColumn {
    engine::CellColumn& cells;
    uint64_t rows = 0;
    OnMulti on_multi = OnMulti::First;

    // The cells a row reads: none (missing), one, or several (an array of them).
    struct Pick {
        uint64_t from = 0;
        uint64_t to = 0;
        uint64_t size() const { return to - from; }
    };
    Pick pick(uint64_t r) const {
        const uint64_t from = cells.row_ends[r], to = cells.row_ends[r + 1];
        if (to - from <= 1 || on_multi == OnMulti::List) return {from, to};
        if (on_multi == OnMulti::Last) return {to - 1, to};
        return {from, from + 1};
    }
    // The value a row reads (an array for several cells); trees are moved out.
    engine::Value take_value(const Pick& p) {
        return value_by(p, [this](const engine::Cell& c) { return cells.take_value(c); });
    }
    // The same, the store left as it is (a tree is copied).
    engine::Value value(const Pick& p) const {
        return value_by(p, [this](const engine::Cell& c) { return cells.value_of(c); });
    }
    // The first row holding several cells and their count (what on_multi
    // "error" refuses), or nothing.
    std::optional<std::pair<uint64_t, uint64_t>> first_multi() const {
        for (uint64_t r = 0; r < rows; ++r) {
            const uint64_t k = cells.row_ends[r + 1] - cells.row_ends[r];
            if (k > 1) return std::pair<uint64_t, uint64_t>{r, k};
        }
        return std::nullopt;
    }

private:
    template <class One>
    engine::Value value_by(const Pick& p, One&& one) const {
        if (p.size() == 1) return one(cells.cells[p.from]);
        engine::Value::Array items;
        items.reserve(p.size());
        for (uint64_t i = p.from; i < p.to; ++i) items.push_back(one(cells.cells[i]));
        return engine::Value::array(std::move(items));
    }
};

// One column of a table held in the stores that consecutive buffers gave,
// in row order: a table's columns are typed from these parts as the
// buffers left them rather than from one store they were first joined
// into, and a part's cells can go as soon as the column's rows in it are
// built. Code that builds a column calls done(i) once it reads part i no
// more; `release` then gets its cells (by default they are freed).
struct StoredParts {
    std::vector<StoredColumn> parts;  // each with the rows read from it
    uint64_t rows = 0;                // their sum
    std::function<void(engine::CellColumn&)> release;

    // The whole of one store column.
    static StoredParts one(StoredColumn column) {
        StoredParts s;
        s.rows = column.rows;
        s.parts.push_back(column);
        return s;
    }
    void done(size_t i) {
        if (release) {
            release(parts[i].cells);
        } else {
            parts[i].cells.release();
        }
    }
    // Calls f(part, pick) for every row in order; with `release`, each part
    // is done once its rows are read. f may return false to stop there (the
    // part is then kept): false.
    template <class F>
    bool each_row(bool release_parts, F&& f) {
        for (size_t i = 0; i < parts.size(); ++i) {
            StoredColumn& part = parts[i];
            for (uint64_t r = 0; r < part.rows; ++r) {
                if constexpr (std::is_same_v<decltype(f(part, part.pick(r))), bool>) {
                    if (!f(part, part.pick(r))) return false;
                } else {
                    f(part, part.pick(r));
                }
            }
            if (release_parts) done(i);
        }
        return true;
    }
};

// A store column of one cell per row from optional values (absent: no cell).
engine::CellColumn column_of_values(std::vector<std::optional<engine::Value>> values);

}  // namespace jorvane::table
