#pragma once
// Shared state of one verification run. Each layer's checks live in their own
// file (NdbCheck.cpp, LtpCheck.cpp, MessagingCheck.cpp) and work on a Context.
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "Verifier.h"

namespace pst::verify::detail {

inline uint16_t U16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t U32(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24); }
inline uint64_t U64(const uint8_t* p) { return uint64_t(U32(p)) | (uint64_t(U32(p + 4)) << 32); }

std::string Hex(uint64_t v);
uint16_t Signature(uint64_t ib, uint64_t bid);

using Bytes = std::vector<uint8_t>;

// Unicode file layout constants ([MS-PST] 2.2.2.7).
inline constexpr uint64_t kPageSize = 512;
inline constexpr uint64_t kFirstAMap = 0x4400;
inline constexpr uint64_t kAMapSpan = 0x3E000;  // 496 * 8 * 64
inline constexpr uint64_t kDListOffset = 0x4200;
inline constexpr size_t kMaxBlockData = 8176;
inline constexpr size_t kMaxHeapItem = 3580;

inline constexpr uint8_t kPtBBT = 0x80, kPtNBT = 0x81, kPtFMap = 0x82, kPtPMap = 0x83, kPtAMap = 0x84,
                         kPtFPMap = 0x85, kPtDList = 0x86;

inline uint32_t NidType(uint32_t nid) { return nid & 0x1F; }
inline uint32_t NidIndex(uint32_t nid) { return nid >> 5; }
inline uint32_t NidWithType(uint32_t nid, uint32_t type) { return (nid & ~0x1Fu) | type; }

struct BbtEntry {
    uint64_t bid = 0;
    uint64_t ib = 0;
    uint16_t cb = 0;
    uint16_t cRef = 0;
    uint32_t refs = 0;       // references counted from the NBT and internal blocks
    bool readable = false;   // inside the file with a trailer that matches
    bool internal() const { return (bid & 2) != 0; }
    // Internal block content, filled by the internal-block pass.
    uint8_t btype = 0, level = 0;
    uint64_t lcbTotal = 0;   // XBLOCK/XXBLOCK: declared total; data block: cb
    bool structureOk = false;
};

struct NbtEntry {
    uint32_t nid = 0;
    uint64_t bidData = 0;
    uint64_t bidSub = 0;
    uint32_t nidParent = 0;
};

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
    std::vector<TableRow> rows;  // in row-index (row id) order
    bool HasColumn(uint32_t tag) const;
};

// The heap-on-node of one node: every data block of its stream is one page.
struct Heap {
    std::vector<Bytes> pages;
    std::vector<std::vector<std::pair<uint16_t, uint16_t>>> allocs;  // per page, item i+1 = [first, second)
    uint8_t clientSig = 0;
    uint32_t hidUserRoot = 0;
    // The item a HID names, or nullopt (with reason) when it does not resolve.
    std::optional<std::span<const uint8_t>> Item(uint32_t hid, std::string* why = nullptr) const;
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

    // --- NDB state
    std::map<uint64_t, BbtEntry> bbt;   // by bid
    std::map<uint32_t, NbtEntry> nbt;   // by nid
    struct Extent {
        uint64_t ib;
        uint64_t size;
        std::string label;
    };
    std::vector<Extent> extents;        // every page and block that occupies the file
    std::set<uint64_t> pageBids;
    std::set<uint64_t> visitedPages;

    // --- NDB access for the upper layers (faults reported under where)
    const BbtEntry* Block(uint64_t bid) const;
    bool ReadBlock(uint64_t bid, Bytes& out) const;  // decoded data; false if unreadable
    // The node's byte stream as its data blocks (one per heap page).
    bool ReadStream(uint64_t bid, std::vector<Bytes>& blocks, const std::string& where);
    bool ReadSubnodes(uint64_t bidSub, Subnodes& out, const std::string& where);

    // --- LTP (LtpCheck.cpp)
    bool ParseHeap(uint64_t bidData, const std::string& where, Heap& heap);
    bool ParseBth(const Heap& heap, uint32_t hidHeader, uint8_t cbKey, uint8_t cbEnt, const std::string& where,
                  std::vector<std::pair<std::span<const uint8_t>, std::span<const uint8_t>>>& records);
    bool ParsePc(uint64_t bidData, const Subnodes& subs, const std::string& where, PropertyContext& pc);
    bool ParseTc(uint64_t bidData, const Subnodes& subs, const std::string& where, TableContext& tc);
    bool ResolveHnid(const Heap& heap, const Subnodes& subs, uint32_t hnid, uint16_t type, const std::string& where,
                     const std::string& what, Value& value);

    // --- checks
    void CheckHeader();
    void WalkBTree(bool nbtTree, uint64_t bid, uint64_t ib, int expectLevel, uint64_t lowKey, bool hasHigh,
                   uint64_t highKey, int depth);
    // Bounded verification: messages' nodes are left unread, and so are the
    // blocks only they reach.
    bool Unread(uint32_t nid) const { return options.bounded && (NidType(nid) == 0x04 || NidType(nid) == 0x08); }
    void CollectRead();
    std::set<uint64_t> readBlocks;  // bounded: the blocks the other nodes reach
    bool BlockRead(uint64_t bid) const { return !options.bounded || readBlocks.count(bid & ~uint64_t(1)); }
    void CheckBlocks();
    void CheckNodes();
    void CheckMaps();
    void CheckCounters();
    void CheckMessaging();  // MessagingCheck.cpp

    // Parsed contexts of top-level nodes, filled by CheckMessaging.
    std::map<uint32_t, PropertyContext> pcs;
    std::map<uint32_t, TableContext> tcs;
    std::map<uint32_t, Subnodes> nodeSubnodes;
    // Named-property ids (0x8000+) seen in any PC or TC column, with the first place seen.
    std::map<uint16_t, std::string> namedTagUses;

private:
    bool stopped_ = false;
};

std::string NodeName(uint32_t nid);
std::string BlockName(uint64_t bid, uint64_t ib);

}  // namespace pst::verify::detail
