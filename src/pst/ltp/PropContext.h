#pragma once
// Property context writer ([MS-PST] 2.3.3): a BTH of (id, type, value-or-HNID)
// over a heap; values up to 4 bytes in place, up to 3580 bytes in the heap,
// larger ones (and any that would make the heap too long) in subnodes.
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

// Longest PC heap WritePc lays out, in pages. libpff keeps eight heap blocks of
// a node in a cache indexed by block number and reads a PC's property records
// from a cached block while fetching values from others, so a ninth page can
// evict the block it is reading from. Values that would make the heap longer
// go to subnodes, which the format allows for values of any size.
inline constexpr size_t kMaxPcHeapPages = 8;

enum class PcPlace { Inline, Stream, Empty, Heap, Subnode };

// Where each value of `props` (sorted by tag) is written, keeping the heap
// within kMaxPcHeapPages.
std::vector<PcPlace> PlacePcValues(const std::vector<PcProp>& props);
// The length in pages of the heap those places give.
size_t PcHeapPages(const std::vector<PcProp>& props, const std::vector<PcPlace>& places);

// Writes the PC and returns the bidData of the node. `props` need not be sorted.
uint64_t WritePc(ndb::NodeDb& db, std::vector<PcProp> props, SubnodeSink& sink);

// True for types stored in the 4-byte value field itself.
bool IsInlineType(uint16_t type);
// Size of a fixed-size type's value, 0 for variable-size types.
size_t FixedSize(uint16_t type);

}  // namespace pst::ltp
