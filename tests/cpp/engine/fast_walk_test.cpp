// The fast walk against a direct recursive matcher of the query trees over
// random documents (single and fused queries, up to 64), and against the
// general walk alone over random documents, damaged ones included, and over
// the conformance documents, in every mode, kernel and random buffer cuts.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "dfa_core/reference_matcher.h"
#include "dfa_core/tree_text.h"
#include "engine_harness.h"

namespace jorvane::engine::testing {
namespace {

using dfa_core::testing::Generator;
using dfa_core::testing::Path;
using dfa_core::testing::reference_matches;
using Query = dfa_core::ast::Query;

const std::vector<std::string> kNames = {"a", "b", "c", "a name longer than sixteen bytes"};

// Random documents over the names the queries use, with the Count each query
// must give: every scalar it matches, and every container it matches that
// no container it matches holds (the walk captures the outer one).
struct DocumentGen {
    std::mt19937_64 rng;
    const std::vector<Query>& queries;
    std::vector<uint64_t> counts;
    int max_depth = 5;

    DocumentGen(uint64_t seed, const std::vector<Query>& q) : rng(seed), queries(q), counts(q.size(), 0) {}
    size_t below(size_t n) { return rng() % n; }

    std::string ws() {
        static const char* w[] = {"", "", "", " ", "\n", " \t "};
        return w[below(6)];
    }
    std::string key() {
        static const char* extra[] = {"zz", "", "b\\\"q"};
        return below(5) == 0 ? std::string(extra[below(3)]) : kNames[below(kNames.size())];
    }
    std::string scalar() {
        switch (below(8)) {
            case 0: return "true";
            case 1: return "null";
            case 2: return std::to_string(static_cast<int64_t>(below(2000)) - 1000);
            case 3: return "-12.50e1";
            case 4: return R"("q\"uo\\te\u00e9")";
            case 5: return "\"" + std::string(below(80), 'x') + "\"";
            case 6: return "\"[{,:}]\"";
            default: return "false";
        }
    }
    uint64_t labels(const Path& path) const {
        uint64_t m = 0;
        for (size_t i = 0; i < queries.size(); ++i)
            if (reference_matches(queries[i], path)) m |= uint64_t{1} << i;
        return m;
    }
    void count(uint64_t m) {
        for (; m; m &= m - 1) ++counts[std::countr_zero(m)];
    }
    std::string value(Path& path, uint64_t captured, int depth) {
        const uint64_t m = labels(path);
        if (depth >= max_depth || below(3) == 0) {
            count(m);
            return scalar();
        }
        const uint64_t fresh = m & ~captured;
        std::string text;
        if (below(2) == 0) {
            text = "{" + ws();
            const size_t n = below(5);
            for (size_t i = 0; i < n; ++i) {
                const std::string k = key();
                path.emplace_back(k);
                text += (i ? "," + ws() : "") + "\"" + k + "\"" + ws() + ":" + ws() + value(path, captured | fresh, depth + 1) + ws();
                path.pop_back();
            }
            text += "}";
        } else {
            text = "[" + ws();
            const size_t n = below(7);
            for (size_t i = 0; i < n; ++i) {
                path.emplace_back(static_cast<uint64_t>(i));
                text += (i ? "," + ws() : "") + value(path, captured | fresh, depth + 1) + ws();
                path.pop_back();
            }
            text += "]";
        }
        count(fresh);
        return text;
    }
    // Top-level containers, one per line or run together.
    std::string document(size_t values) {
        std::string doc;
        for (size_t i = 0; i < values; ++i) {
            Path path;
            std::string v;
            while (v.empty() || (v[0] != '{' && v[0] != '[')) {
                const std::vector<uint64_t> saved = counts;
                v = value(path, 0, 0);
                if (v[0] != '{' && v[0] != '[') counts = saved;
            }
            doc += v + (below(2) ? "\n" : "");
        }
        return doc;
    }
};

// An engine with the trees as one query or fused, each with `kinds`.
Engine tree_engine(const std::vector<Query>& trees, const std::vector<std::vector<AccumulatorKind>>& kinds,
                   const std::vector<std::optional<uint64_t>>& limits, const RunOptions& opt) {
    Engine e(opt.mode);
    e.set_kernel(opt.kernel);
    e.set_fast_walk(opt.fast_walk);
    if (trees.size() == 1) {
        auto dfa = dfa_core::QueryDFA::from_query(trees[0]);
        if (!dfa.ok()) panic("test tree does not compile");
        e.add_query(std::move(*dfa), initialize_accumulators(kinds[0]), limits[0]);
    } else {
        auto dfa = dfa_core::QueryDFA::from_queries(trees);
        if (!dfa.ok()) panic("test trees do not compile");
        std::vector<FusedQuery> queries;
        for (size_t i = 0; i < trees.size(); ++i) queries.push_back(FusedQuery{initialize_accumulators(kinds[i]), limits[i]});
        e.add_fused_queries(std::move(*dfa), std::move(queries));
    }
    return e;
}

RunOptions random_options(std::mt19937_64& rng, size_t doc_size) {
    const std::vector<ScanMode> modes = every_mode();
    const auto kernels = supported_kernels();
    RunOptions opt;
    opt.mode = modes[rng() % modes.size()];
    opt.kernel = kernels[rng() % kernels.size()];
    const size_t cuts = rng() % 4 == 0 ? 0 : 1 + rng() % 6;
    for (size_t c = 0; c < cuts && doc_size > 1; ++c) opt.cuts.push_back(1 + rng() % (doc_size - 1));
    std::sort(opt.cuts.begin(), opt.cuts.end());
    return opt;
}

std::vector<Query> random_trees(Generator& gen, size_t n) {
    std::vector<Query> trees;
    for (size_t i = 0; i < n; ++i) trees.push_back(gen.below(12) == 0 ? Query::sequence({}) : gen.tree(3));
    return trees;
}

TEST(FastWalk, CountsAgreeWithTheRecursiveMatcher) {
    Generator gen(77, kNames);
    std::mt19937_64 rng(5);
    uint64_t matched = 0;
    for (int round = 0; round < 400; ++round) {
        const size_t n = round % 10 == 0 ? 64 : 1 + gen.below(5);
        const std::vector<Query> trees = random_trees(gen, n);
        DocumentGen docs(rng(), trees);
        const std::string doc = docs.document(1 + docs.below(4));
        const RunOptions opt = random_options(rng, doc.size());
        Engine e = tree_engine(trees, std::vector<std::vector<AccumulatorKind>>(n, {M::Count}),
                               std::vector<std::optional<uint64_t>>(n), opt);
        const Outcome o = run_engine(e, doc, opt.cuts);
        ASSERT_FALSE(o.failed) << o.message << "\n" << doc;
        for (size_t i = 0; i < n; ++i) {
            ASSERT_EQ(o.outputs[i].count, docs.counts[i])
                << "round " << round << ", query " << i << ": " << dfa_core::testing::tree_text(trees[i]) << "\n"
                << doc;
            matched += docs.counts[i];
        }
    }
    EXPECT_GT(matched, 2000u);  // the queries do match things
}

// One random edit: a byte removed, replaced or inserted, a piece inserted
// (a misspelled literal, an escape that is none, a doubled separator, a key
// that is no string), or the end cut off.
std::string damage(std::mt19937_64& rng, std::string doc) {
    static const char bytes[] = "{}[],:\"0-a \\";
    static const char* const pieces[] = {"tru", "nul", "\\q", "\\u12", "\\uZ", ",,", "::", "1:"};
    const size_t at = rng() % doc.size();
    const char b = bytes[rng() % (sizeof bytes - 1)];
    switch (rng() % 5) {
        case 0: doc.erase(at, 1); break;
        case 1: doc[at] = b; break;
        case 2: doc.insert(doc.begin() + static_cast<std::ptrdiff_t>(at), b); break;
        case 3: doc.insert(at, pieces[rng() % std::size(pieces)]); break;
        default: doc.resize(at); break;
    }
    return doc;
}

TEST(FastWalk, SameOutcomeAsTheGeneralWalkOnDamagedDocuments) {
    Generator gen(1234, kNames);
    std::mt19937_64 rng(99);
    static const AccumulatorKind kinds[] = {M::Count, M::Sum, M::Values, M::Exists, M::Types, M::Min, M::KeyedValues};
    int failed = 0;
    for (int round = 0; round < 1500; ++round) {
        const size_t n = round % 25 == 0 ? 64 : 1 + gen.below(4);
        const std::vector<Query> trees = random_trees(gen, n);
        DocumentGen docs(rng(), trees);
        std::string doc = docs.document(1 + docs.below(4));
        for (size_t edits = rng() % 3; edits > 0 && !doc.empty(); --edits) doc = damage(rng, doc);
        if (doc.empty()) continue;
        std::vector<std::vector<AccumulatorKind>> acc(n);
        std::vector<std::optional<uint64_t>> limits(n);
        for (size_t i = 0; i < n; ++i) {
            acc[i].push_back(kinds[rng() % 5]);
            if (rng() % 4 == 0) acc[i].push_back(kinds[rng() % std::size(kinds)]);
            if (rng() % 6 == 0) limits[i] = rng() % 4;
        }
        RunOptions opt = random_options(rng, doc.size());
        Engine fast = tree_engine(trees, acc, limits, opt);
        opt.fast_walk = false;
        Engine general = tree_engine(trees, acc, limits, opt);
        const Outcome a = run_engine(fast, doc, opt.cuts);
        const Outcome b = run_engine(general, doc, opt.cuts);
        failed += a.failed;
        ASSERT_TRUE(same_outcome(a, b)) << "round " << round << ": " << describe(a) << " against " << describe(b)
                                        << ", mode " << mode_name(opt.mode) << "\n" << doc;
    }
    EXPECT_GT(failed, 100);  // the damage does break documents
}

TEST(FastWalk, ConformanceDocumentsInEveryModeAndCut) {
    // Queries the fast walk serves itself (nothing kept whole), over the
    // conformance documents: the harness compares every run with the
    // general walk alone.
    const std::vector<QuerySpec> queries{{"[*]", {M::Count, M::Types}},
                                         {"*", {M::Sum}},
                                         {"**", {M::Count}},
                                         {"[*]*.[0]", {M::Values}},
                                         {"*.*", {M::Exists}, 1}};
    std::mt19937_64 rng(31);
    const std::vector<ScanMode> modes = every_mode();
    for (const auto& path : conformance_files()) {
        const std::string doc = read_file(path);
        if (doc.empty()) continue;
        for (auto k : supported_kernels()) {
            RunOptions opt = random_options(rng, doc.size());
            opt.kernel = k;
            run(doc, queries, opt);
            if (doc.size() <= 256) {
                opt.cuts = every_byte(doc.size());
                run(doc, queries, opt);
            }
        }
        if (::testing::Test::HasFailure()) FAIL() << path.filename();
    }
}

TEST(FastWalk, DeepNestingIsLeftToTheGeneralWalk) {
    // Deeper than the fast walk descends, matched at every level.
    std::string doc;
    for (int i = 0; i < 150; ++i) doc += "[1,";
    doc += "2";
    for (int i = 0; i < 150; ++i) doc += "]";
    doc += "\n" + doc;
    for (const std::vector<size_t>& cuts : {std::vector<size_t>{}, std::vector<size_t>{100, 470}}) {
        RunOptions opt;
        opt.mode = ScanMode::batched(8);
        opt.cuts = cuts;
        const Outcome o = run(doc, {{"[*]*.[0]", {M::Count}}, {"[*]*.[1]", {M::Count, M::Sum}}}, opt);
        ASSERT_FALSE(o.failed) << o.message;
        EXPECT_EQ(o.outputs[0].count, 2u * 150u);
        // The outermost matched array holds the others; the innermost 2 counts apart.
        EXPECT_EQ(o.outputs[1].count, 4u);
        EXPECT_EQ(o.outputs[1].sum, 4.0);
    }
}

}  // namespace
}  // namespace jorvane::engine::testing
