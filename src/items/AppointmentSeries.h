#pragma once
// What a recurring or zoned appointment carries beyond its times: the series'
// recurrence properties and exception attachments, and the zone's rules.
#include <string>

#include "items/ZimbraConverters.h"
#include "items/ZimbraRecurrence.h"
#include "items/ZoneRules.h"
#include "store/PstStoreSession.h"

namespace items {

// PidLidTimeZoneStruct and PidLidTimeZoneDescription of the zone's rule at
// the start (`history` front), and the TZDEFINITIONs of the start and end
// (and, for a series, of the recurrence) with every rule of `history`, the
// last (the one in force now) marked effective.
void PutTimeZone(store::Item& item, const std::vector<ZoneRules>& history, bool recurring);

// PidLidAppointmentRecur with PidLidRecurring, PidLidIsRecurring,
// PidLidRecurrenceType, PidLidRecurrencePattern, PidLidClipStart/End, and one
// hidden exception attachment per changed instance. `zone` is the series' zone
// ("" for the local zone).
void PutSeries(store::Item& item, const Series& series, const std::string& zone, bool allDay);

// For an appointment starting at `start` (and ending at `end`): a recurring
// one becomes a series starting at its first instance (`start` and `end`
// move there); a rule Outlook cannot hold is appended to `body` instead. A
// zoned or recurring appointment gets its zone's properties.
// Returns the series when it became one.
std::optional<Series> PutSeriesAndZone(store::Item& item, const CalendarFields& fields, int64_t& start,
                                       std::optional<int64_t>& end, std::string& body);

}  // namespace items
