// NDB layer checks: header, B-tree pages, blocks, reference counts, allocation maps.
#include <algorithm>
#include <cstring>
#include <deque>

#include "Internal.h"
#include "SpillSort.h"

namespace pst::verify::detail {

namespace {

// Decoding table of the compressible encoding ([MS-PST] 5.1, third 256-byte row).
const uint8_t kDecode[256] = {
    0x47, 0xF1, 0xB4, 0xE6, 0x0B, 0x6A, 0x72, 0x48, 0x85, 0x4E, 0x9E, 0xEB, 0xE2, 0xF8, 0x94, 0x53,
    0xE0, 0xBB, 0xA0, 0x02, 0xE8, 0x5A, 0x09, 0xAB, 0xDB, 0xE3, 0xBA, 0xC6, 0x7C, 0xC3, 0x10, 0xDD,
    0x39, 0x05, 0x96, 0x30, 0xF5, 0x37, 0x60, 0x82, 0x8C, 0xC9, 0x13, 0x4A, 0x6B, 0x1D, 0xF3, 0xFB,
    0x8F, 0x26, 0x97, 0xCA, 0x91, 0x17, 0x01, 0xC4, 0x32, 0x2D, 0x6E, 0x31, 0x95, 0xFF, 0xD9, 0x23,
    0xD1, 0x00, 0x5E, 0x79, 0xDC, 0x44, 0x3B, 0x1A, 0x28, 0xC5, 0x61, 0x57, 0x20, 0x90, 0x3D, 0x83,
    0xB9, 0x43, 0xBE, 0x67, 0xD2, 0x46, 0x42, 0x76, 0xC0, 0x6D, 0x5B, 0x7E, 0xB2, 0x0F, 0x16, 0x29,
    0x3C, 0xA9, 0x03, 0x54, 0x0D, 0xDA, 0x5D, 0xDF, 0xF6, 0xB7, 0xC7, 0x62, 0xCD, 0x8D, 0x06, 0xD3,
    0x69, 0x5C, 0x86, 0xD6, 0x14, 0xF7, 0xA5, 0x66, 0x75, 0xAC, 0xB1, 0xE9, 0x45, 0x21, 0x70, 0x0C,
    0x87, 0x9F, 0x74, 0xA4, 0x22, 0x4C, 0x6F, 0xBF, 0x1F, 0x56, 0xAA, 0x2E, 0xB3, 0x78, 0x33, 0x50,
    0xB0, 0xA3, 0x92, 0xBC, 0xCF, 0x19, 0x1C, 0xA7, 0x63, 0xCB, 0x1E, 0x4D, 0x3E, 0x4B, 0x1B, 0x9B,
    0x4F, 0xE7, 0xF0, 0xEE, 0xAD, 0x3A, 0xB5, 0x59, 0x04, 0xEA, 0x40, 0x55, 0x25, 0x51, 0xE5, 0x7A,
    0x89, 0x38, 0x68, 0x52, 0x7B, 0xFC, 0x27, 0xAE, 0xD7, 0xBD, 0xFA, 0x07, 0xF4, 0xCC, 0x8E, 0x5F,
    0xEF, 0x35, 0x9C, 0x84, 0x2B, 0x15, 0xD5, 0x77, 0x34, 0x49, 0xB6, 0x12, 0x0A, 0x7F, 0x71, 0x88,
    0xFD, 0x9D, 0x18, 0x41, 0x7D, 0x93, 0xD8, 0x58, 0x2C, 0xCE, 0xFE, 0x24, 0xAF, 0xDE, 0xB8, 0x36,
    0xC8, 0xA1, 0x80, 0xA6, 0x99, 0x98, 0xA8, 0x2F, 0x0E, 0x81, 0x65, 0x73, 0xE4, 0xC2, 0xA2, 0x8A,
    0xD4, 0xE1, 0x11, 0xD0, 0x08, 0x8B, 0x2A, 0xF2, 0xED, 0x9A, 0x64, 0x3F, 0xC1, 0x6C, 0xF9, 0xEC,
};

constexpr size_t kHeaderSize = 0x234;  // Unicode HEADER
constexpr size_t kAnsiHeaderSize = 0x200;

uint64_t BlockSpan(uint16_t cb) { return (uint64_t(cb) + 16 + 63) & ~uint64_t(63); }

// A block's place in the file, for the pass in offset order.
#pragma pack(push, 4)
struct BlockExtent {
    uint64_t ib;
    uint64_t bid;
    uint32_t span;
    bool operator<(const BlockExtent& o) const { return ib != o.ib ? ib < o.ib : bid < o.bid; }
};
#pragma pack(pop)
// Blocks sorted in memory at a time (20 bytes each); more go through a temporary file.
constexpr size_t kExtentRun = size_t(1) << 19;

const char* PageTypeName(uint8_t t) {
    switch (t) {
        case kPtBBT: return "BBT";
        case kPtNBT: return "NBT";
        case kPtFMap: return "FMap";
        case kPtPMap: return "PMap";
        case kPtAMap: return "AMap";
        case kPtFPMap: return "FPMap";
        case kPtDList: return "DList";
        default: return "unknown";
    }
}

std::string PtypeText(uint8_t t) { return Hex(t) + " (" + PageTypeName(t) + ")"; }

}  // namespace

// --------------------------------------------------------------------------------------------
// Header

void Context::CheckHeader() {
    const std::string where = "header";
    if (size < 4 || std::memcmp(data, "!BDN", 4) != 0) {
        report.outcome = Outcome::Unreadable;
        report.fatal = size < 4 ? "file is truncated: " + std::to_string(size) + " bytes, not even the PST magic"
                                : "not a PST file: the first 4 bytes are not the PST magic \"!BDN\"";
        return;
    }
    if (size < 0x0C) {
        report.outcome = Outcome::Unreadable;
        report.fatal = "file is truncated: " + std::to_string(size) + " bytes, the PST header needs at least " +
                       std::to_string(kAnsiHeaderSize);
        return;
    }
    const uint16_t wVer = U16(data + 0x0A);
    if (wVer == 14 || wVer == 15) {
        report.format = "ansi";
        if (size < kAnsiHeaderSize) {
            report.outcome = Outcome::Unreadable;
            report.fatal = "file is truncated: " + std::to_string(size) + " bytes, the ANSI PST header needs " +
                           std::to_string(kAnsiHeaderSize);
            return;
        }
        const uint32_t crc = PstCrc(data + 8, 471);
        report.outcome = Outcome::Unreadable;
        report.fatal = "ANSI (32-bit) PST, wVer " + std::to_string(wVer) + ": only Unicode PSTs (wVer 23) can be verified" +
                       (crc == U32(data + 4) ? " (its header CRC is correct)" : " (and its header CRC is wrong)");
        return;
    }
    if (wVer == 36 || wVer == 37) {
        report.format = "unicode-4k";
        report.outcome = Outcome::Unreadable;
        report.fatal = "Unicode PST/OST with 4 KiB pages (wVer " + std::to_string(wVer) + ") is not supported";
        return;
    }
    if (wVer < 23) {
        report.outcome = Outcome::Unreadable;
        report.fatal = "unknown PST version wVer " + std::to_string(wVer);
        return;
    }
    report.format = "unicode";
    if (size < kHeaderSize) {
        report.outcome = Outcome::Unreadable;
        report.fatal = "file is truncated: " + std::to_string(size) + " bytes, the Unicode PST header alone needs " +
                       std::to_string(kHeaderSize);
        return;
    }
    if (wVer != 23) Fault(where, "wVer " + std::to_string(wVer) + ", expected 23");
    if (U16(data + 0x0C) != 19) Fault(where, "wVerClient " + std::to_string(U16(data + 0x0C)) + ", expected 19");
    if (data[0x0E] != 1 || data[0x0F] != 1)
        Fault(where, "bPlatformCreate/bPlatformAccess " + std::to_string(data[0x0E]) + "/" + std::to_string(data[0x0F]) +
                         ", expected 1/1");
    if (U16(data + 0x08) != 0x4D53) Fault(where, "wMagicClient " + Hex(U16(data + 0x08)) + ", expected 0x4d53 (\"SM\")");
    const uint32_t crcPartial = PstCrc(data + 8, 471);
    if (crcPartial != U32(data + 4))
        Fault(where, "dwCRCPartial " + Hex(U32(data + 4)) + " does not match bytes 0x8..0x1de (computed " +
                         Hex(crcPartial) + ")");
    const uint32_t crcFull = PstCrc(data + 8, 516);
    if (crcFull != U32(data + 0x20C))
        Fault(where, "dwCRCFull " + Hex(U32(data + 0x20C)) + " does not match bytes 0x8..0x20b (computed " +
                         Hex(crcFull) + ")");
    if (data[0x200] != 0x80) Fault(where, "bSentinel " + Hex(data[0x200]) + ", expected 0x80");
    cryptMethod = data[0x201];
    if (cryptMethod > 1)
        Fault(where, "bCryptMethod " + Hex(cryptMethod) +
                         " is not supported (only 0 none and 1 compressible); data blocks are read undecoded");
    bidNextP = U64(data + 0x20);
    bidNextB = U64(data + 0x204);
    dwUnique = U32(data + 0x28);
    for (int i = 0; i < 32; ++i) rgnid[i] = U32(data + 0x2C + 4 * i);

    const uint8_t* root = data + 0xB4;
    fileEof = U64(root + 4);
    amapLast = U64(root + 12);
    amapFree = U64(root + 20);
    pmapFree = U64(root + 28);
    nbtRootBid = U64(root + 36);
    nbtRootIb = U64(root + 44);
    bbtRootBid = U64(root + 52);
    bbtRootIb = U64(root + 60);
    amapValid = root[68];

    checkedEnd = std::min<uint64_t>(fileEof, size);
    if (fileEof > size && crcPartial == U32(data + 4) && crcFull == U32(data + 0x20C)) {
        // The header is intact, so the file really lost its tail.
        report.outcome = Outcome::Unreadable;
        report.fatal = "file is truncated: " + std::to_string(size) + " bytes on disk, but its header says " +
                       std::to_string(fileEof);
        return;
    }
    if (fileEof > size)
        Fault(where, "file is truncated: " + std::to_string(size) + " bytes on disk, ROOT.ibFileEof says " +
                         std::to_string(fileEof));
    else if (fileEof < size)
        // The file's length and its header cannot change together: a writer
        // stopped while growing the file for a commit or an extension, or before
        // cutting off the space a final commit gave up, leaves bytes past the
        // end the header names. Nothing refers to them and readers never look
        // there; everything the header reaches is checked as usual.
        Note(where, "file has " + std::to_string(size - fileEof) + " bytes after ROOT.ibFileEof " + Hex(fileEof) +
                        " (space of an extension or trim the writer did not finish; unused)");
    if (checkedEnd <= kFirstAMap) {
        Fault(where, "ROOT.ibFileEof " + Hex(fileEof) + " leaves no room for the first AMap page at 0x4400");
        return;
    }
    if ((fileEof - kFirstAMap) % kAMapSpan != 0)
        Fault(where, "ROOT.ibFileEof " + Hex(fileEof) + " is not at the end of an AMap interval (0x4400 + n*0x3e000)");
    const uint64_t amaps = (checkedEnd - kFirstAMap + kAMapSpan - 1) / kAMapSpan;
    const uint64_t expectedLast = kFirstAMap + (amaps - 1) * kAMapSpan;
    if (amapLast != expectedLast)
        Fault(where, "ROOT.ibAMapLast " + Hex(amapLast) + ", expected " + Hex(expectedLast) + " for a file of " +
                         Hex(checkedEnd) + " bytes");
    if (amapValid == 0)
        // The state of a commit stopped after its B-trees were written and before
        // its maps were complete: the format's way of saying the maps must be
        // rebuilt from the B-trees, which readers do. The maps are not checked.
        Note(where, "ROOT.fAMapValid 0 (INVALID_AMAP: the allocation maps are to be rebuilt from the B-trees, as a "
                    "commit that did not finish leaves them; they are not checked)");
    else if (amapValid != 2)
        Fault(where, "ROOT.fAMapValid " + std::to_string(amapValid) + " (expected 2, VALID_AMAP2)");
    if (nbtRootIb == 0 || bbtRootIb == 0) Fault(where, "ROOT has no NBT or BBT root page");
}

// --------------------------------------------------------------------------------------------
// B-trees

void Context::WalkBTree(bool nbtTree, uint64_t bid, uint64_t ib, int expectLevel, uint64_t lowKey, bool hasHigh,
                        uint64_t highKey, int depth) {
    const char* tree = nbtTree ? "NBT" : "BBT";
    const std::string where = std::string(tree) + " page " + Hex(ib) + " (bid " + Hex(bid) + ")";
    if (depth > 8) {
        Fault(where, "B-tree deeper than 8 levels");
        return;
    }
    if (ib % kPageSize != 0) Fault(where, "page offset is not 512-byte aligned");
    if (ib < kFirstAMap + 2 * kPageSize || ib + kPageSize > checkedEnd) {
        Fault(where, "page lies outside the file's page area (file end " + Hex(checkedEnd) + ")");
        return;
    }
    bool again = false;
    if (ib % kPageSize == 0) {
        const uint64_t slot = ib / kPageSize;
        if (pageSlots.size() <= slot / 64) {
            pageSlots.resize(checkedEnd / kPageSize / 64 + 1, 0);
            nbtSlots.resize(pageSlots.size(), 0);
        }
        again = pageSlots[slot / 64] & (uint64_t(1) << (slot % 64));
        pageSlots[slot / 64] |= uint64_t(1) << (slot % 64);
        if (nbtTree && !again) nbtSlots[slot / 64] |= uint64_t(1) << (slot % 64);
    } else {
        again = !oddPages.emplace(ib, nbtTree).second;
    }
    if (again) {
        Fault(where, "page is referenced more than once in the B-trees");
        return;
    }
    ++report.pages;
    pageBids.Add({bid, ib | (nbtTree ? kNbtPage : 0), uint32_t(report.pages - 1)});
    maxPageBid = std::max(maxPageBid, bid);
    Used(kTouch);

    const uint8_t* p = data + ib;
    const uint8_t ptype = p[496], ptypeRepeat = p[497];
    const uint16_t wSig = U16(p + 498);
    const uint32_t crc = U32(p + 500);
    const uint64_t tbid = U64(p + 504);
    const uint8_t expectType = nbtTree ? kPtNBT : kPtBBT;
    if (ptype != expectType) {
        Fault(where, "trailer ptype " + PtypeText(ptype) + ", expected " + PtypeText(expectType));
        return;
    }
    if (ptypeRepeat != ptype) Fault(where, "trailer ptypeRepeat " + Hex(ptypeRepeat) + " differs from ptype " + Hex(ptype));
    const uint32_t computed = PstCrc(p, 496);
    if (crc != computed) Fault(where, "page CRC " + Hex(crc) + " does not match its content (computed " + Hex(computed) + ")");
    if (tbid != bid) Fault(where, "trailer BID " + Hex(tbid) + " differs from the BID " + Hex(bid) + " its reference gives");
    if (wSig != Signature(ib, tbid))
        Fault(where, "trailer wSig " + Hex(wSig) + ", expected " + Hex(Signature(ib, tbid)));

    const uint8_t cEnt = p[488], cEntMax = p[489], cbEnt = p[490], cLevel = p[491];
    if (expectLevel >= 0 && cLevel != expectLevel)
        Fault(where, "cLevel " + std::to_string(cLevel) + ", expected " + std::to_string(expectLevel) +
                         " (one below its parent)");
    const bool leaf = cLevel == 0;
    const uint8_t wantCb = leaf ? (nbtTree ? 32 : 24) : 24;
    const uint8_t wantMax = leaf ? (nbtTree ? 15 : 20) : 20;
    if (cbEnt != wantCb) {
        Fault(where, "cbEnt " + std::to_string(cbEnt) + ", expected " + std::to_string(wantCb) + " for a " +
                         (leaf ? "leaf" : "intermediate") + " page");
        return;
    }
    if (cEntMax != wantMax)
        Fault(where, "cEntMax " + std::to_string(cEntMax) + ", expected " + std::to_string(wantMax));
    size_t count = cEnt;
    if (cEnt > wantMax) {
        Fault(where, "cEnt " + std::to_string(cEnt) + " exceeds cEntMax " + std::to_string(wantMax));
        count = wantMax;
    }
    if (count == 0 && depth > 0) Fault(where, "empty B-tree page below the root");

    std::vector<uint64_t> keys(count);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* e = p + i * cbEnt;
        uint64_t key = U64(e);
        if (nbtTree && (key >> 32) != 0) {
            Fault(where, "entry " + std::to_string(i) + ": NID field " + Hex(key) + " has non-zero high 32 bits");
            key &= 0xFFFFFFFFu;
        }
        keys[i] = key;
        if (i > 0 && key <= keys[i - 1])
            Fault(where, "entries not in strictly ascending order: entry " + std::to_string(i) + " key " + Hex(key) +
                             " follows " + Hex(keys[i - 1]));
        if (i == 0 && depth > 0 && key != lowKey)
            Fault(where, "first key " + Hex(key) + " differs from the key " + Hex(lowKey) + " of its parent entry");
        if (key < lowKey || (hasHigh && key >= highKey))
            Fault(where, "entry " + std::to_string(i) + " key " + Hex(key) + " is outside the range [" + Hex(lowKey) +
                             ", " + (hasHigh ? Hex(highKey) : std::string("end")) + ") of its parent entry");
    }
    if (!leaf) {
        for (size_t i = 0; i < count; ++i) {
            const uint8_t* e = p + i * cbEnt;
            const bool nextHigh = i + 1 < count;
            WalkBTree(nbtTree, U64(e + 8), U64(e + 16), cLevel - 1, keys[i], nextHigh || hasHigh,
                      nextHigh ? keys[i + 1] : highKey, depth + 1);
        }
        return;
    }
    if (nbtTree)
        nbt.AddPage(ib, keys.data(), count,
                    [&](uint32_t nid) { Fault(where, "NID " + Hex(nid) + " appears twice in the NBT"); });
    else
        bbt.AddPage(ib, keys.data(), count,
                    [&](uint64_t key) { Fault(where, "BID " + Hex(key) + " appears twice in the BBT"); });
}

