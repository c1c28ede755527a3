// Opening an existing Unicode PST to add to it: the header, both B-trees and
// the free space are read; everything read is checked (CRCs, signatures,
// ordering, bounds), and damage is refused before anything is written.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "Crc.h"
#include "Error.h"
#include "NodeDb.h"

namespace pst::ndb {
namespace {

constexpr size_t kHeaderSize = 564;
constexpr uint8_t kPtypeBBT = 0x80, kPtypeNBT = 0x81;
constexpr int kMaxTreeDepth = 16;

uint16_t Signature(uint64_t ib, uint64_t bid) {
    uint64_t v = ib ^ bid;
    return uint16_t((v >> 16) ^ v);
}

std::string Hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

}  // namespace

NodeDb::NodeDb(const std::string& path, Existing) : file_(path, FileSink::Existing{}), crypt_(0), opened_(true) {
    Load();
}

void NodeDb::Load() {
    const std::string& path = file_.Path();
    auto refuse = [&](const std::string& why) { throw PstRefused("\"" + path + "\" " + why + "; it is left untouched"); };
    uint64_t size = file_.Size();
    uint8_t* h = original_;
    if (size < 4 || !file_.Read(0, h, 4) || std::memcmp(h, "!BDN", 4) != 0) refuse("is not a PST file");
    if (size < 12 || !file_.Read(0, h, 12)) refuse("is truncated: it ends inside the PST header");
    uint16_t wVer = Get16(h + 0x0A);
    if (wVer == 14 || wVer == 15) refuse("is an ANSI PST (Outlook 97-2002 format); only Unicode PSTs can be added to");
    if (wVer >= 36) refuse("is a PST with 4 KiB pages; only Unicode PSTs with 512-byte pages can be added to");
    if (wVer < 23) refuse("is not a Unicode PST (format version " + std::to_string(wVer) + ")");
    if (size < kHeaderSize || !file_.Read(0, h, kHeaderSize)) refuse("is truncated: it ends inside the PST header");
    if (h[8] != 'S' || h[9] != 'M') refuse("is not a PST file (no \"SM\" client magic)");
    if (Get32(h + 0x04) != Crc32(h + 8, 471) || Get32(h + 0x20C) != Crc32(h + 8, 516))
        refuse("has a damaged header (checksum mismatch)");
    if (h[0x200] != 0x80) refuse("has a damaged header (sentinel byte)");
    crypt_ = h[0x201];
    if (crypt_ > 2) refuse("uses an unknown encoding (" + std::to_string(crypt_) + ")");
    uint64_t eof = Get64(h + 0xB8);
    if (eof < kAMapBase + kAMapSpan || (eof - kAMapBase) % kAMapSpan != 0)
        refuse("has an end of file (" + Hex(eof) + ") that is not at an allocation-map boundary");
    if (size < eof) refuse("is truncated: " + std::to_string(size) + " bytes where the header says " + std::to_string(eof));
    uint64_t intervals = (eof - kAMapBase) / kAMapSpan;

    nextPageBid_ = Get64(h + 0x20);
    unique_ = Get32(h + 0x28);
    for (int t = 0; t < 32; ++t) rgnid_[size_t(t)] = Get32(h + 0x2C + 4 * t);
    nextBid_ = Get64(h + 0x204);
    nbtRoot_ = {0, Get64(h + 0xD8), Get64(h + 0xE0)};
    bbtRoot_ = {0, Get64(h + 0xE8), Get64(h + 0xF0)};
    space_.Adopt(intervals, {});  // bounds for the tree walk; the real space follows
    LoadTree(false, bbtRoot_.bid, bbtRoot_.ib, -1, 0, 0);
    LoadTree(true, nbtRoot_.bid, nbtRoot_.ib, -1, 0, 0);

    // Counters continue past everything the file holds.
    uint64_t maxBid = 0;
    for (const BlockEntry& e : blocks_) maxBid = std::max<uint64_t>(maxBid, uint64_t(e.bidIndex) << 2);
    nextBid_ = std::max(nextBid_, maxBid + 4) & ~uint64_t(3);
    std::vector<std::pair<uint64_t, uint64_t>> used;
    used.reserve(blocks_.size() + nbtLeaves_.size() + bbtLeaves_.size() + innerPages_.size());
    for (const BlockEntry& e : blocks_) used.emplace_back(uint64_t(e.ib64) * 64, (uint64_t(e.cb) + 16 + 63) / 64 * 64);
    for (const auto* leaves : {&nbtLeaves_, &bbtLeaves_})
        for (const LeafRef& l : *leaves) used.emplace_back(l.ib, kPageSize);
    for (uint64_t ib : innerPages_) used.emplace_back(ib, kPageSize);
    uint32_t folderIndex = 0;
    for (auto& [nid, e] : nodes_) {
        uint8_t t = NidTypeOf(nid);
        uint32_t index = NidIndexOf(nid);
        rgnid_[t] = std::max(rgnid_[t], index);
        if (t == NID_TYPE_NORMAL_FOLDER || t == NID_TYPE_SEARCH_FOLDER || t == NID_TYPE_HIERARCHY_TABLE ||
            t == NID_TYPE_CONTENTS_TABLE || t == NID_TYPE_ASSOC_CONTENTS_TABLE)
            folderIndex = std::max(folderIndex, index);
    }
    // A new folder's four nodes take one index free in every folder type.
    for (uint8_t t : {NID_TYPE_NORMAL_FOLDER, NID_TYPE_HIERARCHY_TABLE, NID_TYPE_CONTENTS_TABLE,
                      NID_TYPE_ASSOC_CONTENTS_TABLE})
        rgnid_[t] = std::max(rgnid_[t], folderIndex);
    try {
        space_.Adopt(intervals, std::move(used));
    } catch (const PstError& e) {
        refuse(std::string("is damaged: ") + e.what());
    }
    committed_ = true;
    diskIntervals_ = intervals;
    openedAtCommit_ = intervals;
    intervalsAtOpen_ = intervals;
    std::memcpy(header_, h, kHeaderSize);
    dirty_ = false;
}

// Reads one B-tree page and what lies below it. BBT leaves come in bid order,
// so blocks_ stays sorted as the writer needs.
void NodeDb::LoadTree(bool nbt, uint64_t bid, uint64_t ib, int level, uint64_t lowKey, int depth) {
    auto refuse = [&](const std::string& why) {
        throw PstRefused("\"" + file_.Path() + "\" is damaged: " + std::string(nbt ? "NBT" : "BBT") + " page " +
                         Hex(ib) + " " + why + "; it is left untouched");
    };
    if (depth > kMaxTreeDepth) refuse("lies deeper than any B-tree can");
    if (ib < kAMapBase || ib % kPageSize != 0 || ib + kPageSize > space_.Eof()) refuse("lies outside the file");
    uint8_t page[512];
    if (!file_.Read(ib, page, sizeof page)) refuse("lies past the end of the file");
    uint8_t ptype = nbt ? kPtypeNBT : kPtypeBBT;
    if (page[496] != ptype || page[497] != ptype) refuse("has the wrong page type");
    if (Get32(page + 500) != Crc32(page, 496)) refuse("has a checksum mismatch");
    if (Get64(page + 504) != bid || Get16(page + 498) != Signature(ib, bid)) refuse("does not carry its own id");
    uint8_t cEnt = page[488], cEntMax = page[489], cbEnt = page[490], cLevel = page[491];
    if (level >= 0 && cLevel != level) refuse("has the wrong level");
    uint8_t leafSize = nbt ? 32 : 24;
    if ((cLevel == 0 ? cbEnt != leafSize : cbEnt != 24) || cEntMax == 0 || cEnt > cEntMax ||
        size_t(cEntMax) * cbEnt > 488)
        refuse("has impossible entry counts");
    // The file's leaves are kept by the first commit where nothing in them changes.
    if (cLevel == 0 && cEnt > 0) {
        const uint8_t* lastEntry = page + (cEnt - 1) * cbEnt;
        (nbt ? nbtLeaves_ : bbtLeaves_)
            .push_back({nbt ? Get32(page) : Get64(page), nbt ? Get32(lastEntry) : Get64(lastEntry), bid, ib});
    } else {
        innerPages_.push_back(ib);
    }
    nextPageBid_ = std::max(nextPageBid_, bid + 1);
    uint64_t prev = lowKey;
    for (size_t i = 0; i < cEnt; ++i) {
        const uint8_t* p = page + i * cbEnt;
        uint64_t key = nbt && cLevel == 0 ? Get32(p) : Get64(p);
        if ((i > 0 || depth > 0) && key < prev) refuse("has keys out of order");
        if (i > 0 && key == prev) refuse("has a key twice");
        prev = key;
        if (cLevel > 0) {
            LoadTree(nbt, Get64(p + 8), Get64(p + 16), cLevel - 1, key, depth + 1);
            continue;
        }
        if (nbt) {
            uint32_t nid = Get32(p);
            nodes_.Set(nid, NodeEntry{Get64(p + 8), Get64(p + 16), Get32(p + 24)});
            continue;
        }
        uint64_t b = Get64(p), at = Get64(p + 8);
        uint16_t cb = Get16(p + 16), cRef = Get16(p + 18);
        uint64_t span = (uint64_t(cb) + 16 + 63) / 64 * 64;
        if ((b & 1) || (b >> 2) > 0xFFFFFFFFull || cb > kMaxBlockData || at < kAMapBase || at % 64 != 0 ||
            at + span > space_.Eof() || (at - kAMapBase) / kAMapSpan != (at + span - 1 - kAMapBase) / kAMapSpan)
            refuse("lists block " + Hex(b) + " at an impossible place or size");
        if (!blocks_.empty() && blocks_.back().bidIndex >= uint32_t(b >> 2))
            refuse("lists block " + Hex(b) + " out of order");
        blocks_.push_back({uint32_t(b >> 2), uint32_t(at / 64), cb, uint16_t((b & 2) ? 1 : 0), cRef});
    }
}

Bytes NodeDb::ReadBlock(uint64_t bid) {
    auto refuse = [&](const std::string& why) {
        throw PstRefused("\"" + file_.Path() + "\" is damaged: block " + Hex(bid) + " " + why + "; it is left untouched");
    };
    BlockEntry* e = FindBlock(bid);
    if (!e || ((e->flags & 1) != 0) != ((bid & 2) != 0)) refuse("is not in the block B-tree");
    uint64_t ib = uint64_t(e->ib64) * 64;
    uint64_t span = (uint64_t(e->cb) + 16 + 63) / 64 * 64;
    Bytes buf(span);
    if (!file_.Read(ib, buf.data(), buf.size())) refuse("lies past the end of the file");
    const uint8_t* trailer = buf.data() + span - 16;
    if (Get16(trailer) != e->cb || Get64(trailer + 8) != (bid & ~uint64_t(1)) || Get16(trailer + 2) != Signature(ib, bid))
        refuse("does not carry its own id and size");
    if (Get32(trailer + 4) != Crc32(buf.data(), e->cb)) refuse("has a checksum mismatch");
    buf.resize(e->cb);
    if (!(bid & 2)) {
        if (crypt_ == 1) PermuteDecode(buf.data(), buf.size());
        if (crypt_ == 2) CyclicCrypt(buf.data(), buf.size(), uint32_t(bid));
    }
    return buf;
}

std::vector<Bytes> NodeDb::ReadStream(uint64_t bid) {
    std::vector<Bytes> out;
    if (bid == 0) return out;
    if (!(bid & 2)) {
        out.push_back(ReadBlock(bid));
        return out;
    }
    Bytes x = ReadBlock(bid);
    if (x.size() < 8 || x[0] != 0x01 || (x[1] != 1 && x[1] != 2) || x.size() < 8 + 8 * size_t(Get16(&x[2])))
        throw PstRefused("\"" + file_.Path() + "\" is damaged: block " + Hex(bid) + " is not a data tree; it is left untouched");
    size_t count = Get16(&x[2]);
    for (size_t i = 0; i < count; ++i) {
        uint64_t child = Get64(&x[8 + 8 * i]);
        if (x[1] == 1) {
            if (child & 2) throw PstRefused("\"" + file_.Path() + "\" is damaged: block " + Hex(bid) + " lists a tree as data; it is left untouched");
            out.push_back(ReadBlock(child));
        } else {
            if (!(child & 2)) throw PstRefused("\"" + file_.Path() + "\" is damaged: block " + Hex(bid) + " lists data as a tree; it is left untouched");
            for (Bytes& b : ReadStream(child)) out.push_back(std::move(b));
        }
    }
    return out;
}

std::vector<SubnodeEntry> NodeDb::ReadSubnodes(uint64_t bidSub) {
    std::vector<SubnodeEntry> out;
    if (bidSub == 0) return out;
    Bytes b = ReadBlock(bidSub);
    if (b.size() < 8 || b[0] != 0x02 || b[1] > 1)
        throw PstRefused("\"" + file_.Path() + "\" is damaged: block " + Hex(bidSub) + " is not a subnode block; it is left untouched");
    size_t count = Get16(&b[2]), width = b[1] == 0 ? 24 : 16;
    if (b.size() < 8 + width * count)
        throw PstRefused("\"" + file_.Path() + "\" is damaged: block " + Hex(bidSub) + " is too short; it is left untouched");
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* p = &b[8 + width * i];
        if (b[1] == 0) {
            out.push_back({Get32(p), Get64(p + 8), Get64(p + 16)});
        } else {
            for (const SubnodeEntry& s : ReadSubnodes(Get64(p + 8))) out.push_back(s);
        }
    }
    return out;
}

