#pragma once
// A zone as Outlook describes it beside an appointment or meeting request:
// the standard/daylight rule of a year (read from the zone's own offsets),
// Windows' key name, a description, and the time-zone properties they become.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pst/messaging/TimeZoneRule.h"
#include "store/PstStoreSession.h"

namespace calendar {

// The rule of `year` of a zone whose offset (seconds east of UTC) at an
// instant `offsetAt` gives: the year's two changes, found by daily probes
// and narrowed to the second; no daylight saving unless there are exactly two
// that undo each other. `standardOffset` receives the year's standard offset.
pst::TimeZoneRule YearRule(const std::function<int32_t(int64_t)>& offsetAt, int year, int32_t& standardOffset);

// The zone's rules from `fromYear` to `toYear` as Outlook lists a zone's
// history: the rule of `fromYear`, then each later one from the year it took
// over (found by halving the spans whose ends differ), given the rule of a year.
std::vector<pst::TimeZoneRule> RuleHistory(const std::function<pst::TimeZoneRule(int)>& ruleOf, int fromYear, int toYear);

// Windows' name for a tz database zone (CLDR's mapping, through ICU); the
// name itself when Windows has none.
std::string WindowsZoneKey(const std::string& zone);

// "(UTC-05:00) America/New_York".
std::string ZoneDescription(int32_t standardOffset, const std::string& zone);

// PidLidTimeZoneStruct and PidLidTimeZoneDescription of the rule at the start
// (`rules` front), and the TZDEFINITIONs of the start and end (and, for a
// series, of the recurrence) with every rule, the last one effective.
void PutTimeZone(store::PropertyBag& bag, const std::string& windowsKey, const std::string& description,
                 const std::vector<pst::TimeZoneRule>& rules, bool recurring);

}  // namespace calendar
