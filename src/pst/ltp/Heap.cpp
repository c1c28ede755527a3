#include "Heap.h"

#include <cstring>

#include "pst/ndb/Error.h"
#include "pst/ndb/Ids.h"

namespace pst::ltp {

bool IsBitmapPage(size_t i) { return i >= 8 && (i - 8) % 128 == 0; }

// Free-space bands of rgbFillLevel ([MS-PST] 2.3.1.2).
uint8_t FillLevel(size_t freeBytes) {
    static const size_t bands[] = {3584, 2560, 2048, 1792, 1536, 1280, 1024, 768, 512, 256, 128, 64, 32, 16, 8};
    for (uint8_t i = 0; i < 15; ++i)
        if (freeBytes >= bands[i]) return i;
    return 15;
}

void SetNibble(uint8_t* levels, size_t i, uint8_t v) {
    if (i % 2 == 0)
        levels[i / 2] = uint8_t((levels[i / 2] & 0xF0) | v);
    else
        levels[i / 2] = uint8_t((levels[i / 2] & 0x0F) | (v << 4));
}

HeapBuilder::HeapBuilder(uint8_t clientSig) : clientSig_(clientSig) {
    pages_.emplace_back();
    pages_.back().header = HeaderSize(0);
    // One allocation for what a page holds instead of one per doubling.
    pages_.back().items.reserve(ndb::kMaxBlockData);
}

size_t HeapBuilder::HeaderSize(size_t i) { return i == 0 ? 12 : IsBitmapPage(i) ? 66 : 2; }

// Bytes the page needs with `extraItems` more items of `extraBytes` in total.
size_t HeapBuilder::Used(const Page& p, size_t extraItems, size_t extraBytes) {
    size_t end = p.header + p.items.size() + extraBytes;
    end += end & 1;
    size_t n = p.starts.size() + extraItems;
    return end + 4 + 2 * (n + 1);
}

uint32_t HeapBuilder::Allocate(const uint8_t* data, size_t size) {
    if (size == 0 || size > kMaxHeapItem) throw PstError("heap item size out of range");
    Page* p = &pages_.back();
    if (Used(*p, 1, size) > ndb::kMaxBlockData || p->starts.size() >= 2047) {
        if (pages_.size() >= 0xFFFF) throw PstError("heap too large");
        pages_.emplace_back();
        p = &pages_.back();
        p->header = HeaderSize(pages_.size() - 1);
        p->items.reserve(ndb::kMaxBlockData);
        if (db_) {
            PageDone(pages_.size() - 2);
            p = &pages_.back();
        }
    }
    p->starts.push_back(uint16_t(p->header + p->items.size()));
    p->items.insert(p->items.end(), data, data + size);
    return uint32_t((pages_.size() - 1) << 16) | uint32_t(p->starts.size() << 5);
}

void HeapBuilder::Patch(uint32_t hid, const Bytes& b) {
    if (db_ && bids_.at(hid >> 16) != 0) throw PstError("heap page patched after it was written");
    Page& p = pages_.at(hid >> 16);
    size_t index = ((hid >> 5) & 0x7FF) - 1;
    size_t off = p.starts.at(index) - p.header;
    std::memcpy(p.items.data() + off, b.data(), b.size());
}

Bytes HeapBuilder::Serialize(size_t i, const std::vector<uint8_t>& levels) const {
    const Page& p = pages_[i];
    Bytes b;
    b.reserve(i + 1 < pages_.size() ? ndb::kMaxBlockData : Used(p, 0, 0));
    b.resize(p.header, 0);
    b.insert(b.end(), p.items.begin(), p.items.end());
    if (b.size() & 1) b.push_back(0);
    uint16_t ibHnpm = uint16_t(b.size());
    ndb::Append16(b, uint16_t(p.starts.size()));
    ndb::Append16(b, 0);
    for (uint16_t s : p.starts) ndb::Append16(b, s);
    ndb::Append16(b, uint16_t(p.header + p.items.size()));
    ndb::Put16(b.data(), ibHnpm);
    if (i == 0) {
        b[2] = 0xEC;
        b[3] = clientSig_;
        ndb::Put32(&b[4], userRoot_);
        for (size_t j = 0; j < 8 && j < pages_.size(); ++j) SetNibble(&b[8], j, levels[j]);
    } else if (IsBitmapPage(i)) {
        for (size_t j = 0; j < 128 && i + j < pages_.size(); ++j) SetNibble(&b[2], j, levels[i + j]);
    }
    if (i + 1 < pages_.size()) b.resize(ndb::kMaxBlockData, 0);
    return b;
}

std::vector<Bytes> HeapBuilder::Pages() const {
    std::vector<uint8_t> levels(pages_.size(), 0);
    for (size_t i = 0; i < pages_.size(); ++i) levels[i] = FillLevel(ndb::kMaxBlockData - Used(pages_[i], 0, 0));
    std::vector<Bytes> out;
    for (size_t i = 0; i < pages_.size(); ++i) out.push_back(Serialize(i, levels));
    return out;
}

std::vector<Bytes> HeapBuilder::TakePages() {
    std::vector<uint8_t> levels(pages_.size(), 0);
    for (size_t i = 0; i < pages_.size(); ++i) levels[i] = FillLevel(ndb::kMaxBlockData - Used(pages_[i], 0, 0));
    std::vector<Bytes> out;
    out.reserve(pages_.size());
    for (size_t i = 0; i < pages_.size(); ++i) {
        out.push_back(Serialize(i, levels));
        Bytes().swap(pages_[i].items);  // sizes and starts stay: later pages' headers need them
    }
    return out;
}

void HeapBuilder::StreamTo(ndb::NodeDb& db, ndb::BlockList* owned) {
    db_ = &db;
    owned_ = owned;
    levels_.clear();
    bids_.assign(pages_.size(), 0);
    for (size_t i = 0; i + 1 < pages_.size(); ++i) PageDone(i);
}

void HeapBuilder::PageDone(size_t done) {
    levels_.resize(pages_.size(), 0);
    bids_.resize(pages_.size(), 0);
    levels_[done] = FillLevel(ndb::kMaxBlockData - Used(pages_[done], 0, 0));
    if (done != 0 && !IsBitmapPage(done)) WritePage(done);
    // A bitmap page's last covered page is done: its levels are complete.
    if (done >= 8 + 127 && IsBitmapPage(done - 127)) WritePage(done - 127);
}

void HeapBuilder::WritePage(size_t i) {
    const Bytes b = Serialize(i, levels_);
    bids_[i] = db_->WriteDataBlock(b.data(), b.size(), owned_);
    Bytes().swap(pages_[i].items);
    std::vector<uint16_t>().swap(pages_[i].starts);
}

uint64_t HeapBuilder::Write(ndb::NodeDb& db, ndb::BlockList* owned) {
    if (!db_) return db.WritePages(TakePages(), owned);
    const size_t last = pages_.size() - 1;
    levels_.resize(pages_.size(), 0);
    bids_.resize(pages_.size(), 0);
    levels_[last] = FillLevel(ndb::kMaxBlockData - Used(pages_[last], 0, 0));
    uint64_t lastSize = 0;
    for (size_t i = 0; i <= last; ++i) {
        if (bids_[i] != 0) continue;
        if (i == last) lastSize = Serialize(i, levels_).size();
        WritePage(i);
    }
    return db.WriteDataTree(bids_, uint64_t(last) * ndb::kMaxBlockData + lastSize, owned);
}

}  // namespace pst::ltp
