// The verifier's bounded-memory parts: the sort through a temporary file and the
// per-block reference counts kept in a byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "pst/verify/BlockStates.h"
#include "pst/verify/SpillSort.h"

namespace {

using pst::verify::detail::BlockStates;
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

}  // namespace
