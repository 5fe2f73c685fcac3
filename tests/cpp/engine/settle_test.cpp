// A scan settles once every query is settled (its limit reached, every
// Exists found, stopped): it stops where that happened and nothing after
// that point counts. A malformed byte or a truncation past it is never
// reported, whatever the buffers, the mode, the kernel or the walk; an error
// before it always is; the stop offset stays the end of the buffer the scan
// settled in.
#include <gtest/gtest.h>

#include "engine_harness.h"

namespace jorvane::engine::testing {
namespace {

Value num(int64_t v) { return Value::number(JsonNumber::from_int(v)); }

struct LoopRun {
    Outcome outcome;
    bool settled = false;
    size_t settled_buffer_end = 0;
};

// The scan as the run layer drives it: it ends at an error, once the scan
// settles (then finish(false)), or at the end of the input.
LoopRun run_loop(Engine& e, std::string_view doc, const std::vector<size_t>& bounds) {
    LoopRun r;
    Outcome& out = r.outcome;
    out.values.resize(e.query_count());
    std::optional<ParseError> error;
    bool ended = false;
    for (size_t b = 0; b + 1 < bounds.size() && !ended; ++b) {
        const std::string buffer(doc.substr(bounds[b], bounds[b + 1] - bounds[b]));
        const BufferScan scan = e.scan_buffer(std::string_view(buffer));
        take_values(e, out);
        if (scan.error) {
            error = scan.error;
            ended = true;
        } else if (scan.settled) {
            r.settled = true;
            r.settled_buffer_end = bounds[b + 1];
            error = e.finish(false);
            ended = true;
        }
    }
    if (!ended) error = e.finish(true);
    take_values(e, out);
    if (error) note_error(out, *error);
    out.outputs = e.finalize_source();
    return r;
}

// The whole document, one cut at every position, and buffers of a few sizes.
std::vector<std::vector<size_t>> every_cut(size_t n) {
    std::vector<std::vector<size_t>> all{{0, n}};
    for (size_t p = 1; p < n; ++p) all.push_back({0, p, n});
    for (size_t size : {1, 3, 64, 100}) {
        std::vector<size_t> bounds{0};
        while (bounds.back() < n) bounds.push_back(std::min(n, bounds.back() + size));
        all.push_back(bounds);
    }
    return all;
}

struct Case {
    const char* name;
    std::vector<QuerySpec> specs;
    std::string doc;
    std::vector<std::vector<Value>> values;  // streamed, per query
    bool settles;                            // the loop sees the scan settle
    std::optional<std::pair<ParseErrorKind, uint64_t>> error;
};

std::string padded_records(int from, int to) {
    std::string s;
    for (int i = from; i <= to; ++i) s += R"({"a":)" + std::to_string(i) + R"(,"pad":"0123456789abcdef"})" "\n";
    return s;
}

std::vector<Value> nums(std::initializer_list<int64_t> xs) {
    std::vector<Value> out;
    for (int64_t x : xs) out.push_back(num(x));
    return out;
}

std::vector<Case> cases() {
    const std::string filler = R"({"x":[{"c":1}],"pad":"0123456789abcdef0123456789"})" "\n";
    return {
        {"a malformed byte two records past the limit",
         {{"a", {M::Values}, 10}},
         padded_records(1, 11) + "{\"a\": ]}\n" + padded_records(12, 12),
         {nums({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})},
         true,
         {}},
        {"a mismatched closer after every Exists found",
         {{"x[*].b", {M::Exists}}, {"y", {M::Exists}}},
         "{\"y\":1}\n" + filler + filler + filler + R"({"x":[{"c":2},{"b":3}]})" "\n" + R"({"x":[1,}})" "\n" +
             filler,
         {{}, {}},
         true,
         {}},
        {"a container reaches the limit before a bad member",
         {{"[*]", {M::Values}, 2}, {"[*]", {M::Count}, 2}},
         R"([{"a":[1,2],"p":"0123456789abcdef0123456789abcdef"},[3,{"c":4}],{"bad": ]},5])",
         {{Value::object({{"a", Value::array(nums({1, 2}))},
                          {"p", Value::string("0123456789abcdef0123456789abcdef")}}),
           Value::array({num(3), Value::object({{"c", num(4)}})})},
          {}},
         true,
         {}},
        {"input truncated after the limit",
         {{"[*]", {M::Values}, 3}},
         R"([1,2,3,[4,{"a":"open)",
         {nums({1, 2, 3})},
         true,
         {}},
        // The limit is reached by the atom the end of input completes.
        {"the last value settles at the end of input", {{"[*]", {M::Values}, 2}}, "[1,2", {nums({1, 2})}, false, {}},
        {"a closer of the wrong kind before the limit",
         {{"[*]", {M::Values}, 3}},
         "[1,2}, 3, 4]",
         {nums({1, 2})},
         false,
         {{ParseErrorKind::mismatched_close('}'), 4}}},
        {"the value that would settle is malformed",
         {{"[*]", {M::Values}, 3}},
         "[1,2,-] ]",
         {nums({1, 2})},
         false,
         {{ParseErrorKind::invalid_atom_char('-'), 5}}},
    };
}

TEST(Settle, NothingPastTheSettlePointCountsInAnyBufferModeKernelOrWalk) {
    for (const Case& c : cases()) {
        const auto cuts = every_cut(c.doc.size());
        std::optional<std::vector<QueryOutput>> first;
        for (auto kernel : supported_kernels()) {
            for (const ScanMode& mode : every_mode()) {
                for (bool fast : {true, false}) {
                    Engine e = make_engine(c.specs, mode);
                    e.set_kernel(kernel);
                    e.set_fast_walk(fast);
                    for (const auto& bounds : cuts) {
                        e.reset_for_next_source();
                        LoopRun r = run_loop(e, c.doc, bounds);
                        Outcome& o = r.outcome;
                        const std::string where = std::string(c.name) + " / " +
                                                  classification_kernel::kernel_name(kernel) + " / " + mode_name(mode) +
                                                  (fast ? " / fast" : " / general") + " / buffers ending at " +
                                                  std::to_string(bounds[1]) + " of " + std::to_string(bounds.size() - 1);
                        ASSERT_EQ(o.failed, c.error.has_value()) << where << ": " << o.message;
                        if (c.error) {
                            EXPECT_EQ(o.kind, c.error->first) << where;
                            EXPECT_EQ(o.offset, c.error->second) << where;
                        }
                        ASSERT_EQ(r.settled, c.settles) << where;
                        EXPECT_EQ(o.values, c.values) << where;
                        for (auto& out : o.outputs) {
                            if (r.settled) {
                                EXPECT_EQ(out.bytes_covered, r.settled_buffer_end) << where;
                            }
                            out.bytes_covered.reset();
                        }
                        if (!first) first = o.outputs;
                        for (size_t q = 0; q < o.outputs.size(); ++q)
                            EXPECT_TRUE(same_output(o.outputs[q], (*first)[q])) << where << ": query " << q;
                    }
                }
            }
        }
    }
}

TEST(Settle, AStoppedQueryIsNotWalkedAnyFurther) {
    Engine e = make_engine({{"[*]", {M::Values}}}, ScanMode::serial());
    EXPECT_FALSE(e.scan_buffer(std::string_view("[1,2,")).settled);
    e.stop_query(0);
    const BufferScan next = e.scan_buffer(std::string_view("3,}]"));
    EXPECT_FALSE(next.error);
    EXPECT_TRUE(next.settled);
    EXPECT_FALSE(e.finish(false));
    const auto outputs = e.finalize_source();
    EXPECT_EQ(outputs[0].values_count, 2u);
    EXPECT_EQ(outputs[0].bytes_covered, 9u);
}

}  // namespace
}  // namespace jorvane::engine::testing