uint64_t Context::CountLeafEntries(uint64_t ib, int depth, uint64_t& pagesLeft) const {
    // A damaged tree may name a page many times over: no more pages than the file holds.
    if (depth > 8 || pagesLeft == 0 || ib < kFirstAMap || ib + kPageSize > checkedEnd) return 0;
    --pagesLeft;
    Used(kTouch);
    const uint8_t* p = data + ib;
    const uint8_t cEnt = std::min<uint8_t>(p[488], 20), cbEnt = p[490], cLevel = p[491];
    if (cLevel == 0) return cEnt;
    if (cbEnt != 24) return 0;
    uint64_t n = 0;
    for (size_t i = 0; i < cEnt; ++i) n += CountLeafEntries(U64(p + i * 24 + 16), depth + 1, pagesLeft);
    return n;
}

// Two pages with one BID, named in the order they were reached.
void Context::CheckPageBids() {
    std::vector<PageBid> again;
    bool first = true;
    uint64_t last = 0;
    pageBids.ForEach([&](const PageBid& p) {
        if (!first && p.bid == last) again.push_back(p);
        first = false;
        last = p.bid;
    });
    std::sort(again.begin(), again.end(), [](const PageBid& a, const PageBid& b) { return a.visit < b.visit; });
    for (const PageBid& p : again) {
        const uint64_t ib = p.ib & ~kNbtPage;
        Fault(std::string(p.ib & kNbtPage ? "NBT" : "BBT") + " page " + Hex(ib) + " (bid " + Hex(p.bid) + ")",
              "page BID " + Hex(p.bid) + " is used by another page too");
    }
    pageBids = SpillSort<PageBid>(1);
}

