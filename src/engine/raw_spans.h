// RawSpans: the document text of every value matched by the first query
// (label 0 of the first driver) until that query settles, kept across buffer
// boundaries, for consumers that re-emit values as text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace jorvane::engine {

struct RawSpans {
    bool open = false;    // a matched container's text is being collected
    uint64_t start = 0;   // buffer position of its opening bracket (0 once it spans buffers)
    size_t depth = 0;     // open containers around it: it ends when the walk is back there
    std::string open_bytes;             // its bytes from earlier buffers
    std::vector<std::string> finished;  // completed spans, in document order
};

}  // namespace jorvane::engine
