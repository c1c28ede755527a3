#pragma once
// The nodes set since the node B-tree last took them (NodeDb merges them in
// at each commit, or once they are many): one entry per node in a sorted array
// (32 bytes a node, where a tree map takes about 80), with nodes that do not
// come in order (folders and their tables, rewritten at each commit) in a small
// map merged in when it grows or when the index is walked. New messages, the
// bulk of a mailbox, take the highest ids and go straight to the end.
#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace pst::ndb {

struct NodeEntry {
    uint64_t bidData = 0;
    uint64_t bidSub = 0;
    uint32_t parent = 0;
};

class NodeIndex {
public:
    using Row = std::pair<uint32_t, NodeEntry>;

    void Set(uint32_t nid, const NodeEntry& entry);
    // Valid until the next Set.
    const NodeEntry* Find(uint32_t nid) const;
    // Every node in id order.
    const std::vector<Row>& Sorted() const;
    std::vector<Row>::const_iterator begin() const { return Sorted().begin(); }
    std::vector<Row>::const_iterator end() const { return Sorted().end(); }
    size_t size() const { return sorted_.size() + recent_.size(); }

private:
    void Merge() const;
    mutable std::vector<Row> sorted_;
    mutable std::map<uint32_t, NodeEntry> recent_;  // ids not in sorted_, below its last
};

}  // namespace pst::ndb
