// Fuzz target: a table stream gives the same table however its source is cut,
// whether its rows take the row walk or the general walk alone, and whether
// one engine or several walkers over short ranges scan it.
//
// The input chooses the rows (each top-level value, or each element of a
// top-level array), one to four columns (paths over the field names the seed
// documents use), each with an inferred or declared type, on_multi, maybe a
// row limit, the scan mode, buffer cuts, and (the rest of the bytes) the
// document. The stream is read as Python's table() reads it (advance, emit,
// until advance says the scan is over) once over the document as one buffer
// and once over the cuts, and over the cuts again with the general walk
// alone. All must give the same tables, cell by cell and
// type by type, and the same error (for a malformed or truncated document,
// its kind and offset), also with a row limit: the scan settles at the end
// of the limit-th row, and nothing after it is reported. Where the limit
// stopped the scan (the end of the buffer it settled in) depends on the
// cuts, so bytes_covered is not compared there. Read on a buffer grid, the
// document is also scanned in ranges as one to eight walkers take them and
// must give what one engine on the same grid gives, bytes_covered included.
// The ranges are scanned in order on this thread (TableSplitOptions::
// in_order): which code runs then depends on the input alone, never on how
// walker threads happen to be scheduled, so that the fuzzer's course, which
// follows coverage, is a function of its seed.
//
// Input layout (16-bit numbers little-endian): a head byte (bit 0 rows are
// the elements of a top-level array, bits 1-2 on_multi, bit 3 a limit of
// 1 + the next byte % 8, bit 4 batched mode, else serial, bits 5-7 the
// walkers less one); a column count
// byte (1 + n % 4); per column a path byte (% the path count) and a type byte
// (below 0x40 inferred, else a declared type of kTypes, nullable when bit 5 is
// set); a cut count byte (% 9) and that many 16-bit cut offsets (modulo the
// document's size); the rest is the document.
#include <array>
#include <cstdio>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "cut_source.h"
#include "fuzz_input.h"
#include "ndjson/json_writer.h"
#include "source/memory_reader.h"
#include "source/read_source.h"
#include "table/table_stream.h"
#include "targets.h"

