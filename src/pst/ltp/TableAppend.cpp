#include "TableAppend.h"

#include <algorithm>
#include <map>
#include <string>

#include "Bth.h"
#include "PropContext.h"
#include "pst/ndb/Error.h"

namespace pst::ltp {
namespace {

using ndb::Get16;
using ndb::Get32;

constexpr size_t kRecord = 8;                          // row-index record: row id, row number
constexpr size_t kPerLeaf = kMaxHeapItem / kRecord;    // records in a full BTH leaf
constexpr size_t kPerIndex = kMaxHeapItem / (4 + 4);   // entries in a full BTH index item

[[noreturn]] void Damaged(ndb::NodeDb& db, const std::string& what) {
    throw PstRefused("\"" + db.Path() + "\" is damaged: a table " + what + "; it is left untouched");
}

size_t PageHeader(size_t index) { return index == 0 ? 12 : IsBitmapPage(index) ? 66 : 2; }

// The leaf blocks of a data tree, and its byte count.
std::vector<uint64_t> DataLeaves(ndb::NodeDb& db, uint64_t bid, uint64_t& total) {
    if (!(bid & 2)) {
        total = 0;  // unknown until the block is read
        return {bid};
    }
    std::vector<uint64_t> out;
    ndb::Bytes x = db.ReadBlock(bid);
    if (x.size() < 8 || x[0] != 0x01 || (x[1] != 1 && x[1] != 2) || x.size() < 8 + 8 * size_t(Get16(&x[2])))
        Damaged(db, "data tree that is not one");
    total = Get32(&x[4]);
    for (size_t i = 0; i < Get16(&x[2]); ++i) {
        const uint64_t child = ndb::Get64(&x[8 + 8 * i]);
        if (x[1] == 1) {
            out.push_back(child);
            continue;
        }
        uint64_t ignored = 0;
        if (!(child & 2)) Damaged(db, "data tree listing data as a tree");
        for (uint64_t leaf : DataLeaves(db, child, ignored)) out.push_back(leaf);
    }
    return out;
}

// One heap page, its items editable: a page is written anew only when changed.
struct Page {
    ndb::Bytes header;              // the page's own header bytes (levels included)
    std::vector<ndb::Bytes> items;  // by index - 1; a freed item is empty
    bool changed = false;
    bool complete = false;          // a new page that takes no more items (its level is set)
    size_t oldSize = 0;             // 0 for a page this append adds
    size_t itemBytes = 0;           // of a new page's items (so adding one does not sum them all)

    size_t Used() const {
        size_t end = header.size();
        for (const ndb::Bytes& i : items) end += i.size();
        end += end & 1;
        return end + 4 + 2 * (items.size() + 1);
    }
    ndb::Bytes Serialize(bool pad) const {
        ndb::Bytes b = header;
        std::vector<uint16_t> starts;
        uint16_t freed = 0;
        for (const ndb::Bytes& i : items) {
            starts.push_back(uint16_t(b.size()));
            b.insert(b.end(), i.begin(), i.end());
            freed = uint16_t(freed + (i.empty() ? 1 : 0));
        }
        const uint16_t end = uint16_t(b.size());
        if (b.size() & 1) b.push_back(0);
        const uint16_t ibHnpm = uint16_t(b.size());
        ndb::Append16(b, uint16_t(items.size()));
        ndb::Append16(b, freed);
        for (uint16_t s : starts) ndb::Append16(b, s);
        ndb::Append16(b, end);
        ndb::Put16(b.data(), ibHnpm);
        if (pad) b.resize(ndb::kMaxBlockData, 0);
        return b;
    }
};

// The heap of a table in the file, read page by page as items are looked at;
// new items go to new pages after the last. Once WriteNewPagesInto() is called
// a new page is written as soon as the next one begins (a page holding fill
// levels once the pages it describes are complete), so adding many rows at
// once holds a page or two, not all their values.
class HeapEdit {
public:
    HeapEdit(ndb::NodeDb& db, uint64_t bidData) : db_(db) {
        bids_ = DataLeaves(db, bidData, total_);
        oldCount_ = bids_.size();
        Page& p0 = Get(0);
        if (p0.header[2] != 0xEC || p0.header[3] != bTypeTC) Damaged(db, "heap of the wrong kind");
        if (total_ == 0) total_ = p0.oldSize;
    }
    uint32_t UserRoot() { return Get32(&Get(0).header[4]); }
    size_t PageCount() const { return oldCount_ + addedCount_; }
    void WriteNewPagesInto(ndb::BlockList* written) {
        streaming_ = true;
        written_ = written;
    }

