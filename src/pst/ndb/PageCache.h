#pragma once
// A bounded cache of 512-byte B-tree pages by file offset, least recently
// used out first: lookups in a tree of any size keep a few MB of it in memory.
#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <unordered_map>

namespace pst::ndb {

class PageCache {
public:
    explicit PageCache(size_t capacity) : capacity_(capacity) {}
    // The page at `ib`, or nullptr; valid until the next Put.
    const uint8_t* Find(uint64_t ib);
    // Keeps a copy of the page at `ib` (replacing one held there); returns it.
    const uint8_t* Put(uint64_t ib, const uint8_t* page);
    // The space at `ib` no longer holds that page.
    void Drop(uint64_t ib);
    size_t Size() const { return slots_.size(); }

private:
    struct Slot {
        uint64_t ib;
        std::array<uint8_t, 512> page;
    };
    size_t capacity_;
    std::list<Slot> slots_;  // most recently used first
    std::unordered_map<uint64_t, std::list<Slot>::iterator> where_;
};

}  // namespace pst::ndb
