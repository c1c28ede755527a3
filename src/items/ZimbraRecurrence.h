#pragma once
// A Zimbra series (its RRULE, changed and cancelled instances, EXDATEs) read
// from a calendar item's metadata and laid out as Outlook's recurrence pattern.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "items/MetaValue.h"
#include "items/ZimbraTime.h"
#include "calendar/RecurrenceLayout.h"

namespace items {

// An instance that differs from the rule, named by its original start.
struct SeriesInstance {
    ZimbraDateTime originalStart;  // the recurrence id
    bool cancelled = false;        // a cancelled instance or an EXDATE
    std::optional<ZimbraDateTime> start, end;
    std::string subject, location, body;  // empty: as the series
    int busyStatus = -1;
    const MetaValue* invite = nullptr;  // a changed instance's own invite (its attendees and alarm)
};

struct SeriesDefinition {
    std::string rule;  // the series' RRULE text
    std::vector<SeriesInstance> instances;
    std::shared_ptr<const MetaValue> source;  // the calendar item the instances' invites are in
};
// The series of a calendar item: the RRULE of the series invite's
// "recurrence" (its "add" list), the EXDATEs of its "sub" list, and every
// other invite with a recurrence id as a changed or (CANCEL) cancelled
// instance. nullopt when the series invite has no rule.
std::optional<SeriesDefinition> ReadSeries(std::shared_ptr<const MetaValue> top, const MetaValue& seriesInvite);

// A changed instance as the exception attachment carries it.
struct SeriesException {
    int64_t originalStart = 0, start = 0, end = 0;  // UTC seconds
    CivilTime originalDay;                           // in the series' zone
    std::string subject, location, body;             // empty: as the series
    int busyStatus = -1;
    int reminderMinutes = -1;           // its own alarm's, -1 none
    const MetaValue* invite = nullptr;  // its attendees
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
    // The stated start when it is not on the rule: an instance the pattern
    // cannot hold, kept as an appointment of its own; and the index in the
    // definition's instances of what changed or cancelled it.
    std::optional<CivilTime> offRuleStart;
    std::optional<size_t> offRuleInstance;
};

// Lays the series out for a series whose stated start is `start` (wall-clock
// in `zone`, "" for the local zone) and that lasts `durationMinutes`, with a
// reminder `reminderMinutes` before each instance (-1 none) that a changed
// instance's own alarm may differ from. On failure `problem` says why the
// rule has no Outlook pattern.
struct SeriesResult {
    std::optional<Series> series;
    std::string problem;
};
SeriesResult BuildSeries(const SeriesDefinition& definition, const CivilTime& start, int64_t durationMinutes,
                         const std::string& zone, const std::string& seriesSubject, const std::string& seriesLocation,
                         int reminderMinutes = -1);

using calendar::PatternDays;

}  // namespace items
