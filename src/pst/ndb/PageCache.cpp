#include "PageCache.h"

#include <cstring>

namespace pst::ndb {

const uint8_t* PageCache::Find(uint64_t ib) {
    auto it = where_.find(ib);
    if (it == where_.end()) return nullptr;
    slots_.splice(slots_.begin(), slots_, it->second);
    return it->second->page.data();
}

const uint8_t* PageCache::Put(uint64_t ib, const uint8_t* page) {
    auto it = where_.find(ib);
    if (it != where_.end()) {
        slots_.splice(slots_.begin(), slots_, it->second);
    } else if (slots_.size() >= capacity_ && !slots_.empty()) {
        // The least recently used slot takes the new page.
        slots_.splice(slots_.begin(), slots_, std::prev(slots_.end()));
        where_.erase(slots_.front().ib);
        slots_.front().ib = ib;
        where_[ib] = slots_.begin();
    } else {
        slots_.push_front(Slot{ib, {}});
        where_[ib] = slots_.begin();
    }
    std::memcpy(slots_.front().page.data(), page, 512);
    return slots_.front().page.data();
}

void PageCache::Drop(uint64_t ib) {
    auto it = where_.find(ib);
    if (it == where_.end()) return;
    slots_.erase(it->second);
    where_.erase(it);
}

}  // namespace pst::ndb
