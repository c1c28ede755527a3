// Unit checks of the PST library's layers against values from [MS-PST] and
// from Outlook-made files.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "pst/ltp/Bth.h"
#include "pst/ltp/Heap.h"
#include "pst/ltp/PropContext.h"
#include "pst/ltp/TableContext.h"
#include "pst/messaging/EntryIds.h"
#include "pst/messaging/NameMap.h"
#include "pst/messaging/PropEncode.h"
#include "pst/messaging/Tables.h"
#include "pst/ndb/Crc.h"
#include "pst/ndb/Error.h"
#include "pst/ndb/NodeDb.h"
#include "pst/ndb/SpaceMap.h"

using namespace pst;

TEST(Checksum, KnownVectors) {
    const char* s = "123456789";
    EXPECT_EQ(ndb::Crc32(reinterpret_cast<const uint8_t*>(s), 9), 0x2DFD2D88u);
    EXPECT_EQ(ndb::Crc32(nullptr, 0), 0u);
    uint8_t zeros[100] = {};
    EXPECT_EQ(ndb::Crc32(zeros, sizeof zeros), 0u);
    // Split computation continues where it stopped (slicing and byte paths agree).
    std::string text(1000, 'q');
    for (size_t i = 0; i < text.size(); ++i) text[i] = char(i * 7);
    auto* p = reinterpret_cast<const uint8_t*>(text.data());
    EXPECT_EQ(ndb::Crc32(p + 13, 987, ndb::Crc32(p, 13)), ndb::Crc32(p, 1000));
}

TEST(Checksum, FastPathsMatchTheBitwiseDefinition) {
    std::vector<uint8_t> data(20000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 31 + (i >> 7));
    for (size_t len : {0, 7, 63, 64, 65, 79, 80, 127, 129, 8176, 8191, 20000}) {
        uint32_t ref = 0x12345678;
        for (size_t i = 0; i < len; ++i) {
            ref ^= data[i];
            for (int k = 0; k < 8; ++k) ref = (ref & 1) ? 0xEDB88320u ^ (ref >> 1) : ref >> 1;
        }
        EXPECT_EQ(ndb::Crc32(data.data(), len, 0x12345678), ref) << len;
    }
}

TEST(Checksum, CompressibleEncodingRoundTrips) {
    uint8_t hello[] = {'H', 'e', 'l', 'l', 'o'};
    ndb::PermuteEncode(hello, 5);
    const uint8_t expected[] = {0x07, 0xEA, 0xFD, 0xFD, 0x86};
    EXPECT_EQ(std::memcmp(hello, expected, 5), 0);
    uint8_t all[256];
    for (int i = 0; i < 256; ++i) all[i] = uint8_t(i);
    ndb::PermuteEncode(all, 256);
    std::set<uint8_t> seen(all, all + 256);
    EXPECT_EQ(seen.size(), 256u);
    ndb::PermuteDecode(all, 256);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(all[i], i);
    // Vector lanes and the bytes after the last whole lane alike.
    std::vector<uint8_t> text(300), copy(300);
    for (size_t i = 0; i < text.size(); ++i) text[i] = "Hello"[i % 5];
    ndb::PermuteEncodeCopy(copy.data(), text.data(), text.size());
    for (size_t i = 0; i < copy.size(); ++i) EXPECT_EQ(copy[i], expected[i % 5]) << i;
}

// The cyclic encoding undoes itself, depends on the key and on the position.
TEST(Checksum, CyclicEncodingRoundTrips) {
    std::vector<uint8_t> plain(600);
    for (size_t i = 0; i < plain.size(); ++i) plain[i] = uint8_t(i * 7);
    for (uint32_t key : {0u, 0x44u, 0x12345678u}) {
        std::vector<uint8_t> b = plain;
        pst::ndb::CyclicCrypt(b.data(), b.size(), key);
        EXPECT_NE(b, plain);
        std::vector<uint8_t> other = plain;
        pst::ndb::CyclicCrypt(other.data(), other.size(), key + 1);
        EXPECT_NE(b, other);
        pst::ndb::CyclicCrypt(b.data(), b.size(), key);
        EXPECT_EQ(b, plain);
    }
    std::vector<uint8_t> same(16, 0x41);
    pst::ndb::CyclicCrypt(same.data(), same.size(), 7);
    EXPECT_EQ(std::set<uint8_t>(same.begin(), same.end()).size() > 1, true);
}

