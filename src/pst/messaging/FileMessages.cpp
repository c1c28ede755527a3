#include "FileMessages.h"

#include "PropDecode.h"
#include "PropTags.h"
#include "pst/ltp/ContextRead.h"

namespace pst {

std::vector<FileMessageRow> ReadFolderContents(ndb::NodeDb& db, uint32_t folderNid) {
    std::vector<FileMessageRow> out;
    const std::optional<ndb::NodeEntry> node = db.FindNode(ndb::WithType(folderNid, ndb::NID_TYPE_CONTENTS_TABLE));
    if (!node) return out;
    const ltp::TableRead t = ltp::ReadTc(db, node->bidData, node->bidSub);
    const ltp::ColumnDesc* cls = t.layout.Find(tags::PR_MESSAGE_CLASS);
    for (const ltp::TcRow& r : t.rows) {
        FileMessageRow row;
        row.nid = r.rowId;
        if (cls)
            for (const auto& [ib, value] : r.vars)
                if (ib == cls->ib) row.messageClass = FromUtf16(value.data(), value.size());
        out.push_back(std::move(row));
    }
    return out;
}

PropMap ReadMessageProps(ndb::NodeDb& db, uint32_t messageNid) {
    PropMap props;
    const std::optional<ndb::NodeEntry> node = db.FindNode(messageNid);
    if (!node) return props;
    for (ltp::PcProp& p : ltp::ReadPc(db, node->bidData, node->bidSub))
        if (auto v = DecodeValue(TagType(p.tag), p.value)) props[p.tag] = std::move(*v);
    return props;
}

}  // namespace pst
