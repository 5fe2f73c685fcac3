// Structural profiles: paths, counts, types, distinct scalars and depth for
// small documents; the same profile for every buffer cut, mode and kernel;
// paths told apart by their text alone; nesting up to the limit and past it.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "engine/describer.h"
#include "engine/engine.h"
#include "engine_harness.h"

namespace jorvane::engine::testing {
namespace {

struct PathRow {
    std::string path;
    uint64_t count;
    std::map<std::string, uint64_t> types;
    int64_t distinct;  // -1: overflowed
    bool operator==(const PathRow&) const = default;
};

struct Profile {
    std::vector<PathRow> rows;
    uint64_t max_depth = 0;
    bool failed = false;
    bool operator==(const Profile&) const = default;
};

Profile profile(std::string_view doc, uint64_t cap = 1000, const RunOptions& opt = {}) {
    Engine e(opt.mode);
    e.set_kernel(opt.kernel);
    e.attach_describer(Describer(cap));
    Outcome o = run_engine(e, doc, opt.cuts);
    std::optional<Describer> d = e.take_describer();
    Profile p;
    p.failed = o.failed;
    p.max_depth = d->max_depth();
    for (size_t i = 0; i < d->path_count(); ++i) {
        const PathStats& s = d->stats(i);
        PathRow r{d->path_text(i), s.count, {}, s.overflowed ? -1 : static_cast<int64_t>(s.fingerprints.size())};
        for (int t = 0; t < kJsonTypeCount; ++t)
            if (s.types[t]) r.types[json_type_name(static_cast<JsonType>(t))] = s.types[t];
        p.rows.push_back(r);
    }
    return p;
}

TEST(Describer, PathsCountsTypesAndDistinct) {
    struct Case {
        std::string doc;
        uint64_t cap;
        std::vector<PathRow> rows;
        uint64_t max_depth;
    };
    const Case cases[] = {
        {R"({"a":1})", 1000, {{"$", 1, {{"object", 1}}, 0}, {"a", 1, {{"number", 1}}, 1}}, 1},
        {"[[1,2],[3]]", 1000,
         {{"$", 1, {{"array", 1}}, 0}, {"[]", 2, {{"array", 2}}, 0}, {"[][]", 3, {{"number", 3}}, 3}}, 2},
        {R"({"a":1} {"a":"x"})", 1000, {{"$", 2, {{"object", 2}}, 0}, {"a", 2, {{"number", 1}, {"string", 1}}, 2}}, 1},
        // The same raw bytes are one distinct value; 1.0 and 1 are two.
        {R"(["1",1,1.0,true,null,"x"])", 1000,
         {{"$", 1, {{"array", 1}}, 0}, {"[]", 6, {{"string", 2}, {"number", 2}, {"boolean", 1}, {"null", 1}}, 5}}, 1},
        // false is a boolean like true, not a number.
        {"[false,0,true,false]", 1000,
         {{"$", 1, {{"array", 1}}, 0}, {"[]", 4, {{"boolean", 3}, {"number", 1}}, 3}}, 1},
        // Two keys whose paths share a rolling hash are still two paths.
        {R"({"ffydbdvhwnjyve":1,"mmmmmmmmmmmmmm":"x","ffydbdvhwnjyve":2})", 1000,
         {{"$", 1, {{"object", 1}}, 0},
          {"ffydbdvhwnjyve", 2, {{"number", 2}}, 2},
          {"mmmmmmmmmmmmmm", 1, {{"string", 1}}, 1}},
         1},
        {"[1,2,2]", 2, {{"$", 1, {{"array", 1}}, 0}, {"[]", 3, {{"number", 3}}, 2}}, 1},
        {"[1,2,3]", 2, {{"$", 1, {{"array", 1}}, 0}, {"[]", 3, {{"number", 3}}, -1}}, 1},
        {"[1]", 0, {{"$", 1, {{"array", 1}}, 0}, {"[]", 1, {{"number", 1}}, -1}}, 1},
        // Keys as written, escapes included; an empty key at the top has the empty path.
        {R"({"k\u0041":{"":[{"b":null}]},"":7})", 1000,
         {{"$", 1, {{"object", 1}}, 0},
          {"k\\u0041", 1, {{"object", 1}}, 0},
          {"k\\u0041.", 1, {{"array", 1}}, 0},
          {"k\\u0041.[]", 1, {{"object", 1}}, 0},
          {"k\\u0041.[].b", 1, {{"null", 1}}, 1},
          {"", 1, {{"number", 1}}, 1}},
         4},
        // Paths are their text: a dotted key meets the nested member.
        {R"({"a.b":1,"a":{"b":2}} {"":{"c":3},"c":4})", 1000,
         {{"$", 2, {{"object", 2}}, 0},
          {"a.b", 2, {{"number", 2}}, 2},
          {"a", 1, {{"object", 1}}, 0},
          {"", 1, {{"object", 1}}, 0},
          {"c", 2, {{"number", 2}}, 2}},
         2},
        // Records that change their keys' order or spell a nested path with
        // a dotted key after it was met at the same place.
        {R"({"a":{"b":1}} {"a.b":2} {"a":{"b":3}} {"b":1,"a":2} {"a":3,"b":"x"})", 1000,
         {{"$", 5, {{"object", 5}}, 0},
          {"a", 4, {{"object", 2}, {"number", 2}}, 2},
          {"a.b", 3, {{"number", 3}}, 3},
          {"b", 2, {{"number", 1}, {"string", 1}}, 2}},
         2},
        {"", 1000, {}, 0},
    };
    for (const Case& c : cases) {
        Profile p = profile(c.doc, c.cap);
        EXPECT_FALSE(p.failed) << c.doc;
        EXPECT_EQ(p.rows, c.rows) << c.doc;
        EXPECT_EQ(p.max_depth, c.max_depth) << c.doc;
    }
}

TEST(Describer, SameProfileForEveryCutModeAndKernel) {
    const std::string doc =
        R"({"id":1,"user":{"name":"a\"b","tags":["x","y"]},"events":[{"t":"v","n":[1,2.5e3]},{"t":"c"}]})"
        "\n"
        R"({"id":2,"user":{"name":"c","tags":[]},"events":[],"skip":{"deep":[[[{"z":true}]]]}})";
    const Profile whole = profile(doc);
    ASSERT_EQ(whole.rows.size(), 17u);
    for (auto k : supported_kernels())
        for (auto mode : {ScanMode::serial(), ScanMode::batched(8), ScanMode::pipelined(4)})
            for (auto cuts : {std::vector<size_t>{}, every_byte(doc.size()), std::vector<size_t>{63, 64, 65, 130}}) {
                RunOptions opt;
                opt.mode = mode;
                opt.kernel = k;
                opt.cuts = cuts;
                EXPECT_EQ(profile(doc, 1000, opt), whole) << classification_kernel::kernel_name(k);
            }
}

