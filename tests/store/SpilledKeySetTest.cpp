// The spilled key set against std::set over many spills: additions, look-ups,
// keys taken out and added again, a file's index merged in at once.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "store/SpilledKeySet.h"

namespace {

template <class Key>
void ExpectSame(const store::SpilledKeySet<Key>& spilled, const std::set<Key>& model) {
    EXPECT_EQ(spilled.size(), model.size());
    std::set<Key> seen;
    spilled.ForEach([&](const Key& k) { EXPECT_TRUE(seen.insert(k).second) << "a key given twice"; });
    EXPECT_TRUE(seen == model);
}

}  // namespace

TEST(SpilledKeySet, AgreesWithASetAcrossSpills) {
    store::SpilledKeySet<uint64_t> spilled;
    std::set<uint64_t> model;
    std::mt19937_64 random(7);
    for (int i = 0; i < 150000; ++i) {
        const uint64_t k = random() % 400000;  // repeats too
        spilled.insert(k);
        model.insert(k);
        if (i % 97 == 0) {
            const uint64_t gone = random() % 400000;
            spilled.erase(gone);
            model.erase(gone);
        }
        if (i % 13 == 0) {
            const uint64_t probe = random() % 400000;
            ASSERT_EQ(spilled.count(probe), model.count(probe)) << probe << " after " << i;
        }
    }
    ExpectSame(spilled, model);
    for (uint64_t probe = 0; probe < 400000; probe += 7) ASSERT_EQ(spilled.count(probe), model.count(probe)) << probe;
}

TEST(SpilledKeySet, ManyAtOnceMergeWithWhatIsThere) {
    using Digest = std::array<uint8_t, 16>;
    auto digest = [](uint32_t n) {
        Digest d{};
        for (int i = 0; i < 4; ++i) d[size_t(15 - i)] = uint8_t(n >> (8 * i));
        d[0] = uint8_t(n * 37);
        return d;
    };
    store::SpilledKeySet<Digest> spilled;
    std::set<Digest> model;
    for (uint32_t n = 0; n < 30000; n += 2) {
        spilled.insert(digest(n));
        model.insert(digest(n));
    }
    spilled.erase(digest(10));
    model.erase(digest(10));
    std::vector<Digest> batch;
    for (uint32_t n = 0; n < 40000; n += 3) batch.push_back(digest(n));  // half of them known already
    batch.push_back(batch.front());
    model.insert(batch.begin(), batch.end());
    spilled.InsertMany(batch);
    ExpectSame(spilled, model);
    EXPECT_EQ(spilled.count(digest(10)), 0u);
    EXPECT_EQ(spilled.count(digest(12)), 1u);
    EXPECT_EQ(spilled.count(digest(39999)), 1u);
    EXPECT_EQ(spilled.count(digest(40001)), 0u);
}