TEST(Text, Utf16HandlesEveryPlaneAndBadInput) {
    EXPECT_EQ(Utf16("A"), (ndb::Bytes{'A', 0}));
    EXPECT_EQ(Utf16("\xC3\xBC"), (ndb::Bytes{0xFC, 0}));               // ü
    EXPECT_EQ(Utf16("\xE2\x9C\x93"), (ndb::Bytes{0x13, 0x27}));         // ✓
    EXPECT_EQ(Utf16("\xF0\x9F\x98\x80"), (ndb::Bytes{0x3D, 0xD8, 0x00, 0xDE}));  // U+1F600
    EXPECT_EQ(Utf16("\xFF"), (ndb::Bytes{0xFD, 0xFF}));                  // invalid -> U+FFFD
    EXPECT_EQ(Utf16("\xC3"), (ndb::Bytes{0xFD, 0xFF}));                  // truncated
    EXPECT_EQ(Utf16("\xC0\x80"), (ndb::Bytes{0xFD, 0xFF, 0xFD, 0xFF}));  // overlong
}

TEST(Heap, PagesAreFullBlocksAndHidsAddressThem) {
    ltp::HeapBuilder heap(ltp::bTypePC);
    std::vector<uint32_t> hids;
    for (int i = 0; i < 40; ++i) hids.push_back(heap.Allocate(ndb::Bytes(1000, uint8_t(i))));
    EXPECT_EQ(hids[0], 0x20u);
    EXPECT_THROW(heap.Allocate(ndb::Bytes(3581, 0)), PstError);
    auto pages = heap.Pages();
    ASSERT_GT(pages.size(), 4u);
    for (size_t i = 0; i + 1 < pages.size(); ++i) EXPECT_EQ(pages[i].size(), 8176u);
    EXPECT_LE(pages.back().size(), 8176u);
    EXPECT_EQ(pages[0][2], 0xEC);
    EXPECT_EQ(pages[0][3], ltp::bTypePC);
    // Every HID resolves through its page map to the bytes allocated.
    for (size_t k = 0; k < hids.size(); ++k) {
        const ndb::Bytes& page = pages[hids[k] >> 16];
        size_t index = ((hids[k] >> 5) & 0x7FF) - 1;
        uint16_t map = ndb::Get16(page.data());
        EXPECT_EQ(map % 2, 0);
        uint16_t start = ndb::Get16(&page[map + 4 + 2 * index]), end = ndb::Get16(&page[map + 6 + 2 * index]);
        EXPECT_EQ(end - start, 1000);
        EXPECT_EQ(page[start], uint8_t(k));
    }
}

TEST(Heap, BitmapHeadersOnPages8And136) {
    ltp::HeapBuilder heap(ltp::bTypeTC);
    uint32_t last = 0;
    for (int i = 0; i < 137 * 3; ++i) last = heap.Allocate(ndb::Bytes(2700, 1));
    EXPECT_GE(last >> 16, 136u);
    auto pages = heap.Pages();
    // An HNBITMAPHDR is 66 bytes: the first item of page 8 starts there.
    for (size_t p : {size_t(8), size_t(136)}) {
        uint16_t map = ndb::Get16(pages[p].data());
        EXPECT_EQ(ndb::Get16(&pages[p][map + 4]), 66) << p;
    }
    uint16_t map1 = ndb::Get16(pages[1].data());
    EXPECT_EQ(ndb::Get16(&pages[1][map1 + 4]), 2);
}

