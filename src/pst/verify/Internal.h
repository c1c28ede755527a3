#pragma once
// Shared state of one verification run. Each layer's checks live in their own
// file (NdbCheck.cpp, LtpCheck.cpp, MessagingCheck.cpp) and work on a Context.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "BlockStates.h"
#include "SpillSort.h"
#include "TreeIndex.h"
#include "Verifier.h"

namespace pst::verify::detail {

inline uint16_t U16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t U32(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24); }
inline uint64_t U64(const uint8_t* p) { return uint64_t(U32(p)) | (uint64_t(U32(p + 4)) << 32); }

std::string Hex(uint64_t v);
// A property tag as "0x0037001F", upper case and zero-padded.
std::string TagText(uint32_t tag);
uint16_t Signature(uint64_t ib, uint64_t bid);

using Bytes = std::vector<uint8_t>;

// Unicode file layout constants ([MS-PST] 2.2.2.7).
inline constexpr uint64_t kPageSize = 512;
inline constexpr uint64_t kFirstAMap = 0x4400;
inline constexpr uint64_t kAMapSpan = 0x3E000;  // 496 * 8 * 64
inline constexpr uint64_t kDListOffset = 0x4200;
inline constexpr size_t kMaxBlockData = 8176;
inline constexpr size_t kMaxHeapItem = 3580;
// What one read at a random place leaves resident: the kernel maps the pages
// around a faulting one too (fault-around, 64 KiB).
inline constexpr uint64_t kTouch = 64 << 10;
inline constexpr uint64_t kLargeBinary = 1 << 20;  // binary values larger than this are counted, not held

inline constexpr uint8_t kPtBBT = 0x80, kPtNBT = 0x81, kPtFMap = 0x82, kPtPMap = 0x83, kPtAMap = 0x84,
                         kPtFPMap = 0x85, kPtDList = 0x86;

inline uint32_t NidType(uint32_t nid) { return nid & 0x1F; }
inline uint32_t NidIndex(uint32_t nid) { return nid >> 5; }
inline uint32_t NidWithType(uint32_t nid, uint32_t type) { return (nid & ~0x1Fu) | type; }

// One BBT leaf entry (its BID is the key).
#pragma pack(push, 4)
struct BbtEntry {
    uint64_t ib = 0;
    uint16_t cb = 0;
    uint16_t cRef = 0;
};

// One NBT leaf entry (its NID is the key).
struct NbtEntry {
    uint64_t bidData = 0;
    uint64_t bidSub = 0;
    uint32_t nidParent = 0;
};
#pragma pack(pop)

// A block found in the BBT, with what the checks have learnt of it so far.
struct BlockInfo {
    uint64_t bid = 0;
    uint64_t ib = 0;
    uint16_t cb = 0;
    uint16_t cRef = 0;
    uint32_t index = 0;  // place in the BBT (BID order)
    uint8_t flags = 0;   // BlockStates flags when it was looked up
    bool internal() const { return (bid & 2) != 0; }
    bool readable() const { return (flags & BlockStates::kReadable) != 0; }
    bool structureOk() const { return (flags & BlockStates::kStructureOk) != 0; }
};

using BbtIndex = TreeIndex<uint64_t, BbtEntry, 20>;
using NbtIndex = TreeIndex<uint32_t, NbtEntry, 15>;

struct SubnodeEntry {
    uint32_t nid = 0;
    uint64_t bidData = 0;
    uint64_t bidSub = 0;
};
using Subnodes = std::map<uint32_t, SubnodeEntry>;

// A property value read from a PC or a TC cell. bytes holds the value as stored
// (fixed-size values little-endian, strings UTF-16LE).
struct Value {
    uint16_t type = 0;
    Bytes bytes;
    bool resolved = true;  // false when the HNID did not resolve (already reported)
    uint64_t notKept = 0;  // bytes of a large binary value counted but not held
    std::optional<int64_t> AsInt() const;
    std::optional<bool> AsBool() const;
    std::string AsText() const;  // strings as UTF-8, others as a short dump
};

struct PropertyContext {
    std::map<uint32_t, Value> props;  // full tag -> value
    const Value* Find(uint16_t id) const;
    const Value* FindTag(uint32_t tag) const;
};

struct Column {
    uint32_t tag = 0;
    uint16_t ib = 0;
    uint8_t cb = 0;
    uint8_t iBit = 0;
};

