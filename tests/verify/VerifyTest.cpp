// The verifier accepts Outlook-made PSTs and finds each kind of damage made to a
// copy of one: CRCs, B-tree order, reference counts, allocation bits, table rows.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "pst/verify/Verifier.h"

namespace {

using pst::verify::Outcome;
using pst::verify::Report;
using Bytes = std::vector<uint8_t>;

const std::string kData = ORVANDEL_PST_TESTDATA;

// A sample that cannot be read ends the test here: the damage below writes at
// fixed offsets, which an empty buffer would not have.
Bytes Load(const std::string& name) {
    std::ifstream in(kData + "/" + name, std::ios::binary);
    Bytes b(std::istreambuf_iterator<char>(in), {});
    if (b.size() < 4096)
        throw std::runtime_error("cannot read the Outlook-made sample " + kData + "/" + name +
                                 " (the shared folder is missing or incomplete)");
    return b;
}

uint16_t Get16(const Bytes& b, size_t o) { return uint16_t(b[o] | (b[o + 1] << 8)); }
uint32_t Get32(const Bytes& b, size_t o) { return Get16(b, o) | (uint32_t(Get16(b, o + 2)) << 16); }
uint64_t Get64(const Bytes& b, size_t o) { return Get32(b, o) | (uint64_t(Get32(b, o + 4)) << 32); }
void Put16(Bytes& b, size_t o, uint16_t v) { b[o] = uint8_t(v), b[o + 1] = uint8_t(v >> 8); }
void Put32(Bytes& b, size_t o, uint32_t v) { Put16(b, o, uint16_t(v)), Put16(b, o + 2, uint16_t(v >> 16)); }
void Put64(Bytes& b, size_t o, uint64_t v) { Put32(b, o, uint32_t(v)), Put32(b, o + 4, uint32_t(v >> 32)); }

void FixPageCrc(Bytes& b, size_t ib) { Put32(b, ib + 500, pst::verify::PstCrc(b.data() + ib, 496)); }
void FixHeaderCrcs(Bytes& b) {
    Put32(b, 4, pst::verify::PstCrc(b.data() + 8, 471));
    Put32(b, 0x20C, pst::verify::PstCrc(b.data() + 8, 516));
}

constexpr size_t kNbtRootIb = 0xE0, kBbtRootIb = 0xF0, kAMapFree = 0xC8;

// Calls fn(ib) for every leaf page of the tree whose root page is at rootIb.
void ForEachLeaf(const Bytes& b, uint64_t ib, const std::function<void(uint64_t)>& fn) {
    if (b[ib + 491] == 0) return fn(ib);
    for (int i = 0; i < b[ib + 488]; ++i) ForEachLeaf(b, Get64(b, ib + 24 * size_t(i) + 16), fn);
}

Report Verify(const Bytes& b) { return pst::verify::VerifyBuffer(b.data(), b.size()); }

std::string Describe(const Report& r) {
    std::string s = r.fatal;
    for (const auto& f : r.faults) s += "\n  " + pst::verify::FormatFault(f);
    return s;
}

size_t CountFaults(const Report& r, const std::string& text) {
    return size_t(std::count_if(r.faults.begin(), r.faults.end(), [&](const pst::verify::Fault& f) {
        return pst::verify::FormatFault(f).find(text) != std::string::npos;
    }));
}

// Finds the NBT leaf slot of nid: returns the entry's file offset, or 0.
size_t FindNbtEntry(const Bytes& b, uint32_t nid) {
    size_t found = 0;
    ForEachLeaf(b, Get64(b, kNbtRootIb), [&](uint64_t ib) {
        for (int i = 0; i < b[ib + 488]; ++i)
            if (Get32(b, ib + 32 * size_t(i)) == nid) found = ib + 32 * size_t(i);
    });
    return found;
}

// All NBT entries as (nid, parent).
std::vector<std::pair<uint32_t, uint32_t>> NbtEntries(const Bytes& b) {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    ForEachLeaf(b, Get64(b, kNbtRootIb), [&](uint64_t ib) {
        for (int i = 0; i < b[ib + 488]; ++i) out.emplace_back(Get32(b, ib + 32 * size_t(i)), Get32(b, ib + 32 * size_t(i) + 24));
    });
    return out;
}

// ---------------------------------------------------------------------------------------------

TEST(PstCrc, MatchesTheFormatsTestVector) {
    const std::string s = "123456789";
    EXPECT_EQ(pst::verify::PstCrc(reinterpret_cast<const uint8_t*>(s.data()), s.size()), 0x2DFD2D88u);
    const uint8_t zeros[16] = {};
    EXPECT_EQ(pst::verify::PstCrc(zeros, sizeof zeros), 0u);
}

class OutlookSample : public ::testing::TestWithParam<const char*> {};

TEST_P(OutlookSample, VerifiesWithoutFaults) {
    const Report r = pst::verify::VerifyFile(kData + "/" + GetParam());
    EXPECT_EQ(r.outcome, Outcome::Clean) << Describe(r);
    EXPECT_EQ(r.format, "unicode");
    EXPECT_GT(r.blocks, 20u);
    EXPECT_GT(r.nodes, 40u);
    EXPECT_GE(r.folders, 5u);
    EXPECT_GT(r.propertyContexts, 5u);
    EXPECT_GT(r.tableContexts, 20u);
}

INSTANTIATE_TEST_SUITE_P(Samples, OutlookSample,
                         ::testing::Values("empty.pst", "mixed-items.pst", "multiple-to-cc.pst", "submessage.pst",
                                           "dist-list.pst", "contacts-japanese.pst", "folders-attachments.pst"));

TEST(Unreadable, TruncatedHeaderIsReportedClearly) {
    const Report r = pst::verify::VerifyFile(kData + "/truncated-in-header.bin");
    EXPECT_EQ(r.outcome, Outcome::Unreadable);
    EXPECT_NE(r.fatal.find("truncated"), std::string::npos) << r.fatal;
    EXPECT_NE(r.fatal.find("40 bytes"), std::string::npos) << r.fatal;
}

TEST(Unreadable, FileCutShortAfterTheHeader) {
    Bytes b = Load("mixed-items.pst");
    b.resize(100000);
    const Report r = Verify(b);
    EXPECT_EQ(r.outcome, Outcome::Unreadable);
    EXPECT_NE(r.fatal.find("truncated: 100000 bytes on disk"), std::string::npos) << r.fatal;
}

TEST(Unreadable, AnsiAndForeignFilesAndMissingFiles) {
    Report r = pst::verify::VerifyFile(kData + "/ansi.pst");
    EXPECT_EQ(r.outcome, Outcome::Unreadable);
    EXPECT_EQ(r.format, "ansi");
    EXPECT_NE(r.fatal.find("ANSI"), std::string::npos) << r.fatal;

    r = pst::verify::VerifyFile(kData + "/SOURCES.md");
    EXPECT_EQ(r.outcome, Outcome::Unreadable);
    EXPECT_NE(r.fatal.find("not a PST file"), std::string::npos) << r.fatal;

    r = pst::verify::VerifyFile(kData + "/no-such-file.pst");
    EXPECT_EQ(r.outcome, Outcome::Unreadable);
    EXPECT_NE(r.fatal.find("cannot open"), std::string::npos) << r.fatal;
}

TEST(Header, DamagedCrcAndRootFields) {
    Bytes b = Load("empty.pst");
    b[0x30] ^= 0x01;  // inside rgnid: both CRCs cover it
    Report r = Verify(b);
    EXPECT_EQ(CountFaults(r, "dwCRCPartial"), 1u) << Describe(r);
    EXPECT_EQ(CountFaults(r, "dwCRCFull"), 1u) << Describe(r);

    b = Load("empty.pst");
    Put64(b, 0xC0, Get64(b, 0xC0) + 0x200);  // ibAMapLast
    b[0xF8] = 0;                               // fAMapValid
    FixHeaderCrcs(b);
    r = Verify(b);
    EXPECT_EQ(r.FaultCount(), 1u) << Describe(r);
    EXPECT_EQ(CountFaults(r, "ROOT.ibAMapLast"), 1u) << Describe(r);
    b[0xF8] = 1;  // neither VALID_AMAP2 nor INVALID_AMAP
    FixHeaderCrcs(b);
    EXPECT_EQ(CountFaults(Verify(b), "ROOT.fAMapValid 1"), 1u) << Describe(r);
}

TEST(Pages, FlippedPageCrcIsTheOnlyFault) {
    Bytes b = Load("multiple-to-cc.pst");
    const uint64_t root = Get64(b, kNbtRootIb);
    b[root + 500] ^= 0x40;
    const Report r = Verify(b);
    ASSERT_EQ(r.FaultCount(), 1u) << Describe(r);
    EXPECT_NE(r.faults[0].where.find("NBT page"), std::string::npos);
    EXPECT_NE(r.faults[0].what.find("page CRC"), std::string::npos);
}

TEST(Pages, SwappedBbtEntriesAreOutOfOrder) {
    Bytes b = Load("mixed-items.pst");
    uint64_t leaf = 0;
    ForEachLeaf(b, Get64(b, kBbtRootIb), [&](uint64_t ib) {
        if (!leaf && b[ib + 488] >= 3) leaf = ib;
    });
    ASSERT_NE(leaf, 0u);
    std::swap_ranges(b.begin() + long(leaf + 24), b.begin() + long(leaf + 48), b.begin() + long(leaf + 48));
    FixPageCrc(b, leaf);
    const Report r = Verify(b);
    ASSERT_EQ(r.FaultCount(), 1u) << Describe(r);
    EXPECT_NE(r.faults[0].what.find("not in strictly ascending order"), std::string::npos) << Describe(r);
}

TEST(Pages, ChildKeyMustEqualParentKey) {
    Bytes b = Load("mixed-items.pst");
    const uint64_t root = Get64(b, kNbtRootIb);
    ASSERT_GT(b[root + 491], 0) << "the sample's NBT should have an intermediate root";
    ASSERT_GE(b[root + 488], 2);
    Put64(b, root + 24, Get64(b, root + 24) - 1);  // second entry's btkey, one below the child's first key
    FixPageCrc(b, root);
    const Report r = Verify(b);
    // The child's first key no longer matches, and the previous child's last key now lies beyond its range.
    EXPECT_EQ(r.FaultCount(), 2u) << Describe(r);
    EXPECT_EQ(CountFaults(r, "differs from the key"), 1u) << Describe(r);
    EXPECT_EQ(CountFaults(r, "is outside the range"), 1u) << Describe(r);
}

TEST(Blocks, FlippedBlockCrcIsTheOnlyFault) {
    Bytes b = Load("submessage.pst");
    // First data block of the first BBT leaf.
    const uint64_t leaf = [&] {
        uint64_t l = 0;
        ForEachLeaf(b, Get64(b, kBbtRootIb), [&](uint64_t ib) { if (!l) l = ib; });
        return l;
    }();
    const uint64_t ib = Get64(b, leaf + 8);
    const uint16_t cb = Get16(b, leaf + 16);
    const uint64_t trailer = ib + ((cb + 16 + 63) & ~63u) - 16;
    b[trailer + 4] ^= 0x10;
    const Report r = Verify(b);
    ASSERT_EQ(r.FaultCount(), 1u) << Describe(r);
    EXPECT_NE(r.faults[0].what.find("block CRC"), std::string::npos) << Describe(r);
    EXPECT_NE(r.faults[0].where.find("block " ), std::string::npos);
}

TEST(Blocks, WrongReferenceCount) {
    Bytes b = Load("dist-list.pst");
    uint64_t leaf = 0;
    ForEachLeaf(b, Get64(b, kBbtRootIb), [&](uint64_t ib) { if (!leaf) leaf = ib; });
    Put16(b, leaf + 18, uint16_t(Get16(b, leaf + 18) + 1));
    FixPageCrc(b, leaf);
    const Report r = Verify(b);
    ASSERT_EQ(r.FaultCount(), 1u) << Describe(r);
    EXPECT_NE(r.faults[0].what.find("cRef"), std::string::npos) << Describe(r);
}

TEST(Maps, UsedBlockMarkedFreeInTheAMap) {
    Bytes b = Load("contacts-japanese.pst");
    uint64_t leaf = 0;
    ForEachLeaf(b, Get64(b, kBbtRootIb), [&](uint64_t ib) { if (!leaf) leaf = ib; });
    const uint64_t blockIb = Get64(b, leaf + 8);
    const uint64_t slot = (blockIb - 0x4400) / 64;
    const size_t amap = 0x4400;
    ASSERT_TRUE(b[amap + slot / 8] & (0x80 >> (slot % 8)));
    b[amap + slot / 8] &= uint8_t(~(0x80 >> (slot % 8)));
    FixPageCrc(b, amap);
    Put64(b, kAMapFree, Get64(b, kAMapFree) + 64);  // keep the free total in step with the bits
    FixHeaderCrcs(b);
    const Report r = Verify(b);
    ASSERT_EQ(r.FaultCount(), 1u) << Describe(r);
    EXPECT_NE(r.faults[0].where.find("AMap page 0x4400"), std::string::npos);
    EXPECT_NE(r.faults[0].what.find("free, but block"), std::string::npos) << Describe(r);
}

// What a writer stopped inside a commit or an extension leaves: maps marked for
// rebuilding (whatever they hold) and bytes past ROOT.ibFileEof are notes, while
// the same damage under maps marked valid is a fault.
TEST(Maps, TheTransientStatesOfAStoppedWriterAreSound) {
    Bytes b = Load("contacts-japanese.pst");
    std::fill(b.begin() + 0x4400, b.begin() + 0x4400 + 496, uint8_t(0));  // the first AMap's bits
    b.resize(b.size() + 0x3e000, 0xAB);
    EXPECT_GE(Verify(b).FaultCount(), 2u);
    b[0xF8] = 0;
    FixHeaderCrcs(b);
    const Report r = Verify(b);
    EXPECT_EQ(r.FaultCount(), 0u) << Describe(r);
    size_t notes = 0;
    for (const auto& n : r.notes)
        notes += n.what.find("fAMapValid 0") != std::string::npos || n.what.find("bytes after ROOT.ibFileEof") != std::string::npos;
    EXPECT_EQ(notes, 2u);
}

// Grows empty.pst to `amaps` AMap intervals of free space, with an AMap at the start of each
// and a PMap after every eighth, as Outlook lays out a larger file.
Bytes GrowEmpty(size_t amaps) {
    Bytes b = Load("empty.pst");
    constexpr uint64_t span = 0x3E000;
    b.resize(0x4400 + amaps * span, 0);
    uint64_t freeBytes = Get64(b, kAMapFree);
    auto mapPage = [&](uint64_t ib, uint8_t ptype) {
        b[ib + 496] = b[ib + 497] = ptype;
        Put64(b, ib + 504, ib);
        FixPageCrc(b, ib);
    };
    for (size_t k = 1; k < amaps; ++k) {
        const uint64_t ib = 0x4400 + k * span;
        const bool pmap = k % 8 == 0;
        b[ib] = 0xFF;
        if (pmap) {
            b[ib + 1] = 0xFF;
            std::fill(b.begin() + long(ib + 512), b.begin() + long(ib + 512 + 496), 0xFF);
            mapPage(ib + 512, 0x83);
        }
        mapPage(ib, 0x84);
        freeBytes += span - (pmap ? 1024 : 512);
    }
    Put64(b, 0xB8, b.size());
    Put64(b, 0xC0, 0x4400 + (amaps - 1) * span);
    Put64(b, kAMapFree, freeBytes);
    FixHeaderCrcs(b);
    return b;
}

TEST(Maps, LargerFileWithEveryMapPageInPlace) {
    const Bytes b = GrowEmpty(9);
    const Report r = Verify(b);
    EXPECT_EQ(r.outcome, Outcome::Clean) << Describe(r);
    EXPECT_EQ(r.mapPages, 9u + 2u + 1u);  // 9 AMaps, 2 PMaps, the density list
}

TEST(Maps, MissingPMapAndWrongAMapLast) {
    Bytes b = GrowEmpty(9);
    const uint64_t pmap = 0x4400 + 8 * 0x3E000 + 512;
    std::fill(b.begin() + long(pmap), b.begin() + long(pmap + 512), 0);
    Report r = Verify(b);
    ASSERT_EQ(r.FaultCount(), 1u) << Describe(r);
    EXPECT_NE(r.faults[0].where.find("PMap page 0x1f4600"), std::string::npos) << Describe(r);

    b = GrowEmpty(9);
    Put64(b, 0xC0, 0x4400 + 7 * 0x3E000);
    FixHeaderCrcs(b);
    r = Verify(b);
    ASSERT_EQ(r.FaultCount(), 1u) << Describe(r);
    EXPECT_NE(r.faults[0].what.find("ROOT.ibAMapLast"), std::string::npos) << Describe(r);

    // A file that ends inside an AMap interval.
    b = GrowEmpty(2);
    b.resize(b.size() - 0x1000);
    Put64(b, 0xB8, b.size());
    FixHeaderCrcs(b);
    r = Verify(b);
    EXPECT_EQ(CountFaults(r, "is not at the end of an AMap interval"), 1u) << Describe(r);
}

TEST(Maps, FreeTotalDisagreesWithTheBits) {
    Bytes b = Load("empty.pst");
    Put64(b, kAMapFree, Get64(b, kAMapFree) - 64);
    FixHeaderCrcs(b);
    const Report r = Verify(b);
    ASSERT_EQ(r.FaultCount(), 1u) << Describe(r);
    EXPECT_NE(r.faults[0].what.find("ROOT.cbAMapFree"), std::string::npos);
}

TEST(Folders, MessageMovedToAnotherFolderInTheNbtOnly) {
    Bytes b = Load("multiple-to-cc.pst");
    // A normal message and a folder other than its parent.
    uint32_t message = 0, oldParent = 0, otherFolder = 0;
    for (auto [nid, parent] : NbtEntries(b))
        if ((nid & 0x1F) == 0x04 && !message) message = nid, oldParent = parent;
    for (auto [nid, parent] : NbtEntries(b))
        if ((nid & 0x1F) == 0x02 && nid != oldParent && nid != 0x122 && !otherFolder) otherFolder = nid;
    ASSERT_NE(message, 0u);
    ASSERT_NE(otherFolder, 0u);
    const size_t entry = FindNbtEntry(b, message);
    const size_t page = entry - (entry - 0x4400) % 512;
    Put32(b, entry + 24, otherFolder);
    FixPageCrc(b, page);
    const Report r = Verify(b);
    char messageHex[16];
    std::snprintf(messageHex, sizeof messageHex, "0x%x", message);
    // The old folder's contents table lists a message that is no longer its child...
    EXPECT_GE(CountFaults(r, "names a node whose parent is"), 1u) << Describe(r);
    // ...and the new parent's table lacks it; both folders' counts are off.
    EXPECT_EQ(CountFaults(r, "child " + std::string(messageHex)), 1u) << Describe(r);
    EXPECT_EQ(CountFaults(r, "PidTagContentCount"), 2u) << Describe(r);
}

TEST(Folders, FolderMissingFromItsParentsHierarchyTable) {
    Bytes b = Load("mixed-items.pst");
    // Give a leaf folder (no subfolders) a new parent: the IPM subtree's sibling "Search Root" keeps no rows.
    std::vector<std::pair<uint32_t, uint32_t>> entries = NbtEntries(b);
    uint32_t folder = 0;
    for (auto [nid, parent] : entries) {
        if ((nid & 0x1F) != 0x02 || nid == 0x122 || parent == 0x122) continue;
        folder = nid;
        break;
    }
    ASSERT_NE(folder, 0u);
    const size_t entry = FindNbtEntry(b, folder);
    Put32(b, entry + 24, 0x122);
    FixPageCrc(b, entry - (entry - 0x4400) % 512);
    const Report r = Verify(b);
    EXPECT_GE(CountFaults(r, "hierarchy table"), 2u) << Describe(r);
    EXPECT_EQ(CountFaults(r, "has no row in the table"), 1u) << Describe(r);
    EXPECT_EQ(CountFaults(r, "names a node whose parent is 0x122"), 1u) << Describe(r);
}

TEST(Folders, TableRowPointsToAMissingNode) {
    Bytes b = Load("multiple-to-cc.pst");
    // Renumber a message in the NBT to an unused NID just above it: its folder's row dangles.
    uint32_t message = 0;
    for (auto [nid, parent] : NbtEntries(b))
        if ((nid & 0x1F) == 0x04) message = nid;
    ASSERT_NE(message, 0u);
    const size_t entry = FindNbtEntry(b, message);
    const size_t page = entry - (entry - 0x4400) % 512;
    ASSERT_NE(entry, page) << "pick a message that is not the first entry of its leaf";
    Put32(b, entry, message + 0x20 * 0x1000);
    FixPageCrc(b, page);
    const Report r = Verify(b);
    EXPECT_EQ(CountFaults(r, "names a node that is not in the NBT"), 1u) << Describe(r);
    EXPECT_EQ(CountFaults(r, "has no row in the table"), 1u) << Describe(r);
}

// Finds the BBT entry of bid: returns its file offset, or 0.
size_t FindBbtEntry(const Bytes& b, uint64_t bid) {
    size_t found = 0;
    ForEachLeaf(b, Get64(b, kBbtRootIb), [&](uint64_t ib) {
        for (int i = 0; i < b[ib + 488]; ++i)
            if (Get64(b, ib + 24 * size_t(i)) == bid) found = ib + 24 * size_t(i);
    });
    return found;
}

// Rewrites the (single-block) data of a node through edit, keeping the encoding and the block CRC right.
void EditNodeData(Bytes& b, uint32_t nid, const std::function<void(Bytes&)>& edit) {
    const size_t entry = FindNbtEntry(b, nid);
    ASSERT_NE(entry, 0u);
    const size_t bbtEntry = FindBbtEntry(b, Get64(b, entry + 8));
    ASSERT_NE(bbtEntry, 0u);
    const uint64_t ib = Get64(b, bbtEntry + 8);
    const uint16_t cb = Get16(b, bbtEntry + 16);
    ASSERT_EQ(b[0x201], 1) << "samples use the compressible encoding";
    uint8_t encode[256];
    for (int v = 0; v < 256; ++v) encode[pst::verify::CompressibleDecode(uint8_t(v))] = uint8_t(v);
    Bytes plain(b.begin() + long(ib), b.begin() + long(ib + cb));
    for (auto& c : plain) c = pst::verify::CompressibleDecode(c);
    edit(plain);
    for (size_t i = 0; i < cb; ++i) b[ib + i] = encode[plain[i]];
    const uint64_t trailer = ib + ((cb + 16 + 63) & ~63u) - 16;
    Put32(b, trailer + 4, pst::verify::PstCrc(b.data() + ib, cb));
}

TEST(Heap, PropertyContextDamage) {
    // A table signature on the store's property context.
    Bytes b = Load("empty.pst");
    EditNodeData(b, 0x21, [](Bytes& d) {
        ASSERT_EQ(d[3], 0xBC);
        d[3] = 0x7C;
    });
    Report r = Verify(b);
    EXPECT_EQ(CountFaults(r, "bClientSig 0x7c, expected 0xbc"), 1u) << Describe(r);

    // Two property records swapped: the BTH is no longer sorted.
    b = Load("empty.pst");
    EditNodeData(b, 0x21, [](Bytes& d) {
        // HNHDR hidUserRoot -> BTHHEADER -> hidRoot -> leaf records of 8 bytes.
        auto item = [&](uint32_t hid) {
            const uint16_t map = Get16(d, 0);
            return size_t(Get16(d, map + 4 + 2 * (((hid >> 5) & 0x7FF) - 1)));
        };
        const size_t bth = item(Get32(d, 4));
        const size_t leaf = item(Get32(d, bth + 4));
        std::swap_ranges(d.begin() + long(leaf), d.begin() + long(leaf + 8), d.begin() + long(leaf + 8));
    });
    r = Verify(b);
    EXPECT_EQ(CountFaults(r, "is not above the previous key"), 1u) << Describe(r);

    // A page map that claims more allocations than fit.
    b = Load("empty.pst");
    EditNodeData(b, 0x21, [](Bytes& d) { Put16(d, Get16(d, 0), 0x7FFF); });
    r = Verify(b);
    EXPECT_EQ(CountFaults(r, "runs past the page end"), 1u) << Describe(r);
}

// Offset and size of the heap item holding property id's value in a decoded one-page PC.
std::pair<size_t, size_t> PcValueItem(const Bytes& d, uint16_t id) {
    auto item = [&](uint32_t hid) {
        const uint16_t map = Get16(d, 0);
        const size_t index = ((hid >> 5) & 0x7FF) - 1;
        const size_t from = Get16(d, map + 4 + 2 * index);
        return std::make_pair(from, Get16(d, map + 6 + 2 * index) - from);
    };
    const auto bth = item(Get32(d, 4));
    const auto leaf = item(Get32(d, bth.first + 4));
    for (size_t r = leaf.first; r < leaf.first + leaf.second; r += 8)
        if (Get16(d, r) == id) return item(Get32(d, r + 4));
    return {0, 0};
}

TEST(Messages, DisplayToMustMatchRecipientsAndTheContentsRow) {
    Bytes b = Load("multiple-to-cc.pst");
    uint32_t message = 0;
    for (auto [nid, parent] : NbtEntries(b))
        if ((nid & 0x1F) == 0x04) message = nid;
    ASSERT_NE(message, 0u);
    EditNodeData(b, message, [](Bytes& d) {
        const auto [off, len] = PcValueItem(d, 0x0E04);
        ASSERT_GE(len, 2u);
        d[off] = 'X';  // first UTF-16 character of PidTagDisplayTo
    });
    const Report r = Verify(b);
    EXPECT_EQ(r.FaultCount(), 2u) << Describe(r);
    EXPECT_EQ(CountFaults(r, "PidTagDisplayTo is \"X"), 1u) << Describe(r);
    EXPECT_EQ(CountFaults(r, "column 0x0E04001F has"), 1u) << Describe(r);
}

TEST(Folders, ContentsTableLeavesTheTemplateLayout) {
    Bytes b = Load("empty.pst");
    // Deleted Items' contents table: swap the cells of PidTagMessageStatus and PidTagMessageFlags.
    EditNodeData(b, 0x806E, [](Bytes& d) {
        const uint16_t map = Get16(d, 0);
        const uint32_t hid = Get32(d, 4);
        const size_t info = Get16(d, map + 4 + 2 * (((hid >> 5) & 0x7FF) - 1));
        ASSERT_EQ(d[info], 0x7C);
        size_t status = 0, flags = 0;
        for (size_t c = 0; c < d[info + 1]; ++c) {
            const size_t desc = info + 22 + 8 * c;
            if (Get32(d, desc) == 0x0E170003) status = desc;
            if (Get32(d, desc) == 0x0E070003) flags = desc;
        }
        ASSERT_TRUE(status && flags);
        const uint16_t ib = Get16(d, status + 4);
        Put16(d, status + 4, Get16(d, flags + 4));
        Put16(d, flags + 4, ib);
    });
    // Outlook shares the template's data block with empty contents tables (here Deleted Items'), so
    // the damage moves the template too: the other contents table then differs from it.
    const Report r = Verify(b);
    const size_t status = CountFaults(r, "column 0x0E170003 at offset");
    const size_t flags = CountFaults(r, "column 0x0E070003 at offset");
    EXPECT_GE(status, 1u) << Describe(r);
    EXPECT_EQ(status, flags) << Describe(r);
    EXPECT_EQ(r.FaultCount(), status + flags) << Describe(r);
}

TEST(Tables, RowVersionsAreUniqueAndBelowDwUnique) {
    Bytes b = Load("empty.pst");
    // The root hierarchy row of Search Root (version 6) takes the version of the SPAM search folder's (12).
    EditNodeData(b, 0x12D, [](Bytes& d) {
        const uint8_t row[8] = {0x42, 0x80, 0, 0, 6, 0, 0, 0};
        auto at = std::search(d.begin(), d.end(), row, row + 8);
        ASSERT_NE(at, d.end());
        at[4] = 12;
    });
    Report r = Verify(b);
    EXPECT_EQ(r.FaultCount(), 1u) << Describe(r);
    EXPECT_EQ(CountFaults(r, "row version 12 is also used by table 0x12d row 0x2223"), 1u) << Describe(r);
    EXPECT_TRUE(r.notes.empty()) << Describe(r);
    // A dwUnique at or below the highest row version is what other writers leave: a note.
    b = Load("empty.pst");
    Put32(b, 0x28, 17);
    FixHeaderCrcs(b);
    r = Verify(b);
    EXPECT_EQ(r.FaultCount(), 0u) << Describe(r);
    ASSERT_EQ(r.notes.size(), 1u) << Describe(r);
    EXPECT_NE(r.notes[0].what.find("dwUnique 17 is not above the highest table row version 17"), std::string::npos);
}

TEST(IndependentFile, LibraryWrittenSampleHasFaults) {
    // sticky-notes.pst was written by a PST library, not Outlook: its density list has no CRC, two
    // named properties are missing from their hash buckets, row versions repeat and dwUnique stays low.
    const Report r = pst::verify::VerifyFile(kData + "/sticky-notes.pst");
    EXPECT_EQ(r.outcome, Outcome::Faulty);
    EXPECT_EQ(r.FaultCount(), 8u) << Describe(r);
    EXPECT_EQ(CountFaults(r, "DList page 0x4200: page CRC"), 1u) << Describe(r);
    EXPECT_EQ(CountFaults(r, "not found in hash bucket"), 2u) << Describe(r);
    EXPECT_EQ(CountFaults(r, "is also used by"), 5u) << Describe(r);
    ASSERT_EQ(r.notes.size(), 2u);
    EXPECT_NE(r.notes[0].what.find("stale"), std::string::npos);
    EXPECT_NE(r.notes[1].what.find("dwUnique 11"), std::string::npos);
}

TEST(Robustness, RandomDamageIsReportedNotFatal) {
    // Random bytes over allocated pages and blocks: the verifier must report, never crash or hang.
    const Bytes base = Load("folders-attachments.pst");
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u; };
    size_t faulty = 0;
    for (int iter = 0; iter < 200; ++iter) {
        Bytes b = base;
        for (int k = 0; k < 1 + iter % 8; ++k) b[0x4400 + next() % (b.size() - 0x4400)] = uint8_t(next() >> 16);
        if (iter % 25 == 0) b.resize(0x4400 + next() % (b.size() - 0x4400));
        const Report r = Verify(b);
        if (r.outcome != Outcome::Clean) ++faulty;
    }
    EXPECT_GT(faulty, 100u);
}

