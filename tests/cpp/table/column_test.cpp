#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "table/column.h"

namespace jorvane::table {
namespace {

// The bitmap against a plain list of flags: every bit, the bits past the
// rows, the byte count and the clear-bit count.
TEST(Bitmap, MatchesAListOfFlags) {
    std::mt19937 rng(7);
    for (size_t n : {0, 1, 7, 8, 9, 17, 64, 65, 1000}) {
        for (unsigned density : {0u, 50u, 100u}) {
            Bitmap b;
            std::vector<bool> flags;
            for (size_t i = 0; i < n; ++i) {
                flags.push_back(rng() % 100 < density);
                b.push(flags.back());
            }
            ASSERT_EQ(b.length, n);
            ASSERT_EQ(b.bytes.size(), (n + 7) / 8);
            uint64_t clear = 0;
            for (size_t i = 0; i < n; ++i) {
                EXPECT_EQ(((b.bytes[i / 8] >> (i % 8)) & 1) == 1, flags[i]) << i;
                clear += flags[i] ? 0 : 1;
            }
            EXPECT_EQ(b.null_count, clear);
            if (n % 8 != 0) {
                EXPECT_EQ(b.bytes.back() >> (n % 8), 0) << "bits past the rows";
            }
        }
    }
}

TEST(NullableFromOptions, FillersBitsAndDroppedBitmaps) {
    auto a = nullable_from_options<int64_t>({1, std::nullopt, 3}, 0);
    EXPECT_EQ(a.values, (std::vector<int64_t>{1, 0, 3}));
    ASSERT_TRUE(a.validity.has_value());
    EXPECT_EQ(a.validity->bytes, std::vector<uint8_t>{0b101});
    EXPECT_EQ(a.validity->null_count, 1u);

    auto b = nullable_from_options<std::string>({"a", "b"}, "");
    EXPECT_EQ(b.values, (std::vector<std::string>{"a", "b"}));
    EXPECT_FALSE(b.validity.has_value());

    // A builder told no row is missing still records one given late.
    NullableBuilder<int64_t> late(10, false);
    for (int i = 0; i < 9; ++i) late.push(i);
    late.push_missing(0);
    auto c = std::move(late).finish();
    ASSERT_TRUE(c.validity.has_value());
    EXPECT_EQ(c.validity->bytes, (std::vector<uint8_t>{0xff, 0x01}));
}

TEST(ColumnNames, RowsAndDtypeNames) {
    using K = Column::Kind;
    auto named = [](const Column& c) { return std::to_string(c.rows()) + " " + c.dtype_name(); };
    EXPECT_EQ(named(Column::of<K::IntN>(IntNColumn{0, {{1, 2}, {}}})), "2 int8");
    EXPECT_EQ(named(Column::of<K::IntN>(IntNColumn{2, {}})), "0 int32");
    EXPECT_EQ(named(Column::of<K::Float>(FloatColumn{{1.0}, {}})), "1 float64");
    EXPECT_EQ(named(Column::of<K::Decimal>(DecimalColumn{10, 2, {{1, 2, 3}, {}}})), "3 decimal");
    EXPECT_EQ(named(Column::of<K::List>(ListColumn{std::make_unique<Column>(), {}, {0, 2, 2}})), "2 list");
    EXPECT_EQ(named(Column::of<K::Mixed>(MixedColumn(4))), "4 object");
}

}  // namespace
}  // namespace jorvane::table
