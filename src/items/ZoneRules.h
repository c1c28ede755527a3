#pragma once
// A zone of the time-zone database as Outlook describes it beside an
// appointment: its Windows key name, its standard/daylight rule of a year
// (read from the zone's own transitions) and a description.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "items/ZimbraTime.h"
#include "pst/messaging/TimeZoneRule.h"

namespace items {

struct ZoneRules {
    std::string zone;         // the tz database name
    std::string windowsKey;   // "Eastern Standard Time"; the tz name when Windows has none
    std::string description;  // "(UTC-05:00) America/New_York"
    pst::TimeZoneRule rule;   // the rule of the year asked for, `rule.year` = that year
};

// nullopt when the zone is not in the time-zone database.
std::optional<ZoneRules> ZoneRulesFor(const std::string& zone, int year);

// The zone's rules from `fromYear` to `toYear`: the rule of `fromYear` and
// each later one from the year it took over (as Outlook lists a zone's
// history in a TZDEFINITION). Empty when the zone is unknown.
std::vector<ZoneRules> ZoneHistory(const std::string& zone, int fromYear, int toYear);

// The tz database name of the zone this process converts floating and all-day
// times in ($TZ, else /etc/localtime's target); "" when it cannot be told.
std::string LocalZoneName();

// Wall-clock time in `zone` (the process's local zone when it is "" or
// unknown) of an instant, and the instant of a wall-clock time.
CivilTime ZoneLocalTime(const std::string& zone, int64_t utc);
int64_t ZoneInstant(const std::string& zone, const CivilTime& local);

}  // namespace items
