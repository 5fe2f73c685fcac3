// Byte-at-a-time reference classifier (see the header).
#include "reference_classifier.h"

namespace jorvane::classification_kernel::testing {
namespace {

bool is_whitespace(uint8_t b) { return b == ' ' || b == '\t' || b == '\n' || b == '\r'; }
bool is_opener(uint8_t b) { return b == '{' || b == '['; }
bool is_closer(uint8_t b) { return b == '}' || b == ']'; }
bool is_structural(uint8_t b) { return is_opener(b) || is_closer(b) || b == ',' || b == ':'; }

}  // namespace

ChunkMasks reference_classify(const uint8_t* chunk64, KernelCarry& carry) {
    ChunkMasks out;
    bool in_string = carry.in_string != 0;
    bool prev_separator = carry.prev_separator != 0;
    uint8_t run = carry.backslash_run;  // 0: odd run just before, 1: even run, 2: no backslash before
    for (int i = 0; i < 64; ++i) {
        const uint8_t b = chunk64[i];
        const uint64_t bit = uint64_t(1) << i;
        const bool escaped = run == 0;
        const bool quote = b == '"' && !escaped;
        if (quote) in_string = !in_string;  // an opening quote counts as inside, a closing one as outside
        const bool separator = quote || (is_structural(b) && !in_string);
        const bool whitespace = is_whitespace(b);
        const bool scalar_start = prev_separator && !in_string && !whitespace;
        if (separator || scalar_start) out.structural |= bit;
        if (is_opener(b) && !in_string) out.openers |= bit;
        if (is_closer(b) && !in_string) out.closers |= bit;
        prev_separator = separator || whitespace;
        run = b == '\\' ? (run == 0 ? 1 : 0) : 2;
    }
    carry.in_string = in_string ? 1 : 0;
    carry.prev_separator = prev_separator ? 1 : 0;
    carry.backslash_run = run;
    return out;
}

}  // namespace jorvane::classification_kernel::testing
