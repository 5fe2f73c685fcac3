// Paths are found by a rolling hash of their text, kept up to date as
// segments are appended and cut, and confirmed by comparing the stored
// segments against the current text from its end backwards. Each open
// container caches the node of its current child path: the elements of an
// array look their path up once, the members of an object once per key.
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

int32_t Describer::find_or_add(std::string_view text, uint64_t h, int32_t parent, size_t parent_length) {
    // A candidate under the same parent spells `text` when its own segment
    // is the rest of `text` (the parent's text is the start of `text`).
    const std::string_view rest = text.substr(parent_length);
    auto* e = index_.find_if(h, [&](int32_t n) {
        const Node& candidate = nodes_[static_cast<size_t>(n)];
        if (candidate.parent == parent) return candidate.length == text.size() && candidate.segment == rest;
        return node_spells(n, text);
    });
    if (e) return e->key;
    const auto id = static_cast<int32_t>(nodes_.size());
    Node node;
    node.parent = parent;
    node.segment.assign(text.substr(parent_length));
    node.length = text.size();
    nodes_.push_back(std::move(node));
    index_.insert_new(id, 0, h);
    return id;
}

PathStats& Describer::current() {
    if (levels_.empty()) {
        if (root_ == kNoNode) root_ = find_or_add(kRootPath, roll(0, kRootPath), kNoNode, 0);
        return nodes_[static_cast<size_t>(root_)].stats;
    }
    Level& level = levels_.back();
    if (level.child == kNoNode)
        level.child = find_or_add(path_, path_hash_, level.node, level.node == kNoNode ? 0 : level.prefix);
    return nodes_[static_cast<size_t>(level.child)].stats;
}

void Describer::open_container(bool is_object) {
    PathStats& s = current();
    s.count += 1;
    s.types[static_cast<size_t>(is_object ? JsonType::Object : JsonType::Array)] += 1;
    if (levels_.size() + 1 > max_depth_) max_depth_ = levels_.size() + 1;
    Level level;
    level.node = levels_.empty() ? kNoNode : levels_.back().child;
    level.prefix = static_cast<uint32_t>(path_.size());
    level.prefix_hash = path_hash_;
    level.is_object = is_object;
    const std::string_view segment = is_object ? (path_.empty() ? "" : ".") : "[]";
    path_.append(segment);
    path_hash_ = roll(path_hash_, segment);
    levels_.push_back(level);
}

void Describer::close_container() {
    if (levels_.empty()) return;
    path_.resize(levels_.back().prefix);
    path_hash_ = levels_.back().prefix_hash;
    levels_.pop_back();
}

void Describer::key(std::string_view raw) {
    if (levels_.empty() || !levels_.back().is_object) return;
    Level& level = levels_.back();
    const size_t key_at = level.prefix + (level.prefix > 0 ? 1 : 0);
    path_.resize(key_at);
    path_hash_ = roll(level.prefix_hash, level.prefix > 0 ? "." : "");
    if (is_valid_utf8(raw)) {
        path_.append(raw);
    } else {
        path_.append(lossy_utf8(raw));
    }
    path_hash_ = roll(path_hash_, std::string_view(path_).substr(key_at));
    level.child = kNoNode;
}

void Describer::scalar(JsonType type, std::string_view raw) {
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
    // A path of `later` is looked up by its hash, rolled from its parent's,
    // and confirmed cheaply when the candidate has the same parent here and
    // the same segment (the parent's text is the same by construction); only
    // a path spelled through other segments needs its whole text.
    std::vector<int32_t> here(later.nodes_.size(), kNoNode);
    std::vector<uint64_t> hashes(later.nodes_.size(), 0);
    for (size_t i = 0; i < later.nodes_.size(); ++i) {
        Node& node = later.nodes_[i];
        const bool top = node.parent == kNoNode;
        const int32_t parent = top ? kNoNode : here[static_cast<size_t>(node.parent)];
        hashes[i] = roll(top ? 0 : hashes[static_cast<size_t>(node.parent)], node.segment);
        std::string text;
        const auto* found = index_.find_if(hashes[i], [&](int32_t n) {
            const Node& candidate = nodes_[static_cast<size_t>(n)];
            if (candidate.length != node.length) return false;
            if (candidate.parent == parent) return candidate.segment == node.segment;
            if (text.empty()) text = (top ? std::string() : path_text(static_cast<size_t>(parent))) + node.segment;
            return node_spells(n, text);
        });
        int32_t id;
        if (found) {
            id = found->key;
            PathStats& s = nodes_[static_cast<size_t>(id)].stats;
            const PathStats& l = node.stats;
            s.count += l.count;
            for (size_t t = 0; t < s.types.size(); ++t) s.types[t] += l.types[t];
            if (!s.overflowed && (l.overflowed || !s.fingerprints.insert_all(l.fingerprints, distinct_cap_))) {
                s.overflowed = true;
                s.fingerprints.release();
            }
        } else {
            id = static_cast<int32_t>(nodes_.size());
            Node added;
            added.parent = parent;
            added.segment = std::move(node.segment);
            added.length = node.length;
            added.stats = std::move(node.stats);
            nodes_.push_back(std::move(added));
            index_.insert_new(id, 0, hashes[i]);
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
