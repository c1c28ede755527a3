// LTP layer: heap-on-node, BTree-on-heap, property contexts and table contexts.
#include <algorithm>

#include "Internal.h"

namespace pst::verify::detail {

namespace {

// Size in bytes of a fixed-size property type, 0 for variable-size types, -1 for unknown.
int FixedSize(uint16_t type) {
    switch (type) {
        case 0x0002: return 2;
        case 0x0003: case 0x0004: case 0x000A: return 4;
        case 0x000B: return 1;
        case 0x0005: case 0x0006: case 0x0007: case 0x0014: case 0x0040: return 8;
        case 0x0048: return 16;
        case 0x000D: case 0x001E: case 0x001F: case 0x0102: case 0x00FB: case 0x00FD: case 0x00FE: return 0;
        default: return -1;
    }
}

bool InPlaceInPc(uint16_t type) {
    return type == 0x0002 || type == 0x0003 || type == 0x0004 || type == 0x000A || type == 0x000B;
}

bool KnownType(uint16_t type) {
    if (type & 0x1000) {
        const uint16_t base = type & 0x0FFF;
        return base == 0x0002 || base == 0x0003 || base == 0x0004 || base == 0x0005 || base == 0x0006 ||
               base == 0x0007 || base == 0x0014 || base == 0x0040 || base == 0x0048 || base == 0x001E ||
               base == 0x001F || base == 0x0102;
    }
    return FixedSize(type) >= 0;
}

uint64_t KeyValue(std::span<const uint8_t> k) {
    uint64_t v = 0;
    for (size_t i = std::min<size_t>(k.size(), 8); i-- > 0;) v = (v << 8) | k[i];
    return v;
}

}  // namespace

namespace {

size_t PageHeaderSize(size_t page) {
    if (page == 0) return 12;
    if (page >= 8 && (page - 8) % 128 == 0) return 66;
    return 2;
}

}  // namespace

void Heap::Keep(size_t page, Bytes&& bytes) {
    Page p;
    p.bytes = std::move(bytes);
    const uint16_t ibHnpm = U16(p.bytes.data());
    const uint16_t cAlloc = U16(p.bytes.data() + ibHnpm);
    const uint8_t* map = p.bytes.data() + ibHnpm + 4;
    for (uint16_t a = 0; a < cAlloc; ++a) p.allocs.emplace_back(U16(map + 2 * a), U16(map + 2 * (a + 1)));
    cache.push_back(std::move(p));
    cached.push_back(page);
}

const Heap::Page* Heap::Load(size_t page) const {
    if (lastSlot < cached.size() && cached[lastSlot] == page) return &cache[lastSlot];
    for (size_t slot = 0; slot < cached.size(); ++slot)
        if (cached[slot] == page) return &cache[lastSlot = slot];
    size_t slot = 0;
    if (cache.size() < kResident) {
        slot = cache.size();
        cache.emplace_back();
        cached.push_back(SIZE_MAX);
    } else {
        slot = nextSlot++ % kResident;
    }
    Page& p = cache[slot];
    cached[slot] = SIZE_MAX;
    p.allocs.clear();
    if (!ctx->ReadBlock(pageBids[page], p.bytes)) p.bytes.clear();
    if (pageOk[page]) {
        // The page map was found sound when the heap was parsed.
        const uint16_t ibHnpm = U16(p.bytes.data());
        const uint16_t cAlloc = U16(p.bytes.data() + ibHnpm);
        const uint8_t* map = p.bytes.data() + ibHnpm + 4;
        for (uint16_t a = 0; a < cAlloc; ++a) p.allocs.emplace_back(U16(map + 2 * a), U16(map + 2 * (a + 1)));
    }
    cached[slot] = page;
    lastSlot = slot;
    return &p;
}

std::optional<std::span<const uint8_t>> Heap::Item(uint32_t hid, std::string* why) const {
    if ((hid & 0x1F) != 0) {
        if (why) *why = "HID " + Hex(hid) + " has a non-zero hidType";
        return std::nullopt;
    }
    const uint32_t index = (hid >> 5) & 0x7FF;
    const uint32_t page = hid >> 16;
    if (page >= PageCount()) {
        if (why) *why = "HID " + Hex(hid) + " names heap page " + std::to_string(page) + ", but the heap has " +
                        std::to_string(PageCount());
        return std::nullopt;
    }
    const Page* p = Load(page);
    if (index == 0 || index > p->allocs.size()) {
        if (why) *why = "HID " + Hex(hid) + " names item " + std::to_string(index) + " of page " + std::to_string(page) +
                        ", which has " + std::to_string(p->allocs.size());
        return std::nullopt;
    }
    const auto [a, b] = p->allocs[index - 1];
    return std::span<const uint8_t>(p->bytes.data() + a, b - a);
}

bool Context::ParseHeap(uint64_t bidData, const std::string& where, Heap& heap) {
    if (bidData == 0) {
        Fault(where, "node has no data (bidData 0) where a heap-on-node is expected");
        return false;
    }
    heap.ctx = this;
    if (!StreamBids(bidData, heap.pageBids, where)) return false;
    heap.pageOk.assign(heap.pageBids.size(), 0);
    report.maxHeapPages = std::max(report.maxHeapPages, heap.pageBids.size());
    bool ok = true;
    Bytes pg;
    for (size_t i = 0; i < heap.pageBids.size(); ++i) {
        if (!ReadBlock(heap.pageBids[i], pg)) return false;
        const std::string pw = where + " heap page " + std::to_string(i);
        const size_t hdr = PageHeaderSize(i);
        if (pg.size() < hdr + 4) {
            Fault(pw, "page of " + std::to_string(pg.size()) + " bytes is too short for its header and page map");
            ok = false;
            continue;
        }
        if (i == 0) {
            if (pg[2] != 0xEC) {
                Fault(pw, "HNHDR bSig " + Hex(pg[2]) + ", expected 0xec");
                return false;
            }
            heap.clientSig = pg[3];
            heap.hidUserRoot = U32(pg.data() + 4);
        }
        const uint16_t ibHnpm = U16(pg.data());
        if (ibHnpm < hdr || size_t(ibHnpm) + 4 > pg.size()) {
            Fault(pw, "ibHnpm " + std::to_string(ibHnpm) + " is outside the page (" + std::to_string(pg.size()) + " bytes)");
            ok = false;
            continue;
        }
        if (ibHnpm % 2) Fault(pw, "ibHnpm " + std::to_string(ibHnpm) + " is not 2-byte aligned");
        const uint16_t cAlloc = U16(pg.data() + ibHnpm);
        const uint16_t cFree = U16(pg.data() + ibHnpm + 2);
        if (size_t(ibHnpm) + 4 + 2 * (size_t(cAlloc) + 1) > pg.size()) {
            Fault(pw, "page map with cAlloc " + std::to_string(cAlloc) + " runs past the page end");
            ok = false;
            continue;
        }
        const uint8_t* map = pg.data() + ibHnpm + 4;
        if (U16(map) != hdr)
            Fault(pw, "first allocation starts at " + std::to_string(U16(map)) + ", expected " + std::to_string(hdr) +
                          " right after the page header");
        size_t zero = 0;
        bool mapOk = true;
        for (uint16_t a = 0; a < cAlloc; ++a) {
            const uint16_t from = U16(map + 2 * a), to = U16(map + 2 * (a + 1));
            if (to < from || to > ibHnpm || from < hdr) {
                Fault(pw, "allocation " + std::to_string(a + 1) + " [" + std::to_string(from) + ", " + std::to_string(to) +
                              ") is not inside the item area ending at ibHnpm " + std::to_string(ibHnpm));
                mapOk = false;
                break;
            }
            if (size_t(to - from) > kMaxHeapItem)
                Fault(pw, "allocation " + std::to_string(a + 1) + " of " + std::to_string(to - from) +
                              " bytes exceeds the 3580-byte heap item maximum");
            if (to == from) ++zero;
        }
        if (!mapOk) {
            ok = false;
            continue;
        }
        heap.pageOk[i] = 1;
        if (i < Heap::kResident) heap.Keep(i, std::move(pg));
        if (zero != cFree)
            Fault(pw, "cFree " + std::to_string(cFree) + " differs from the " + std::to_string(zero) + " freed (empty) allocations");
    }
    return ok;
}

bool Context::ParseBth(const Heap& heap, uint32_t hidHeader, uint8_t cbKey, uint8_t cbEnt, const std::string& where,
                       const BthSink& record) {
    std::string why;
    auto hdr = heap.Item(hidHeader, &why);
    if (!hdr) {
        Fault(where, "BTH header: " + why);
        return false;
    }
    if (hdr->size() != 8) {
        Fault(where, "BTH header item is " + std::to_string(hdr->size()) + " bytes, expected 8");
        return false;
    }
    const uint8_t* h = hdr->data();
    if (h[0] != 0xB5) {
        Fault(where, "BTH header bType " + Hex(h[0]) + ", expected 0xb5");
        return false;
    }
    if (h[1] != cbKey || h[2] != cbEnt) {
        Fault(where, "BTH cbKey/cbEnt " + std::to_string(h[1]) + "/" + std::to_string(h[2]) + ", expected " +
                         std::to_string(cbKey) + "/" + std::to_string(cbEnt));
        return false;
    }
    const uint8_t levels = h[3];
    const uint32_t hidRoot = U32(h + 4);
    if (hidRoot == 0) {
        if (levels != 0) Fault(where, "empty BTH (hidRoot 0) with bIdxLevels " + std::to_string(levels));
        return true;
    }
    report.maxBthLevels = std::max<size_t>(report.maxBthLevels, levels);
    if (levels > 8) {
        Fault(where, "BTH bIdxLevels " + std::to_string(levels) + " is implausible");
        return false;
    }
    bool ok = true;
    size_t visited = 0;
    // Walks one BTH node; its first key must equal the parent's key (hasLow).
    auto walk = [&](auto&& self, uint32_t hid, int level, bool hasLow, uint64_t low, bool hasHigh, uint64_t high) -> void {
        if (++visited > 100000) {
            if (visited == 100001) Fault(where, "BTH has more than 100000 nodes (a loop between levels?)");
            ok = false;
            return;
        }
        std::string w;
        auto found = heap.Item(hid, &w);
        if (!found) {
            Fault(where, "BTH level " + std::to_string(level) + " node: " + w);
            ok = false;
            return;
        }
        // Held apart: reading the levels below may replace the heap page it is on.
        const Bytes copy(found->begin(), found->end());
        const std::span<const uint8_t> node(copy);
        const std::span<const uint8_t>* item = &node;
        const size_t rec = cbKey + (level > 0 ? 4 : cbEnt);
        if (item->empty() || item->size() % rec != 0) {
            Fault(where, "BTH level " + std::to_string(level) + " node " + Hex(hid) + " of " + std::to_string(item->size()) +
                             " bytes is not a whole number of " + std::to_string(rec) + "-byte records");
            ok = false;
            return;
        }
        const size_t n = item->size() / rec;
        uint64_t prev = 0;
        for (size_t i = 0; i < n; ++i) {
            auto key = item->subspan(i * rec, cbKey);
            const uint64_t k = KeyValue(key);
            if (i > 0 && k <= prev) {
                Fault(where, "BTH node " + Hex(hid) + ": key " + Hex(k) + " is not above the previous key " + Hex(prev));
                ok = false;
            }
            if (i == 0 && hasLow && k != low)
                Fault(where, "BTH node " + Hex(hid) + ": first key " + Hex(k) + " differs from its parent's key " + Hex(low));
            if (hasHigh && k >= high)
                Fault(where, "BTH node " + Hex(hid) + ": key " + Hex(k) + " is not below the next parent key " + Hex(high));
            prev = k;
            if (level == 0) {
                record(key, item->subspan(i * rec + cbKey, cbEnt));
            } else {
                const bool nh = i + 1 < n;
                const uint64_t next = nh ? KeyValue(item->subspan((i + 1) * rec, cbKey)) : high;
                self(self, U32(item->data() + i * rec + cbKey), level - 1, true, k, nh || hasHigh, next);
            }
        }
    };
    walk(walk, hidRoot, levels, false, 0, false, 0);
    return ok;
}

bool Context::ResolveHnid(const Heap& heap, const Subnodes& subs, uint32_t hnid, uint16_t type, const std::string& where,
                          const std::string& what, Value& value) {
    value.type = type;
    value.bytes.clear();
    if (hnid == 0) return true;  // empty value
    if ((hnid & 0x1F) == 0) {
        std::string why;
        auto item = heap.Item(hnid, &why);
        if (!item) {
            Fault(where, what + ": " + why);
            value.resolved = false;
            return false;
        }
        value.bytes.assign(item->begin(), item->end());
        return true;
    }
    auto it = subs.find(hnid);
    if (it == subs.end()) {
        Fault(where, what + ": subnode " + Hex(hnid) + " named by its HNID does not exist");
        value.resolved = false;
        return false;
    }
    if (it->second.bidData == 0) return true;
    std::vector<uint64_t> bids;
    if (!StreamBids(it->second.bidData, bids, where + " subnode " + Hex(hnid))) {
        value.resolved = false;
        return false;
    }
    uint64_t total = 0;
    for (uint64_t bid : bids) total += Block(bid)->cb;
    // Attachment data and other large binaries: no check looks into them (their
    // blocks and trees are checked with the NDB), so only their size is kept.
    if (type == 0x0102 && total > kLargeBinary) {
        value.notKept = total;
        return true;
    }
    value.bytes.reserve(total);
    Bytes block;
    for (uint64_t bid : bids) {
        if (!ReadBlock(bid, block)) {
            value.resolved = false;
            return false;
        }
        value.bytes.insert(value.bytes.end(), block.begin(), block.end());
    }
    return true;
}

namespace {

// Checks the size/shape of a resolved variable or fixed value; returns a problem or "".
std::string ValueShape(const Value& v) {
    const uint16_t type = v.type;
    const size_t n = v.bytes.size();
    if (type & 0x1000) {
        const int fixed = FixedSize(type & 0x0FFF);
        if (fixed > 0) {
            if (n % fixed) return "multi-valued value of " + std::to_string(n) + " bytes is not a multiple of " + std::to_string(fixed);
            return "";
        }
        if (n == 0) return "";
        if (n < 4) return "multi-valued value of " + std::to_string(n) + " bytes has no count";
        const uint32_t count = U32(v.bytes.data());
        if (4 + 4 * uint64_t(count) > n) return "multi-valued count " + std::to_string(count) + " does not fit its " + std::to_string(n) + " bytes";
        uint32_t prev = 4 + 4 * count;
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t off = U32(v.bytes.data() + 4 + 4 * i);
            if (off < prev || off > n)
                return "multi-valued element " + std::to_string(i) + " offset " + std::to_string(off) + " is out of order or range";
            prev = off;
        }
        return "";
    }
    const int fixed = FixedSize(type);
    if (fixed > 2 && n != size_t(fixed) && !InPlaceInPc(type))
        return "value of " + std::to_string(n) + " bytes, expected " + std::to_string(fixed);
    if (type == 0x000D && n != 8) return "object value of " + std::to_string(n) + " bytes, expected 8";
    if (type == 0x001F && n % 2) return "UTF-16 string of odd length " + std::to_string(n);
    return "";
}

}  // namespace