struct TableRow {
    uint32_t rowId = 0;
    std::map<uint32_t, Value> cells;  // tag -> value, present cells only
};

struct TableContext {
    std::vector<Column> columns;
    std::vector<TableRow> rows;  // in row-index (row id) order; empty when the rows were streamed
    bool HasColumn(uint32_t tag) const;
};
using RowSink = std::function<void(const TableRow&)>;

class Context;

// The heap-on-node of one node: every data block of its stream is one page.
// Pages are read when an item on them is asked for, and at most kResident of
// them are held, so a table of a million rows costs a few pages of memory.
struct Heap {
    static constexpr size_t kResident = 64;
    const Context* ctx = nullptr;
    std::vector<uint64_t> pageBids;
    std::vector<uint8_t> pageOk;  // page map sound
    uint8_t clientSig = 0;
    uint32_t hidUserRoot = 0;
    size_t PageCount() const { return pageBids.size(); }
    // The item a HID names, or nullopt (with reason) when it does not resolve.
    // The span lasts until the next call.
    std::optional<std::span<const uint8_t>> Item(uint32_t hid, std::string* why = nullptr) const;

    struct Page {
        Bytes bytes;
        std::vector<std::pair<uint16_t, uint16_t>> allocs;  // item i+1 = [first, second)
    };
    const Page* Load(size_t page) const;
    void Keep(size_t page, Bytes&& bytes);  // a sound page read while parsing
    mutable std::vector<Page> cache;
    mutable std::vector<size_t> cached;  // page held in each cache slot, or SIZE_MAX
    mutable size_t nextSlot = 0, lastSlot = 0;
};

class Context {
public:
    Context(const uint8_t* data, size_t size, const Options& options, Report& report);

    void Run();

    // --- reporting
    void Fault(const std::string& where, const std::string& what);
    void Note(const std::string& where, const std::string& what);

    // --- file
    const uint8_t* data;
    size_t size;
    const Options& options;
    Report& report;

    // --- header
    uint64_t fileEof = 0;       // ROOT.ibFileEof
    uint64_t checkedEnd = 0;    // min(file size, ibFileEof)
    uint64_t amapLast = 0, amapFree = 0, pmapFree = 0;
    uint64_t nbtRootBid = 0, nbtRootIb = 0, bbtRootBid = 0, bbtRootIb = 0;
    uint8_t amapValid = 0;
    uint8_t cryptMethod = 0;
    uint64_t bidNextB = 0, bidNextP = 0;
    uint32_t dwUnique = 0;
    uint32_t rgnid[32] = {};

    // --- NDB state. The B-trees are searched in the file's own pages once they
    // are checked; what the checks learn of each block is a byte (BlockStates).
    BbtIndex bbt;  // by bid
    NbtIndex nbt;  // by nid
    BlockStates blockStates;
    // The B-tree pages visited: a bit per 512-byte slot (and one saying it is the
    // NBT's), the few at offsets not 512-byte aligned apart (true: the NBT's).
    std::vector<uint64_t> pageSlots, nbtSlots;
    std::map<uint64_t, bool> oddPages;
    bool PageAt(uint64_t slot) const { return slot / 64 < pageSlots.size() && (pageSlots[slot / 64] >> (slot % 64)) & 1; }
    bool NbtPageAt(uint64_t slot) const { return slot / 64 < nbtSlots.size() && (nbtSlots[slot / 64] >> (slot % 64)) & 1; }
    uint64_t maxPageBid = 0;
    // Every visited page's BID with its place, for CheckPageBids.
#pragma pack(push, 4)
    struct PageBid {
        uint64_t bid;
        uint64_t ib;     // top bit: an NBT page
        uint32_t visit;  // in visit order
        bool operator<(const PageBid& o) const { return bid != o.bid ? bid < o.bid : visit < o.visit; }
    };
#pragma pack(pop)
    static constexpr uint64_t kNbtPage = uint64_t(1) << 63;
    SpillSort<PageBid> pageBids{size_t(1) << 18};
    uint8_t BType(const BlockInfo& b) const {
        if (!b.readable() || !b.internal() || b.cb < 8) return 0;
        Used(kTouch);
        return data[b.ib];
    }
    uint8_t Level(const BlockInfo& b) const {
        if (!b.readable() || !b.internal() || b.cb < 8) return 0;
        Used(kTouch);
        return data[b.ib + 1];
    }
    struct NodeInfo {
        uint32_t index = 0;  // place in the NBT (NID order)
        uint64_t bidData = 0, bidSub = 0;
        uint32_t nidParent = 0;
    };
    std::optional<NodeInfo> Node(uint32_t nid) const;
    bool HasNode(uint32_t nid) const { return nbt.Contains(nid); }

