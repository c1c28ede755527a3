#include "pst/messaging/RecurrencePattern.h"

#include "pst/messaging/PropEncode.h"
#include "pst/ndb/Bytes.h"

namespace pst {

namespace {

using ndb::Append16;
using ndb::Append32;

int64_t DaysSince1601(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468 + 134774;  // 134774 days from 1601-01-01 to 1970-01-01
}

// The 8-bit form of a text in an ExceptionInfo: characters beyond Latin-1
// become "?" (the full text is in the ExtendedException).
std::string Narrow(const std::string& utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        uint8_t c = uint8_t(utf8[i]);
        uint32_t cp = c;
        size_t len = 1;
        if (c >= 0xF0) { len = 4; cp = c & 0x07; }
        else if (c >= 0xE0) { len = 3; cp = c & 0x0F; }
        else if (c >= 0xC0) { len = 2; cp = c & 0x1F; }
        for (size_t k = 1; k < len && i + k < utf8.size(); ++k) cp = (cp << 6) | (uint8_t(utf8[i + k]) & 0x3F);
        out.push_back(cp < 0x100 && (len > 1 || c < 0x80) ? char(cp) : '?');
        i += len;
    }
    return out;
}

// Lengths are 16-bit; longer texts are cut (Outlook's own limit is 255).
constexpr size_t kMaxText = 0xFFFE;

void PutNarrow(Binary& out, const std::string& utf8) {
    std::string s = Narrow(utf8);
    if (s.size() > kMaxText) s.resize(kMaxText);
    Append16(out, uint32_t(s.size() + 1));
    Append16(out, uint32_t(s.size()));
    out.insert(out.end(), s.begin(), s.end());
}

void PutWide(Binary& out, const std::string& utf8) {
    ndb::Bytes w = Utf16(utf8);
    if (w.size() > 2 * kMaxText) w.resize(2 * kMaxText);
    Append16(out, uint32_t(w.size() / 2));
    out.insert(out.end(), w.begin(), w.end());
}

}  // namespace

uint32_t RecurMinutes(int year, int month, int day, int hour, int minute) {
    return uint32_t(DaysSince1601(year, unsigned(month), unsigned(day)) * 1440 + hour * 60 + minute);
}

uint32_t RecurFirstDateTime(const RecurrencePattern& p, uint32_t startDate) {
    uint32_t period = p.period ? p.period : 1;
    switch (p.patternType) {
    case RecurPatternType::Day:
        return startDate % period;
    case RecurPatternType::Week: {
        // 1601-01-01 was a Monday (day 1); back up to the week's first day.
        uint32_t days = startDate / 1440;
        uint32_t weekday = (days + 1) % 7;
        uint32_t back = (weekday + 7 - p.firstDayOfWeek % 7) % 7;
        uint32_t weekStart = (days - back) * 1440;
        return weekStart % (period * 10080);
    }
    default: {
        // Months since January 1601 of the start, mod the period, as a month of 1601 onwards.
        int64_t days = startDate / 1440;
        int y = 1601, m = 1;
        // Walk whole years, then months (startDate is at most year 4500: fast enough).
        while (RecurMinutes(y + 1, 1, 1) / 1440 <= days) ++y;
        while (m < 12 && RecurMinutes(y, m + 1, 1) / 1440 <= days) ++m;
        uint32_t months = uint32_t((y - 1601) * 12 + (m - 1)) % period;
        return RecurMinutes(1601 + int(months / 12), int(months % 12) + 1, 1);
    }
    }
}

