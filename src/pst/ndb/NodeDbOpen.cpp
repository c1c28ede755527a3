// Opening an existing Unicode PST to add to it: the header, the B-trees' root
// pages and the allocation maps are read; the rest of the trees is read as
// lookups need it. Everything read is checked (CRCs, signatures, ordering,
// bounds), and damage is refused before anything is written.
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
constexpr uint8_t kValidAMap2 = 0x02;

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

NodeDb::NodeDb(const std::string& path, Existing)
    : file_(path, FileSink::Existing{}),
      crypt_(0),
      opened_(true),
      nbt_(*this, kPtypeNBT, 32, 15),
      bbt_(*this, kPtypeBBT, 24, 20) {
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
    space_.Adopt(intervals, {});  // bounds for reading the trees; the real space follows
    nbt_.Open(Get64(h + 0xD8), Get64(h + 0xE0));
    bbt_.Open(Get64(h + 0xE8), Get64(h + 0xF0));
    // Block ids continue past every block the file holds (node ids are
    // checked as they are allocated).
    nextBid_ = std::max(nextBid_, bbt_.LastKey() + 4) & ~uint64_t(3);
    // The free space: from the maps when the header says they are valid (they
    // are written with every commit), each read when something first changes
    // in its interval; else from the blocks and pages of both trees.
    bool mapped = false;
    if (h[0xF8] == kValidAMap2) {
        try {
            space_.AdoptMaps(file_, intervals, Get64(h + 0xC8));
            mapped = true;
        } catch (const PstError&) {
        }
    }
    if (!mapped) {
        try {
            space_.Adopt(intervals, UsedByTrees());
        } catch (const PstRefused&) {
            throw;
        } catch (const PstError& e) {
            refuse(std::string("is damaged: ") + e.what());
        }
    }
    committed_ = true;
    diskIntervals_ = intervals;
    openedAtCommit_ = intervals;
    intervalsAtOpen_ = intervals;
    std::memcpy(header_, h, kHeaderSize);
    dirty_ = false;
}

std::vector<std::pair<uint64_t, uint64_t>> NodeDb::UsedByTrees() {
    std::vector<std::pair<uint64_t, uint64_t>> used;
    auto page = [&](uint64_t ib) { used.emplace_back(ib, kPageSize); };
    nbt_.ForEach(nullptr, page);
    bbt_.ForEach(
        [&](const uint8_t* p) {
            const uint64_t b = Get64(p), at = Get64(p + 8);
            const uint16_t cb = Get16(p + 16);
            if ((b & 1) || cb > kMaxBlockData || at < kAMapBase || at % 64 != 0)
                Damaged("the block B-tree lists block " + Hex(b) + " at an impossible place or size");
            used.emplace_back(at, (uint64_t(cb) + 16 + 63) / 64 * 64);
        },
        page);
    return used;
}

Bytes NodeDb::ReadBlock(uint64_t bid) {
    auto refuse = [&](const std::string& why) {
        throw PstRefused("\"" + file_.Path() + "\" is damaged: block " + Hex(bid) + " " + why + "; it is left untouched");
    };
    std::optional<BlockEntry> e = LookupBlock(bid);
    if (!e || ((e->flags & kInternal) != 0) != ((bid & 2) != 0)) refuse("is not in the block B-tree");
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
