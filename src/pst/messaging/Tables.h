#pragma once
// Table layouts of a store ([MS-PST] 2.4.4.4.1, 2.4.4.5.1, 2.4.4.6.1, 2.4.5.2,
// 2.4.6.1) and building rows that mirror an object's properties.
#include <functional>
#include <map>
#include <set>

#include "PropertyValue.h"
#include "pst/ltp/TableContext.h"

namespace pst {

using PropMap = std::map<uint32_t, PropValue>;

inline constexpr uint32_t kTagLtpRowId = 0x67F20003;
inline constexpr uint32_t kTagLtpRowVer = 0x67F30003;

const ltp::TableLayout& HierarchyLayout();
const ltp::TableLayout& ContentsLayout();
const ltp::TableLayout& AssocContentsLayout();
const ltp::TableLayout& SearchContentsLayout();
const ltp::TableLayout& AttachmentLayout();
const ltp::TableLayout& ReceiveFolderLayout();
const ltp::TableLayout& OutgoingQueueLayout();
const ltp::TableLayout& ChangeHistoryLayout();
const ltp::TableLayout& TombstoneLayout();
const ltp::TableLayout& TombstoneDateLayout();
// The recipient template plus every other tag the rows use.
ltp::TableLayout RecipientLayout(const std::vector<uint32_t>& tagsUsed);

// A row holding the values of `props` for the layout's columns (types must match).
ltp::TcRow MakeRow(const ltp::TableLayout& layout, uint32_t rowId, uint32_t rowVer, const PropMap& props);
// The same from values already encoded: `encoded(tag, out)` fills `out` (given
// empty) with the stored bytes of the row's value for `tag` and says whether
// there is one.
ltp::TcRow MakeRow(const ltp::TableLayout& layout, uint32_t rowId, uint32_t rowVer,
                   const std::function<bool(uint32_t tag, ndb::Bytes& out)>& encoded);

}  // namespace pst
