// Messaging layer: mandatory nodes, message store, folders and their tables,
// messages with their recipient/attachment tables, and the named-property map.
#include <algorithm>

#include "Internal.h"
#include "NidList.h"
#include "RepeatFinder.h"

namespace pst::verify::detail {

namespace {

constexpr uint32_t kStoreNid = 0x21, kNameMapNid = 0x61, kRootFolderNid = 0x122;

constexpr uint32_t TagDisplayName = 0x3001001F;
constexpr uint32_t TagContentCount = 0x36020003;
constexpr uint32_t TagContentUnread = 0x36030003;
constexpr uint32_t TagSubfolders = 0x360A000B;
constexpr uint32_t TagContainerClass = 0x3613001F;
constexpr uint32_t TagAssocContentCount = 0x36170003;
constexpr uint32_t TagSubject = 0x0037001F;
constexpr uint32_t TagMessageClass = 0x001A001F;
constexpr uint32_t TagMessageFlags = 0x0E070003;
constexpr uint32_t TagMessageSize = 0x0E080003;
constexpr uint32_t TagAttachMethod = 0x37050003;
constexpr uint32_t TagAttachDataObject = 0x3701000D;
constexpr uint32_t TagRecordKey = 0x0FF90102;

constexpr uint32_t kMsgFlagRead = 0x01, kMsgFlagHasAttach = 0x10;

bool SameValue(const Value& a, const Value& b) {
    if (a.type != b.type) return false;
    if (a.type == 0x000B) return a.AsBool() == b.AsBool();
    return a.bytes == b.bytes && a.notKept == b.notKept;
}

// Table columns that repeat the child's own property. Left out: the row id/version, the
// replication columns 0x0E30-0x0E3D, PidTagMessageStatus, PidTagConversationId and
// PidTagLtpParentNid, which Outlook keeps in tables without (or apart from) the object.
bool MirroredColumn(uint32_t tag) {
    const uint16_t id = uint16_t(tag >> 16);
    if (id == 0x67F2 || id == 0x67F3 || id == 0x67F1 || id == 0x0E17 || id == 0x3013) return false;
    if (id >= 0x0E30 && id <= 0x0E3D) return false;
    return true;
}

bool IsFolderType(uint32_t nid) { return NidType(nid) == 0x02 || NidType(nid) == 0x03; }

}  // namespace

void Context::CheckMessaging() {
    // --- Parse every node's contexts.
    auto looksLikeHeap = [&](uint64_t bidData, uint8_t& clientSig) {
        Bytes first;
        const auto b = Block(bidData);
        if (!b || !b->structureOk()) return false;
        std::vector<Bytes> blocks;
        if (!b->internal()) {
            if (!ReadBlock(bidData, first)) return false;
        } else {
            if (!ReadStream(bidData, blocks, "") || blocks.empty()) return false;
            first = blocks[0];
        }
        if (first.size() < 12 || first[2] != 0xEC) return false;
        clientSig = first[3];
        return true;
    };
    for (const auto& [nid, n] : nbt) {
        // Messages are read one at a time with their folder's contents table,
        // and the rows of those tables as they are checked (below).
        const uint32_t t = NidType(nid);
        if (t == 0x04 || t == 0x08 || t == 0x0E || t == 0x0F) continue;
        const std::string where = NodeName(nid);
        Subnodes subs;
        if (!ReadSubnodes(n.bidSub, subs, where) && n.bidSub) continue;
        const uint32_t type = NidType(nid);
        const bool wantPc = type == 0x02 || type == 0x03 || type == 0x04 || type == 0x08 || nid == kStoreNid ||
                            nid == kNameMapNid;
        const bool wantTc = type == 0x0D || type == 0x0E || type == 0x0F || type == 0x11 ||
                            type == 0x12 || type == 0x0B || type == 0x0C || type == 0x16 || type == 0x17 || type == 0x18;
        if (wantPc) {
            PropertyContext pc;
            if (ParsePc(n.bidData, subs, where, pc)) pcs[nid] = std::move(pc);
        } else if (wantTc) {
            TableContext tc;
            if (ParseTc(n.bidData, subs, where, tc)) tcs[nid] = std::move(tc);
        } else if (n.bidData != 0) {
            uint8_t sig = 0;
            if (looksLikeHeap(n.bidData, sig)) {
                if (sig == 0xBC) {
                    PropertyContext pc;
                    if (ParsePc(n.bidData, subs, where, pc)) pcs[nid] = std::move(pc);
                } else if (sig == 0x7C) {
                    TableContext tc;
                    if (ParseTc(n.bidData, subs, where, tc)) tcs[nid] = std::move(tc);
                } else {
                    Heap heap;
                    ParseHeap(n.bidData, where, heap);
                }
            }
        }
    }

    // A message's PC read again without reporting (for the text of a fault).
    auto quietPc = [&](uint32_t nid, PropertyContext& pc) {
        const size_t pcsBefore = report.propertyContexts, tcsBefore = report.tableContexts;
        ++muted_;
        Subnodes subs;
        const auto n = Node(nid);
        const bool ok = n && (ReadSubnodes(n->bidSub, subs, "") || !n->bidSub) && ParsePc(n->bidData, subs, "", pc);
        --muted_;
        report.propertyContexts = pcsBefore;
        report.tableContexts = tcsBefore;
        return ok;
    };
    auto nameOf = [&](uint32_t nid) -> std::string {
        PropertyContext quiet;
        auto it = pcs.find(nid);
        const PropertyContext* pc = it != pcs.end() ? &it->second : nullptr;
        if (!pc && (NidType(nid) == 0x04 || NidType(nid) == 0x08) && quietPc(nid, quiet)) pc = &quiet;
        if (!pc) return "";
        const Value* v = pc->FindTag(TagDisplayName);
        if (!v) v = pc->FindTag(TagSubject);
        return v ? " " + v->AsText() : "";
    };

    // --- Mandatory nodes ([MS-PST] 2.7.1, as present in Outlook-made files).
    static const std::pair<uint32_t, const char*> kMandatory[] = {
        {0x21, "message store"}, {0x61, "named-property map"}, {0x122, "root folder"},
        {0x12D, "root folder hierarchy table"}, {0x12E, "root folder contents table"},
        {0x12F, "root folder associated contents table"}, {0x1E1, "search management queue"},
        {0x201, "search activity list"}, {0x60D, "hierarchy table template"}, {0x60E, "contents table template"},
        {0x60F, "associated contents table template"}, {0x610, "search contents table template"},
        {0x671, "attachment table template"}, {0x692, "recipient table template"},
    };
    for (const auto& [nid, what] : kMandatory)
        if (!HasNode(nid)) Fault(NodeName(nid), std::string("mandatory node (") + what + ") is missing from the NBT");

    // ENTRYIDs of this store ([MS-PST] 2.4.3.2): flags 0, the store's record key, an existing folder NID.
    const Value* storeRecordKey = nullptr;
    if (auto it = pcs.find(kStoreNid); it != pcs.end()) storeRecordKey = it->second.FindTag(TagRecordKey);
    auto checkEntryId = [&](const std::string& where, const std::string& name, const uint8_t* id, size_t n) {
        if (n != 24) {
            Fault(where, name + " is " + std::to_string(n) + " bytes, expected a 24-byte ENTRYID");
            return;
        }
        if (U32(id) != 0) Fault(where, name + " has non-zero rgbFlags");
        if (storeRecordKey && storeRecordKey->bytes.size() == 16 &&
            !std::equal(storeRecordKey->bytes.begin(), storeRecordKey->bytes.end(), id + 4))
            Fault(where, name + " does not carry the store's record key as provider UID");
        const uint32_t target = U32(id + 20);
        if (!HasNode(target) || !IsFolderType(target))
            Fault(where, name + " names NID " + Hex(target) + ", which is not a folder in the NBT");
    };

    // --- Message store.
    auto storeIt = pcs.find(kStoreNid);
    if (storeIt != pcs.end()) {
        const PropertyContext& store = storeIt->second;
        const std::string where = "message store (node 0x21)";
        const Value* recordKey = store.FindTag(TagRecordKey);
        if (!recordKey || recordKey->bytes.size() != 16)
            Fault(where, "PidTagRecordKey (0x0FF90102) is missing or not 16 bytes");
        if (!store.FindTag(TagDisplayName)) Fault(where, "PidTagDisplayName (0x3001001F) is missing");
        static const std::pair<uint32_t, const char*> kEntryIds[] = {
            {0x35E00102, "PidTagIpmSubTreeEntryId"}, {0x35E30102, "PidTagIpmWastebasketEntryId"},
            {0x35E70102, "PidTagFinderEntryId"},     {0x35E20102, "PidTagIpmOutboxEntryId"},
            {0x35E40102, "PidTagIpmSentMailEntryId"}, {0x35E50102, "PidTagViewsEntryId"},
            {0x35E60102, "PidTagCommonViewsEntryId"},
        };
        for (size_t i = 0; i < std::size(kEntryIds); ++i) {
            const auto& [tag, name] = kEntryIds[i];
            const Value* v = store.FindTag(tag);
            if (!v) {
                if (i < 3) Fault(where, std::string(name) + " (" + TagText(tag) + ") is missing");
                continue;
            }
            checkEntryId(where, name, v->bytes.data(), v->bytes.size());
        }
    } else if (HasNode(kStoreNid)) {
        Fault("message store (node 0x21)", "the message store's property context could not be read");
    }

    // --- Root folder.
    if (const auto root = Node(kRootFolderNid); root && root->nidParent != kRootFolderNid)
        Fault(NodeName(kRootFolderNid), "root folder's parent is " + Hex(root->nidParent) + ", expected itself (0x122)");

    // --- Children by parent.
    std::map<uint32_t, NidList> childFolders, childMessages, childAssoc;
    for (const auto& [nid, n] : nbt) {
        const uint32_t type = NidType(nid);
        if (type == 0x02 || type == 0x03) {
            ++report.folders;
            if (nid != n.nidParent) childFolders[n.nidParent].push_back(nid);
            else if (nid != kRootFolderNid)
                Fault(NodeName(nid), "folder is its own parent");
            if (HasNode(n.nidParent) && NidType(n.nidParent) != 0x02)
                Fault(NodeName(nid), "parent " + Hex(n.nidParent) + " is not a normal folder");
            // Walk up to the root.
            uint32_t cur = nid;
            for (int steps = 0; steps < 1000; ++steps) {
                const auto c = Node(cur);
                if (!c || c->nidParent == cur) break;
                cur = c->nidParent;
                if (steps == 999) Fault(NodeName(nid), "folder parent chain loops without reaching the root folder");
            }
            if (cur != kRootFolderNid && HasNode(cur))
                Fault(NodeName(nid), "folder parent chain ends at " + Hex(cur) + ", not at the root folder 0x122");
        } else if (type == 0x04 || type == 0x08) {
            ++report.messages;
            if (!HasNode(n.nidParent) || !IsFolderType(n.nidParent))
                Fault(NodeName(nid), "message's parent " + Hex(n.nidParent) + " is not a folder in the NBT");
            (type == 0x04 ? childMessages : childAssoc)[n.nidParent].push_back(nid);
        } else if (n.nidParent != 0 && type != 0x07 && type != 0x06) {
            // Tables and internal nodes carry parent 0 in Outlook files; a parent here is harmless but odd.
        }
    }

    // --- Row versions (PidTagLtpRowVer): Outlook gives every table row of the file its own,
    // all below the header's dwUnique.
    // A copied message keeps its recipient and attachment tables, so the same row of a message's
    // table may appear again in another message. The first pass keeps only which versions were
    // seen (two bits a version); only when one repeats are the tables walked again to name the
    // rows that share it.
    struct RowSeen {
        std::string where;
        uint32_t rowId = 0;
        bool messageTable = false;
    };
    // Versions below dwUnique are numbered densely in a sound file (at most 2^27 bits: a
    // damaged header cannot make them large).
    RepeatFinder versions(std::min<uint64_t>(dwUnique, uint64_t(1) << 27));
    bool anyVersion = false;
    uint32_t maxVersion = 0;
    std::string maxWhere;
    bool versionDetail = false;          // the second pass
    std::vector<uint32_t> repeated;      // sorted versions seen more than once
    std::map<uint32_t, RowSeen> firstSeen;
    std::vector<pst::verify::Fault> versionFaults;
    auto collectRow = [&](const TableRow& row, const std::string& where, bool messageTable) {
        auto cell = row.cells.find(0x67F30003);
        if (cell == row.cells.end() || !cell->second.AsInt()) return;
        const uint32_t version = uint32_t(*cell->second.AsInt());
        if (!versionDetail) {
            versions.Add(version);
            if (!anyVersion || version > maxVersion) {
                anyVersion = true;
                maxVersion = version;
                maxWhere = where + " row " + Hex(row.rowId);
            }
            return;
        }
        if (!std::binary_search(repeated.begin(), repeated.end(), version)) return;
        const std::string here = where + " row " + Hex(row.rowId);
        auto [it, added] = firstSeen.emplace(version, RowSeen{here, row.rowId, messageTable});
        if (!added && !(messageTable && it->second.messageTable && it->second.rowId == row.rowId))
            versionFaults.push_back({here, "row version " + std::to_string(version) + " is also used by " + it->second.where});
    };
    auto collectRowVersions = [&](const TableContext& tc, const std::string& where, bool messageTable) {
        for (const auto& row : tc.rows) collectRow(row, where, messageTable);
    };

    // --- Property types of well-known tags: a tag stored with another type is invisible to clients.
    static const std::pair<uint16_t, uint16_t> kTypes[] = {
        {0x001A, 0x001F}, {0x0037, 0x001F}, {0x0E07, 0x0003}, {0x0E08, 0x0003}, {0x0E17, 0x0003},
        {0x3001, 0x001F}, {0x3602, 0x0003}, {0x3603, 0x0003}, {0x360A, 0x000B}, {0x3613, 0x001F},
        {0x3007, 0x0040}, {0x3008, 0x0040}, {0x0E06, 0x0040}, {0x0039, 0x0040}, {0x0FF9, 0x0102},
        {0x300B, 0x0102}, {0x1000, 0x001F}, {0x0E04, 0x001F}, {0x0E03, 0x001F}, {0x0E02, 0x001F},
    };
    auto checkTypes = [&](uint32_t nid, const PropertyContext& pc) {
        if (nid == kNameMapNid) return;  // its 0x1000+ tags are hash buckets
        for (const auto& [id, type] : kTypes) {
            const Value* v = pc.Find(id);
            if (v && v->type != type && !(type == 0x001F && v->type == 0x001E))
                Fault(NodeName(nid), "property " + Hex(id) + " has type " + Hex(v->type) + ", expected " + Hex(type));
        }
    };

    // --- Messages and their subobjects.
    auto checkMessage = [&](auto&& self, const std::string& where, const PropertyContext& pc, const Subnodes& subs,
                            bool topLevel, int depth) -> void {
        if (depth > 4) return;
        if (!pc.FindTag(TagMessageClass)) Fault(where, "PidTagMessageClass (0x001A001F) is missing");
        if (topLevel && !pc.FindTag(TagMessageFlags)) Fault(where, "PidTagMessageFlags (0x0E070003) is missing");
        if (auto rt = subs.find(0x692); rt != subs.end()) {
            Subnodes rsubs;
            TableContext tc;
            if (ReadSubnodes(rt->second.bidSub, rsubs, where + " recipient table") &&
                ParseTc(rt->second.bidData, rsubs, where + " recipient table (subnode 0x692)", tc)) {
                collectRowVersions(tc, where + " recipient table", true);
                // PidTagDisplayTo/Cc/Bcc are the recipients' display names of each type, joined by "; ".
                std::string names[3];
                for (const auto& row : tc.rows) {
                    auto type = row.cells.find(0x0C150003);
                    auto name = row.cells.find(TagDisplayName);
                    if (type == row.cells.end() || name == row.cells.end()) continue;
                    const int64_t t = type->second.AsInt().value_or(0) & 0xF;
                    if (t < 1 || t > 3) continue;
                    std::string& list = names[t - 1];
                    if (!list.empty()) list += "; ";
                    const std::string text = name->second.AsText();
                    list += text.size() >= 2 ? text.substr(1, text.size() - 2) : text;
                }
                static const std::pair<uint32_t, const char*> kDisplay[] = {
                    {0x0E04001F, "PidTagDisplayTo"}, {0x0E03001F, "PidTagDisplayCc"}, {0x0E02001F, "PidTagDisplayBcc"}};
                for (int k = 0; k < 3; ++k) {
                    const Value* v = pc.FindTag(kDisplay[k].first);
                    if (!v || !v->resolved) continue;
                    std::string have = v->AsText();
                    have = have.size() >= 2 ? have.substr(1, have.size() - 2) : have;
                    if (have != names[k])
                        Fault(where, std::string(kDisplay[k].second) + " is \"" + have + "\", the recipient table gives \"" +
                                         names[k] + "\"");
                }
            }
        }
        std::set<uint32_t> attachments;
        std::map<uint32_t, PropertyContext> attachPcs;
        std::map<uint32_t, Subnodes> attachSubs;
        for (const auto& [snid, s] : subs) {
            if (NidType(snid) != 0x05) continue;
            attachments.insert(snid);
            const std::string aw = where + " attachment " + Hex(snid);
            Subnodes asubs;
            if (!ReadSubnodes(s.bidSub, asubs, aw)) continue;
            PropertyContext apc;
            if (!ParsePc(s.bidData, asubs, aw, apc)) continue;
            attachPcs[snid] = std::move(apc);
            attachSubs[snid] = std::move(asubs);
        }
        size_t attachRows = 0;
        if (auto at = subs.find(0x671); at != subs.end()) {
            Subnodes asubs;
            TableContext tc;
            const std::string tw = where + " attachment table (subnode 0x671)";
            if (ReadSubnodes(at->second.bidSub, asubs, tw) && ParseTc(at->second.bidData, asubs, tw, tc)) {
                attachRows = tc.rows.size();
                collectRowVersions(tc, where + " attachment table", true);
                std::set<uint32_t> rows;
                for (const auto& row : tc.rows) {
                    rows.insert(row.rowId);
                    if (!attachments.count(row.rowId)) {
                        Fault(tw, "row " + Hex(row.rowId) + " names no attachment subnode of the message");
                        continue;
                    }
                    auto ap = attachPcs.find(row.rowId);
                    if (ap == attachPcs.end()) continue;
                    for (const auto& col : tc.columns) {
                        const uint32_t tag = col.tag;
                        if (!MirroredColumn(tag)) continue;
                        auto cell = row.cells.find(tag);
                        const Value* pv = ap->second.FindTag(tag);
                        if (cell != row.cells.end() && pv && cell->second.resolved && pv->resolved &&
                            !SameValue(cell->second, *pv))
                            Fault(tw, "row " + Hex(row.rowId) + ": column " + TagText(tag) + " has " + cell->second.AsText() +
                                          ", the attachment has " + pv->AsText());
                        else if (cell != row.cells.end() && !pv)
                            Fault(tw, "row " + Hex(row.rowId) + ": column " + TagText(tag) + " has " + cell->second.AsText() +
                                          ", the attachment has no such property");
                    }
                }
                for (uint32_t a : attachments)
                    if (!rows.count(a)) Fault(tw, "attachment subnode " + Hex(a) + " has no row in the table");
            }
        } else if (!attachments.empty()) {
            Fault(where, std::to_string(attachments.size()) + " attachment subnodes but no attachment table (subnode 0x671)");
        }
        if (const Value* flags = pc.FindTag(TagMessageFlags); flags && flags->AsInt()) {
            const bool has = (*flags->AsInt() & kMsgFlagHasAttach) != 0;
            if (has != (attachRows > 0))
                Fault(where, "PidTagMessageFlags " + Hex(uint32_t(*flags->AsInt())) +
                                 (has ? " has MSGFLAG_HASATTACH, but the message has no attachment"
                                      : " lacks MSGFLAG_HASATTACH, but the message has " + std::to_string(attachRows) +
                                            " attachments"));
        }
        for (const auto& [a, apc] : attachPcs) {
            const std::string aw = where + " attachment " + Hex(a);
            const Subnodes& asubs = attachSubs[a];
            const Value* method = apc.FindTag(TagAttachMethod);
            const Value* obj = apc.FindTag(TagAttachDataObject);
            if (method && method->AsInt() == 5 && obj && obj->bytes.size() == 8) {
                const uint32_t enid = U32(obj->bytes.data());
                auto e = asubs.find(enid);
                if (e == asubs.end()) {
                    Fault(aw, "embedded message subnode " + Hex(enid) + " does not exist");
                    continue;
                }
                Subnodes esubs;
                PropertyContext epc;
                const std::string ew = aw + " embedded message " + Hex(enid);
                if (ReadSubnodes(e->second.bidSub, esubs, ew) && ParsePc(e->second.bidData, esubs, ew, epc))
                    self(self, ew, epc, esubs, false, depth + 1);
            }
        }
    };

    // --- Messages, one at a time: read, checked with their subobjects, and let go. What the
    // folders need of them afterwards is kept in a byte a node.
    enum : uint8_t { kDone = 1, kFlagsKnown = 2, kUnread = 4, kRowSeen = 8, kTableRead = 16 };
    std::vector<uint8_t> nodeState(nbt.size(), 0);
    auto stateOf = [&](uint32_t nid) -> uint8_t* {
        const auto n = Node(nid);
        return n ? &nodeState[n->index] : nullptr;
    };
    // The state of a node known to be in the NBT.
    uint8_t unknown = 0;
    auto known = [&](uint32_t nid) -> uint8_t& {
        uint8_t* st = stateOf(nid);
        return st ? *st : unknown;
    };
    auto readMessage = [&](uint32_t nid, PropertyContext& pc, Subnodes& subs) {
        const auto n = Node(nid);
        const std::string where = NodeName(nid);
        if (!ReadSubnodes(n->bidSub, subs, where) && n->bidSub) return false;
        return ParsePc(n->bidData, subs, where, pc);
    };
    auto finishMessage = [&](uint32_t nid, const PropertyContext& pc, const Subnodes& subs) {
        uint8_t* st = stateOf(nid);
        if (const Value* v = pc.FindTag(TagMessageFlags); v && v->AsInt()) {
            *st |= kFlagsKnown;
            if (!(*v->AsInt() & kMsgFlagRead)) *st |= kUnread;
        }
        checkTypes(nid, pc);
        if (onMessage && !versionDetail) onMessage(nid, pc);
        checkMessage(checkMessage, "message " + Hex(nid), pc, subs, true, 0);
    };
    // Reads and checks a message not checked yet; false if its PC cannot be read.
    auto visitMessage = [&](uint32_t nid, PropertyContext& pc) {
        uint8_t* st = stateOf(nid);
        if (!st) return false;
        if (*st & kDone) return quietPc(nid, pc);
        *st |= kDone;
        Subnodes subs;
        if (!readMessage(nid, pc, subs)) return false;
        finishMessage(nid, pc, subs);
        return true;
    };

    // --- Folders.
    auto checkTable = [&](uint32_t folder, uint32_t tableNid, const NidList& expected, uint32_t wantType,
                          const char* tableName, const std::vector<uint32_t>& mirrored) {
        const std::string fw = "folder " + Hex(folder) + nameOf(folder);
        if (!HasNode(tableNid)) {
            Fault(fw, std::string(tableName) + " node " + Hex(tableNid) + " is missing");
            return;
        }
        const std::string tw = std::string(tableName) + " " + Hex(tableNid) + " of folder " + Hex(folder) + nameOf(folder);
        const bool streamed = wantType != 0x02;
        const TableContext* tcp = nullptr;
        TableContext streamedTc;
        // Children named by a row: the node's kRowSeen (each child belongs in one table only).
        auto sawRow = [&](uint32_t rowId) {
            const auto n = Node(rowId);
            if (!n || n->nidParent != folder || rowId == folder) return;
            if (wantType == 0x02 ? IsFolderType(rowId) : NidType(rowId) == wantType) nodeState[n->index] |= kRowSeen;
        };
        auto checkRow = [&](const TableRow& row) {
            sawRow(row.rowId);
            if (streamed) collectRow(row, "table " + Hex(tableNid), false);
            const auto n = Node(row.rowId);
            if (!n) {
                Fault(tw, "row " + Hex(row.rowId) + " names a node that is not in the NBT");
                return;
            }
            if ((wantType == 0x02 && !IsFolderType(row.rowId)) || (wantType != 0x02 && NidType(row.rowId) != wantType)) {
                Fault(tw, "row " + Hex(row.rowId) + " names a node of the wrong type " + Hex(NidType(row.rowId)));
                return;
            }
            if (n->nidParent != folder) {
                Fault(tw, "row " + Hex(row.rowId) + nameOf(row.rowId) + " names a node whose parent is " +
                              Hex(n->nidParent) + ", not this folder");
                return;
            }
            PropertyContext messagePc;
            const PropertyContext* childPc = nullptr;
            if (streamed) {
                if (visitMessage(row.rowId, messagePc)) childPc = &messagePc;
            } else if (auto pit = pcs.find(row.rowId); pit != pcs.end()) {
                childPc = &pit->second;
            }
            if (!childPc) return;
            for (const auto& col : tcp->columns) {
                const uint32_t tag = col.tag;
                if (!MirroredColumn(tag) && std::find(mirrored.begin(), mirrored.end(), tag) == mirrored.end()) continue;
                auto cell = row.cells.find(tag);
                const Value* pv = childPc->FindTag(tag);
                if (cell == row.cells.end() && !pv) continue;
                if (cell == row.cells.end()) {
                    Fault(tw, "row " + Hex(row.rowId) + ": column " + TagText(tag) + " is empty, the node has " + pv->AsText());
                } else if (!pv) {
                    Fault(tw, "row " + Hex(row.rowId) + ": column " + TagText(tag) + " has " + cell->second.AsText() +
                                  ", the node has no such property");
                } else if (cell->second.resolved && pv->resolved && !SameValue(cell->second, *pv)) {
                    // Outlook itself lets the table's copy of the message size go stale.
                    const std::string text = "row " + Hex(row.rowId) + ": column " + TagText(tag) + " has " +
                                             cell->second.AsText() + ", the node has " + pv->AsText();
                    if (tag == TagMessageSize) Note(tw, text);
                    else Fault(tw, text);
                }
            }
        };
        if (streamed) {
            if (uint8_t* st = stateOf(tableNid)) *st |= kTableRead;
            const auto n = Node(tableNid);
            Subnodes subs;
            if (!ReadSubnodes(n->bidSub, subs, NodeName(tableNid)) && n->bidSub) return;
            tcp = &streamedTc;
            const RowSink sink = checkRow;
            if (!ParseTc(n->bidData, subs, NodeName(tableNid), streamedTc, &sink)) return;
            tcs[tableNid].columns = streamedTc.columns;
        } else {
            auto tit = tcs.find(tableNid);
            if (tit == tcs.end()) return;  // parse problems already reported
            tcp = &tit->second;
            for (const auto& row : tcp->rows) checkRow(row);
        }
        for (uint32_t child : expected)
            if (!(known(child) & kRowSeen))
                Fault(tw, "child " + Hex(child) + nameOf(child) + " has no row in the table");
    };

    auto walkFolders = [&]() {
        for (const auto& [nid, tc] : tcs)
            if (NidType(nid) != 0x0E && NidType(nid) != 0x0F) collectRowVersions(tc, "table " + Hex(nid), false);
        for (const auto& [nid, n] : nbt) {
            if (NidType(nid) != 0x02) continue;
            const std::string fw = "folder " + Hex(nid) + nameOf(nid);
            const auto& folders = childFolders[nid];
            const auto& messages = childMessages[nid];
            const auto& assoc = childAssoc[nid];
            checkTable(nid, NidWithType(nid, 0x0D), folders, 0x02, "hierarchy table",
                       {TagDisplayName, TagContentCount, TagContentUnread, TagSubfolders, TagContainerClass});
            checkTable(nid, NidWithType(nid, 0x0E), messages, 0x04, "contents table",
                       {TagSubject, TagMessageClass, TagMessageFlags, TagMessageSize});
            checkTable(nid, NidWithType(nid, 0x0F), assoc, 0x08, "associated contents table",
                       {TagMessageClass, TagMessageFlags, TagDisplayName});
            // Its messages without a row are checked here too, so that its counts can be.
            for (const auto* list : {&messages, &assoc})
                for (uint32_t m : *list) {
                    PropertyContext pc;
                    if (!(known(m) & kDone)) visitMessage(m, pc);
                }
            auto pit = pcs.find(nid);
            if (pit == pcs.end()) continue;
            const PropertyContext& pc = pit->second;
            const Value* name = pc.FindTag(TagDisplayName);
            if (!name) Fault(fw, "PidTagDisplayName (0x3001001F) is missing");
            const Value* count = pc.FindTag(TagContentCount);
            const Value* unread = pc.FindTag(TagContentUnread);
            const Value* sub = pc.FindTag(TagSubfolders);
            if (!count) Fault(fw, "PidTagContentCount (0x36020003) is missing");
            else if (count->AsInt() != int64_t(messages.size()))
                Fault(fw, "PidTagContentCount " + count->AsText() + ", but the folder holds " + std::to_string(messages.size()) +
                              " messages");
            size_t unreadCount = 0;
            for (uint32_t m : messages)
                if (known(m) & kUnread) ++unreadCount;
            if (!unread) Fault(fw, "PidTagContentUnreadCount (0x36030003) is missing");
            else if (unread->AsInt() != int64_t(unreadCount))
                Fault(fw, "PidTagContentUnreadCount " + unread->AsText() + ", but " + std::to_string(unreadCount) +
                              " of its messages are unread");
            if (!sub) Fault(fw, "PidTagSubfolders (0x360A000B) is missing");
            else if (sub->AsBool() != !folders.empty())
                Fault(fw, "PidTagSubfolders " + sub->AsText() + ", but the folder has " + std::to_string(folders.size()) +
                              " subfolders");
            if (const Value* ac = pc.FindTag(TagAssocContentCount); ac && ac->AsInt() != int64_t(assoc.size()))
                Fault(fw, "PidTagAssocContentCount " + ac->AsText() + ", but the folder holds " + std::to_string(assoc.size()) +
                              " associated messages");
        }
        // Messages outside any folder's list, and contents tables of no folder.
        for (const auto& [nid, n] : nbt) {
            const uint32_t type = NidType(nid);
            PropertyContext pc;
            if ((type == 0x04 || type == 0x08) && !(known(nid) & kDone)) visitMessage(nid, pc);
            if ((type == 0x0E || type == 0x0F) && !(known(nid) & kTableRead)) {
                known(nid) |= kTableRead;
                Subnodes subs;
                if (!ReadSubnodes(n.bidSub, subs, NodeName(nid)) && n.bidSub) continue;
                TableContext tc;
                const RowSink sink = [&](const TableRow& row) { collectRow(row, "table " + Hex(nid), false); };
                if (ParseTc(n.bidData, subs, NodeName(nid), tc, &sink)) tcs[nid].columns = tc.columns;
            }
        }

    };
    walkFolders();
    if (anyVersion && dwUnique <= maxVersion)
        Note("header", "dwUnique " + std::to_string(dwUnique) + " is not above the highest table row version " +
                           std::to_string(maxVersion) + " (" + maxWhere + ")");
    repeated = versions.Repeated();
    if (!repeated.empty()) {
        const Report saved = report;
        ++muted_;
        versionDetail = true;
        std::fill(nodeState.begin(), nodeState.end(), 0);
        walkFolders();
        --muted_;
        report = saved;
        for (const auto& f : versionFaults) Fault(f.where, f.what);
    }


    for (const auto& [nid, pc] : pcs) checkTypes(nid, pc);

    // --- Every folder's tables belong to an existing folder.
    for (const auto& [nid, n] : nbt) {
        const uint32_t type = NidType(nid);
        if ((type == 0x0D || type == 0x0E || type == 0x0F) && NidIndex(nid) >= 0x400 &&
            !HasNode(NidWithType(nid, 0x02)))
            Fault(NodeName(nid), "folder table without its folder " + Hex(NidWithType(nid, 0x02)));
    }

    // --- Default-folder ENTRYIDs on folders (PidTagIpmAppointmentEntryId .. PidTagIpmDraftsEntryId,
    // PidTagAdditionalRenEntryIds).
    for (const auto& [nid, pc] : pcs) {
        if (NidType(nid) != 0x02) continue;
        for (uint16_t id = 0x36D0; id <= 0x36D7; ++id)
            if (const Value* v = pc.FindTag((uint32_t(id) << 16) | 0x0102))
                checkEntryId("folder " + Hex(nid) + nameOf(nid), "property " + TagText((uint32_t(id) << 16) | 0x0102),
                             v->bytes.data(), v->bytes.size());
        if (const Value* v = pc.FindTag(0x36D81102); v && v->resolved && v->bytes.size() >= 4) {
            const uint32_t count = U32(v->bytes.data());
            if (4 + 4 * uint64_t(count) <= v->bytes.size())
                for (uint32_t i = 0; i < count; ++i) {
                    const uint32_t from = U32(v->bytes.data() + 4 + 4 * i);
                    const uint32_t to = i + 1 < count ? U32(v->bytes.data() + 8 + 4 * i) : uint32_t(v->bytes.size());
                    // Entries 0-4 name folders; Outlook keeps other data (not ENTRYIDs) after them.
                    if (i < 5 && to - from == 24 && to <= v->bytes.size())
                        checkEntryId("folder " + Hex(nid) + nameOf(nid),
                                     "PidTagAdditionalRenEntryIds[" + std::to_string(i) + "]", v->bytes.data() + from, to - from);
                }
        }
    }

    // --- Receive folder table: every row names an existing folder.
    if (auto rf = tcs.find(0x62B); rf != tcs.end()) {
        for (const auto& row : rf->second.rows) {
            auto cell = row.cells.find(0x66050003);
            if (cell == row.cells.end()) continue;
            const uint32_t target = uint32_t(cell->second.AsInt().value_or(0));
            if (!HasNode(target) || !IsFolderType(target))
                Fault("receive folder table (node 0x62b)", "row " + Hex(row.rowId) + " names folder " + Hex(target) +
                                                               ", which is not a folder in the NBT");
        }
    }

    // --- Search activity list: NIDs of existing search folders.
    if (const auto al = Node(0x201); al && al->bidData != 0) {
        std::vector<Bytes> blocks;
        if (ReadStream(al->bidData, blocks, NodeName(0x201))) {
            Bytes all;
            for (const auto& b : blocks) all.insert(all.end(), b.begin(), b.end());
            if (all.size() % 4) Fault(NodeName(0x201), "search activity list of " + std::to_string(all.size()) + " bytes is not a list of NIDs");
            for (size_t i = 0; i + 4 <= all.size(); i += 4)
                if (!HasNode(U32(all.data() + i)))
                    Fault(NodeName(0x201), "search activity list names NID " + Hex(U32(all.data() + i)) + ", which is not in the NBT");
        }
    }

    // --- Folder tables keep the layout of their template ([MS-PST] 2.4.4.4.1, 2.4.4.5.1, 2.4.4.6.1):
    // Outlook relies on the template columns' 4/8-byte offsets and cell-existence bits.
    auto checkLayout = [&](const TableContext& tc, uint32_t templateNid, const std::string& where) {
        auto tit = tcs.find(templateNid);
        if (tit == tcs.end()) return;
        // Tables made from an older template generation lack some columns and use its offsets;
        // only tables carrying every column of this file's template are held to its layout.
        for (const auto& want : tit->second.columns)
            if (!tc.HasColumn(want.tag)) return;
        for (const auto& want : tit->second.columns) {
            const Column* have = nullptr;
            for (const auto& c : tc.columns)
                if (c.tag == want.tag) have = &c;
            // 1- and 2-byte cells move when 4- and 8-byte columns are added (Outlook does that itself).
            if ((want.cb >= 4 && have->ib != want.ib) || have->cb != want.cb || have->iBit != want.iBit)
                Fault(where, "column " + TagText(want.tag) + " at offset " + std::to_string(have->ib) + "/" +
                                 std::to_string(have->cb) + " bit " + std::to_string(have->iBit) + ", the template " +
                                 Hex(templateNid) + " has " + std::to_string(want.ib) + "/" + std::to_string(want.cb) +
                                 " bit " + std::to_string(want.iBit));
        }
    };
    for (const auto& [nid, tc] : tcs) {
        const uint32_t type = NidType(nid);
        if (NidIndex(nid) < 0x400 && nid != 0x12D && nid != 0x12E && nid != 0x12F) continue;
        if (type == 0x0D) checkLayout(tc, 0x60D, "hierarchy table " + Hex(nid));
        else if (type == 0x0E) checkLayout(tc, 0x60E, "contents table " + Hex(nid));
        else if (type == 0x0F) checkLayout(tc, 0x60F, "associated contents table " + Hex(nid));
    }

    // --- Named-property map ([MS-PST] 2.4.7).
    auto nm = pcs.find(kNameMapNid);
    if (nm != pcs.end()) {
        const std::string where = "named-property map (node 0x61)";
        const PropertyContext& pc = nm->second;
        const Value* buckets = pc.FindTag(0x00010003);
        const Value* guids = pc.FindTag(0x00020102);
        const Value* entries = pc.FindTag(0x00030102);
        const Value* strings = pc.FindTag(0x00040102);
        if (!buckets) Fault(where, "PidTagNameidBucketCount (0x00010003) is missing");
        if (!guids || !entries || !strings) Fault(where, "a GUID, entry or string stream (0x0002/0x0003/0x0004) is missing");
        const size_t nGuids = guids ? guids->bytes.size() / 16 : 0;
        if (guids && guids->bytes.size() % 16) Fault(where, "GUID stream of " + std::to_string(guids->bytes.size()) + " bytes is not a multiple of 16");
        size_t nEntries = 0;
        if (entries) {
            if (entries->bytes.size() % 8) Fault(where, "entry stream of " + std::to_string(entries->bytes.size()) + " bytes is not a multiple of 8");
            nEntries = entries->bytes.size() / 8;
            const uint32_t bucketCount = buckets && buckets->AsInt() && *buckets->AsInt() > 0 ? uint32_t(*buckets->AsInt()) : 0;
            std::map<uint32_t, size_t> inBuckets;  // bucket -> entries found there
            for (size_t i = 0; i < nEntries; ++i) {
                const uint8_t* e = entries->bytes.data() + 8 * i;
                const uint32_t id = U32(e);
                const uint16_t flags = U16(e + 4);
                const uint16_t idx = U16(e + 6);
                const bool isString = flags & 1;
                const uint16_t wGuid = flags >> 1;
                const std::string ew = "named property " + std::to_string(i) + " (tag " + Hex(0x8000 + i) + ")";
                if (idx != i) Fault(where, ew + ": wPropIdx " + std::to_string(idx) + " differs from its position");
                if (wGuid > 2 + nGuids) Fault(where, ew + ": wGuid " + std::to_string(wGuid) + " names no GUID (stream has " + std::to_string(nGuids) + ")");
                uint32_t key = id;
                if (isString) {
                    if (!strings || size_t(id) + 4 > strings->bytes.size()) {
                        Fault(where, ew + ": string offset " + std::to_string(id) + " is outside the string stream");
                        continue;
                    }
                    const uint32_t len = U32(strings->bytes.data() + id);
                    if (size_t(id) + 4 + len > strings->bytes.size()) {
                        Fault(where, ew + ": name of " + std::to_string(len) + " bytes runs past the string stream");
                        continue;
                    }
                    key = PstCrc(strings->bytes.data() + id + 4, len);
                }
                if (bucketCount) {
                    const uint32_t bucket = (key ^ ((uint32_t(wGuid) << 1) | (isString ? 1u : 0u))) % bucketCount;
                    const Value* bv = pc.FindTag((uint32_t(0x1000 + bucket) << 16) | 0x0102);
                    bool found = false;
                    if (bv)
                        for (size_t j = 0; j + 8 <= bv->bytes.size(); j += 8)
                            if (U32(bv->bytes.data() + j) == key && U16(bv->bytes.data() + j + 6) == idx &&
                                U16(bv->bytes.data() + j + 4) == flags)
                                found = true;
                    if (!found) Fault(where, ew + ": not found in hash bucket " + std::to_string(bucket));
                }
            }
        }
        // Named tags used by any property context or table column must be in the map.
        for (const auto& [id, where2] : namedTagUses)
            if (size_t(id - 0x8000) >= nEntries)
                Fault(where2, "named-property id " + Hex(id) + " is not defined by the named-property map (" +
                                  std::to_string(nEntries) + " entries)");
    }
}

}  // namespace pst::verify::detail