    const ndb::Bytes& Item(uint32_t hid) { return Slot(hid); }
    void Patch(uint32_t hid, const ndb::Bytes& b) {
        ndb::Bytes& slot = Slot(hid);
        if (slot.size() != b.size()) throw PstError("heap item patched with another size");
        slot = b;
        PageOf(hid).changed = true;
    }
    void Free(uint32_t hid) {
        Slot(hid).clear();
        PageOf(hid).changed = true;
    }
    uint32_t Allocate(const uint8_t* data, size_t size) {
        if (size == 0 || size > kMaxHeapItem) throw PstError("heap item size out of range");
        Page* p = addedCount_ == 0 ? nullptr : &live_.at(PageCount() - 1);
        const auto used = [](const Page& q) {
            const size_t end = q.header.size() + q.itemBytes;
            return end + (end & 1) + 4 + 2 * (q.items.size() + 1);
        };
        if (!p || used(*p) + size + 2 > ndb::kMaxBlockData || p->items.size() >= 2047) {
            if (PageCount() >= 0xFFFF) throw PstError("heap too large");
            const size_t i = PageCount();
            ++addedCount_;
            bids_.push_back(0);
            p = &live_[i];
            p->header.assign(PageHeader(i), 0);
            p->changed = true;
            if (streaming_ && i > oldCount_) Complete(i - 1);
        }
        p->items.emplace_back(data, data + size);
        p->itemBytes += size;
        return uint32_t((PageCount() - 1) << 16) | uint32_t(p->items.size() << 5);
    }
    uint32_t Allocate(const ndb::Bytes& b) { return Allocate(b.data(), b.size()); }

    // Writes the changed and new pages and the tree over all pages; returns the node's bidData.
    uint64_t Write(ndb::BlockList* written) {
        // New pages after the old last one: that page is padded, as every page but the last is.
        if (addedCount_ > 0 && Get(oldCount_ - 1).oldSize != ndb::kMaxBlockData) Get(oldCount_ - 1).changed = true;
        std::vector<size_t> changedPages;
        for (auto& [i, p] : old_)
            if (p.changed) changedPages.push_back(i);
        for (auto& [i, p] : live_)
            if (!p.complete) changedPages.push_back(i);
        for (size_t i : changedPages) SetLevel(i);
        for (auto& [i, p] : old_) {
            if (!p.changed) continue;
            const ndb::Bytes b = p.Serialize(i + 1 < PageCount());
            total_ = total_ - p.oldSize + b.size();
            bids_[i] = db_.WriteDataBlock(b.data(), b.size(), written);
        }
        while (!live_.empty()) WriteLive(live_.begin()->first, written);
        if (bids_.size() > ndb::kXBlockFanout && total_ != (bids_.size() - 1) * ndb::kMaxBlockData + LastSize())
            throw PstError("heap pages of uneven size past one XBLOCK");
        return db_.WriteDataTree(bids_, total_, written);
    }
    // Whether pages of other writers' sizes would make an XXBLOCK tree wrong.
    bool TreeFits(size_t morePages) {
        const size_t pages = oldCount_ + morePages;
        if (pages <= ndb::kXBlockFanout) return true;
        return total_ == (oldCount_ - 1) * ndb::kMaxBlockData + Get(oldCount_ - 1).oldSize;
    }

private:
    size_t LastSize() const {
        if (addedCount_ > 0) return lastWritten_;
        return old_.count(oldCount_ - 1) ? old_.at(oldCount_ - 1).Serialize(false).size() : 0;
    }
    Page& Get(size_t i) {
        if (i >= oldCount_) {
            auto it = live_.find(i);
            if (it == live_.end()) throw PstError("heap page read after it was written");
            return it->second;
        }
        auto it = old_.find(i);
        if (it != old_.end()) return it->second;
        const ndb::Bytes b = db_.ReadBlock(bids_[i]);
        Page p;
        p.oldSize = b.size();
        const size_t hdr = PageHeader(i);
        if (b.size() < hdr + 4) Damaged(db_, "heap page too short");
        const size_t map = Get16(b.data());
        if (map < hdr || map + 4 > b.size()) Damaged(db_, "heap page map outside its page");
        const size_t count = Get16(&b[map]);
        if (map + 4 + 2 * (count + 1) > b.size()) Damaged(db_, "heap page map outside its page");
        p.header.assign(b.begin(), b.begin() + long(hdr));
        for (size_t k = 0; k < count; ++k) {
            const size_t from = Get16(&b[map + 4 + 2 * k]), to = Get16(&b[map + 6 + 2 * k]);
            if (from < hdr || to < from || to > map) Damaged(db_, "heap item outside its page");
            p.items.emplace_back(b.begin() + long(from), b.begin() + long(to));
        }
        return old_.emplace(i, std::move(p)).first->second;
    }
    Page& PageOf(uint32_t hid) { return Get(hid >> 16); }
    ndb::Bytes& Slot(uint32_t hid) {
        const size_t index = (hid >> 5) & 0x7FF;
        if ((hid & 0x1F) != 0 || (hid >> 16) >= PageCount()) Damaged(db_, "heap id that names no item");
        Page& p = PageOf(hid);
        if (index == 0 || index > p.items.size()) Damaged(db_, "heap id that names no item");
        return p.items[index - 1];
    }

