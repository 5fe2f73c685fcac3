// Inflater: decodes the raw deflate data of gzip members, one member at a
// time, from the gzip decoder's input. The decoder parses the member framing
// around it; the inflater leaves the input at the first byte after the
// deflate data, where the member's trailer starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "source/io_error.h"
#include "util/result.h"

namespace jorvane {

// What one inflate call did: `produced` bytes were written; then the deflate
// data either goes on, ended (`end`), or failed (`error`, which stands for
// every later call, but for a retryable read error of the input, after which
// the next call goes on from where this one stopped).
struct InflateStep {
    size_t produced = 0;
    bool end = false;
    std::optional<IoError> error;
};

class Inflater {
public:
    virtual ~Inflater() = default;
    // Deflate data starts at the input's next byte.
    virtual Result<void, IoError> start() = 0;
    // Decodes into `dest` (not empty) until some output is written, the data
    // ends or it fails. The damaged deflate data's error is "corrupt deflate
    // stream"; an input that ends inside it, "unexpected end of file"; a read
    // error of the input is returned as it is. What comes out, and where an
    // error falls, does not depend on the sizes of `dest`.
    virtual InflateStep inflate(std::span<uint8_t> dest) = 0;
};

}  // namespace jorvane