void NodeDb::CollectBlocks(uint64_t bid, BlockList& out, int depth) {
    if (bid == 0) return;
    if (depth > kMaxTreeDepth) throw PstRefused("\"" + file_.Path() + "\" is damaged: block trees nest too deep; it is left untouched");
    out.push_back(bid);
    if (!(bid & 2)) return;
    Bytes b = ReadBlock(bid);
    if (b.size() < 8) return;
    size_t count = Get16(&b[2]);
    if (b[0] == 0x01) {
        for (size_t i = 0; i < count && 8 + 8 * i + 8 <= b.size(); ++i) CollectBlocks(Get64(&b[8 + 8 * i]), out, depth + 1);
    } else if (b[0] == 0x02 && b[1] == 0) {
        for (size_t i = 0; i < count && 8 + 24 * i + 24 <= b.size(); ++i) {
            CollectBlocks(Get64(&b[8 + 24 * i + 8]), out, depth + 1);
            CollectBlocks(Get64(&b[8 + 24 * i + 16]), out, depth + 1);
        }
    } else if (b[0] == 0x02 && b[1] == 1) {
        for (size_t i = 0; i < count && 8 + 16 * i + 16 <= b.size(); ++i) CollectBlocks(Get64(&b[8 + 16 * i + 8]), out, depth + 1);
    }
}

BlockList NodeDb::NodeBlocks(uint64_t bidData, uint64_t bidSub) {
    BlockList out;
    CollectBlocks(bidData, out, 0);
    CollectBlocks(bidSub, out, 0);
    return out;
}

}  // namespace pst::ndb
