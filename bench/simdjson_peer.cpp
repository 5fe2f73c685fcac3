// A peer for comparison: counts `events[*].user.id` (the events whose user
// has an id) over the benchmark file with the simdjson On-Demand parser, two
// ways: one record (one line) at a time on one core, and the document-stream
// interface for concatenated documents (which may run its own stage 1 on a
// second thread). The On-Demand code is compiled inline into this program,
// so it is built with the AVX2 flags (its AVX2 kernel); it needs an AVX2 CPU.
#include <simdjson.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "harness.h"

using namespace simdjson;

namespace {

#define PEER_STRINGIFY2(x) #x
#define PEER_STRINGIFY(x) PEER_STRINGIFY2(x)

uint64_t count_in_record(ondemand::document_reference doc) {
    uint64_t count = 0;
    ondemand::array events;
    if (doc["events"].get_array().get(events) != SUCCESS) return 0;
    for (auto event : events) {
        ondemand::object obj;
        if (event.get_object().get(obj) != SUCCESS) continue;
        ondemand::object user;
        if (obj["user"].get_object().get(user) != SUCCESS) continue;
        ondemand::value id;
        if (user["id"].get(id) == SUCCESS) ++count;
    }
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string path = jorvane::bench::corpus_path(argc, argv);
    padded_string json;
    if (padded_string::load(path).get(json) != SUCCESS) {
        std::fprintf(stderr, "cannot open %s: generate it first (bench/run.sh does, or run gen_ndjson)\n",
                     path.c_str());
        return 2;
    }
    const int reps = jorvane::bench::repetitions(5);
    std::printf("simdjson On-Demand (%s kernel) over %s: %.3f GB\n", PEER_STRINGIFY(SIMDJSON_BUILTIN_IMPLEMENTATION),
                path.c_str(), double(json.size()) / 1e9);
    ondemand::parser parser;

    jorvane::bench::measure("simdjson per record: count events[*].user.id", json.size(), reps, [&] {
        uint64_t count = 0;
        const char* p = json.data();
        const char* end = p + json.size();
        while (p < end) {
            const char* nl = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
            const char* line_end = nl ? nl : end;
            if (line_end > p) {
                // The rest of the padded buffer stays readable past the line.
                ondemand::document doc;
                if (parser.iterate(p, size_t(line_end - p), size_t(end - p) + SIMDJSON_PADDING).get(doc) == SUCCESS)
                    count += count_in_record(doc);
            }
            p = line_end + 1;
        }
        return count;
    });

    jorvane::bench::measure("simdjson document stream: count events[*].user.id", json.size(), reps, [&] {
        uint64_t count = 0;
        ondemand::document_stream stream;
        if (parser.iterate_many(json, 1 << 20).get(stream) != SUCCESS) return count;
        for (auto doc : stream) {
            ondemand::document_reference ref;
            if (std::move(doc).get(ref) == SUCCESS) count += count_in_record(ref);
        }
        return count;
    });
    return 0;
}