    ndb::NodeDb& db_;
    std::vector<uint64_t> bids_;
    uint64_t total_ = 0;
    size_t oldCount_ = 0;
    // The page's fill level into the page that holds it (page 0 or a bitmap page).
    void SetLevel(size_t i) {
        const uint8_t level = FillLevel(ndb::kMaxBlockData - Get(i).Used());
        const size_t holder = i < 8 ? 0 : 8 + (i - 8) / 128 * 128;
        Page& h = Get(holder);
        uint8_t* levels = holder == 0 ? &h.header[8] : &h.header[2];
        const size_t slot = holder == 0 ? i : i - holder;
        const uint8_t before = levels[slot / 2];
        SetNibble(levels, slot, level);
        if (levels[slot / 2] != before) h.changed = true;
    }
    // A new page that takes no more items: written, unless it holds the
    // levels of pages still to come; a bitmap page goes with its last page.
    void Complete(size_t i) {
        SetLevel(i);
        live_.at(i).complete = true;
        if (!IsBitmapPage(i)) WriteLive(i, written_);
        const size_t holder = i < 8 ? 0 : 8 + (i - 8) / 128 * 128;
        if (holder >= oldCount_ && holder != 0 && i == holder + 127) WriteLive(holder, written_);
    }
    void WriteLive(size_t i, ndb::BlockList* written) {
        const ndb::Bytes b = live_.at(i).Serialize(i + 1 < PageCount());
        total_ += b.size();
        bids_[i] = db_.WriteDataBlock(b.data(), b.size(), written);
        if (i + 1 == PageCount()) lastWritten_ = b.size();
        live_.erase(i);
    }

