#include "SpaceMap.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "Bytes.h"
#include "Crc.h"
#include "Error.h"
#include "FileSink.h"

namespace pst::ndb {
namespace {

constexpr uint64_t kSlotsPerMap = 496 * 8;
constexpr uint8_t kAdopted = 2;  // dirty_: an opened file's interval, its map pages as the file has them
constexpr uint8_t kPtypeFMap = 0x82, kPtypePMap = 0x83, kPtypeAMap = 0x84, kPtypeFPMap = 0x85;

bool HasPMap(uint64_t k) { return k % 8 == 0; }
bool HasFMap(uint64_t k) { return k >= 128 && (k - 128) % 496 == 0; }
bool HasFPMap(uint64_t k) { return k >= 8192 && (k - 8192) % (496 * 64) == 0; }

// Map pages carry their own offset as BID and a zero signature.
void SealMapPage(uint8_t* page, uint8_t ptype, uint64_t ib) {
    page[496] = ptype;
    page[497] = ptype;
    Put16(page + 498, 0);
    Put32(page + 500, Crc32(page, 496));
    Put64(page + 504, ib);
}

// Bits of an interval that holds only its map pages: one byte (8 slots) per page.
uint32_t EmptyBits(uint64_t k, uint8_t* bits) {
    std::memset(bits, 0, 496);
    bits[0] = 0xFF;
    uint32_t used = 8;
    if (HasPMap(k)) bits[1] = 0xFF, used += 8;
    if (HasFMap(k)) bits[2] = 0xFF, used += 8;
    if (HasFPMap(k)) bits[3] = 0xFF, used += 8;
    return uint32_t(kSlotsPerMap) - used;
}

}  // namespace

SpaceMap::SpaceMap() { OpenInterval(); }

void SpaceMap::OpenInterval() {
    uint64_t k = opened_++;
    if (k >= mapped_)
        MapThrough(opened_);
    else
        dirty_[k] = 1;
    uint64_t start = kAMapBase + k * kAMapSpan;
    uint64_t reservedEnd = start + kPageSize;
    if (HasPMap(k)) reservedEnd = start + 2 * kPageSize;
    if (HasFMap(k)) reservedEnd = start + 3 * kPageSize;
    if (HasFPMap(k)) reservedEnd = start + 4 * kPageSize;
    hwm_ = reservedEnd;
    // Slots between the fixed map pages that this interval does not use.
    if (HasFPMap(k) && !HasFMap(k)) AddHole(start + 2 * kPageSize, start + 3 * kPageSize);
}

void SpaceMap::MapThrough(uint64_t count) {
    uint8_t scratch[496];
    for (uint64_t k = mapped_; k < count; ++k) {
        dirty_.push_back(1);
        freeSlots_.push_back(uint16_t(EmptyBits(k, scratch)));
        longestRun_.push_back(255);
    }
    mapped_ = std::max(mapped_, count);
}

namespace {

void RemoveRange(std::map<uint64_t, uint64_t>& set, uint64_t begin, uint64_t end) {
    auto it = set.upper_bound(begin);
    if (it != set.begin()) --it;
    while (it != set.end() && it->first < end) {
        uint64_t b = it->first, e = it->second;
        if (e <= begin) {
            ++it;
            continue;
        }
        it = set.erase(it);
        if (b < begin) set.emplace(b, begin);
        if (e > end) set.emplace(end, e);
    }
}

}  // namespace

void SpaceMap::TakeBack(uint64_t offset, uint64_t size) {
    uint64_t end = offset + (size + 63) / 64 * 64;
    RemoveRange(holes_, offset, end);
    Touch(offset, end);
}

void SpaceMap::Settle() {
    reusable_ = holes_;
    reuseCursor_ = 0;
}

// First fit from a cursor that only moves forward between commits, so each
// hole is looked at about once per commit however many allocations fail.
bool SpaceMap::TakeFromHoles(uint64_t size, uint64_t align, uint64_t& offset) {
    for (auto it = reusable_.lower_bound(reuseCursor_); it != reusable_.end(); ++it) {
        uint64_t at = (it->first + align - 1) / align * align;
        if (at + size <= it->second) {
            offset = at;
            reuseCursor_ = it->first;
            RemoveRange(reusable_, at, at + size);
            RemoveRange(holes_, at, at + size);
            Touch(at, at + size);
            return true;
        }
        reuseCursor_ = it->second;
    }
    return false;
}

uint64_t SpaceMap::Allocate(uint64_t size, uint64_t align) {
    if (size == 0 || size % 64 != 0 || size > 8192) throw PstError("invalid allocation size");
    uint64_t reused = 0;
    if (!reusable_.empty() && TakeFromHoles(size, align, reused)) return reused;
    uint64_t intervalEnd = kAMapBase + opened_ * kAMapSpan;
    uint64_t offset = (hwm_ + align - 1) / align * align;
    if (offset + size > intervalEnd) {
        if (hwm_ < intervalEnd) AddHole(hwm_, intervalEnd);
        OpenInterval();
        offset = (hwm_ + align - 1) / align * align;
    }
    if (offset > hwm_) AddHole(hwm_, offset);
    hwm_ = offset + size;
    Touch(offset, hwm_);
    return offset;
}

void SpaceMap::Release(uint64_t offset, uint64_t size) {
    size = (size + 63) / 64 * 64;
    AddHole(offset, offset + size);
}

void SpaceMap::AddHole(uint64_t begin, uint64_t end) {
    if (begin >= end) return;
    Touch(begin, end);
    auto next = holes_.lower_bound(begin);
    if (next != holes_.begin()) {
        auto prev = std::prev(next);
        if (prev->second >= begin) {
            begin = prev->first;
            end = std::max(end, prev->second);
            holes_.erase(prev);
        }
    }
    while (next != holes_.end() && next->first <= end) {
        end = std::max(end, next->second);
        next = holes_.erase(next);
    }
    holes_.emplace(begin, end);
}

void SpaceMap::Touch(uint64_t begin, uint64_t end) {
    for (uint64_t k = (begin - kAMapBase) / kAMapSpan; k <= (end - 1 - kAMapBase) / kAMapSpan && k < mapped_; ++k) {
        if (k < unread_.size() && unread_[k]) ReadMap(k);  // what the file holds there, before it changes
        dirty_[k] = 1;
    }
}

namespace {

// Sets (or clears) the bits of slots [from, to), MSB first.
void SetSlots(uint8_t* bits, uint64_t from, uint64_t to, bool used) {
    auto one = [&](uint64_t s) {
        const uint8_t bit = uint8_t(0x80 >> (s % 8));
        if (used)
            bits[s / 8] |= bit;
        else
            bits[s / 8] &= uint8_t(~bit);
    };
    for (; from < to && from % 8; ++from) one(from);
    if (to - from >= 8) {
        std::memset(bits + from / 8, used ? 0xFF : 0, (to - from) / 8);
        from += (to - from) / 8 * 8;
    }
    for (; from < to; ++from) one(from);
}

}  // namespace

// Fills the 496 bytes of interval k's AMap, MSB first, and records its free
// slot count and longest free run.
void SpaceMap::Measure(uint64_t k, uint8_t* bits) {
    if (k >= opened_) {
        freeSlots_[k] = uint16_t(EmptyBits(k, bits));
        longestRun_[k] = 255;
        return;
    }
    uint64_t start = kAMapBase + k * kAMapSpan;
    uint64_t end = start + kAMapSpan;
    std::memset(bits, 0, 496);
    uint64_t usedEnd = std::min(hwm_, end);
    if (usedEnd > start) SetSlots(bits, 0, (usedEnd - start + 63) / 64, true);
    auto it = holes_.upper_bound(start);
    if (it != holes_.begin()) --it;
    for (; it != holes_.end() && it->first < end; ++it) {
        uint64_t b = std::max(it->first, start), e = std::min(it->second, end);
        if (b < e) SetSlots(bits, (b - start) / 64, (e - start) / 64, false);
    }
    uint32_t freeCount = 0, run = 0, longest = 0;
    for (size_t i = 0; i < 496; ++i) {
        const uint8_t v = bits[i];
        if (v == 0xFF) {
            run = 0;
            continue;
        }
        if (v == 0) {
            freeCount += 8;
            run += 8;
            longest = std::max(longest, run);
            continue;
        }
        for (int b = 7; b >= 0; --b) {
            if (v & (1 << b)) {
                run = 0;
            } else {
                ++freeCount;
                longest = std::max(longest, ++run);
            }
        }
    }
    freeSlots_[k] = uint16_t(freeCount);
    longestRun_[k] = uint8_t(std::min<uint32_t>(longest, 255));
}

uint64_t SpaceMap::FreeBytes() {
    uint8_t scratch[496];
    uint64_t total = unreadFree_;
    for (uint64_t k = 0; k < mapped_; ++k) {
        if (dirty_[k]) Measure(k, scratch);
        total += freeSlots_[k];
    }
    return total * 64;
}

// The PMap and FPMap pages the format still reserves in some intervals: all
// bits set, as readers expect of maps nobody keeps any more.
void SpaceMap::WriteReservedMaps(FileSink& file, uint64_t k) {
    uint64_t start = kAMapBase + k * kAMapSpan;
    uint8_t page[512];
    if (HasPMap(k)) {
        std::memset(page, 0xFF, 496);
        SealMapPage(page, kPtypePMap, start + kPageSize);
        file.Write(start + kPageSize, page, sizeof page);
    }
    if (HasFPMap(k)) {
        std::memset(page, 0xFF, 496);
        SealMapPage(page, kPtypeFPMap, start + 3 * kPageSize);
        file.Write(start + 3 * kPageSize, page, sizeof page);
    }
}

void SpaceMap::WriteMaps(FileSink& file) {
    uint8_t page[512], onDisk[512];
    bool anyDirty = false;
    for (uint64_t k = 0; k < mapped_; ++k) {
        if (!dirty_[k]) continue;
        uint64_t start = kAMapBase + k * kAMapSpan;
        std::memset(page, 0, sizeof page);
        Measure(k, page);
        SealMapPage(page, kPtypeAMap, start);
        // An interval of an opened file that nothing touched keeps its map
        // pages when they already say what it holds.
        const bool same = dirty_[k] == kAdopted && file.Read(start, onDisk, sizeof onDisk) &&
                          std::memcmp(page, onDisk, sizeof page) == 0;
        dirty_[k] = 0;
        if (same) continue;
        anyDirty = true;
        file.Write(start, page, sizeof page);
        WriteReservedMaps(file, k);
    }
    if (anyDirty) WriteFMaps(file, 128, mapped_);
}

// FMap page at interval 128 + 496 j covers the 496 AMaps from there on; the
// entries of intervals from `emptyFrom` on are those of empty intervals.
void SpaceMap::WriteFMaps(FileSink& file, uint64_t from, uint64_t emptyFrom) {
    uint8_t page[512];
    uint64_t first = from <= 128 ? 128 : 128 + (from - 128) / 496 * 496;
    for (uint64_t k = first; k < mapped_; k += 496) {
        std::memset(page, 0, sizeof page);
        for (uint64_t i = 0; i < 496 && k + i < mapped_; ++i) page[i] = k + i >= emptyFrom ? 255 : longestRun_[k + i];
        uint64_t ib = kAMapBase + k * kAMapSpan + 2 * kPageSize;
        SealMapPage(page, kPtypeFMap, ib);
        file.Write(ib, page, sizeof page);
    }
}

uint64_t SpaceMap::WriteEmptyMaps(FileSink& file, uint64_t from) {
    uint8_t page[512];
    uint64_t freeSlots = 0;
    for (uint64_t k = from; k < mapped_; ++k) {
        uint64_t start = kAMapBase + k * kAMapSpan;
        std::memset(page, 0, sizeof page);
        freeSlots += EmptyBits(k, page);
        SealMapPage(page, kPtypeAMap, start);
        file.Write(start, page, sizeof page);
        WriteReservedMaps(file, k);
        dirty_[k] = 1;  // the next commit writes what the interval really holds
    }
    if (mapped_ > 128 && from < mapped_) WriteFMaps(file, from, from);
    return freeSlots * 64;
}

uint64_t SpaceMap::TrimTail() {
    uint8_t scratch[496];
    uint64_t droppedFree = 0;
    while (mapped_ > 1) {
        uint64_t k = mapped_ - 1;
        uint64_t start = kAMapBase + k * kAMapSpan;
        if (k < opened_) {
            if (k < unread_.size() && unread_[k]) ReadMap(k);
            uint16_t empty = uint16_t(EmptyBits(k, scratch));
            Measure(k, scratch);
            if (freeSlots_[k] != empty) break;
            if (opened_ == 1) break;
            --opened_;
            hwm_ = start;  // the end of interval k - 1, whose unused rest is already a hole
        }
        droppedFree += EmptyBits(k, scratch) * 64ull;
        --mapped_;
        if (unread_.size() > mapped_) unread_.resize(mapped_);
        dirty_.pop_back();
        freeSlots_.pop_back();
        longestRun_.pop_back();
        RemoveRange(holes_, start, UINT64_MAX);
        RemoveRange(reusable_, start, UINT64_MAX);
    }
    if (reuseCursor_ > Eof()) reuseCursor_ = Eof();
    if (mapped_ > 0) dirty_[mapped_ - 1] = 1;
    return droppedFree;
}

void SpaceMap::StartOpened(uint64_t intervals) {
    if (intervals == 0) throw PstError("a file without allocation maps");
    opened_ = mapped_ = 0;
    dirty_.clear();
    freeSlots_.clear();
    longestRun_.clear();
    holes_.clear();
    unread_.clear();
    unreadFree_ = 0;
    MapThrough(intervals);
    opened_ = intervals;
    hwm_ = Eof();
}

void SpaceMap::Adopt(uint64_t intervals, std::vector<std::pair<uint64_t, uint64_t>> used) {
    StartOpened(intervals);
    std::sort(used.begin(), used.end());
    size_t next = 0;
    uint64_t last = kAMapBase;  // end of the previous extent
    for (uint64_t k = 0; k < intervals; ++k) {
        uint64_t start = kAMapBase + k * kAMapSpan, end = start + kAMapSpan;
        // The fixed map pages, as (begin, end) pieces in order.
        std::vector<std::pair<uint64_t, uint64_t>> fixed = {{start, start + kPageSize}};
        if (HasPMap(k)) fixed.push_back({start + kPageSize, start + 2 * kPageSize});
        if (HasFMap(k)) fixed.push_back({start + 2 * kPageSize, start + 3 * kPageSize});
        if (HasFPMap(k)) fixed.push_back({start + 3 * kPageSize, start + 4 * kPageSize});
        uint64_t at = start;
        size_t f = 0;
        while (at < end) {
            if (f < fixed.size() && fixed[f].first <= at) {
                at = std::max(at, fixed[f++].second);
                continue;
            }
            uint64_t limit = f < fixed.size() ? fixed[f].first : end;
            if (next < used.size() && used[next].first < limit) {
                auto [b, size] = used[next++];
                if (b < at || b < last) throw PstError("blocks or pages overlap at " + std::to_string(b));
                AddHole(at, b);
                at = last = b + size;
                if (at > limit) throw PstError("a block or page overlaps an allocation map at " + std::to_string(b));
                continue;
            }
            AddHole(at, limit);
            at = limit;
        }
    }
    if (next < used.size()) throw PstError("a block or page lies past the end of the file");
    // The file's own map pages may be stale (a crash before its last header) or
    // differ (space another writer leaked): each is compared once at the first commit.
    for (auto& d : dirty_) d = kAdopted;
    Settle();
}

}  // namespace pst::ndb
