// JSON text of values and the compaction of raw rows: exact escapes and
// numbers, and two properties over random values: the writer's text reads
// back as the same value, and a raw row spread over lines with random white
// space compacts to the writer's one-line text.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "ndjson/json_writer.h"
#include "ndjson/raw_row.h"
#include "support/value_literals.h"

namespace jorvane::ndjson {
namespace {

using engine::Value;

Value json(std::string_view text) { return engine::testing::JsonText(text).parse(); }

std::string written(const Value& v) {
    std::string out;
    write_json_value(v, out);
    return out;
}

std::string compacted(std::string_view span) {
    std::string out;
    append_raw_row(span, out);
    return out;
}

TEST(JsonWriter, StringEscapes) {
    struct Case {
        std::string text, expected;
    };
    const Case cases[] = {
        {"", R"("")"},
        {"plain / text \x7f", "\"plain / text \x7f\""},
        {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
        {"\x01\x1f\x0b", R"("\u0001\u001f\u000b")"},
        {"say \"hi\" \\ bye", R"("say \"hi\" \\ bye")"},
        {"caf\xc3\xa9 \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xf0\x9f\x98\x80\""},
        {std::string("nul\0byte", 8), R"("nul\u0000byte")"},
    };
    for (const Case& c : cases) {
        std::string out = "prefix:";
        write_json_string(c.text, out);
        EXPECT_EQ(out, "prefix:" + c.expected);
    }
}

TEST(JsonWriter, Values) {
    const std::pair<const char*, const char*> cases[] = {
        {"null", "null"},
        {"true", "true"},
        {"-0", "0"},
        {"-9223372036854775808", "-9223372036854775808"},
        {"12345678901234567890", "12345678901234567890"},
        {"1.50", "1.50"},
        {"-1E+300", "-1E+300"},
        {R"( [ 1 , "a\u00e9\/" , [ ] , { } ] )", "[1,\"a\xc3\xa9/\",[],{}]"},
        {R"({"b": 1, "a": {"x": null}, "b": [true, false]})", R"({"b":1,"a":{"x":null},"b":[true,false]})"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(written(json(text)), expected) << text;
}

TEST(RawRow, Lines) {
    struct Case {
        std::string span, expected;
    };
    const Case cases[] = {
        // Without a line break the text is the line, white space and all.
        {"{\"a\": 1,\t\"b\" : [1, 2]}", "{\"a\": 1,\t\"b\" : [1, 2]}"},
        {R"("s\"t\u00e9")", R"("s\"t\u00e9")"},
        {"-0", "-0"},
        // With one, white space outside strings goes, strings stay as written.
        {"{\n  \"a\" : \"x y\",\r\n  \"b\": [1.50,\n 2]\n}", R"({"a":"x y","b":[1.50,2]})"},
        {"[\n\"q\\\" \\\\\", \"\\/\"\n]", R"(["q\" \\","\/"])"},
        // Control bytes inside a string become escapes, so no line breaks.
        {"[\n\"a\tb\nc\rd\x01\"]", R"(["a\tb\nc\rd\u0001"])"},
        {"[\"\\\n\"\n]", R"(["\\n"])"},
        // Outside strings a quote after a backslash (in a literal the scan
        // lets through) opens none; white space between an atom and another
        // token than a bracket, comma or colon stays one space.
        {"{\"a\":t\\\",\n\"b\":1}", R"({"a":t\","b":1})"},
        {"[t\\ \n \"x\"]", R"([t\ "x"])"},
        {"[1\n2 ,\n 3\t\"s\" \"t\"\r\nnull ]", R"([1 2,3 "s""t"null])"},
    };
    for (const Case& c : cases) EXPECT_EQ(compacted(c.span), c.expected) << c.span;
}

// Random values: strings drawn from bytes that need escapes, numbers in
// several literal forms, nested containers.
class RandomValues {
public:
    explicit RandomValues(uint32_t seed) : rng_(seed) {}

    Value next(int depth = 0) {
        switch (rng_() % (depth > 3 ? 4 : 6)) {
            case 0: return Value::null();
            case 1: return Value::boolean(rng_() % 2);
            case 2: {
                static const char* numbers[] = {"0", "-7", "1.50", "-0.0", "2e10", "123456789012345678901234",
                                                "9223372036854775807", "-9223372036854775808", "3.14E-2"};
                return json(numbers[rng_() % std::size(numbers)]);
            }
            case 3: return Value::string(text());
            case 4: {
                Value::Array items;
                for (int i = rng_() % 4; i > 0; --i) items.push_back(next(depth + 1));
                return Value::array(std::move(items));
            }
            default: {
                Value::Object members;
                for (int i = rng_() % 4; i > 0; --i) members.push_back(engine::Member{text(), next(depth + 1)});
                return Value::object(std::move(members));
            }
        }
    }

    // Inserts white space (line breaks included) between the tokens of a
    // one-line JSON text.
    std::string spread(const std::string& line) {
        static const char* space[] = {"", " ", "\t", "\n", "\r\n", "  \n  "};
        std::string out;
        bool in_string = false, escaped = false;
        for (char c : line) {
            if (in_string) {
                out += c;
                if (escaped)
                    escaped = false;
                else if (c == '\\')
                    escaped = true;
                else if (c == '"')
                    in_string = false;
                continue;
            }
            if (c == '"') in_string = true;
            if (c == ',' || c == ':' || c == '[' || c == '{' || c == ']' || c == '}') out += space[rng_() % 6];
            out += c;
        }
        return out;
    }

private:
    std::string text() {
        static const char* pieces[] = {"a", " ", "\"", "\\", "/", "\n", "\t", "\x01", "\x1f", "\x7f", "\xc3\xa9",
                                       "\xe2\x82\xac", "{", "}", "[", ",", ":"};
        std::string s;
        for (int i = rng_() % 6; i > 0; --i) s += pieces[rng_() % std::size(pieces)];
        return s;
    }
    std::mt19937 rng_;
};

TEST(JsonWriter, TextReadsBackAsTheSameValue) {
    RandomValues gen(11);
    for (int i = 0; i < 2000; ++i) {
        const Value v = gen.next();
        const std::string text = written(v);
        EXPECT_EQ(text.find('\n'), std::string::npos);
        EXPECT_TRUE(json(text) == v) << text;
    }
}

// A stored cell is written as the value it denotes: random values in
// canonical cell form, and atoms read as a table reads them.
TEST(JsonWriter, CellsAsTheirValues) {
    RandomValues gen(3);
    engine::CellColumn column;
    for (int i = 0; i < 2000; ++i) column.push_value(gen.next());
    for (const char* atom : {"-0", "1.50", "2e10", "123456789012345678901234", "-9223372036854775808", "1.5\xc3"})
        column.cells.push_back(column.atom_cell(atom));
    for (const engine::Cell& cell : column.cells) {
        std::string text;
        write_json_cell(column, cell, text);
        EXPECT_EQ(text, written(column.value_of(cell)));
    }
}

TEST(RawRow, SpreadTextCompactsToTheWritersLine) {
    RandomValues gen(5);
    for (int i = 0; i < 2000; ++i) {
        Value v = gen.next();
        if (!v.is_array() && !v.is_object()) continue;
        const std::string line = written(v);
        const std::string spread = gen.spread(line) + "\n";
        const std::string framed = "[\n" + spread + "]";  // at least one line break
        EXPECT_EQ(compacted(framed), "[" + line + "]") << spread;
        EXPECT_EQ(compacted(line), line);
    }
}

}  // namespace
}  // namespace jorvane::ndjson