bool Context::ParsePc(uint64_t bidData, const Subnodes& subs, const std::string& where, PropertyContext& pc) {
    Heap heap;
    if (!ParseHeap(bidData, where, heap)) return false;
    ++report.propertyContexts;
    if (heap.clientSig != 0xBC) {
        Fault(where, "heap bClientSig " + Hex(heap.clientSig) + ", expected 0xbc (property context)");
        return false;
    }
    // Records are taken whole before their values are read (values may be on other heap pages).
    struct Record {
        uint16_t id, type;
        uint32_t hnid;
        uint8_t inPlace[4];
    };
    std::vector<Record> recs;
    if (!ParseBth(heap, heap.hidUserRoot, 2, 6, where + " PC", [&](std::span<const uint8_t> key, std::span<const uint8_t> ent) {
            Record r{U16(key.data()), U16(ent.data()), U32(ent.data() + 2), {}};
            std::copy(ent.begin() + 2, ent.begin() + 6, r.inPlace);
            recs.push_back(r);
        }))
        return false;
    for (const Record& rec : recs) {
        const uint16_t id = rec.id;
        const uint16_t type = rec.type;
        const uint32_t hnid = rec.hnid;
        const uint32_t tag = (uint32_t(id) << 16) | type;
        const std::string what = "property " + TagText(tag);
        if (!KnownType(type)) {
            Fault(where, what + " has unknown property type " + Hex(type));
            continue;
        }
        Value v;
        v.type = type;
        if (InPlaceInPc(type)) {
            const int fs = FixedSize(type);
            v.bytes.assign(rec.inPlace, rec.inPlace + fs);
        } else {
            ResolveHnid(heap, subs, hnid, type, where, what, v);
            if (v.resolved) {
                const std::string shape = ValueShape(v);
                if (!shape.empty()) Fault(where, what + ": " + shape);
            }
        }
        if (id >= 0x8000 && !Muted()) namedTagUses.emplace(id, where);
        pc.props[tag] = std::move(v);
    }
    return true;
}

