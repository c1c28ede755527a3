#include "PropContext.h"

#include <algorithm>
#include <cstring>

#include "Bth.h"
#include "pst/ndb/Error.h"
#include "pst/ndb/Ids.h"

namespace pst::ltp {

bool IsInlineType(uint16_t type) {
    switch (type) {
    case 0x0002: case 0x0003: case 0x0004: case 0x000A: case 0x000B: return true;
    default: return false;
    }
}

size_t FixedSize(uint16_t type) {
    switch (type) {
    case 0x000B: return 1;
    case 0x0002: return 2;
    case 0x0003: case 0x0004: case 0x000A: return 4;
    case 0x0005: case 0x0006: case 0x0007: case 0x0014: case 0x0040: return 8;
    case 0x0048: return 16;
    default: return 0;
    }
}

namespace {

PcPlace PlaceOf(const PcProp& p) {
    if (IsInlineType(uint16_t(p.tag))) return PcPlace::Inline;
    if (p.streamBid != 0) return PcPlace::Stream;
    if (p.value.empty()) return PcPlace::Empty;
    return p.value.size() <= kMaxHeapItem ? PcPlace::Heap : PcPlace::Subnode;
}

// Moves the largest variable-size heap values to subnodes until the heap fits
// kMaxPcHeapPages. Fixed-size values stay in the heap, where readers expect them.
void KeepHeapShort(const std::vector<PcProp>& props, std::vector<PcPlace>& places) {
    std::vector<size_t> movable;
    for (size_t i = 0; i < props.size(); ++i)
        if (places[i] == PcPlace::Heap && FixedSize(uint16_t(props[i].tag)) == 0) movable.push_back(i);
    std::stable_sort(movable.begin(), movable.end(),
                     [&](size_t a, size_t b) { return props[a].value.size() > props[b].value.size(); });
    for (size_t next = 0; next < movable.size() && PcHeapPages(props, places) > kMaxPcHeapPages; ++next)
        places[movable[next]] = PcPlace::Subnode;
}

}  // namespace

size_t PcHeapPages(const std::vector<PcProp>& props, const std::vector<PcPlace>& places) {
    HeapBuilder heap(bTypePC);
    uint32_t header = ReserveBthHeader(heap);
    for (size_t i = 0; i < props.size(); ++i)
        if (places[i] == PcPlace::Heap) heap.Allocate(Bytes(props[i].value.size(), 0));
    FillBth(heap, header, 2, 6, Bytes(props.size() * 8, 0), props.size());
    return heap.PageCount();
}

std::vector<PcPlace> PlacePcValues(const std::vector<PcProp>& props) {
    std::vector<PcPlace> places(props.size());
    size_t heapBytes = 0;
    for (size_t i = 0; i < props.size(); ++i) {
        places[i] = PlaceOf(props[i]);
        if (places[i] == PcPlace::Heap) heapBytes += props[i].value.size();
    }
    // What fits in two pages' bytes cannot be laid out over more than eight.
    if (heapBytes + props.size() * 12 > 2 * ndb::kMaxBlockData) KeepHeapShort(props, places);
    return places;
}

uint64_t WritePc(ndb::NodeDb& db, std::vector<PcProp> props, SubnodeSink& sink) {
    std::sort(props.begin(), props.end(), [](const PcProp& a, const PcProp& b) { return a.tag < b.tag; });
    for (size_t i = 1; i < props.size(); ++i)
        if ((props[i].tag >> 16) == (props[i - 1].tag >> 16)) throw PstError("duplicate property id in a PC");
    std::vector<PcPlace> places = PlacePcValues(props);
    HeapBuilder heap(bTypePC);
    uint32_t header = ReserveBthHeader(heap);
    Bytes records;
    records.reserve(props.size() * 8);
    for (size_t i = 0; i < props.size(); ++i) {
        const PcProp& p = props[i];
        uint16_t type = uint16_t(p.tag);
        uint32_t hnid = 0;
        switch (places[i]) {
        case PcPlace::Inline: {
            uint8_t v[4] = {};
            std::memcpy(v, p.value.data(), std::min<size_t>(4, p.value.size()));
            hnid = ndb::Get32(v);
            break;
        }
        case PcPlace::Stream:
            hnid = sink.NewNid();
            sink.Add(hnid, p.streamBid);
            break;
        case PcPlace::Empty: hnid = 0; break;
        case PcPlace::Heap: hnid = heap.Allocate(p.value); break;
        case PcPlace::Subnode:
            hnid = sink.NewNid();
            sink.Add(hnid, db.WriteData(p.value.data(), p.value.size(), sink.owned));
            break;
        }
        ndb::Append16(records, uint16_t(p.tag >> 16));
        ndb::Append16(records, type);
        ndb::Append32(records, hnid);
    }
    FillBth(heap, header, 2, 6, records, props.size());
    heap.SetUserRoot(header);
    return db.WritePages(heap.TakePages(), sink.owned);
}

}  // namespace pst::ltp