    // Reading a mapped file leaves its pages resident; past a budget they are
    // given back (they are read again from the page cache when needed), so the
    // memory of a run does not grow with the file.
    bool releasable = false;
    uint64_t mappedBefore = UINT64_MAX;  // bytes of file pages mapped before the run began
    void Used(uint64_t bytes) const;

    // --- NDB access for the upper layers (faults reported under where)
    std::optional<BlockInfo> Block(uint64_t bid) const;
    void AddRef(const BlockInfo& b) { blockStates.AddRef(b.index); }
    bool ReadBlock(uint64_t bid, Bytes& out) const;  // decoded data; false if unreadable
    // The node's byte stream as its data blocks (one per heap page).
    bool ReadStream(uint64_t bid, std::vector<Bytes>& blocks, const std::string& where);
    // The data blocks of the node's stream, in order, without reading them.
    bool StreamBids(uint64_t bid, std::vector<uint64_t>& bids, const std::string& where);
    bool ReadSubnodes(uint64_t bidSub, Subnodes& out, const std::string& where);

    // --- LTP (LtpCheck.cpp)
    bool ParseHeap(uint64_t bidData, const std::string& where, Heap& heap);
    // Calls record(key, entry) for every leaf record in key order; the spans last for the call.
    using BthSink = std::function<void(std::span<const uint8_t>, std::span<const uint8_t>)>;
    bool ParseBth(const Heap& heap, uint32_t hidHeader, uint8_t cbKey, uint8_t cbEnt, const std::string& where,
                  const BthSink& record);
    bool ParsePc(uint64_t bidData, const Subnodes& subs, const std::string& where, PropertyContext& pc);
    // With a sink, each row goes to it as it is read and tc.rows stays empty.
    bool ParseTc(uint64_t bidData, const Subnodes& subs, const std::string& where, TableContext& tc,
                 const RowSink* sink = nullptr);
    bool ResolveHnid(const Heap& heap, const Subnodes& subs, uint32_t hnid, uint16_t type, const std::string& where,
                     const std::string& what, Value& value);

    // --- checks
    void CheckHeader();
    // Leaf entries a B-tree holds, by a quick walk that checks nothing (a
    // damaged tree's copy is sized once: growing it would need up to three times as much).
    uint64_t CountLeafEntries(uint64_t ib, int depth, uint64_t& pagesLeft) const;
    void WalkBTree(bool nbtTree, uint64_t bid, uint64_t ib, int expectLevel, uint64_t lowKey, bool hasHigh,
                   uint64_t highKey, int depth);
    void CheckBlocks();
    void CheckNodes();
    void CheckMaps();
    void CheckCounters();
    void CheckPageBids();
    void CheckMessaging();  // MessagingCheck.cpp

    // Each top-level message's PC as it is checked (messages are not kept).
    std::function<void(uint32_t nid, const PropertyContext&)> onMessage;

    // Parsed contexts of top-level nodes but messages, filled by CheckMessaging (contents
    // tables keep their columns only).
    std::map<uint32_t, PropertyContext> pcs;
    std::map<uint32_t, TableContext> tcs;
    // Named-property ids (0x8000+) seen in any PC or TC column, with the first place seen.
    std::map<uint16_t, std::string> namedTagUses;

    bool Muted() const { return muted_ > 0; }

private:
    mutable uint64_t used_ = 0, sinceLook_ = 0;
    uint64_t lastTouched_ = UINT64_MAX;  // the kTouch-sized window of the last B-tree page read
    int muted_ = 0;  // > 0: a second reading, whose faults were reported the first time
};

// Bytes of file pages the process has mapped (resident), or UINT64_MAX when the system does not say.
uint64_t MappedFileBytes();
std::string NodeName(uint32_t nid);
std::string BlockName(uint64_t bid, uint64_t ib);

}  // namespace pst::verify::detail
