#pragma once
// Heap-on-node builder ([MS-PST] 2.3.1): small allocations packed into pages,
// one page per data block, with the page maps, bitmap headers and fill levels.
#include <cstdint>
#include <vector>

#include "pst/ndb/Bytes.h"
#include "pst/ndb/NodeDb.h"

namespace pst::ltp {

using ndb::Bytes;

inline constexpr size_t kMaxHeapItem = 3580;

enum ClientSig : uint8_t { bTypeTC = 0x7C, bTypeBTH = 0xB5, bTypePC = 0xBC };

// Page 8 and every 128th after it carry the fill levels of the pages they
// start (HNBITMAPHDR); page 0 those of pages 0..7.
bool IsBitmapPage(size_t pageIndex);
// The rgbFillLevel band of a page with `freeBytes` free.
uint8_t FillLevel(size_t freeBytes);
// Sets the i-th 4-bit level of a fill-level array (even i in the low nibble).
void SetNibble(uint8_t* levels, size_t i, uint8_t v);

class HeapBuilder {
public:
    explicit HeapBuilder(uint8_t clientSig);
    // Returns the HID of a new item of 1..3580 bytes.
    uint32_t Allocate(const uint8_t* data, size_t size);
    uint32_t Allocate(const Bytes& b) { return Allocate(b.data(), b.size()); }
    // Overwrites an item with bytes of the same size.
    void Patch(uint32_t hid, const Bytes& b);
    void SetUserRoot(uint32_t hid) { userRoot_ = hid; }
    size_t PageCount() const { return pages_.size(); }
    // The pages as block contents; all but the last are padded to 8176 bytes.
    std::vector<Bytes> Pages() const;
    // The same, giving up the builder's copy page by page (the builder is spent).
    std::vector<Bytes> TakePages();

    // From now on, every page no later allocation can change is written to `db`
    // as soon as the next one starts: all but the first page and the bitmap
    // pages, whose fill levels cover later pages and which wait for them. A
    // table of a million rows then holds a page or two, not its whole heap.
    void StreamTo(ndb::NodeDb& db, ndb::BlockList* owned);
    // Writes the pages still held and the tree over all of them (the builder is
    // spent); the node's data bid. Without StreamTo, the same as WritePages.
    uint64_t Write(ndb::NodeDb& db, ndb::BlockList* owned);

private:
    struct Page {
        size_t header = 0;
        Bytes items;                   // item bytes, packed after the header
        std::vector<uint16_t> starts;  // start offsets within the page
    };
    static size_t HeaderSize(size_t pageIndex);
    static size_t Used(const Page& p, size_t extraItems, size_t extraBytes);
    Bytes Serialize(size_t i, const std::vector<uint8_t>& levels) const;
    // Called when page `done` is full and the next one exists.
    void PageDone(size_t done);
    void WritePage(size_t i);

    uint8_t clientSig_;
    uint32_t userRoot_ = 0;
    std::vector<Page> pages_;
    // Streaming: the pages' fill levels once known, and the bids of pages written (0: held).
    ndb::NodeDb* db_ = nullptr;
    ndb::BlockList* owned_ = nullptr;
    std::vector<uint8_t> levels_;
    std::vector<uint64_t> bids_;
};

}  // namespace pst::ltp