// A PC heap longer than eight pages is misread by libpff, whose cache of a
// node's heap blocks holds eight; the largest values move to subnodes instead.
TEST(PropContext, LongHeapsMoveTheLargestValuesToSubnodes) {
    auto prop = [](uint32_t tag, size_t size) { return ltp::PcProp{tag, ndb::Bytes(size, 0x41), 0}; };
    std::vector<ltp::PcProp> ordinary = {prop(0x0037001F, 3000), prop(0x007D001F, 3500), prop(0x0E060040, 8),
                                         prop(0x0E070003, 4), prop(0x1000001F, 9000)};
    auto places = ltp::PlacePcValues(ordinary);
    EXPECT_EQ(places[0], ltp::PcPlace::Heap);
    EXPECT_EQ(places[1], ltp::PcPlace::Heap);
    EXPECT_EQ(places[2], ltp::PcPlace::Heap);
    EXPECT_EQ(places[3], ltp::PcPlace::Inline);
    EXPECT_EQ(places[4], ltp::PcPlace::Subnode);

    // Twenty 3000-byte strings, three 3580-byte ones and many small values:
    // about fourteen pages if all stayed in the heap.
    std::vector<ltp::PcProp> wide;
    for (uint32_t i = 0; i < 3; ++i) wide.push_back(prop((0x0037u + i) << 16 | 0x001F, 3580));
    for (uint32_t i = 0; i < 300; ++i) wide.push_back(prop((0x6000u + i) << 16 | 0x0040, 8));
    for (uint32_t i = 0; i < 20; ++i) wide.push_back(prop((0x8000u + i) << 16 | 0x001F, 3000));
    wide.push_back(prop(0x8100001F, 40));
    std::vector<ltp::PcPlace> all(wide.size());
    for (size_t i = 0; i < wide.size(); ++i) all[i] = wide[i].value.size() == 4 ? ltp::PcPlace::Inline : ltp::PcPlace::Heap;
    ASSERT_GT(ltp::PcHeapPages(wide, all), ltp::kMaxPcHeapPages);

    places = ltp::PlacePcValues(wide);
    EXPECT_LE(ltp::PcHeapPages(wide, places), ltp::kMaxPcHeapPages);
    size_t moved = 0;
    for (size_t i = 0; i < wide.size(); ++i) {
        if (places[i] != ltp::PcPlace::Subnode) continue;
        ++moved;
        EXPECT_GE(wide[i].value.size(), 3000u) << "a small value moved while larger ones stayed";
    }
    EXPECT_GT(moved, 0u);
    EXPECT_LT(moved, 23u) << "values moved that the heap had room for";
    for (size_t i = 3; i < 303; ++i) EXPECT_EQ(places[i], ltp::PcPlace::Heap) << "fixed-size values stay in the heap";
    EXPECT_EQ(places.back(), ltp::PcPlace::Heap);
}

TEST(Tables, TemplateLayoutsMatchTheFormat) {
    auto rgib = [](const ltp::TableLayout& l) { return std::vector<int>{l.rgib[0], l.rgib[1], l.rgib[2], l.rgib[3]}; };
    EXPECT_EQ(rgib(HierarchyLayout()), (std::vector<int>{52, 52, 53, 55}));
    EXPECT_EQ(rgib(ContentsLayout()), (std::vector<int>{116, 116, 118, 122}));
    EXPECT_EQ(rgib(AssocContentsLayout()), (std::vector<int>{56, 56, 57, 59}));
    EXPECT_EQ(rgib(SearchContentsLayout()), (std::vector<int>{72, 72, 75, 78}));
    EXPECT_EQ(rgib(RecipientLayout({})), (std::vector<int>{48, 48, 50, 52}));
    EXPECT_EQ(rgib(ReceiveFolderLayout()), (std::vector<int>{16, 16, 16, 17}));
    const ltp::ColumnDesc* c = ContentsLayout().Find(0x30080040);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->ib, 80);
    EXPECT_EQ(c->iBit, 20);
    for (size_t i = 1; i < ContentsLayout().columns.size(); ++i)
        EXPECT_LT(ContentsLayout().columns[i - 1].tag, ContentsLayout().columns[i].tag);
}

