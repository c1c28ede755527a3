#pragma once
// A set of fixed-size keys (digests of a run's files) at little more than the
// key's own size: a sorted array, and the latest additions in a hash set
// merged into it once it holds a quarter as many. Look-ups and additions stay
// cheap in any order; a node-based set costs about 40 bytes a key more, which
// a mailbox of a million messages pays for the whole run.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_set>
#include <vector>

namespace engine {

template <class Key, class Hash = std::hash<Key>>
class KeySet {
public:
    void insert(const Key& key) {
        if (std::binary_search(sorted_.begin(), sorted_.end(), key)) return;
        recent_.insert(key);
        if (recent_.size() < std::max<size_t>(4096, sorted_.size() / 4)) return;
        const size_t old = sorted_.size();
        sorted_.insert(sorted_.end(), recent_.begin(), recent_.end());
        std::sort(sorted_.begin() + std::ptrdiff_t(old), sorted_.end());
        std::inplace_merge(sorted_.begin(), sorted_.begin() + std::ptrdiff_t(old), sorted_.end());
        recent_.clear();
    }
    size_t count(const Key& key) const {
        return recent_.count(key) || std::binary_search(sorted_.begin(), sorted_.end(), key) ? 1 : 0;
    }
    // Rare (a message a failed commit lost), so it may cost a copy.
    void erase(const Key& key) {
        recent_.erase(key);
        const auto it = std::lower_bound(sorted_.begin(), sorted_.end(), key);
        if (it != sorted_.end() && *it == key) sorted_.erase(it);
    }

private:
    std::vector<Key> sorted_;
    std::unordered_set<Key, Hash> recent_;
};

}  // namespace engine
