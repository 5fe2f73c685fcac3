// Fuzz target: the NDJSON emitter, whole rows and projections, over any input.
//
// The input chooses whole rows or a projection, the rows query, on_multi,
// maybe a line limit (0 to 4), the scan mode, one to four fields (a name, of
// the list or up to 8 bytes of the input, and a path), buffer cuts, and (the
// rest of the bytes) the document. The emitter runs to its end (emit_all)
// once over the document as one buffer and once over the cuts, and both must
// give the same lines and the same error (for a malformed or truncated
// document, its kind and offset), also with a line limit: it settles the
// scan at the end of the limit-th row, and nothing after it is reported. A
// projection read on a buffer grid by one to eight walkers over short ranges
// must give what one engine on that grid gives, the error's text included.
//
// Whole rows are kept text, so they fail where the rows' values fail: the
// run without a limit ends with the error of the rows query's values over
// the same document (kind and offset; a value nested past the capture limit
// aside, which is JSON kept as text). Over strict JSON, where no row can
// hold another, there are as many lines as values. (In malformed input a
// scalar where a key belongs is a value of the container's query, which no
// line repeats.)
//
// Whole rows are also written by several walkers over short ranges of the
// document read as sequential input on a buffer grid: the lines and the error
// (its full text, with the same partial results) must be those of one engine
// reading the same input.
//
// Both runs in ranges scan them in order on this thread
// (TableSplitOptions::in_order): which code runs then depends on the input
// alone, never on how walker threads happen to be scheduled, so that the
// fuzzer's course, which follows coverage, is a function of its seed.
//
// Every line must be one value without a line feed that is re-emitted as
// itself when it is scanned as the one element of a top-level array (a
// top-level scalar is malformed input), with no error. The scanner lets raw
// control bytes in strings through, and what no query reads, so only when
// the document is strict JSON (values one after another, a comma between
// them allowed) must every line be strict JSON too, by the grammar check
// below (RFC 8259; bytes of 0x80 and above taken as they come).
//
// Input layout: a head byte (bit 0 projection, bits 1-2 on_multi, bit 3 a
// limit of the next byte % 5, bit 4 batched mode, else serial, bits 5-7 the
// walkers less one); a rows query
// byte (% the query count); a field count byte (1 + n % 4); per field a name
// byte (0xf0 and above: a length byte % 9 and that many bytes of name, else
// an entry of kNames) and a path byte (% the path count); a cut count byte
// (% 9) and that many 16-bit cut offsets (little-endian, modulo the
// document's size); the rest is the document. The walkers' run takes its
// figures from those bytes: the grid from the first cut, the walker count
// from the number of cuts, the range length from the head's top bits.
#include <cctype>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cut_source.h"
#include "fuzz_input.h"
#include "engine/query_plan.h"
#include "ndjson/emitter.h"
#include "run/pull_query.h"
#include "source/memory_reader.h"
#include "source/read_source.h"
#include "targets.h"