bool TableContext::HasColumn(uint32_t tag) const {
    for (const auto& c : columns)
        if (c.tag == tag) return true;
    return false;
}

bool Context::ParseTc(uint64_t bidData, const Subnodes& subs, const std::string& where, TableContext& tc,
                      const RowSink* sink) {
    Heap heap;
    if (!ParseHeap(bidData, where, heap)) return false;
    ++report.tableContexts;
    if (heap.clientSig != 0x7C) {
        Fault(where, "heap bClientSig " + Hex(heap.clientSig) + ", expected 0x7c (table context)");
        return false;
    }
    std::string why;
    auto found = heap.Item(heap.hidUserRoot, &why);
    if (!found) {
        Fault(where, "TCINFO: " + why);
        return false;
    }
    const Bytes infoCopy(found->begin(), found->end());
    const std::span<const uint8_t> infoSpan(infoCopy);
    const auto* info = &infoSpan;
    const uint8_t* t = info->data();
    if (info->size() < 22 || t[0] != 0x7C) {
        Fault(where, "TCINFO is missing or has bType " + Hex(info->empty() ? 0 : t[0]) + " (expected 0x7c)");
        return false;
    }
    const uint8_t cCols = t[1];
    if (info->size() != 22 + 8 * size_t(cCols)) {
        Fault(where, "TCINFO of " + std::to_string(info->size()) + " bytes does not match cCols " + std::to_string(cCols));
        return false;
    }
    const uint16_t ib4 = U16(t + 2), ib2 = U16(t + 4), ib1 = U16(t + 6), ibBm = U16(t + 8);
    const uint32_t hidRowIndex = U32(t + 10), hnidRows = U32(t + 14);
    bool ok = true;
    if (!(ib4 <= ib2 && ib2 <= ib1 && ib1 <= ibBm)) {
        Fault(where, "TCINFO rgib (" + std::to_string(ib4) + ", " + std::to_string(ib2) + ", " + std::to_string(ib1) + ", " +
                         std::to_string(ibBm) + ") is not ascending");
        return false;
    }
    const size_t cebSize = ibBm - ib1;
    if (cebSize != (size_t(cCols) + 7) / 8)
        Fault(where, "cell existence block of " + std::to_string(cebSize) + " bytes, expected " +
                         std::to_string((cCols + 7) / 8) + " for " + std::to_string(cCols) + " columns");
    std::vector<bool> usedBits(cebSize * 8, false);
    std::vector<bool> usedBytes(ib1, false);
    for (uint8_t c = 0; c < cCols; ++c) {
        const uint8_t* d = t + 22 + 8 * size_t(c);
        Column col{U32(d), U16(d + 4), d[6], d[7]};
        const std::string cw = "column " + TagText(col.tag);
        if (c > 0 && col.tag <= tc.columns.back().tag)
            Fault(where, cw + " is not sorted after " + TagText(tc.columns.back().tag));
        const uint16_t type = col.tag & 0xFFFF;
        if (!KnownType(type)) {
            Fault(where, cw + " has unknown property type " + Hex(type));
            ok = false;
        }
        const int fs = (type & 0x1000) ? 0 : FixedSize(type);
        const uint8_t want = fs > 0 ? uint8_t(fs == 16 ? 4 : fs) : 4;
        if (col.cb != want) {
            Fault(where, cw + " cbData " + std::to_string(col.cb) + ", expected " + std::to_string(want));
            ok = false;
        }
        uint16_t lo = 0, hi = ib4;
        if (col.cb == 2) lo = ib4, hi = ib2;
        else if (col.cb == 1) lo = ib2, hi = ib1;
        if (col.ib < lo || size_t(col.ib) + col.cb > hi) {
            Fault(where, cw + " cell [" + std::to_string(col.ib) + ", " + std::to_string(col.ib + col.cb) +
                             ") lies outside its size group [" + std::to_string(lo) + ", " + std::to_string(hi) + ")");
            ok = false;
        } else {
            for (size_t b = col.ib; b < size_t(col.ib) + col.cb; ++b) {
                if (usedBytes[b]) {
                    Fault(where, cw + " cell overlaps another column at row offset " + std::to_string(b));
                    ok = false;
                    break;
                }
                usedBytes[b] = true;
            }
        }
        if (col.iBit >= usedBits.size()) {
            Fault(where, cw + " iBit " + std::to_string(col.iBit) + " is outside the cell existence block");
            ok = false;
        } else if (usedBits[col.iBit]) {
            Fault(where, cw + " iBit " + std::to_string(col.iBit) + " is used by another column");
            ok = false;
        } else {
            usedBits[col.iBit] = true;
        }
        if (col.tag == 0x67F20003 && (col.ib != 0 || col.iBit != 0))
            Fault(where, "PidTagLtpRowId column is at offset " + std::to_string(col.ib) + " bit " + std::to_string(col.iBit) +
                             ", expected offset 0 bit 0");
        if ((col.tag >> 16) >= 0x8000 && !Muted()) namedTagUses.emplace(uint16_t(col.tag >> 16), where);
        tc.columns.push_back(col);
    }
    if (!tc.HasColumn(0x67F20003)) Fault(where, "table has no PidTagLtpRowId (0x67F20003) column");
    if (!ok) return false;

    // Row matrix: in the heap, or a subnode of blocks of whole rows, read a block at a time.
    const size_t rowSize = ibBm;
    if (hidRowIndex == 0) {
        Fault(where, "TCINFO hidRowIndex is 0");
        return false;
    }
    if (rowSize < 4) {
        Fault(where, "row size " + std::to_string(rowSize) + " cannot hold the row id");
        return false;
    }
    Bytes heapRows;
    std::vector<uint64_t> rowBids;      // subnode: its data blocks
    std::vector<uint64_t> rowsBefore;   // subnode: rows in the blocks before each
    uint64_t matrixRows = 0;
    if (hnidRows == 0) {
        // no rows
    } else if ((hnidRows & 0x1F) == 0) {
        auto item = heap.Item(hnidRows, &why);
        if (!item) {
            Fault(where, "row matrix: " + why);
            return false;
        }
        if (item->size() % rowSize)
            Fault(where, "row matrix of " + std::to_string(item->size()) + " bytes is not a whole number of " +
                             std::to_string(rowSize) + "-byte rows");
        heapRows.assign(item->begin(), item->end());
        matrixRows = heapRows.size() / rowSize;
    } else {
        auto it = subs.find(hnidRows);
        if (it == subs.end()) {
            Fault(where, "row matrix subnode " + Hex(hnidRows) + " does not exist");
            return false;
        }
        if (!StreamBids(it->second.bidData, rowBids, where + " row matrix subnode " + Hex(hnidRows))) return false;
        const size_t perBlock = kMaxBlockData / rowSize;
        for (size_t b = 0; b < rowBids.size(); ++b) {
            const size_t bytes = Block(rowBids[b])->cb;
            const size_t rows = bytes / rowSize;
            if (b + 1 < rowBids.size() && rows != perBlock)
                Fault(where, "row matrix block " + std::to_string(b) + " holds " + std::to_string(rows) + " rows, expected " +
                                 std::to_string(perBlock));
            else if (b + 1 == rowBids.size() && bytes % rowSize)
                Fault(where, "last row matrix block of " + std::to_string(bytes) + " bytes is not a whole number of rows");
            rowsBefore.push_back(matrixRows);
            matrixRows += std::min(rows, perBlock);
        }
    }
    Bytes rowBlock;
    size_t rowBlockAt = SIZE_MAX;
    auto rowAt = [&](uint64_t i) -> const uint8_t* {
        if (rowBids.empty()) return heapRows.data() + i * rowSize;
        const size_t b = size_t(std::upper_bound(rowsBefore.begin(), rowsBefore.end(), i) - rowsBefore.begin()) - 1;
        if (b != rowBlockAt) {
            if (!ReadBlock(rowBids[b], rowBlock)) return nullptr;
            rowBlockAt = b;
        }
        return rowBlock.data() + (i - rowsBefore[b]) * rowSize;
    };

    // Row index: every entry names a row of the matrix, and that row carries its id.
    std::vector<bool> seen(matrixRows, false);
    uint64_t indexed = 0;
    Bytes row;
    const bool indexOk = ParseBth(heap, hidRowIndex, 4, 4, where + " row index", [&](std::span<const uint8_t> key,
                                                                                   std::span<const uint8_t> ent) {
        ++indexed;
        const uint32_t rowId = U32(key.data());
        const uint32_t rowIndex = U32(ent.data());
        const std::string rw = "row " + Hex(rowId);
        if (rowIndex >= matrixRows) {
            Fault(where, rw + ": row index " + std::to_string(rowIndex) + " is beyond the " + std::to_string(matrixRows) +
                             " rows of the matrix");
            return;
        }
        if (seen[rowIndex]) {
            Fault(where, rw + ": row index " + std::to_string(rowIndex) + " is used by another row id");
            return;
        }
        seen[rowIndex] = true;
        const uint8_t* at = rowAt(rowIndex);
        if (!at) return;
        row.assign(at, at + rowSize);  // cells below may read other blocks
        if (U32(row.data()) != rowId)
            Fault(where, rw + ": the row at index " + std::to_string(rowIndex) + " carries row id " + Hex(U32(row.data())));
        TableRow tr;
        tr.rowId = rowId;
        const uint8_t* ceb = row.data() + ib1;
        for (size_t bit = 0; bit < cebSize * 8; ++bit)
            if ((ceb[bit / 8] & (0x80 >> (bit % 8))) && !usedBits[bit])
                Fault(where, rw + ": cell existence bit " + std::to_string(bit) + " is set, but no column uses it");
        for (const auto& col : tc.columns) {
            if (!(ceb[col.iBit / 8] & (0x80 >> (col.iBit % 8)))) continue;
            Value v;
            v.type = col.tag & 0xFFFF;
            const uint8_t* cell = row.data() + col.ib;
            const int fs = (v.type & 0x1000) ? 0 : FixedSize(v.type);
            if (fs > 0 && fs <= 8) {
                v.bytes.assign(cell, cell + fs);
            } else {
                ResolveHnid(heap, subs, U32(cell), v.type, where, rw + " column " + TagText(col.tag), v);
                if (v.resolved) {
                    const std::string shape = ValueShape(v);
                    if (!shape.empty()) Fault(where, rw + " column " + TagText(col.tag) + ": " + shape);
                }
            }
            tr.cells[col.tag] = std::move(v);
        }
        if (sink) (*sink)(tr);
        else tc.rows.push_back(std::move(tr));
    });
    if (!indexOk) return false;
    if (indexed != matrixRows)
        Fault(where, "row index has " + std::to_string(indexed) + " entries, the row matrix holds " +
                         std::to_string(matrixRows) + " rows");
    return true;
}

