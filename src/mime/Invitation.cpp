#include "mime/Invitation.h"

#include <unicode/ucal.h>

#include <algorithm>
#include <ctime>
#include <vector>

#include "calendar/CalendarProps.h"
#include "calendar/LocalZone.h"
#include "calendar/RecurrenceLayout.h"
#include "calendar/TimeZoneProps.h"
#include "pst/messaging/CalendarLids.h"
#include "pst/messaging/MeetingObjectId.h"
#include "pst/messaging/PropTags.h"

namespace mime {

namespace {

struct Line {
    std::string name;                                     // upper case
    std::vector<std::pair<std::string, std::string>> params;  // names upper case
    std::string value;
    std::string Param(const std::string& key) const {
        for (const auto& [k, v] : params)
            if (k == key) return v;
        return {};
    }
};

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return s;
}

// Unfolded content lines ([RFC 5545] 3.1).
std::vector<Line> ContentLines(const std::string& text) {
    std::vector<std::string> raw;
    size_t from = 0;
    while (from < text.size()) {
        size_t nl = text.find('\n', from);
        std::string line = text.substr(from, nl == std::string::npos ? std::string::npos : nl - from);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && (line[0] == ' ' || line[0] == '\t') && !raw.empty()) raw.back() += line.substr(1);
        else raw.push_back(line);
        if (nl == std::string::npos) break;
        from = nl + 1;
    }
    std::vector<Line> out;
    for (const std::string& r : raw) {
        Line l;
        size_t i = 0;
        bool quoted = false;
        std::string head;
        for (; i < r.size(); ++i) {
            if (r[i] == '"') quoted = !quoted;
            if (r[i] == ':' && !quoted) break;
            head += r[i];
        }
        if (i >= r.size()) continue;
        l.value = r.substr(i + 1);
        size_t semi = head.find(';');
        l.name = Upper(head.substr(0, semi));
        while (semi != std::string::npos) {
            size_t next = head.find(';', semi + 1);
            std::string p = head.substr(semi + 1, next == std::string::npos ? std::string::npos : next - semi - 1);
            size_t eq = p.find('=');
            if (eq != std::string::npos) {
                std::string v = p.substr(eq + 1);
                if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
                l.params.emplace_back(Upper(p.substr(0, eq)), v);
            }
            semi = next;
        }
        out.push_back(std::move(l));
    }
    return out;
}

std::string Unescape(const std::string& v) {
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] == '\\' && i + 1 < v.size()) {
            char c = v[++i];
            out += (c == 'n' || c == 'N') ? '\n' : c;
        } else {
            out += v[i];
        }
    }
    return out;
}

bool Digits(const std::string& s, size_t from, size_t n) {
    if (from + n > s.size()) return false;
    for (size_t k = from; k < from + n; ++k)
        if (s[k] < '0' || s[k] > '9') return false;
    return true;
}

// A calendar in a zone known to ICU (a tz database or Windows name); null when unknown.
UCalendar* OpenZone(const std::string& tzid) {
    std::u16string id(tzid.begin(), tzid.end());
    UErrorCode status = U_ZERO_ERROR;
    UChar canonical[128];
    UBool system = false;
    int32_t n = ucal_getCanonicalTimeZoneID(reinterpret_cast<const UChar*>(id.data()), int32_t(id.size()), canonical, 128,
                                            &system, &status);
    if (U_FAILURE(status) || n <= 0 || !system) {
        status = U_ZERO_ERROR;
        n = ucal_getTimeZoneIDForWindowsID(reinterpret_cast<const UChar*>(id.data()), int32_t(id.size()), nullptr,
                                           canonical, 128, &status);
        if (U_FAILURE(status) || n <= 0 || n >= 128) return nullptr;
    }
    status = U_ZERO_ERROR;
    UCalendar* cal = ucal_open(canonical, n, "en_US", UCAL_GREGORIAN, &status);
    if (U_FAILURE(status)) {
        if (cal) ucal_close(cal);
        return nullptr;
    }
    return cal;
}

