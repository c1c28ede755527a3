// The verifier's bounded-memory parts: the sort through a temporary file, the
// per-block reference counts kept in a byte, the packed NID lists and the
// repeated-value finder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "pst/verify/BlockStates.h"
#include "pst/verify/NidList.h"
#include "pst/verify/RepeatFinder.h"
#include "pst/verify/SpillSort.h"

namespace {

using pst::verify::detail::BlockStates;
using pst::verify::detail::NidList;
using pst::verify::detail::RepeatFinder;
using pst::verify::detail::SpillSort;

TEST(SpillSort, RunsMergedFromTheTemporaryFileComeOutInOrderEveryTime) {
    SpillSort<uint64_t> sort(1000);
    std::vector<uint64_t> added;
    uint64_t x = 88172645463325252ull;
    for (int i = 0; i < 10500; ++i) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        added.push_back(x % 5000);  // with repeats
        sort.Add(added.back());
    }
    EXPECT_EQ(sort.Runs(), 10u);
    std::sort(added.begin(), added.end());
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<uint64_t> out;
        sort.ForEach([&](uint64_t v) { out.push_back(v); });
        EXPECT_EQ(out, added) << "pass " << pass;
    }
    EXPECT_FALSE(sort.Failed());
}

TEST(BlockStates, ReferenceCountsPastTheByteAreKeptBesideTheFlags) {
    BlockStates s;
    s.Reset(3);
    s.Set(1, BlockStates::kReadable, true);
    for (int i = 0; i < 40; ++i) s.AddRef(1);
    s.AddRef(2);
    EXPECT_EQ(s.Refs(0), 0u);
    EXPECT_EQ(s.Refs(1), 40u);
    EXPECT_EQ(s.Refs(2), 1u);
    EXPECT_TRUE(s.Is(1, BlockStates::kReadable));
    EXPECT_FALSE(s.Is(1, BlockStates::kStructureOk));
    EXPECT_EQ(s.Flags(2), 0);
}

TEST(NidList, GivesBackEveryNidInItsOrderWhateverTheGaps) {
    const std::vector<uint32_t> nids = {0x22, 0x42, 0x62, 0x200062, 0x40, 0xFFFFFFE4u, 0, 0x8000};
    NidList list;
    for (uint32_t n : nids) list.push_back(n);
    EXPECT_EQ(list.size(), nids.size());
    std::vector<uint32_t> out;
    for (uint32_t n : list) out.push_back(n);
    EXPECT_EQ(out, nids);
    EXPECT_TRUE(NidList().empty());
}

TEST(RepeatFinder, FindsRepeatsAmongBitsAndBeyondTheirBound) {
    RepeatFinder f(1000);
    for (uint32_t v : {5u, 7u, 5u, 999u, 999u, 5u, 1000u, 4000000000u, 1000u, 4000000000u, 4000000000u, 12u})
        f.Add(v);
    EXPECT_EQ(f.Repeated(), (std::vector<uint32_t>{5, 999, 1000, 4000000000u}));
}

}  // namespace