// ---------------------------------------------------------------------------------------------
// The command line: exit status and output.

int RunVerify(const std::string& args, std::string* out = nullptr) {
    const std::string cmd = std::string(ORVANDEL_BIN) + " verify " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    const int status = pclose(p);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Command, ExitStatusAndOutput) {
    std::string out;
    EXPECT_EQ(RunVerify(kData + "/empty.pst", &out), 0) << out;
    EXPECT_NE(out.find("0 faults"), std::string::npos) << out;

    EXPECT_EQ(RunVerify(kData + "/truncated-in-header.bin", &out), 2) << out;
    EXPECT_NE(out.find("truncated"), std::string::npos) << out;

    Bytes b = Load("empty.pst");
    b[Get64(b, kBbtRootIb) + 500] ^= 1;
    char path[] = "/tmp/orvandel-verify-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, b.data(), b.size()), ssize_t(b.size()));
    close(fd);
    EXPECT_EQ(RunVerify(path, &out), 1) << out;
    EXPECT_NE(out.find("FAULT BBT page"), std::string::npos) << out;
    EXPECT_EQ(RunVerify(std::string(path) + " --quiet", &out), 1) << out;
    EXPECT_EQ(out.find("FAULT"), std::string::npos) << out;
    EXPECT_NE(out.find("1 fault,"), std::string::npos) << out;
    EXPECT_EQ(RunVerify(std::string(path) + " --json", &out), 1) << out;
    EXPECT_NE(out.find("\"outcome\": \"faulty\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"fault_count\": 1"), std::string::npos) << out;
    unlink(path);

    EXPECT_EQ(RunVerify("", &out), 2);
}

}  // namespace
