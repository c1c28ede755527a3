#pragma once
// A Unicode PST store being written: the mandatory nodes of a new store
// ([MS-PST] 2.7), folders with their hierarchy, contents and associated
// contents tables kept consistent with their children, messages, the
// name-to-id map and the receive folder table.
//
// Messages are written to the file when saved; folder nodes, whose tables
// change with every child, are rewritten at Commit when they changed.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Message.h"
#include "NameMap.h"
#include "RowSpool.h"
#include "Tables.h"
#include "pst/ndb/NodeDb.h"

namespace pst {

struct FolderState {
    uint32_t nid = 0;
    uint32_t parent = 0;
    PropMap props;  // display name, container class, entry-id properties...
    std::vector<uint32_t> children;
    std::vector<uint64_t> contents;  // the contents table's rows in the store's row spool (after contentsBase)
    // Rows of an opened file's contents table that are not in the spool: the
    // table's first rows, never read unless it has to be written whole.
    size_t contentsBase = 0;
    size_t committedRows = 0;   // rows the contents table in the file holds
    bool contentsWhole = true;  // the next commit writes the contents table whole (else it appends)
    ndb::BlockList contentsOwned;  // blocks of the contents table node
    size_t RowCount() const { return contentsBase + contents.size(); }
    std::vector<uint64_t> assoc;     // the associated contents table's rows (hidden messages we added)
    uint32_t unread = 0;
    bool dirty = true;
    ndb::BlockList owned;  // blocks of the folder's other three nodes
    // A folder of an opened file keeps what the writer does not set itself:
    // properties of other types, its tables' own columns, the rows of its
    // children, its contents table until something is added, and its
    // associated contents table always.
    bool fromFile = false;
    bool contentsLoaded = true;
    std::vector<ltp::PcProp> kept;            // file properties PropMap cannot hold
    std::vector<uint32_t> otherChildren;      // hierarchy rows of children not held as folders (search folders)
    std::map<uint32_t, ltp::TcRow> fileRows;  // the hierarchy rows as read, by child node id
    ltp::TableLayout hierarchyLayout = HierarchyLayout();
    ltp::TableLayout contentsLayout = ContentsLayout();
};

struct StoreOptions {
    bool encrypt = true;
};

// A message saved in this session that may be written again: its node, its
// contents-table row and the blocks only it uses (streamed attachment data
// stays with its attachment).
struct SavedMessage {
    uint32_t nid = 0;
    uint32_t folder = 0;
    size_t row = 0;  // its row number in the contents table
    ndb::BlockList blocks;
};

class PstStore {
public:
    // Creates the file (never an existing one) with a complete empty store.
    PstStore(const std::string& path, const std::string& displayName, const StoreOptions& options = {});
    struct Existing {};
    // Opens an existing Unicode PST to add to it (PstOpen.cpp): the store, its
    // folders and the name map are read; nothing is written before Commit.
    // Throws PstRefused for a file it will not change.
    PstStore(const std::string& path, Existing);
    ~PstStore();

    const std::string& DisplayName() const { return displayName_; }
    uint32_t IpmSubtree() const { return ipmSubtree_; }
    uint32_t DeletedItems() const { return deletedItems_; }
    uint32_t SearchRoot() const { return searchRoot_; }
    uint32_t ReceiveFolder() const { return receiveFolder_; }
    // The folder an entry ID of this store names, or 0.
    uint32_t FolderOfEntryId(const Binary& entryId) const;
    const PropMap& StoreProps() const { return storeProps_; }