namespace jorvane::fuzz {
namespace {

using namespace table;

const char* const kPaths[] = {"a", "b", "c", "a.b", "a[*]", "[0]", "*", "\"long key\"", "b?.c", "[*]"};
const char* const kTypes[] = {"int64",     "int32",     "int16",         "int8",          "float64", "float32",
                              "bool",      "str",       "timestamp",     "uuid",          "decimal(10,2)",
                              "decimal(38,0)", "decimal(5,5)"};

template <class T>
void put(const T& v, std::string& o) {
    if constexpr (std::is_same_v<T, std::string>) {
        ndjson::write_json_string(v, o);
    } else if constexpr (std::is_floating_point_v<T>) {
        char b[64];
        std::snprintf(b, sizeof b, "%a", static_cast<double>(v));
        o += b;
    } else if constexpr (std::is_same_v<T, std::array<uint8_t, 16>>) {
        for (uint8_t x : v) o += std::to_string(x) + ".";
    } else if constexpr (std::is_same_v<T, __int128>) {
        o += std::to_string(static_cast<int64_t>(v >> 64)) + "|" + std::to_string(static_cast<uint64_t>(v));
    } else {
        o += std::to_string(v);
    }
}

template <class T>
void put_rows(const Nullable<T>& n, std::string& o) {
    for (size_t r = 0; r < n.size(); ++r) {
        o += ' ';
        if (n.valid(r)) put(n.values[r], o); else o += '-';
    }
}

void render(const Column& c, std::string& o) {
    o += std::string(" <") + c.dtype_name() + ">";
    std::visit([&](const auto& col) {
        using C = std::decay_t<decltype(col)>;
        if constexpr (std::is_same_v<C, MixedColumn>) {
            for (const auto& cell : col) {
                o += ' ';
                if (cell) ndjson::write_json_value(*cell, o); else o += '-';
            }
        } else if constexpr (std::is_same_v<C, ListColumn>) {
            for (size_t r = 0; r + 1 < col.offsets.size(); ++r)
                o += (!col.validity || col.validity->valid(r) ? " @" : " -@") + std::to_string(col.offsets[r + 1]);
            o += " [";
            render(*col.child, o);
            o += " ]";
        } else if constexpr (std::is_same_v<C, IntNColumn>) {
            o += std::to_string(col.width);
            put_rows(col.data, o);
        } else if constexpr (std::is_same_v<C, DecimalColumn>) {
            o += std::to_string(col.precision) + "," + std::to_string(col.scale);
            put_rows(col.data, o);
        } else {
            put_rows(col, o);
        }
    }, c.repr);
}

struct Outcome {
    std::string tables;
    std::string error;
    std::string covered;
};

Outcome run(const TableSpec& spec, engine::ScanMode mode, std::unique_ptr<Source> source, bool fast = true,
            TableSplitOptions walkers = {}) {
    Outcome out;
    auto stream = TableStream::make(spec, mode, std::move(source), UINT64_MAX, walkers);
    if (!stream) fail("the table does not compile: " + stream.error().to_string());
    stream->set_fast_walk(fast);
    for (;;) {
        auto ready = stream->advance();
        if (!ready) return out.error = error_key(ready.error()), out;
        if (!*ready) return out;
        auto table = stream->emit();
        if (!table) return out.error = error_key(table.error()), out;
        if (table->names.size() != spec.columns.size()) fail("a table has the wrong column count");
        out.tables += "table of " + std::to_string(table->n_rows) + " rows:";
        if (table->bytes_covered) out.covered += std::to_string(*table->bytes_covered) + " ";
        for (const Column& c : table->columns) {
            if (c.rows() != table->n_rows) fail("a column's length is not the table's row count");
            render(c, out.tables);
        }
        out.tables += "\n";
    }
}

}  // namespace

int table_stream(std::span<const uint8_t> data) {
    FuzzInput in(data);
    const uint8_t head = in.byte();
    TableSpec spec(head & 1 ? "[*]" : "");
    spec.on_multi = static_cast<OnMulti>((head >> 1) & 3);
    if (head & 8) spec.limit = 1 + in.byte() % 8;
    const engine::ScanMode mode = head & 16 ? engine::ScanMode::batched(8) : engine::ScanMode::serial();
    const size_t columns = 1 + in.byte() % 4;
    for (size_t c = 0; c < columns; ++c) {
        const std::string name = "c" + std::to_string(c);
        spec = std::move(spec).column(name, kPaths[in.below(std::size(kPaths))]);
        const uint8_t type = in.byte();
        if (type >= 0x40) {
            auto dtype = DType::parse(kTypes[type % std::size(kTypes)]);
            if (!dtype) fail("a listed type does not parse");
            spec.declared[name] = Declared{*dtype, (type & 0x20) != 0};
        }
    }
    std::vector<size_t> cuts(in.byte() % 9);
    for (size_t& c : cuts) c = in.u16();
    const std::string doc(FuzzInput::as_text(in.rest()));

    const Outcome whole = run(spec, mode, cut_source(doc, {}));
    const Outcome cut = run(spec, mode, cut_source(doc, cuts));
    if (whole.error != cut.error) fail("error '" + cut.error + "' over the cuts, '" + whole.error + "' whole");
    if (whole.tables != cut.tables) fail("tables over the cuts:\n" + cut.tables + "whole:\n" + whole.tables);
    const Outcome general = run(spec, mode, cut_source(doc, cuts), false);
    if (general.error != cut.error) fail("error '" + general.error + "' by the general walk, '" + cut.error + "' else");
    if (general.tables != cut.tables)
        fail("tables by the general walk:\n" + general.tables + "by the row walk:\n" + cut.tables);
    const size_t walkers = 1 + (head >> 5);
    const auto grid = [&doc] {
        return std::make_unique<ReadSource>(std::make_unique<MemoryReader>(std::vector<uint8_t>(doc.begin(), doc.end())),
                                            64);
    };
    const Outcome one = run(spec, mode, grid());
    const Outcome split = run(spec, mode, grid(), true, TableSplitOptions{.walkers = walkers, .range_len = 24 + 16 * walkers, .in_order = true});
    if (split.error != one.error) fail("error '" + split.error + "' in ranges, '" + one.error + "' by one engine");
    if (split.tables != one.tables) fail("tables in ranges:\n" + split.tables + "by one engine:\n" + one.tables);
    if (split.covered != one.covered) fail("covered " + split.covered + "in ranges, " + one.covered + "by one engine");
    return 0;
}

}  // namespace jorvane::fuzz

#ifdef JORVANE_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return jorvane::fuzz::table_stream({data, size});
}
#endif
