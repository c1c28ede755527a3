#pragma once
// The node database of a PST being written ([MS-PST] 2.2): blocks appended to
// the file as they are made, the block and node B-trees held in memory as
// compact sorted indexes, and a Commit that writes the B-trees, the maps and,
// last, the header, so that the file on disk is a complete PST after each one.
#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Bytes.h"
#include "FileSink.h"
#include "Ids.h"
#include "NodeIndex.h"
#include "SpaceMap.h"

namespace pst::ndb {

struct SubnodeEntry {
    uint32_t nid = 0;
    uint64_t bidData = 0;
    uint64_t bidSub = 0;
};


// Every block a node (or a pending value) owns, so it can be released when the
// node is rewritten or abandoned.
using BlockList = std::vector<uint64_t>;

class NodeDb {
public:
    NodeDb(const std::string& path, bool encrypt);
    struct Existing {};
    // Opens an existing Unicode PST to add to it: the header, both B-trees and
    // the space they leave free are read (NodeDbOpen.cpp); nothing is written
    // until the next Commit. Throws PstRefused for a file it will not change.
    NodeDb(const std::string& path, Existing);
    ~NodeDb();

    // One data block of at most 8176 bytes, stored encoded when encryption is on.
    uint64_t WriteDataBlock(const uint8_t* data, size_t size, BlockList* owned);
    // Data of any size as a block or an XBLOCK/XXBLOCK tree; 0 for no data.
    uint64_t WriteData(const uint8_t* data, size_t size, BlockList* owned);
    // A heap or row stream already cut into blocks (all but the last 8176 bytes).
    uint64_t WritePages(const std::vector<Bytes>& pages, BlockList* owned);
    // The tree over already written leaf data blocks of a stream of `total` bytes.
    uint64_t WriteDataTree(const std::vector<uint64_t>& leaves, uint64_t total, BlockList* owned);
    // An SLBLOCK, or SIBLOCK over SLBLOCKs; entries need not be sorted. 0 when empty.
    uint64_t WriteSubnodes(std::vector<SubnodeEntry> entries, BlockList* owned);

    void ReleaseBlocks(const BlockList& blocks);
    // Blocks of a value whose item is not saved yet: a commit leaves them out
    // of the block index and marks their space free, without reusing it.
    void SetPending(const BlockList& blocks, bool pending);
    void SetPending(uint64_t bid, bool pending);

    void SetNode(uint32_t nid, const NodeEntry& entry) {
        nodes_.Set(nid, entry);
        changedNids_.push_back(nid);
        dirty_ = true;
    }
    const NodeIndex& Nodes() const { return nodes_; }
    const NodeEntry* FindNode(uint32_t nid) const;
    uint32_t AllocateNid(uint8_t type);
    // Makes the counter of `type` at least `index` (for folders' sibling nodes).
    void ReserveNidIndex(uint8_t type, uint32_t index);

    // The next header's dwUnique will be above `floor`.
    void RaiseUnique(uint32_t floor) { unique_ = std::max(unique_, floor); }
    uint32_t Unique() const { return unique_; }
    void Commit();
    void Close();  // commits and closes the file
    void Abandon();  // closes without writing anything more
    bool Encrypted() const { return crypt_ != 0; }
    uint8_t CryptMethod() const { return crypt_; }

    // Reading what an opened file holds (NodeDbOpen.cpp); damage found throws PstRefused.
    Bytes ReadBlock(uint64_t bid);
    // The data blocks of a node's stream, in order (one per heap page); empty for bid 0.
    std::vector<Bytes> ReadStream(uint64_t bid);
    std::vector<SubnodeEntry> ReadSubnodes(uint64_t bidSub);
    // Every block a node's data and subnode trees use, to release it when the
    // node is rewritten.
    BlockList NodeBlocks(uint64_t bidData, uint64_t bidSub);
    uint64_t FileSize() const { return space_.Eof(); }
    // The file's size were it closed now (FileSize also counts the reserve).
    uint64_t UsedSize() const { return space_.OpenedEnd(); }
    const std::string& Path() const { return file_.Path(); }

private:
    struct BlockEntry {  // a BBT entry, 12 bytes
        uint32_t bidIndex;  // bid >> 2
        uint32_t ib64;      // ib / 64
        uint16_t cb;
        uint16_t flags;     // bit 0 internal, bit 1 released, bit 2 pending
        uint16_t cRef;      // 2 for one user; more where an opened file shares a block
    };
    struct PageRef {
        uint64_t key, bid, ib;
    };
    // A leaf page of the committed B-trees, with its first and last keys: the
    // next commit keeps it where it is when no entry in that range changed.
    struct LeafRef {
        uint64_t first, last, bid, ib;
    };