// --------------------------------------------------------------------------------------------
// Blocks

std::optional<BlockInfo> Context::Block(uint64_t bid) const {
    BbtEntry e;
    BlockInfo b;
    b.bid = bid & ~uint64_t(1);
    if (!bbt.Find(b.bid, e, b.index)) return std::nullopt;
    b.ib = e.ib;
    b.cb = e.cb;
    b.cRef = e.cRef;
    b.flags = blockStates.Flags(b.index);
    return b;
}

std::optional<Context::NodeInfo> Context::Node(uint32_t nid) const {
    NbtEntry e;
    NodeInfo n;
    if (!nbt.Find(nid, e, n.index)) return std::nullopt;
    n.bidData = e.bidData;
    n.bidSub = e.bidSub;
    n.nidParent = e.nidParent;
    return n;
}

bool Context::ReadBlock(uint64_t bid, Bytes& out) const {
    const auto b = Block(bid);
    if (!b || !b->readable()) return false;
    Used(kTouch);
    out.assign(data + b->ib, data + b->ib + b->cb);
    if (!b->internal() && cryptMethod == 1)
        for (auto& c : out) c = kDecode[c];
    return true;
}

void Context::CheckBlocks() {
    for (auto it = bbt.begin(); it != bbt.end(); ++it) {
        const auto [bid, b] = *it;
        const uint32_t index = it.index();
        // Named only for a fault: most blocks have none.
        auto where = [&] { return BlockName(bid, b.ib); };
        if (bid == 0) Fault(where(), "BID 0 is not a valid block id");
        if (bid & 1) Fault(where(), "BID has the reserved bit 0 set");
        if (b.cb > kMaxBlockData) {
            Fault(where(), "cb " + std::to_string(b.cb) + " exceeds the 8176-byte block maximum");
            continue;
        }
        if (b.ib % 64 != 0) Fault(where(), "block offset is not 64-byte aligned");
        const uint64_t span = BlockSpan(b.cb);
        if (b.ib < kFirstAMap + 2 * kPageSize || b.ib + span > checkedEnd) {
            Fault(where(), "block lies outside the file's data area (file end " + Hex(checkedEnd) + ")");
            continue;
        }
        blockStates.Set(index, BlockStates::kHasExtent, true);
        Used(std::max<uint64_t>(span, 4096));
        const uint8_t* t = data + b.ib + span - 16;
        const uint16_t tcb = U16(t);
        const uint16_t wSig = U16(t + 2);
        const uint32_t crc = U32(t + 4);
        const uint64_t tbid = U64(t + 8);
        bool ok = true;
        if (tcb != b.cb) {
            Fault(where(), "trailer cb " + std::to_string(tcb) + " differs from the BBT's cb " + std::to_string(b.cb));
            ok = false;
        }
        if (tbid != bid) {
            Fault(where(), "trailer BID " + Hex(tbid) + " differs from the BBT's BID");
            ok = false;
        }
        const uint32_t computed = PstCrc(data + b.ib, b.cb);
        if (crc != computed)
            Fault(where(), "block CRC " + Hex(crc) + " does not match its " + std::to_string(b.cb) +
                             " data bytes (computed " + Hex(computed) + ")");
        if (wSig != Signature(b.ib, bid)) Fault(where(), "trailer wSig " + Hex(wSig) + ", expected " + Hex(Signature(b.ib, bid)));
        blockStates.Set(index, BlockStates::kReadable, ok);
        if (!(bid & 2)) blockStates.Set(index, BlockStates::kStructureOk, ok);
    }

    // Internal blocks: data trees (XBLOCK/XXBLOCK) and subnode trees (SLBLOCK/SIBLOCK).
    auto peek = [&](const BlockInfo& e, uint8_t& btype, uint8_t& level, uint64_t& total) {
        if (!e.readable() || e.cb < 8 || !e.internal()) return false;
        Used(kTouch);
        btype = data[e.ib];
        level = data[e.ib + 1];
        total = U32(data + e.ib + 4);
        return true;
    };
    for (auto it = bbt.begin(); it != bbt.end(); ++it) {
        const auto [bid, b] = *it;
        const uint32_t index = it.index();
        if (!(bid & 2) || !blockStates.Is(index, BlockStates::kReadable)) continue;
        auto where = [&] { return BlockName(bid, b.ib); };
        Used(kTouch);
        if (b.cb < 8) {
            Fault(where(), "internal block of " + std::to_string(b.cb) + " bytes is too short for its header");
            continue;
        }
        const uint8_t* d = data + b.ib;
        const uint8_t btype = d[0], level = d[1];
        const uint16_t cEnt = U16(d + 2);
        bool ok = true;
        if (cEnt == 0) {
            Fault(where(), "internal block with no entries");
            ok = false;
        }
        if (btype == 1) {
            const uint64_t lcbTotal = U32(d + 4);
            if (level != 1 && level != 2) {
                Fault(where(), "data tree block with cLevel " + std::to_string(level) + " (expected 1 XBLOCK or 2 XXBLOCK)");
                continue;
            }
            if (size_t(8) + 8 * size_t(cEnt) != b.cb) {
                Fault(where(), std::string(level == 1 ? "XBLOCK" : "XXBLOCK") + " cb " + std::to_string(b.cb) +
                                 " does not equal 8 + 8*cEnt (cEnt " + std::to_string(cEnt) + ")");
                if (size_t(8) + 8 * size_t(cEnt) > b.cb) continue;
            }
            uint64_t sum = 0;
            for (uint16_t i = 0; i < cEnt; ++i) {
                const uint64_t child = U64(d + 8 + 8 * size_t(i));
                const auto c = Block(child);
                if (!c) {
                    Fault(where(), "entry " + std::to_string(i) + ": child BID " + Hex(child) + " is not in the BBT");
                    ok = false;
                    continue;
                }
                AddRef(*c);
                if (level == 1) {
                    if (c->internal()) {
                        Fault(where(), "XBLOCK entry " + std::to_string(i) + ": child " + Hex(child) + " is not a data block");
                        ok = false;
                        continue;
                    }
                    sum += c->cb;
                    if (i + 1 < cEnt && c->cb != kMaxBlockData)
                        Fault(where(), "XBLOCK entry " + std::to_string(i) + ": data block " + Hex(child) + " holds " +
                                         std::to_string(c->cb) + " bytes; every block but the last must hold 8176");
                } else {
                    uint8_t ct = 0, cl = 0;
                    uint64_t ctotal = 0;
                    if (!peek(*c, ct, cl, ctotal) || ct != 1 || cl != 1) {
                        Fault(where(), "XXBLOCK entry " + std::to_string(i) + ": child " + Hex(child) + " is not an XBLOCK");
                        ok = false;
                        continue;
                    }
                    sum += ctotal;
                }
            }
            if (ok && sum != lcbTotal)
                Fault(where(), "lcbTotal " + std::to_string(lcbTotal) + " differs from the children's total " +
                                 std::to_string(sum));
        } else if (btype == 2) {
            if (level > 1) {
                Fault(where(), "subnode block with cLevel " + std::to_string(level) + " (expected 0 SLBLOCK or 1 SIBLOCK)");
                continue;
            }
            const size_t entSize = level == 0 ? 24 : 16;
            if (8 + entSize * cEnt != b.cb) {
                Fault(where(), std::string(level == 0 ? "SLBLOCK" : "SIBLOCK") + " cb " + std::to_string(b.cb) +
                                 " does not equal 8 + " + std::to_string(entSize) + "*cEnt (cEnt " + std::to_string(cEnt) + ")");
                if (8 + entSize * cEnt > b.cb) continue;
            }
            uint64_t prev = 0;
            for (uint16_t i = 0; i < cEnt; ++i) {
                const uint8_t* e = d + 8 + entSize * i;
                // Only the low 32 bits are the NID; Outlook leaves junk in the high half.
                const uint64_t nid = U32(e);
                if (i > 0 && nid <= prev)
                    Fault(where(), "entry " + std::to_string(i) + ": NID " + Hex(nid) + " is not above the previous " + Hex(prev));
                prev = nid;
                if (level == 0) {
                    const uint64_t bidData = U64(e + 8), bidSub = U64(e + 16);
                    for (int k = 0; k < 2; ++k) {
                        const uint64_t ref = k == 0 ? bidData : bidSub;
                        if (ref == 0) continue;
                        const auto c = Block(ref);
                        if (!c) {
                            Fault(where(), "subnode " + Hex(nid) + ": " + (k == 0 ? "bidData " : "bidSub ") + Hex(ref) +
                                             " is not in the BBT");
                            ok = false;
                            continue;
                        }
                        AddRef(*c);
                    }
                } else {
                    const uint64_t child = U64(e + 8);
                    const auto c = Block(child);
                    if (!c) {
                        Fault(where(), "SIBLOCK entry " + std::to_string(i) + ": child BID " + Hex(child) + " is not in the BBT");
                        ok = false;
                        continue;
                    }
                    AddRef(*c);
                    uint8_t ct = 0, cl = 0;
                    uint64_t unused = 0;
                    if (!peek(*c, ct, cl, unused) || ct != 2 || cl != 0) {
                        Fault(where(), "SIBLOCK entry " + std::to_string(i) + ": child " + Hex(child) + " is not an SLBLOCK");
                        ok = false;
                        continue;
                    }
                    if (c->cb >= 32 && U32(data + c->ib + 8) != nid)
                        Fault(where(), "SIBLOCK entry " + std::to_string(i) + " key " + Hex(nid) +
                                         " differs from the first NID " + Hex(U64(data + c->ib + 8)) + " of its SLBLOCK");
                }
            }
        } else {
            Fault(where(), "internal block with unknown btype " + Hex(btype));
            continue;
        }
        blockStates.Set(index, BlockStates::kStructureOk, ok);
        if (btype == 1) ++(level == 1 ? report.xblocks : report.xxblocks);
        else ++(level == 0 ? report.slblocks : report.siblocks);
    }
}

