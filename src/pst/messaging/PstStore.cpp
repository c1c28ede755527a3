#include "PstStore.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <random>

#include "FileKept.h"
#include "PropEncode.h"
#include "PropTags.h"
#include "pst/ltp/Bth.h"
#include "pst/ltp/Heap.h"
#include "pst/ltp/PropContext.h"
#include "pst/ltp/TableAppend.h"
#include "pst/ltp/TableContext.h"
#include "pst/ndb/Error.h"

namespace pst {
namespace {

using namespace pst::tags;
using ndb::NodeEntry;

constexpr uint32_t kTagValidFolderMask = 0x35DF0003;
constexpr uint32_t kTagIpmSubtreeEntryId = 0x35E00102;
constexpr uint32_t kTagIpmWastebasketEntryId = 0x35E30102;
constexpr uint32_t kTagFinderEntryId = 0x35E70102;
constexpr uint32_t kTagPstHiddenCount = 0x66350003;
constexpr uint32_t kTagPstHiddenUnread = 0x66360003;
constexpr uint32_t kTagReceiveFolderNid = 0x66050003;
constexpr uint32_t kTagSearchFolderFlags = 0x660B0003;

// Outlook's junk-mail search folder and its satellites ([MS-PST] 2.7.3.4.4): a
// search folder below the root, its update queue, criteria and contents table.
constexpr uint32_t kNidSpamSearchFolder = 0x2223;
constexpr uint32_t kNidSpamUpdateQueue = 0x2226;
constexpr uint32_t kNidSpamCriteria = 0x2227;
constexpr uint32_t kNidSpamContentsTable = 0x2230;
const char* const kSpamSearchFolderName = "SPAM Search Folder 2";
// Nodes Outlook writes into every new file that [MS-PST] leaves undescribed:
// 0xC01 holds an empty BTH of 16-byte keys (GUIDs) to 4-byte values in a heap
// with client signature 0x9C, 0xE41 has no data. (0xE01 carries counters whose
// meaning is unknown and is not written; see docs/pst.md.)
constexpr uint32_t kNidGuidMap = 0xC01;
constexpr uint32_t kNidEmptyE41 = 0xE41;
constexpr uint8_t kGuidMapClientSig = 0x9C;

Binary RandomRecordKey() {
    std::random_device rd;
    Binary b(16);
    for (auto& x : b) x = uint8_t(rd());
    return b;
}

// Writes a message's node; a failure half-way gives back what was written, and
// the item stays unsaved.
WrittenNode WriteOrGiveBack(ndb::NodeDb& db, MessageData& msg, ndb::BlockList& written, uint32_t& rowVersion) {
    try {
        return WriteMessage(db, msg, &written, rowVersion);
    } catch (...) {
        db.ReleaseBlocks(written);
        throw;
    }
}

}  // namespace

PstStore::PstStore(const std::string& path, const std::string& displayName, const StoreOptions& options)
    : db_(path, options.encrypt), displayName_(displayName), recordKey_(RandomRecordKey()) {
    try {
        CreateEmptyStore();
    } catch (...) {
        // The file is ours (created exclusively above) and not a PST yet.
        db_.Abandon();
        std::remove(path.c_str());
        throw;
    }
}

void PstStore::CreateEmptyStore() {
    // Root folder: its own parent, no name.
    FolderState root;
    root.nid = ndb::NID_ROOT_FOLDER;
    root.parent = ndb::NID_ROOT_FOLDER;
    root.props[PR_DISPLAY_NAME] = std::string();
    folders_[root.nid] = std::move(root);
    db_.ReserveNidIndex(ndb::NID_TYPE_NORMAL_FOLDER, 0x400);
    ipmSubtree_ = CreateFolder(ndb::NID_ROOT_FOLDER, "Top of Personal Folders", "");
    searchRoot_ = CreateFolder(ndb::NID_ROOT_FOLDER, "Search Root", "");
    // Outlook gives its Deleted Items no container class: it holds items of every kind.
    deletedItems_ = CreateFolder(ipmSubtree_, "Deleted Items", "");

    storeProps_[PR_RECORD_KEY] = recordKey_;
    storeProps_[PR_DISPLAY_NAME] = displayName_;
    storeProps_[kTagValidFolderMask] = int32_t(0x89);
    storeProps_[kTagIpmSubtreeEntryId] = EntryId(ipmSubtree_);
    storeProps_[kTagIpmWastebasketEntryId] = EntryId(deletedItems_);
    storeProps_[kTagFinderEntryId] = EntryId(searchRoot_);
    storeProps_[0x6633000B] = true;
    storeProps_[0x66FA0003] = int32_t(0x000E0011);
    storeProps_[0x67FF0003] = int32_t(0);  // PidTagPstPassword: none

    // Table templates and the other fixed nodes; they never change.
    ndb::BlockList fixed;
    WriteTable(ndb::NID_HIERARCHY_TABLE_TEMPLATE, HierarchyLayout(), {}, fixed);
    WriteTable(ndb::NID_CONTENTS_TABLE_TEMPLATE, ContentsLayout(), {}, fixed);
    WriteTable(ndb::NID_ASSOC_CONTENTS_TABLE_TEMPLATE, AssocContentsLayout(), {}, fixed);
    WriteTable(ndb::NID_SEARCH_CONTENTS_TABLE_TEMPLATE, SearchContentsLayout(), {}, fixed);
    WriteTable(ndb::NID_ATTACHMENT_TABLE, AttachmentLayout(), {}, fixed);
    WriteTable(ndb::NID_RECIPIENT_TABLE, RecipientLayout({}), {}, fixed);
    WriteTable(ndb::NID_OUTGOING_QUEUE_TABLE, OutgoingQueueLayout(), {}, fixed);
    WriteTable(ndb::NID_CHANGE_HISTORY_TABLE_TEMPLATE, ChangeHistoryLayout(), {}, fixed);
    WriteTable(ndb::NID_TOMBSTONE_TABLE_TEMPLATE, TombstoneLayout(), {}, fixed);
    WriteTable(ndb::NID_TOMBSTONE_DATE_TABLE_TEMPLATE, TombstoneDateLayout(), {}, fixed);
    // Search is left idle: Outlook rebuilds its search structures itself.
    db_.SetNode(ndb::NID_SEARCH_MANAGEMENT_QUEUE, NodeEntry{});
    db_.SetNode(ndb::NID_SEARCH_DOMAIN_OBJECT, NodeEntry{});
    WriteSpamSearchFolder(fixed);
    {
        ltp::HeapBuilder heap(kGuidMapClientSig);
        const uint32_t rootHid = heap.Allocate(ndb::Bytes(4, 0));
        ndb::Bytes bthHid;
        ndb::Append32(bthHid, ltp::BuildBth(heap, 16, 4, {}, 0));
        heap.Patch(rootHid, bthHid);
        heap.SetUserRoot(rootHid);
        db_.SetNode(kNidGuidMap, NodeEntry{db_.WritePages(heap.Pages(), &fixed), 0, 0});
    }
    db_.SetNode(kNidEmptyE41, NodeEntry{});
    receiveFolder_ = ndb::NID_ROOT_FOLDER;
    // Readers expect a non-empty map; Outlook pre-registers names in the same way.
    for (uint32_t lid : {0x8501u, 0x8502u, 0x8503u, 0x8516u, 0x8517u, 0x8560u})
        names_.IdFor(NamedProperty{PSETID_Common(), false, lid, {}});
    names_.IdFor(NamedProperty{PS_PUBLIC_STRINGS(), true, 0, "Keywords"});
    Commit();
}

PstStore::~PstStore() = default;

// The search folder is empty and idle; Outlook fills it when it runs its junk filter.
void PstStore::WriteSpamSearchFolder(ndb::BlockList& owned) {
    spamRowProps_[PR_DISPLAY_NAME] = std::string(kSpamSearchFolderName);
    spamRowProps_[PR_CONTENT_COUNT] = int32_t(0);
    spamRowProps_[PR_CONTENT_UNREAD] = int32_t(0);
    spamRowProps_[PR_SUBFOLDERS] = false;
    std::vector<ltp::PcProp> pc;
    for (auto& [tag, v] : spamRowProps_) pc.push_back({tag, EncodeValue(uint16_t(tag), v), 0});
    ltp::SubnodeSink sink;
    sink.owned = &owned;
    const uint64_t folderBid = ltp::WritePc(db_, std::move(pc), sink);
    db_.SetNode(kNidSpamSearchFolder, NodeEntry{folderBid, 0, ndb::NID_ROOT_FOLDER});
    db_.SetNode(kNidSpamUpdateQueue, NodeEntry{});
    std::vector<ltp::PcProp> criteria{{kTagSearchFolderFlags, EncodeValue(uint16_t(kTagSearchFolderFlags), int32_t(0)), 0}};
    db_.SetNode(kNidSpamCriteria, NodeEntry{ltp::WritePc(db_, std::move(criteria), sink), 0, 0});
    WriteTable(kNidSpamContentsTable, SearchContentsLayout(), {}, owned);
    // The search activity list names the search folders Outlook keeps up to date.
    ndb::Bytes activity;
    ndb::Append32(activity, kNidSpamSearchFolder);
    db_.SetNode(ndb::NID_SEARCH_ACTIVITY_LIST, NodeEntry{db_.WriteData(activity.data(), activity.size(), &owned), 0, 0});
}

Binary PstStore::EntryId(uint32_t nid) const {
    Binary b(24, 0);
    for (size_t i = 0; i < 16 && i < recordKey_.size(); ++i) b[4 + i] = recordKey_[i];
    ndb::Put32(&b[20], nid);
    return b;
}

uint32_t PstStore::CreateFolder(uint32_t parent, const std::string& name, const std::string& containerClass) {
    FolderState& p = Folder(parent);
    uint32_t nid = db_.AllocateNid(ndb::NID_TYPE_NORMAL_FOLDER);
    // A folder's four nodes share one index.
    for (uint8_t t : {ndb::NID_TYPE_HIERARCHY_TABLE, ndb::NID_TYPE_CONTENTS_TABLE, ndb::NID_TYPE_ASSOC_CONTENTS_TABLE})
        db_.ReserveNidIndex(t, ndb::NidIndexOf(nid));
    FolderState f;
    f.nid = nid;
    f.parent = parent;
    f.props[PR_DISPLAY_NAME] = name;
    if (!containerClass.empty()) f.props[PR_CONTAINER_CLASS] = containerClass;
    p.children.push_back(nid);
    MarkDirty(parent);
    folders_[nid] = std::move(f);
    return nid;
}

FolderState& PstStore::Folder(uint32_t nid) {
    auto it = folders_.find(nid);
    if (it == folders_.end()) throw PstError("no folder with node id " + TagText(nid));
    return it->second;
}

const FolderState* PstStore::FindFolder(uint32_t nid) const {
    auto it = folders_.find(nid);
    return it == folders_.end() ? nullptr : &it->second;
}

// A folder's change shows in its own nodes and in its parent's hierarchy row.
void PstStore::MarkDirty(uint32_t nid) {
    FolderState& f = Folder(nid);
    f.dirty = true;
    if (f.parent != nid) Folder(f.parent).dirty = true;
}

void PstStore::SetFolderProp(uint32_t nid, uint32_t tag, PropValue value) {
    Folder(nid).props[tag] = std::move(value);
    MarkDirty(nid);
}

void PstStore::SetStoreProp(uint32_t tag, PropValue value) {
    storeProps_[tag] = std::move(value);
    storeDirty_ = true;
}

void PstStore::SetStoreStream(uint32_t tag, uint64_t bid) {
    storeProps_.erase(tag);
    std::erase_if(storeKept_, [&](const ltp::PcProp& p) { return TagId(p.tag) == TagId(tag); });
    storeStreams_[tag] = bid;
    storeDirty_ = true;
}

void PstStore::SetReceiveFolder(uint32_t inbox) {
    if (receiveFolder_ == inbox) return;
    receiveFolder_ = inbox;
    receiveDirty_ = true;
}

uint32_t PstStore::SaveMessage(uint32_t folder, MessageData& msg, const std::string& defaultClass,
                               SavedMessage* saved) {
    if (closed_) throw PstError("the store is closed");
    FolderState& f = Folder(folder);
    const auto given = msg.props.find(PR_MESSAGE_FLAGS);
    const auto* flagsGiven = given == msg.props.end() ? nullptr : std::get_if<int32_t>(&given->second);
    const bool associated = flagsGiven && (*flagsGiven & MSGFLAG_ASSOCIATED);
    if (associated && f.fromFile) throw PstError("a folder of an opened file takes no hidden messages");
    LoadContents(f);
    pst::FinishAttachment(db_, msg, rowVersion_);
    PrepareMessage(msg, defaultClass);
    uint32_t nid = db_.AllocateNid(associated ? ndb::NID_TYPE_ASSOC_MESSAGE : ndb::NID_TYPE_NORMAL_MESSAGE);
    ndb::BlockList written;
    const WrittenNode w = WriteOrGiveBack(db_, msg, written, rowVersion_);
    msg.SetStreamsPending(db_, false);
    db_.SetNode(nid, NodeEntry{w.bidData, w.bidSub, folder});
    if (associated) {
        f.assoc.push_back(spool_.Append(MakeRow(AssocContentsLayout(), nid, ++rowVersion_, msg.props)));
        MarkDirty(folder);
        return nid;
    }
    f.contents.push_back(spool_.Append(MakeRow(f.contentsLayout, nid, ++rowVersion_, msg.props)));
    auto flags = std::get_if<int32_t>(&msg.props[PR_MESSAGE_FLAGS]);
    if (flags && !(*flags & MSGFLAG_READ)) ++f.unread;
    MarkDirty(folder);
    if (saved) *saved = SavedMessage{nid, folder, f.RowCount() - 1, std::move(written)};
    return nid;
}

void PstStore::FinishAttachment(MessageData& msg) {
    if (closed_) throw PstError("the store is closed");
    pst::FinishAttachment(db_, msg, rowVersion_);
}

void PstStore::RewriteMessage(SavedMessage& saved, MessageData& msg, const std::string& defaultClass) {
    if (closed_) throw PstError("the store is closed");
    FolderState& f = Folder(saved.folder);
    if (saved.nid == 0 || saved.row < f.contentsBase || saved.row >= f.RowCount()) throw PstError("no such saved message");
    pst::FinishAttachment(db_, msg, rowVersion_);
    PrepareMessage(msg, defaultClass);
    ndb::BlockList written;
    const WrittenNode w = WriteOrGiveBack(db_, msg, written, rowVersion_);
    db_.SetNode(saved.nid, NodeEntry{w.bidData, w.bidSub, saved.folder});
    db_.ReleaseBlocks(saved.blocks);
    saved.blocks = std::move(written);
    f.contents[saved.row - f.contentsBase] = spool_.Append(MakeRow(f.contentsLayout, saved.nid, ++rowVersion_, msg.props));
    // A row already in the file changes in place: the table is written whole.
    if (saved.row < f.committedRows) f.contentsWhole = true;
    MarkDirty(saved.folder);
}

PropMap PstStore::FolderRowProps(const FolderState& f) const {
    PropMap p = f.props;
    // The root folder of a new store also holds the junk-mail search folder;
    // an opened file's search folders are among its other children.
    p[PR_SUBFOLDERS] = !f.children.empty() || !f.otherChildren.empty() || (!f.fromFile && f.nid == ndb::NID_ROOT_FOLDER);
    if (f.contentsLoaded) {
        p[PR_CONTENT_COUNT] = int32_t(f.RowCount());
        p[PR_CONTENT_UNREAD] = int32_t(f.unread);
    }
    if (f.fromFile) return p;  // its associated contents stay as they are
    p[PR_ASSOC_CONTENT_COUNT] = int32_t(f.assoc.size());
    p[kTagPstHiddenCount] = int32_t(0);
    p[kTagPstHiddenUnread] = int32_t(0);
    return p;
}

void PstStore::WriteSingleton(uint32_t nid, std::vector<ltp::PcProp> props, ndb::BlockList& owned) {
    db_.ReleaseBlocks(owned);
    owned.clear();
    ltp::SubnodeSink sink;
    sink.owned = &owned;
    uint64_t bid = ltp::WritePc(db_, std::move(props), sink);
    db_.SetNode(nid, NodeEntry{bid, db_.WriteSubnodes(sink.entries, &owned), 0});
}

void PstStore::WriteTable(uint32_t nid, const ltp::TableLayout& layout, const std::vector<ltp::TcRow>& rows,
                          ndb::BlockList& owned) {
    std::vector<const ltp::TcRow*> ptrs;
    ptrs.reserve(rows.size());
    for (auto& r : rows) ptrs.push_back(&r);
    ltp::SubnodeSink sink;
    sink.owned = &owned;
    uint64_t bid = ltp::WriteTc(db_, layout, ptrs, sink);
    db_.SetNode(nid, NodeEntry{bid, db_.WriteSubnodes(sink.entries, &owned), 0});
}

void PstStore::WriteFolder(FolderState& f) {
    db_.ReleaseBlocks(f.owned);
    f.owned.clear();
    PropMap props = FolderRowProps(f);
    std::vector<ltp::PcProp> pc;
    for (auto& [tag, v] : props) pc.push_back({tag, EncodeValue(uint16_t(tag), v), 0});
    AddKept(pc, f.kept);
    ltp::SubnodeSink sink;
    sink.owned = &f.owned;
    uint64_t bid = ltp::WritePc(db_, std::move(pc), sink);
    db_.SetNode(f.nid, NodeEntry{bid, db_.WriteSubnodes(sink.entries, &f.owned), f.parent});

    std::vector<ltp::TcRow> hierarchy;
    if (f.nid == ndb::NID_ROOT_FOLDER && !f.fromFile)
        hierarchy.push_back(MakeRow(f.hierarchyLayout, kNidSpamSearchFolder, ++rowVersion_, spamRowProps_));
    for (uint32_t other : f.otherChildren) hierarchy.push_back(f.fileRows.at(other));
    for (uint32_t child : f.children) {
        hierarchy.push_back(MakeRow(f.hierarchyLayout, child, ++rowVersion_, FolderRowProps(Folder(child))));
        auto old = f.fileRows.find(child);
        if (old != f.fileRows.end()) FillFromRow(f.hierarchyLayout, hierarchy.back(), old->second);
    }
    WriteTable(ndb::WithType(f.nid, ndb::NID_TYPE_HIERARCHY_TABLE), f.hierarchyLayout, hierarchy, f.owned);
    if (f.contentsLoaded) WriteContents(f);
    if (!f.fromFile) {
        RowSpool::Source rows(spool_, f.assoc);
        ltp::SubnodeSink tableSink;
        tableSink.owned = &f.owned;
        uint64_t tableBid = ltp::WriteTc(db_, AssocContentsLayout(), rows, tableSink);
        db_.SetNode(ndb::WithType(f.nid, ndb::NID_TYPE_ASSOC_CONTENTS_TABLE),
                    NodeEntry{tableBid, db_.WriteSubnodes(tableSink.entries, &f.owned), 0});
    }
    f.dirty = false;
}

void PstStore::WriteContents(FolderState& f) {
    const uint32_t nid = ndb::WithType(f.nid, ndb::NID_TYPE_CONTENTS_TABLE);
    if (!f.contentsWhole) {
        if (f.RowCount() == f.committedRows) return;
        const std::optional<NodeEntry> node = db_.FindNode(nid);
        if (!node) throw PstError("a folder's contents table is missing");
        const NodeEntry old = *node;
        RowSpool::Source rows(spool_, f.contents, f.committedRows - f.contentsBase);
        ndb::BlockList written;
        ltp::TableAppendResult r;
        bool appended = false;
        try {
            appended = ltp::AppendTc(db_, old, f.contentsLayout, f.committedRows, rows, &written, r);
        } catch (...) {
            db_.ReleaseBlocks(written);
            throw;
        }
        if (appended) {
            db_.SetNode(nid, NodeEntry{r.bidData, r.bidSub, 0});
            // What the new table no longer uses of the old one is given back.
            ndb::BlockList now = db_.NodeBlocks(r.bidData, r.bidSub);
            std::sort(now.begin(), now.end());
            std::sort(f.contentsOwned.begin(), f.contentsOwned.end());
            ndb::BlockList gone;
            std::set_difference(f.contentsOwned.begin(), f.contentsOwned.end(), now.begin(), now.end(),
                                std::back_inserter(gone));
            db_.ReleaseBlocks(gone);
            f.contentsOwned = std::move(now);
            f.committedRows = f.RowCount();
            return;
        }
    }
    ReadBaseRows(f);
    db_.ReleaseBlocks(f.contentsOwned);
    f.contentsOwned.clear();
    RowSpool::Source rows(spool_, f.contents);
    ltp::SubnodeSink tableSink;
    tableSink.owned = &f.contentsOwned;
    uint64_t tableBid = ltp::WriteTc(db_, f.contentsLayout, rows, tableSink);
    db_.SetNode(nid, NodeEntry{tableBid, db_.WriteSubnodes(tableSink.entries, &f.contentsOwned), 0});
    f.committedRows = f.RowCount();
    f.contentsWhole = false;
}

void PstStore::WriteReceiveTable() {
    std::vector<ltp::TcRow> rows;
    const std::pair<const char*, uint32_t> routes[] = {
        {"", receiveFolder_}, {"IPM", receiveFolder_}, {"REPORT.IPM", receiveFolder_}, {"IPC", ndb::NID_ROOT_FOLDER}};
    uint32_t id = 0;
    for (auto& [cls, nid] : routes) {
        if (receiveFolder_ == ndb::NID_ROOT_FOLDER && id > 0) break;  // a blank store routes "" only
        PropMap p;
        p[kTagReceiveFolderNid] = int32_t(nid);
        p[PR_MESSAGE_CLASS] = std::string(cls);
        ++id;
        rows.push_back(MakeRow(ReceiveFolderLayout(), id, ++rowVersion_, p));
    }
    db_.ReleaseBlocks(receiveOwned_);
    receiveOwned_.clear();
    WriteTable(ndb::NID_RECEIVE_FOLDER_TABLE, ReceiveFolderLayout(), rows, receiveOwned_);
    receiveDirty_ = false;
}

void PstStore::Commit() {
    if (closed_) throw PstError("the store is closed");
    for (auto& [nid, f] : folders_)
        if (f.dirty) WriteFolder(f);
    if (storeDirty_) {
        std::vector<ltp::PcProp> pc;
        for (auto& [tag, v] : storeProps_) pc.push_back({tag, EncodeValue(uint16_t(tag), v), 0});
        for (auto& [tag, bid] : storeStreams_) pc.push_back({tag, {}, bid});
        AddKept(pc, storeKept_);
        WriteSingleton(ndb::NID_MESSAGE_STORE, std::move(pc), storeOwned_);
        storeDirty_ = false;
    }
    if (names_.Dirty()) {
        names_.EnsureTrailingPad();
        WriteSingleton(ndb::NID_NAME_TO_ID_MAP, names_.Properties(), namesOwned_);
        names_.MarkClean();
    }
    if (receiveDirty_) WriteReceiveTable();
    // Outlook keeps the header's dwUnique above every table row version.
    db_.RaiseUnique(rowVersion_);
    db_.Commit();
}

void PstStore::Close() {
    if (closed_) return;
    Commit();
    db_.Close();
    closed_ = true;
}

}  // namespace pst
