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

NodeDb::NodeDb(const std::string& path, bool encrypt)
    : file_(path), crypt_(encrypt ? 1 : 0), nbt_(*this, kPtypeNBT, 32, 15), bbt_(*this, kPtypeBBT, 24, 20) {
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
    FlushIfLarge();
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
    fresh_.push_back({uint32_t(bid >> 2), uint32_t(ib / 64), uint16_t(size), uint16_t((bid & 2) ? kInternal : 0), 2});
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

std::optional<NodeDb::BlockEntry> NodeDb::LookupBlock(uint64_t bid) {
    const uint32_t key = uint32_t(bid >> 2);
    auto it = std::lower_bound(fresh_.begin(), fresh_.end(), key,
                               [](const BlockEntry& e, uint32_t k) { return e.bidIndex < k; });
    if (it != fresh_.end() && it->bidIndex == key) {
        if (it->flags & kReleased) return std::nullopt;
        return *it;
    }
    if (auto e = edits_.find(key); e != edits_.end()) {
        if (e->second.flags & kReleased) return std::nullopt;
        return e->second;
    }
    uint8_t p[24];
    if (!bbt_.Find(bid & ~uint64_t(1), p)) return std::nullopt;
    const uint64_t b = Get64(p), at = Get64(p + 8);
    const uint16_t cb = Get16(p + 16);
    const uint64_t span = (uint64_t(cb) + 16 + 63) / 64 * 64;
    if ((b & 1) || (b >> 2) > 0xFFFFFFFFull || cb > kMaxBlockData || at < kAMapBase || at % 64 != 0 ||
        at + span > space_.Eof() || (at - kAMapBase) / kAMapSpan != (at + span - 1 - kAMapBase) / kAMapSpan)
        Damaged("the block B-tree lists block " + std::to_string(b) + " at an impossible place or size");
    return BlockEntry{key, uint32_t(at / 64), cb, uint16_t(((b & 2) ? kInternal : 0) | kInTree), Get16(p + 18)};
}

NodeDb::BlockEntry* NodeDb::EditBlock(uint64_t bid) {
    const uint32_t key = uint32_t(bid >> 2);
    auto it = std::lower_bound(fresh_.begin(), fresh_.end(), key,
                               [](const BlockEntry& e, uint32_t k) { return e.bidIndex < k; });
    if (it != fresh_.end() && it->bidIndex == key) return (it->flags & kReleased) ? nullptr : &*it;
    if (auto e = edits_.find(key); e != edits_.end()) return (e->second.flags & kReleased) ? nullptr : &e->second;
    std::optional<BlockEntry> held = LookupBlock(bid);
    if (!held) return nullptr;
    return &edits_.emplace(key, *held).first->second;
}

void NodeDb::SetPending(uint64_t bid, bool pending) {
    std::optional<BlockEntry> e = LookupBlock(bid);
    if (!e || ((e->flags & kPending) != 0) == pending) return;
    BlockEntry* edit = EditBlock(bid);
    edit->flags = uint16_t(pending ? (edit->flags | kPending) : (edit->flags & ~kPending));
    dirty_ = true;
}

void NodeDb::SetPending(const BlockList& list, bool pending) {
    for (uint64_t bid : list) SetPending(bid, pending);
}

void NodeDb::ReleaseBlocks(const BlockList& list) {
    for (uint64_t bid : list) {
        BlockEntry* it = EditBlock(bid);
        if (!it) continue;
        dirty_ = true;
        if (it->cRef > 2) {  // another node of an opened file still uses it
            --it->cRef;
            continue;
        }
        it->flags |= kReleased;
        space_.Release(uint64_t(it->ib64) * 64, it->cb + 16);
    }
}

void NodeDb::SetNode(uint32_t nid, const NodeEntry& entry) {
    FlushIfLarge();
    nodeDelta_.Set(nid, entry);
    dirty_ = true;
}

std::optional<NodeEntry> NodeDb::FindNode(uint32_t nid) {
    if (const NodeEntry* e = nodeDelta_.Find(nid)) return *e;
    uint8_t p[32];
    if (!nbt_.Find(nid, p)) return std::nullopt;
    return NodeEntry{Get64(p + 8), Get64(p + 16), Get32(p + 24)};
}

bool NodeDb::NodeExists(uint32_t nid) { return FindNode(nid).has_value(); }

void NodeDb::ForEachNode(const std::function<void(uint32_t, const NodeEntry&)>& fn) {
    const std::vector<NodeIndex::Row>& delta = nodeDelta_.Sorted();
    size_t i = 0;
    nbt_.ForEach(
        [&](const uint8_t* p) {
            const uint32_t nid = Get32(p);
            for (; i < delta.size() && delta[i].first < nid; ++i) fn(delta[i].first, delta[i].second);
            if (i < delta.size() && delta[i].first == nid) return;  // changed since: the delta's entry follows
            fn(nid, NodeEntry{Get64(p + 8), Get64(p + 16), Get32(p + 24)});
        },
        nullptr);
    for (; i < delta.size(); ++i) fn(delta[i].first, delta[i].second);
}

uint32_t NodeDb::AllocateNid(uint8_t type) {
    const bool folder = type == NID_TYPE_NORMAL_FOLDER || type == NID_TYPE_HIERARCHY_TABLE ||
                        type == NID_TYPE_CONTENTS_TABLE || type == NID_TYPE_ASSOC_CONTENTS_TABLE;
    for (;;) {
        uint32_t index = ++rgnid_[type & 0x1F];
        if (index >= (1u << 27)) throw PstError("node ids exhausted");
        dirty_ = true;
        // A file of another writer may hold ids its header's counters do not cover.
        if (!opened_) return MakeNid(index, type);
        bool taken = NodeExists(MakeNid(index, type));
        if (folder)
            for (uint8_t t : {NID_TYPE_NORMAL_FOLDER, NID_TYPE_HIERARCHY_TABLE, NID_TYPE_CONTENTS_TABLE,
                              NID_TYPE_ASSOC_CONTENTS_TABLE})
                taken = taken || NodeExists(MakeNid(index, t));
        if (!taken) return MakeNid(index, type);
    }
}

void NodeDb::ReserveNidIndex(uint8_t type, uint32_t index) {
    rgnid_[type & 0x1F] = std::max(rgnid_[type & 0x1F], index);
}

const uint8_t* NodeDb::ReadPage(uint64_t bid, uint64_t ib, uint8_t ptype) {
    const std::string what = std::string(ptype == kPtypeNBT ? "NBT" : "BBT") + " page " + std::to_string(ib);
    if (const uint8_t* p = cache_.Find(ib)) {
        if (Get64(p + 504) != bid || p[496] != ptype) Damaged(what + " does not carry its own id");
        return p;
    }
    if (ib < kAMapBase || ib % kPageSize != 0 || ib + kPageSize > space_.Eof()) Damaged(what + " lies outside the file");
    uint8_t page[512];
    if (!file_.Read(ib, page, sizeof page)) Damaged(what + " lies past the end of the file");
    if (page[496] != ptype || page[497] != ptype) Damaged(what + " has the wrong page type");
    if (Get32(page + 500) != Crc32(page, 496)) Damaged(what + " has a checksum mismatch");
    if (Get64(page + 504) != bid || Get16(page + 498) != Signature(ib, bid)) Damaged(what + " does not carry its own id");
    nextPageBid_ = std::max(nextPageBid_, bid + 1);
    return cache_.Put(ib, page);
}

TreeRef NodeDb::WritePage(uint8_t* page, uint8_t ptype, uint64_t firstKey) {
    const uint64_t ib = space_.Allocate(kPageSize, kPageSize);
    KeepInsideFile();
    const uint64_t bid = nextPageBid_++;
    page[496] = ptype;
    page[497] = ptype;
    Put16(page + 498, Signature(ib, bid));
    Put32(page + 500, Crc32(page, 496));
    Put64(page + 504, bid);
    file_.Write(ib, page, kPageSize);
    cache_.Put(ib, page);
    return {firstKey, bid, ib};
}

void NodeDb::FreePage(uint64_t ib) {
    space_.Release(ib, kPageSize);
    cache_.Drop(ib);
}

PstRefused NodeDb::Damage(const std::string& what) {
    return PstRefused("\"" + file_.Path() + "\" is damaged: " + what + "; it is left untouched");
}

void NodeDb::FlushIfLarge() {
    // About 2 MB of changes: memory stays flat however long a run between commits.
    constexpr size_t kBound = 1 << 16;
    if (fresh_.size() + edits_.size() + nodeDelta_.size() > std::max(kBound, flushBound_)) {
        FlushTrees();
        // What stays (blocks of items not saved yet) does not make every later write flush.
        flushBound_ = 2 * (fresh_.size() + edits_.size());
    }
}

void NodeDb::FlushTrees() {
    std::vector<BTree::Change> changes;
    std::vector<uint8_t> bytes;
    {
        // Released blocks leave the tree, pending ones leave it and wait in
        // memory until their item is saved, the rest go into it.
        std::vector<BlockEntry> keep;
        std::vector<std::pair<uint64_t, bool>> keys;  // key, entry follows in `bytes`
        auto take = [&](BlockEntry e) {
            const uint64_t bid = (uint64_t(e.bidIndex) << 2) | ((e.flags & kInternal) ? 2 : 0);
            if (e.flags & (kReleased | kPending)) {
                if (e.flags & kInTree) keys.emplace_back(bid, false);
                if (!(e.flags & kReleased)) {
                    e.flags &= uint16_t(~kInTree);
                    keep.push_back(e);
                }
                return;
            }
            uint8_t p[24];
            Put64(p, bid);
            Put64(p + 8, uint64_t(e.ib64) * 64);
            Put16(p + 16, e.cb);
            Put16(p + 18, e.cRef);
            Put32(p + 20, 0);
            bytes.insert(bytes.end(), p, p + 24);
            keys.emplace_back(bid, true);
        };
        auto ed = edits_.begin();
        for (const BlockEntry& f : fresh_) {
            for (; ed != edits_.end() && ed->first < f.bidIndex; ++ed) take(ed->second);
            take(f);
        }
        for (; ed != edits_.end(); ++ed) take(ed->second);
        size_t at = 0;
        for (auto& [key, has] : keys) {
            changes.push_back({key, has ? bytes.data() + at : nullptr});
            if (has) at += 24;
        }
        bbt_.Apply(changes);
        fresh_.clear();
        edits_.clear();
        fresh_ = std::move(keep);  // in bid order, as taken
    }
    {
        changes.clear();
        bytes.clear();
        const std::vector<NodeIndex::Row>& rows = nodeDelta_.Sorted();
        bytes.resize(rows.size() * 32);
        for (size_t i = 0; i < rows.size(); ++i) {
            uint8_t* p = bytes.data() + 32 * i;
            Put64(p, rows[i].first);
            Put64(p + 8, rows[i].second.bidData);
            Put64(p + 16, rows[i].second.bidSub);
            Put32(p + 24, rows[i].second.parent);
            Put32(p + 28, 0);
            changes.push_back({rows[i].first, p});
        }
        nbt_.Apply(changes);
        nodeDelta_ = NodeIndex();
    }
}

void NodeDb::Commit() {
    if (closed_) throw PstError("file already closed");
    if (file_.Failed()) throw PstError(file_.EarlierFailure());
    if (!dirty_) return;
    // The trees take every change (new pages for the leaves that hold one and
    // the pages above them; the pages replaced are freed, so the maps written
    // below are exact). Pending blocks stay out of the tree, and their space
    // counts as free in the maps while their bytes stay.
    FlushTrees();
    std::vector<std::pair<uint64_t, uint64_t>> lent;
    for (const BlockEntry& e : fresh_) lent.emplace_back(uint64_t(e.ib64) * 64, e.cb + 16);
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
    if (file_.Published()) {
        file_.Sync();
        WriteHeader(false);
        file_.Sync();
        space_.WriteMaps(file_);
        file_.Sync();
    } else {
        // A file without a name yet vanishes in a crash whatever its state, so
        // its first commit needs no order, only to be whole on the disk before
        // the name is given: one flush instead of four.
        space_.WriteMaps(file_);
    }
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
    Put64(h + 0xD8, nbt_.Root().bid);
    Put64(h + 0xE0, nbt_.Root().ib);
    Put64(h + 0xE8, bbt_.Root().bid);
    Put64(h + 0xF0, bbt_.Root().ib);
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
