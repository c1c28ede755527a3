#include "Bth.h"

#include <algorithm>

namespace pst::ltp {

namespace {

Bytes Header(uint8_t cbKey, uint8_t cbEnt, uint8_t levels, uint32_t root) {
    Bytes header{bTypeBTH, cbKey, cbEnt, levels};
    ndb::Append32(header, root);
    return header;
}

// Writes the record items and index levels; returns (levels, root HID).
std::pair<uint8_t, uint32_t> BuildLevels(HeapBuilder& heap, uint8_t cbKey, uint8_t cbEnt, const Bytes& records,
                                         size_t count) {
    uint8_t levels = 0;
    uint32_t root = 0;
    if (count > 0) {
        size_t recSize = cbKey + cbEnt;
        size_t perItem = kMaxHeapItem / recSize;
        // Each level: (first key, hid) of its items.
        std::vector<std::pair<Bytes, uint32_t>> level;
        for (size_t i = 0; i < count; i += perItem) {
            size_t n = std::min(perItem, count - i);
            uint32_t hid = heap.Allocate(records.data() + i * recSize, n * recSize);
            level.emplace_back(Bytes(records.begin() + long(i * recSize), records.begin() + long(i * recSize + cbKey)), hid);
        }
        size_t perIndex = kMaxHeapItem / (cbKey + 4u);
        while (level.size() > 1) {
            ++levels;
            std::vector<std::pair<Bytes, uint32_t>> up;
            for (size_t i = 0; i < level.size(); i += perIndex) {
                size_t n = std::min(perIndex, level.size() - i);
                Bytes item;
                for (size_t j = i; j < i + n; ++j) {
                    item.insert(item.end(), level[j].first.begin(), level[j].first.end());
                    ndb::Append32(item, level[j].second);
                }
                up.emplace_back(level[i].first, heap.Allocate(item));
            }
            level.swap(up);
        }
        root = level[0].second;
    }
    return {levels, root};
}

}  // namespace

uint32_t BuildBth(HeapBuilder& heap, uint8_t cbKey, uint8_t cbEnt, const Bytes& records, size_t count) {
    auto [levels, root] = BuildLevels(heap, cbKey, cbEnt, records, count);
    return heap.Allocate(Header(cbKey, cbEnt, levels, root));
}

uint32_t ReserveBthHeader(HeapBuilder& heap) { return heap.Allocate(Bytes(8, 0)); }

void FillBth(HeapBuilder& heap, uint32_t headerHid, uint8_t cbKey, uint8_t cbEnt, const Bytes& records, size_t count) {
    auto [levels, root] = BuildLevels(heap, cbKey, cbEnt, records, count);
    heap.Patch(headerHid, Header(cbKey, cbEnt, levels, root));
}

}  // namespace pst::ltp
