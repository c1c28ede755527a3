#pragma once
// An iCalendar RRULE ([RFC 5545] 3.3.10) read into its parts.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "calendar/CivilDays.h"

namespace calendar {

// UNTIL: a date, a UTC date-time ("Z") or a floating one.
struct RuleUntil {
    CivilTime time;
    bool date = false, utc = false;
};

struct RRule {
    enum class Freq { Secondly, Minutely, Hourly, Daily, Weekly, Monthly, Yearly };
    Freq freq = Freq::Daily;
    long interval = 1;
    long count = 0;  // 0: none
    std::optional<RuleUntil> until;
    std::vector<std::pair<int, int>> byDay;  // (ordinal, 0 = every; weekday 0 Sunday .. 6 Saturday)
    std::vector<int> byMonthDay, byMonth, bySetPos;
    bool otherParts = false;  // BYSECOND, BYMINUTE, BYHOUR, BYYEARDAY or BYWEEKNO
    int weekStart = 1;        // WKST, Monday unless given
};

// nullopt when the text is no rule (no FREQ, an unknown FREQ, a part that does
// not parse). An "RRULE:" in front is allowed; X-names and unknown parts are
// ignored.
std::optional<RRule> ParseRRule(const std::string& text);

// A signed decimal of at most nine characters, as rules and the export write them; nothing else.
std::optional<long> SmallNumber(const std::string& s);

}  // namespace calendar
