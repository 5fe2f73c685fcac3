// Cut and mode invariance over the conformance files: every way of cutting a
// document into buffers, every execution mode and every stage-1 kernel gives
// the same outcome; documents a strict parser accepts give exactly its values;
// and the same document with other whitespace between its tokens (Windows
// line ends, tabs, spaces) means the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "engine_harness.h"

namespace jorvane::engine::testing {
namespace {

namespace fs = std::filesystem;

// A small strict parser building the values a conforming reader would give.
struct StrictParser {
    std::string_view s;
    size_t i = 0;
    bool ok = true;

    void ws() {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
    }
    Value fail() {
        ok = false;
        return Value();
    }
    Value string_value() {
        size_t start = ++i;
        while (i < s.size() && s[i] != '"') i += s[i] == '\\' ? 2 : 1;
        if (i >= s.size()) return fail();
        std::string_view raw = s.substr(start, i - start);
        ++i;
        return Value::string(value::decode_json_string(raw));
    }
    Value parse(int depth = 0) {
        ws();
        if (i >= s.size() || depth > 2000) return fail();
        char c = s[i];
        if (c == '{') {
            ++i;
            Value::Object members;
            ws();
            if (i < s.size() && s[i] == '}') {
                ++i;
                return Value::object(std::move(members));
            }
            while (ok) {
                ws();
                if (i >= s.size() || s[i] != '"') return fail();
                Value key = string_value();
                ws();
                if (i >= s.size() || s[i] != ':') return fail();
                ++i;
                Value v = parse(depth + 1);
                members.push_back(Member{key.is_string() ? key.as_string() : std::string(), std::move(v)});
                ws();
                if (i < s.size() && s[i] == ',') {
                    ++i;
                    continue;
                }
                if (i < s.size() && s[i] == '}') {
                    ++i;
                    break;
                }
                return fail();
            }
            return Value::object(std::move(members));
        }
        if (c == '[') {
            ++i;
            Value::Array items;
            ws();
            if (i < s.size() && s[i] == ']') {
                ++i;
                return Value::array(std::move(items));
            }
            while (ok) {
                items.push_back(parse(depth + 1));
                ws();
                if (i < s.size() && s[i] == ',') {
                    ++i;
                    continue;
                }
                if (i < s.size() && s[i] == ']') {
                    ++i;
                    break;
                }
                return fail();
            }
            return Value::array(std::move(items));
        }
        if (c == '"') return string_value();
        if (s.substr(i, 4) == "true") return i += 4, Value::boolean(true);
        if (s.substr(i, 5) == "false") return i += 5, Value::boolean(false);
        if (s.substr(i, 4) == "null") return i += 4, Value();
        size_t start = i;
        while (i < s.size() && std::string_view("+-0123456789.eE").find(s[i]) != std::string_view::npos) ++i;
        if (start == i) return fail();
        return Value::number(JsonNumber::from_literal(s.substr(start, i - start)));
    }
};

const std::vector<QuerySpec>& queries() {
    static const std::vector<QuerySpec> q{{"", {M::Values}}, {"[*]", {M::Count, M::Types}}, {"*", {M::Sum}}};
    return q;
}

// Cut positions after every backslash, inside every string and number, and
// around every key: each one a two-buffer split.
std::vector<size_t> adversarial_cuts(std::string_view doc) {
    std::vector<size_t> cuts;
    for (size_t i = 1; i < doc.size(); ++i) {
        char prev = doc[i - 1], cur = doc[i];
        if (prev == '\\' || cur == '\\' || prev == '"' || cur == '"' || (prev >= '0' && prev <= '9') ||
            (cur >= '0' && cur <= '9') || prev == ':' || prev == 'e' || prev == 'u')
            cuts.push_back(i);
    }
    return cuts;
}

TEST(Conformance, AcceptedDocumentsGiveTheirValues) {
    size_t checked = 0;
    for (const auto& path : conformance_files()) {
        std::string name = path.filename().string();
        if (name[0] != 'y') continue;
        std::string doc = read_file(path);
        StrictParser p{doc};
        Value expected = p.parse();
        ASSERT_TRUE(p.ok) << name;
        Outcome o = run(doc, queries());
        if (expected.is_array() || expected.is_object()) {
            ASSERT_FALSE(o.failed) << name << ": " << o.message;
            ASSERT_EQ(o.values[0].size(), 1u) << name;
            EXPECT_EQ(o.values[0][0], expected) << name;
            ++checked;
        } else {
            EXPECT_TRUE(o.failed) << name;
            EXPECT_FALSE(o.incomplete) << name;
        }
    }
    EXPECT_GT(checked, 50u);
}

// The document with every line feed outside strings written as CR LF (a
// raw line feed inside a string is part of its value).
std::string crlf_lines(std::string_view doc) {
    std::string out;
    bool in_string = false;
    for (size_t i = 0; i < doc.size(); ++i) {
        const char c = doc[i];
        if (in_string && c == '\\' && i + 1 < doc.size()) {
            out += doc.substr(i++, 2);
            continue;
        }
        if (c == '"') in_string = !in_string;
        out += !in_string && c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    return out;
}

// The document with its whitespace outside strings replaced: CR LF, a tab
// and a space between every two tokens (and at the end when it ended in
// whitespace). Tokens are strings, structural bytes and runs of other bytes,
// so malformed documents keep their faults.
std::string padded_tokens(std::string_view doc) {
    constexpr std::string_view kPad = "\r\n\t ";
    auto is_ws = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    auto is_structural = [](char c) { return std::string_view("{}[],:").find(c) != std::string_view::npos; };
    std::string out;
    bool ends_in_ws = false;
    for (size_t i = 0; i < doc.size();) {
        if (is_ws(doc[i])) {
            ends_in_ws = true;
            ++i;
            continue;
        }
        size_t end = i + 1;
        if (doc[i] == '"') {
            while (end < doc.size() && doc[end] != '"') end += doc[end] == '\\' ? 2 : 1;
            end = std::min(end + 1, doc.size());
        } else if (!is_structural(doc[i])) {
            while (end < doc.size() && !is_ws(doc[end]) && !is_structural(doc[end]) && doc[end] != '"') ++end;
        }
        if (!out.empty()) out += kPad;
        out.append(doc.substr(i, end - i));
        ends_in_ws = false;
        i = end;
    }
    if (ends_in_ws && !out.empty()) out += kPad;
    return out;
}

// Two spellings of one document: the same values and outputs when accepted,
// the same kind of failure (at offsets that differ) when not.
bool same_meaning(const Outcome& a, const Outcome& b) {
    if (a.failed || b.failed) return a.failed == b.failed && a.incomplete == b.incomplete;
    return same_outcome(a, b);
}

void expect_invariant(const std::string& name, const std::string& doc, std::mt19937_64& rng) {
    const Outcome reference = run(doc, queries());
    const bool small = doc.size() <= 4096;
    for (auto k : supported_kernels()) {
        for (ScanMode mode : every_mode()) {
            RunOptions opt;
            opt.kernel = k;
            opt.mode = mode;
            Outcome whole = run(doc, queries(), opt);
            ASSERT_TRUE(same_outcome(reference, whole))
                << name << " whole, mode " << mode_name(mode) << ": " << describe(whole);
            std::vector<size_t> cuts;
            for (size_t c = 0; c < 6 && doc.size() > 1; ++c) cuts.push_back(1 + rng() % (doc.size() - 1));
            std::sort(cuts.begin(), cuts.end());
            opt.cuts = cuts;
            Outcome random = run(doc, queries(), opt);
            ASSERT_TRUE(same_outcome(reference, random))
                << name << " random cuts, mode " << mode_name(mode) << ": " << describe(random);
            // Byte buffers hold no full chunk, so pipelined mode scans them inline: short documents only there.
            const bool byte_buffers = mode.kind == ScanMode::Pipelined ? doc.size() <= 128 && mode.chunks == 128
                                                                       : small && (mode.kind == ScanMode::Serial || mode.chunks == 8);
            if (byte_buffers) {
                opt.cuts = every_byte(doc.size());
                Outcome bytes = run(doc, queries(), opt);
                ASSERT_TRUE(same_outcome(reference, bytes)) << name << " byte buffers: " << describe(bytes);
            }
        }
        if (small) {
            for (size_t cut : adversarial_cuts(doc)) {
                RunOptions opt;
                opt.kernel = k;
                opt.cuts = {cut};
                Outcome split = run(doc, queries(), opt);
                ASSERT_TRUE(same_outcome(reference, split)) << name << " cut at " << cut << ": " << describe(split);
            }
        }
    }
}

TEST(Conformance, SameOutcomeForEveryCutModeAndKernel) {
    std::mt19937_64 rng(12345);
    for (const auto& path : conformance_files()) {
        const std::string name = path.filename().string();
        const std::string doc = read_file(path);
        ASSERT_NO_FATAL_FAILURE(expect_invariant(name, doc, rng));
        const Outcome reference = run(doc, queries());
        const std::pair<const char*, std::string> respelled[] = {{"CR LF", crlf_lines(doc)},
                                                                 {"padded", padded_tokens(doc)}};
        for (const auto& [how, other] : respelled) {
            if (other == doc) continue;
            const std::string label = name + " (" + how + ")";
            const Outcome o = run(other, queries());
            ASSERT_TRUE(same_meaning(reference, o)) << label << ": " << describe(reference) << " vs " << describe(o);
            ASSERT_NO_FATAL_FAILURE(expect_invariant(label, other, rng));
        }
    }
}

}  // namespace
}  // namespace jorvane::engine::testing
