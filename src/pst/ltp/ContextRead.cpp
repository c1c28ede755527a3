#include "ContextRead.h"

#include <algorithm>
#include <string>

#include "pst/ndb/Error.h"

namespace pst::ltp {
namespace {

using ndb::Get16;
using ndb::Get32;

constexpr uint32_t kTagRowId = 0x67F20003;  // PidTagLtpRowId

[[noreturn]] void Damaged(ndb::NodeDb& db, const std::string& what) {
    throw PstRefused("\"" + db.Path() + "\" is damaged: " + what + "; it is left untouched");
}

// The heap-on-node of one node: its pages and each page's allocation offsets.
class HeapReader {
public:
    HeapReader(ndb::NodeDb& db, uint64_t bidData, uint8_t clientSig) : db_(db) {
        pages_ = db.ReadStream(bidData);
        if (pages_.empty() || pages_[0].size() < 12 || pages_[0][2] != 0xEC || pages_[0][3] != clientSig)
            Damaged(db, "a heap of the wrong kind");
        userRoot_ = Get32(&pages_[0][4]);
        for (size_t i = 0; i < pages_.size(); ++i) {
            const ndb::Bytes& p = pages_[i];
            if (p.size() < 2) Damaged(db, "a heap page too short");
            size_t map = Get16(p.data());
            if (map + 4 > p.size()) Damaged(db, "a heap page map outside its page");
            size_t count = Get16(&p[map]);
            if (map + 4 + 2 * (count + 1) > p.size()) Damaged(db, "a heap page map outside its page");
            std::vector<uint16_t> offsets(count + 1);
            for (size_t k = 0; k <= count; ++k) {
                offsets[k] = Get16(&p[map + 4 + 2 * k]);
                if (offsets[k] > map || (k > 0 && offsets[k] < offsets[k - 1])) Damaged(db, "a heap item outside its page");
            }
            allocs_.push_back(std::move(offsets));
        }
    }
    uint32_t UserRoot() const { return userRoot_; }
    ndb::Bytes Item(uint32_t hid) const {
        size_t index = (hid >> 5) & 0x7FF, page = hid >> 16;
        if ((hid & 0x1F) != 0 || page >= pages_.size() || index == 0 || index >= allocs_[page].size())
            Damaged(db_, "a heap id that names no item");
        const auto& a = allocs_[page];
        return ndb::Bytes(pages_[page].begin() + a[index - 1], pages_[page].begin() + a[index]);
    }
    // The records of the BTH whose header is `hid`.
    // Records in key order; keys out of order or repeated, or an index key
    // that is not its child's first, are damage.
    std::vector<ndb::Bytes> Records(uint32_t hid, uint8_t cbKey, uint8_t cbEnt) const {
        ndb::Bytes h = Item(hid);
        if (h.size() != 8 || h[0] != bTypeBTH || h[1] != cbKey || h[2] != cbEnt || cbKey == 0 || cbKey > 8 || h[3] > 8)
            Damaged(db_, "a BTH of the wrong kind");
        std::vector<ndb::Bytes> out;
        Walk(Get32(&h[4]), h[3], cbKey, cbEnt, out, nullptr);
        return out;
    }

private:
    static uint64_t Key(const uint8_t* p, uint8_t cbKey) {
        uint64_t k = 0;
        for (uint8_t i = cbKey; i-- > 0;) k = (k << 8) | p[i];
        return k;
    }
    void Walk(uint32_t hid, int level, uint8_t cbKey, uint8_t cbEnt, std::vector<ndb::Bytes>& out,
              const uint64_t* parentKey) const {
        if (hid == 0) {
            if (parentKey) Damaged(db_, "a BTH index naming no records");
            return;
        }
        ndb::Bytes item = Item(hid);
        size_t width = level == 0 ? size_t(cbKey) + cbEnt : size_t(cbKey) + 4;
        if (item.empty() || item.size() % width != 0) Damaged(db_, "a BTH page of a wrong size");
        if (parentKey && Key(item.data(), cbKey) != *parentKey) Damaged(db_, "a BTH index key that is not its page's first");
        for (size_t at = 0; at < item.size(); at += width) {
            const uint64_t key = Key(&item[at], cbKey);
            if (level == 0) {
                if (!out.empty() && Key(out.back().data(), cbKey) >= key) Damaged(db_, "BTH keys out of order");
                out.emplace_back(item.begin() + long(at), item.begin() + long(at + width));
            } else {
                Walk(Get32(&item[at + cbKey]), level - 1, cbKey, cbEnt, out, &key);
            }
        }
    }

