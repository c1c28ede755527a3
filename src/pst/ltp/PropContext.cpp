#include "PropContext.h"

#include <algorithm>
#include <cstring>

#include "Bth.h"
#include "pst/ndb/Error.h"

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

uint64_t WritePc(ndb::NodeDb& db, std::vector<PcProp> props, SubnodeSink& sink) {
    std::sort(props.begin(), props.end(), [](const PcProp& a, const PcProp& b) { return a.tag < b.tag; });
    for (size_t i = 1; i < props.size(); ++i)
        if ((props[i].tag >> 16) == (props[i - 1].tag >> 16)) throw PstError("duplicate property id in a PC");
    HeapBuilder heap(bTypePC);
    uint32_t header = ReserveBthHeader(heap);
    Bytes records;
    records.reserve(props.size() * 8);
    for (const PcProp& p : props) {
        uint16_t type = uint16_t(p.tag);
        uint32_t hnid = 0;
        if (IsInlineType(type)) {
            uint8_t v[4] = {};
            std::memcpy(v, p.value.data(), std::min<size_t>(4, p.value.size()));
            hnid = ndb::Get32(v);
        } else if (p.streamBid != 0) {
            hnid = sink.NewNid();
            sink.Add(hnid, p.streamBid);
        } else if (p.value.empty()) {
            hnid = 0;
        } else if (p.value.size() <= kMaxHeapItem) {
            hnid = heap.Allocate(p.value);
        } else {
            hnid = sink.NewNid();
            sink.Add(hnid, db.WriteData(p.value.data(), p.value.size(), sink.owned));
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