TEST(Tables, RowsMirrorPropertiesAndMarkPresentCells) {
    PropMap props;
    props[0x0037001F] = std::string("Hi");
    props[0x0E070003] = int32_t(0x11);
    props[0x0057000B] = true;
    ltp::TcRow row = MakeRow(ContentsLayout(), 0x200024, 9, props);
    ASSERT_EQ(row.cells.size(), 122u);
    EXPECT_EQ(ndb::Get32(&row.cells[0]), 0x200024u);
    EXPECT_EQ(ndb::Get32(&row.cells[4]), 9u);
    EXPECT_EQ(ndb::Get32(&row.cells[16]), 0x11u);
    EXPECT_EQ(row.cells[116], 1);
    ASSERT_EQ(row.vars.size(), 1u);
    EXPECT_EQ(row.vars[0].first, 28);
    EXPECT_EQ(row.vars[0].second, Utf16("Hi"));
    // CEB at 118: bits 0, 1 (row id, version), 4 (flags), 7 (subject), 13 (to-me).
    EXPECT_EQ(row.cells[118], 0xC9);
    EXPECT_EQ(row.cells[119], 0x04);
}

TEST(Bth, IndexLevelsAppearBeyondOneLeaf) {
    ltp::HeapBuilder heap(ltp::bTypeTC);
    ndb::Bytes records;
    for (uint32_t i = 0; i < 1000; ++i) {
        ndb::Append32(records, i * 2 + 1);
        ndb::Append32(records, i);
    }
    uint32_t header = ltp::BuildBth(heap, 4, 4, records, 1000);
    auto pages = heap.Pages();
    const ndb::Bytes& page = pages[header >> 16];
    uint16_t map = ndb::Get16(page.data());
    size_t index = ((header >> 5) & 0x7FF) - 1;
    uint16_t start = ndb::Get16(&page[map + 4 + 2 * index]);
    EXPECT_EQ(page[start], 0xB5);
    EXPECT_EQ(page[start + 1], 4);
    EXPECT_EQ(page[start + 2], 4);
    EXPECT_EQ(page[start + 3], 1);  // 1000 records > 447 per leaf: one index level
}

TEST(NameMap, StreamsAndBucketsFollowTheHash) {
    NameMap names;
    uint16_t a = names.IdFor({PSETID_Address(), false, 0x8083, {}});
    uint16_t b = names.IdFor({PS_PUBLIC_STRINGS(), true, 0, "Keywords"});
    uint16_t c = names.IdFor({PSETID_Address(), false, 0x8005, {}});
    EXPECT_EQ(a, 0x8000);
    EXPECT_EQ(b, 0x8001);
    EXPECT_EQ(c, 0x8002);
    EXPECT_EQ(names.IdFor({PSETID_Address(), false, 0x8083, {}}), a);
    EXPECT_EQ(names.Find({PSETID_Task(), false, 0x8104, {}}), 0);
    auto props = names.Properties();
    std::map<uint32_t, ndb::Bytes> byTag;
    for (auto& p : props) byTag[p.tag] = p.value;
    EXPECT_EQ(ndb::Get32(byTag.at(0x00010003).data()), 251u);
    EXPECT_EQ(byTag.at(0x00020102).size(), 16u);  // PSETID_Address only
    EXPECT_EQ(byTag.at(0x00030102).size(), 24u);
    EXPECT_EQ(byTag.at(0x00040102).size(), 4u + 16u);
    // Numeric: bucket (lid ^ (wGuid << 1)) % 251 with wGuid 3 for the first stream GUID.
    uint32_t bucket = (0x8083u ^ (3u << 1)) % 251;
    ASSERT_TRUE(byTag.count(((0x1000 + bucket) << 16) | 0x0102));
    // String: the key is the CRC of the UTF-16LE name; wGuid 2 with the string bit.
    ndb::Bytes kw = Utf16("Keywords");
    uint32_t crc = ndb::Crc32(kw.data(), kw.size());
    uint32_t sbucket = (crc ^ ((2u << 1) | 1u)) % 251;
    const ndb::Bytes& entries = byTag.at(((0x1000 + sbucket) << 16) | 0x0102);
    bool found = false;
    for (size_t i = 0; i + 8 <= entries.size(); i += 8) found = found || ndb::Get32(&entries[i]) == crc;
    EXPECT_TRUE(found);
}

