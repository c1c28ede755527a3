#include "BTree.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Bytes.h"

namespace pst::ndb {
namespace {

constexpr int kMaxTreeDepth = 16;
constexpr uint8_t kInnerMax = 20;

std::string Hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

}  // namespace

BTree::BTree(TreePages& io, uint8_t ptype, uint8_t cbLeaf, uint8_t cLeafMax)
    : io_(io), ptype_(ptype), cbLeaf_(cbLeaf), cLeafMax_(cLeafMax) {}

void BTree::Damaged(uint64_t ib, const std::string& why) {
    throw io_.Damage(std::string(ptype_ == 0x81 ? "NBT" : "BBT") + " page " + Hex(ib) + " " + why);
}

// NBT keys are NIDs: 32 bits in an 8-byte field.
uint64_t BTree::LeafKey(const uint8_t* e) const { return cbLeaf_ == 32 ? Get32(e) : Get64(e); }

// Reads a page and checks what lookups and merges rely on; level -1 takes any.
const uint8_t* BTree::Page(const TreeRef& ref, int level, int depth) {
    if (depth > kMaxTreeDepth) Damaged(ref.ib, "lies deeper than any B-tree can");
    const uint8_t* p = io_.ReadPage(ref.bid, ref.ib, ptype_);
    const uint8_t cEnt = p[488], cEntMax = p[489], cbEnt = p[490], cLevel = p[491];
    if (level >= 0 && cLevel != level) Damaged(ref.ib, "has the wrong level");
    if (cLevel > kMaxTreeDepth || (cLevel == 0 ? cbEnt != cbLeaf_ : cbEnt != 24) || cEntMax == 0 || cEnt > cEntMax ||
        size_t(cEntMax) * cbEnt > 488 || (cLevel > 0 && cEnt == 0))
        Damaged(ref.ib, "has impossible entry counts");
    uint64_t prev = 0;
    for (size_t i = 0; i < cEnt; ++i) {
        const uint64_t key = cLevel == 0 ? LeafKey(p + i * cbEnt) : Get64(p + i * cbEnt);
        if ((i > 0 || depth > 0) && key < (i > 0 ? prev : ref.key)) Damaged(ref.ib, "has keys out of order");
        if (i > 0 && key == prev) Damaged(ref.ib, "has a key twice");
        prev = key;
    }
    return p;
}

void BTree::Open(uint64_t bid, uint64_t ib) {
    root_ = {0, bid, ib};
    rootLevel_ = Page(root_, -1, 0)[491];
}

bool BTree::Find(uint64_t key, uint8_t* out) {
    if (root_.ib == 0) return false;
    TreeRef ref = root_;
    for (int level = rootLevel_, depth = 0;; --level, ++depth) {
        const uint8_t* p = Page(ref, level, depth);
        const size_t n = p[488];
        if (level == 0) {
            for (size_t i = 0; i < n; ++i) {
                const uint64_t k = LeafKey(p + i * cbLeaf_);
                if (k == key) {
                    std::memcpy(out, p + i * cbLeaf_, cbLeaf_);
                    return true;
                }
                if (k > key) break;
            }
            return false;
        }
        size_t i = 0;
        while (i + 1 < n && Get64(p + 24 * (i + 1)) <= key) ++i;
        if (Get64(p + 24 * i) > key) return false;
        ref = {Get64(p + 24 * i), Get64(p + 24 * i + 8), Get64(p + 24 * i + 16)};
    }
}

uint64_t BTree::LastKey() {
    if (root_.ib == 0) return 0;
    TreeRef ref = root_;
    for (int level = rootLevel_, depth = 0;; --level, ++depth) {
        const uint8_t* p = Page(ref, level, depth);
        const size_t n = p[488];
        if (level == 0) return n == 0 ? 0 : LeafKey(p + (n - 1) * cbLeaf_);
        const uint8_t* last = p + 24 * (n - 1);
        ref = {Get64(last), Get64(last + 8), Get64(last + 16)};
    }
}

// New leaves are packed full, the last one takes the rest: entries added at
// the end of the keys (new items) fill leaves that are never rewritten again.
void BTree::EmitLeaves(const std::vector<uint8_t>& entries, std::vector<TreeRef>& out) {
    const size_t n = entries.size() / cbLeaf_;
    for (size_t i = 0; i < n; i += cLeafMax_) {
        const size_t count = std::min<size_t>(cLeafMax_, n - i);
        uint8_t page[512] = {};
        std::memcpy(page, entries.data() + i * cbLeaf_, count * cbLeaf_);
        page[488] = uint8_t(count);
        page[489] = cLeafMax_;
        page[490] = cbLeaf_;
        page[491] = 0;
        out.push_back(io_.WritePage(page, ptype_, LeafKey(page)));
    }
}

void BTree::EmitInner(const std::vector<TreeRef>& children, int level, std::vector<TreeRef>& out) {
    for (size_t i = 0; i < children.size(); i += kInnerMax) {
        const size_t count = std::min<size_t>(kInnerMax, children.size() - i);
        uint8_t page[512] = {};
        for (size_t j = 0; j < count; ++j) {
            Put64(page + 24 * j, children[i + j].key);
            Put64(page + 24 * j + 8, children[i + j].bid);
            Put64(page + 24 * j + 16, children[i + j].ib);
        }
        page[488] = uint8_t(count);
        page[489] = kInnerMax;
        page[490] = 24;
        page[491] = uint8_t(level);
        out.push_back(io_.WritePage(page, ptype_, children[i].key));
    }
}

// Replaces the page `ref` (of `level`) by the pages holding its entries with
// the changes [b, e) merged in; a page without changes is kept as it is.
void BTree::Merge(const TreeRef& ref, int level, const Change* b, const Change* e, std::vector<TreeRef>& out,
                  int depth) {
    if (b == e) {
        out.push_back(ref);
        return;
    }
    uint8_t page[512];
    std::memcpy(page, Page(ref, level, depth), sizeof page);
    io_.FreePage(ref.ib);
    const size_t n = page[488];
    if (level == 0) {
        std::vector<uint8_t> merged;
        merged.reserve((n + size_t(e - b)) * cbLeaf_);
        size_t i = 0;
        while (i < n || b != e) {
            const uint8_t* old = page + i * cbLeaf_;
            if (b == e || (i < n && LeafKey(old) < b->key)) {
                merged.insert(merged.end(), old, old + cbLeaf_);
                ++i;
                continue;
            }
            if (i < n && LeafKey(old) == b->key) ++i;
            if (b->entry) merged.insert(merged.end(), b->entry, b->entry + cbLeaf_);
            ++b;
        }
        EmitLeaves(merged, out);
        return;
    }
    std::vector<TreeRef> children;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* p = page + 24 * i;
        const Change* stop = e;
        if (i + 1 < n) {
            const uint64_t next = Get64(p + 24);
            stop = std::lower_bound(b, e, next, [](const Change& c, uint64_t k) { return c.key < k; });
        }
        Merge({Get64(p), Get64(p + 8), Get64(p + 16)}, level - 1, b, stop, children, depth + 1);
        b = stop;
    }
    EmitInner(children, level, out);
}

