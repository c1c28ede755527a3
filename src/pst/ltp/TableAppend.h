#pragma once
// Adding rows to a table context already in the file, writing only what the
// rows change: new heap pages for their values and row-index leaves, the last
// row-matrix block, the pages whose items or fill levels change, and the
// trees above them. Every other block of the table is kept where it is.
#include <cstdint>

#include "TableContext.h"
#include "pst/ndb/NodeDb.h"

namespace pst::ltp {

struct TableAppendResult {
    uint64_t bidData = 0, bidSub = 0;
};

// Appends `rows` (ids ascending) after the `committed` rows of the table at
// `node`, whose layout must be `layout`. Returns false, having written
// nothing, when the table cannot be added to this way (its rows in the heap,
// another layout, a row id not above its last); the caller then writes the
// table whole. Blocks written go to `written`; damage read throws PstRefused.
bool AppendTc(ndb::NodeDb& db, const ndb::NodeEntry& node, const TableLayout& layout, size_t committed,
              TcRowSource& rows, ndb::BlockList* written, TableAppendResult& out);

// The layout of the table at `node` and its rows, counted from its row
// matrix (the heap page of its header, the last matrix block and the trees
// above are read, nothing else); false for a table whose rows are not in a
// subnode, which AppendTc does not take.
bool InspectTc(ndb::NodeDb& db, const ndb::NodeEntry& node, TableLayout& layout, size_t& rows);

}  // namespace pst::ltp
