#pragma once
// An RRULE laid out as Outlook's recurrence pattern ([MS-OXOCAL] 2.2.1.44.1)
// for a series starting at a wall-clock time, with the text Outlook shows
// for it, and the instance days a pattern gives.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "calendar/CivilDays.h"
#include "calendar/RecurrenceRule.h"
#include "pst/messaging/RecurrencePattern.h"

namespace calendar {

// 31 December 4500, the last day of a series that never ends.
inline constexpr int64_t kNoEndDay = pst::kRecurNoEndDate / 1440;

struct RuleLayout {
    pst::RecurrencePattern pattern;  // no deleted or modified instances yet
    int recurrenceType = 0;          // PidLidRecurrenceType: 1 daily, 2 weekly, 3 monthly, 4 yearly
    int64_t firstDay = 0;            // the first instance on the pattern
    int64_t lastDay = kNoEndDay;     // the last one (kNoEndDay when it never ends)
    bool endless = false;
    int startMinute = 0;             // minutes after midnight of each instance's start
    int64_t durationMinutes = 0;
    // The stated start is not on the rule ([RFC 5545] counts it as the first
    // instance all the same): the pattern begins at the next day on the rule
    // and, for a COUNT, holds one instance fewer.
    bool startOffRule = false;
};

struct LayoutResult {
    std::optional<RuleLayout> layout;
    std::string problem;  // why the rule has no Outlook pattern
};

// The pattern of `rule` for a series whose first instance is stated at
// `start` (wall clock of the series' zone) and lasts `durationMinutes`.
// `untilWall` is the rule's UNTIL as a wall-clock time of the same zone (the
// caller converts a UTC UNTIL; a date UNTIL is the end of that day). Counts,
// intervals and dates are capped to what Outlook accepts.
LayoutResult LayOutRule(const RRule& rule, const CivilTime& start, int64_t durationMinutes,
                        const std::optional<CivilTime>& untilWall);

// True when `day` (days since 1601) is one of the pattern's days, ignoring
// its start and end.
bool OnPattern(const pst::RecurrencePattern& pattern, int64_t day);

// The instance days of a pattern from `firstDay` on, at most `limit` and none
// after `lastDay`.
std::vector<int64_t> PatternDays(const pst::RecurrencePattern& pattern, int64_t firstDay, size_t limit,
                                 int64_t lastDay);

// PidLidRecurrencePattern: "every 2 weeks on Monday and Wednesday effective
// 1/15/2024 until 3/20/2024 from 9:30 AM to 10:30 AM".
std::string PatternText(const RuleLayout& layout);

// "3/20/2024".
std::string DateText(const CivilTime& date);

}  // namespace calendar
