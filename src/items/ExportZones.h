#pragma once
// Zones the export defines itself: a calendar item's "tzm" map, whose entries
// with offsets and transition rules describe a TZID the time-zone database
// may not know (an old "(GMT-05.00) Eastern Time (US & Canada)" name, or a
// zone a client sent in its own VTIMEZONE).
#include "items/MetaValue.h"

namespace items {

// Makes every defined zone of `tzm` (and its alias names) known to the zone
// conversions, for the names the time-zone database has no zone of.
void DefineExportZones(const MetaValue& tzm);

}  // namespace items
