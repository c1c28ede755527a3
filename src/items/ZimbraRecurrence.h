#pragma once
// A Zimbra series (its RRULE, changed and cancelled instances, EXDATEs) read
// from a calendar item's metadata and laid out as Outlook's recurrence pattern.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "items/MetaValue.h"
#include "items/ZimbraTime.h"
#include "pst/messaging/RecurrencePattern.h"

namespace items {

// An RRULE as ZRecur writes it (FREQ, UNTIL, COUNT, INTERVAL, BY... parts).
struct RRule {
    enum class Freq { Secondly, Minutely, Hourly, Daily, Weekly, Monthly, Yearly };
    Freq freq = Freq::Daily;
    long interval = 1;
    long count = 0;  // 0: none
    std::optional<ZimbraDateTime> until;
    std::vector<std::pair<int, int>> byDay;  // (ordinal, 0 = every; weekday 0 Sunday .. 6 Saturday)
    std::vector<int> byMonthDay, byMonth, bySetPos;
    bool otherParts = false;  // BYSECOND, BYMINUTE, BYHOUR, BYYEARDAY or BYWEEKNO
    int weekStart = 1;        // WKST, Monday unless given
};
// nullopt when the text is no rule (no FREQ, an unknown FREQ, a part that does not parse).
std::optional<RRule> ParseRRule(const std::string& text);

// An instance that differs from the rule, named by its original start.
struct SeriesInstance {
    ZimbraDateTime originalStart;  // the recurrence id
    bool cancelled = false;        // a cancelled instance or an EXDATE
    std::optional<ZimbraDateTime> start, end;
    std::string subject, location, body;  // empty: as the series
    int busyStatus = -1;
};

struct SeriesDefinition {
    std::string rule;  // the series' RRULE text
    std::vector<SeriesInstance> instances;
};
// The series of a calendar item: the RRULE of the series invite's
// "recurrence" (its "add" list), the EXDATEs of its "sub" list, and every
// other invite with a recurrence id as a changed or (CANCEL) cancelled
// instance. nullopt when the series invite has no rule.
std::optional<SeriesDefinition> ReadSeries(const MetaValue& top, const MetaValue& seriesInvite);

// A changed instance as the exception attachment carries it.
struct SeriesException {
    int64_t originalStart = 0, start = 0, end = 0;  // UTC seconds
    std::string subject, location, body;             // empty: as the series
    int busyStatus = -1;
};

struct Series {
    pst::AppointmentRecurrence recurrence;
    int recurrenceType = 0;   // PidLidRecurrenceType: 1 daily, 2 weekly, 3 monthly, 4 yearly
    std::string patternText;  // PidLidRecurrencePattern, the text Outlook shows
    CivilTime firstStart;     // wall-clock start of the first instance
    CivilTime lastDay;        // the last instance's day (year 4500 when it never ends)
    bool endless = false;
    std::string zone;  // the zone of its wall-clock times ("" the local zone)
    std::vector<SeriesException> exceptions;
    std::vector<std::string> notes;  // instances that could not be placed, for the log
};

// Lays the series out for a series whose stated start is `start` (wall-clock
// in `zone`, "" for the local zone) and that lasts `durationMinutes`. On
// failure `problem` says why the rule has no Outlook pattern.
struct SeriesResult {
    std::optional<Series> series;
    std::string problem;
};
SeriesResult BuildSeries(const SeriesDefinition& definition, const CivilTime& start, int64_t durationMinutes,
                         const std::string& zone, const std::string& seriesSubject, const std::string& seriesLocation);

// The instance days (days since 1601-01-01) of a pattern from its start
// date, at most `limit` and none after `lastDay`.
std::vector<int64_t> PatternDays(const pst::RecurrencePattern& pattern, int64_t firstDay, size_t limit,
                                 int64_t lastDay);

}  // namespace items