void BTree::Apply(const std::vector<Change>& changes) {
    if (changes.empty() && root_.ib != 0) return;
    std::vector<TreeRef> top;
    int level = rootLevel_;
    if (root_.ib == 0) {
        std::vector<uint8_t> entries;
        for (const Change& c : changes)
            if (c.entry) entries.insert(entries.end(), c.entry, c.entry + cbLeaf_);
        EmitLeaves(entries, top);
        level = 0;
    } else {
        Merge(root_, rootLevel_, changes.data(), changes.data() + changes.size(), top, 0);
    }
    while (top.size() > 1) {
        std::vector<TreeRef> up;
        EmitInner(top, ++level, up);
        top.swap(up);
    }
    if (top.empty()) {  // an empty tree is one empty leaf
        uint8_t page[512] = {};
        page[489] = cLeafMax_;
        page[490] = cbLeaf_;
        top.push_back(io_.WritePage(page, ptype_, 0));
        level = 0;
    }
    if (level > kMaxTreeDepth) Damaged(top[0].ib, "would lie deeper than any B-tree can");
    root_ = {0, top[0].bid, top[0].ib};
    rootLevel_ = level;
}

void BTree::Walk(const TreeRef& ref, int level, int depth, const std::function<void(const uint8_t*)>& entry,
                 const std::function<void(uint64_t)>& page) {
    uint8_t copy[512];
    std::memcpy(copy, Page(ref, level, depth), sizeof copy);
    const uint8_t cLevel = copy[491];
    if (page) page(ref.ib);
    for (size_t i = 0; i < copy[488]; ++i) {
        const uint8_t* p = copy + i * (cLevel == 0 ? cbLeaf_ : 24);
        if (cLevel == 0) {
            if (entry) entry(p);
        } else {
            Walk({Get64(p), Get64(p + 8), Get64(p + 16)}, cLevel - 1, depth + 1, entry, page);
        }
    }
}

void BTree::ForEach(const std::function<void(const uint8_t*)>& entry, const std::function<void(uint64_t)>& page) {
    if (root_.ib != 0) Walk(root_, rootLevel_, 0, entry, page);
}

}  // namespace pst::ndb