namespace jorvane::fuzz {
namespace {

const char* const kRows[] = {"", "[*]", "a", "a[*]", "*", "**", "[*].b", "b?"};
const char* const kNames[] = {"a", "b", "x y", "\"q\"", "\xc3\xa9", ""};
const char* const kPaths[] = {"a", "b", "c", "a.b", "a[*]", "[0]", "*", "**"};

// The strict JSON grammar over text[pos...]; nothing but a value and
// whitespace around it.
struct Grammar {
    std::string_view t;
    size_t p = 0;
    bool ws() { while (p < t.size() && (t[p] == ' ' || t[p] == '\t' || t[p] == '\n' || t[p] == '\r')) ++p; return true; }
    bool eat(char c) { return p < t.size() && t[p] == c ? (++p, true) : false; }
    bool digits() { size_t s = p; while (p < t.size() && t[p] >= '0' && t[p] <= '9') ++p; return p > s; }
    bool word(std::string_view w) { return t.substr(p, w.size()) == w ? (p += w.size(), true) : false; }
    bool string() {
        if (!eat('"')) return false;
        while (p < t.size()) {
            const unsigned char c = static_cast<unsigned char>(t[p++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c != '\\') continue;
            if (p >= t.size()) return false;
            const char e = t[p++];
            if (e == 'u') {
                for (int i = 0; i < 4; ++i, ++p)
                    if (p >= t.size() || !std::isxdigit(static_cast<unsigned char>(t[p]))) return false;
            } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
                return false;
            }
        }
        return false;
    }
    bool number() {
        eat('-');
        if (!eat('0') && !digits()) return false;
        if (eat('.') && !digits()) return false;
        if (eat('e') || eat('E')) {
            if (!eat('+')) eat('-');
            if (!digits()) return false;
        }
        return true;
    }
    bool value() {
        ws();
        if (p >= t.size()) return false;
        bool ok;
        if (t[p] == '{' || t[p] == '[') {
            const char close = t[p++] == '{' ? '}' : ']';
            ws();
            if (eat(close)) return ws();
            do {
                if (close == '}' && !(ws() && string() && ws() && eat(':'))) return false;
                if (!value()) return false;
            } while (eat(','));
            ok = eat(close);
        } else {
            ok = t[p] == '"' ? string() : word("true") || word("false") || word("null") || number();
        }
        return ok && ws();
    }
};

bool is_json(std::string_view line) {
    Grammar g{line};
    return g.value() && g.p == line.size();
}

// Values one after another, with whitespace and maybe a comma between them.
bool is_json_sequence(std::string_view doc) {
    Grammar g{doc};
    g.ws();
    while (g.p < doc.size()) {
        if (!g.value()) return false;
        g.eat(',');
    }
    return true;
}

// The rows query's values over the document in one buffer: how many came
// out, and the error that ended them.
struct RowValues {
    size_t count = 0;
    std::optional<JorvaneError> error;
};
RowValues row_values(const std::string& rows, const std::string& doc) {
    const engine::AccumulatorKind values[] = {engine::AccumulatorKind::Values};
    const engine::QueryPlan plan{std::nullopt, rows, values};
    auto pull = run::PullQuery::make(std::span<const engine::QueryPlan>(&plan, 1), engine::ScanMode::serial(),
                                     cut_source(doc, {}));
    RowValues out;
    if (!pull) {
        out.error = std::move(pull.error());
        return out;
    }
    for (;;) {
        run::Pulled<engine::ValueBatch> p = pull->refill_values();
        for (const auto& batch : p.batches) out.count += batch.values.size();
        if (p.error) out.error = std::move(p.error);
        if (p.error || p.end) return out;
    }
}

std::unique_ptr<Source> on_grid(const std::string& doc, size_t grid) {
    return std::make_unique<ReadSource>(std::make_unique<MemoryReader>(std::vector<uint8_t>(doc.begin(), doc.end())),
                                        grid);
}

// The error in full: its text and its partial results' counts.
std::string full_error(const ndjson::EmittedLines& e) {
    if (!e.error) return "none";
    std::string s = e.error->to_string();
    if (const Incomplete* r = e.error->record())
        for (const auto& q : r->partials) s += " / " + (q.count ? std::to_string(*q.count) : std::string("-"));
    return s;
}

std::string show(const ndjson::EmittedLines& e) {
    std::string s;
    for (const auto& l : e.lines) s += "  " + l + "\n";
    return s + "  error: " + (e.error ? error_key(*e.error) : "none");
}

}  // namespace

int ndjson_emitter(std::span<const uint8_t> data) {
    FuzzInput in(data);
    const uint8_t head = in.byte();
    const auto on_multi = static_cast<table::OnMulti>((head >> 1) & 3);
    const std::optional<uint64_t> limit = head & 8 ? std::optional<uint64_t>(in.byte() % 5) : std::nullopt;
    const engine::ScanMode mode = head & 16 ? engine::ScanMode::batched(8) : engine::ScanMode::serial();
    const std::string rows = kRows[in.below(std::size(kRows))];
    ndjson::Fields fields(1 + in.byte() % 4);
    for (auto& [name, path] : fields) {
        const uint8_t pick = in.byte();
        name = pick >= 0xf0 ? std::string(in.text(8)) : kNames[pick % std::size(kNames)];
        path = kPaths[in.below(std::size(kPaths))];
    }
    const std::optional<ndjson::Fields> projection = head & 1 ? std::optional(fields) : std::nullopt;
    std::vector<size_t> cuts(in.byte() % 9);
    for (size_t& c : cuts) c = in.u16();
    const std::string doc(FuzzInput::as_text(in.rest()));

    const auto whole = ndjson::emit_all(rows, projection, on_multi, limit, mode, cut_source(doc, {}));
    const auto cut = ndjson::emit_all(rows, projection, on_multi, limit, mode, cut_source(doc, cuts));
    const auto key = [](const ndjson::EmittedLines& e) { return e.error ? error_key(*e.error) : std::string(); };
    if (whole.error && whole.error->kind() == JorvaneError::Kind::Compile) fail("a listed query does not compile");
    if (whole.lines != cut.lines || key(whole) != key(cut))
        fail("over the cuts:\n" + show(cut) + "\nwhole:\n" + show(whole));
    if (limit && whole.lines.size() > *limit) fail("more lines than the limit");
    if (projection) {
        const size_t walkers = 1 + (head >> 5);
        const auto one = ndjson::emit_all(rows, projection, on_multi, limit, mode, on_grid(doc, 64));
        const auto split = ndjson::emit_all(
            rows, projection, on_multi, limit, mode, on_grid(doc, 64),
            table::TableSplitOptions{.walkers = walkers, .range_len = 24 + 16 * walkers, .in_order = true});
        const auto text = [](const ndjson::EmittedLines& e) { return e.error ? e.error->to_string() : std::string(); };
        if (one.lines != split.lines || text(one) != text(split))
            fail("in ranges:\n" + show(split) + "\nby one engine:\n" + show(one));
    } else {
        const size_t grid = 1 + (cuts.empty() ? 63 : cuts[0] % 128);
        const size_t walkers = 2 + cuts.size() % 3;
        const uint64_t range = 1 + static_cast<uint64_t>(head >> 5) * 11;
        const auto one = ndjson::emit_all(rows, std::nullopt, on_multi, limit, mode, on_grid(doc, grid));
        const auto split =
            ndjson::emit_all(rows, std::nullopt, on_multi, limit, mode, on_grid(doc, grid),
                             table::TableSplitOptions{.walkers = walkers, .range_len = range, .in_order = true});
        if (one.lines != split.lines || full_error(one) != full_error(split))
            fail("over " + std::to_string(walkers) + " walkers:\n" + show(split) + "\n  " + full_error(split) +
                 "\none engine:\n" + show(one) + "\n  " + full_error(one));
        if (one.lines != whole.lines || key(one) != key(whole)) fail("on a grid:\n" + show(one) + "\nwhole:\n" + show(whole));
    }
    const bool strict = is_json_sequence(doc);
    if (!projection && !limit) {
        const RowValues values = row_values(rows, doc);
        const bool too_deep = values.error && values.error->record() &&
                              values.error->record()->kind == engine::ParseErrorKind::nesting_too_deep();
        if (!too_deep && key(whole) != (values.error ? error_key(*values.error) : std::string()))
            fail("whole rows end otherwise than their values:\n" + show(whole) + "\nvalues: " +
                 std::to_string(values.count) + ", error: " + (values.error ? error_key(*values.error) : "none"));
        // A row holds the matches inside it ("**" below a row, "b?" a row's b),
        // so only queries whose matches never nest give a line per value.
        const bool matches_nest = rows == "**" || rows == "b?";
        if (strict && !matches_nest && whole.lines.size() != values.count)
            fail("whole rows: " + std::to_string(whole.lines.size()) + " lines for " + std::to_string(values.count) +
                 " values:\n" + show(whole));
    }
    for (const std::string& line : whole.lines) {
        if (line.find('\n') != std::string::npos) fail("a line feed in line: " + line);
        if (strict && !is_json(line)) fail("not JSON from a JSON document: " + line);
        const auto again = ndjson::emit_all("[*]", std::nullopt, table::OnMulti::Error, std::nullopt,
                                            engine::ScanMode::serial(), cut_source("[" + line + "]", {}));
        if (again.error || again.lines != std::vector<std::string>{line})
            fail("line " + line + " scanned again gives\n" + show(again));
    }
    return 0;
}

}  // namespace jorvane::fuzz

#ifdef JORVANE_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return jorvane::fuzz::ndjson_emitter({data, size});
}
#endif