// Seconds of a wall-clock time in a zone known to ICU.
std::optional<int64_t> ZonedSeconds(const std::string& tzid, int y, int mo, int d, int h, int mi, int s) {
    UCalendar* cal = OpenZone(tzid);
    if (!cal) return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    ucal_clear(cal);
    ucal_setDateTime(cal, y, mo - 1, d, h, mi, s, &status);
    UDate ms = ucal_getMillis(cal, &status);
    ucal_close(cal);
    if (U_FAILURE(status)) return std::nullopt;
    return int64_t(ms / 1000);
}

// The converting machine's zone by name, when ICU knows it.
std::string LocalZone() {
    std::string name = calendar::LocalZoneCandidate();
    if (name.empty()) return {};
    UCalendar* cal = OpenZone(name);
    if (!cal) return {};
    ucal_close(cal);
    return name;
}

// The zone a series' times are wall-clock times of: a zone ICU knows, UTC, or
// the converting machine's (floating times and dates: its name when ICU knows
// it, else empty).
struct SeriesZone {
    std::string tzid;
    bool utc = false;
    bool floating = false;

    calendar::CivilTime Wall(int64_t seconds) const {
        calendar::CivilTime c;
        if (UCalendar* cal = tzid.empty() ? nullptr : OpenZone(tzid)) {
            UErrorCode status = U_ZERO_ERROR;
            ucal_setMillis(cal, UDate(seconds) * 1000.0, &status);
            c = {ucal_get(cal, UCAL_YEAR, &status), ucal_get(cal, UCAL_MONTH, &status) + 1,
                 ucal_get(cal, UCAL_DATE, &status), ucal_get(cal, UCAL_HOUR_OF_DAY, &status),
                 ucal_get(cal, UCAL_MINUTE, &status), ucal_get(cal, UCAL_SECOND, &status)};
            ucal_close(cal);
            if (U_SUCCESS(status)) return c;
        }
        time_t t = time_t(seconds);
        std::tm tm{};
        if (utc ? !gmtime_r(&t, &tm) : !localtime_r(&t, &tm)) return c;
        return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
    }
    int64_t Instant(const calendar::CivilTime& c) const {
        if (!tzid.empty())
            if (auto z = ZonedSeconds(tzid, c.year, c.month, c.day, c.hour, c.minute, c.second)) return *z;
        std::tm tm{};
        tm.tm_year = c.year - 1900;
        tm.tm_mon = c.month - 1;
        tm.tm_mday = c.day;
        tm.tm_hour = c.hour;
        tm.tm_min = c.minute;
        tm.tm_sec = c.second;
        if (utc) return int64_t(timegm(&tm));
        tm.tm_isdst = -1;
        return int64_t(mktime(&tm));
    }
};

struct When {
    int64_t utc = 0;
    bool date = false;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    SeriesZone zone;  // what the digits are a wall-clock time of
};

std::optional<When> TimeOf(const Line& l) {
    const std::string& v = l.value;
    if (!Digits(v, 0, 8)) return std::nullopt;
    When w;
    w.year = std::stoi(v.substr(0, 4));
    w.month = std::stoi(v.substr(4, 2));
    w.day = std::stoi(v.substr(6, 2));
    if (w.month < 1 || w.month > 12 || w.day < 1 || w.day > 31 || w.year < 1601 || w.year > 9999) return std::nullopt;
    int h = 0, mi = 0, s = 0;
    bool utc = false;
    if (v.size() == 8) {
        w.date = true;
    } else {
        if (v.size() < 15 || v[8] != 'T' || !Digits(v, 9, 6)) return std::nullopt;
        h = std::stoi(v.substr(9, 2));
        mi = std::stoi(v.substr(11, 2));
        s = std::stoi(v.substr(13, 2));
        utc = v.size() > 15 && (v[15] == 'Z' || v[15] == 'z');
    }
    std::tm tm{};
    tm.tm_year = w.year - 1900;
    tm.tm_mon = w.month - 1;
    tm.tm_mday = w.day;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    w.hour = h;
    w.minute = mi;
    w.second = s;
    if (utc) {
        w.utc = int64_t(timegm(&tm));
        w.zone.utc = true;
        return w;
    }
    std::string tzid = l.Param("TZID");
    if (!w.date && !tzid.empty())
        if (auto z = ZonedSeconds(tzid, w.year, w.month, w.day, h, mi, s)) {
            w.utc = *z;
            w.zone.tzid = tzid;
            return w;
        }
    // Dates, floating times and unknown zones: the converting machine's zone.
    w.zone.floating = true;
    w.zone.tzid = LocalZone();
    if (!w.zone.tzid.empty())
        if (auto z = ZonedSeconds(w.zone.tzid, w.year, w.month, w.day, h, mi, s)) {
            w.utc = *z;
            return w;
        }
    w.zone.tzid.clear();
    tm.tm_isdst = -1;
    w.utc = int64_t(mktime(&tm));
    return w;
}

