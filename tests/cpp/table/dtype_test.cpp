#include <gtest/gtest.h>

#include <string>

#include "table/dtype.h"

namespace jorvane::table {
namespace {

TEST(DTypeParse, AcceptedSpellingsReadBackAsTheirCanonicalName) {
    const std::pair<const char*, const char*> cases[] = {
        {"int64", "int64"}, {"int", "int64"}, {"int32", "int32"}, {"int16", "int16"}, {"int8", "int8"},
        {"float64", "float64"}, {"float", "float64"}, {"float32", "float32"}, {"bool", "bool"}, {"boolean", "bool"},
        {"str", "str"}, {"string", "str"}, {"utf8", "str"}, {"timestamp", "timestamp"}, {"datetime", "timestamp"},
        {"uuid", "uuid"}, {"decimal(10,2)", "decimal(10,2)"}, {"decimal( 10 , 2 )", "decimal(10,2)"},
        {"decimal(+10,+2)", "decimal(10,2)"}, {"decimal(0010,002)", "decimal(10,2)"}, {"decimal(38,38)", "decimal(38,38)"},
        {"decimal(\t1\n,\u00a00\u3000)", "decimal(1,0)"},
    };
    for (const auto& [text, name] : cases) {
        auto t = DType::parse(text);
        ASSERT_TRUE(t.has_value()) << text;
        EXPECT_EQ(t->name(), name) << text;
        EXPECT_EQ(DType::parse(name), t) << text;
    }
    EXPECT_EQ(DType::parse("int16")->width, 1);
    EXPECT_EQ(DType::parse("decimal(7,3)")->precision, 7);
    EXPECT_EQ(DType::parse("decimal(7,3)")->scale, 3);
}

TEST(DTypeParse, RefusedSpellings) {
    const char* cases[] = {
        "", "Int64", "int64 ", " int64", "int128", "double", "bool?", "decimal", "decimal()", "decimal(10)",
        "decimal(10,)", "decimal(,2)", "decimal(0,0)", "decimal(39,0)", "decimal(5,6)", "decimal(256,0)",
        "decimal(-1,0)", "decimal(10,-0)", "decimal(+,2)", "decimal(++10,2)", "decimal(1 0,2)", "decimal(10,2,3)",
        "decimal(10,2))", "decimal(10,2", "decimal (10,2)", "Decimal(10,2)", " decimal(10,2)", "decimal(10.0,2)",
        "decimal(99999999999999999999,2)", ("decimal(\xff" "10,2)"),
    };
    for (const char* text : cases) EXPECT_FALSE(DType::parse(text).has_value()) << text;
}

TEST(DTypeParse, EveryPrecisionAndScaleAgainstTheBounds) {
    for (int p = 0; p <= 40; ++p) {
        for (int s = 0; s <= 40; ++s) {
            const std::string text = "decimal(" + std::to_string(p) + "," + std::to_string(s) + ")";
            EXPECT_EQ(DType::parse(text).has_value(), p >= 1 && p <= 38 && s <= p) << text;
        }
    }
}

}  // namespace
}  // namespace jorvane::table
