#pragma once
// The recurrence of an appointment or task as Outlook stores it in
// PidLidAppointmentRecur / PidLidTaskRecurrence ([MS-OXOCAL] 2.2.1.44). Every
// date and time in it is a wall-clock time of the series' own zone, counted in
// minutes since 1601-01-01 00:00.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pst/messaging/PropertyValue.h"

namespace pst {

enum class RecurFrequency : uint16_t { Daily = 0x200A, Weekly = 0x200B, Monthly = 0x200C, Yearly = 0x200D };
enum class RecurPatternType : uint16_t { Day = 0x0000, Week = 0x0001, Month = 0x0002, MonthNth = 0x0003, MonthEnd = 0x0004 };
enum class RecurEndType : uint32_t { AfterDate = 0x2021, AfterCount = 0x2022, Never = 0x2023 };

// EndDate of a series that never ends (31 December 4500).
inline constexpr uint32_t kRecurNoEndDate = 0x5AE980DF;
// The day bits of a week or n-th-weekday pattern: Sunday 1, Monday 2, ... Saturday 0x40.
inline constexpr uint32_t kRecurLastWeek = 5;  // MonthNth: the last such day of the month

struct RecurrencePattern {
    RecurFrequency frequency = RecurFrequency::Daily;
    RecurPatternType patternType = RecurPatternType::Day;
    uint32_t firstDateTime = 0;  // see RecurFirstDateTime
    uint32_t period = 1;         // Day: minutes; Week: weeks; Month/MonthNth: months (12 for yearly)
    uint32_t slidingFlag = 0;    // tasks that regenerate from completion
    uint32_t dayMask = 0;        // Week, MonthNth
    uint32_t day = 0;            // Month: day of the month (31: the last); MonthNth: 1..4 or kRecurLastWeek
    RecurEndType endType = RecurEndType::Never;
    uint32_t occurrenceCount = 10;
    uint32_t firstDayOfWeek = 0;  // 0 Sunday .. 6 Saturday
    std::vector<uint32_t> deletedInstanceDates;   // midnight of each removed or changed instance's original day
    std::vector<uint32_t> modifiedInstanceDates;  // midnight of each changed instance's new day
    uint32_t startDate = 0;  // midnight of the first instance's day
    uint32_t endDate = kRecurNoEndDate;  // midnight of the last instance's day
};

// One changed instance ([MS-OXOCAL] 2.2.1.44.2 ExceptionInfo, 2.2.1.44.3
// ExtendedException). Only what is set differs from the series.
struct RecurException {
    uint32_t startDateTime = 0, endDateTime = 0, originalStartDate = 0;
    std::optional<std::string> subject, location;  // UTF-8
    std::optional<int32_t> meetingType, reminderDelta, busyStatus, subType, appointmentColor;
    std::optional<bool> reminderSet, hasAttachment;
    bool exceptionalBody = false;  // the changed instance has a body of its own
};

struct AppointmentRecurrence {
    RecurrencePattern pattern;
    uint32_t startTimeOffset = 0, endTimeOffset = 0;  // minutes after midnight of the start day
    std::vector<RecurException> exceptions;            // in ascending order of their new start
};

// Minutes since 1601-01-01 00:00 of a proleptic Gregorian date and time.
uint32_t RecurMinutes(int year, int month, int day, int hour = 0, int minute = 0);

// FirstDateTime ([MS-OXOCAL] 2.2.1.44.1.2) of a series whose first instance is
// on `startDate` (minutes, midnight): Day: startDate mod period; Week: the
// first day of that week mod the period's minutes; Month/MonthNth/MonthEnd:
// the start of the month (months since 1601 mod period) in 1601.
uint32_t RecurFirstDateTime(const RecurrencePattern& pattern, uint32_t startDate);

Binary EncodeRecurrencePattern(const RecurrencePattern& pattern);
Binary EncodeAppointmentRecurrence(const AppointmentRecurrence& recurrence);

}  // namespace pst
