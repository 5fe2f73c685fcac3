// Gathering the window is a cold step (once per failed scan) over a handful
// of pieces, so it looks each byte up in turn. Keeping the pieces is what
// every buffer pays for: at most 128 bytes copied per buffer, and 65 per
// token cut by a buffer's end.
#include "engine/near_bytes.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "util/saturating.h"

namespace jorvane::engine {
namespace {

std::optional<uint8_t> byte_at(uint64_t offset, std::span<const KnownBytes> known) {
    for (const KnownBytes& k : known)
        if (offset >= k.at && offset - k.at < k.bytes.size()) return k.bytes[static_cast<size_t>(offset - k.at)];
    return std::nullopt;
}

}  // namespace

uint64_t near_begin(uint64_t offset) { return offset >= kNearReach ? offset - kNearReach : 0; }

uint64_t near_end(uint64_t offset) { return saturating_add(offset, kNearReach); }

NearBytes gather_around(uint64_t from, uint64_t at, uint64_t to, std::span<const KnownBytes> known) {
    uint64_t first = at;
    while (first > from && byte_at(first - 1, known)) --first;
    NearBytes out{first, {}};
    for (uint64_t i = first; i < at; ++i) out.bytes.push_back(static_cast<char>(*byte_at(i, known)));
    for (uint64_t i = at; i < to; ++i) {
        const std::optional<uint8_t> b = byte_at(i, known);
        if (!b) break;
        out.bytes.push_back(static_cast<char>(*b));
    }
    return out;
}

NearBytes gather_near(uint64_t offset, std::span<const KnownBytes> known) {
    return gather_around(near_begin(offset), offset, near_end(offset), known);
}

void RecentBytes::push(std::span<const uint8_t> bytes) {
    if (bytes.size() >= kKept) {
        std::memcpy(bytes_.data(), bytes.data() + bytes.size() - kKept, kKept);
        len_ = kKept;
        return;
    }
    const size_t keep = std::min(len_, kKept - bytes.size());
    std::memmove(bytes_.data(), bytes_.data() + len_ - keep, keep);
    if (!bytes.empty()) std::memcpy(bytes_.data() + keep, bytes.data(), bytes.size());
    len_ = keep + bytes.size();
}

KnownBytes RecentBytes::before(uint64_t end) const {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(len_, end));
    return {end - n, {bytes_.data() + len_ - n, n}};
}

void TokenLead::keep(const RecentBytes& recent, uint64_t buffer_offset, std::span<const uint8_t> buffer, size_t p) {
    const size_t from_buffer = static_cast<size_t>(std::min<uint64_t>(p, kNearReach));
    const KnownBytes earlier = recent.before(buffer_offset);
    const size_t from_recent = std::min<size_t>(kNearReach - from_buffer, earlier.bytes.size());
    const std::span<const uint8_t> older = earlier.bytes.last(from_recent);
    if (!older.empty()) std::memcpy(bytes_.data(), older.data(), from_recent);
    std::memcpy(bytes_.data() + from_recent, buffer.data() + p - from_buffer, from_buffer + 1);
    len_ = from_recent + from_buffer + 1;
    at_ = buffer_offset + p - from_buffer - from_recent;
}

}  // namespace jorvane::engine
