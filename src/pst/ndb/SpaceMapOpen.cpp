// The space of an opened file as its allocation maps record it: one map page
// read per interval instead of every block of the file.
#include <algorithm>
#include <cstring>
#include <string>

#include "Bytes.h"
#include "Crc.h"
#include "Error.h"
#include "FileSink.h"
#include "SpaceMap.h"

namespace pst::ndb {

void SpaceMap::AdoptMaps(FileSink& file, uint64_t intervals) {
    if (intervals == 0) throw PstError("a file without allocation maps");
    opened_ = mapped_ = 0;
    dirty_.clear();
    freeSlots_.clear();
    longestRun_.clear();
    holes_.clear();
    MapThrough(intervals);
    opened_ = intervals;
    hwm_ = Eof();
    constexpr uint64_t kSlots = 496 * 8;
    uint8_t page[512];
    for (uint64_t k = 0; k < intervals; ++k) {
        const uint64_t start = kAMapBase + k * kAMapSpan;
        if (!file.Read(start, page, sizeof page) || page[496] != 0x84 || page[497] != 0x84 ||
            Get32(page + 500) != Crc32(page, 496) || Get64(page + 504) != start)
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
                AddHole(start + runStart * 64, start + (runStart + run) * 64);
                longest = std::max(longest, run);
                run = 0;
            }
        }
        freeSlots_[k] = uint16_t(freeCount);
        longestRun_[k] = uint8_t(std::min<uint32_t>(longest, 255));
    }
    // The maps on disk are what they say: only intervals changed from now on are written.
    for (auto& d : dirty_) d = 0;
    Settle();
}

}  // namespace pst::ndb
