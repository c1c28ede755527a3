#pragma once
// A set of 64-bit keys (files of a run, by digest) at about 10 bytes a key: a
// sorted array, and the latest additions in a hash set merged into it once it
// holds a quarter as many. A node-based set costs about 40 bytes a key, which
// a mailbox of a million messages (two files each) pays for the whole run.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <vector>

namespace engine {

class KeySet {
public:
    void insert(uint64_t key) {
        if (std::binary_search(sorted_.begin(), sorted_.end(), key)) return;
        recent_.insert(key);
        if (recent_.size() < std::max<size_t>(4096, sorted_.size() / 4)) return;
        const size_t old = sorted_.size();
        sorted_.insert(sorted_.end(), recent_.begin(), recent_.end());
        std::sort(sorted_.begin() + std::ptrdiff_t(old), sorted_.end());
        std::inplace_merge(sorted_.begin(), sorted_.begin() + std::ptrdiff_t(old), sorted_.end());
        recent_.clear();
    }
    size_t count(uint64_t key) const {
        return recent_.count(key) || std::binary_search(sorted_.begin(), sorted_.end(), key) ? 1 : 0;
    }

private:
    std::vector<uint64_t> sorted_;
    std::unordered_set<uint64_t> recent_;
};

}  // namespace engine