Binary EncodeRecurrencePattern(const RecurrencePattern& p) {
    Binary out;
    Append16(out, 0x3004);  // ReaderVersion
    Append16(out, 0x3004);  // WriterVersion
    Append16(out, uint32_t(p.frequency));
    Append16(out, uint32_t(p.patternType));
    Append16(out, 0);  // CalendarType: Gregorian
    Append32(out, p.firstDateTime);
    Append32(out, p.period);
    Append32(out, p.slidingFlag);
    switch (p.patternType) {
    case RecurPatternType::Day: break;
    case RecurPatternType::Week: Append32(out, p.dayMask); break;
    case RecurPatternType::Month:
    case RecurPatternType::MonthEnd: Append32(out, p.day); break;
    case RecurPatternType::MonthNth:
        Append32(out, p.dayMask);
        Append32(out, p.day);
        break;
    }
    Append32(out, uint32_t(p.endType));
    Append32(out, p.occurrenceCount);
    Append32(out, p.firstDayOfWeek);
    Append32(out, uint32_t(p.deletedInstanceDates.size()));
    for (uint32_t d : p.deletedInstanceDates) Append32(out, d);
    Append32(out, uint32_t(p.modifiedInstanceDates.size()));
    for (uint32_t d : p.modifiedInstanceDates) Append32(out, d);
    Append32(out, p.startDate);
    Append32(out, p.endDate);
    return out;
}

Binary EncodeAppointmentRecurrence(const AppointmentRecurrence& r) {
    Binary out = EncodeRecurrencePattern(r.pattern);
    Append32(out, 0x3006);  // ReaderVersion2
    Append32(out, 0x3009);  // WriterVersion2: with ExtendedException and ChangeHighlight
    Append32(out, r.startTimeOffset);
    Append32(out, r.endTimeOffset);
    Append16(out, uint32_t(r.exceptions.size()));
    for (const RecurException& e : r.exceptions) {
        uint32_t flags = 0;
        if (e.subject) flags |= 0x0001;          // ARO_SUBJECT
        if (e.meetingType) flags |= 0x0002;      // ARO_MEETINGTYPE
        if (e.reminderDelta) flags |= 0x0004;    // ARO_REMINDERDELTA
        if (e.reminderSet) flags |= 0x0008;      // ARO_REMINDER
        if (e.location) flags |= 0x0010;         // ARO_LOCATION
        if (e.busyStatus) flags |= 0x0020;       // ARO_BUSYSTATUS
        if (e.hasAttachment) flags |= 0x0040;    // ARO_ATTACHMENT
        if (e.subType) flags |= 0x0080;          // ARO_SUBTYPE
        if (e.appointmentColor) flags |= 0x0100; // ARO_APPTCOLOR
        if (e.exceptionalBody) flags |= 0x0200;  // ARO_EXCEPTIONAL_BODY
        Append32(out, e.startDateTime);
        Append32(out, e.endDateTime);
        Append32(out, e.originalStartDate);
        Append16(out, flags);
        if (e.subject) PutNarrow(out, *e.subject);
        if (e.meetingType) Append32(out, uint32_t(*e.meetingType));
        if (e.reminderDelta) Append32(out, uint32_t(*e.reminderDelta));
        if (e.reminderSet) Append32(out, *e.reminderSet ? 1 : 0);
        if (e.location) PutNarrow(out, *e.location);
        if (e.busyStatus) Append32(out, uint32_t(*e.busyStatus));
        if (e.hasAttachment) Append32(out, *e.hasAttachment ? 1 : 0);
        if (e.subType) Append32(out, uint32_t(*e.subType));
        if (e.appointmentColor) Append32(out, uint32_t(*e.appointmentColor));
    }
    Append32(out, 0);  // ReservedBlock1Size
    for (const RecurException& e : r.exceptions) {
        Append32(out, 4);  // ChangeHighlightSize
        Append32(out, 0);  // ChangeHighlightValue
        Append32(out, 0);  // ReservedBlockEE1Size
        if (e.subject || e.location) {
            Append32(out, e.startDateTime);
            Append32(out, e.endDateTime);
            Append32(out, e.originalStartDate);
            if (e.subject) PutWide(out, *e.subject);
            if (e.location) PutWide(out, *e.location);
            Append32(out, 0);  // ReservedBlockEE2Size
        }
    }
    Append32(out, 0);  // ReservedBlock2Size
    return out;
}

}  // namespace pst