bool Context::StreamBids(uint64_t bid, std::vector<uint64_t>& bids, const std::string& where) {
    bids.clear();
    const auto b = Block(bid);
    if (!b || !b->structureOk()) return false;
    if (!b->internal()) {
        bids.push_back(bid);
        return true;
    }
    if (BType(*b) != 1) {
        Fault(where, "data BID " + Hex(bid) + " is a subnode block, not data");
        return false;
    }
    Used(kTouch);
    const uint8_t* d = data + b->ib;
    const uint16_t cEnt = U16(d + 2);
    for (uint16_t i = 0; i < cEnt; ++i) {
        const uint64_t child = U64(d + 8 + 8 * size_t(i));
        if (Level(*b) == 1) {
            const auto c = Block(child);
            if (!c || !c->readable()) return false;
            bids.push_back(child);
        } else {
            const auto x = Block(child);
            if (!x || !x->structureOk()) return false;
            const uint8_t* xd = data + x->ib;
            for (uint16_t j = 0; j < U16(xd + 2); ++j) {
                const uint64_t leaf = U64(xd + 8 + 8 * size_t(j));
                const auto c = Block(leaf);
                if (!c || !c->readable()) return false;
                bids.push_back(leaf);
            }
        }
    }
    return true;
}

bool Context::ReadStream(uint64_t bid, std::vector<Bytes>& blocks, const std::string& where) {
    blocks.clear();
    std::vector<uint64_t> bids;
    if (!StreamBids(bid, bids, where)) return false;
    blocks.resize(bids.size());
    for (size_t i = 0; i < bids.size(); ++i)
        if (!ReadBlock(bids[i], blocks[i])) return false;
    return true;
}

