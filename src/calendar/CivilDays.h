#pragma once
// Wall-clock dates and times with no zone, and the day numbers Outlook's
// recurrence patterns count in (days since 1601-01-01, a Monday).
#include <cstdint>

namespace calendar {

struct CivilTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

int DaysIn(int year, int month);
// Days since 1601-01-01 of the date of `t` (its time ignored), and back.
int64_t DayNumber(const CivilTime& t);
CivilTime CivilOfDay(int64_t day);
// 0 Sunday .. 6 Saturday.
int WeekdayOfDay(int64_t day);

}  // namespace calendar
