// The into= sink: what a numeric bucket reads from each kind of value, and
// how a plain bucket grows.
#include "engine/into_sink.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "support/value_literals.h"

namespace jorvane::engine {
namespace {

using testing::json;

std::vector<Value> values_of(const std::vector<std::string>& texts) {
    std::vector<Value> out;
    for (const auto& t : texts) out.push_back(json(t));
    return out;
}

TEST(IntoSink, NumericBucketsReadNumbersAndNumericStrings) {
    IntoSink sink({{0, StreamKind::Values}}, {true});
    sink.accept(0, StreamKind::Values,
                values_of({"\"1\"", "2", "2.5", "\"x\"", "null", "true", "[1]", "\" 3 \"", "\"nan\"", "\"inf\"",
                           "\"Infinity\"", "-7e-1", "123456789012345678901234567890", "1e400", "{}"}));
    const auto& b = sink.buckets()[0];
    EXPECT_EQ(b.floats, (std::vector<double>{1.0, 2.0, 2.5, 3.0, -0.7, 123456789012345678901234567890.0,
                                             std::numeric_limits<double>::infinity()}));
    EXPECT_EQ(b.skipped, 8u);
    EXPECT_TRUE(b.values.empty());
}

// A run over several sources empties the buckets only at its end, so one
// bucket may take many small batches: it must not be reallocated for each.
TEST(IntoSink, PlainBucketsGrowGeometrically) {
    IntoSink sink({{0, StreamKind::Values}}, {false});
    auto& values = sink.buckets()[0].values;
    size_t moves = 0;
    const Value* last = nullptr;
    for (int i = 0; i < 4000; ++i) {
        sink.accept(0, StreamKind::Values, values_of({"1", "2"}));
        if (values.data() != last) ++moves;
        last = values.data();
    }
    EXPECT_EQ(values.size(), 8000u);
    EXPECT_LE(moves, 20u);
}

}  // namespace
}  // namespace jorvane::engine
