// NDJSON projected from a table read in ranges by several walkers against
// one engine over the whole input: random records of every cell kind, whole
// or broken, read from a mapped file and from sequential input. The lines
// and the first error (kind, offset and text) must be equal.
#include <gtest/gtest.h>

#include <string>

#include "ndjson/emitter.h"
#include "support/random_tables.h"

namespace jorvane::ndjson {
namespace {

std::string projected(const table::testing::TableInput& in, const table::TableSpec& spec,
                      table::TableSplitOptions w, bool) {
    Fields fields;
    for (const auto& [name, path] : spec.columns) fields.emplace_back(name, path);
    const EmittedLines lines = emit_all(spec.rows, fields, spec.on_multi, spec.limit, engine::ScanMode::batched(8),
                                        in.open(), w);
    std::string out;
    for (const std::string& l : lines.lines) out += l + "\n";
    if (lines.error) out += "error " + table::testing::error_text(*lines.error) + "\n";
    return out;
}

TEST(ProjectedSplit, LinesMatchOneEngine) { table::testing::check_random_tables(projected); }

}  // namespace
}  // namespace jorvane::ndjson
