#include "Tables.h"

#include <set>

#include "PropEncode.h"
#include "pst/ltp/PropContext.h"

namespace pst {
namespace {

using Cols = std::vector<std::pair<uint32_t, uint8_t>>;  // (tag, iBit) in cell order

const Cols kHierarchy = {{0x67F20003, 0}, {0x67F30003, 1}, {0x3001001F, 2}, {0x36020003, 3}, {0x36030003, 4},
                         {0x0E300102, 6}, {0x0E330014, 7}, {0x0E340102, 8}, {0x0E380003, 9}, {0x3613001F, 10},
                         {0x66350003, 11}, {0x66360003, 12}, {0x360A000B, 5}};

const Cols kContents = {{0x67F20003, 0},  {0x67F30003, 1},  {0x0E170003, 2},  {0x001A001F, 3},  {0x0E070003, 4},
                        {0x00170003, 5},  {0x0042001F, 6},  {0x0037001F, 7},  {0x0E060040, 8},  {0x00390040, 9},
                        {0x0E080003, 10}, {0x0E04001F, 11}, {0x0E03001F, 12}, {0x00360003, 15}, {0x10970003, 16},
                        {0x0070001F, 17}, {0x00710102, 18}, {0x65C60003, 19}, {0x30080040, 20}, {0x0E300102, 21},
                        {0x0E330014, 22}, {0x0E340102, 23}, {0x0E3D0102, 24}, {0x0E3C0102, 25}, {0x0E380003, 26},
                        {0x0057000B, 13}, {0x0058000B, 14}};

const Cols kAssocContents = {{0x67F20003, 0},  {0x67F30003, 1},  {0x0E170003, 2},  {0x001A001F, 3},
                             {0x0E070003, 4},  {0x3001001F, 5},  {0x70030003, 6},  {0x70040102, 7},
                             {0x70050102, 8},  {0x7006001F, 9},  {0x70070003, 10}, {0x6800001F, 11},
                             {0x68051003, 13}, {0x682F001F, 14}, {0x6803000B, 12}};

const Cols kSearchContents = {{0x67F20003, 0},  {0x67F30003, 1},  {0x67F10003, 2},  {0x0E05001F, 3},
                              {0x0E170003, 4},  {0x001A001F, 5},  {0x0E070003, 6},  {0x00170003, 7},
                              {0x0042001F, 8},  {0x0037001F, 9},  {0x0E060040, 10}, {0x0E080003, 11},
                              {0x0E04001F, 12}, {0x0E03001F, 13}, {0x00360003, 16}, {0x30080040, 18},
                              {0x0057000B, 14}, {0x0058000B, 15}, {0x0E2A000B, 17}};

const Cols kRecipient = {{0x67F20003, 0}, {0x67F30003, 1}, {0x3002001F, 3},  {0x3003001F, 4},  {0x0FFF0102, 5},
                         {0x3001001F, 6}, {0x0C150003, 7}, {0x300B0102, 8},  {0x0FF90102, 9},  {0x0FFE0003, 10},
                         {0x39000003, 11}, {0x39FF001F, 13}, {0x0E0F000B, 2}, {0x3A40000B, 12}};

// The attachment template plus the columns Outlook adds for display.
const Cols kAttachment = {{0x67F20003, 0}, {0x67F30003, 1}, {0x370B0003, 2}, {0x0E200003, 3},
                          {0x37050003, 4}, {0x3704001F, 5}, {0x3707001F, 6}, {0x7FFE000B, 7}, {0x7FFF000B, 8}};

const Cols kReceiveFolder = {{0x67F20003, 0}, {0x67F30003, 1}, {0x66050003, 2}, {0x001A001F, 3}};
const Cols kOutgoingQueue = {{0x67F20003, 0}, {0x67F30003, 1}, {0x0E140003, 2}, {0x0E100003, 3}, {0x00390040, 4}};
// The change-history, tombstone and tombstone-date templates, with Outlook's columns.
const Cols kChangeHistory = {{0x67F20003, 0}, {0x67F30003, 1}, {0x0E330014, 2}, {0x0E370102, 3}, {0x0E380003, 4}};
const Cols kTombstone = {{0x67F20003, 0}, {0x67F30003, 1}, {0x0E3E0102, 2}, {0x0E310102, 3}, {0x0E300102, 4},
                         {0x0E380003, 5}, {0x0E340102, 6}, {0x0E330014, 7}, {0x001A001F, 8}};
const Cols kTombstoneDate = {{0x67F20003, 0}, {0x67F30003, 1}, {0x30070040, 2}, {0x0E330014, 3}};

}  // namespace

const ltp::TableLayout& HierarchyLayout() {
    static const ltp::TableLayout l = ltp::MakeLayout(kHierarchy);
    return l;
}
const ltp::TableLayout& ContentsLayout() {
    static const ltp::TableLayout l = ltp::MakeLayout(kContents);
    return l;
}
const ltp::TableLayout& AssocContentsLayout() {
    static const ltp::TableLayout l = ltp::MakeLayout(kAssocContents);
    return l;
}
const ltp::TableLayout& SearchContentsLayout() {
    static const ltp::TableLayout l = ltp::MakeLayout(kSearchContents);
    return l;
}
const ltp::TableLayout& AttachmentLayout() {
    static const ltp::TableLayout l = ltp::MakeLayout(kAttachment);
    return l;
}
const ltp::TableLayout& ReceiveFolderLayout() {
    static const ltp::TableLayout l = ltp::MakeLayout(kReceiveFolder);
    return l;
}
const ltp::TableLayout& OutgoingQueueLayout() {
    static const ltp::TableLayout l = ltp::MakeLayout(kOutgoingQueue);
    return l;
}
const ltp::TableLayout& ChangeHistoryLayout() {
    static const ltp::TableLayout l = ltp::MakeLayout(kChangeHistory);
    return l;
}
const ltp::TableLayout& TombstoneLayout() {
    static const ltp::TableLayout l = ltp::MakeLayout(kTombstone);
    return l;
}
const ltp::TableLayout& TombstoneDateLayout() {
    static const ltp::TableLayout l = ltp::MakeLayout(kTombstoneDate);
    return l;
}

ltp::TableLayout RecipientLayout(const std::vector<uint32_t>& tagsUsed) {
    Cols cols = kRecipient;
    std::set<uint16_t> ids;
    uint8_t nextBit = 0;
    for (auto& [tag, bit] : cols) {
        ids.insert(uint16_t(tag >> 16));
        nextBit = std::max<uint8_t>(nextBit, uint8_t(bit + 1));
    }
    for (uint32_t tag : tagsUsed) {
        if (ids.count(uint16_t(tag >> 16))) continue;  // same id, other type: first one wins
        ids.insert(uint16_t(tag >> 16));
        cols.emplace_back(tag, nextBit++);
    }
    return ltp::MakeLayout(cols);
}

ltp::TcRow MakeRow(const ltp::TableLayout& layout, uint32_t rowId, uint32_t rowVer, const PropMap& props) {
    return MakeRow(layout, rowId, rowVer, [&](uint32_t tag, ndb::Bytes& out) {
        auto it = props.find(tag);
        if (it == props.end()) return false;
        EncodeValueTo(out, uint16_t(tag), it->second);
        return true;
    });
}

ltp::TcRow MakeRow(const ltp::TableLayout& layout, uint32_t rowId, uint32_t rowVer,
                   const std::function<bool(uint32_t tag, ndb::Bytes& out)>& encoded) {
    ltp::TcRow row;
    row.rowId = rowId;
    row.cells.assign(layout.RowSize(), 0);
    const size_t ceb = layout.rgib[2];
    ndb::Bytes value;  // one buffer for every cell; a variable-size value is copied out at its size
    value.reserve(256);
    for (const ltp::ColumnDesc& c : layout.columns) {
        value.clear();
        if (c.tag == kTagLtpRowId) {
            ndb::Append32(value, rowId);
        } else if (c.tag == kTagLtpRowVer) {
            ndb::Append32(value, rowVer);
        } else {
            if (!encoded(c.tag, value)) continue;
            bool fixed = ltp::FixedSize(uint16_t(c.tag)) != 0 && ltp::FixedSize(uint16_t(c.tag)) <= 8;
            if (!fixed) {
                row.vars.emplace_back(c.ib, value);
                row.cells[ceb + c.iBit / 8] |= uint8_t(0x80 >> (c.iBit % 8));
                continue;
            }
        }
        for (size_t i = 0; i < c.cb && i < value.size(); ++i) row.cells[c.ib + i] = value[i];
        row.cells[ceb + c.iBit / 8] |= uint8_t(0x80 >> (c.iBit % 8));
    }
    return row;
}

}  // namespace pst
