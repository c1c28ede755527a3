#pragma once
// One B-tree of the node database (the NBT or the BBT, [MS-PST] 2.2.2.7.7)
// that lives in the file: a lookup reads the pages on its path (through the
// owner's page cache), and changes are merged in as a sorted batch that writes
// new pages for the leaves it touches and the pages above them, copy on write.
// The pages replaced are handed back to the owner, which must not reuse their
// space before a header that no longer refers to them has landed.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Error.h"

namespace pst::ndb {

// A page of a tree as its parent's BTENTRY names it.
struct TreeRef {
    uint64_t key = 0, bid = 0, ib = 0;
};

// What a tree needs of its file.
class TreePages {
public:
    virtual ~TreePages() = default;
    // The page's 512 bytes, checked (type, checksum, own id) when first read;
    // valid until the next call.
    virtual const uint8_t* ReadPage(uint64_t bid, uint64_t ib, uint8_t ptype) = 0;
    // Writes a page whose entries, counts and level are filled; adds the trailer.
    virtual TreeRef WritePage(uint8_t* page, uint8_t ptype, uint64_t firstKey) = 0;
    virtual void FreePage(uint64_t ib) = 0;
    // The error for damage found in the file (`what` names the page and the fault).
    virtual PstRefused Damage(const std::string& what) = 0;
};

class BTree {
public:
    // cbLeaf 32 (NBT, 15 a leaf) or 24 (BBT, 20 a leaf).
    BTree(TreePages& io, uint8_t ptype, uint8_t cbLeaf, uint8_t cLeafMax);

    // Takes the tree whose root page is at (bid, ib), reading only that page.
    void Open(uint64_t bid, uint64_t ib);
    const TreeRef& Root() const { return root_; }
    // Copies the leaf entry of `key` (cbLeaf bytes) to `out`; false when absent.
    bool Find(uint64_t key, uint8_t* out);
    // The highest key, 0 for an empty tree.
    uint64_t LastKey();

    struct Change {
        uint64_t key;
        const uint8_t* entry;  // the new leaf entry; nullptr removes the key
    };
    // Merges changes sorted by key, each key once.
    void Apply(const std::vector<Change>& changes);
    // Every leaf entry in key order, and the offset of every page.
    void ForEach(const std::function<void(const uint8_t* entry)>& entry, const std::function<void(uint64_t ib)>& page);

private:
    const uint8_t* Page(const TreeRef& ref, int level, int depth);
    uint64_t LeafKey(const uint8_t* e) const;
    void Merge(const TreeRef& ref, int level, const Change* b, const Change* e, std::vector<TreeRef>& out, int depth);
    void EmitLeaves(const std::vector<uint8_t>& entries, std::vector<TreeRef>& out);
    void EmitInner(const std::vector<TreeRef>& children, int level, std::vector<TreeRef>& out);
    void Walk(const TreeRef& ref, int level, int depth, const std::function<void(const uint8_t*)>& entry,
              const std::function<void(uint64_t)>& page);
    [[noreturn]] void Damaged(uint64_t ib, const std::string& why);

    TreePages& io_;
    uint8_t ptype_, cbLeaf_, cLeafMax_;
    TreeRef root_{};  // ib 0: no tree yet
    int rootLevel_ = 0;
};

}  // namespace pst::ndb