// "PT1H30M", "P1D", "-PT15M" as seconds.
std::optional<int64_t> DurationOf(const std::string& text) {
    std::string t = Upper(text);
    bool neg = !t.empty() && t[0] == '-';
    if (!t.empty() && (t[0] == '-' || t[0] == '+')) t = t.substr(1);
    if (t.empty() || t[0] != 'P') return std::nullopt;
    int64_t total = 0, n = 0;
    bool digits = false;
    for (size_t i = 1; i < t.size(); ++i) {
        char c = t[i];
        if (c >= '0' && c <= '9') {
            n = n * 10 + (c - '0');
            digits = true;
            if (n > 100000000) return std::nullopt;
            continue;
        }
        if (c == 'T') continue;
        if (!digits) return std::nullopt;
        total += n * (c == 'W' ? 604800 : c == 'D' ? 86400 : c == 'H' ? 3600 : c == 'M' ? 60 : c == 'S' ? 1 : 0);
        n = 0;
        digits = false;
    }
    return neg ? -total : total;
}

// The zone's rules from `fromYear` to `toYear` as Outlook lists them, under
// Windows' name for the zone, so that Outlook keeps the wall clock.
void DescribeZone(Invitation& inv, const SeriesZone& zone, int fromYear, int toYear) {
    UCalendar* cal = zone.utc || zone.tzid.empty() ? nullptr : OpenZone(zone.tzid);
    if (!cal && !zone.utc) return;
    auto offsetAt = [cal](int64_t t) -> int32_t {
        if (!cal) return 0;
        UErrorCode status = U_ZERO_ERROR;
        ucal_setMillis(cal, UDate(t) * 1000.0, &status);
        int32_t ms = ucal_get(cal, UCAL_ZONE_OFFSET, &status) + ucal_get(cal, UCAL_DST_OFFSET, &status);
        return U_SUCCESS(status) ? ms / 1000 : 0;
    };
    int32_t standard = 0;
    calendar::YearRule(offsetAt, fromYear, standard);
    inv.zoneRules = calendar::RuleHistory(
        [&offsetAt](int year) {
            int32_t ignored = 0;
            return calendar::YearRule(offsetAt, year, ignored);
        },
        fromYear, toYear);
    const std::string name = zone.utc ? std::string("UTC") : zone.tzid;
    inv.zoneKey = zone.utc ? name : calendar::WindowsZoneKey(name);
    inv.zoneDescription = calendar::ZoneDescription(standard, name);
    if (cal) ucal_close(cal);
}

