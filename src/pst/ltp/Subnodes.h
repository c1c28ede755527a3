#pragma once
// Collects the subnodes of one node while its contexts are written: large
// values, row matrices, attachments, recipient tables.
#include <cstdint>
#include <vector>

#include "pst/ndb/Ids.h"
#include "pst/ndb/NodeDb.h"

namespace pst::ltp {

struct SubnodeSink {
    std::vector<ndb::SubnodeEntry> entries;
    ndb::BlockList* owned = nullptr;  // every block written for the node
    uint32_t nextIndex = 1;

    // A fresh NID of type `type`, unique within the node.
    uint32_t NewNid(uint8_t type = ndb::NID_TYPE_LTP) { return ndb::MakeNid(nextIndex++, type); }
    void Add(uint32_t nid, uint64_t bidData, uint64_t bidSub = 0) { entries.push_back({nid, bidData, bidSub}); }
};

}  // namespace pst::ltp
