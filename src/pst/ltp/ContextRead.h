#pragma once
// Reading the property and table contexts of an opened file ([MS-PST] 2.3):
// the heap-on-node, BTH records, PC values and TC rows, in the forms the
// writers take, so that what is read can be written back unchanged.
#include <cstdint>
#include <map>
#include <vector>

#include "PropContext.h"
#include "TableContext.h"
#include "pst/ndb/NodeDb.h"

namespace pst::ltp {

// A node's properties, sorted by tag. Values are as PcProp holds them: fixed
// sizes little-endian (inline types in their own size), others as stored.
// With `streams`, the tags whose values are subnodes map to those subnodes' data trees.
std::vector<PcProp> ReadPc(ndb::NodeDb& db, uint64_t bidData, uint64_t bidSub,
                           std::map<uint32_t, uint64_t>* streams = nullptr);

struct TableRead {
    TableLayout layout;
    std::vector<TcRow> rows;  // in row-matrix order; HNID cells zero, their values in vars
};
TableRead ReadTc(ndb::NodeDb& db, uint64_t bidData, uint64_t bidSub);

// True when a column of this type holds an HNID rather than the value.
bool IsHnidColumnType(uint16_t type);

}  // namespace pst::ltp