    uint64_t NextBid(bool internal);
    uint64_t WriteBlock(uint64_t bid, const uint8_t* data, size_t size);
    uint64_t WriteInternal(const Bytes& data, BlockList* owned);
    PageRef WriteBTreePage(uint8_t ptype, uint8_t level, uint8_t cbEnt, uint8_t cEntMax, const uint8_t* entries,
                           size_t count, uint64_t firstKey);
    // Writes leaf pages as entries arrive, then the levels above: memory holds
    // one leaf page and one reference per page, not the whole index.
    struct TreeBuilder {
        TreeBuilder(uint8_t p, uint8_t cb, uint8_t max) : ptype(p), cbEnt(cb), cEntMax(max) {}
        uint8_t ptype, cbEnt, cEntMax;
        uint8_t leaf[488] = {};
        size_t count = 0;
        uint64_t firstKey = 0, lastKey = 0;
        std::vector<PageRef> pages;
        std::vector<LeafRef> leaves;  // the new tree's leaves, kept for the next commit
    };
    void TreeAdd(TreeBuilder& t, const uint8_t* entry, uint64_t key);
    // Writes the leaf being filled, if any, so that a kept leaf can follow.
    void TreeFlushLeaf(TreeBuilder& t);
    void TreeKeepLeaf(TreeBuilder& t, const LeafRef& leaf);
    PageRef TreeFinish(TreeBuilder& t);
    // True when no key in [first >> shift, last >> shift] is among `changed` (sorted).
    static bool Unchanged(const std::vector<uint64_t>& changed, const LeafRef& leaf, int shift);
    void WriteHeader(bool mapsValid);
    void Load();
    void LoadTree(bool nbt, uint64_t bid, uint64_t ib, int level, uint64_t lowKey, int depth);
    void CollectBlocks(uint64_t bid, BlockList& out, int depth);
    // Called after every allocation, before anything is written there.
    void KeepInsideFile() {
        if (space_.Intervals() > diskIntervals_ && committed_) ExtendFile();
    }
    void ExtendFile();
    void TrimCommitted();
    void WriteCommittedHeader(uint64_t freeBytes);
    uint64_t ReserveIntervals() const;

    FileSink file_;
    SpaceMap space_;
    uint8_t crypt_;                // bCryptMethod: 0 none, 1 compressible, 2 cyclic
    bool opened_ = false;          // continues a file that existed
    uint8_t original_[564] = {};   // an opened file's header: fields we do not keep stay as they were
    bool dirty_ = true;
    bool closed_ = false;
    bool closing_ = false;
    bool committed_ = false;       // a complete header is on disk
    uint64_t diskIntervals_ = 0;   // intervals the header on disk covers
    uint64_t openedAtCommit_ = 0;  // intervals allocation had reached at the last commit
    uint64_t intervalsAtOpen_ = 0; // intervals an opened file had (0 for a new one)
    uint8_t header_[564] = {};     // the last header written by a commit
    uint64_t nextBid_ = 4;
    uint64_t nextPageBid_ = 1;
    uint32_t unique_ = 0;
    std::array<uint32_t, 32> rgnid_{};
    std::deque<BlockEntry> blocks_;  // sorted by bid (allocated in increasing order); a deque grows without copies
    size_t releasedCount_ = 0;
    NodeIndex nodes_;
    // The committed B-trees: their leaves, and the offsets of the pages above
    // them (written anew by every commit). A commit writes only the leaves
    // whose keys changed (copy on write: the committed pages stay as they are
    // until the header that no longer refers to them has landed).
    std::vector<LeafRef> nbtLeaves_, bbtLeaves_;
    std::vector<uint64_t> innerPages_;
    // Keys changed since the last commit: node ids, and block ids >> 2.
    std::vector<uint64_t> changedNids_, changedBids_;
    PageRef nbtRoot_{}, bbtRoot_{};
    BlockEntry* FindBlock(uint64_t bid);
};

}  // namespace pst::ndb