    uint32_t CreateFolder(uint32_t parent, const std::string& name, const std::string& containerClass);
    FolderState& Folder(uint32_t nid);
    const FolderState* FindFolder(uint32_t nid) const;
    void SetFolderProp(uint32_t nid, uint32_t tag, PropValue value);
    void SetStoreProp(uint32_t tag, PropValue value);
    // A store property whose value the caller wrote as a data tree (`bid`),
    // kept by the caller: rewriting the store does not copy or release it.
    void SetStoreStream(uint32_t tag, uint64_t bid);
    // An opened file's store property whose value is a data tree of its own
    // (a subnode), handed to the caller as SetStoreStream takes one: the store
    // keeps referring to it and no longer counts its blocks as its own. 0 when
    // the value is not such a tree.
    uint64_t AdoptStoreStream(uint32_t tag);
    // Routes the classes "", IPM and REPORT.IPM to `inbox` (receive folder table).
    void SetReceiveFolder(uint32_t inbox);

    // Prepares and writes a message into `folder`; returns its NID. A message
    // whose PR_MESSAGE_FLAGS has MSGFLAG_ASSOCIATED is a hidden (folder-
    // associated) one, listed in the associated contents table; an opened
    // file's folders take none. With `saved`, what RewriteMessage needs is kept
    // there.
    uint32_t SaveMessage(uint32_t folder, MessageData& msg, const std::string& defaultClass,
                         SavedMessage* saved = nullptr);
    // Writes a saved message (not an associated one) again with changed
    // properties: the same node and row position, new row versions; its old
    // blocks are given back. On a failure the message stays as it was.
    void RewriteMessage(SavedMessage& saved, MessageData& msg, const std::string& defaultClass);

    // Writes the attachment `msg` is filling, if any (FinishAttachment).
    void FinishAttachment(MessageData& msg);

    NameMap& Names() { return names_; }
    ndb::NodeDb& Db() { return db_; }
    // ENTRYID of a node of this store ([MS-PST] 2.4.3.2).
    Binary EntryId(uint32_t nid) const;
    const Binary& RecordKey() const { return recordKey_; }

    void Commit();
    void Close();

private:
    void CreateEmptyStore();
    void OpenStore();
    void LoadFolder(uint32_t nid, const ndb::NodeEntry& node);
    // Reads an opened folder's contents table into the spool before it changes.
    void LoadContents(FolderState& f);
    PropMap FolderRowProps(const FolderState& f) const;
    void WriteFolder(FolderState& f);
    // The contents table: the rows added since the last commit appended to
    // it, or (a new folder, a committed row rewritten) the table written whole.
    void WriteContents(FolderState& f);
    // Puts an opened file's unread table rows into the spool before the table is written whole.
    void ReadBaseRows(FolderState& f);
    void WriteSingleton(uint32_t nid, std::vector<ltp::PcProp> props, ndb::BlockList& owned);
    void WriteTable(uint32_t nid, const ltp::TableLayout& layout, const std::vector<ltp::TcRow>& rows,
                    ndb::BlockList& owned);
    void WriteReceiveTable();
    void WriteSpamSearchFolder(ndb::BlockList& owned);
    void MarkDirty(uint32_t nid);

    RowSpool spool_;  // first: a failure to make it leaves no file behind
    ndb::NodeDb db_;
    std::string displayName_;
    Binary recordKey_;
    PropMap storeProps_;
    std::vector<ltp::PcProp> storeKept_;  // an opened store's properties PropMap cannot hold
    std::map<uint32_t, uint64_t> storeStreams_;  // tag -> data tree of a value kept by the caller
    std::map<uint32_t, uint64_t> storeFileStreams_;  // an opened store's values in subnodes: tag -> data tree
    NameMap names_;
    std::map<uint32_t, FolderState> folders_;
    uint32_t ipmSubtree_ = 0, deletedItems_ = 0, searchRoot_ = 0, receiveFolder_ = 0;
    // Row versions (PidTagLtpRowVer) are unique across the whole file.
    uint32_t rowVersion_ = 0;
    PropMap spamRowProps_;
    bool storeDirty_ = true, receiveDirty_ = true;
    ndb::BlockList storeOwned_, namesOwned_, receiveOwned_;
    bool closed_ = false;
};

}  // namespace pst