    std::map<size_t, Page> old_;
    std::map<size_t, Page> live_;  // new pages not written yet
    size_t addedCount_ = 0;
    size_t lastWritten_ = 0;  // the size of the last new page, once written
    bool streaming_ = false;
    ndb::BlockList* written_ = nullptr;
};

// What a table in the file holds that adding rows needs.
struct Tail {
    uint32_t hidRowIndex = 0, hnidRows = 0;
    std::vector<ndb::SubnodeEntry> subnodes;
    size_t matrixEntry = 0;  // index in subnodes
    std::vector<uint64_t> matrixLeaves;
    uint64_t matrixTotal = 0;
    ndb::Bytes lastBlock;
    size_t rows = 0;
};

// False for a table whose rows live in its heap (or that has none).
bool ReadTail(ndb::NodeDb& db, HeapEdit& heap, const ndb::NodeEntry& node, uint16_t rowSize, Tail& t) {
    const ndb::Bytes& info = heap.Item(heap.UserRoot());
    if (info.size() < 22 || info[0] != bTypeTC) Damaged(db, "of the wrong kind");
    t.hidRowIndex = Get32(&info[10]);
    t.hnidRows = Get32(&info[14]);
    if (t.hnidRows == 0 || (t.hnidRows & 0x1F) == 0 || rowSize == 0) return false;
    t.subnodes = db.ReadSubnodes(node.bidSub);
    auto it = std::find_if(t.subnodes.begin(), t.subnodes.end(), [&](const ndb::SubnodeEntry& s) { return s.nid == t.hnidRows; });
    if (it == t.subnodes.end()) Damaged(db, "whose rows are missing");
    t.matrixEntry = size_t(it - t.subnodes.begin());
    t.matrixLeaves = DataLeaves(db, it->bidData, t.matrixTotal);
    t.lastBlock = db.ReadBlock(t.matrixLeaves.back());
    if (t.matrixTotal == 0) t.matrixTotal = t.lastBlock.size();
    const size_t perBlock = ndb::kMaxBlockData / rowSize;
    const size_t lastRows = t.lastBlock.size() / rowSize;
    if (t.lastBlock.size() % rowSize != 0 && t.lastBlock.size() != ndb::kMaxBlockData) Damaged(db, "row block of part of a row");
    if (perBlock == 0 || lastRows > perBlock) Damaged(db, "row block of too many rows");
    t.rows = (t.matrixLeaves.size() - 1) * perBlock + lastRows;
    return true;
}

uint64_t KeyOf(const uint8_t* p) { return Get32(p); }

}  // namespace

bool InspectTc(ndb::NodeDb& db, const ndb::NodeEntry& node, TableLayout& layout, size_t& rows) {
    HeapEdit heap(db, node.bidData);
    const ndb::Bytes info = heap.Item(heap.UserRoot());
    if (info.size() < 22 || info[0] != bTypeTC || info.size() < 22 + 8 * size_t(info[1])) Damaged(db, "of the wrong kind");
    layout = TableLayout{};
    for (int i = 0; i < 4; ++i) layout.rgib[i] = Get16(&info[2 + 2 * size_t(i)]);
    for (size_t c = 0; c < info[1]; ++c) {
        const uint8_t* p = &info[22 + 8 * c];
        ColumnDesc d{Get32(p), Get16(p + 4), p[6], p[7]};
        if (size_t(d.ib) + d.cb > layout.rgib[2] || layout.rgib[2] + d.iBit / 8 >= layout.RowSize())
            Damaged(db, "column outside its row");
        layout.columns.push_back(d);
    }
    std::sort(layout.columns.begin(), layout.columns.end(), [](const ColumnDesc& a, const ColumnDesc& b) { return a.tag < b.tag; });
    Tail t;
    if (!ReadTail(db, heap, node, layout.RowSize(), t)) return false;
    rows = t.rows;
    return true;
}

bool AppendTc(ndb::NodeDb& db, const ndb::NodeEntry& node, const TableLayout& layout, size_t committed,
              TcRowSource& source, ndb::BlockList* written, TableAppendResult& out) {
    const size_t count = source.Count();
    const uint16_t rowSize = layout.RowSize();
    HeapEdit heap(db, node.bidData);
    {
        // Same columns at the same places, or the rows would not fit.
        const ndb::Bytes& info = heap.Item(heap.UserRoot());
        if (info.size() < 22 || info[0] != bTypeTC || info.size() < 22 + 8 * size_t(info[1])) Damaged(db, "of the wrong kind");
        std::vector<ColumnDesc> cols;
        for (size_t c = 0; c < info[1]; ++c) {
            const uint8_t* p = &info[22 + 8 * c];
            cols.push_back({Get32(p), Get16(p + 4), p[6], p[7]});
        }
        std::sort(cols.begin(), cols.end(), [](const ColumnDesc& a, const ColumnDesc& b) { return a.tag < b.tag; });
        bool same = cols.size() == layout.columns.size();
        for (size_t i = 0; same && i < cols.size(); ++i)
            same = cols[i].tag == layout.columns[i].tag && cols[i].ib == layout.columns[i].ib &&
                   cols[i].cb == layout.columns[i].cb && cols[i].iBit == layout.columns[i].iBit;
        for (int i = 0; same && i < 4; ++i) same = Get16(&info[2 + 2 * size_t(i)]) == layout.rgib[i];
        if (!same) return false;
    }
    Tail t;
    if (!ReadTail(db, heap, node, rowSize, t) || t.rows != committed) return false;

    // The row index: its leaves (first key, item) and the index items above them.
    ndb::Bytes header = heap.Item(t.hidRowIndex);
    if (header.size() != 8 || header[0] != bTypeBTH || header[1] != 4 || header[2] != 4 || header[3] > 8)
        Damaged(db, "row index of the wrong kind");
    const uint8_t levels = header[3];
    const uint32_t root = Get32(&header[4]);
    if (root == 0) return false;
    std::vector<std::pair<uint32_t, uint32_t>> leaves;  // (first key, hid)
    std::vector<uint32_t> indexItems;
    auto collect = [&](auto&& self, uint32_t hid, int level) -> void {
        const ndb::Bytes item = heap.Item(hid);
        if (item.empty() || item.size() % 8 != 0) Damaged(db, "row index page of a wrong size");
        indexItems.push_back(hid);
        for (size_t at = 0; at < item.size(); at += 8) {
            const uint32_t child = Get32(&item[at + 4]);
            if (level == 1)
                leaves.emplace_back(Get32(&item[at]), child);
            else
                self(self, child, level - 1);
        }
    };
    if (levels == 0)
        leaves.emplace_back(Get32(heap.Item(root).data()), root);
    else
        collect(collect, root, levels);
    const ndb::Bytes lastLeaf = heap.Item(leaves.back().second);
    if (lastLeaf.empty() || lastLeaf.size() % kRecord != 0) Damaged(db, "row index page of a wrong size");
    uint64_t lastKey = KeyOf(&lastLeaf[lastLeaf.size() - kRecord]);

    const size_t perBlock = ndb::kMaxBlockData / rowSize;
    const size_t lastRows = t.lastBlock.size() / rowSize;
    const size_t newLeaves = (lastRows + count + perBlock - 1) / perBlock;
    if (t.matrixLeaves.size() - 1 + newLeaves > ndb::kXBlockFanout &&
        t.matrixTotal != (t.matrixLeaves.size() - 1) * ndb::kMaxBlockData + t.lastBlock.size())
        return false;
    if (!heap.TreeFits(4 + count / 8)) return false;
    // Row ids are the index's keys: the first new one must follow the last.
    TcRow row;
    source.Next(row);
    if (row.rowId <= lastKey) return false;

    // Everything is read and checked: from here on the table is written.
    heap.WriteNewPagesInto(written);
    uint32_t nextSub = 1;
    for (const ndb::SubnodeEntry& s : t.subnodes) nextSub = std::max(nextSub, ndb::NidIndexOf(s.nid) + 1);
    ndb::Bytes block(t.lastBlock.begin(), t.lastBlock.begin() + long(lastRows * rowSize));
    t.matrixTotal -= t.lastBlock.size();
    t.matrixLeaves.pop_back();
    auto flush = [&](bool last) {
        if (!last) block.resize(ndb::kMaxBlockData, 0);
        t.matrixLeaves.push_back(db.WriteDataBlock(block.data(), block.size(), written));
        t.matrixTotal += block.size();
        block.clear();
    };
    // Row-index records, a leaf at a time; a last leaf not yet full takes the first new ones.
    ndb::Bytes records;
    if (lastLeaf.size() / kRecord < kPerLeaf) {
        heap.Free(leaves.back().second);
        leaves.pop_back();
        records = lastLeaf;
    }
    auto leaf = [&] {
        leaves.emplace_back(Get32(&records[0]), heap.Allocate(records));
        records.clear();
    };
    for (size_t r = 0; r < count; ++r) {
        if (r > 0) source.Next(row);
        if (row.cells.size() != rowSize) throw PstError("table row of the wrong size");
        if (row.rowId <= lastKey) throw PstError("table rows appended out of order");
        lastKey = row.rowId;
        if (block.size() / rowSize == perBlock) flush(false);
        const size_t at = block.size();
        block.insert(block.end(), row.cells.begin(), row.cells.end());
        for (auto& [ib, value] : row.vars) {
            uint32_t hnid = 0;
            if (value.size() > kMaxHeapItem) {
                hnid = ndb::MakeNid(nextSub++, ndb::NID_TYPE_LTP);
                t.subnodes.push_back({hnid, db.WriteData(value.data(), value.size(), written), 0});
            } else if (!value.empty()) {
                hnid = heap.Allocate(value);
            }
            ndb::Put32(&block[at + ib], hnid);
        }
        ndb::Append32(records, row.rowId);
        ndb::Append32(records, uint32_t(committed + r));
        if (records.size() == kPerLeaf * kRecord) leaf();
    }
    flush(true);
    t.subnodes[t.matrixEntry].bidData = db.WriteDataTree(t.matrixLeaves, t.matrixTotal, written);
    if (!records.empty()) leaf();
    for (uint32_t hid : indexItems) heap.Free(hid);
    uint8_t newLevels = 0;
    while (leaves.size() > 1) {
        ++newLevels;
        std::vector<std::pair<uint32_t, uint32_t>> up;
        for (size_t i = 0; i < leaves.size(); i += kPerIndex) {
            ndb::Bytes item;
            for (size_t j = i; j < std::min(leaves.size(), i + kPerIndex); ++j) {
                ndb::Append32(item, leaves[j].first);
                ndb::Append32(item, leaves[j].second);
            }
            up.emplace_back(leaves[i].first, heap.Allocate(item));
        }
        leaves.swap(up);
    }
    header[3] = newLevels;
    ndb::Put32(&header[4], leaves[0].second);
    heap.Patch(t.hidRowIndex, header);

    out.bidData = heap.Write(written);
    out.bidSub = db.WriteSubnodes(t.subnodes, written);
    return true;
}

}  // namespace pst::ltp
