// The file's B-trees: merges of changes in batches keep every entry findable,
// write only the pages on the changed paths, and free exactly the pages no
// longer reachable; the node database keeps pending blocks out of the tree
// across flushes between commits and finds everything after reopening.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "pst/ndb/BTree.h"
#include "pst/ndb/Bytes.h"
#include "pst/ndb/NodeDb.h"

namespace ndb = pst::ndb;

namespace {

// Pages in memory; counts what a merge writes and frees.
class MemoryPages : public ndb::TreePages {
public:
    const uint8_t* ReadPage(uint64_t bid, uint64_t ib, uint8_t) override {
        auto it = pages.find(ib);
        if (it == pages.end() || ndb::Get64(it->second.data() + 504) != bid) throw Damage("missing page");
        return it->second.data();
    }
    ndb::TreeRef WritePage(uint8_t* page, uint8_t ptype, uint64_t firstKey) override {
        const uint64_t ib = next += 512, bid = ib / 512;
        page[496] = page[497] = ptype;
        ndb::Put64(page + 504, bid);
        pages[ib].assign(page, page + 512);
        ++written;
        return {firstKey, bid, ib};
    }
    void FreePage(uint64_t ib) override {
        EXPECT_EQ(pages.erase(ib), 1u) << "freed twice";
    }
    pst::PstRefused Damage(const std::string& what) override { return pst::PstRefused(what); }

    std::map<uint64_t, std::vector<uint8_t>> pages;
    uint64_t next = 0x4400;
    size_t written = 0;
};

}  // namespace

TEST(BTree, BatchesOfChangesKeepEveryEntryAndOnlyLivePages) {
    MemoryPages io;
    ndb::BTree tree(io, 0x81, 32, 15);
    std::map<uint64_t, uint64_t> expected;  // nid -> bidData
    std::mt19937 rng(7);
    for (int batch = 0; batch < 40; ++batch) {
        std::map<uint64_t, std::vector<uint8_t>> changes;  // empty: erase
        for (int i = 0; i < 300; ++i) {
            // New ids at the end, updates and removals anywhere, now and then below everything.
            uint64_t nid = batch < 2 || i % 3 == 0 ? 1000 + expected.size() * 4 + uint64_t(i) * 4
                                                   : uint64_t(rng() % (1000 + expected.size() * 4));
            if (i == 0) nid = 3 + uint64_t(batch);
            std::vector<uint8_t> e(32, 0);
            ndb::Put64(e.data(), nid);
            ndb::Put64(e.data() + 8, uint64_t(batch) * 100000 + uint64_t(i));
            changes[nid] = rng() % 5 == 0 && batch > 1 ? std::vector<uint8_t>{} : e;
        }
        std::vector<ndb::BTree::Change> list;
        for (auto& [nid, e] : changes) {
            list.push_back({nid, e.empty() ? nullptr : e.data()});
            if (e.empty())
                expected.erase(nid);
            else
                expected[nid] = ndb::Get64(e.data() + 8);
        }
        tree.Apply(list);
        std::map<uint64_t, uint64_t> seen;
        std::set<uint64_t> live;
        tree.ForEach([&](const uint8_t* p) { seen[ndb::Get32(p)] = ndb::Get64(p + 8); },
                     [&](uint64_t ib) { live.insert(ib); });
        ASSERT_EQ(seen, expected) << "batch " << batch;
        ASSERT_EQ(live.size(), io.pages.size()) << "a page no longer reachable was kept, batch " << batch;
    }
    uint8_t out[32];
    for (auto& [nid, bid] : expected) {
        ASSERT_TRUE(tree.Find(nid, out));
        EXPECT_EQ(ndb::Get64(out + 8), bid);
    }
    EXPECT_FALSE(tree.Find(1, out));
    EXPECT_FALSE(tree.Find(expected.rbegin()->first + 1, out));
    EXPECT_EQ(tree.LastKey(), expected.rbegin()->first);
    // One more entry at the end rewrites its leaf and the pages above it (each
    // split in two at most), nothing else.
    const size_t before = io.written;
    ASSERT_GT(io.pages.size(), 400u);
    std::vector<uint8_t> e(32, 0);
    const uint64_t last = expected.rbegin()->first + 4;
    ndb::Put64(e.data(), last);
    tree.Apply({{last, e.data()}});
    EXPECT_LE(io.written - before, 9u);
    EXPECT_GE(io.written - before, 3u);
}

// More changes than a commit holds in memory go into the file's trees between
// commits; blocks of an item not saved yet stay out of the tree across that
// flush until their item is saved, and everything is found after reopening.
TEST(BTree, NodeDatabaseFlushesBetweenCommitsAndKeepsPendingBlocksOut) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("orvandel-btree-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string path = (dir / "big.pst").string();
    const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::vector<uint64_t> kept, released;
    uint64_t pending = 0, pendingLater = 0;
    {
        ndb::NodeDb db(path, true);
        pending = db.WriteDataBlock(data, 5, nullptr);
        db.SetPending(pending, true);
        for (uint32_t i = 0; i < 90000; ++i) {
            const uint64_t bid = db.WriteDataBlock(data, 1 + i % 8, nullptr);
            if (i % 10 == 3) {
                db.ReleaseBlocks({bid});
                released.push_back(bid);
                continue;
            }
            if (i == 40000) pendingLater = bid, db.SetPending(bid, true);
            if (i == 80000) db.SetPending(pendingLater, false);  // saved after a flush
            db.SetNode(ndb::MakeNid(0x10000 + i, ndb::NID_TYPE_NORMAL_MESSAGE), ndb::NodeEntry{bid, 0, 0x122});
            kept.push_back(bid);
        }
        // Released blocks are gone already; the pending one is known but not in the tree.
        EXPECT_THROW(db.ReadBlock(released[5]), pst::PstRefused);
        EXPECT_EQ(db.ReadBlock(pending).size(), 5u);
        db.Commit();
        db.ReleaseBlocks({pending});  // never saved
        db.Close();
    }
    ndb::NodeDb db(path, ndb::NodeDb::Existing{});
    for (uint32_t i = 0, k = 0; i < 90000; ++i) {
        if (i % 10 == 3) continue;
        const auto node = db.FindNode(ndb::MakeNid(0x10000 + i, ndb::NID_TYPE_NORMAL_MESSAGE));
        ASSERT_TRUE(node) << i;
        ASSERT_EQ(node->bidData, kept[k++]);
        if (i % 997 == 0) {
            EXPECT_EQ(db.ReadBlock(node->bidData).size(), 1 + i % 8);
        }
    }
    EXPECT_EQ(db.ReadBlock(pendingLater).size(), 1u + 40000 % 8);
    EXPECT_THROW(db.ReadBlock(pending), pst::PstRefused);
    EXPECT_THROW(db.ReadBlock(released[0]), pst::PstRefused);
    db.Abandon();
    fs::remove_all(dir);
}
