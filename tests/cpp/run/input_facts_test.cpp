// The facts a run is planned from before its source is opened are the facts
// of the source once it is open, for every way a file or bytes in memory can
// be opened: plain, compressed by name or by option, prefetched or not.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run/input_facts.h"
#include "source/open_file.h"
#include "support/sample_inputs.h"

namespace jorvane::run {
namespace {

using test::Bytes;
using Input = SplitFacts::Input;

// Facts with the caller's fields set, which the input's facts keep.
SplitFacts callers_facts() {
    SplitFacts facts;
    facts.match_limit = true;
    facts.kinds = {engine::AccumulatorKind::Count};
    return facts;
}

void expect_same(const SplitFacts& before, const SplitFacts& after, Input expected, const std::string& what) {
    EXPECT_EQ(before.input, expected) << what;
    EXPECT_EQ(after.input, before.input) << what;
    EXPECT_EQ(after.size, before.size) << what;
    EXPECT_TRUE(after.match_limit && after.kinds.size() == 1) << what;
}

TEST(InputFacts, KnownBeforeOpeningAsOnceOpen) {
    test::TempDir dir;
    const Bytes doc = test::sample_bytes(5000);
    struct Case {
        const char* name;
        Bytes content;
        Compression option;
        Input expected;
    };
    const Case files[] = {
        {"plain.json", doc, Compression::Unset, Input::PlainFile},
        {"plain.gz", doc, Compression::None, Input::PlainFile},
        // Read, not mapped: it reports no size.
        {"empty.json", {}, Compression::Unset, Input::Sequential},
        {"data.json.GZ", test::gzip(doc), Compression::Unset, Input::Sequential},
        {"data.zstd", test::zstd(doc), Compression::Unset, Input::Sequential},
        {"named", test::gzip(doc), Compression::Gzip, Input::Sequential},
        {"named.json", test::zstd(doc), Compression::Zstd, Input::Sequential},
    };
    for (const Case& c : files) {
        const std::string path = dir.write(c.name, c.content);
        const SplitFacts before = file_input_facts(path, c.option, callers_facts());
        if (c.expected == Input::PlainFile) {
            EXPECT_EQ(before.size, c.content.size()) << c.name;
        }
        for (const bool prefetch : {false, true}) {
            auto source = open_file_source(path, prefetch, 4096, c.option);
            ASSERT_TRUE(source) << c.name;
            expect_same(before, input_facts(**source, callers_facts()), c.expected, c.name);
        }
    }
    const std::pair<Compression, Input> bytes[] = {
        {Compression::Unset, Input::Other},
        {Compression::None, Input::Other},
        {Compression::Gzip, Input::Sequential},
        {Compression::Zstd, Input::Sequential},
    };
    for (const auto& [option, expected] : bytes) {
        const Bytes content = option == Compression::Zstd ? test::zstd(doc) : test::gzip(doc);
        auto source = open_bytes_source(content, 4096, option);
        ASSERT_TRUE(source);
        expect_same(bytes_input_facts(option, callers_facts()), input_facts(**source, callers_facts()), expected,
                    compression_name(option));
    }
}

}  // namespace
}  // namespace jorvane::run
