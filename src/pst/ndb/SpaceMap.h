#pragma once
// File space of a PST: allocation of pages and blocks above 0x4400, and the
// allocation-map pages ([MS-PST] 2.2.2.7.2-6) that describe it.
//
// Space is handed out from holes that were already free at the last commit,
// else from a high-water mark. A range freed since the last commit is free in
// the maps but not reused until the next commit has landed, so nothing the
// committed header refers to is ever overwritten. Free space is kept as
// coalesced ranges: a few bytes per hole instead of a bitmap of the file.
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
    // The state written by the last commit is on disk: its free space may be reused.
    void Settle();
    // Blocks written for items not saved yet are free as far as a commit is
    // concerned, but their bytes must stay: free for the maps, then taken back.
    void LendForCommit(uint64_t offset, uint64_t size) { AddHole(offset, offset + (size + 63) / 64 * 64); }
    void TakeBack(uint64_t offset, uint64_t size);

private:
    void OpenInterval();
    void AddHole(uint64_t begin, uint64_t end);
    bool TakeFromHoles(uint64_t size, uint64_t align, uint64_t& offset);
    void Touch(uint64_t begin, uint64_t end);
    void Measure(uint64_t k, uint8_t* bits);

    uint64_t intervals_ = 0;
    uint64_t hwm_ = 0;
    std::map<uint64_t, uint64_t> holes_;     // begin -> end, coalesced, all below hwm_
    std::map<uint64_t, uint64_t> reusable_;  // the part of holes_ free at the last commit
    uint64_t reuseCursor_ = 0;               // first-fit scan position, reset at each commit
    std::vector<uint8_t> dirty_;
    std::vector<uint16_t> freeSlots_;    // per interval, valid when not dirty
    std::vector<uint8_t> longestRun_;    // per interval, capped at 255
};

}  // namespace pst::ndb