// The series of a request whose VEVENT holds an RRULE, laid out from its
// first instance in the zone of its DTSTART; EXDATEs become deleted instances.
void LayOutSeries(Invitation& inv, const When& start, int64_t durationSeconds, const std::vector<When>& exdates) {
    auto rule = calendar::ParseRRule(inv.rule);
    if (!rule) return;
    const SeriesZone& zone = start.zone;
    const calendar::CivilTime wall{start.year, start.month, start.day, start.hour, start.minute, start.second};
    std::optional<calendar::CivilTime> until;
    if (rule->until) {
        until = rule->until->time;
        if (rule->until->date) until->hour = 23, until->minute = 59, until->second = 59;
        else if (rule->until->utc) until = zone.Wall(SeriesZone{{}, true}.Instant(rule->until->time));
    }
    const int64_t minutes = std::max<int64_t>(durationSeconds, 0) / 60;
    calendar::LayoutResult laid = calendar::LayOutRule(*rule, wall, minutes, until);
    if (!laid.layout) return;
    const calendar::RuleLayout& l = *laid.layout;
    InvitationSeries& s = inv.series.emplace();
    s.recurrence.pattern = l.pattern;
    std::vector<uint32_t>& deleted = s.recurrence.pattern.deletedInstanceDates;
    for (const When& x : exdates) {
        int64_t day = x.date ? calendar::DayNumber(calendar::CivilTime{x.year, x.month, x.day}) : calendar::DayNumber(zone.Wall(x.utc));
        if (day >= l.firstDay && day <= l.lastDay && calendar::OnPattern(l.pattern, day)) deleted.push_back(uint32_t(day * 1440));
    }
    std::sort(deleted.begin(), deleted.end());
    deleted.erase(std::unique(deleted.begin(), deleted.end()), deleted.end());
    s.recurrence.startTimeOffset = uint32_t(l.startMinute);
    s.recurrence.endTimeOffset = uint32_t(l.startMinute + l.durationMinutes);
    s.recurrenceType = l.recurrenceType;
    s.patternText = calendar::PatternText(l);
    s.clipStart = zone.Instant(calendar::CivilOfDay(l.firstDay));
    s.clipEnd = zone.Instant(calendar::CivilOfDay(l.lastDay));
    s.endless = l.endless;
    if (l.startOffRule) s.offRuleStart = wall;
    // Every instance at its wall clock: a series from its start's year to now.
    const int nowYear = zone.Wall(int64_t(std::time(nullptr))).year;
    DescribeZone(inv, zone, start.year, std::min(std::max(start.year, nowYear), 9999));
    // The request shows the series' first instance, as Outlook's own requests do.
    calendar::CivilTime first = calendar::CivilOfDay(l.firstDay);
    first.hour = wall.hour;
    first.minute = wall.minute;
    first.second = wall.second;
    inv.start = zone.Instant(first);
    inv.end = *inv.start + std::max<int64_t>(durationSeconds, 0);
}

}  // namespace

std::optional<Invitation> ParseInvitation(const std::string& ics) {
    std::vector<Line> lines = ContentLines(ics);
    std::string method;
    int depth = 0;
    bool inEvent = false, seenEvent = false;
    Invitation inv;
    std::optional<When> start, end;
    std::optional<int64_t> duration;
    std::string partstat;
    std::vector<When> exdates;
    for (const Line& l : lines) {
        if (l.name == "BEGIN") {
            ++depth;
            if (Upper(l.value) == "VEVENT" && !seenEvent) inEvent = true;
            continue;
        }
        if (l.name == "END") {
            --depth;
            if (Upper(l.value) == "VEVENT" && inEvent) {
                inEvent = false;
                seenEvent = true;
            }
            continue;
        }
        if (depth == 1 && l.name == "METHOD") method = Upper(l.value);
        if (!inEvent) continue;
        if (l.name == "UID") inv.uid = l.value;
        else if (l.name == "DTSTART") start = TimeOf(l);
        else if (l.name == "DTEND") end = TimeOf(l);
        else if (l.name == "DURATION") duration = DurationOf(l.value);
        else if (l.name == "LOCATION") inv.location = Unescape(l.value);
        else if (l.name == "SEQUENCE") inv.sequence = std::atoi(l.value.c_str());
        else if (l.name == "RRULE") inv.rule = l.value;
        else if (l.name == "EXDATE") {
            Line one = l;
            size_t from = 0;
            while (from <= l.value.size() && exdates.size() < 100000) {
                size_t comma = l.value.find(',', from);
                one.value = l.value.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
                if (auto x = TimeOf(one)) exdates.push_back(*x);
                if (comma == std::string::npos) break;
                from = comma + 1;
            }
        }
        else if (l.name == "RECURRENCE-ID") {
            if (auto r = TimeOf(l)) {
                inv.instanceYear = r->year;
                inv.instanceMonth = r->month;
                inv.instanceDay = r->day;
                inv.instanceStart = r->utc;
            }
        } else if (l.name == "ATTENDEE") {
            if (partstat.empty()) partstat = Upper(l.Param("PARTSTAT"));
            if (Upper(l.Param("RSVP")) == "TRUE") inv.responseRequested = true;
        }
    }
    if (!seenEvent || inv.uid.empty()) return std::nullopt;
    if (method == "REQUEST") inv.messageClass = "IPM.Schedule.Meeting.Request";
    else if (method == "CANCEL") inv.messageClass = "IPM.Schedule.Meeting.Canceled";
    else if (method == "REPLY" && partstat == "ACCEPTED") inv.messageClass = "IPM.Schedule.Meeting.Resp.Pos";
    else if (method == "REPLY" && partstat == "TENTATIVE") inv.messageClass = "IPM.Schedule.Meeting.Resp.Tent";
    else if (method == "REPLY" && partstat == "DECLINED") inv.messageClass = "IPM.Schedule.Meeting.Resp.Neg";
    else return std::nullopt;
    if (start) {
        inv.start = start->utc;
        inv.allDay = start->date;
        if (end && end->utc >= start->utc) inv.end = end->utc;
        else if (duration && *duration >= 0) inv.end = start->utc + *duration;
        else inv.end = start->utc + (start->date ? 86400 : 0);
        if (!inv.rule.empty() && !inv.instanceYear) LayOutSeries(inv, *start, *inv.end - *inv.start, exdates);
        // A single meeting or one instance in a named zone, as a zoned appointment.
        else if (!start->zone.floating && !start->zone.utc) DescribeZone(inv, start->zone, start->year, start->year);
    }
    // A series Outlook has no pattern for stays mail with its iCalendar part.
    if (!inv.rule.empty() && !inv.instanceYear && !inv.series) return std::nullopt;
    if (method != "REQUEST") inv.responseRequested = false;
    return inv;
}

