// The row walk against the general walk: random records (every cell kind,
// nulls, missing fields, lists, nested values, escapes, pretty-printed
// records, malformed and truncated ones) read into tables under random
// requests, buffer sizes and modes, once with the row walk and once with the
// general walk alone. Tables, dtypes, errors and bytes_covered must agree.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "source/memory_reader.h"
#include "source/read_source.h"
#include "table/table_stream.h"

namespace jorvane::table {
namespace {

void put(const engine::Value& v, std::string& o) {
    switch (v.type()) {
        case engine::JsonType::Null: o += "null"; return;
        case engine::JsonType::Boolean: o += v.as_bool() ? "true" : "false"; return;
        case engine::JsonType::Number: o += v.as_number().to_literal(); return;
        case engine::JsonType::String: o += "\"" + v.as_string() + "\""; return;
        case engine::JsonType::Array:
            o += "[";
            for (const auto& x : v.as_array()) put(x, o), o += ",";
            o += "]";
            return;
        case engine::JsonType::Object:
            o += "{";
            for (const auto& m : v.as_object()) o += m.key + ":", put(m.value, o), o += ",";
            o += "}";
            return;
    }
}

void render(const Column& c, std::string& o) {
    o += std::string(" <") + c.dtype_name() + ">";
    auto rows = [&](const auto& n, auto&& put) {
        for (size_t r = 0; r < n.size(); ++r) {
            o += ' ';
            if (n.valid(r)) put(n.values[r]); else o += '-';
        }
    };
    std::visit([&](const auto& col) {
        using C = std::decay_t<decltype(col)>;
        if constexpr (std::is_same_v<C, MixedColumn>) {
            for (const auto& cell : col) {
                o += ' ';
                if (cell) put(*cell, o); else o += '-';
            }
        } else if constexpr (std::is_same_v<C, ListColumn>) {
            for (size_t r = 0; r + 1 < col.offsets.size(); ++r)
                o += (!col.validity || col.validity->valid(r) ? " @" : " -@") + std::to_string(col.offsets[r + 1]);
            render(*col.child, o);
        } else if constexpr (std::is_same_v<C, StrColumn>) {
            rows(col, [&](const std::string& v) { o += "\"" + v + "\""; });
        } else if constexpr (std::is_same_v<C, IntNColumn> || std::is_same_v<C, DecimalColumn>) {
            rows(col.data, [&](auto v) { o += std::to_string(static_cast<int64_t>(v)); });
        } else if constexpr (std::is_same_v<C, UuidColumn>) {
            rows(col, [&](const auto& v) { o += std::to_string(v[0] + v[15]); });
        } else {
            rows(col, [&](auto v) { o += std::to_string(v); });
        }
    }, c.repr);
}

// Every batch's table as text, then the error (if any) and bytes_covered.
std::string run(const TableSpec& spec, const std::string& doc, engine::ScanMode mode, size_t buffer,
                uint64_t batch_rows, bool lean) {
    auto source = std::make_unique<ReadSource>(
        std::make_unique<MemoryReader>(std::vector<uint8_t>(doc.begin(), doc.end())), buffer);
    auto stream = TableStream::make(spec, mode, std::move(source), batch_rows);
    if (!stream) return "compile: " + stream.error().to_string();
    stream->set_fast_walk(lean);
    std::string out;
    for (;;) {
        auto ready = stream->advance();
        if (!ready) return out + "error: " + ready.error().to_string();
        if (!*ready) return out;
        auto table = stream->emit();
        if (!table) return out + "error: " + table.error().to_string();
        out += std::to_string(table->n_rows) + " rows";
        for (const Column& c : table->columns) render(c, out);
        if (table->bytes_covered) out += " covered " + std::to_string(*table->bytes_covered);
        out += "\n";
    }
}

class Records {
public:
    explicit Records(uint32_t seed) : rng_(seed) {}

