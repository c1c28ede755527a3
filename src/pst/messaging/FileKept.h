#pragma once
// What an opened file's objects keep of their own when the writer rewrites
// them: properties and table cells the writer does not set.
#include <vector>

#include "pst/ltp/PropContext.h"
#include "pst/ltp/TableContext.h"

namespace pst {

// Appends the kept properties whose id `pc` does not have.
void AddKept(std::vector<ltp::PcProp>& pc, const std::vector<ltp::PcProp>& kept);
// Gives `row` the cells of `old` (same layout) that it does not set itself.
void FillFromRow(const ltp::TableLayout& layout, ltp::TcRow& row, const ltp::TcRow& old);

}  // namespace pst