// --------------------------------------------------------------------------------------------
// Values

std::optional<int64_t> Value::AsInt() const {
    switch (bytes.size()) {
        case 1: return bytes[0];
        case 2: return int16_t(U16(bytes.data()));
        case 4: return int32_t(U32(bytes.data()));
        case 8: return int64_t(U64(bytes.data()));
        default: return std::nullopt;
    }
}

std::optional<bool> Value::AsBool() const {
    if (bytes.empty()) return std::nullopt;
    return bytes[0] != 0;
}

std::string Value::AsText() const {
    if (type == 0x001F) {
        std::string out;
        for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
            uint32_t c = U16(bytes.data() + i);
            if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size()) {
                const uint32_t lo = U16(bytes.data() + i + 2);
                if (lo >= 0xDC00 && lo < 0xE000) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
                    i += 2;
                }
            }
            if (c < 0x80) out += char(c);
            else if (c < 0x800) out += char(0xC0 | (c >> 6)), out += char(0x80 | (c & 0x3F));
            else if (c < 0x10000) out += char(0xE0 | (c >> 12)), out += char(0x80 | ((c >> 6) & 0x3F)), out += char(0x80 | (c & 0x3F));
            else out += char(0xF0 | (c >> 18)), out += char(0x80 | ((c >> 12) & 0x3F)), out += char(0x80 | ((c >> 6) & 0x3F)), out += char(0x80 | (c & 0x3F));
        }
        return "\"" + out + "\"";
    }
    if (type == 0x001E) return "\"" + std::string(bytes.begin(), bytes.end()) + "\"";
    if (auto i = AsInt(); i && (type == 0x0002 || type == 0x0003 || type == 0x0014 || type == 0x0040)) return std::to_string(*i);
    if (type == 0x000B) return bytes.empty() ? "?" : (bytes[0] ? "true" : "false");
    std::string out = std::to_string(bytes.size() + notKept) + " bytes";
    return out;
}

const Value* PropertyContext::Find(uint16_t id) const {
    auto it = props.lower_bound(uint32_t(id) << 16);
    if (it != props.end() && (it->first >> 16) == id) return &it->second;
    return nullptr;
}

const Value* PropertyContext::FindTag(uint32_t tag) const {
    auto it = props.find(tag);
    return it == props.end() ? nullptr : &it->second;
}

}  // namespace pst::verify::detail
