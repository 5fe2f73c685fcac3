// Describer: the structural profile of a source: every path that occurs, how
// often, with which JSON types, how many distinct scalar values it holds, and
// how deep containers nest.
//
// A path names a position by its enclosing containers, outermost first: an
// object contributes the raw key of the member being read (lossy UTF-8,
// escapes as written), after a "." unless the path is still empty; an array
// contributes "[]". A top-level value is "$". Paths are told apart by their
// text alone, so a key holding a dot can share a path with a nested member.
//
// The walk tells the describer of every container open and close, every
// member key and every scalar value. Each path is stored as its parent path
// plus its own segment, with a rolling hash of its whole text, and each open
// container knows its own path: a member's path is found from its parent's
// and its key alone (records that repeat their keys in the same order find
// each one by comparing the key with the path met at that place last time),
// so a profile takes time and memory linear in what it records, and a path's
// text is spelled out only when asked for.
//
// Containers nest at most kNestingLimit deep, as in a captured value: the
// container that would nest deeper is refused and the profile ends before
// it, so what a profile holds never follows the nesting of its input.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/parse_error_kind.h"
#include "engine/values/value.h"
#include "util/ordered_map.h"

namespace jorvane::engine {

// The distinct scalar fingerprints of one path (8 bytes each).
class FingerprintSet {
public:
    // Adds `fp`; false when it was already there.
    bool insert(uint64_t fp);
    // Adds every fingerprint of `other` while this set holds at most `cap`;
    // false once it holds more (the rest is then not added).
    bool insert_all(const FingerprintSet& other, uint64_t cap);
    size_t size() const { return size_; }
    // Releases the storage.
    void release();

private:
    std::vector<uint64_t> slots_;  // 0 = empty; fingerprint 0 is kept in has_zero_
    size_t size_ = 0;
    bool has_zero_ = false;
};

struct PathStats {
    std::array<uint64_t, kJsonTypeCount> types{};  // values per JsonType
    FingerprintSet fingerprints;
    uint64_t count = 0;       // values at the path (containers and scalars)
    bool overflowed = false;  // more than distinct_cap distinct scalars: no distinct count
};

class Describer {
public:
    explicit Describer(uint64_t distinct_cap = 1000) : distinct_cap_(distinct_cap) {}

    // A container opens at the current position. False when it would nest
    // past kNestingLimit: the profile then ends before it, and every later
    // call is ignored.
    bool open_container(bool is_object);
    // The innermost container closes.
    void close_container();
    // The member key of the innermost object (raw bytes between the quotes).
    void key(std::string_view raw);
    // A complete scalar at the current position: its kind and its raw bytes
    // (an atom's trimmed literal, a string's bytes between the quotes).
    void scalar(JsonType type, std::string_view raw);

    // The number of paths; path i is the i-th met.
    size_t path_count() const { return nodes_.size(); }
    const PathStats& stats(size_t i) const { return nodes_[i].stats; }
    // The text of path i, and its length in bytes.
    std::string path_text(size_t i) const;
    uint64_t path_length(size_t i) const { return nodes_[i].length; }
    // Greatest container nesting seen; a top-level container counts 1.
    uint64_t max_depth() const { return max_depth_; }

    // Folds in `later`, the profile of the input that follows this one's,
    // taken by another describer with the same cap from a point between
    // top-level values: the result is the profile this describer would have
    // taken going on through that input. Paths new here follow in the order
    // `later` met them; counts and types add; distinct sets join, and
    // overflow when the joined set holds more than the cap; depths take the
    // greater.
    void absorb(Describer&& later);

private:
    static constexpr int32_t kNoNode = -1;

    // One path: its parent path (whose text is a prefix of this one), the
    // rest of its text, and the rolling hash of its whole text. `members`
    // are the member paths met under it by position in the object that held
    // them last, `elements` its array elements' path once met.
    struct Node {
        int32_t parent = kNoNode;
        std::string segment;
        uint64_t length = 0;
        uint64_t hash = 0;
        PathStats stats;
        std::vector<int32_t> members;
        int32_t elements = kNoNode;
    };
    // One open container: its own path's node (kNoNode at top level, where
    // the children's paths start empty), the node of the current child path
    // once known, and the members read so far. A member key met for the
    // first time waits in `fresh` (its segment and hash) until its value
    // makes its node.
    struct Level {
        int32_t node = kNoNode;
        int32_t child = kNoNode;
        uint32_t members = 0;
        bool is_object = false;
        bool pending = false;
        std::string fresh;
        uint64_t fresh_hash = 0;
    };

    PathStats& current();
    // The node of the child path of `parent` with segment `segment` (hash
    // `h` of the whole text): the existing node of that text, or kNoNode.
    int32_t find(int32_t parent, std::string_view segment, uint64_t h) const;
    int32_t add(int32_t parent, std::string segment, uint64_t h);
    // The node of the child path of `parent` with segment `segment`, made
    // when it is new.
    int32_t find_or_add(int32_t parent, std::string_view segment);
    bool node_spells(int32_t node, std::string_view text) const;
    uint64_t hash_of(int32_t node) const { return node == kNoNode ? 0 : nodes_[static_cast<size_t>(node)].hash; }
    uint64_t length_of(int32_t node) const { return node == kNoNode ? 0 : nodes_[static_cast<size_t>(node)].length; }
    std::vector<int32_t>& members_of(int32_t node) {
        return node == kNoNode ? top_members_ : nodes_[static_cast<size_t>(node)].members;
    }
    int32_t& elements_of(int32_t node) { return node == kNoNode ? top_elements_ : nodes_[static_cast<size_t>(node)].elements; }

    std::vector<Node> nodes_;
    OrderedMap<int32_t, uint8_t> index_;  // node by the rolling hash of its text
    std::vector<Level> levels_;
    std::vector<int32_t> top_members_;  // `members` of the top-level objects
    int32_t top_elements_ = kNoNode;    // `elements` of the top-level arrays
    int32_t root_ = kNoNode;            // the node of "$"
    uint64_t max_depth_ = 0;
    uint64_t distinct_cap_;
    bool refused_ = false;
};

}  // namespace jorvane::engine
