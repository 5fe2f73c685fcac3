// Random documents and path queries against a direct evaluation over the
// parsed document, in random buffer cuts and modes.
#include <gtest/gtest.h>

#include <random>

#include "engine_harness.h"

namespace jorvane::engine::testing {
namespace {

struct Gen {
    std::mt19937_64 rng;
    explicit Gen(uint64_t seed) : rng(seed) {}
    size_t below(size_t n) { return rng() % n; }

    const char* key() {
        static const char* keys[] = {"a", "b", "c", "long key", "a"};
        return keys[below(5)];
    }
    // Returns the text and the value it denotes.
    std::pair<std::string, Value> scalar() {
        switch (below(7)) {
            case 0: return {"true", Value::boolean(true)};
            case 1: return {"null", Value()};
            case 2: {
                int64_t v = static_cast<int64_t>(below(2000)) - 1000;
                return {std::to_string(v), Value::number(JsonNumber::from_int(v))};
            }
            case 3: return {"-12.50e1", Value::number(JsonNumber::from_literal("-125"))};
            case 4: return {R"("q\"uo\\te\u00e9")", Value::string("q\"uo\\te\xc3\xa9")};
            case 5: {
                std::string s(below(90), 'x');
                return {"\"" + s + "\"", Value::string(s)};
            }
            default: return {"\"[{,:}]\"", Value::string("[{,:}]")};
        }
    }
    // Whitespace as editors write it, Windows line ends included.
    std::string ws() {
        static const char* w[] = {"", "", " ", "\n", " \t ", "\r\n", "\r\n\t "};
        return w[below(7)];
    }
    std::pair<std::string, Value> value(int depth) {
        if (depth >= 5 || below(3) == 0) return scalar();
        if (below(2) == 0) {
            std::string text = "{" + ws();
            Value::Object members;
            size_t n = below(5);
            for (size_t i = 0; i < n; ++i) {
                std::string k = key();
                auto [t, v] = value(depth + 1);
                text += (i ? "," + ws() : "") + "\"" + k + "\"" + ws() + ":" + ws() + t + ws();
                members.push_back(Member{k, std::move(v)});
            }
            return {text + "}", Value::object(std::move(members))};
        }
        std::string text = "[" + ws();
        Value::Array items;
        size_t n = below(6);
        for (size_t i = 0; i < n; ++i) {
            auto [t, v] = value(depth + 1);
            text += (i ? "," + ws() : "") + t + ws();
            items.push_back(std::move(v));
        }
        return {text + "]", Value::array(std::move(items))};
    }
};

struct Step {
    enum Kind { Field, AnyField, Index, Range, AnyIndex } kind;
    std::string name;
    uint64_t lo = 0, hi = 0;
    std::string text() const {
        switch (kind) {
            case Field: return name == "long key" ? "\"long key\"" : name;
            case AnyField: return "*";
            case Index: return "[" + std::to_string(lo) + "]";
            case Range: return "[" + std::to_string(lo) + ":" + std::to_string(hi) + "]";
            case AnyIndex: return "[*]";
        }
        return "";
    }
};

void evaluate(const Value& v, const std::vector<Step>& steps, size_t at, std::vector<Value>& out) {
    if (at == steps.size()) {
        out.push_back(v);
        return;
    }
    const Step& s = steps[at];
    if (v.is_object() && (s.kind == Step::Field || s.kind == Step::AnyField)) {
        for (const Member& m : v.as_object())
            if (s.kind == Step::AnyField || m.key == s.name) evaluate(m.value, steps, at + 1, out);
    } else if (v.is_array() && s.kind != Step::Field && s.kind != Step::AnyField) {
        const auto& items = v.as_array();
        for (uint64_t i = 0; i < items.size(); ++i) {
            bool hit = s.kind == Step::AnyIndex || (s.kind == Step::Index && i == s.lo) ||
                       (s.kind == Step::Range && i >= s.lo && i < s.hi);
            if (hit) evaluate(items[i], steps, at + 1, out);
        }
    }
}

TEST(RandomDocuments, MatchDirectEvaluation) {
    Gen g(2024);
    size_t total = 0;
    for (int round = 0; round < 300; ++round) {
        std::string doc;
        std::vector<Value> tops;
        size_t n_top = 1 + g.below(3);
        while (tops.size() < n_top) {
            auto [t, v] = g.value(0);
            if (!v.is_array() && !v.is_object()) continue;
            doc += t + g.ws();
            tops.push_back(std::move(v));
        }
        std::vector<QuerySpec> specs;
        std::vector<std::vector<Value>> expected;
        for (int q = 0; q < 4; ++q) {
            std::vector<Step> steps;
            size_t len = 1 + g.below(3);
            std::string text;
            for (size_t i = 0; i < len; ++i) {
                Step s{static_cast<Step::Kind>(g.below(5)), g.key(), g.below(3), 0};
                s.hi = s.lo + 1 + g.below(3);
                text += (i ? "." : "") + s.text();
                steps.push_back(s);
            }
            std::vector<Value> matches;
            for (const Value& top : tops) evaluate(top, steps, 0, matches);
            specs.push_back({text, {M::Values, M::Count}});
            expected.push_back(std::move(matches));
        }
        std::vector<size_t> cuts;
        for (int c = 0; c < 5 && doc.size() > 1; ++c) cuts.push_back(1 + g.below(doc.size() - 1));
        std::sort(cuts.begin(), cuts.end());
        const ScanMode modes[] = {ScanMode::serial(), ScanMode::batched(4), ScanMode::pipelined_always(4)};
        RunOptions opt;
        opt.cuts = cuts;
        opt.mode = modes[round % 3];
        opt.kernel = supported_kernels()[round % supported_kernels().size()];
        Outcome o = run(doc, specs, opt);
        ASSERT_FALSE(o.failed) << doc << "\n" << o.message;
        for (size_t q = 0; q < specs.size(); ++q) {
            total += expected[q].size();
            ASSERT_EQ(o.values[q], expected[q]) << "query " << specs[q].text << " over\n" << doc;
        }
    }
    EXPECT_GT(total, 300u);  // the queries do match things
}

}  // namespace
}  // namespace jorvane::engine::testing
