#include "calendar/TimeZoneProps.h"

#include <unicode/ucal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "calendar/CalendarProps.h"
#include "calendar/CivilDays.h"
#include "pst/messaging/CalendarLids.h"
#include "pst/messaging/PropTags.h"

namespace calendar {

namespace {

constexpr int64_t kEpochDay = 134774;  // 1970-01-01 as days since 1601-01-01

CivilTime CivilOfUnix(int64_t seconds) {
    int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
    int64_t rem = seconds - days * 86400;
    CivilTime c = CivilOfDay(days + kEpochDay);
    c.hour = int(rem / 3600);
    c.minute = int(rem % 3600 / 60);
    c.second = int(rem % 60);
    return c;
}

// A change's wall-clock moment (in the time before it) as a rule: month,
// weekday and week of the month (5: the last).
pst::SystemTime RuleDate(const CivilTime& wall) {
    pst::SystemTime t;
    t.month = uint16_t(wall.month);
    t.dayOfWeek = uint16_t(WeekdayOfDay(DayNumber(wall)));
    t.day = uint16_t(wall.day + 7 > DaysIn(wall.year, wall.month) ? 5 : (wall.day - 1) / 7 + 1);
    t.hour = uint16_t(wall.hour);
    t.minute = uint16_t(wall.minute);
    t.second = uint16_t(wall.second);
    return t;
}

}  // namespace

pst::TimeZoneRule YearRule(const std::function<int32_t(int64_t)>& offsetAt, int year, int32_t& standardOffset) {
    pst::TimeZoneRule rule;
    rule.year = uint16_t(year);
    struct Change {
        int64_t at;
        int32_t before, after;
    };
    std::vector<Change> changes;
    const int64_t from = (DayNumber(CivilTime{year, 1, 1}) - kEpochDay) * 86400 + 12 * 3600;
    int32_t prev = offsetAt(from);
    for (int day = 1; day <= 366; ++day) {
        int64_t t = from + int64_t(day) * 86400;
        int32_t cur = offsetAt(t);
        if (cur == prev) continue;
        int64_t lo = t - 86400, hi = t;  // offset(lo) = prev, offset(hi) = cur
        while (hi - lo > 1) {
            int64_t mid = lo + (hi - lo) / 2;
            (offsetAt(mid) == prev ? lo : hi) = mid;
        }
        changes.push_back({hi, prev, cur});
        prev = cur;
    }
    standardOffset = prev;
    if (changes.size() == 2 && changes[0].before == changes[1].after && changes[0].after == changes[1].before) {
        const Change& toDaylight = changes[0].after > changes[0].before ? changes[0] : changes[1];
        const Change& toStandard = changes[0].after > changes[0].before ? changes[1] : changes[0];
        standardOffset = toDaylight.before;
        rule.daylightBias = -(toDaylight.after - toDaylight.before) / 60;
        rule.daylightDate = RuleDate(CivilOfUnix(toDaylight.at + toDaylight.before));
        rule.standardDate = RuleDate(CivilOfUnix(toStandard.at + toStandard.before));
    }
    rule.bias = -standardOffset / 60;
    return rule;
}

namespace {

bool SameTime(const pst::SystemTime& a, const pst::SystemTime& b) {
    return a.month == b.month && a.dayOfWeek == b.dayOfWeek && a.day == b.day && a.hour == b.hour && a.minute == b.minute;
}

bool SameRule(const pst::TimeZoneRule& a, const pst::TimeZoneRule& b) {
    return a.bias == b.bias && a.standardBias == b.standardBias && a.daylightBias == b.daylightBias &&
           SameTime(a.standardDate, b.standardDate) && SameTime(a.daylightDate, b.daylightDate);
}

}  // namespace

std::vector<pst::TimeZoneRule> RuleHistory(const std::function<pst::TimeZoneRule(int)>& ruleOf, int fromYear, int toYear) {
    std::map<int, pst::TimeZoneRule> known;
    auto at = [&](int year) -> const pst::TimeZoneRule& {
        auto it = known.find(year);
        if (it == known.end()) it = known.emplace(year, ruleOf(year)).first;
        return it->second;
    };
    std::vector<pst::TimeZoneRule> out{at(fromYear)};
    std::vector<std::pair<int, int>> spans;
    if (toYear > fromYear) spans.push_back({fromYear, toYear});
    std::vector<int> changes;
    while (!spans.empty()) {
        auto [lo, hi] = spans.back();
        spans.pop_back();
        if (SameRule(at(lo), at(hi))) continue;
        if (hi == lo + 1) {
            changes.push_back(hi);
            continue;
        }
        int mid = lo + (hi - lo) / 2;
        spans.push_back({mid, hi});
        spans.push_back({lo, mid});
    }
    std::sort(changes.begin(), changes.end());
    for (int year : changes) out.push_back(at(year));
    return out;
}

std::string WindowsZoneKey(const std::string& zone) {
    std::u16string id(zone.begin(), zone.end());  // tz names are ASCII
    UChar out[128];
    UErrorCode status = U_ZERO_ERROR;
    int32_t n = ucal_getWindowsTimeZoneID(reinterpret_cast<const UChar*>(id.data()), int32_t(id.size()), out, 128, &status);
    if (U_FAILURE(status) || n <= 0 || n >= 128) return zone;
    std::string key;
    for (int32_t k = 0; k < n; ++k) key.push_back(out[k] < 0x80 ? char(out[k]) : '?');
    return key;
}

std::string ZoneDescription(int32_t standardOffset, const std::string& zone) {
    char head[32];
    int minutes = standardOffset / 60;
    std::snprintf(head, sizeof head, "(UTC%c%02d:%02d) ", minutes < 0 ? '-' : '+', std::abs(minutes) / 60,
                  std::abs(minutes) % 60);
    return head + zone;
}

void PutTimeZone(store::PropertyBag& bag, const std::string& windowsKey, const std::string& description,
                 const std::vector<pst::TimeZoneRule>& rules, bool recurring) {
    using namespace pst;
    using namespace pst::tags;
    if (rules.empty()) return;
    const Guid& appt = PSETID_Appointment();
    PutLid(bag, appt, lid::PidLidTimeZoneStruct, PT_BINARY, EncodeTimeZoneStruct(rules.front()));
    PutLid(bag, appt, lid::PidLidTimeZoneDescription, PT_UNICODE, description);
    Binary display = EncodeTimeZoneDefinition(windowsKey, rules, rules.size() - 1, false);
    PutLid(bag, appt, lid::PidLidAppointmentTimeZoneDefinitionStartDisplay, PT_BINARY, display);
    PutLid(bag, appt, lid::PidLidAppointmentTimeZoneDefinitionEndDisplay, PT_BINARY, display);
    if (recurring)
        PutLid(bag, appt, lid::PidLidAppointmentTimeZoneDefinitionRecur, PT_BINARY,
               EncodeTimeZoneDefinition(windowsKey, rules, rules.size() - 1, true));
}

}  // namespace calendar