bool Context::ReadSubnodes(uint64_t bidSub, Subnodes& out, const std::string& where) {
    out.clear();
    if (bidSub == 0) return true;
    const auto b = Block(bidSub);
    if (!b || !b->structureOk()) return false;
    if (!b->internal() || BType(*b) != 2) {
        Fault(where, "bidSub " + Hex(bidSub) + " is not a subnode block (SLBLOCK/SIBLOCK)");
        return false;
    }
    auto readLeaf = [&](const BlockInfo& leaf) {
        Used(kTouch);
        const uint8_t* d = data + leaf.ib;
        for (uint16_t i = 0; i < U16(d + 2); ++i) {
            const uint8_t* e = d + 8 + 24 * size_t(i);
            SubnodeEntry s{U32(e), U64(e + 8), U64(e + 16)};
            if (!out.emplace(s.nid, s).second) Fault(where, "subnode NID " + Hex(s.nid) + " appears twice");
        }
    };
    if (Level(*b) == 0) {
        readLeaf(*b);
        return true;
    }
    const uint8_t* d = data + b->ib;
    for (uint16_t i = 0; i < U16(d + 2); ++i) {
        const auto leaf = Block(U64(d + 8 + 16 * size_t(i) + 8));
        if (!leaf || !leaf->structureOk()) return false;
        readLeaf(*leaf);
    }
    return true;
}

