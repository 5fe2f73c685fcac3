// Random tables for the tests that read one in ranges on several walkers and
// compare with one engine: NDJSON records with a field of each cell kind
// (nulls, missing fields, lists, nested objects, a key twice now and then,
// pretty-printed records, or one array of records), whole or with a malformed
// byte or a cut at a random place, and a table spec over them (columns,
// on_multi, a declared column, a row limit), read from a mapped file and from
// sequential input.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "run/jorvane_error.h"
#include "source/mapped_file.h"
#include "support/random_records.h"
#include "table/table_spec.h"
#include "table/table_split.h"

namespace jorvane::table::testing {

class RandomTables {
public:
    explicit RandomTables(uint64_t seed) : rng_(seed) {}
    size_t below(size_t n) { return rng_() % n; }

    // NDJSON with some records pretty-printed, or (`array`) one array of them;
    // `broken`: a malformed byte or a cut at a random place.
    std::string document(bool array, bool broken) {
        std::string s = array ? "[\n" : "";
        for (size_t i = 0, n = 40 + below(200); i < n; ++i) {
            if (array && i) s += ",\n";
            s += record(below(6) == 0);
            if (!array) s += "\n";
        }
        if (array) s += "]\n";
        if (broken) {
            const size_t at = below(s.size());
            if (below(2)) s.resize(at);
            else s[at] = "x}],:"[below(5)];
        }
        return s;
    }

    // One to four columns over the records' fields; `seed` picks on_multi,
    // a declared first column and a row limit.
    TableSpec spec(uint64_t seed, bool array) {
        TableSpec spec(array ? "[*]" : "");
        spec.on_multi = static_cast<OnMulti>(seed % 4);
        static const char* const paths[] = {"i", "f", "s", "l", "o", "m", "o.k", "l[*]", "*"};
        // Paths that match several times per row only where on_multi picks one.
        const size_t n_paths = spec.on_multi == OnMulti::Error ? 7 : 9;
        for (size_t c = 0, n = 1 + below(4); c < n; ++c)
            spec = std::move(spec).column("c" + std::to_string(c), paths[below(n_paths)]);
        if (seed % 5 == 1) {
            spec.columns[0].second = seed % 2 ? "s" : "f";
            spec.declared["c0"] = Declared{*DType::parse(seed % 2 ? "str" : "float64"), true};
        }
        if (seed % 4 == 3) spec.limit = 1 + below(120);
        return spec;
    }

private:
    template <size_t N>
    const char* one_of(const char* const (&pick)[N]) { return pick[below(N)]; }

    std::string scalar() {
        static const char* const pick[] = {"null", "true", "7", "-12", "123456789012345678901", "2.5", "-0.0",
                                           "1e300", R"("q\"u\n\u00e9")", R"("k1")", R"("2024-01-02T03:04:05Z")"};
        return one_of(pick);
    }
    // A field of each kind, the last of any kind.
    std::string field(size_t f, const std::string& nl) {
        static const char* const ints[] = {"1", "-7", "42", "9007199254740993", "null", "0"};
        static const char* const floats[] = {"0.1", "2.5", "-1e-3", "3", "1e300", "null", "6.02e23"};
        static const char* const strings[] = {R"("k1")", R"("k2")", R"("k3")", R"("\u00e9")", "null", R"("k1")"};
        switch (f) {
            case 0: return one_of(ints);
            case 1: return one_of(floats);
            case 2: return one_of(strings);
            case 3: {
                std::string l = "[";
                for (size_t i = 0, n = below(4); i < n; ++i) l += (i ? "," : "") + nl + one_of(ints);
                return l + "]";
            }
            case 4: return "{" + nl + "\"k\":" + scalar() + "}";
            default: return below(3) ? scalar() : "[" + scalar() + "," + scalar() + "]";
        }
    }
    std::string record(bool pretty) {
        static const char* const keys[] = {"i", "f", "s", "l", "o", "m"};
        const std::string nl = pretty ? "\n  " : "";
        std::string s = "{";
        bool first = true;
        for (size_t f = 0; f < std::size(keys); ++f) {
            if (below(5) == 0) continue;  // a missing field
            s += (first ? "" : ",") + nl + "\"" + keys[f] + "\":" + field(f, nl);
            first = false;
        }
        // Now and then a key twice: several matches in one row.
        if (below(30) == 0) s += std::string(first ? "" : ",") + "\"i\":5";
        return s + (pretty ? "\n" : "") + "}";
    }

    std::mt19937_64 rng_;
};

// The input a scan reads, made afresh for each scan.
struct TableInput {
    const std::string* doc;
    const MappedFile* file;  // null: sequential input
    size_t grid;
    std::unique_ptr<Source> open() const {
        if (file) return jorvane::testing::mapped(*file, grid);
        return jorvane::testing::sequential(*doc, grid);
    }
};

// An error's text, with the offset of the record it ends on.
inline std::string error_text(const JorvaneError& e) {
    std::string s = e.to_string();
    if (const Incomplete* r = e.record()) s += " at " + std::to_string(r->offset);
    return s;
}

// For 24 seeds, a random table read from a mapped file and as sequential
// input: `scan(input, spec, walkers, summed)` on 1, 2, 3 and 8 walkers over
// ranges of random lengths must give what it gives on one engine
// (TableSplitOptions{}). `summed`: the caller may also sum the last column
// (most often refused).
template <class Scan>
void check_random_tables(Scan&& scan) {
    size_t scans = 0;
    for (uint64_t seed = 0; seed < 24; ++seed) {
        RandomTables gen(seed);
        const bool array = seed % 8 == 7;
        const std::string doc = gen.document(array, seed % 3 == 2);
        jorvane::testing::TempFile file(doc);
        auto mapped = MappedFile::open(file.path());
        ASSERT_TRUE(mapped);
        const TableSpec spec = gen.spec(seed, array);
        const size_t grid = seed % 2 ? 256 : 1024;
        const bool summed = seed % 6 == 0;
        for (const bool sequential : {false, true}) {
            const TableInput in{&doc, sequential ? nullptr : mapped->get(), grid};
            const std::string one = scan(in, spec, TableSplitOptions{}, summed);
            for (const size_t walkers : {1, 2, 3, 8}) {
                const uint64_t range_len = 100 + gen.below(900);
                const std::string where = "seed " + std::to_string(seed) + (sequential ? " sequential" : " mapped") +
                                          ", walkers " + std::to_string(walkers) + ", ranges of " +
                                          std::to_string(range_len);
                EXPECT_EQ(scan(in, spec, TableSplitOptions{walkers, range_len}, summed), one) << where;
                ++scans;
            }
        }
    }
    EXPECT_EQ(scans, 24u * 2 * 4);
}

}  // namespace jorvane::table::testing
