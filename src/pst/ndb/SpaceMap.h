#pragma once
// File space of a PST: allocation of pages and blocks above 0x4400, and the
// allocation-map pages ([MS-PST] 2.2.2.7.2-6) that describe it.
//
// Space is handed out from holes that were already free at the last commit,
// else from a high-water mark. A range freed since the last commit is free in
// the maps but not reused until the next commit has landed, so nothing the
// committed header refers to is ever overwritten. Free space is kept as
// coalesced ranges: a few bytes per hole instead of a bitmap of the file.
//
// The file may extend past the interval allocation has reached by a reserve
// of whole intervals that hold nothing but their own map pages: the owner maps
// them (MapThrough) so that blocks written between commits land in space the
// committed maps call free, inside the committed end of file.
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

    uint64_t Eof() const { return kAMapBase + mapped_ * kAMapSpan; }
    uint64_t LastAMap() const { return kAMapBase + (mapped_ - 1) * kAMapSpan; }
    // Intervals of the file, and those allocation has reached (the rest are reserve).
    uint64_t Intervals() const { return mapped_; }
    uint64_t OpenedIntervals() const { return opened_; }
    // Where the intervals allocation has reached end: the file's size once closed.
    uint64_t OpenedEnd() const { return kAMapBase + opened_ * kAMapSpan; }
    // Makes the file at least `count` intervals long; the new ones are empty.
    void MapThrough(uint64_t count);
    // Forgets everything and maps `intervals` intervals of an opened file.
    void StartOpened(uint64_t intervals);
    // Drops whole intervals at the end that hold nothing but their map pages;
    // returns the free bytes they had.
    uint64_t TrimTail();
    // Writes the map pages of intervals [from, Intervals()) as they are when
    // empty, and the FMap pages that cover them; returns the free bytes of
    // those intervals. For growing a committed file without a full commit: the
    // maps of older intervals are left as committed.
    uint64_t WriteEmptyMaps(FileSink& file, uint64_t from);
    uint64_t FreeBytes();
    uint64_t AllocatedBytes() { return (Eof() - kAMapBase) - FreeBytes(); }

    // The space of an opened file of `intervals` intervals: everything but the
    // map pages and the `used` extents (offset, size) is free, and reusable at
    // once since the file's header refers to none of it. Throws PstError when
    // extents overlap each other or a map page.
    void Adopt(uint64_t intervals, std::vector<std::pair<uint64_t, uint64_t>> used);
    // The space of an opened file as its allocation map pages record it (when
    // its header says they are valid, with `freeBytes` free): an interval's
    // map is read when something first changes there, and only intervals
    // changed are written again. Throws PstError for a damaged map page.
    void AdoptMaps(FileSink& file, uint64_t intervals, uint64_t freeBytes);

    // Writes the map pages of every interval changed since the last call (an
    // adopted interval's only when the file's differ from what it holds).
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
    void WriteFMaps(FileSink& file, uint64_t from, uint64_t emptyFrom);
    void WriteReservedMaps(FileSink& file, uint64_t interval);
    void ReadMap(uint64_t interval);

    uint64_t opened_ = 0;  // intervals allocation has reached; hwm_ lies in the last one
    uint64_t mapped_ = 0;  // intervals of the file: opened_ and the reserve past them
    uint64_t hwm_ = 0;
    std::map<uint64_t, uint64_t> holes_;     // begin -> end, coalesced, all below hwm_
    std::map<uint64_t, uint64_t> reusable_;  // the part of holes_ free at the last commit
    uint64_t reuseCursor_ = 0;               // first-fit scan position, reset at each commit
    std::vector<uint8_t> dirty_;         // per interval: 0 clean, 1 changed, 2 adopted (compare once)
    std::vector<uint16_t> freeSlots_;    // per interval, valid when not dirty
    std::vector<uint8_t> longestRun_;    // per interval, capped at 255
    // An opened file's intervals whose maps are not read yet (nothing of this
    // session lies there), and their free slots as its header counts them.
    FileSink* mapSource_ = nullptr;
    std::vector<uint8_t> unread_;
    uint64_t unreadFree_ = 0;
};

}  // namespace pst::ndb
