// Opening an existing store to add to it. Folders are found as Outlook finds
// them: the store's entry IDs, the folders' hierarchy tables and the receive
// folder table. Only what is changed gets rewritten; contents tables are read
// when a folder first gets an item.
#include <algorithm>
#include <set>

#include "FileKept.h"
#include "PropDecode.h"
#include "PropTags.h"
#include "PstStore.h"
#include "pst/ltp/ContextRead.h"
#include "pst/ltp/TableAppend.h"
#include "pst/ndb/Error.h"

namespace pst {
namespace {

using namespace pst::tags;

constexpr uint32_t kTagIpmSubtreeEntryId = 0x35E00102;
constexpr uint32_t kTagIpmWastebasketEntryId = 0x35E30102;
constexpr uint32_t kTagFinderEntryId = 0x35E70102;
constexpr uint32_t kTagReceiveFolderNid = 0x66050003;

// Decodable values into `props`, the rest into `kept`.
void SplitProps(std::vector<ltp::PcProp> read, PropMap& props, std::vector<ltp::PcProp>& kept) {
    for (ltp::PcProp& p : read) {
        if (auto v = DecodeValue(TagType(p.tag), p.value))
            props[p.tag] = std::move(*v);
        else
            kept.push_back(std::move(p));
    }
}

bool CellSet(const ltp::TableLayout& layout, const ltp::TcRow& row, const ltp::ColumnDesc& c) {
    return row.cells[layout.rgib[2] + c.iBit / 8] & (0x80 >> (c.iBit % 8));
}

}  // namespace

void AddKept(std::vector<ltp::PcProp>& pc, const std::vector<ltp::PcProp>& kept) {
    std::set<uint16_t> ids;
    for (const ltp::PcProp& p : pc) ids.insert(TagId(p.tag));
    for (const ltp::PcProp& p : kept)
        if (!ids.count(TagId(p.tag))) pc.push_back(p);
}

void FillFromRow(const ltp::TableLayout& layout, ltp::TcRow& row, const ltp::TcRow& old) {
    if (old.cells.size() != row.cells.size()) return;
    for (const ltp::ColumnDesc& c : layout.columns) {
        if (CellSet(layout, row, c) || !CellSet(layout, old, c)) continue;
        std::copy(old.cells.begin() + c.ib, old.cells.begin() + c.ib + c.cb, row.cells.begin() + c.ib);
        row.cells[layout.rgib[2] + c.iBit / 8] |= uint8_t(0x80 >> (c.iBit % 8));
        for (auto& [ib, value] : old.vars)
            if (ib == c.ib) row.vars.emplace_back(ib, value);
    }
}

PstStore::PstStore(const std::string& path, Existing) : db_(path, ndb::NodeDb::Existing{}) {
    try {
        OpenStore();
    } catch (const PstRefused&) {
        db_.Abandon();
        throw;
    } catch (const std::exception& e) {
        db_.Abandon();
        throw PstRefused("\"" + path + "\" cannot be opened: " + e.what() + "; it is left untouched");
    }
}

uint32_t PstStore::FolderOfEntryId(const Binary& id) const {
    if (id.size() != 24 || !std::equal(recordKey_.begin(), recordKey_.end(), id.begin() + 4)) return 0;
    uint32_t nid = ndb::Get32(&id[20]);
    return folders_.count(nid) ? nid : 0;
}

void PstStore::OpenStore() {
    auto refuse = [&](const std::string& why) {
        throw PstRefused("\"" + db_.Path() + "\" " + why + "; it is left untouched");
    };
    // Rows written from here on take versions above every one the file has.
    rowVersion_ = db_.Unique();
    const std::optional<ndb::NodeEntry> store = db_.FindNode(ndb::NID_MESSAGE_STORE);
    if (!store) refuse("has no message store");
    SplitProps(ltp::ReadPc(db_, store->bidData, store->bidSub, &storeFileStreams_), storeProps_, storeKept_);
    storeOwned_ = db_.NodeBlocks(store->bidData, store->bidSub);
    auto key = storeProps_.find(PR_RECORD_KEY);
    if (key == storeProps_.end() || !std::holds_alternative<Binary>(key->second) || std::get<Binary>(key->second).size() != 16) refuse("has a store without a record key");
    recordKey_ = std::get<Binary>(key->second);
    if (auto it = storeProps_.find(PR_DISPLAY_NAME); it != storeProps_.end())
        if (auto name = std::get_if<std::string>(&it->second)) displayName_ = *name;

    // The folders as Outlook finds them: from the root folder down the
    // hierarchy tables (the node tree is not read whole).
    std::vector<uint32_t> reach = {ndb::NID_ROOT_FOLDER};
    while (!reach.empty()) {
        const uint32_t nid = reach.back();
        reach.pop_back();
        if (folders_.count(nid)) continue;
        const std::optional<ndb::NodeEntry> node = db_.FindNode(nid);
        if (!node) continue;
        LoadFolder(nid, *node);
        for (auto& [child, row] : folders_[nid].fileRows)
            if (ndb::NidTypeOf(child) == ndb::NID_TYPE_NORMAL_FOLDER) reach.push_back(child);
    }
    if (!folders_.count(ndb::NID_ROOT_FOLDER)) refuse("has no root folder");
    // Children as the hierarchy tables list them; other rows (search folders) are kept as they are.
    for (auto& [nid, f] : folders_) {
        for (auto& [child, row] : f.fileRows) {
            if (child != nid && folders_.count(child))
                f.children.push_back(child);
            else
                f.otherChildren.push_back(child);
        }
    }
    auto entryFolder = [&](uint32_t tag) -> uint32_t {
        auto it = storeProps_.find(tag);
        auto b = it == storeProps_.end() ? nullptr : std::get_if<Binary>(&it->second);
        return b ? FolderOfEntryId(*b) : 0;
    };
    ipmSubtree_ = entryFolder(kTagIpmSubtreeEntryId);
    if (!ipmSubtree_) refuse("has no top of personal folders (IPM subtree)");
    deletedItems_ = entryFolder(kTagIpmWastebasketEntryId);
    searchRoot_ = entryFolder(kTagFinderEntryId);

    if (const std::optional<ndb::NodeEntry> names = db_.FindNode(ndb::NID_NAME_TO_ID_MAP)) {
        try {
            names_.Load(ltp::ReadPc(db_, names->bidData, names->bidSub));
        } catch (const PstRefused&) {
            throw;
        } catch (const PstError& e) {
            refuse(std::string("is damaged: named-property map (node 0x61): ") + e.what());
        }
        namesOwned_ = db_.NodeBlocks(names->bidData, names->bidSub);
    }
    receiveFolder_ = ndb::NID_ROOT_FOLDER;
    if (const std::optional<ndb::NodeEntry> receive = db_.FindNode(ndb::NID_RECEIVE_FOLDER_TABLE)) {
        ltp::TableRead t = ltp::ReadTc(db_, receive->bidData, receive->bidSub);
        const ltp::ColumnDesc* target = t.layout.Find(kTagReceiveFolderNid);
        const ltp::ColumnDesc* cls = t.layout.Find(PR_MESSAGE_CLASS);
        for (const ltp::TcRow& r : t.rows) {
            if (!target || !cls || !CellSet(t.layout, r, *target)) continue;
            std::string name;
            for (auto& [ib, value] : r.vars)
                if (ib == cls->ib) name = FromUtf16(value.data(), value.size());
            uint32_t nid = ndb::Get32(&r.cells[target->ib]);
            if ((name.empty() || name == "IPM") && folders_.count(nid)) receiveFolder_ = nid;
        }
        receiveOwned_ = db_.NodeBlocks(receive->bidData, receive->bidSub);
    }
    if (!deletedItems_) {
        deletedItems_ = CreateFolder(ipmSubtree_, "Deleted Items", "");
        SetStoreProp(kTagIpmWastebasketEntryId, EntryId(deletedItems_));
    } else {
        storeDirty_ = false;
    }
    receiveDirty_ = false;
}

uint64_t PstStore::AdoptStoreStream(uint32_t tag) {
    auto it = storeFileStreams_.find(tag);
    if (it == storeFileStreams_.end() || storeStreams_.count(tag)) return 0;
    const uint64_t bid = it->second;
    ndb::BlockList tree = db_.NodeBlocks(bid, 0);
    std::sort(tree.begin(), tree.end());
    std::erase_if(storeOwned_, [&](uint64_t b) { return std::binary_search(tree.begin(), tree.end(), b); });
    const bool dirty = storeDirty_;
    SetStoreStream(tag, bid);
    storeDirty_ = dirty;  // the store node is as it was
    return bid;
}

void PstStore::LoadFolder(uint32_t nid, const ndb::NodeEntry& node) {
    FolderState f;
    f.nid = nid;
    f.parent = nid == ndb::NID_ROOT_FOLDER ? nid : node.parent;
    f.fromFile = true;
    f.contentsLoaded = false;
    f.dirty = false;
    SplitProps(ltp::ReadPc(db_, node.bidData, node.bidSub), f.props, f.kept);
    f.owned = db_.NodeBlocks(node.bidData, node.bidSub);
    if (auto it = f.props.find(PR_CONTENT_UNREAD); it != f.props.end())
        if (auto unread = std::get_if<int32_t>(&it->second)) f.unread = uint32_t(std::max(0, *unread));
    if (const std::optional<ndb::NodeEntry> h = db_.FindNode(ndb::WithType(nid, ndb::NID_TYPE_HIERARCHY_TABLE))) {
        ltp::TableRead t = ltp::ReadTc(db_, h->bidData, h->bidSub);
        if (!t.layout.columns.empty()) f.hierarchyLayout = t.layout;
        for (ltp::TcRow& r : t.rows) f.fileRows[r.rowId] = std::move(r);
        ndb::BlockList blocks = db_.NodeBlocks(h->bidData, h->bidSub);
        f.owned.insert(f.owned.end(), blocks.begin(), blocks.end());
    }
    folders_[nid] = std::move(f);
}

void PstStore::LoadContents(FolderState& f) {
    if (f.contentsLoaded) return;
    if (const std::optional<ndb::NodeEntry> c = db_.FindNode(ndb::WithType(f.nid, ndb::NID_TYPE_CONTENTS_TABLE))) {
        const ndb::NodeEntry node = *c;
        ltp::TableLayout layout;
        size_t rows = 0;
        // A table whose rows are in a subnode is added to without reading its rows.
        if (ltp::InspectTc(db_, node, layout, rows)) {
            if (!layout.columns.empty()) f.contentsLayout = layout;
            f.contentsBase = f.committedRows = rows;
            f.contentsWhole = false;
        } else {
            ltp::TableRead t = ltp::ReadTc(db_, node.bidData, node.bidSub);
            if (!t.layout.columns.empty()) f.contentsLayout = t.layout;
            for (const ltp::TcRow& r : t.rows) f.contents.push_back(spool_.Append(r));
            f.committedRows = f.contents.size();
            f.contentsWhole = true;
        }
        f.contentsOwned = db_.NodeBlocks(node.bidData, node.bidSub);
    }
    f.contentsLoaded = true;
}

void PstStore::ReadBaseRows(FolderState& f) {
    if (f.contentsBase == 0) return;
    const std::optional<ndb::NodeEntry> c = db_.FindNode(ndb::WithType(f.nid, ndb::NID_TYPE_CONTENTS_TABLE));
    if (!c) throw PstError("a folder's contents table is missing");
    ltp::TableRead t = ltp::ReadTc(db_, c->bidData, c->bidSub);
    if (t.rows.size() < f.contentsBase) throw PstError("a folder's contents table lost rows");
    std::vector<uint64_t> all;
    all.reserve(f.RowCount());
    for (size_t i = 0; i < f.contentsBase; ++i) all.push_back(spool_.Append(t.rows[i]));
    all.insert(all.end(), f.contents.begin(), f.contents.end());
    f.contents = std::move(all);
    f.contentsBase = 0;
}

}  // namespace pst
