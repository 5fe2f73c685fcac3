#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "arrow_ffi/export_column.h"
#include "support/column_cells.h"
#include "table/declared.h"
#include "table/inference.h"

namespace jorvane::arrow_ffi {
namespace {

using table::Column;
using table::testing::cells;

// A column built from JSON texts (nullptr = a missing cell): inferred, or of
// the declared type when `dtype` is given.
Column column_of(std::vector<const char*> texts, const char* dtype = nullptr) {
    if (!dtype) return table::narrow_cells(cells(std::move(texts)));
    auto built = table::build_declared_column("c", cells(std::move(texts)),
                                              table::Declared{table::DType::parse(dtype).value(), true});
    EXPECT_TRUE(built.ok());
    return built.ok() ? std::move(built).value() : Column{};
}

// Counter movement since construction.
struct Delta {
    ExportCounters at = export_counters();
    uint64_t exported() const { return export_counters().exported - at.exported; }
    uint64_t released() const { return export_counters().released - at.released; }
};

template <class T>
std::vector<uint8_t> bytes_of(std::vector<T> values) {
    std::vector<uint8_t> out(values.size() * sizeof(T));
    if (!out.empty()) std::memcpy(out.data(), values.data(), out.size());
    return out;
}

std::vector<uint8_t> buffer_bytes(const ArrowArray& a, int i, size_t n) {
    const auto* p = static_cast<const uint8_t*>(a.buffers[i]);
    return std::vector<uint8_t>(p, p + n);
}

struct KindCase {
    const char* label;
    std::vector<const char*> texts;
    const char* dtype;  // null: inferred
    std::string format;
    int64_t length;
    int64_t null_count;
    int64_t n_buffers;
    std::vector<uint8_t> validity;             // empty: no bitmap (null pointer)
    std::vector<std::vector<uint8_t>> values;  // buffers 1.. with their expected bytes
};

std::vector<KindCase> kind_cases() {
    __int128 unscaled = 1234;
    std::vector<uint8_t> uuid_bytes = {0x12, 0x34, 0x56, 0x78, 0x12, 0x34, 0x56, 0x78,
                                       0x12, 0x34, 0x56, 0x78, 0x12, 0x34, 0x56, 0x78};
    return {
        {"int64", {"1", "2", "-3"}, nullptr, "l", 3, 0, 2, {}, {bytes_of<int64_t>({1, 2, -3})}},
        {"int64 with missing", {"1", nullptr, "3"}, nullptr, "l", 3, 1, 2, {0b101}, {bytes_of<int64_t>({1, 0, 3})}},
        {"int64, no rows", {}, "int64", "l", 0, 0, 2, {}, {{}}},
        {"float with missing", {"1.5", nullptr}, nullptr, "g", 2, 1, 2, {0b01}, {}},
        {"bool of 9 rows", {"true", "false", "true", "true", "false", "false", "false", "false", "true"}, nullptr,
         "b", 9, 0, 2, {}, {{0b00001101, 0b1}}},
        {"bool with missing", {"true", nullptr, "true"}, nullptr, "b", 3, 1, 2, {0b101}, {{0b101}}},
        {"str", {"\"a\"", nullptr, "\"bc\""}, nullptr, "U", 3, 1, 3, {0b101},
         {bytes_of<int64_t>({0, 1, 1, 3}), {'a', 'b', 'c'}}},
        {"str, no rows", {}, "str", "U", 0, 0, 3, {}, {bytes_of<int64_t>({0}), {}}},
        {"timestamp", {"\"1970-01-01T00:00:01Z\""}, "timestamp", "tsu:UTC", 1, 0, 2, {},
         {bytes_of<int64_t>({1000000})}},
        {"uuid", {"\"12345678-1234-5678-1234-567812345678\""}, "uuid", "w:16", 1, 0, 2, {}, {uuid_bytes}},
        {"int8", {"-1", "127"}, "int8", "c", 2, 0, 2, {}, {bytes_of<int8_t>({-1, 127})}},
        {"int16 holding -1", {"-1", nullptr}, "int16", "s", 2, 1, 2, {0b01}, {bytes_of<int16_t>({-1, 0})}},
        {"int32", {"-70000"}, "int32", "i", 1, 0, 2, {}, {bytes_of<int32_t>({-70000})}},
        {"float32", {"0.5", nullptr}, "float32", "f", 2, 1, 2, {0b01}, {}},
        {"decimal(10,2)", {"12.34"}, "decimal(10,2)", "d:10,2", 1, 0, 2, {}, {bytes_of<__int128>({unscaled})}},
        {"decimal(38,0)", {"7"}, "decimal(38,0)", "d:38,0", 1, 0, 2, {}, {bytes_of<__int128>({7})}},
        {"mixed, all absent", {nullptr, "null"}, nullptr, "n", 2, 2, 0, {}, {}},
        {"mixed, no rows", {}, nullptr, "n", 0, 0, 0, {}, {}},
    };
}

TEST(ExportColumn, EveryScalarKind) {
    for (const KindCase& c : kind_cases()) {
        SCOPED_TRACE(c.label);
        Delta delta;
        {
            auto exported = export_column("col", column_of(c.texts, c.dtype));
            ASSERT_TRUE(exported.ok());
            const ArrowSchema& s = *exported->schema.get();
            const ArrowArray& a = *exported->array.get();
            EXPECT_EQ(s.format, c.format);
            EXPECT_STREQ(s.name, "col");
            EXPECT_EQ(s.flags, ARROW_FLAG_NULLABLE);
            EXPECT_EQ(s.n_children, 0);
            EXPECT_EQ(s.children, nullptr);
            EXPECT_EQ(s.metadata, nullptr);
            EXPECT_EQ(s.dictionary, nullptr);
            EXPECT_EQ(a.length, c.length);
            EXPECT_EQ(a.null_count, c.null_count);
            EXPECT_EQ(a.offset, 0);
            EXPECT_EQ(a.n_children, 0);
            ASSERT_EQ(a.n_buffers, c.n_buffers);
            ASSERT_NE(a.buffers, nullptr);
            if (c.n_buffers > 0) {
                if (c.validity.empty()) {
                    EXPECT_EQ(a.buffers[0], nullptr);
                } else {
                    ASSERT_NE(a.buffers[0], nullptr);
                    EXPECT_EQ(buffer_bytes(a, 0, c.validity.size()), c.validity);
                }
            }
            for (size_t i = 0; i < c.values.size(); ++i) {
                ASSERT_NE(a.buffers[i + 1], nullptr) << "buffer " << i + 1;
                EXPECT_EQ(buffer_bytes(a, static_cast<int>(i + 1), c.values[i].size()), c.values[i]);
            }
            EXPECT_EQ(delta.exported(), 1u);
            EXPECT_EQ(delta.released(), 0u);
        }
        EXPECT_EQ(delta.released(), 1u);
    }
}

TEST(ExportColumn, FloatsKeepTheirFillers) {
    auto exported = export_column("f", column_of({"1.5", nullptr}));
    ASSERT_TRUE(exported.ok());
    const auto* values = static_cast<const double*>(exported->array->buffers[1]);
    EXPECT_EQ(values[0], 1.5);
    EXPECT_TRUE(std::isnan(values[1]));
    auto narrow = export_column("f", column_of({"0.5", nullptr}, "float32"));
    ASSERT_TRUE(narrow.ok());
    EXPECT_EQ(static_cast<const float*>(narrow->array->buffers[1])[0], 0.5f);
}

TEST(ExportColumn, FixedWidthValuesAndBitmapsAreNotCopied) {
    Column c = column_of({"1", nullptr, "3"});
    const void* values = c.as<Column::Kind::Int64>().values.data();
    const void* bits = c.as<Column::Kind::Int64>().validity->bytes.data();
    auto exported = export_column("id", std::move(c));
    ASSERT_TRUE(exported.ok());
    EXPECT_EQ(exported->array->buffers[0], bits);
    EXPECT_EQ(exported->array->buffers[1], values);

    Column list = column_of({"[1,2]", nullptr});
    const void* offsets = list.as<Column::Kind::List>().offsets.data();
    auto exported_list = export_column("l", std::move(list));
    ASSERT_TRUE(exported_list.ok());
    EXPECT_EQ(exported_list->array->buffers[1], offsets);
}

TEST(ExportColumn, ListsExportTheirChildAsItem) {
    struct Case {
        std::vector<const char*> texts;
        std::string child_format;
        int64_t child_length;
        std::vector<int64_t> offsets;
        int64_t null_count;
    };
    const std::vector<Case> lists = {
        {{"[1,2]", nullptr, "[]"}, "l", 2, {0, 2, 2, 2}, 1},
        {{"[\"a\"]", "[\"b\",\"c\"]"}, "U", 3, {0, 1, 3}, 0},
        {{"[]", "[]"}, "n", 0, {0, 0, 0}, 0},  // no element: a child of the null type
        {{"[1.5, null]"}, "g", 2, {0, 2}, 0},
    };
    for (const Case& c : lists) {
        SCOPED_TRACE(c.child_format);
        Delta delta;
        {
            Column list = column_of(c.texts);
            EXPECT_FALSE(export_refusal("tags", list));
            auto exported = export_column("tags", std::move(list));
            ASSERT_TRUE(exported.ok());
            const ArrowSchema& s = *exported->schema.get();
            const ArrowArray& a = *exported->array.get();
            EXPECT_STREQ(s.format, "+L");
            ASSERT_EQ(s.n_children, 1);
            EXPECT_STREQ(s.children[0]->name, "item");
            EXPECT_EQ(s.children[0]->format, c.child_format);
            EXPECT_EQ(s.children[0]->flags, ARROW_FLAG_NULLABLE);
            EXPECT_EQ(a.length, static_cast<int64_t>(c.offsets.size() - 1));
            EXPECT_EQ(a.null_count, c.null_count);
            ASSERT_EQ(a.n_buffers, 2);
            EXPECT_EQ(buffer_bytes(a, 1, c.offsets.size() * 8), bytes_of(c.offsets));
            ASSERT_EQ(a.n_children, 1);
            EXPECT_EQ(a.children[0]->length, c.child_length);
            EXPECT_EQ(delta.exported(), 2u);  // the list and its child
        }
        EXPECT_EQ(delta.released(), 2u);
    }
}

TEST(ExportColumn, RefusalsNameTheColumnAndMoveNoCounter) {
    struct Case {
        std::vector<const char*> texts;
        std::string message;
    };
    const std::vector<Case> refused = {
        {{"{\"a\":1}", nullptr, "{}"},
         "column \"c\\\"x\" holds JSON objects; struct columns are deliberately not supported \u2014 extract the fields "
         "you need as their own columns (e.g. \"c\"x.field\"), or take the rows via to_dict()"},
        {{"[1]", "[[2]]"},
         "column \"c\\\"x\" holds arrays with no single element type (nested or mixed-element lists); only one level "
         "of like-typed list is supported \u2014 flatten with a deeper path (e.g. \"c\"x[*]\"), or take the rows via "
         "to_dict()"},
        {{"[{\"a\":1}]"},
         "column \"c\\\"x\" holds arrays with no single element type (nested or mixed-element lists); only one level "
         "of like-typed list is supported \u2014 flatten with a deeper path (e.g. \"c\"x[*]\"), or take the rows via "
         "to_dict()"},
        {{"[1]", "\"s\""},
         "column \"c\\\"x\" holds mixed types and has no single Arrow type; convert with to_dict()/to_polars(), or "
         "declare a dtype to narrow the data"},
        {{"1", "\"s\"", nullptr},
         "column \"c\\\"x\" holds mixed types and has no single Arrow type; convert with to_dict()/to_polars(), or "
         "declare a dtype to narrow the data"},
    };
    for (const Case& c : refused) {
        Delta delta;
        Column column = column_of(c.texts);
        ASSERT_EQ(column.kind(), Column::Kind::Mixed);
        // The same refusal is found beforehand, leaving the column as it was.
        const auto found = export_refusal("c\"x", column);
        ASSERT_TRUE(found);
        EXPECT_EQ(found->message, c.message);
        EXPECT_EQ(column.rows(), c.texts.size());
        auto exported = export_column("c\"x", std::move(column));
        ASSERT_FALSE(exported.ok());
        EXPECT_EQ(exported.error().message, c.message);
        EXPECT_EQ(delta.exported(), 0u);
        EXPECT_EQ(delta.released(), 0u);
    }
    // A list whose elements cannot be exported is refused by its child's name.
    table::ListColumn list;
    list.offsets = {0, 2};
    list.child = std::make_unique<Column>(column_of({"1", "\"s\""}));
    Column column = Column::of<Column::Kind::List>(std::move(list));
    const auto found = export_refusal("tags", column);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->message.substr(0, 35), "column \"item\" holds mixed types and");
    auto exported = export_column("tags", std::move(column));
    ASSERT_FALSE(exported.ok());
    EXPECT_EQ(exported.error().message, found->message);
}

TEST(ExportColumn, ANameHoldingNulIsExportedEmpty) {
    auto exported = export_column(std::string_view("a\0b", 3), column_of({"1"}));
    ASSERT_TRUE(exported.ok());
    EXPECT_STREQ(exported->schema->name, "");
}

TEST(Records, MovedRecordsAreReleasedOnceByTheirLastHolder) {
    Delta delta;
    {
        auto exported = export_column("id", column_of({"[1]", "[2,3]"}));
        ASSERT_TRUE(exported.ok());
        Exported first = std::move(exported.value());
        Exported second = std::move(first);
        EXPECT_EQ(first.array->release, nullptr);
        EXPECT_EQ(first.schema->release, nullptr);
        // A consumer's move: the record is copied and the source's callback cleared.
        ArrowArray raw = second.array.take();
        ArrowSchema raw_schema = second.schema.take();
        EXPECT_EQ(second.array->release, nullptr);
        EXPECT_EQ(delta.released(), 0u);
        raw.release(&raw);
        EXPECT_EQ(raw.release, nullptr);
        EXPECT_EQ(raw.private_data, nullptr);
        EXPECT_EQ(delta.released(), 2u);
        release_array(&raw);  // a second release finds nothing to do
        release_array(nullptr);
        raw_schema.release(&raw_schema);
        EXPECT_EQ(raw_schema.release, nullptr);
        release_schema(&raw_schema);
    }
    EXPECT_EQ(delta.exported(), 2u);
    EXPECT_EQ(delta.released(), 2u);
}

TEST(Records, AChildMovedOutByTheConsumerIsReleasedByItsNewHolder) {
    Delta delta;
    auto exported = export_column("tags", column_of({"[1,2]"}));
    ASSERT_TRUE(exported.ok());
    ArrowArray* child = exported->array->children[0];
    OwnedArray moved_child(*child);
    child->release = nullptr;
    exported->array.reset();
    EXPECT_EQ(delta.released(), 1u);  // the parent only
    EXPECT_NE(moved_child->release, nullptr);
    moved_child.reset();
    EXPECT_EQ(delta.released(), 2u);
    EXPECT_EQ(delta.exported(), 2u);
}

TEST(Records, HandOverReleasesWhatNoHolderTook) {
    enum class Fail { None, Schema, Array };
    for (Fail fail : {Fail::None, Fail::Schema, Fail::Array}) {
        Delta delta;
        std::vector<Box<ArrowSchema>> schemas;
        std::vector<Box<ArrowArray>> arrays;
        bool array_offered = false;
        auto exported = export_column("tags", column_of({"[1,2]", "[3]"}));
        ASSERT_TRUE(exported.ok());
        const bool ok = hand_over(
            std::move(exported.value()),
            [&](Box<ArrowSchema>& b) {
                if (fail == Fail::Schema) return false;
                schemas.push_back(std::move(b));
                return true;
            },
            [&](Box<ArrowArray>& b) {
                array_offered = true;
                if (fail == Fail::Array) return false;
                arrays.push_back(std::move(b));
                return true;
            });
        EXPECT_EQ(ok, fail == Fail::None);
        EXPECT_EQ(array_offered, fail != Fail::Schema);
        // What was not taken is released at once (list and child: 2 arrays).
        EXPECT_EQ(delta.released(), fail == Fail::None ? 0u : 2u);
        EXPECT_EQ(schemas.size(), fail == Fail::Schema ? 0u : 1u);
        if (!schemas.empty()) {
            EXPECT_NE(schemas[0]->release, nullptr);
        }
        schemas.clear();
        arrays.clear();
        EXPECT_EQ(delta.exported(), 2u);
        EXPECT_EQ(delta.released(), 2u);
    }
}

}  // namespace
}  // namespace jorvane::arrow_ffi
