#include "NodeDb.h"

#include <algorithm>
#include <cstring>

#include "Crc.h"
#include "Error.h"

namespace pst::ndb {
namespace {

constexpr uint8_t kPtypeBBT = 0x80, kPtypeNBT = 0x81;
constexpr size_t kHeaderSize = 564;

uint16_t Signature(uint64_t ib, uint64_t bid) {
    uint64_t v = ib ^ bid;
    return uint16_t((v >> 16) ^ v);
}

}  // namespace

NodeDb::NodeDb(const std::string& path, bool encrypt) : file_(path), crypt_(encrypt ? 1 : 0) {
    rgnid_.fill(0x400);
    rgnid_[NID_TYPE_SEARCH_FOLDER] = 0x4000;
    rgnid_[NID_TYPE_NORMAL_MESSAGE] = 0x10000;
    rgnid_[NID_TYPE_ASSOC_MESSAGE] = 0x8000;
}

NodeDb::~NodeDb() = default;

uint64_t NodeDb::NextBid(bool internal) {
    uint64_t bid = nextBid_ | (internal ? 2 : 0);
    nextBid_ += 4;
    if ((nextBid_ >> 2) > 0xFFFFFFFFull) throw PstError("too many blocks for one file");
    return bid;
}

// Lays out data + padding + BLOCKTRAILER in a 64-byte multiple and records it
// in the block index with the reference count Outlook writes for one user (2).
uint64_t NodeDb::WriteBlock(uint64_t bid, const uint8_t* data, size_t size) {
    if (size > kMaxBlockData) throw PstError("block too large");
    size_t total = (size + 16 + 63) / 64 * 64;
    uint64_t ib = space_.Allocate(total, 64);
    if (ib / 64 > 0xFFFFFFFFull) throw PstError("file too large");
    KeepInsideFile();
    uint8_t* buf = file_.Reserve(ib, total);
    if (crypt_ == 1 && !(bid & 2)) {
        PermuteEncodeCopy(buf, data, size);
    } else {
        std::memcpy(buf, data, size);
        if (crypt_ == 2 && !(bid & 2)) CyclicCrypt(buf, size, uint32_t(bid));
    }
    std::memset(buf + size, 0, total - size);
    uint8_t* trailer = buf + total - 16;
    Put16(trailer, uint16_t(size));
    Put16(trailer + 2, Signature(ib, bid));
    Put32(trailer + 4, Crc32(buf, size));
    Put64(trailer + 8, bid);
    blocks_.push_back({uint32_t(bid >> 2), uint32_t(ib / 64), uint16_t(size), uint16_t((bid & 2) ? 1 : 0), 2});
    changedBids_.push_back(bid >> 2);
    dirty_ = true;
    return bid;
}

uint64_t NodeDb::WriteDataBlock(const uint8_t* data, size_t size, BlockList* owned) {
    uint64_t bid = WriteBlock(NextBid(false), data, size);
    if (owned) owned->push_back(bid);
    return bid;
}

uint64_t NodeDb::WriteInternal(const Bytes& data, BlockList* owned) {
    uint64_t bid = WriteBlock(NextBid(true), data.data(), data.size());
    if (owned) owned->push_back(bid);
    return bid;
}

uint64_t NodeDb::WriteData(const uint8_t* data, size_t size, BlockList* owned) {
    if (size == 0) return 0;
    if (size <= kMaxBlockData) return WriteDataBlock(data, size, owned);
    std::vector<uint64_t> leaves;
    leaves.reserve(size / kMaxBlockData + 1);
    for (size_t off = 0; off < size; off += kMaxBlockData)
        leaves.push_back(WriteDataBlock(data + off, std::min(kMaxBlockData, size - off), owned));
    return WriteDataTree(leaves, size, owned);
}

uint64_t NodeDb::WritePages(const std::vector<Bytes>& pages, BlockList* owned) {
    if (pages.empty()) return 0;
    if (pages.size() == 1) return WriteDataBlock(pages[0].data(), pages[0].size(), owned);
    std::vector<uint64_t> leaves;
    uint64_t total = 0;
    for (size_t i = 0; i < pages.size(); ++i) {
        if (i + 1 < pages.size() && pages[i].size() != kMaxBlockData) throw PstError("short inner page");
        leaves.push_back(WriteDataBlock(pages[i].data(), pages[i].size(), owned));
        total += pages[i].size();
    }
    return WriteDataTree(leaves, total, owned);
}

// XBLOCK ([MS-PST] 2.2.2.8.3.2.1) for up to 1021 leaves, XXBLOCK over XBLOCKs beyond.
uint64_t NodeDb::WriteDataTree(const std::vector<uint64_t>& leaves, uint64_t total, BlockList* owned) {
    if (leaves.empty()) return 0;
    if (leaves.size() == 1) return leaves[0];
    if (total > 0xFFFFFFFFull) throw PstError("a single value over 4 GiB cannot be stored");
    auto makeX = [&](uint8_t level, const uint64_t* bids, size_t count, uint64_t bytes) {
        Bytes b;
        b.reserve(8 + 8 * count);
        b.push_back(0x01);
        b.push_back(level);
        Append16(b, uint16_t(count));
        Append32(b, uint32_t(bytes));
        for (size_t i = 0; i < count; ++i) Append64(b, bids[i]);
        return WriteInternal(b, owned);
    };
    if (leaves.size() <= kXBlockFanout) return makeX(1, leaves.data(), leaves.size(), total);
    std::vector<uint64_t> xblocks;
    for (size_t i = 0; i < leaves.size(); i += kXBlockFanout) {
        size_t n = std::min(kXBlockFanout, leaves.size() - i);
        uint64_t bytes = std::min<uint64_t>(uint64_t(n) * kMaxBlockData, total - uint64_t(i) * kMaxBlockData);
        xblocks.push_back(makeX(1, leaves.data() + i, n, bytes));
    }
    if (xblocks.size() > kXBlockFanout) throw PstError("value too large for an XXBLOCK tree");
    return makeX(2, xblocks.data(), xblocks.size(), total);
}

// SLBLOCK / SIBLOCK ([MS-PST] 2.2.2.8.3.3).
uint64_t NodeDb::WriteSubnodes(std::vector<SubnodeEntry> entries, BlockList* owned) {
    if (entries.empty()) return 0;
    std::sort(entries.begin(), entries.end(), [](const SubnodeEntry& a, const SubnodeEntry& b) { return a.nid < b.nid; });
    for (size_t i = 1; i < entries.size(); ++i)
        if (entries[i].nid == entries[i - 1].nid) throw PstError("duplicate subnode id");
    auto makeSl = [&](size_t first, size_t count) {
        Bytes b;
        b.reserve(8 + 24 * count);
        b.push_back(0x02);
        b.push_back(0x00);
        Append16(b, uint16_t(count));
        Append32(b, 0);
        for (size_t i = first; i < first + count; ++i) {
            Append64(b, entries[i].nid);
            Append64(b, entries[i].bidData);
            Append64(b, entries[i].bidSub);
        }
        return WriteInternal(b, owned);
    };
    if (entries.size() <= kSlBlockFanout) return makeSl(0, entries.size());
    if (entries.size() > kSlBlockFanout * kSiBlockFanout) throw PstError("too many subnodes");
    Bytes si;
    si.push_back(0x02);
    si.push_back(0x01);
    size_t children = (entries.size() + kSlBlockFanout - 1) / kSlBlockFanout;
    Append16(si, uint16_t(children));
    Append32(si, 0);
    for (size_t i = 0; i < entries.size(); i += kSlBlockFanout) {
        uint64_t bid = makeSl(i, std::min(kSlBlockFanout, entries.size() - i));
        Append64(si, entries[i].nid);
        Append64(si, bid);
    }
    return WriteInternal(si, owned);
}

NodeDb::BlockEntry* NodeDb::FindBlock(uint64_t bid) {
    uint32_t key = uint32_t(bid >> 2);
    auto it = std::lower_bound(blocks_.begin(), blocks_.end(), key,
                               [](const BlockEntry& e, uint32_t k) { return e.bidIndex < k; });
    if (it == blocks_.end() || it->bidIndex != key || (it->flags & 2)) return nullptr;
    return &*it;
}

void NodeDb::SetPending(uint64_t bid, bool pending) {
    if (BlockEntry* e = FindBlock(bid)) {
        const uint16_t flags = uint16_t(pending ? (e->flags | 4) : (e->flags & ~4));
        if (flags != e->flags) changedBids_.push_back(bid >> 2);
        e->flags = flags;
    }
}

void NodeDb::SetPending(const BlockList& list, bool pending) {
    for (uint64_t bid : list) SetPending(bid, pending);
}

void NodeDb::ReleaseBlocks(const BlockList& list) {
    for (uint64_t bid : list) {
        BlockEntry* it = FindBlock(bid);
        if (!it) continue;
        changedBids_.push_back(bid >> 2);
        if (it->cRef > 2) {  // another node of an opened file still uses it
            --it->cRef;
            dirty_ = true;
            continue;
        }
        it->flags |= 2;
        ++releasedCount_;
        space_.Release(uint64_t(it->ib64) * 64, it->cb + 16);
        dirty_ = true;
    }
}

const NodeEntry* NodeDb::FindNode(uint32_t nid) const {
    return nodes_.Find(nid);
}

uint32_t NodeDb::AllocateNid(uint8_t type) {
    uint32_t index = ++rgnid_[type & 0x1F];
    if (index >= (1u << 27)) throw PstError("node ids exhausted");
    dirty_ = true;
    return MakeNid(index, type);
}

void NodeDb::ReserveNidIndex(uint8_t type, uint32_t index) {
    rgnid_[type & 0x1F] = std::max(rgnid_[type & 0x1F], index);
}

NodeDb::PageRef NodeDb::WriteBTreePage(uint8_t ptype, uint8_t level, uint8_t cbEnt, uint8_t cEntMax,
                                       const uint8_t* entries, size_t count, uint64_t firstKey) {
    uint8_t page[512] = {};
    std::memcpy(page, entries, count * cbEnt);
    page[488] = uint8_t(count);
    page[489] = cEntMax;
    page[490] = cbEnt;
    page[491] = level;
    uint64_t ib = space_.Allocate(kPageSize, kPageSize);
    KeepInsideFile();
    uint64_t bid = nextPageBid_++;
    page[496] = ptype;
    page[497] = ptype;
    Put16(page + 498, Signature(ib, bid));
    Put32(page + 500, Crc32(page, 496));
    Put64(page + 504, bid);
    file_.Write(ib, page, sizeof page);
    if (level > 0) innerPages_.push_back(ib);
    return {firstKey, bid, ib};
}

void NodeDb::TreeAdd(TreeBuilder& t, const uint8_t* entry, uint64_t key) {
    if (t.count == 0) t.firstKey = key;
    t.lastKey = key;
    std::memcpy(t.leaf + t.count * t.cbEnt, entry, t.cbEnt);
    if (++t.count == t.cEntMax) TreeFlushLeaf(t);
}

void NodeDb::TreeFlushLeaf(TreeBuilder& t) {
    if (t.count == 0) return;
    const PageRef ref = WriteBTreePage(t.ptype, 0, t.cbEnt, t.cEntMax, t.leaf, t.count, t.firstKey);
    t.pages.push_back(ref);
    t.leaves.push_back({t.firstKey, t.lastKey, ref.bid, ref.ib});
    t.count = 0;
}

void NodeDb::TreeKeepLeaf(TreeBuilder& t, const LeafRef& leaf) {
    TreeFlushLeaf(t);
    t.pages.push_back({leaf.first, leaf.bid, leaf.ib});
    t.leaves.push_back(leaf);
}

bool NodeDb::Unchanged(const std::vector<uint64_t>& changed, const LeafRef& leaf, int shift) {
    auto it = std::lower_bound(changed.begin(), changed.end(), leaf.first >> shift);
    return it == changed.end() || *it > (leaf.last >> shift);
}

// New leaves are packed full; the levels above are BTENTRY pages of 20.
NodeDb::PageRef NodeDb::TreeFinish(TreeBuilder& t) {
    TreeFlushLeaf(t);
    if (t.pages.empty()) {  // an empty tree: one empty leaf, written anew each time
        t.pages.push_back(WriteBTreePage(t.ptype, 0, t.cbEnt, t.cEntMax, t.leaf, 0, 0));
        innerPages_.push_back(t.pages.back().ib);
    }
    std::vector<PageRef> level = std::move(t.pages);
    uint8_t depth = 0;
    while (level.size() > 1) {
        ++depth;
        std::vector<PageRef> up;
        for (size_t i = 0; i < level.size(); i += 20) {
            size_t n = std::min<size_t>(20, level.size() - i);
            uint8_t buf[480];
            for (size_t j = 0; j < n; ++j) {
                Put64(buf + 24 * j, level[i + j].key);
                Put64(buf + 24 * j + 8, level[i + j].bid);
                Put64(buf + 24 * j + 16, level[i + j].ib);
            }
            up.push_back(WriteBTreePage(t.ptype, depth, 24, 20, buf, n, level[i].key));
        }
        level.swap(up);
    }
    return level[0];
}

void NodeDb::Commit() {
    if (closed_) throw PstError("file already closed");
    if (file_.Failed()) throw PstError(file_.EarlierFailure());
    if (!dirty_) return;
    // The pages above the leaves are written anew; a leaf only when one of its
    // entries changed. What the new trees no longer use is released first so
    // that the maps written below are exact.
    for (uint64_t ib : innerPages_) space_.Release(ib, kPageSize);
    innerPages_.clear();
    for (auto* changed : {&changedNids_, &changedBids_}) {
        std::sort(changed->begin(), changed->end());
        changed->erase(std::unique(changed->begin(), changed->end()), changed->end());
    }
    if (releasedCount_ > 0) {
        blocks_.erase(std::remove_if(blocks_.begin(), blocks_.end(), [](const BlockEntry& e) { return e.flags & 2; }),
                      blocks_.end());
        releasedCount_ = 0;
    }
    std::vector<std::pair<uint64_t, uint64_t>> lent;  // space of pending blocks
    {
        TreeBuilder bbt(kPtypeBBT, 24, 20);
        uint8_t p[24];
        size_t i = 0;
        auto addUpTo = [&](uint64_t limit) {  // entries with bid index below `limit`
            for (; i < blocks_.size() && blocks_[i].bidIndex < limit; ++i) {
                const BlockEntry& e = blocks_[i];
                if (e.flags & 4) {
                    lent.emplace_back(uint64_t(e.ib64) * 64, e.cb + 16);
                    continue;
                }
                uint64_t bid = (uint64_t(e.bidIndex) << 2) | ((e.flags & 1) ? 2 : 0);
                Put64(p, bid);
                Put64(p + 8, uint64_t(e.ib64) * 64);
                Put16(p + 16, e.cb);
                Put16(p + 18, e.cRef);
                Put32(p + 20, 0);
                TreeAdd(bbt, p, bid);
            }
        };
        for (const LeafRef& leaf : bbtLeaves_) {
            if (!Unchanged(changedBids_, leaf, 2)) {
                space_.Release(leaf.ib, kPageSize);
                continue;
            }
            addUpTo(leaf.first >> 2);
            TreeKeepLeaf(bbt, leaf);
            // Its entries, unchanged (pending ones among them stay pending and unlisted).
            for (; i < blocks_.size() && blocks_[i].bidIndex <= (leaf.last >> 2); ++i)
                if (blocks_[i].flags & 4) lent.emplace_back(uint64_t(blocks_[i].ib64) * 64, blocks_[i].cb + 16);
        }
        addUpTo(UINT64_MAX);
        bbtRoot_ = TreeFinish(bbt);
        bbtLeaves_ = std::move(bbt.leaves);
    }
    {
        TreeBuilder nbt(kPtypeNBT, 32, 15);
        uint8_t p[32];
        const std::vector<NodeIndex::Row>& rows = nodes_.Sorted();
        size_t i = 0;
        auto addUpTo = [&](uint64_t limit) {
            for (; i < rows.size() && rows[i].first < limit; ++i) {
                const auto& [nid, e] = rows[i];
                Put64(p, nid);
                Put64(p + 8, e.bidData);
                Put64(p + 16, e.bidSub);
                Put32(p + 24, e.parent);
                Put32(p + 28, 0);
                TreeAdd(nbt, p, nid);
            }
        };
        for (const LeafRef& leaf : nbtLeaves_) {
            if (!Unchanged(changedNids_, leaf, 0)) {
                space_.Release(leaf.ib, kPageSize);
                continue;
            }
            addUpTo(leaf.first);
            TreeKeepLeaf(nbt, leaf);
            while (i < rows.size() && rows[i].first <= leaf.last) ++i;
        }
        addUpTo(UINT64_MAX);
        nbtRoot_ = TreeFinish(nbt);
        nbtLeaves_ = std::move(nbt.leaves);
    }
    changedNids_.clear();
    changedBids_.clear();
    // Order for a crash at any point: data and trees, then a header marking
    // the maps as stale, then the maps, then the final header. The file keeps a
    // reserve of empty intervals past its data for the blocks of the next
    // commit; the last commit drops it.
    for (auto& [ib, size] : lent) space_.LendForCommit(ib, size);
    if (closing_)
        space_.TrimTail();
    else
        space_.MapThrough(space_.OpenedIntervals() + ReserveIntervals());
    uint64_t newSize = space_.Eof();
    uint64_t diskSize = committed_ ? kAMapBase + diskIntervals_ * kAMapSpan : 0;
    if (newSize > diskSize) file_.Resize(newSize);
    file_.Sync();
    WriteHeader(false);
    file_.Sync();
    space_.WriteMaps(file_);
    file_.Sync();
    WriteHeader(true);
    file_.Sync();
    file_.Publish();
    if (newSize < diskSize) {
        // Shrinking only after the header that no longer covers the tail has landed.
        file_.Resize(newSize);
        file_.Sync();
    }
    committed_ = true;
    diskIntervals_ = space_.Intervals();
    openedAtCommit_ = space_.OpenedIntervals();
    for (auto& [ib, size] : lent) space_.TakeBack(ib, size);
    space_.Settle();
    dirty_ = false;
}

// max(8 MiB, an eighth of what this session has added) in whole intervals:
// growth is extended only now and then, and adding a little to a large file
// does not make (and, at the last commit, truncate away) a reserve the size
// of an eighth of it.
uint64_t NodeDb::ReserveIntervals() const {
    const uint64_t added = space_.OpenedIntervals() - std::min(space_.OpenedIntervals(), intervalsAtOpen_);
    uint64_t want = std::max<uint64_t>(8ull << 20, (kAMapBase + added * kAMapSpan) / 8);
    return (want + kAMapSpan - 1) / kAMapSpan;
}

// Writes between commits have run past the reserve. Grows the committed file
// with a header-only step: the new intervals' map pages, then the header of
// the last commit (same B-trees, same maps of the older intervals) with the
// larger end of file and free count. A crash before the header lands leaves
// the last commit with map pages past its end; after it, the last commit in a
// larger file whose new space is all free.
void NodeDb::ExtendFile() {
    if (file_.Failed()) throw PstError(file_.EarlierFailure());
    // A long run between commits gets a reserve as large as the run so far,
    // so that it is extended a logarithmic number of times.
    uint64_t run = space_.OpenedIntervals() - std::min(space_.OpenedIntervals(), openedAtCommit_);
    space_.MapThrough(space_.OpenedIntervals() + std::max(ReserveIntervals(), run));
    uint64_t addedFree = space_.WriteEmptyMaps(file_, diskIntervals_);
    file_.Resize(space_.Eof());
    file_.Sync();
    WriteCommittedHeader(Get64(header_ + 0xC8) + addedFree);
}

// The last commit's header (same B-trees, same maps) for a file of the size
// the space map has now.
void NodeDb::WriteCommittedHeader(uint64_t freeBytes) {
    uint8_t* h = header_;
    Put64(h + 0xB8, space_.Eof());
    Put64(h + 0xC0, space_.LastAMap());
    Put64(h + 0xC8, freeBytes);
    Put32(h + 0x28, ++unique_);
    Put32(h + 0x04, Crc32(h + 8, 471));
    Put32(h + 0x20C, Crc32(h + 8, 516));
    file_.Write(0, h, kHeaderSize);
    file_.Sync();
    diskIntervals_ = space_.Intervals();
}

// Nothing changed since the last commit: drops the reserve with a header of
// the committed state, then truncates. The dropped intervals were empty in
// the committed maps too (the state is the committed one; blocks of unsaved
// items count as used, so their intervals stay).
void NodeDb::TrimCommitted() {
    if (file_.Failed()) throw PstError(file_.EarlierFailure());
    uint64_t droppedFree = space_.TrimTail();
    if (space_.Intervals() == diskIntervals_) return;
    WriteCommittedHeader(Get64(header_ + 0xC8) - droppedFree);
    file_.Resize(space_.Eof());
    file_.Sync();
}

void NodeDb::WriteHeader(bool mapsValid) {
    uint8_t h[kHeaderSize] = {};
    if (opened_) std::memcpy(h, original_, kHeaderSize);
    std::memcpy(h, "!BDN", 4);
    h[8] = 'S';
    h[9] = 'M';
    Put16(h + 0x0A, 23);
    Put16(h + 0x0C, 19);
    h[0x0E] = 1;
    h[0x0F] = 1;
    Put64(h + 0x20, nextPageBid_);
    Put32(h + 0x28, ++unique_);
    for (int t = 0; t < 32; ++t) Put32(h + 0x2C + 4 * t, rgnid_[size_t(t)]);
    // ROOT
    Put64(h + 0xB8, space_.Eof());
    Put64(h + 0xC0, space_.LastAMap());
    Put64(h + 0xC8, space_.FreeBytes());
    Put64(h + 0xD0, 0);
    Put64(h + 0xD8, nbtRoot_.bid);
    Put64(h + 0xE0, nbtRoot_.ib);
    Put64(h + 0xE8, bbtRoot_.bid);
    Put64(h + 0xF0, bbtRoot_.ib);
    h[0xF8] = mapsValid ? 0x02 : 0x00;
    std::memset(h + 0x100, 0xFF, 256);  // rgbFM, rgbFP
    h[0x200] = 0x80;
    h[0x201] = crypt_;
    Put64(h + 0x204, nextBid_);
    Put32(h + 0x04, Crc32(h + 8, 471));
    Put32(h + 0x20C, Crc32(h + 8, 516));
    file_.Write(0, h, sizeof h);
    if (mapsValid) std::memcpy(header_, h, sizeof h);
}

void NodeDb::Abandon() {
    closed_ = true;
    try {
        file_.Close();
    } catch (...) {
    }
}

void NodeDb::Close() {
    if (closed_) return;
    closing_ = true;
    if (dirty_ || !committed_)
        Commit();
    else
        TrimCommitted();
    closed_ = true;
    file_.Close();
}

}  // namespace pst::ndb