TEST(Describer, NestingToTheLimitIsProfiledAndDeeperIsRefused) {
    // Every level is a new path, stored as parent plus segment.
    const size_t limit = kNestingLimit;
    std::string deepest(limit, '[');
    deepest += "1";
    deepest.append(limit, ']');
    Engine e(ScanMode::batched(8));
    e.attach_describer(Describer());
    Outcome o = run_engine(e, deepest, {100, 1 << 10});
    ASSERT_FALSE(o.failed) << o.message;
    std::optional<Describer> d = e.take_describer();
    EXPECT_EQ(d->max_depth(), limit);
    ASSERT_EQ(d->path_count(), limit + 1);
    EXPECT_EQ(d->path_length(limit), 2 * limit);
    EXPECT_EQ(d->path_text(3), "[][][]");
    EXPECT_EQ(d->stats(limit).types[static_cast<int>(JsonType::Number)], 1u);

    // One level more, of either kind, is refused at its opening bracket,
    // wherever the buffers are cut; an endless run of brackets stops there,
    // and the profile holds no path below the limit.
    std::string objects;
    for (size_t i = 0; i < limit; ++i) objects += R"({"k":)";
    const struct {
        std::string doc;
        uint64_t offset;
    } refused[] = {
        {std::string(limit + 1, '[') + std::string(limit + 1, ']'), limit},
        {objects + "[1]" + std::string(limit, '}'), 5 * limit},
        {std::string(size_t{1} << 20, '['), limit},
    };
    for (const auto& c : refused)
        for (auto mode : {ScanMode::serial(), ScanMode::batched(32), ScanMode::pipelined_always(16)})
            for (const std::vector<size_t>& cuts : {std::vector<size_t>{}, std::vector<size_t>{limit, limit + 1},
                                                     std::vector<size_t>{64 * 7 + 3, 1 << 16}}) {
                Engine r(mode);
                r.attach_describer(Describer());
                Outcome bad = run_engine(r, c.doc, cuts);
                const std::string where = c.doc.substr(0, 12) + " " + mode_name(mode);
                ASSERT_TRUE(bad.failed) << where;
                EXPECT_FALSE(bad.incomplete) << where;
                EXPECT_EQ(bad.kind, ParseErrorKind::nesting_too_deep()) << where;
                EXPECT_EQ(bad.offset, c.offset) << where;
                std::optional<Describer> p = r.take_describer();
                EXPECT_EQ(p->max_depth(), limit) << where;
                EXPECT_LE(p->path_count(), limit + 1) << where;
            }
}

}  // namespace
}  // namespace jorvane::engine::testing
