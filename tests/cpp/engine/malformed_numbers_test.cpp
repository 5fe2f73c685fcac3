// Atoms that are neither a JSON number nor exactly true, false or null, and
// strings or keys whose escapes are not JSON's: the kinds that read values
// fail the scan at the byte that breaks them, the same in every kernel, mode
// and buffer cut; Count and Exists, which only count matches, stay lenient.
#include <gtest/gtest.h>

#include "engine_harness.h"

namespace jorvane::engine::testing {
namespace {

Value num(std::string_view literal) { return Value::number(JsonNumber::from_literal(literal)); }

const std::string kPadded = R"({"pad":")" + std::string(130, 'p') + R"(","v":[3,-.5]})";
const std::string kLongAtom = "[" + std::string(100, '1') + "x]";

struct BadRow {
    std::string doc;
    std::string query;
    std::string atom;           // the malformed literal, as written
    uint8_t named;              // the byte the error names
    uint64_t offset;            // and its offset
    std::vector<Value> before;  // what Values streams before the error
    bool inside = false;        // the atom lies inside the matched container
};

const std::vector<BadRow>& bad_rows() {
    static const std::vector<BadRow> rows = {
        {"[-]", "[*]", "-", '-', 1, {}},
        {"[12abc]", "[*]", "12abc", 'a', 3, {}},
        {"[1.2.3]", "[*]", "1.2.3", '.', 4, {}},
        {R"({"a":[1,-]})", "a[*]", "-", '-', 8, {num("1")}},
        {"[1,2,01]", "[*]", "01", '1', 6, {num("1"), num("2")}},
        {"[1.]", "[*]", "1.", '.', 2, {}},
        {"[1e+]", "[*]", "1e+", '+', 3, {}},
        {"[0x1F]", "[*]", "0x1F", 'x', 2, {}},
        {"[-Infinity]", "[*]", "-Infinity", 'I', 2, {}},
        {"[7\f]", "[*]", "7\f", '\f', 2, {}},
        {"[-5,\"s\",-]", "[*]", "-", '-', 8, {num("-5"), Value::string("s")}},
        // Misspelled literals.
        {"[nul]", "[*]", "nul", 'l', 3, {}},
        {"[true,tru]", "[*]", "tru", 'u', 8, {Value::boolean(true)}},
        {"[fals]", "[*]", "fals", 's', 4, {}},
        {"[nulll]", "[*]", "nulll", 'l', 5, {}},
        {"[nope]", "[*]", "nope", 'o', 2, {}},
        {"[true1]", "[*]", "true1", '1', 5, {}},
        // A matched container holding one is refused when it closes.
        {"[[1,-],3]", "[*]", "-", '-', 4, {}, true},
        {R"([5,{"k":[1e]}])", "[*]", "1e", 'e', 10, {num("5")}, true},
        // Atoms across the 64-byte chunks of a buffer.
        {kLongAtom, "[*]", kLongAtom.substr(1, 101), 'x', 101, {}},
        {kPadded, "v[*]", "-.5", '.', kPadded.find("-.5") + 1, {num("3")}},
    };
    return rows;
}

const AccumulatorKind kKeeping[] = {M::Values, M::ValuesUnique, M::CountUnique, M::ValueCounts, M::Mode};
// Kinds that read their matches without building a value (a container's
// contents they never read).
const AccumulatorKind kReadingOnly[] = {M::Min, M::Max, M::Sum, M::Mean, M::Product, M::Types};

// The outcome of `doc` under every kernel and mode unsplit, and one byte per
// buffer or cut once at every position in one mode of each family, is
// `whole`.
void expect_invariant(const Outcome& whole, const std::string& doc, const std::vector<QuerySpec>& specs) {
    for (auto kernel : supported_kernels()) {
        for (auto mode : every_mode()) {
            RunOptions opt;
            opt.kernel = kernel;
            opt.mode = mode;
            EXPECT_TRUE(same_outcome(whole, run(doc, specs, opt))) << doc << " unsplit";
        }
        for (auto mode : {ScanMode::serial(), ScanMode::batched(2), ScanMode::pipelined(4)}) {
            RunOptions bytes;
            bytes.kernel = kernel;
            bytes.mode = mode;
            bytes.cuts = every_byte(doc.size());
            EXPECT_TRUE(same_outcome(whole, run(doc, specs, bytes))) << doc << " byte per buffer";
            for (size_t cut = 1; cut < doc.size(); ++cut) {
                RunOptions opt;
                opt.kernel = kernel;
                opt.mode = mode;
                opt.cuts = {cut};
                const Outcome split = run(doc, specs, opt);
                EXPECT_TRUE(same_outcome(whole, split)) << doc << " cut at " << cut << ": " << describe(split);
            }
        }
    }
}

TEST(MalformedNumbers, KeptOnesFailAtTheByteThatBreaksThem) {
    for (const auto& row : bad_rows()) {
        for (auto kind : kKeeping) {
            const Outcome o = run(row.doc, {{row.query, {kind}}});
            ASSERT_TRUE(o.failed) << row.doc << " " << accumulator_kind_name(kind);
            EXPECT_FALSE(o.incomplete) << row.doc;
            EXPECT_EQ(o.kind, ParseErrorKind::invalid_atom_char(row.named)) << row.doc << ": " << o.message;
            EXPECT_EQ(o.offset, row.offset) << row.doc << ": " << o.message;
            if (kind == M::Values) {
                EXPECT_EQ(o.values[0], row.before) << row.doc;
            }
        }
    }
}

TEST(MalformedNumbers, SameErrorInEveryKernelModeAndCut) {
    for (const auto& row : bad_rows()) {
        const std::vector<QuerySpec> specs{{row.query, {M::Values}}, {row.query, {M::Count}}};
        expect_invariant(run(row.doc, specs), row.doc, specs);
    }
}

TEST(MalformedNumbers, FoldsThatReadFailAndCountingStaysLenient) {
    for (const auto& row : bad_rows()) {
        // The same document with the malformed literal spelled as a number.
        std::string fixed = row.doc;
        fixed.replace(fixed.rfind(row.atom, row.offset), row.atom.size(), "0");
        for (auto kind : {M::Count, M::Exists}) {
            const std::vector<QuerySpec> specs{{row.query, {kind}}};
            const Outcome o = run(row.doc, specs);
            ASSERT_FALSE(o.failed) << row.doc << " " << accumulator_kind_name(kind) << ": " << o.message;
            EXPECT_TRUE(same_outcome(o, run(fixed, specs))) << row.doc << " " << accumulator_kind_name(kind);
        }
        for (auto kind : kReadingOnly) {
            const Outcome o = run(row.doc, {{row.query, {kind}}});
            EXPECT_EQ(o.failed, !row.inside) << row.doc << " " << accumulator_kind_name(kind) << ": " << o.message;
            if (o.failed) {
                EXPECT_EQ(o.kind, ParseErrorKind::invalid_atom_char(row.named)) << row.doc << ": " << o.message;
                EXPECT_EQ(o.offset, row.offset) << row.doc << ": " << o.message;
            }
        }
    }
    // A numeric fold neither folds nor skips it: the scan fails there.
    const Outcome sum = run("[1,-,2]", {{"[*]", {M::Sum}}});
    ASSERT_TRUE(sum.failed);
    EXPECT_EQ(sum.offset, 3u);
}

TEST(MalformedNumbers, WellFormedNumbersAndOtherLiteralsPassEveryKind) {
    const std::vector<std::string> docs = {
        "[0,-0,1E5,-0.0e-1,1e+2,12345678901234567890123,-9223372036854775808,0.5]",
        "[null,true,false]",
        // Strings and keys that look like broken numbers are not numbers.
        R"({"-":"1.2.3","01":["-"]})",
    };
    for (const auto& doc : docs) {
        for (auto kind : kKeeping) {
            const Outcome o = run(doc, {{"*", {kind}}, {"[*]", {kind}}, {"*[*]", {kind}}});
            EXPECT_FALSE(o.failed) << doc << " " << accumulator_kind_name(kind) << ": " << o.message;
        }
    }
    const Outcome literals = run("[null,true,false ]", {{"[*]", {M::Values}}});
    EXPECT_EQ(literals.values[0], (std::vector<Value>{Value(), Value::boolean(true), Value::boolean(false)}));
}

TEST(MalformedNumbers, KeyedValuesKeepsMembersOnly) {
    // A member is kept, so a malformed one fails; an array element is not.
    const Outcome member = run(R"({"a":1,"b":-})", {{"*", {M::KeyedValues}}});
    ASSERT_TRUE(member.failed);
    EXPECT_EQ(member.kind, ParseErrorKind::invalid_atom_char('-'));
    EXPECT_EQ(member.offset, 11u);
    const Outcome captured = run(R"({"a":[2,0.e1]})", {{"*", {M::KeyedValues}}});
    ASSERT_TRUE(captured.failed);
    EXPECT_EQ(captured.kind, ParseErrorKind::invalid_atom_char('e'));
    EXPECT_EQ(captured.offset, 10u);
    const std::vector<QuerySpec> elements{{"[*]", {M::KeyedValues}}};
    EXPECT_FALSE(run("[-,1.2.3]", elements).failed);
    expect_invariant(member, R"({"a":1,"b":-})", {{"*", {M::KeyedValues}}});
}

TEST(MalformedNumbers, OnlyValuesThatAreKeptAreChecked) {
    // Past its limit a query keeps nothing more.
    const Outcome direct = run("[1,-]", {{"[*]", {M::Values}, 1}});
    ASSERT_FALSE(direct.failed) << direct.message;
    EXPECT_EQ(direct.values[0], (std::vector<Value>{num("1")}));
    const Outcome captured = run("[[1],[-]]", {{"[*]", {M::Values}, 1}});
    ASSERT_FALSE(captured.failed) << captured.message;
    // A container counted only is not recorded, so what it holds is not read.
    EXPECT_FALSE(run("[[1,-]]", {{"[*]", {M::Count}}}).failed);
}

TEST(MalformedNumbers, FirstErrorWinsAndStopsEveryQuery) {
    const Outcome earlier = run("[1]] [-]", {{"[*]", {M::Values}}});
    ASSERT_TRUE(earlier.failed);
    EXPECT_EQ(earlier.kind, ParseErrorKind::unmatched_close());
    EXPECT_EQ(earlier.offset, 3u);

    const Outcome later = run("[-]]", {{"[*]", {M::Values}}});
    ASSERT_TRUE(later.failed);
    EXPECT_EQ(later.kind, ParseErrorKind::invalid_atom_char('-'));
    EXPECT_EQ(later.offset, 1u);

    const std::vector<QuerySpec> specs{{"[*]", {M::Count}}, {"[1]", {M::Values}}, {"[2]", {M::Values}}};
    const Outcome stopped = run("[1,-,3]", specs);
    ASSERT_TRUE(stopped.failed);
    EXPECT_EQ(stopped.offset, 3u);
    EXPECT_TRUE(stopped.values[2].empty());
    expect_invariant(stopped, "[1,-,3]", specs);
}

TEST(MalformedNumbers, EscapesOfStringsAndKeysThatAreRead) {
    const std::string long_string = "[\"" + std::string(100, 'x') + "\\q\"]";
    const struct {
        std::string doc;
        std::string query;
        AccumulatorKind kind;
        uint8_t named;
        uint64_t offset;
    } rows[] = {
        {R"(["a\qb"])", "[*]", M::Values, 'q', 4},
        {R"(["ok","a\u12G4"])", "[*]", M::ValueCounts, 'G', 12},
        {R"(["\u12"])", "[*]", M::Values, '"', 6},  // cut short by the closing quote
        {long_string, "[*]", M::Values, 'q', 103},
        // Inside a captured container: a string, and a key.
        {R"([["\x"]])", "[*]", M::Values, 'x', 4},
        {R"([{"k\q":1}])", "[*]", M::CountUnique, 'q', 5},
        // The key of a member read with its key, a scalar or a container.
        {R"({"a":1,"b\q":2})", "*", M::KeyedValues, 'q', 10},
        {R"({"b\q":[2]})", "*", M::KeyedValues, 'q', 4},
    };
    for (const auto& row : rows) {
        const std::vector<QuerySpec> specs{{row.query, {row.kind}}, {row.query, {M::Count}}};
        const Outcome o = run(row.doc, specs);
        ASSERT_TRUE(o.failed) << row.doc;
        EXPECT_EQ(o.kind, ParseErrorKind::invalid_escape(row.named)) << row.doc << ": " << o.message;
        EXPECT_EQ(o.offset, row.offset) << row.doc << ": " << o.message;
        expect_invariant(o, row.doc, specs);
        EXPECT_FALSE(run(row.doc, {{row.query, {M::Count}}}).failed) << row.doc;
    }
    // A key is decoded only where a value is read with it.
    EXPECT_FALSE(run(R"({"a\q":1,"b":[2]})", {{"b", {M::Values}}, {"*", {M::Sum}}}).failed);
    EXPECT_FALSE(run(R"([{"a\q":1}])", {{"[*]", {M::KeyedValues}}}).failed);
}

TEST(MalformedNumbers, CapturedNumbersAreTheNumbersMatchedDirectly) {
    // A number inside a captured container is read when it is recorded and
    // rebuilt from that reading; it must equal the one built for a direct
    // match, in every kind of number.
    const std::vector<std::string> literals = {"0", "-0", "1", "-1.50", "2e3", "-0.0e-1", "9223372036854775807",
                                               "-9223372036854775808", "9223372036854775808",
                                               "12345678901234567890123", "1E+2", "0.000"};
    std::string doc = "[[";
    for (size_t i = 0; i < literals.size(); ++i) doc += (i ? "," : "") + literals[i];
    doc += "]]";
    const std::vector<QuerySpec> specs{{"[0]", {M::Values}}, {"[0][*]", {M::Values}}, {"[0]", {M::CountUnique}}};
    const Outcome o = run(doc, specs);
    ASSERT_FALSE(o.failed) << o.message;
    ASSERT_EQ(o.values[0].size(), 1u);
    ASSERT_EQ(o.values[0][0].as_array(), o.values[1]);
    for (size_t i = 0; i < literals.size(); ++i) {
        EXPECT_EQ(o.values[1][i], num(literals[i])) << literals[i];
        EXPECT_EQ(o.values[1][i].as_number().kind(), JsonNumber::from_literal(literals[i]).kind()) << literals[i];
    }
    expect_invariant(o, doc, specs);
}

}  // namespace
}  // namespace jorvane::engine::testing
