#include "TableContext.h"

#include <algorithm>
#include <cstring>

#include "Bth.h"
#include "PropContext.h"
#include "pst/ndb/Error.h"

namespace pst::ltp {
namespace {

uint8_t CellSize(uint16_t type) {
    size_t fixed = FixedSize(type);
    if (fixed == 0 || fixed == 16) return 4;  // HNID of a heap item or subnode
    return uint8_t(fixed);
}

}  // namespace

const ColumnDesc* TableLayout::Find(uint32_t tag) const {
    for (const ColumnDesc& c : columns)
        if (c.tag == tag) return &c;
    return nullptr;
}

TableLayout MakeLayout(const std::vector<std::pair<uint32_t, uint8_t>>& columns) {
    TableLayout l;
    uint16_t ib = 0;
    // 4- and 8-byte cells in the order given (row id and version first), then 2-, then 1-byte cells.
    for (int group : {4, 2, 1}) {
        for (auto& [tag, iBit] : columns) {
            uint8_t cb = CellSize(uint16_t(tag));
            if (group == 4 ? cb < 4 : cb != group) continue;
            l.columns.push_back({tag, ib, cb, iBit});
            ib = uint16_t(ib + cb);
        }
        l.rgib[group == 4 ? 0 : group == 2 ? 1 : 2] = ib;
    }
    l.rgib[3] = uint16_t(ib + (columns.size() + 7) / 8);
    std::sort(l.columns.begin(), l.columns.end(), [](const ColumnDesc& a, const ColumnDesc& b) { return a.tag < b.tag; });
    return l;
}

uint64_t WriteTc(ndb::NodeDb& db, const TableLayout& layout, const std::vector<const TcRow*>& rows, SubnodeSink& sink) {
    HeapBuilder heap(bTypeTC);
    const size_t cols = layout.columns.size();
    uint32_t hidRowIndex = ReserveBthHeader(heap);
    Bytes info(22 + 8 * cols, 0);
    uint32_t infoHid = heap.Allocate(info);
    heap.SetUserRoot(infoHid);

    const uint16_t rowSize = layout.RowSize();
    Bytes matrix;
    matrix.reserve(rows.size() * rowSize);
    Bytes rowIndex;
    std::vector<std::pair<uint32_t, uint32_t>> index;
    index.reserve(rows.size());
    for (size_t r = 0; r < rows.size(); ++r) {
        const TcRow& row = *rows[r];
        if (row.cells.size() != rowSize) throw PstError("table row of the wrong size");
        size_t at = matrix.size();
        matrix.insert(matrix.end(), row.cells.begin(), row.cells.end());
        for (auto& [ib, value] : row.vars) {
            uint32_t hnid = 0;
            if (value.empty())
                hnid = 0;
            else if (value.size() <= kMaxHeapItem)
                hnid = heap.Allocate(value);
            else {
                hnid = sink.NewNid();
                sink.Add(hnid, db.WriteData(value.data(), value.size(), sink.owned));
            }
            ndb::Put32(&matrix[at + ib], hnid);
        }
        index.emplace_back(row.rowId, uint32_t(r));
    }
    std::sort(index.begin(), index.end());
    for (size_t i = 1; i < index.size(); ++i)
        if (index[i].first == index[i - 1].first) throw PstError("duplicate row id in a table");
    for (auto& [id, pos] : index) {
        ndb::Append32(rowIndex, id);
        ndb::Append32(rowIndex, pos);
    }
    FillBth(heap, hidRowIndex, 4, 4, rowIndex, index.size());

    uint32_t hnidRows = 0;
    if (matrix.empty()) {
        hnidRows = 0;
    } else if (matrix.size() <= kMaxHeapItem) {
        hnidRows = heap.Allocate(matrix);
    } else {
        // Rows never straddle blocks; every block but the last is 8176 bytes.
        size_t perBlock = ndb::kMaxBlockData / rowSize;
        std::vector<Bytes> blocks;
        for (size_t r = 0; r < rows.size(); r += perBlock) {
            size_t n = std::min(perBlock, rows.size() - r);
            Bytes b(matrix.begin() + long(r * rowSize), matrix.begin() + long((r + n) * rowSize));
            if (r + n < rows.size()) b.resize(ndb::kMaxBlockData, 0);
            blocks.push_back(std::move(b));
        }
        hnidRows = sink.NewNid();
        sink.Add(hnidRows, db.WritePages(blocks, sink.owned));
    }

    info[0] = bTypeTC;
    info[1] = uint8_t(cols);
    for (int i = 0; i < 4; ++i) ndb::Put16(&info[2 + 2 * i], layout.rgib[i]);
    ndb::Put32(&info[10], hidRowIndex);
    ndb::Put32(&info[14], hnidRows);
    ndb::Put32(&info[18], 0);
    for (size_t c = 0; c < cols; ++c) {
        const ColumnDesc& d = layout.columns[c];
        uint8_t* p = &info[22 + 8 * c];
        ndb::Put32(p, d.tag);
        ndb::Put16(p + 4, d.ib);
        p[6] = d.cb;
        p[7] = d.iBit;
    }
    heap.Patch(infoHid, info);
    return db.WritePages(heap.Pages(), sink.owned);
}

}  // namespace pst::ltp