    ndb::NodeDb& db_;
    std::vector<ndb::Bytes> pages_;
    std::vector<std::vector<uint16_t>> allocs_;
    uint32_t userRoot_ = 0;
};

// A value behind an HNID: a heap item, or a subnode's whole stream.
ndb::Bytes Resolve(ndb::NodeDb& db, const HeapReader& heap, const std::map<uint32_t, ndb::SubnodeEntry>& subs,
                   uint32_t hnid) {
    if (hnid == 0) return {};
    if ((hnid & 0x1F) == 0) return heap.Item(hnid);
    auto it = subs.find(hnid);
    if (it == subs.end()) Damaged(db, "a value in a missing subnode");
    ndb::Bytes out;
    for (ndb::Bytes& b : db.ReadStream(it->second.bidData)) out.insert(out.end(), b.begin(), b.end());
    return out;
}

std::map<uint32_t, ndb::SubnodeEntry> SubnodeMap(ndb::NodeDb& db, uint64_t bidSub) {
    std::map<uint32_t, ndb::SubnodeEntry> m;
    for (const ndb::SubnodeEntry& s : db.ReadSubnodes(bidSub)) m[s.nid] = s;
    return m;
}

}  // namespace

bool IsHnidColumnType(uint16_t type) {
    size_t fixed = FixedSize(type);
    return fixed == 0 || fixed > 8;
}

std::vector<PcProp> ReadPc(ndb::NodeDb& db, uint64_t bidData, uint64_t bidSub, std::map<uint32_t, uint64_t>* streams) {
    HeapReader heap(db, bidData, bTypePC);
    auto subs = SubnodeMap(db, bidSub);
    std::vector<PcProp> props;
    for (const ndb::Bytes& r : heap.Records(heap.UserRoot(), 2, 6)) {
        uint16_t id = Get16(&r[0]), type = Get16(&r[2]);
        uint32_t hnid = Get32(&r[4]);
        PcProp p;
        p.tag = (uint32_t(id) << 16) | type;
        if (IsInlineType(type))
            p.value.assign(r.begin() + 4, r.begin() + 4 + long(FixedSize(type)));
        else
            p.value = Resolve(db, heap, subs, hnid);
        if (streams && (hnid & 0x1F) != 0 && !IsInlineType(type))
            if (auto it = subs.find(hnid); it != subs.end()) (*streams)[p.tag] = it->second.bidData;
        props.push_back(std::move(p));
    }
    std::sort(props.begin(), props.end(), [](const PcProp& a, const PcProp& b) { return a.tag < b.tag; });
    return props;
}

TableRead ReadTc(ndb::NodeDb& db, uint64_t bidData, uint64_t bidSub) {
    HeapReader heap(db, bidData, bTypeTC);
    auto subs = SubnodeMap(db, bidSub);
    ndb::Bytes info = heap.Item(heap.UserRoot());
    if (info.size() < 22 || info[0] != bTypeTC) Damaged(db, "a table of the wrong kind");
    size_t cols = info[1];
    if (info.size() < 22 + 8 * cols) Damaged(db, "a table header too short");
    TableRead t;
    for (int i = 0; i < 4; ++i) t.layout.rgib[i] = Get16(&info[2 + 2 * size_t(i)]);
    const uint16_t rowSize = t.layout.RowSize();
    for (size_t c = 0; c < cols; ++c) {
        const uint8_t* p = &info[22 + 8 * c];
        ColumnDesc d{Get32(p), Get16(p + 4), p[6], p[7]};
        if (size_t(d.ib) + d.cb > t.layout.rgib[2] || t.layout.rgib[2] + d.iBit / 8 >= rowSize)
            Damaged(db, "a table column outside its row");
        t.layout.columns.push_back(d);
    }
    std::sort(t.layout.columns.begin(), t.layout.columns.end(),
              [](const ColumnDesc& a, const ColumnDesc& b) { return a.tag < b.tag; });
    std::vector<ndb::Bytes> index = heap.Records(Get32(&info[10]), 4, 4);
    if (index.empty()) return t;
    if (rowSize == 0) Damaged(db, "a table with rows of no size");
    // The row matrix: a heap item, or a subnode whose blocks hold whole rows.
    uint32_t hnidRows = Get32(&info[14]);
    std::vector<ndb::Bytes> blocks;
    if ((hnidRows & 0x1F) == 0) {
        blocks.push_back(heap.Item(hnidRows));
    } else {
        auto it = subs.find(hnidRows);
        if (it == subs.end()) Damaged(db, "a table whose rows are missing");
        blocks = db.ReadStream(it->second.bidData);
    }
    const size_t perBlock = blocks.size() == 1 ? blocks[0].size() / rowSize : ndb::kMaxBlockData / rowSize;
    std::vector<std::pair<uint32_t, uint32_t>> order;  // (row index, row id)
    for (const ndb::Bytes& r : index) order.emplace_back(Get32(&r[4]), Get32(&r[0]));
    std::sort(order.begin(), order.end());
    const size_t ceb = t.layout.rgib[2];
    const ColumnDesc* idColumn = t.layout.Find(kTagRowId);
    for (size_t i = 0; i < order.size(); ++i) {
        auto [rowIndex, rowId] = order[i];
        size_t b = perBlock ? rowIndex / perBlock : 0, at = perBlock ? (rowIndex % perBlock) * rowSize : 0;
        if (perBlock == 0 || b >= blocks.size() || at + rowSize > blocks[b].size()) Damaged(db, "a table row outside its matrix");
        if (i > 0 && order[i - 1].first == rowIndex) Damaged(db, "a table row indexed twice");
        if (idColumn && idColumn->cb == 4 && Get32(&blocks[b][at + idColumn->ib]) != rowId)
            Damaged(db, "a table row that does not carry the id its index gives");
        TcRow row;
        row.rowId = rowId;
        row.cells.assign(blocks[b].begin() + long(at), blocks[b].begin() + long(at + rowSize));
        for (const ColumnDesc& c : t.layout.columns) {
            if (!IsHnidColumnType(uint16_t(c.tag)) || c.cb != 4) continue;
            if (!(row.cells[ceb + c.iBit / 8] & (0x80 >> (c.iBit % 8)))) continue;
            uint32_t hnid = Get32(&row.cells[c.ib]);
            row.vars.emplace_back(c.ib, Resolve(db, heap, subs, hnid));
            ndb::Put32(&row.cells[c.ib], 0);
        }
        t.rows.push_back(std::move(row));
    }
    return t;
}

}  // namespace pst::ltp