// --------------------------------------------------------------------------------------------
// Nodes and reference counts

void Context::CheckNodes() {
    for (const auto& [nid, n] : nbt) {
        auto where = [&] { return NodeName(nid); };
        if (NidType(nid) == 0) Fault(where(), "NID type 0 (HID) cannot name a node");
        if (n.bidData != 0) {
            const auto b = Block(n.bidData);
            if (!b)
                Fault(where(), "bidData " + Hex(n.bidData) + " is not in the BBT");
            else {
                AddRef(*b);
                if (b->internal() && b->readable() && BType(*b) != 1)
                    Fault(where(), "bidData " + Hex(n.bidData) + " is a subnode block, not a data block or data tree");
            }
        }
        if (n.bidSub != 0) {
            const auto b = Block(n.bidSub);
            if (!b)
                Fault(where(), "bidSub " + Hex(n.bidSub) + " is not in the BBT");
            else {
                AddRef(*b);
                if (!b->internal() || (b->readable() && BType(*b) != 2))
                    Fault(where(), "bidSub " + Hex(n.bidSub) + " is not a subnode block (SLBLOCK/SIBLOCK)");
            }
        }
        if (n.nidParent != 0 && !HasNode(n.nidParent))
            Fault(where(), "parent NID " + Hex(n.nidParent) + " is not in the NBT");
    }
    // [MS-PST] 2.2.2.7.7.3 gives cRef as the block's reference count; Outlook files carry one
    // more than the references from the NBT and from other blocks (the BBT's own reference).
    for (auto it = bbt.begin(); it != bbt.end(); ++it) {
        const auto [bid, b] = *it;
        const uint32_t refs = blockStates.Refs(it.index());
        if (refs == 0 && b.cRef == 1)
            Note(BlockName(bid, b.ib), "block is referenced by no node and no other block (leaked; cRef 1)");
        else if (b.cRef != refs + 1)
            Fault(BlockName(bid, b.ib), "cRef " + std::to_string(b.cRef) + " does not match its " + std::to_string(refs) +
                                            " reference" + (refs == 1 ? "" : "s") + " (expected " + std::to_string(refs + 1) + ")");
    }
}

// --------------------------------------------------------------------------------------------
// Allocation maps

