// The fuzz targets' entry points. Each takes one input, returns 0, and stops
// the process with a message on the first fault it finds (a sanitizer stops
// it for memory and undefined-behaviour faults). Each is built into its own
// libFuzzer executable (fuzz_<name>), and all of them into fuzz_replay, which
// runs saved inputs through them in the ordinary test build.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

namespace jorvane::fuzz {

int query_compile(std::span<const uint8_t> data);
int engine_differential(std::span<const uint8_t> data);
int decoder(std::span<const uint8_t> data);

// Reports a fault and aborts, which libFuzzer records as a crash.
[[noreturn]] inline void fail(const std::string& what) {
    std::fprintf(stderr, "\n==== fuzz fault: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace jorvane::fuzz
