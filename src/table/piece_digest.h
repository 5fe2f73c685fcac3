// PieceDigest: what a consumer of a table stream makes of one piece of rows
// on the thread that scanned them, so that work per row runs on every
// walker's core and the consumer, which takes pieces in document order, only
// combines digests. A digested piece's rows are dropped at once: what the
// walkers hold ahead of the consumer is then the digests, which are most
// often far smaller. A digester may decline a piece (return null): the piece
// keeps its rows and the consumer works on them itself, as it would without
// digests, so a digest is only ever a shortcut to the same result.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engine/cell_store.h"

namespace jorvane::table {

struct PieceDigest {
    virtual ~PieceDigest() = default;
    uint64_t rows = 0;    // the rows of the piece it stands for (set by the split)
    uint64_t bytes = 0;   // about the heap bytes it holds
    uint64_t weight = 0;  // what it holds that the consumer bounds (TableSplitOptions::weight_room)
};

// Called on walker threads, several at once, each call with rows of its own,
// which it must leave as they are (they are dropped if it digests them).
using PieceDigester = std::function<std::unique_ptr<PieceDigest>(engine::CellStore& rows)>;

// One piece of rows handed out: its digest, or none when its rows are in the
// store handed out with it.
struct PiecePart {
    uint64_t rows = 0;
    std::unique_ptr<PieceDigest> digest;
};

// The pieces of rows handed out together, in row order, the rows of those
// without a digest being the store's, in the same order; empty when no piece
// has a digest (every row is in the store).
using PieceParts = std::vector<PiecePart>;

// The parts of pieces gathered one after another.
class GatheredParts {
public:
    // The next `rows` rows: a digest, or none for rows in the store.
    void add(uint64_t rows, std::unique_ptr<PieceDigest> digest) {
        if (rows == 0) return;
        digested_ = digested_ || digest;
        if (!digest && !parts_.empty() && !parts_.back().digest) {
            parts_.back().rows += rows;
            return;
        }
        parts_.push_back(PiecePart{rows, std::move(digest)});
    }
    // Parts already gathered (`parts`, in order) follow.
    void add(PieceParts parts, uint64_t rows) {
        if (parts.empty()) return add(rows, nullptr);
        for (PiecePart& p : parts) add(p.rows, std::move(p.digest));
    }
    // Every part added since the last take (none when no piece had a
    // digest); starts afresh.
    PieceParts take() {
        PieceParts out;
        if (digested_) out = std::move(parts_);
        parts_.clear();
        digested_ = false;
        return out;
    }

private:
    PieceParts parts_;
    bool digested_ = false;
};

}  // namespace jorvane::table
