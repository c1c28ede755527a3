// The recurrence pattern laid out byte for byte as
// [MS-OXOCAL] 4.1.1's own examples give them.
#include <gtest/gtest.h>

#include <string>

#include "pst/messaging/RecurrencePattern.h"

using namespace pst;

namespace {

std::string Hex(const Binary& b) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (uint8_t c : b) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

// Monday, Thursday and Friday from Monday 26 March 2007, 10:00 to 10:30, twelve times.
AppointmentRecurrence WeeklyExample() {
    AppointmentRecurrence r;
    RecurrencePattern& p = r.pattern;
    p.frequency = RecurFrequency::Weekly;
    p.patternType = RecurPatternType::Week;
    p.period = 1;
    p.dayMask = 0x02 | 0x10 | 0x20;
    p.endType = RecurEndType::AfterCount;
    p.occurrenceCount = 12;
    p.startDate = RecurMinutes(2007, 3, 26);
    p.endDate = RecurMinutes(2007, 4, 20);
    p.firstDateTime = RecurFirstDateTime(p, p.startDate);
    r.startTimeOffset = 600;
    r.endTimeOffset = 630;
    return r;
}

}  // namespace

TEST(RecurrenceBlob, WeeklyWithoutExceptionsAsTheExample) {
    EXPECT_EQ(Hex(EncodeAppointmentRecurrence(WeeklyExample())),
              "043004300B2001000000C0210000010000000000000032000000222000000C000000000000000000000000000000"
              "8020BC0C20ADBC0C0630000009300000580200007602000000000000000000000000");
}

TEST(RecurrenceBlob, WeeklyWithAChangedInstanceAsTheExample) {
    // The 16 April instance moved to 11:00-11:30 with a new subject and location.
    AppointmentRecurrence r = WeeklyExample();
    r.pattern.deletedInstanceDates = {RecurMinutes(2007, 4, 16)};
    r.pattern.modifiedInstanceDates = {RecurMinutes(2007, 4, 16)};
    RecurException e;
    e.startDateTime = RecurMinutes(2007, 4, 16, 11, 0);
    e.endDateTime = RecurMinutes(2007, 4, 16, 11, 30);
    e.originalStartDate = RecurMinutes(2007, 4, 16, 10, 0);
    e.subject = "Simple Recurrence with exceptions";
    e.location = "34/4141";
    r.exceptions = {e};
    EXPECT_EQ(Hex(EncodeAppointmentRecurrence(r)),
              "043004300B2001000000C0210000010000000000000032000000222000000C0000000000000001000000A096BC0C"
              "01000000A096BC0C8020BC0C20ADBC0C0630000009300000580200007602000001003499BC0C5299BC0CF898BC0C"
              "11002200210053696D706C6520526563757272656E6365207769746820657863657074696F6E730800070033342F"
              "34313431000000000400000000000000000000003499BC0C5299BC0CF898BC0C2100530069006D0070006C006500"
              "200052006500630075007200720065006E0063006500200077006900740068002000650078006300650070007400"
              "69006F006E0073000700330034002F0034003100340031000000000000000000");
}

TEST(RecurrenceBlob, MonthlyNthWithExceptionsAsTheExample) {
    // The third weekend day of every third month from 9 February 2008, 14:00 to
    // 17:00, ten times; 10 May moved to 11 May, 9 August given a new location.
    AppointmentRecurrence r;
    RecurrencePattern& p = r.pattern;
    p.frequency = RecurFrequency::Monthly;
    p.patternType = RecurPatternType::MonthNth;
    p.period = 3;
    p.dayMask = 0x41;
    p.day = 3;
    p.endType = RecurEndType::AfterCount;
    p.occurrenceCount = 10;
    p.startDate = RecurMinutes(2008, 2, 9);
    p.endDate = RecurMinutes(2010, 5, 8);
    p.firstDateTime = RecurFirstDateTime(p, p.startDate);
    p.deletedInstanceDates = {RecurMinutes(2008, 5, 10), RecurMinutes(2008, 8, 9)};
    p.modifiedInstanceDates = {RecurMinutes(2008, 5, 11), RecurMinutes(2008, 8, 9)};
    r.startTimeOffset = 840;
    r.endTimeOffset = 1020;
    RecurException moved;
    moved.startDateTime = RecurMinutes(2008, 5, 11, 14, 0);
    moved.endDateTime = RecurMinutes(2008, 5, 11, 17, 0);
    moved.originalStartDate = RecurMinutes(2008, 5, 10, 14, 0);
    RecurException relocated;
    relocated.startDateTime = RecurMinutes(2008, 8, 9, 14, 0);
    relocated.endDateTime = RecurMinutes(2008, 8, 9, 17, 0);
    relocated.originalStartDate = relocated.startDateTime;
    relocated.location = "new location";
    r.exceptions = {moved, relocated};
    EXPECT_EQ(Hex(EncodeAppointmentRecurrence(r)),
              "043004300C200300000060AE000003000000000000004100000003000000222000000A"
              "00000000000000020000006028C50C4028C70C02000000002EC50C4028C70C8028C30C6027D50C06300000"
              "0930000048030000FC03000002004831C50CFC31C50CA82BC50C0000882BC70C3C2CC70C882BC70C10000D"
              "000C006E6577206C6F636174696F6E00000000040000000000000000000000040000000000000000000000"
              "882BC70C3C2CC70C882BC70C0C006E006500770020006C006F0063006100740069006F006E000000000000"
              "000000");
}

TEST(RecurrenceBlob, DailyFirstDateTimeAsTheExample) {
    // Every three days from 7 April 2011: FirstDateTime 1440 ([MS-OXOCAL] 4.1.1.3).
    RecurrencePattern p;
    p.period = 3 * 1440;
    EXPECT_EQ(RecurFirstDateTime(p, RecurMinutes(2011, 4, 7)), 1440u);
}