void Context::CheckMaps() {
    if (checkedEnd <= kFirstAMap) return;
    const uint64_t amaps = (checkedEnd - kFirstAMap + kAMapSpan - 1) / kAMapSpan;

    // Maps marked invalid are to be rebuilt: only their places count (no block
    // or page may lie there), not what they hold.
    const bool mapsValid = amapValid != 0;
    struct MapPage {
        uint64_t ib;
        const char* label;
    };
    std::vector<MapPage> mapPages;  // in offset order
    auto checkMapPage = [&](uint64_t ib, uint8_t ptype, const char* label) {
        const std::string where = std::string(label) + " page " + Hex(ib);
        if (ib + kPageSize > checkedEnd) {
            Fault(where, "map page is missing: it lies beyond the end of the file");
            return false;
        }
        ++report.mapPages;
        mapPages.push_back({ib, label});
        Used(kTouch);
        if (!mapsValid) return false;
        const uint8_t* p = data + ib;
        if (p[496] != ptype) {
            Fault(where, "trailer ptype " + PtypeText(p[496]) + ", expected " + PtypeText(ptype));
            return false;
        }
        if (p[497] != ptype) Fault(where, "trailer ptypeRepeat " + Hex(p[497]) + " differs from ptype");
        const uint32_t computed = PstCrc(p, 496);
        if (U32(p + 500) != computed)
            Fault(where, "page CRC " + Hex(U32(p + 500)) + " does not match its content (computed " + Hex(computed) + ")");
        if (U64(p + 504) != ib) Fault(where, "trailer BID " + Hex(U64(p + 504)) + " differs from the page offset");
        if (U16(p + 498) != 0) Fault(where, "trailer wSig " + Hex(U16(p + 498)) + ", expected 0 for a map page");
        return true;
    };

    std::vector<bool> amapOk(amaps, false);
    for (uint64_t k = 0; k < amaps; ++k) {
        const uint64_t ib = kFirstAMap + k * kAMapSpan;
        amapOk[k] = checkMapPage(ib, kPtAMap, "AMap");
        uint64_t next = ib + kPageSize;
        if (k % 8 == 0) {
            checkMapPage(next, kPtPMap, "PMap");
            next += kPageSize;
        }
        if (k >= 128 && (k - 128) % 496 == 0) {
            checkMapPage(next, kPtFMap, "FMap");
            next += kPageSize;
        }
        if (k >= 8192 && (k - 8192) % (496 * 64) == 0) checkMapPage(ib + 0x600, kPtFPMap, "FPMap");
    }

    // Density list: optional page at 0x4200.
    if (size >= kDListOffset + kPageSize) {
        const uint8_t* p = data + kDListOffset;
        const std::string where = "DList page " + Hex(kDListOffset);
        if (p[496] == kPtDList) {
            ++report.mapPages;
            if (p[497] != kPtDList) Fault(where, "trailer ptypeRepeat " + Hex(p[497]) + " differs from ptype");
            const uint32_t computed = PstCrc(p, 496);
            if (U32(p + 500) != computed)
                Fault(where, "page CRC " + Hex(U32(p + 500)) + " does not match its content (computed " + Hex(computed) + ")");
            if (U16(p + 498) != Signature(kDListOffset, U64(p + 504)))
                Fault(where, "trailer wSig " + Hex(U16(p + 498)) + ", expected " + Hex(Signature(kDListOffset, U64(p + 504))));
            if (U64(p + 504) != bidNextP)
                Note(where, "trailer BID " + Hex(U64(p + 504)) + " differs from the header's bidNextP " + Hex(bidNextP) +
                                " (readers treat the list as stale)");
            const uint8_t cEnt = p[1];
            if (cEnt > 119) Fault(where, "cEntDList " + std::to_string(cEnt) + " exceeds 119");
            for (uint8_t i = 0; i < std::min<uint8_t>(cEnt, 119); ++i) {
                const uint32_t ent = U32(p + 8 + 4 * i);
                if ((ent & 0xFFFFF) >= amaps)
                    Fault(where, "entry " + std::to_string(i) + " names AMap " + std::to_string(ent & 0xFFFFF) +
                                     ", but the file has " + std::to_string(amaps));
            }
        } else {
            bool zero = true;
            for (size_t i = 0; i < kPageSize && zero; ++i) zero = p[i] == 0;
            if (!zero) Fault(where, "bytes at 0x4200 are neither zero nor a DList page (ptype " + Hex(p[496]) + ")");
        }
    }

    // Every page and block in offset order, from three sorted sources: the
    // blocks (sorted by offset through a temporary file, as a file may hold
    // millions), the B-tree pages and the map pages.
    SpillSort<BlockExtent> blocks(kExtentRun);
    for (auto it = bbt.begin(); it != bbt.end(); ++it)
        if (blockStates.Is(it.index(), BlockStates::kHasExtent)) {
            const auto [bid, b] = *it;
            blocks.Add({b.ib, bid, uint32_t(BlockSpan(b.cb))});
        }
    struct Extent {
        uint64_t ib = 0, size = 0;
        int source = -1;  // 0 block, 1 B-tree page, 2 map page
        size_t index = 0;  // a map page's; for a B-tree page 1 if it is the NBT's
        uint64_t bid = 0;  // a block's
    };
    auto label = [&](const Extent& e) -> std::string {
        if (e.source == 0) return BlockName(e.bid, e.ib);
        if (e.source == 1) return std::string(e.index ? "NBT" : "BBT") + " page " + Hex(e.ib);
        return std::string(mapPages[e.index].label) + " page " + Hex(e.ib);
    };
    auto pageExtent = [&](uint64_t ib) {
        auto odd = oddPages.find(ib);
        const bool nbtPage = odd != oddPages.end() ? odd->second : NbtPageAt(ib / kPageSize);
        return Extent{ib, kPageSize, 1, nbtPage ? size_t(1) : size_t(0), 0};
    };
    // Calls fn(extent) for every page and block in offset order (at one offset:
    // blocks, then B-tree pages, then map pages).
    auto inOrder = [&](auto&& fn) {
        // The B-tree pages in offset order: the aligned ones from their bits, the others from their list.
        size_t word = 0;
        uint64_t bits = pageSlots.empty() ? 0 : pageSlots[0];
        auto odd = oddPages.begin();
        auto nextPage = [&]() -> uint64_t {
            while (!bits && word + 1 < pageSlots.size()) bits = pageSlots[++word];
            const uint64_t aligned = bits ? (word * 64 + uint64_t(__builtin_ctzll(bits))) * kPageSize : UINT64_MAX;
            return odd != oddPages.end() && odd->first < aligned ? odd->first : aligned;
        };
        auto popPage = [&](uint64_t ib) {
            if (odd != oddPages.end() && odd->first == ib) ++odd;
            else bits &= bits - 1;
            return pageExtent(ib);
        };
        size_t map = 0;
        auto upTo = [&](uint64_t ib, bool withPages) {
            while (true) {
                const uint64_t page = withPages ? nextPage() : UINT64_MAX;
                const bool p = page < ib;
                const bool m = map < mapPages.size() && mapPages[map].ib < ib;
                if (!p && !m) return;
                if (p && (!m || page <= mapPages[map].ib)) {
                    fn(popPage(page));
                } else {
                    fn(Extent{mapPages[map].ib, kPageSize, 2, map, 0});
                    ++map;
                }
            }
        };
        blocks.ForEach([&](const BlockExtent& b) {
            upTo(b.ib, true);
            fn(Extent{b.ib, b.span, 0, 0, b.bid});
        });
        // A map page at a B-tree page's offset comes after it.
        for (uint64_t page = nextPage(); page != UINT64_MAX; page = nextPage()) {
            upTo(page, false);
            fn(popPage(page));
        }
        upTo(UINT64_MAX, false);
    };

    // Overlaps between pages and blocks.
    {
        Extent last;
        bool first = true;
        inOrder([&](const Extent& e) {
            if (!first && e.ib < last.ib + last.size)
                Fault(label(e), "overlaps " + label(last) + " (which ends at " + Hex(last.ib + last.size) + ")");
            if (first || e.ib + e.size > last.ib + last.size) last = e;
            first = false;
        });
    }

    // The blocks that may cover an offset of the AMap interval being checked
    // (those starting up to 0x4000 before it), for ownerOf.
    std::deque<Extent> nearBlocks;
    // The page or block at an offset (for a fault's text): the nearest one
    // starting at or before it that covers it.
    auto ownerOf = [&](uint64_t off) -> std::string {
        Extent best;
        auto consider = [&](const Extent& e) {
            if (off >= e.ib && off < e.ib + e.size && (best.source < 0 || e.ib >= best.ib)) best = e;
        };
        for (auto bi = nearBlocks.rbegin(); bi != nearBlocks.rend(); ++bi)
            if (bi->ib <= off) consider(*bi);
        // The nearest page at or before off: the aligned one holding off, or an odd one after it
        // (one further back cannot cover off).
        uint64_t page = PageAt(off / kPageSize) ? off / kPageSize * kPageSize : UINT64_MAX;
        if (auto oi = oddPages.upper_bound(off); oi != oddPages.begin() && (page == UINT64_MAX || std::prev(oi)->first > page))
            page = std::prev(oi)->first;
        if (page != UINT64_MAX) consider(pageExtent(page));
        auto mi = std::upper_bound(mapPages.begin(), mapPages.end(), off, [](uint64_t o, const MapPage& x) { return o < x.ib; });
        if (mi != mapPages.begin())
            consider(Extent{std::prev(mi)->ib, kPageSize, 2, size_t(std::prev(mi) - mapPages.begin()), 0});
        return best.source < 0 ? "?" : label(best);
    };

    // Expected allocation bits, one per 64 bytes from 0x4400, built one AMap
    // interval at a time as the extents pass in offset order.
    const uint64_t slotsPerMap = 496 * 8;
    const uint64_t slots = amaps * slotsPerMap;
    std::vector<uint8_t> expect(496);
    std::vector<std::pair<uint64_t, uint64_t>> carried;  // slot ranges reaching past the interval
    uint64_t freeBytes = 0;
    uint64_t k = 0, base = 0, top = slotsPerMap;
    auto mark = [&](uint64_t first, uint64_t end) {
        for (uint64_t s = std::max(first, base); s < std::min(end, top); ++s) {
            const uint64_t r = s - base;
            expect[r / 8] |= uint8_t(0x80 >> (r % 8));
        }
        if (end > top) carried.emplace_back(std::max(first, top), end);
    };
    auto beginInterval = [&] {
        base = k * slotsPerMap, top = base + slotsPerMap;
        std::fill(expect.begin(), expect.end(), 0);
        std::vector<std::pair<uint64_t, uint64_t>> before;
        before.swap(carried);
        for (const auto& [first, end] : before) mark(first, end);
        while (!nearBlocks.empty() && nearBlocks.front().ib + 0x4000 < kFirstAMap + k * kAMapSpan) nearBlocks.pop_front();
    };
    // Checks AMap k against the extents marked.
    auto checkInterval = [&] {
        if (!amapOk[k]) return;
        const uint64_t ib = kFirstAMap + k * kAMapSpan;
        const std::string where = "AMap page " + Hex(ib);
        const uint8_t* bits = data + ib;
        Used(kTouch);
        int reported = 0, more = 0, leaked = 0, moreLeaked = 0;
        uint64_t s = 0;
        while (s < slotsPerMap) {
            const bool have = bits[s / 8] & (0x80 >> (s % 8));
            const bool want = expect[s / 8] & (0x80 >> (s % 8));
            if (!have) freeBytes += 64;
            if (have == want) {
                ++s;
                continue;
            }
            uint64_t e = s + 1;
            while (e < slotsPerMap) {
                const bool h = bits[e / 8] & (0x80 >> (e % 8));
                const bool w = expect[e / 8] & (0x80 >> (e % 8));
                if (h != have || w != want) break;
                if (!h) freeBytes += 64;
                ++e;
            }
            const uint64_t from = ib + s * 64, to = ib + e * 64;
            if (have) {  // leaked space: harmless, Outlook leaves such ranges itself
                if (leaked++ < 10)
                    Note(where, "bits mark " + Hex(from) + ".." + Hex(to) + " allocated, but no page or block is there");
                else
                    ++moreLeaked;
            } else if (reported++ < 10) {
                Fault(where, "bits mark " + Hex(from) + ".." + Hex(to) + " free, but " + ownerOf(from) + " is there");
            } else {
                ++more;
            }
            s = e;
        }
        if (more) Fault(where, std::to_string(more) + " more ranges in use are marked free");
        if (moreLeaked) Note(where, std::to_string(moreLeaked) + " more allocated ranges hold no page or block");
    };
    beginInterval();
    inOrder([&](const Extent& e) {
        while (k < amaps && e.ib >= kFirstAMap + (k + 1) * kAMapSpan) {
            checkInterval();
            if (++k < amaps) beginInterval();
        }
        if (k >= amaps) return;  // past the last interval
        if (e.source == 0) nearBlocks.push_back(e);
        if (e.ib >= kFirstAMap) {
            const uint64_t first = (e.ib - kFirstAMap) / 64;
            const uint64_t end = std::min<uint64_t>((e.ib + e.size - kFirstAMap + 63) / 64, slots);
            mark(first, end);
        }
    });
    while (k < amaps) {
        checkInterval();
        if (++k < amaps) beginInterval();
    }
    if (blocks.Failed())
        Fault("verifier", "the blocks' offsets could not be read back from the temporary file: the allocation maps "
                          "were checked against part of them only");
    if (mapsValid && freeBytes != amapFree)
        Fault("header", "ROOT.cbAMapFree " + std::to_string(amapFree) + ", but the AMaps mark " +
                            std::to_string(freeBytes) + " bytes free");
}

void Context::CheckCounters() {
    uint64_t maxBid = 0;
    for (const auto& [bid, b] : bbt) maxBid = std::max(maxBid, bid);
    if (!bbt.empty() && bidNextB <= (maxBid & ~uint64_t(3)))
        Fault("header", "bidNextB " + Hex(bidNextB) + " is not above the highest block BID " + Hex(maxBid));
    if (report.pages && bidNextP <= maxPageBid)
        Fault("header", "bidNextP " + Hex(bidNextP) + " is not above the highest page BID " + Hex(maxPageBid));
    uint32_t maxIndex[32] = {};
    for (const auto& [nid, n] : nbt) maxIndex[NidType(nid)] = std::max(maxIndex[NidType(nid)], NidIndex(nid));
    for (int t = 0; t < 32; ++t)
        if (maxIndex[t] > rgnid[t])
            Fault("header", "rgnid[" + Hex(t) + "] " + Hex(rgnid[t]) + " is below the highest NID index " +
                                Hex(maxIndex[t]) + " in use for that type");
}

}  // namespace pst::verify::detail

namespace pst::verify {
uint8_t CompressibleDecode(uint8_t stored) { return detail::kDecode[stored]; }
}  // namespace pst::verify
