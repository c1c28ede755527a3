#pragma once
// Table context writer ([MS-PST] 2.3.4): TCINFO, the row index BTH and the
// row matrix, in the heap while it fits one item, in a subnode beyond.
#include <cstdint>
#include <vector>

#include "Heap.h"
#include "Subnodes.h"

namespace pst::ltp {

struct ColumnDesc {
    uint32_t tag;
    uint16_t ib;
    uint8_t cb;
    uint8_t iBit;
};

// A fixed table layout: columns sorted by tag and the group end offsets.
struct TableLayout {
    std::vector<ColumnDesc> columns;
    uint16_t rgib[4] = {};  // TCI_4b, TCI_2b, TCI_1b, TCI_bm (= row size)
    uint16_t RowSize() const { return rgib[3]; }
    const ColumnDesc* Find(uint32_t tag) const;
};

// One row: its fixed bytes (RowSize(), CEB included) and the variable-size
// cell values to place in the heap, keyed by the cell offset to patch.
struct TcRow {
    uint32_t rowId = 0;
    Bytes cells;
    std::vector<std::pair<uint16_t, Bytes>> vars;
};

// Builds a layout from (tag, iBit) pairs: cells grouped by size, CEB last.
TableLayout MakeLayout(const std::vector<std::pair<uint32_t, uint8_t>>& columns);

// Rows handed to the writer one at a time, so a big table is never whole in memory.
class TcRowSource {
public:
    virtual ~TcRowSource() = default;
    virtual size_t Count() const = 0;
    virtual void Next(TcRow& row) = 0;  // rows in order, Count() times
};

// Writes the TC and returns its bidData; subnodes go to `sink`.
uint64_t WriteTc(ndb::NodeDb& db, const TableLayout& layout, TcRowSource& rows, SubnodeSink& sink);
uint64_t WriteTc(ndb::NodeDb& db, const TableLayout& layout, const std::vector<const TcRow*>& rows, SubnodeSink& sink);

}  // namespace pst::ltp
