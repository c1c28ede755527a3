#pragma once
// The node database of a PST being written ([MS-PST] 2.2): blocks appended to
// the file as they are made, the block and node B-trees kept in the file and
// read through a bounded page cache, the entries changed since they were last
// merged into them held in memory, and a Commit that merges those, then writes
// the maps and, last, the header, so that the file on disk is a complete PST
// after each one.
#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BTree.h"
#include "Bytes.h"
#include "FileSink.h"
#include "Ids.h"
#include "NodeIndex.h"
#include "PageCache.h"
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

class NodeDb : private TreePages {
public:
    NodeDb(const std::string& path, bool encrypt);
    struct Existing {};
    // Opens an existing Unicode PST to add to it: the header, the B-trees' root
    // pages and the allocation maps are read (NodeDbOpen.cpp), the rest of the
    // trees as lookups need them; nothing is written until the next Commit.
    // Throws PstRefused for a file it will not change.
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

    void SetNode(uint32_t nid, const NodeEntry& entry);
    std::optional<NodeEntry> FindNode(uint32_t nid);
    // Every node in id order (reads the whole node tree).
    void ForEachNode(const std::function<void(uint32_t nid, const NodeEntry&)>& fn);
    // An id of `type` no node has; a folder's id is free in all four folder types.
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
        uint16_t flags;     // kInternal, kReleased, kPending, kInTree
        uint16_t cRef;      // 2 for one user; more where an opened file shares a block
    };
    static constexpr uint16_t kInternal = 1, kReleased = 2, kPending = 4, kInTree = 8;

    uint64_t NextBid(bool internal);
    uint64_t WriteBlock(uint64_t bid, const uint8_t* data, size_t size);
    uint64_t WriteInternal(const Bytes& data, BlockList* owned);
    // The block's entry as the session sees it; nullopt when unknown or released.
    std::optional<BlockEntry> LookupBlock(uint64_t bid);
    // The entry to change in place (taken from the tree into edits_ first);
    // nullptr when unknown or released.
    BlockEntry* EditBlock(uint64_t bid);
    bool NodeExists(uint32_t nid);
    // Merges the changed entries into the B-trees (new pages, old ones freed);
    // pending blocks stay in memory. Done at each commit, and between commits
    // when the changes held in memory pass a bound.
    void FlushTrees();
    void FlushIfLarge();

    const uint8_t* ReadPage(uint64_t bid, uint64_t ib, uint8_t ptype) override;
    TreeRef WritePage(uint8_t* page, uint8_t ptype, uint64_t firstKey) override;
    void FreePage(uint64_t ib) override;
    PstRefused Damage(const std::string& what) override;
    [[noreturn]] void Damaged(const std::string& what) { throw Damage(what); }

    void WriteHeader(bool mapsValid);
    void Load();
    // The space in use when the maps cannot be trusted: every block and page of both trees.
    std::vector<std::pair<uint64_t, uint64_t>> UsedByTrees();
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
    // The trees in the file and the pages of them recently used (4 MiB).
    PageCache cache_{8192};
    BTree nbt_, bbt_;
    // Changes not merged into the trees yet: blocks written since (sorted by
    // bid, as they are allocated), changes to blocks the trees hold, and nodes.
    std::vector<BlockEntry> fresh_;
    std::map<uint32_t, BlockEntry> edits_;
    NodeIndex nodeDelta_;
    size_t flushBound_ = 0;
};

}  // namespace pst::ndb
