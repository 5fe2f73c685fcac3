// A path is found by the rolling hash of its text, rolled on from its
// parent's stored hash, and confirmed by its own segment when the candidate
// has the same parent (else by comparing the stored segments against its
// text from the end backwards). Most lookups never get that far: an open
// array finds its elements' path once per parent path, and an object's
// member first tries the path met at the same position under the same
// parent last time, which costs one comparison of the key.
#include "engine/describer.h"

#include <algorithm>

#include "util/hash.h"
#include "util/text.h"

namespace jorvane::engine {

namespace {

constexpr uint64_t kRollingBase = 0x100000001b3ULL;

uint64_t roll(uint64_t h, std::string_view bytes) {
    for (unsigned char c : bytes) h = h * kRollingBase + c + 1;
    return h;
}

constexpr std::string_view kRootPath = "$";

}  // namespace

bool FingerprintSet::insert(uint64_t fp) {
    if (fp == 0) {
        if (has_zero_) return false;
        has_zero_ = true;
        ++size_;
        return true;
    }
    auto home = [](uint64_t v, size_t mask) { return static_cast<size_t>((v * 0x9E3779B97F4A7C15ULL) >> 32) & mask; };
    if ((size_ + 1) * 2 > slots_.size()) {
        std::vector<uint64_t> old = std::move(slots_);
        slots_.assign(old.empty() ? 16 : old.size() * 2, 0);
        const size_t mask = slots_.size() - 1;
        for (uint64_t v : old) {
            if (v == 0) continue;
            size_t i = home(v, mask);
            while (slots_[i] != 0) i = (i + 1) & mask;
            slots_[i] = v;
        }
    }
    const size_t mask = slots_.size() - 1;
    for (size_t i = home(fp, mask);; i = (i + 1) & mask) {
        if (slots_[i] == fp) return false;
        if (slots_[i] == 0) {
            slots_[i] = fp;
            ++size_;
            return true;
        }
    }
}

bool FingerprintSet::insert_all(const FingerprintSet& other, uint64_t cap) {
    if (other.has_zero_) insert(0);
    if (size_ > cap) return false;
    for (uint64_t v : other.slots_) {
        if (v == 0) continue;
        if (insert(v) && size_ > cap) return false;
    }
    return true;
}

void FingerprintSet::release() {
    std::vector<uint64_t>().swap(slots_);
    size_ = 0;
    has_zero_ = false;
}

bool Describer::node_spells(int32_t node, std::string_view text) const {
    if (nodes_[static_cast<size_t>(node)].length != text.size()) return false;
    size_t end = text.size();
    for (int32_t n = node; n != kNoNode; n = nodes_[static_cast<size_t>(n)].parent) {
        const std::string& seg = nodes_[static_cast<size_t>(n)].segment;
        if (seg.size() > end || text.compare(end - seg.size(), seg.size(), seg) != 0) return false;
        end -= seg.size();
    }
    return end == 0;
}

int32_t Describer::find(int32_t parent, std::string_view segment, uint64_t h) const {
    const uint64_t length = length_of(parent) + segment.size();
    std::string text;  // spelled out only for a candidate under another parent
    const auto* e = index_.find_if(h, [&](int32_t n) {
        const Node& candidate = nodes_[static_cast<size_t>(n)];
        if (candidate.length != length) return false;
        // Under the same parent, the parent's text is the start of both.
        if (candidate.parent == parent) return candidate.segment == segment;
        if (text.empty()) text = (parent == kNoNode ? std::string() : path_text(static_cast<size_t>(parent))) + std::string(segment);
        return node_spells(n, text);
    });
    return e ? e->key : kNoNode;
}

int32_t Describer::add(int32_t parent, std::string segment, uint64_t h) {
    const auto id = static_cast<int32_t>(nodes_.size());
    Node node;
    node.parent = parent;
    node.length = length_of(parent) + segment.size();
    node.segment = std::move(segment);
    node.hash = h;
    nodes_.push_back(std::move(node));
    index_.insert_new(id, 0, h);
    return id;
}

int32_t Describer::find_or_add(int32_t parent, std::string_view segment) {
    const uint64_t h = roll(hash_of(parent), segment);
    const int32_t id = find(parent, segment, h);
    return id != kNoNode ? id : add(parent, std::string(segment), h);
}

PathStats& Describer::current() {
    if (levels_.empty()) {
        if (root_ == kNoNode) root_ = find_or_add(kNoNode, kRootPath);
        return nodes_[static_cast<size_t>(root_)].stats;
    }
    Level& level = levels_.back();
    if (level.child == kNoNode) {
        if (level.is_object) {
            // A member whose key was new when it was read; a value before
            // any key (malformed input) reads as a member with an empty key.
            if (level.pending) {
                level.child = add(level.node, std::move(level.fresh), level.fresh_hash);
                level.pending = false;
                std::vector<int32_t>& members = members_of(level.node);
                if (level.members > 0 && level.members <= members.size()) members[level.members - 1] = level.child;
            } else {
                level.child = find_or_add(level.node, length_of(level.node) > 0 ? "." : "");
            }
        } else {
            level.child = elements_of(level.node);
            if (level.child == kNoNode) {
                // Adding a node may move the nodes: the slot is found again.
                level.child = find_or_add(level.node, "[]");
                elements_of(level.node) = level.child;
            }
        }
    }
    return nodes_[static_cast<size_t>(level.child)].stats;
}

bool Describer::open_container(bool is_object) {
    if (refused_ || levels_.size() >= kNestingLimit) {
        refused_ = true;
        return false;
    }
    PathStats& s = current();
    s.count += 1;
    s.types[static_cast<size_t>(is_object ? JsonType::Object : JsonType::Array)] += 1;
    if (levels_.size() + 1 > max_depth_) max_depth_ = levels_.size() + 1;
    Level level;
    level.node = levels_.empty() ? kNoNode : levels_.back().child;
    level.is_object = is_object;
    levels_.push_back(std::move(level));
    return true;
}

void Describer::close_container() {
    if (!refused_ && !levels_.empty()) levels_.pop_back();
}

void Describer::key(std::string_view raw) {
    if (refused_ || levels_.empty() || !levels_.back().is_object) return;
    Level& level = levels_.back();
    level.pending = false;
    const uint32_t at = level.members++;
    const bool dotted = length_of(level.node) > 0;
    std::vector<int32_t>& members = members_of(level.node);
    // The path met at this place of the object last time, when this key
    // spells its segment (a segment is valid UTF-8, so equal bytes are the
    // key's lossy text too).
    if (at < members.size() && members[at] != kNoNode) {
        const Node& guess = nodes_[static_cast<size_t>(members[at])];
        const std::string_view seg = guess.segment;
        if (guess.parent == level.node && seg.size() == raw.size() + dotted && (!dotted || seg[0] == '.') &&
            seg.substr(dotted) == raw) {
            level.child = members[at];
            return;
        }
    }
    std::string segment = dotted ? "." : "";
    if (is_valid_utf8(raw)) {
        segment.append(raw);
    } else {
        segment.append(lossy_utf8(raw));
    }
    const uint64_t h = roll(hash_of(level.node), segment);
    level.child = find(level.node, segment, h);
    if (at >= members.size()) members.resize(at + 1, kNoNode);
    if (level.child != kNoNode) {
        members[at] = level.child;
        return;
    }
    level.pending = true;
    level.fresh = std::move(segment);
    level.fresh_hash = h;
}

void Describer::scalar(JsonType type, std::string_view raw) {
    if (refused_) return;
    PathStats& s = current();
    s.count += 1;
    s.types[static_cast<size_t>(type)] += 1;
    if (s.overflowed) return;
    s.fingerprints.insert(hash_bytes(raw));
    if (s.fingerprints.size() > distinct_cap_) {
        s.overflowed = true;
        s.fingerprints.release();
    }
}

void Describer::absorb(Describer&& later) {
    if (nodes_.empty()) {
        const uint64_t cap = distinct_cap_;
        *this = std::move(later);
        distinct_cap_ = cap;
        return;
    }
    // A path of `later` is looked up here under the path its parent became
    // (of the same text), by the hash of its text.
    std::vector<int32_t> here(later.nodes_.size(), kNoNode);
    for (size_t i = 0; i < later.nodes_.size(); ++i) {
        Node& node = later.nodes_[i];
        const int32_t parent = node.parent == kNoNode ? kNoNode : here[static_cast<size_t>(node.parent)];
        int32_t id = find(parent, node.segment, node.hash);
        if (id != kNoNode) {
            PathStats& s = nodes_[static_cast<size_t>(id)].stats;
            const PathStats& l = node.stats;
            s.count += l.count;
            for (size_t t = 0; t < s.types.size(); ++t) s.types[t] += l.types[t];
            if (!s.overflowed && (l.overflowed || !s.fingerprints.insert_all(l.fingerprints, distinct_cap_))) {
                s.overflowed = true;
                s.fingerprints.release();
            }
        } else {
            id = add(parent, std::move(node.segment), node.hash);
            nodes_[static_cast<size_t>(id)].stats = std::move(node.stats);
        }
        here[i] = id;
        if (static_cast<int32_t>(i) == later.root_ && root_ == kNoNode) root_ = id;
    }
    max_depth_ = std::max(max_depth_, later.max_depth_);
}

std::string Describer::path_text(size_t i) const {
    std::string out(nodes_[i].length, '\0');
    size_t end = out.size();
    for (auto n = static_cast<int32_t>(i); n != kNoNode; n = nodes_[static_cast<size_t>(n)].parent) {
        const std::string& seg = nodes_[static_cast<size_t>(n)].segment;
        end -= seg.size();
        out.replace(end, seg.size(), seg);
    }
    return out;
}

}  // namespace jorvane::engine
