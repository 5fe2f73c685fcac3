// Cells: building them from literals and values, reading them back, and
// moving columns and stores onto one another.
#include "engine/cell_store.h"

#include <cstring>
#include <utility>

#include "util/text.h"

namespace jorvane::engine {

namespace {

// Whether a value is held as one scalar cell.
bool is_scalar_value(const Value& v) { return !v.is_array() && !v.is_object(); }

NumberView number_view(const Cell& c, std::string_view text) {
    NumberView n;
    n.kind = c.kind == Cell::BigInt ? NumberView::Kind::BigInt : NumberView::Kind::Decimal;
    n.text = text;
    return n;
}

}  // namespace

Cell CellColumn::text_cell(Cell::Kind kind, std::string_view text) {
    Cell c{arena.size(), static_cast<uint32_t>(text.size()), kind};
    arena.append(text);
    return c;
}

Cell CellColumn::raw_string_cell(std::string_view raw) {
    if (std::memchr(raw.data(), '\\', raw.size()) == nullptr && is_valid_utf8(raw)) [[likely]]
        return text_cell(Cell::String, raw);
    return text_cell(Cell::String, value::decode_json_string(raw));
}

Cell CellColumn::atom_cell(std::string_view atom) {
    if (atom.empty()) return Cell{};
    const char b = atom[0];
    if (b == 'f') return Cell{0, 0, Cell::False};
    if (b == 't') return Cell{0, 0, Cell::True};
    if (b != '-' && static_cast<unsigned char>(b - '0') >= 10) return Cell{};
    return number_cell(number::read_json(atom).view);
}

namespace {

// The scalar cell of a scalar value.
Cell scalar_cell(CellColumn& col, const Value& v) {
    switch (v.type()) {
        case JsonType::Null: return Cell{};
        case JsonType::Boolean: return Cell{0, 0, v.as_bool() ? Cell::True : Cell::False};
        case JsonType::Number: {
            const JsonNumber& n = v.as_number();
            switch (n.kind()) {
                case JsonNumber::Kind::Int: return CellColumn::int_cell(n.int_value());
                case JsonNumber::Kind::BigInt: return col.text_cell(Cell::BigInt, n.text());
                case JsonNumber::Kind::Decimal: return col.text_cell(Cell::Decimal, n.text());
            }
            return Cell{};
        }
        case JsonType::String: return col.text_cell(Cell::String, v.as_string());
        case JsonType::Array:
        case JsonType::Object: break;
    }
    return Cell{};
}

}  // namespace

void CellColumn::push_value(Value v) {
    if (is_scalar_value(v)) {
        cells.push_back(scalar_cell(*this, v));
        return;
    }
    if (v.is_array()) {
        const Value::Array& elements = v.as_array();
        bool flat = true;
        for (const Value& e : elements) flat = flat && is_scalar_value(e);
        if (flat) {
            const Cell list{items.size(), static_cast<uint32_t>(elements.size()), Cell::List};
            for (const Value& e : elements) items.push_back(scalar_cell(*this, e));
            cells.push_back(list);
            return;
        }
    }
    cells.push_back(Cell{trees.size(), 0, Cell::Tree});
    trees.push_back(std::move(v));
}

void CellColumn::push_captured(const ActiveCapture& capture) {
    const std::vector<CapturedEvent>& ev = capture.events;
    bool flat = !ev.empty() && ev.front().kind == CapturedEvent::Open && !ev.front().is_object &&
                ev.back().kind == CapturedEvent::Close;
    for (size_t k = 1; flat && k + 1 < ev.size(); ++k) {
        const CapturedEvent::Kind kind = ev[k].kind;
        flat = kind == CapturedEvent::Atom || kind == CapturedEvent::Number || kind == CapturedEvent::String;
    }
    if (!flat) {
        std::optional<Value> built = materialize(capture);
        push_value(built ? std::move(*built) : Value());
        return;
    }
    const Cell list{items.size(), static_cast<uint32_t>(ev.size() - 2), Cell::List};
    for (size_t k = 1; k + 1 < ev.size(); ++k) {
        const CapturedEvent& e = ev[k];
        switch (e.kind) {
            case CapturedEvent::Atom: items.push_back(atom_cell(capture.event_bytes(e))); break;
            case CapturedEvent::String: items.push_back(raw_string_cell(capture.event_bytes(e))); break;
            default:
                if (e.number == NumberView::Kind::Int) {
                    items.push_back(int_cell(e.int_value));
                } else {
                    items.push_back(
                        text_cell(e.number == NumberView::Kind::BigInt ? Cell::BigInt : Cell::Decimal, capture.event_bytes(e)));
                }
                break;
        }
    }
    cells.push_back(list);
}

Value CellColumn::value_of(const Cell& c) const {
    switch (c.kind) {
        case Cell::Null: return Value();
        case Cell::False: return Value::boolean(false);
        case Cell::True: return Value::boolean(true);
        case Cell::Int: return Value::number(JsonNumber::from_int(static_cast<int64_t>(c.payload)));
        case Cell::BigInt:
        case Cell::Decimal: return Value::number(JsonNumber::from_view(number_view(c, text(c))));
        case Cell::String: return Value::string(std::string(text(c)));
        case Cell::List: {
            Value::Array elements;
            elements.reserve(c.len);
            for (uint32_t i = 0; i < c.len; ++i) elements.push_back(value_of(items[c.payload + i]));
            return Value::array(std::move(elements));
        }
        case Cell::Tree: return trees[c.payload];
    }
    return Value();
}

Value CellColumn::take_value(const Cell& c) {
    if (c.kind == Cell::Tree) return std::move(trees[c.payload]);
    return value_of(c);
}

JsonType CellColumn::type_of(const Cell& c) const {
    switch (c.kind) {
        case Cell::Null: return JsonType::Null;
        case Cell::False:
        case Cell::True: return JsonType::Boolean;
        case Cell::Int:
        case Cell::BigInt:
        case Cell::Decimal: return JsonType::Number;
        case Cell::String: return JsonType::String;
        case Cell::List: return JsonType::Array;
        case Cell::Tree: return trees[c.payload].type();
    }
    return JsonType::Null;
}

void CellColumn::copy_cell(const CellColumn& from, const Cell& c) {
    switch (c.kind) {
        case Cell::BigInt:
        case Cell::Decimal:
        case Cell::String: cells.push_back(text_cell(c.kind, from.text(c))); return;
        case Cell::List: {
            const Cell list{items.size(), c.len, Cell::List};
            for (uint32_t i = 0; i < c.len; ++i) {
                const Cell& e = from.items[c.payload + i];
                items.push_back(e.has_text() ? text_cell(e.kind, from.text(e)) : e);
            }
            cells.push_back(list);
            return;
        }
        case Cell::Tree:
            cells.push_back(Cell{trees.size(), 0, Cell::Tree});
            trees.push_back(from.trees[c.payload]);
            return;
        default: cells.push_back(c); return;
    }
}

void CellColumn::append(CellColumn&& other) {
    if (cells.empty() && items.empty() && trees.empty() && row_ends.size() == 1) {
        arena.clear();
        *this = std::move(other);
        return;
    }
    const uint64_t texts = arena.size(), listed = items.size(), kept = trees.size(), base = cells.size();
    arena.append(other.arena);
    for (Cell e : other.items) {
        if (e.has_text()) e.payload += texts;
        items.push_back(e);
    }
    for (Value& v : other.trees) trees.push_back(std::move(v));
    for (Cell c : other.cells) {
        if (c.has_text()) {
            c.payload += texts;
        } else if (c.kind == Cell::List) {
            c.payload += listed;
        } else if (c.kind == Cell::Tree) {
            c.payload += kept;
        }
        cells.push_back(c);
    }
    for (size_t r = 1; r < other.row_ends.size(); ++r) row_ends.push_back(base + other.row_ends[r]);
    other.release();
}

void CellColumn::release() {
    std::vector<Cell>().swap(cells);
    std::vector<Cell>().swap(items);
    std::string().swap(arena);
    std::vector<Value>().swap(trees);
    row_ends.assign(1, 0);
    row_ends.shrink_to_fit();
}

CellStore CellStore::take_completed() {
    CellStore rest = make(columns.size());
    for (size_t i = 0; i < columns.size(); ++i) {
        CellColumn& c = columns[i];
        // The next buffer's rows are sized like these: room for an eighth
        // more than they took saves growing the vectors from nothing, and
        // the half-empty capacity doubling leaves in every store kept.
        CellColumn& next = rest.columns[i];
        next.cells.reserve(c.cells.size() + c.cells.size() / 8);
        next.items.reserve(c.items.size() + c.items.size() / 8);
        next.arena.reserve(c.arena.size() + c.arena.size() / 8);
        next.row_ends.reserve(c.row_ends.size() + c.row_ends.size() / 8);
        const uint64_t end = c.row_ends.back();
        if (end == c.cells.size()) continue;
        // The row in progress: its cells are copied into the store left
        // behind (their texts stay in this arena, unread).
        for (uint64_t k = end; k < c.cells.size(); ++k) rest.columns[i].copy_cell(c, c.cells[k]);
        c.cells.resize(end);
    }
    std::swap(*this, rest);
    return rest;
}

void CellStore::append(CellStore&& other) {
    if (other.rows == 0 && columns.size() == other.columns.size()) {
        bool empty = true;
        for (const auto& c : other.columns) empty = empty && c.cells.empty();
        if (empty) return;
    }
    if (columns.size() < other.columns.size()) columns.resize(other.columns.size());
    for (size_t i = 0; i < other.columns.size(); ++i) columns[i].append(std::move(other.columns[i]));
    rows += other.rows;
    other.rows = 0;
}

}  // namespace jorvane::engine
