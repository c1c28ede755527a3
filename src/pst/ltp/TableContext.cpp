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

uint64_t WriteTc(ndb::NodeDb& db, const TableLayout& layout, TcRowSource& source, SubnodeSink& sink) {
    HeapBuilder heap(bTypeTC);
    heap.StreamTo(db, sink.owned);
    uint32_t hidRowIndex = ReserveBthHeader(heap);  // readers look for it at HID 0x20
    const size_t cols = layout.columns.size();
    Bytes info(22 + 8 * cols, 0);
    uint32_t infoHid = heap.Allocate(info);

    const uint16_t rowSize = layout.RowSize();
    const size_t count = source.Count();
    const bool inHeap = count * rowSize <= kMaxHeapItem;
    // Rows never straddle blocks; every block but the last is 8176 bytes.
    const size_t perBlock = ndb::kMaxBlockData / rowSize;
    Bytes block;
    block.reserve(inHeap ? count * rowSize : ndb::kMaxBlockData);
    std::vector<uint64_t> leaves;
    std::vector<std::pair<uint32_t, uint32_t>> index;
    index.reserve(count);
    TcRow row;
    for (size_t r = 0; r < count; ++r) {
        source.Next(row);
        if (row.cells.size() != rowSize) throw PstError("table row of the wrong size");
        size_t at = block.size();
        block.insert(block.end(), row.cells.begin(), row.cells.end());
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
            ndb::Put32(&block[at + ib], hnid);
        }
        index.emplace_back(row.rowId, uint32_t(r));
        if (!inHeap && (r + 1) % perBlock == 0 && r + 1 < count) {
            block.resize(ndb::kMaxBlockData, 0);
            leaves.push_back(db.WriteDataBlock(block.data(), block.size(), sink.owned));
            block.clear();
        }
    }
    uint32_t hnidRows = 0;
    if (count == 0) {
        hnidRows = 0;
    } else if (inHeap) {
        hnidRows = heap.Allocate(block);
    } else {
        leaves.push_back(db.WriteDataBlock(block.data(), block.size(), sink.owned));
        uint64_t total = uint64_t(leaves.size() - 1) * ndb::kMaxBlockData + block.size();
        hnidRows = sink.NewNid();
        sink.Add(hnidRows, db.WriteDataTree(leaves, total, sink.owned));
    }

    std::sort(index.begin(), index.end());
    Bytes rowIndex;
    rowIndex.reserve(index.size() * 8);
    for (size_t i = 0; i < index.size(); ++i) {
        if (i > 0 && index[i].first == index[i - 1].first) throw PstError("duplicate row id in a table");
        ndb::Append32(rowIndex, index[i].first);
        ndb::Append32(rowIndex, index[i].second);
    }
    FillBth(heap, hidRowIndex, 4, 4, rowIndex, index.size());

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
    heap.SetUserRoot(infoHid);
    return heap.Write(db, sink.owned);
}

namespace {

class VectorSource : public TcRowSource {
public:
    explicit VectorSource(const std::vector<const TcRow*>& rows) : rows_(rows) {}
    size_t Count() const override { return rows_.size(); }
    void Next(TcRow& row) override { row = *rows_[at_++]; }

private:
    const std::vector<const TcRow*>& rows_;
    size_t at_ = 0;
};

}  // namespace

uint64_t WriteTc(ndb::NodeDb& db, const TableLayout& layout, const std::vector<const TcRow*>& rows, SubnodeSink& sink) {
    VectorSource source(rows);
    return WriteTc(db, layout, source, sink);
}

}  // namespace pst::ltp