    std::string scalar() {
        switch (pick(9)) {
            case 0: return "null";
            case 1: return pick(2) ? "true" : "false";
            case 2: return std::to_string(static_cast<int64_t>(rng_()) - (1 << 30));
            case 3: return pick(2) ? "9007199254740993" : "-123456789012345678901234";
            case 4: return std::to_string(pick(1000)) + "." + std::to_string(pick(100)) + (pick(3) ? "" : "e-3");
            case 5: return "\"k" + std::to_string(pick(5)) + "\"";
            case 6: return pick(2) ? "\"a\\\"b\\u00e9\\ud83d\\ude00\"" : "\"\xc3\xa9\xff\"";
            case 7: return "\"2024-0" + std::to_string(1 + pick(9)) + "-01T10:00:00Z\"";
            default: return "\"0123456789abcdef0123456789abcdef\"";
        }
    }
    std::string value(int depth) {
        const uint32_t k = pick(depth > 2 ? 1 : 6);
        if (k < 3 || depth > 2) return scalar();
        std::string s = k == 5 ? "{" : "[";
        const uint32_t n = pick(4);
        for (uint32_t i = 0; i < n; ++i) {
            if (i) s += ",";
            if (k == 5) s += "\"" + std::string(1, static_cast<char>('a' + pick(3))) + "\":";
            s += k == 3 ? scalar() : value(depth + 1);
        }
        return s + (k == 5 ? "}" : "]");
    }
    std::string record() {
        static const char* const fields[] = {"id", "x", "s", "t", "o", "long field name here"};
        std::string s = "{";
        bool first = true;
        for (const char* f : fields) {
            if (pick(5) == 0) continue;
            for (int again = pick(8) == 0 ? 2 : 1; again > 0; --again) {
                s += first ? "" : ",";
                first = false;
                s += "\"" + std::string(f) + "\":" + (std::string(f) == "id" ? std::to_string(pick(100)) : value(0));
            }
        }
        return s + "}";
    }
    // Spaces and line breaks between the tokens of a record.
    std::string pretty(const std::string& r) {
        std::string s;
        bool in_string = false;
        for (size_t i = 0; i < r.size(); ++i) {
            const char c = r[i];
            s += c;
            if (c == '"' && (i == 0 || r[i - 1] != '\\')) in_string = !in_string;
            if (!in_string && (c == ',' || c == ':' || c == '{' || c == '[')) s += pick(2) ? "\n  " : " ";
        }
        return s;
    }
    // A fault at a random place: a byte replaced, dropped or doubled, an
    // escape that is none put at the start of a string or key, or a literal
    // misspelled.
    std::string damage(std::string r) {
        static const char bytes[] = {'}', ']', ',', ':', '"', 'x', '-', '.', '{', '['};
        static const char* const escapes[] = {"\\q", "\\u1\"", "\\x"};
        const size_t at = pick(static_cast<uint32_t>(r.size()));
        // A string or key, or the first key of a nested object.
        const size_t brace = pick(2) ? std::string::npos : r.find("{\"", std::max<size_t>(at, 1));
        const size_t quote = brace != std::string::npos ? brace + 1 : r.find('"', at);
        const size_t literal = r.find_first_of("tfn", at);
        switch (pick(3) == 0 ? pick(3) : 3 + pick(2)) {
            case 0: r[at] = bytes[pick(sizeof bytes)]; break;
            case 1: r.erase(at, 1); break;
            case 2: r.insert(at, 1, bytes[pick(sizeof bytes)]); break;
            case 3:
                if (quote != std::string::npos) r.insert(quote + 1, escapes[pick(std::size(escapes))]);
                break;
            default:
                if (literal != std::string::npos) r.insert(literal + 1, "x");
                break;
        }
        return r;
    }
    uint32_t pick(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }

private:
    std::mt19937 rng_;
};

TEST(RowWalk, TablesMatchTheGeneralWalk) {
    const char* const paths[] = {"id", "x", "s", "t", "t[*]", "o", "o.a", "*", "\"long field name here\""};
    const char* const types[] = {"int64", "float64", "str", "bool", "int16?", "float32?", "timestamp?", "uuid?",
                                 "decimal(12,3)?"};
    const size_t buffers[] = {7, 64, 1000, 1 << 20};
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        Records gen(seed);
        const bool in_array = gen.pick(3) == 0;
        TableSpec spec(in_array ? "[*]" : "");
        spec.on_multi = static_cast<OnMulti>(gen.pick(4));
        if (gen.pick(4) == 0) spec.limit = 1 + gen.pick(20);
        const size_t columns = 1 + gen.pick(5);
        for (size_t c = 0; c < columns; ++c) {
            const std::string name = "c" + std::to_string(c);
            spec = std::move(spec).column(name, paths[gen.pick(std::size(paths))]);
            if (gen.pick(4) == 0) spec.declared[name] = Declared{*DType::parse(types[gen.pick(std::size(types))]), true};
        }
        std::string doc = in_array ? "[" : "";
        const uint32_t count = 1 + gen.pick(40);
        const bool faulty = gen.pick(3) == 0;
        for (uint32_t r = 0; r < count; ++r) {
            std::string rec = gen.record();
            if (gen.pick(5) == 0) rec = gen.pretty(rec);
            if (faulty && gen.pick(count) == 0) rec = gen.damage(rec);
            doc += rec + (in_array ? (r + 1 < count ? ",\n" : "]") : "\n");
        }
        if (faulty && gen.pick(3) == 0) doc.resize(gen.pick(static_cast<uint32_t>(doc.size())));
        const engine::ScanMode modes[] = {engine::ScanMode::serial(), engine::ScanMode::batched(8),
                                          engine::ScanMode::pipelined_always(4)};
        const engine::ScanMode mode = modes[gen.pick(3)];
        const size_t buffer = buffers[gen.pick(std::size(buffers))];
        const uint64_t batch_rows = gen.pick(2) ? UINT64_MAX : 1 + gen.pick(8);
        const std::string general = run(spec, doc, mode, buffer, batch_rows, false);
        EXPECT_EQ(run(spec, doc, mode, buffer, batch_rows, true), general)
            << "seed " << seed << ", buffer " << buffer << "\n" << doc;
    }
}

// Elements picked by index after containers in the same array, matched or
// passed over, recorded whole or skipped by counting brackets: each
// container is one element, so the row walk picks the general walk's.
TEST(RowWalk, IndexPathsAfterNestedContainersPickTheGeneralWalksElement) {
    const std::string doc = R"({"t":[[1,[2]],{"a":[3]},7,[8],"x",{"b":{}},9]})"
                            "\n"
                            R"({"t":[{"a":1},[[]],[5,6],{"c":[0]},[],[1],2]})"
                            "\n"
                            R"({"t":[1,[2,3],4,5,[[6]],7,[]]})"
                            "\n"
                            R"({"t":[0,1,[2],3,{},4,5]})"
                            "\n";
    TableSpec spec("");
    spec = std::move(spec).column("a", "t[0]").column("c", "t[2]").column("d", "t[3]").column("g", "t[6]");
    const std::string general = run(spec, doc, engine::ScanMode::serial(), 1 << 20, UINT64_MAX, false);
    EXPECT_EQ(general,
              "4 rows <object> [1,[2,],] {a:1,} 1 0 <object> 7 [5,6,] 4 [2,] <object> [8,] {c:[0,],} 5 3 <object> 9 2 [] 5\n");
    for (const size_t buffer : {size_t{5}, size_t{64}, size_t{1} << 20})
        for (const engine::ScanMode mode : {engine::ScanMode::serial(), engine::ScanMode::batched(8)})
            EXPECT_EQ(run(spec, doc, mode, buffer, UINT64_MAX, true), general) << "buffer " << buffer;
}

}  // namespace
}  // namespace jorvane::table
