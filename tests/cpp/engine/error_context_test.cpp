// The context of an error is the input around it, 64 bytes either side of
// its offset (fewer at the start and end of the input), however the input
// was cut into buffers: errors at a token that began buffers before the one
// where the walk found it, deep inside a long string or number, at a key
// read long before its value, and just before a buffer's end all show the
// same bytes as the document scanned whole. An error found after the last
// buffer shows nothing.
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
};

std::string pad(size_t n, char c) { return std::string(n, c); }

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
    return table;
}

std::string expected_context(const ContextRow& row) {
    if (!row.shown) return "";
    const uint64_t from = near_begin(row.offset);
    const uint64_t to = std::min<uint64_t>(near_end(row.offset), row.doc.size());
    return lossy_utf8(std::string_view(row.doc).substr(from, to - from));
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
                ASSERT_NO_FATAL_FAILURE(expect_context(row, opt, how + " whole"));
                opt.cuts = every_byte(row.doc.size());
                ASSERT_NO_FATAL_FAILURE(expect_context(row, opt, how + " byte per buffer"));
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
