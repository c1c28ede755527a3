#include "NodeIndex.h"

#include <algorithm>

namespace pst::ndb {

void NodeIndex::Set(uint32_t nid, const NodeEntry& entry) {
    if (sorted_.empty() || nid > sorted_.back().first) {
        if (recent_.empty() || nid > recent_.rbegin()->first) {
            sorted_.emplace_back(nid, entry);
            return;
        }
    }
    auto it = std::lower_bound(sorted_.begin(), sorted_.end(), nid,
                               [](const Row& r, uint32_t key) { return r.first < key; });
    if (it != sorted_.end() && it->first == nid) {
        it->second = entry;
        return;
    }
    recent_[nid] = entry;
    // Merged once it is a sixteenth of the rest: each node is moved a bounded number of times.
    if (recent_.size() > 1024 && recent_.size() * 16 > sorted_.size()) Merge();
}

const NodeEntry* NodeIndex::Find(uint32_t nid) const {
    auto it = std::lower_bound(sorted_.begin(), sorted_.end(), nid,
                               [](const Row& r, uint32_t key) { return r.first < key; });
    if (it != sorted_.end() && it->first == nid) return &it->second;
    auto r = recent_.find(nid);
    return r == recent_.end() ? nullptr : &r->second;
}

const std::vector<NodeIndex::Row>& NodeIndex::Sorted() const {
    if (!recent_.empty()) Merge();
    return sorted_;
}

void NodeIndex::Merge() const {
    // In place from the back: no second copy of a million entries.
    size_t from = sorted_.size();
    sorted_.resize(from + recent_.size());
    size_t to = sorted_.size();
    for (auto r = recent_.rbegin(); r != recent_.rend();) {
        if (from > 0 && sorted_[from - 1].first > r->first) {
            sorted_[--to] = sorted_[--from];
        } else {
            sorted_[--to] = Row(r->first, r->second);
            ++r;
        }
    }
    recent_.clear();
}

}  // namespace pst::ndb
