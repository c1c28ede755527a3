#pragma once
// File space of a PST: allocation of pages and blocks above 0x4400, and the
// allocation-map pages ([MS-PST] 2.2.2.7.2-6) that describe it.
//
// Space is handed out from a high-water mark, never reused within a session:
// a freed range only becomes a hole, so nothing the last committed header
// refers to is ever overwritten. Holes are kept as coalesced ranges, which
// keeps the map exact at a cost of a few bytes per hole instead of a bitmap.
#include <cstdint>
#include <map>
#include <vector>

namespace pst::ndb {

class FileSink;

inline constexpr uint64_t kAMapBase = 0x4400;
inline constexpr uint64_t kAMapSpan = 0x3E000;  // 496 * 8 * 64 bytes
inline constexpr uint64_t kPageSize = 512;

class SpaceMap {
public:
    SpaceMap();

    // A range of `size` bytes (multiple of 64) aligned to `align`, inside one
    // AMap interval.
    uint64_t Allocate(uint64_t size, uint64_t align);
    void Release(uint64_t offset, uint64_t size);

    uint64_t Eof() const { return kAMapBase + intervals_ * kAMapSpan; }
    uint64_t LastAMap() const { return kAMapBase + (intervals_ - 1) * kAMapSpan; }
    uint64_t FreeBytes();
    uint64_t AllocatedBytes() { return (Eof() - kAMapBase) - FreeBytes(); }

    // Writes the map pages of every interval changed since the last call.
    void WriteMaps(FileSink& file);

private:
    void OpenInterval();
    void AddHole(uint64_t begin, uint64_t end);
    void Touch(uint64_t begin, uint64_t end);
    void Measure(uint64_t k, uint8_t* bits);

    uint64_t intervals_ = 0;
    uint64_t hwm_ = 0;
    std::map<uint64_t, uint64_t> holes_;  // begin -> end, coalesced, all below hwm_
    std::vector<uint8_t> dirty_;
    std::vector<uint16_t> freeSlots_;    // per interval, valid when not dirty
    std::vector<uint8_t> longestRun_;    // per interval, capped at 255
};

}  // namespace pst::ndb
