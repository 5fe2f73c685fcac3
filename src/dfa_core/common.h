// TransitionLabel: what one position of a position automaton reads, and what
// one alphabet symbol of a deterministic automaton stands for.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>

namespace jorvane::dfa_core {

inline constexpr uint64_t kMaxIndex = std::numeric_limits<uint64_t>::max();

struct TransitionLabel {
    // Tag order matters: it is the order the kinds are listed and compared in.
    enum class Kind : uint8_t {
        Field = 0,          // one field name (shared, immutable)
        FieldWildcard = 1,  // any field name (a label only, never a symbol)
        Range = 2,          // indices lo <= i < hi
        RangeFrom = 3,      // indices i >= lo (a label only, never a symbol)
        Other = 4,          // symbol 0: every field name that no query names
    };

    Kind kind = Kind::Other;
    std::shared_ptr<const std::string> name;  // Field only
    uint64_t lo = 0;                          // Range, RangeFrom
    uint64_t hi = 0;                          // Range

    static TransitionLabel field(std::shared_ptr<const std::string> name) {
        return {Kind::Field, std::move(name), 0, 0};
    }
    static TransitionLabel field(std::string name) {
        return field(std::make_shared<const std::string>(std::move(name)));
    }
    static TransitionLabel field_wildcard() { return {Kind::FieldWildcard, nullptr, 0, 0}; }
    static TransitionLabel range(uint64_t lo, uint64_t hi) { return {Kind::Range, nullptr, lo, hi}; }
    static TransitionLabel range_from(uint64_t lo) { return {Kind::RangeFrom, nullptr, lo, 0}; }
    static TransitionLabel other() { return {Kind::Other, nullptr, 0, 0}; }

    // Equal kinds and payloads; field names compare by content.
    bool operator==(const TransitionLabel& o) const;

    // True when this label, read as a position label, matches `symbol`, an
    // alphabet symbol: a field name matches the same name, a field wildcard
    // every field symbol and Other, an index label every interval it covers.
    bool matches(const TransitionLabel& symbol) const;
};

}  // namespace jorvane::dfa_core