void PutInvitation(store::Item& it, const Invitation& inv) {
    using namespace pst;
    using namespace pst::tags;
    using calendar::Lid;
    it.SetProp(PR_MESSAGE_CLASS, inv.messageClass);
    if (inv.end) it.Put("End", FileTime{uint64_t((*inv.end + 11644473600LL) * 10000000LL)});
    if (inv.start) it.Put("Start", FileTime{uint64_t((*inv.start + 11644473600LL) * 10000000LL)});
    if (!inv.location.empty()) it.Put("Location", inv.location);
    it.Put("AllDayEvent", inv.allDay);
    if (inv.series) {
        const InvitationSeries& s = *inv.series;
        calendar::PutRecurrence(it, s.recurrence, s.recurrenceType, s.patternText, s.clipStart, s.clipEnd, s.endless);
    }
    calendar::PutTimeZone(it, inv.zoneKey, inv.zoneDescription, inv.zoneRules, inv.series.has_value());
    if (inv.instanceStart) {
        // One instance of a series, as Outlook sends a changed or cancelled one:
        // no series itself, but the series' instance it replaces.
        using calendar::PutLid;
        PutLid(it, PSETID_Appointment(), lid::PidLidRecurring, PT_BOOLEAN, false);
        PutLid(it, PSETID_Meeting(), lid::PidLidIsRecurring, PT_BOOLEAN, true);
        PutLid(it, PSETID_Meeting(), lid::PidLidIsException, PT_BOOLEAN, true);
        PutLid(it, PSETID_Appointment(), lid::PidLidExceptionReplaceTime, PT_SYSTIME,
               FileTime{uint64_t((*inv.instanceStart + 11644473600LL) * 10000000LL)});
    }
    Binary id = GlobalObjectIdFromUid(inv.uid);
    if (inv.instanceYear) id = InstanceGlobalObjectId(id, inv.instanceYear, inv.instanceMonth, inv.instanceDay);
    it.Put("GlobalObjectId", id);
    const bool request = inv.messageClass == "IPM.Schedule.Meeting.Request";
    const bool cancel = inv.messageClass == "IPM.Schedule.Meeting.Canceled";
    // A received meeting: asfMeeting | asfReceived, cancelled ones also asfCanceled.
    it.Put("MeetingStatus", int32_t(cancel ? 7 : 3));
    it.Put("BusyStatus", int32_t(cancel ? 0 : 2));
    it.SetNamedProp(Lid(PSETID_Appointment(), 0x8201), PT_LONG, int32_t(inv.sequence));        // PidLidAppointmentSequence
    it.SetNamedProp(Lid(PSETID_Appointment(), 0x8224), PT_LONG, int32_t(cancel ? 0 : 2));      // PidLidIntendedBusyStatus
    if (request) it.SetNamedProp(Lid(PSETID_Meeting(), 0x0026), PT_LONG, int32_t(1));         // PidLidMeetingType: initial
    it.SetProp(MakeTag(0x0063, PT_BOOLEAN), request && inv.responseRequested);                  // PR_RESPONSE_REQUESTED
}

}  // namespace mime
