// PieceDigest: what a consumer of a table stream makes of one piece of rows
// on the thread that scanned them, so that work per row runs on every
// walker's core and the consumer, which takes pieces in document order, only
// combines digests. A digester may decline a piece (return null): the
// consumer then works on that piece's rows itself, as it would without
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
    uint64_t rows = 0;  // the rows of the piece it stands for
};

// Called on walker threads, several at once, each call with rows of its own,
// which it must leave as they are (the consumer may yet read them).
using PieceDigester = std::function<std::unique_ptr<PieceDigest>(engine::CellStore& rows)>;

// The digests of rows handed out together, in row order; empty unless every
// one of those rows is covered by one.
using PieceDigests = std::vector<std::unique_ptr<PieceDigest>>;

// The digests of pieces gathered one after another, kept only while every
// piece brought one: a piece without one leaves the consumer to work on all
// the gathered rows itself.
class GatheredDigests {
public:
    // The next piece's digest (null: it has none). Pieces without rows are
    // not added.
    void add(std::unique_ptr<PieceDigest> digest) {
        if (!digest) complete_ = false;
        if (complete_) digests_.push_back(std::move(digest));
    }
    // The digests of every piece added since the last take, or nothing when
    // some piece had none; starts afresh.
    PieceDigests take() {
        PieceDigests out;
        if (complete_) out = std::move(digests_);
        digests_.clear();
        complete_ = true;
        return out;
    }

private:
    PieceDigests digests_;
    bool complete_ = true;
};

}  // namespace jorvane::table
