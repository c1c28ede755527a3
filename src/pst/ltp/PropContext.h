#pragma once
// Property context writer ([MS-PST] 2.3.3): a BTH of (id, type, value-or-HNID)
// over a heap; values up to 4 bytes in place, up to 3580 bytes in the heap,
// larger ones in subnodes.
#include <cstdint>
#include <vector>

#include "Heap.h"
#include "Subnodes.h"

namespace pst::ltp {

struct PcProp {
    uint32_t tag = 0;
    Bytes value;             // encoded value ([MS-PST] 2.3.3.3): LE numbers, UTF-16LE text, raw binary
    uint64_t streamBid = 0;  // or: the value already written as a data tree
};

// Writes the PC and returns the bidData of the node. `props` need not be sorted.
uint64_t WritePc(ndb::NodeDb& db, std::vector<PcProp> props, SubnodeSink& sink);

// True for types stored in the 4-byte value field itself.
bool IsInlineType(uint16_t type);
// Size of a fixed-size type's value, 0 for variable-size types.
size_t FixedSize(uint16_t type);

}  // namespace pst::ltp