TEST(SpaceMap, ReserveIntervalsAreFreeAndTrimmedWhenEmpty) {
    ndb::SpaceMap space;
    uint64_t oneFree = space.FreeBytes();
    space.MapThrough(6);  // intervals 1..5 hold only their AMap (and 0 its PMap too)
    EXPECT_EQ(space.Eof(), ndb::kAMapBase + 6 * ndb::kAMapSpan);
    EXPECT_EQ(space.LastAMap(), ndb::kAMapBase + 5 * ndb::kAMapSpan);
    uint64_t emptyFree = ndb::kAMapSpan - 512;
    EXPECT_EQ(space.FreeBytes(), oneFree + 5 * emptyFree);
    // Allocation moves into the reserve without growing the file.
    uint64_t last = 0;
    for (int i = 0; i < 40; ++i) last = space.Allocate(8192, 64);
    EXPECT_GE(last, ndb::kAMapBase + ndb::kAMapSpan + 512);
    EXPECT_LT(last, ndb::kAMapBase + 2 * ndb::kAMapSpan);
    EXPECT_EQ(space.Intervals(), 6u);
    EXPECT_EQ(space.OpenedIntervals(), 2u);
    // Four empty intervals go; the one with data stays, and so does its space.
    EXPECT_EQ(space.TrimTail(), 4 * emptyFree);
    EXPECT_EQ(space.Eof(), ndb::kAMapBase + 2 * ndb::kAMapSpan);
    uint64_t used = 40 * 8192 + 512 * 3;  // data, AMap and PMap of interval 0, AMap of interval 1
    EXPECT_EQ(space.FreeBytes(), space.Eof() - ndb::kAMapBase - used);
    // Emptied by releases, the opened interval goes too, and allocation goes on where it stopped.
    uint64_t secondStart = ndb::kAMapBase + ndb::kAMapSpan;
    space.Release(secondStart + 512, last + 8192 - (secondStart + 512));
    space.TrimTail();
    EXPECT_EQ(space.Intervals(), 1u);
    EXPECT_EQ(space.OpenedIntervals(), 1u);
    uint64_t next = space.Allocate(8192, 64);
    EXPECT_GE(next, secondStart + 512);
    EXPECT_EQ(space.Intervals(), 2u);
}

TEST(SpaceMap, AllocationsSkipMapPagesAndHolesAreFree) {
    ndb::SpaceMap space;
    EXPECT_EQ(space.Eof(), ndb::kAMapBase + ndb::kAMapSpan);
    uint64_t first = space.Allocate(512, 512);
    EXPECT_EQ(first, 0x4800u);  // after the first AMap and PMap
    uint64_t before = space.FreeBytes();
    uint64_t last = 0;
    for (int i = 0; i < 40; ++i) last = space.Allocate(8192, 64);
    EXPECT_GE(last, ndb::kAMapBase + ndb::kAMapSpan + 512);  // the second interval, past its AMap
    EXPECT_EQ(space.Eof(), ndb::kAMapBase + 2 * ndb::kAMapSpan);
    uint64_t used = 512 + 40 * 8192 + 512 * 3;  // data plus three map pages
    uint64_t tail = space.Eof() - ndb::kAMapBase - used;
    EXPECT_EQ(space.FreeBytes(), tail) << before;
    space.Release(first, 512);
    EXPECT_EQ(space.FreeBytes(), tail + 512);
    EXPECT_THROW(space.Allocate(100, 64), PstError);
}

