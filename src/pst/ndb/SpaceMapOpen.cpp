// The space of an opened file as its allocation maps record it, read an
// interval at a time when something first changes there: opening a file of
// any size reads its FMap pages (one per 496 intervals), not every map.
#include <algorithm>
#include <cstring>
#include <string>

#include "Bytes.h"
#include "Crc.h"
#include "Error.h"
#include "FileSink.h"
#include "SpaceMap.h"

namespace pst::ndb {
namespace {

constexpr uint64_t kSlots = 496 * 8;

// A map page carries its own offset as its id.
bool ReadMapPage(FileSink& file, uint64_t ib, uint8_t ptype, uint8_t* page) {
    return file.Read(ib, page, kPageSize) && page[496] == ptype && page[497] == ptype &&
           Get32(page + 500) == Crc32(page, 496) && Get64(page + 504) == ib;
}

}  // namespace

void SpaceMap::AdoptMaps(FileSink& file, uint64_t intervals, uint64_t freeBytes) {
    StartOpened(intervals);
    // The longest free runs of the intervals the FMaps cover, written back as
    // read until an interval's map is read.
    uint8_t page[512];
    for (uint64_t k = 128; k < intervals; k += 496) {
        const uint64_t ib = kAMapBase + k * kAMapSpan + 2 * kPageSize;
        if (!ReadMapPage(file, ib, 0x82, page)) throw PstError("the free-space map at " + std::to_string(ib) + " is damaged");
        for (uint64_t i = 0; i < 496 && k + i < intervals; ++i) longestRun_[k + i] = page[i];
    }
    for (uint64_t k = 0; k < intervals; ++k) freeSlots_[k] = 0;
    for (auto& d : dirty_) d = 0;
    unread_.assign(intervals, 1);
    unreadFree_ = freeBytes / 64;
    mapSource_ = &file;
    Settle();
}

void SpaceMap::ReadMap(uint64_t k) {
    unread_[k] = 0;
    const uint64_t start = kAMapBase + k * kAMapSpan;
    uint8_t page[512];
    if (!ReadMapPage(*mapSource_, start, 0x84, page))
        throw PstError("the allocation map at " + std::to_string(start) + " is damaged");
    // The interval's own map pages stay in use whatever its bits say.
    const bool fixed[4] = {true, k % 8 == 0, k >= 128 && (k - 128) % 496 == 0,
                           k >= 8192 && (k - 8192) % (496 * 64) == 0};
    uint32_t freeCount = 0, run = 0, longest = 0;
    uint64_t runStart = 0;
    for (uint64_t s = 0; s <= kSlots; ++s) {
        bool used = true;
        if (s < kSlots) {
            const uint8_t byte = page[s / 8];
            if (byte == 0xFF && s % 8 == 0 && run == 0) {  // eight used slots at once
                s += 7;
                continue;
            }
            used = (byte & (0x80 >> (s % 8))) != 0 || (s < 32 && fixed[s / 8]);
        }
        if (!used) {
            if (run++ == 0) runStart = s;
            ++freeCount;
            continue;
        }
        if (run > 0) {
            // Free at the last commit: reusable at once.
            AddHole(start + runStart * 64, start + (runStart + run) * 64);
            reusable_[start + runStart * 64] = start + (runStart + run) * 64;
            longest = std::max(longest, run);
            run = 0;
        }
    }
    unreadFree_ -= std::min<uint64_t>(unreadFree_, freeCount);
    freeSlots_[k] = uint16_t(freeCount);
    longestRun_[k] = uint8_t(std::min<uint32_t>(longest, 255));
}

}  // namespace pst::ndb
