#include "items/ZoneRules.h"

#include <unicode/ucal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace items {

namespace {

int DaysIn(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return 29;
    return days[m - 1];
}

// Windows' name for a tz database zone (CLDR's mapping, through ICU).
std::string WindowsKey(const std::string& zone) {
    std::u16string id(zone.begin(), zone.end());  // tz names are ASCII
    UChar out[128];
    UErrorCode status = U_ZERO_ERROR;
    int32_t n = ucal_getWindowsTimeZoneID(reinterpret_cast<const UChar*>(id.data()), int32_t(id.size()), out, 128, &status);
    if (U_FAILURE(status) || n <= 0 || n >= 128) return zone;
    std::string key;
    for (int32_t k = 0; k < n; ++k) key.push_back(out[k] < 0x80 ? char(out[k]) : '?');
    return key;
}

// A transition's wall-clock moment (in the time before it) as a rule:
// month, weekday and week of the month (5: the last).
pst::SystemTime RuleDate(const CivilTime& wall) {
    pst::SystemTime t;
    t.month = uint16_t(wall.month);
    int64_t days = CivilToUnix(CivilTime{wall.year, wall.month, wall.day, 0, 0, 0}) / 86400;
    t.dayOfWeek = uint16_t(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday (4)
    t.day = uint16_t(wall.day + 7 > DaysIn(wall.year, wall.month) ? 5 : (wall.day - 1) / 7 + 1);
    t.hour = uint16_t(wall.hour);
    t.minute = uint16_t(wall.minute);
    t.second = uint16_t(wall.second);
    return t;
}

}  // namespace

std::optional<ZoneRules> ZoneRulesFor(const std::string& zone, int year) {
    if (!ZoneOffsetAt(zone, 0)) return std::nullopt;
    ZoneRules z;
    z.zone = zone;
    z.windowsKey = WindowsKey(zone);
    z.rule.year = uint16_t(year);
    // The year's transitions: daily probes, each change narrowed to the second.
    struct Change {
        int64_t at;
        int32_t before, after;
    };
    std::vector<Change> changes;
    const int64_t from = CivilToUnix(CivilTime{year, 1, 1, 12, 0, 0});
    int32_t prev = *ZoneOffsetAt(zone, from);
    for (int day = 1; day <= 366; ++day) {
        int64_t t = from + int64_t(day) * 86400;
        int32_t cur = *ZoneOffsetAt(zone, t);
        if (cur == prev) continue;
        int64_t lo = t - 86400, hi = t;  // offset(lo) = prev, offset(hi) = cur
        while (hi - lo > 1) {
            int64_t mid = lo + (hi - lo) / 2;
            (*ZoneOffsetAt(zone, mid) == prev ? lo : hi) = mid;
        }
        changes.push_back({hi, prev, cur});
        prev = cur;
    }
    int32_t standard = prev;
    if (changes.size() == 2 && changes[0].before == changes[1].after && changes[0].after == changes[1].before) {
        const Change& toDaylight = changes[0].after > changes[0].before ? changes[0] : changes[1];
        const Change& toStandard = changes[0].after > changes[0].before ? changes[1] : changes[0];
        standard = toDaylight.before;
        z.rule.daylightBias = -(toDaylight.after - toDaylight.before) / 60;
        z.rule.daylightDate = RuleDate(UnixToCivil(toDaylight.at + toDaylight.before));
        z.rule.standardDate = RuleDate(UnixToCivil(toStandard.at + toStandard.before));
    }
    z.rule.bias = -standard / 60;
    char head[32];
    int minutes = standard / 60;
    std::snprintf(head, sizeof head, "(UTC%c%02d:%02d) ", minutes < 0 ? '-' : '+', std::abs(minutes) / 60,
                  std::abs(minutes) % 60);
    z.description = head + zone;
    return z;
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

std::vector<ZoneRules> ZoneHistory(const std::string& zone, int fromYear, int toYear) {
    std::vector<ZoneRules> out;
    auto first = ZoneRulesFor(zone, fromYear);
    if (!first) return out;
    out.push_back(*first);
    if (toYear <= fromYear) return out;
    // Halve each span whose ends differ until the year a rule took over is found.
    std::map<int, ZoneRules> known{{fromYear, *first}};
    auto at = [&](int year) -> const ZoneRules& {
        auto it = known.find(year);
        if (it == known.end()) it = known.emplace(year, *ZoneRulesFor(zone, year)).first;
        return it->second;
    };
    std::vector<std::pair<int, int>> spans{{fromYear, toYear}};
    std::vector<int> changes;
    while (!spans.empty()) {
        auto [lo, hi] = spans.back();
        spans.pop_back();
        if (SameRule(at(lo).rule, at(hi).rule)) continue;
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

std::string LocalZoneName() {
    if (const char* tz = std::getenv("TZ"); tz && *tz) {
        std::string name = tz[0] == ':' ? tz + 1 : tz;
        if (ZoneOffsetAt(name, 0)) return name;
        return {};
    }
    char target[512];
    ssize_t n = ::readlink("/etc/localtime", target, sizeof target - 1);
    if (n <= 0) return {};
    std::string path(target, size_t(n));
    size_t at = path.find("zoneinfo/");
    if (at == std::string::npos) return {};
    std::string name = path.substr(at + 9);
    if (name.rfind("posix/", 0) == 0) name = name.substr(6);
    return ZoneOffsetAt(name, 0) ? name : std::string();
}

CivilTime ZoneLocalTime(const std::string& zone, int64_t utc) {
    if (auto offset = ZoneOffsetAt(zone, utc)) return UnixToCivil(utc + *offset);
    time_t t = time_t(utc);
    std::tm tm{};
    if (!localtime_r(&t, &tm)) return UnixToCivil(utc);
    return CivilTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

int64_t ZoneInstant(const std::string& zone, const CivilTime& local) {
    if (auto v = ZoneToUnix(zone, local)) return *v;
    return LocalToUnix(local);
}

}  // namespace items