TEST(EntryIds, OneOffSearchKeyAndFlatListLayouts) {
    auto id = pst::OneOffEntryId("Bob", "bob@x.org");
    ASSERT_GT(id.size(), 24u);
    EXPECT_EQ(id[0] | id[1] | id[2] | id[3], 0);
    const uint8_t provider[16] = {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
                                  0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
    EXPECT_TRUE(std::equal(provider, provider + 16, id.begin() + 4));
    EXPECT_EQ(id[22] | (id[23] << 8), 0x9001);  // MAPI_ONE_OFF_UNICODE | NO_RICH_INFO
    auto tail = std::vector<uint8_t>(id.begin() + 24, id.end());
    auto expect = pst::Utf16("Bob");
    expect.insert(expect.end(), {0, 0});
    auto smtp = pst::Utf16("SMTP");
    expect.insert(expect.end(), smtp.begin(), smtp.end());
    expect.insert(expect.end(), {0, 0});
    auto addr = pst::Utf16("bob@x.org");
    expect.insert(expect.end(), addr.begin(), addr.end());
    expect.insert(expect.end(), {0, 0});
    EXPECT_EQ(tail, expect);
    EXPECT_EQ(pst::AddressSearchKey("Bob@X.org"), (pst::Binary{'S', 'M', 'T', 'P', ':', 'B', 'O', 'B', '@', 'X', '.', 'O', 'R', 'G', 0}));
    auto list = pst::FlatEntryList({pst::Binary{1, 2, 3}, pst::Binary{4}});
    EXPECT_EQ(list, (pst::Binary{2, 0, 0, 0, 16, 0, 0, 0, 3, 0, 0, 0, 1, 2, 3, 0, 1, 0, 0, 0, 4, 0, 0, 0}));
}

// The file gets its name with its first complete commit, never before, and
// never in place of a file that took the name meanwhile.
TEST(NodeDb, TheFileIsNamedOnlyByItsFirstCommitAndReplacesNothing) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("orvandel-ndb-" + std::to_string(getpid()));
    fs::create_directories(dir);
    {
        ndb::NodeDb db((dir / "a.pst").string(), true);
        db.WriteDataBlock(reinterpret_cast<const uint8_t*>("data"), 4, nullptr);
        EXPECT_FALSE(fs::exists(dir / "a.pst"));
        db.Commit();
        EXPECT_TRUE(fs::exists(dir / "a.pst"));
        db.Close();
    }
    {
        ndb::NodeDb db((dir / "b.pst").string(), true);
        std::ofstream(dir / "b.pst") << "taken";
        EXPECT_THROW(db.Commit(), PstError);
        EXPECT_THROW(db.Commit(), PstError);  // and stays failed
        db.Abandon();
    }
    std::string text;
    std::ifstream(dir / "b.pst") >> text;
    EXPECT_EQ(text, "taken");
    EXPECT_THROW(ndb::NodeDb((dir / "b.pst").string(), true), PstError);
    fs::remove_all(dir);
}

TEST(NodeIndex, OutOfOrderNodesAndUpdatesKeepOneSortedEntryEach) {
    // Messages arrive in id order; folder nodes below them arrive and change at every commit.
    ndb::NodeIndex index;
    std::map<uint32_t, uint64_t> expected;
    for (uint32_t i = 0; i < 5000; ++i) {
        const uint32_t message = (0x10000 + i) << 5 | 4;
        index.Set(message, ndb::NodeEntry{i, 0, 0});
        expected[message] = i;
        const uint32_t folder = (0x400 + i % 1500) << 5 | 2;
        index.Set(folder, ndb::NodeEntry{100000 + i, 0, 0});
        expected[folder] = 100000 + i;
        if (i % 700 == 0) {
            ASSERT_EQ(index.Sorted().size(), expected.size());  // merged in between
        }
    }
    ASSERT_EQ(index.size(), expected.size());
    for (auto& [nid, bid] : expected) {
        ASSERT_NE(index.Find(nid), nullptr);
        EXPECT_EQ(index.Find(nid)->bidData, bid);
    }
    EXPECT_EQ(index.Find(0x401 << 5 | 4), nullptr);
    auto it = expected.begin();
    for (auto& [nid, entry] : index) {
        EXPECT_EQ(nid, it->first);
        EXPECT_EQ(entry.bidData, it->second);
        ++it;
    }
}
