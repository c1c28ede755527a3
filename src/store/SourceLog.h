#pragma once
// The source index as the file keeps it: the digests in the order they were
// committed, one data tree over 8176-byte leaves. A leaf, once full, is
// written once and kept; a commit writes only the digests it adds (in a last,
// partial leaf) and the tree's top, so its cost does not grow with the index.
// The previous commit's partial leaf and top are given back to free space.
#include <cstdint>
#include <vector>

#include "pst/ndb/NodeDb.h"

namespace store {

class SourceLog {
public:
    // Continues the log an opened file holds at `bid` (a value the store
    // handed over): its full leaves are kept as they are, its partial last leaf
    // is read back to be continued. False, with nothing taken, for a value of
    // another shape (then its blocks go with the next Write, and the caller
    // adds the digests anew).
    bool Adopt(pst::ndb::NodeDb& db, uint64_t bid);
    // Appends one 16-byte digest; full leaves go to the file at once.
    void Add(pst::ndb::NodeDb& db, const uint8_t* digest);
    // Writes what the tree lacks; returns its bid (0 while empty).
    uint64_t Write(pst::ndb::NodeDb& db);
    bool Empty() const { return bytes_ == 0; }

private:
    std::vector<uint64_t> leaves_;      // full leaves, in order
    std::vector<uint8_t> tail_;         // digests past the last full leaf
    pst::ndb::BlockList transient_;     // the last partial leaf and the tree's top, rewritten by each commit
    uint64_t bytes_ = 0;
};

}  // namespace store
