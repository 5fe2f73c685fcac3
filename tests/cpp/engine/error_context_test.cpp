// The context of an error is the input around it, 64 bytes either side of
// its offset (fewer at the start and end of the input), however the input
// was cut into buffers: errors at a token that began buffers before the one
// where the walk found it, deep inside a long string or number, at a key
// read long before its value, in a value kept as text, and just before a
// buffer's end all show the same bytes as the document scanned whole. An
// error found after the last buffer shows nothing.
//
// The documents are built from text that never repeats (numbered words,
// the digits of 1, 2, 3, ... in a row), so a window off by a byte shows
// other text, and each is checked against the slice of the document itself.
#include <gtest/gtest.h>

#include "engine_harness.h"
#include "util/text.h"

namespace jorvane::engine::testing {
namespace {

struct ContextRow {
    std::string label;
    std::string doc;
    std::vector<QuerySpec> specs;
    uint64_t offset;
    bool shown = true;  // false: found after the last buffer, no context
    bool raw = false;   // the values of the query are kept as text (NDJSON whole rows)
    // The token the error is about, [first byte, end): the test cuts buffers
    // around both ends. Empty: the byte at the offset.
    std::pair<size_t, size_t> token{0, 0};
};

std::string pad(size_t n, char c) { return std::string(n, c); }

// `n` bytes of distinct numbered words: "w0 w1 w2 ...".
std::string words(size_t n) {
    std::string s;
    for (size_t i = 0; s.size() < n; ++i) s += "w" + std::to_string(i) + " ";
    s.resize(n);
    return s;
}

// `n` digits of the numbers 1, 2, 3, ... written one after the other.
std::string digits(size_t n) {
    std::string s;
    for (size_t i = 1; s.size() < n; ++i) s += std::to_string(i);
    s.resize(n);
    return s;
}

// Long tokens of text that never repeats, refused where buffers before the
// one that ends them hold the bytes on either side of the error.
std::vector<ContextRow> distinct_rows() {
    const std::string lead = "[\"" + words(90) + "\",";
    const size_t at = lead.size() + 2;  // the token after "5 "
    std::string broken = digits(231);
    broken[150] = 'x';
    // A row kept as text after one that is not: the array its member "n"
    // holds is skipped and its text checked, which refuses the number in it.
    const std::string row = "[1]\n{\"k\":\"" + words(100) + "\",\"n\":[";
    const std::vector<QuerySpec> count{{"[*]", {M::Count}}};
    const std::vector<QuerySpec> values{{"[*]", {M::Values}}};
    const std::vector<QuerySpec> kept{{"", {M::Count}}};
    return {
        {"long string out of place, distinct words", lead + "5 \"" + words(260) + "\"]", count, at, true, false,
         {at, at + 262}},
        {"long atom out of place, distinct digits", lead + "5 " + digits(260) + "]", count, at, true, false,
         {at, at + 260}},
        {"escape deep in a long string, distinct words", lead + "\"" + words(120) + "\\q" + words(100) + "\"]", values,
         lead.size() + 122, true, false, {lead.size(), lead.size() + 224}},
        {"number broken deep inside, distinct digits", lead + broken + "]", values, lead.size() + 150, true, false,
         {lead.size(), lead.size() + 231}},
        {"kept text: number broken at its second byte", row + "0" + digits(260) + "]}\n[2]", kept, row.size() + 1,
         true, true, {row.size(), row.size() + 261}},
        {"kept text: number broken deep inside", row + broken + "]}\n[2]", kept, row.size() + 150, true, true,
         {row.size(), row.size() + 231}},
    };
}

const std::vector<ContextRow>& rows() {
    const std::string lead = "[\"" + pad(90, 'a') + "\",";
    static const std::vector<ContextRow> table = {
        {"close without open", "[1,2]]", {{"[*]", {M::Count}}}, 5},
        {"error at the first byte", "]" + pad(100, ' '), {{"[*]", {M::Count}}}, 0},
        {"long atom out of place", lead + "5 " + pad(150, '7') + "]", {{"[*]", {M::Count}}}, lead.size() + 2},
        {"long string out of place", lead + "5 \"" + pad(150, 's') + "\"]", {{"[*]", {M::Count}}}, lead.size() + 2},
        {"escape deep in a long string", lead + "\"" + pad(120, 'x') + "\\q" + pad(100, 'y') + "\"]",
         {{"[*]", {M::Values}}}, lead.size() + 1 + 120 + 1},
        {"number broken deep inside", lead + pad(150, '1') + "x" + pad(80, '2') + "]", {{"[*]", {M::Values}}},
         lead.size() + 150},
        {"number broken in a kept container", "[[" + pad(100, ' ') + pad(150, '1') + "x" + pad(70, '2') + "]]",
         {{"[*]", {M::Values}}}, 2 + 100 + 150},
        {"key read long before its value", "{\"k\\q\"" + pad(200, ' ') + ":" + pad(100, ' ') + "[1]}",
         {{"*", {M::KeyedValues}}}, 4},
        {"key read long before its scalar", "{\"k\\q\"" + pad(200, ' ') + ":" + pad(100, ' ') + "1}",
         {{"*", {M::KeyedValues}}}, 4},
        {"error after a long run of spaces", "[1" + pad(300, ' ') + "2]", {{"[*]", {M::Count}}}, 302},
        // The window starts in the middle of a euro sign and ends inside an e acute.
        {"characters cut at both window ends",
         "[\"" + pad(60, 'e') + "\xE2\x82\xAC\"" + pad(61, ' ') + "1" + pad(62, 'f') + "\xC3\xA9]",
         {{"[*]", {M::Count}}}, 127},
        {"input ends with a container open", "[1," + pad(100, ' '), {{"[*]", {M::Count}}}, 103, false},
        {"input ends in a long string", "[\"" + pad(200, 'z'), {{"[*]", {M::Count}}}, 202, false},
    };
    static const std::vector<ContextRow> all = [&] {
        std::vector<ContextRow> rows = table;
        for (ContextRow& row : distinct_rows()) rows.push_back(std::move(row));
        return rows;
    }();
    return all;
}

// The 64 bytes before the offset and the 64 from it on, cut from the
// document.
std::string expected_context(const ContextRow& row) {
    if (!row.shown) return "";
    const size_t from = row.offset < 64 ? 0 : row.offset - 64;
    return lossy_utf8(row.doc.substr(from, row.offset + 64 - from));
}

void expect_context(const ContextRow& row, const RunOptions& opt, const std::string& how) {
    const Outcome o = run(row.doc, row.specs, opt);
    ASSERT_TRUE(o.failed) << row.label << " " << how;
    ASSERT_EQ(o.offset, row.offset) << row.label << " " << how << ": " << o.message;
    ASSERT_EQ(o.context, expected_context(row)) << row.label << " " << how;
}

TEST(ErrorContext, TheInputAroundTheErrorWhereverTheBuffersEnd) {
    for (const ContextRow& row : rows()) {
        for (auto kernel : supported_kernels()) {
            for (const ScanMode& mode : {ScanMode::serial(), ScanMode::batched(8), ScanMode::pipelined_always(4)}) {
                const std::string how = mode_name(mode) + " " + std::to_string(static_cast<int>(kernel));
                RunOptions opt;
                opt.kernel = kernel;
                opt.mode = mode;
                opt.raw = row.raw;
                ASSERT_NO_FATAL_FAILURE(expect_context(row, opt, how + " whole"));
                opt.cuts = every_byte(row.doc.size());
                ASSERT_NO_FATAL_FAILURE(expect_context(row, opt, how + " byte per buffer"));
                // Three buffers: the token begins in the first or the
                // second, ends in the second or the third.
                const auto [first, end] =
                    row.token.second > 0 ? row.token : std::pair<size_t, size_t>{row.offset, row.offset + 1};
                for (size_t a = first > 3 ? first - 3 : 1; a <= first + 3; ++a) {
                    for (size_t b = std::max(a + 1, end > 3 ? end - 3 : 0); b <= end + 3 && b < row.doc.size(); ++b) {
                        opt.cuts = {a, b};
                        ASSERT_NO_FATAL_FAILURE(expect_context(
                            row, opt, how + " cuts at " + std::to_string(a) + " and " + std::to_string(b)));
                    }
                }
                if (mode.kind != ScanMode::Batched) continue;
                for (size_t cut = 1; cut < row.doc.size(); ++cut) {
                    opt.cuts = {cut};
                    ASSERT_NO_FATAL_FAILURE(expect_context(row, opt, how + " cut at " + std::to_string(cut)));
                }
            }
        }
    }
}

}  // namespace
}  // namespace jorvane::engine::testing
