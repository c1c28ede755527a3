#include "items/ZimbraTime.h"

#include <fcntl.h>
#include <gmime/gmime.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>

#include "items/ZimbraMetaReader.h"
#include "store/PstStoreSession.h"

namespace items {

namespace {

bool AllDigits(const std::string& s, size_t from, size_t count) {
    if (from + count > s.size()) return false;
    for (size_t k = from; k < from + count; ++k)
        if (s[k] < '0' || s[k] > '9') return false;
    return true;
}

int Num(const std::string& s, size_t from, size_t count) { return std::stoi(s.substr(from, count)); }

int DaysInMonth(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return 29;
    return days[m - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468;
}

}  // namespace

bool IsValidCivil(const CivilTime& t) {
    return t.year >= 1601 && t.year <= 9999 && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
           t.day <= DaysInMonth(t.year, t.month) && t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 &&
           t.second >= 0 && t.second <= 59;
}

int64_t CivilToUnix(const CivilTime& t) {
    return DaysFromCivil(t.year, unsigned(t.month), unsigned(t.day)) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

CivilTime UnixToCivil(int64_t s) {
    int64_t days = s >= 0 ? s / 86400 : -((-s + 86399) / 86400);
    int64_t rem = s - days * 86400;
    int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t y = int64_t(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    CivilTime t;
    t.year = int(y + (m <= 2));
    t.month = int(m);
    t.day = int(d);
    t.hour = int(rem / 3600);
    t.minute = int(rem % 3600 / 60);
    t.second = int(rem % 60);
    return t;
}

pst::FileTime UnixToFileTime(int64_t seconds) {
    // A FILETIME holds 1601 onwards; Outlook takes times up to the end of 9999.
    seconds = std::clamp<int64_t>(seconds, -11644473600LL, 253402300799LL);
    return pst::FileTime{uint64_t((seconds + 11644473600LL) * 10000000LL)};
}

int64_t FileTimeToUnix(const pst::FileTime& ft) { return int64_t(ft.value / 10000000ULL) - 11644473600LL; }

std::optional<ZimbraDateTime> ParseZimbraDateTime(const std::string& input) {
    std::string text = TrimSpaces(input);
    ZimbraDateTime dt;
    std::string digits;
    if (text.rfind("VALUE=DATE:", 0) == 0) {
        dt.kind = ZimbraDateTime::Kind::AllDay;
        digits = text.substr(11);
    } else if (text.rfind("TZID=", 0) == 0) {
        size_t colon = text.rfind(':');
        if (colon == std::string::npos || colon < 5) return std::nullopt;
        dt.kind = ZimbraDateTime::Kind::Zoned;
        dt.zone = text.substr(5, colon - 5);
        if (dt.zone.size() >= 2 && dt.zone.front() == '"' && dt.zone.back() == '"') dt.zone = dt.zone.substr(1, dt.zone.size() - 2);
        digits = text.substr(colon + 1);
    } else {
        digits = text;
    }
    if (!AllDigits(digits, 0, 8)) return std::nullopt;
    dt.local.year = Num(digits, 0, 4);
    dt.local.month = Num(digits, 4, 2);
    dt.local.day = Num(digits, 6, 2);
    if (digits.size() == 8) {
        if (dt.kind != ZimbraDateTime::Kind::Zoned) dt.kind = ZimbraDateTime::Kind::AllDay;
    } else {
        if (digits[8] != 'T' || !AllDigits(digits, 9, 4)) return std::nullopt;
        dt.local.hour = Num(digits, 9, 2);
        dt.local.minute = Num(digits, 11, 2);
        size_t rest = 13;
        if (AllDigits(digits, 13, 2)) {
            dt.local.second = Num(digits, 13, 2);
            rest = 15;
        }
        std::string tail = digits.substr(rest);
        if (tail == "Z") {
            if (dt.kind == ZimbraDateTime::Kind::AllDay) return std::nullopt;
            dt.kind = ZimbraDateTime::Kind::Utc;
        } else if (!tail.empty()) {
            return std::nullopt;
        }
        if (dt.kind == ZimbraDateTime::Kind::AllDay) dt.kind = ZimbraDateTime::Kind::Floating;  // "VALUE=DATE:" with a time
    }
    if (!IsValidCivil(dt.local)) return std::nullopt;
    return dt;
}

int64_t LocalToUnix(const CivilTime& t) {
    // mktime works on the process's local zone; outside the years it handles well,
    // the offset of the same day in 2000 stands in.
    CivilTime probe = t;
    int64_t shift = 0;
    if (t.year < 1902 || t.year > 2037) {
        probe.year = 2000 + (t.year % 4 == 0 ? 0 : 1);
        if (probe.month == 2 && probe.day == 29) probe.year = 2000;
        shift = CivilToUnix(t) - CivilToUnix(probe);
    }
    std::tm tm{};
    tm.tm_year = probe.year - 1900;
    tm.tm_mon = probe.month - 1;
    tm.tm_mday = probe.day;
    tm.tm_hour = probe.hour;
    tm.tm_min = probe.minute;
    tm.tm_sec = probe.second;
    tm.tm_isdst = -1;
    time_t v = mktime(&tm);
    if (v == time_t(-1)) return CivilToUnix(t);
    return int64_t(v) + shift;
}

namespace {

struct ZoneInfo {
    std::vector<int64_t> transitions;  // UTC seconds
    std::vector<uint8_t> typeIndex;    // per transition
    std::vector<int32_t> offsets;      // per type, seconds east of UTC
    std::vector<bool> isDst;
    // The zone's yearly rule: for a zone the export defines, in any year; for
    // a zone file, past its last transition (the file's closing TZ string).
    std::function<int32_t(int64_t)> byRule;
    int32_t OffsetAt(int64_t utc) const {
        if (byRule && (transitions.empty() || utc > transitions.back())) return byRule(utc);
        if (offsets.empty()) return 0;
        if (transitions.empty() || utc < transitions.front()) {
            for (size_t k = 0; k < offsets.size(); ++k)
                if (!isDst[k]) return offsets[k];
            return offsets[0];
        }
        auto it = std::upper_bound(transitions.begin(), transitions.end(), utc);
        size_t idx = size_t(it - transitions.begin()) - 1;
        uint8_t type = typeIndex[idx];
        return type < offsets.size() ? offsets[type] : 0;
    }
};

// A yearly transition: a month's n-th (negative: from its end) weekday or a
// day of the month, at a wall-clock time.
struct Onset {
    int month = 0, week = 0, weekday = -1, monthDay = 0, seconds = 0;
};

std::optional<Onset> ParseOnset(const std::string& rule, const std::string& start) {
    static const char* names[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
    Onset o;
    size_t from = 0;
    while (from < rule.size()) {
        size_t semi = rule.find(';', from);
        std::string part = rule.substr(from, semi == std::string::npos ? std::string::npos : semi - from);
        from = semi == std::string::npos ? rule.size() : semi + 1;
        size_t eq = part.find('=');
        if (eq == std::string::npos) continue;
        std::string key = part.substr(0, eq), value = part.substr(eq + 1);
        if (key == "BYMONTH" && AllDigits(value, 0, value.size()) && !value.empty() && value.size() <= 2) {
            o.month = std::stoi(value);
        } else if (key == "BYMONTHDAY" && !value.empty() && value.size() <= 2 && AllDigits(value, 0, value.size())) {
            o.monthDay = std::stoi(value);
        } else if (key == "BYDAY" && value.size() >= 2) {
            std::string day = value.substr(value.size() - 2), n = value.substr(0, value.size() - 2);
            for (int k = 0; k < 7; ++k)
                if (day == names[k]) o.weekday = k;
            bool negative = !n.empty() && n[0] == '-';
            if (!n.empty() && (n[0] == '-' || n[0] == '+')) n = n.substr(1);
            int week = n.empty() ? 1 : (n.size() == 1 && AllDigits(n, 0, 1) ? std::stoi(n) : 0);
            o.week = negative ? -week : week;
        }
    }
    if (rule.empty() && AllDigits(start, 0, 8)) {  // a fixed date
        o.month = Num(start, 4, 2);
        o.monthDay = Num(start, 6, 2);
    }
    size_t t = start.find('T');
    if (t != std::string::npos && AllDigits(start, t + 1, 6))
        o.seconds = Num(start, t + 1, 2) * 3600 + Num(start, t + 3, 2) * 60 + Num(start, t + 5, 2);
    if (o.month < 1 || o.month > 12) return std::nullopt;
    if (o.weekday < 0 && (o.monthDay < 1 || o.monthDay > 31)) return std::nullopt;
    if (o.weekday >= 0 && (o.week == 0 || o.week > 5 || o.week < -5)) return std::nullopt;
    return o;
}

// The wall-clock moment, as seconds of a UTC civil time, of an onset in a year.
int64_t OnsetWall(const Onset& o, int year) {
    int last = DaysInMonth(year, o.month), day = std::min(o.monthDay, last);
    if (o.weekday >= 0) {
        int64_t first = DaysFromCivil(year, unsigned(o.month), 1);
        int firstWeekday = int(((first % 7) + 11) % 7);  // 1970-01-01 was a Thursday
        int firstMatch = 1 + (o.weekday - firstWeekday + 7) % 7;
        if (o.week > 0) {
            day = firstMatch + 7 * (o.week - 1);
            while (day > last) day -= 7;
        } else {
            int lastMatch = firstMatch + 7 * ((last - firstMatch) / 7);
            day = std::max(firstMatch, lastMatch + 7 * (o.week + 1));
        }
    }
    return CivilToUnix(CivilTime{year, o.month, day, 0, 0, 0}) + o.seconds;
}

// Summer between two yearly changes, each at the wall clock of the time
// before it (south of the equator: around the new year).
std::function<int32_t(int64_t)> YearlyRule(const Onset& into, const Onset& out, int32_t standard, int32_t daylight) {
    return [into, out, standard, daylight](int64_t utc) {
        const int year = UnixToCivil(utc + standard).year;
        const int64_t intoDaylight = OnsetWall(into, year) - standard;
        const int64_t intoStandard = OnsetWall(out, year) - daylight;
        const bool summer = intoDaylight < intoStandard ? utc >= intoDaylight && utc < intoStandard
                                                        : utc >= intoDaylight || utc < intoStandard;
        return summer ? daylight : standard;
    };
}

// The POSIX TZ string a version 2+ zone file ends with ("EST5EDT,M3.2.0,M11.1.0"):
// the offset past its last transition, in any year. Null when it cannot be read
// (a "n" day of year form, or no string at all).
std::function<int32_t(int64_t)> PosixRule(const std::string& tz) {
    size_t p = 0;
    auto name = [&]() -> bool {
        if (p < tz.size() && tz[p] == '<') {
            size_t close = tz.find('>', p);
            if (close == std::string::npos) return false;
            p = close + 1;
            return true;
        }
        size_t from = p;
        while (p < tz.size() && std::isalpha(uint8_t(tz[p]))) ++p;
        return p - from >= 3;
    };
    // [+-]hh[:mm[:ss]] in seconds, its sign as written.
    auto clock = [&](int& out) -> bool {
        int sign = 1;
        if (p < tz.size() && (tz[p] == '+' || tz[p] == '-')) sign = tz[p++] == '-' ? -1 : 1;
        int parts[3] = {0, 0, 0}, n = 0;
        while (n < 3) {
            size_t from = p;
            while (p < tz.size() && std::isdigit(uint8_t(tz[p])) && p - from < 3) parts[n] = parts[n] * 10 + (tz[p++] - '0');
            if (p == from) return false;
            ++n;
            if (p < tz.size() && tz[p] == ':') ++p; else break;
        }
        out = sign * (parts[0] * 3600 + parts[1] * 60 + parts[2]);
        return parts[0] <= 167;
    };
    auto number = [&](int& out) -> bool {
        size_t from = p;
        out = 0;
        while (p < tz.size() && std::isdigit(uint8_t(tz[p])) && p - from < 3) out = out * 10 + (tz[p++] - '0');
        return p > from;
    };
    // Mm.w.d or Jn, then an optional /time (default 02:00).
    auto onset = [&](Onset& o) -> bool {
        if (p < tz.size() && tz[p] == 'M') {
            ++p;
            int m = 0, w = 0, d = 0;
            if (!number(m) || p >= tz.size() || tz[p++] != '.' || !number(w) || p >= tz.size() || tz[p++] != '.' || !number(d))
                return false;
            if (m < 1 || m > 12 || w < 1 || w > 5 || d > 6) return false;
            o.month = m;
            o.week = w == 5 ? -1 : w;
            o.weekday = d;
        } else if (p < tz.size() && tz[p] == 'J') {
            ++p;
            int n = 0;
            if (!number(n) || n < 1 || n > 365) return false;
            static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
            int m = 0;
            while (n > days[m]) n -= days[m++];
            o.month = m + 1;
            o.monthDay = n;
        } else {
            return false;
        }
        o.seconds = 2 * 3600;
        if (p < tz.size() && tz[p] == '/') {
            ++p;
            if (!clock(o.seconds)) return false;
        }
        return true;
    };
    int stdWest = 0;
    if (!name() || !clock(stdWest)) return nullptr;
    const int32_t standard = -stdWest;
    if (p == tz.size()) return [standard](int64_t) { return standard; };
    if (!name()) return nullptr;
    int32_t daylight = standard + 3600;
    if (p < tz.size() && tz[p] != ',') {
        int dstWest = 0;
        if (!clock(dstWest)) return nullptr;
        daylight = -dstWest;
    }
    Onset into, out;
    if (p >= tz.size() || tz[p++] != ',' || !onset(into) || p >= tz.size() || tz[p++] != ',' || !onset(out) || p != tz.size())
        return nullptr;
    return YearlyRule(into, out, standard, daylight);
}

uint32_t Be32(const std::string& s, size_t p) {
    return (uint32_t(uint8_t(s[p])) << 24) | (uint32_t(uint8_t(s[p + 1])) << 16) | (uint32_t(uint8_t(s[p + 2])) << 8) |
           uint32_t(uint8_t(s[p + 3]));
}

std::optional<ZoneInfo> LoadZone(const std::string& zone) {
    if (zone.empty() || zone.size() > 100 || zone[0] == '/' || zone.find("..") != std::string::npos) return std::nullopt;
    for (char c : zone)
        if (!(std::isalnum(uint8_t(c)) || c == '/' || c == '_' || c == '-' || c == '+')) return std::nullopt;
    std::string dir = "/usr/share/zoneinfo";
    if (const char* env = std::getenv("TZDIR"); env && *env) dir = env;
    std::string s;
    if (!ReadFileBytes(dir + "/" + zone, s, true)) return std::nullopt;
    if (s.size() < 44 || s.compare(0, 4, "TZif") != 0) return std::nullopt;
    auto parse = [&s](size_t at, int timeSize, ZoneInfo& zi, size_t& end) -> bool {
        if (at + 44 > s.size() || s.compare(at, 4, "TZif") != 0) return false;
        uint32_t isutcnt = Be32(s, at + 20), isstdcnt = Be32(s, at + 24), leapcnt = Be32(s, at + 28);
        uint32_t timecnt = Be32(s, at + 32), typecnt = Be32(s, at + 36), charcnt = Be32(s, at + 40);
        size_t p = at + 44;
        size_t need = size_t(timecnt) * size_t(timeSize) + timecnt + size_t(typecnt) * 6 + charcnt +
                      size_t(leapcnt) * size_t(timeSize + 4) + isstdcnt + isutcnt;
        if (p + need > s.size() || typecnt == 0) return false;
        for (uint32_t k = 0; k < timecnt; ++k) {
            int64_t v = timeSize == 8 ? int64_t((uint64_t(Be32(s, p)) << 32) | Be32(s, p + 4)) : int64_t(int32_t(Be32(s, p)));
            zi.transitions.push_back(v);
            p += size_t(timeSize);
        }
        for (uint32_t k = 0; k < timecnt; ++k) zi.typeIndex.push_back(uint8_t(s[p++]));
        for (uint32_t k = 0; k < typecnt; ++k) {
            zi.offsets.push_back(int32_t(Be32(s, p)));
            zi.isDst.push_back(s[p + 4] != 0);
            p += 6;
        }
        end = at + 44 + need;
        return true;
    };
    ZoneInfo v1;
    size_t end = 0;
    if (!parse(0, 4, v1, end)) return std::nullopt;
    if (s[4] >= '2') {
        ZoneInfo v2;
        size_t end2 = 0;
        if (parse(end, 8, v2, end2)) {
            if (end2 < s.size() && s[end2] == '\n') {
                size_t close = s.find('\n', end2 + 1);
                if (close != std::string::npos) v2.byRule = PosixRule(s.substr(end2 + 1, close - end2 - 1));
            }
            return v2;
        }
    }
    return v1;
}

}  // namespace

namespace {

std::mutex& CacheMutex() {
    static std::mutex mutex;
    return mutex;
}

// Zones by name, loaded once and shared (null: no such zone).
std::map<std::string, std::shared_ptr<const ZoneInfo>>& Cache() {
    static std::map<std::string, std::shared_ptr<const ZoneInfo>> cache;
    return cache;
}

std::shared_ptr<const ZoneInfo> CachedZone(const std::string& zone) {
    std::lock_guard<std::mutex> lock(CacheMutex());
    auto it = Cache().find(zone);
    if (it == Cache().end()) {
        std::optional<ZoneInfo> loaded = LoadZone(zone);
        it = Cache().emplace(zone, loaded ? std::make_shared<const ZoneInfo>(std::move(*loaded)) : nullptr).first;
    }
    return it->second;
}

}  // namespace

bool DefineExportZone(const std::string& zone, const ExportZone& d) {
    if (zone.empty() || zone.size() > 200 || LoadZone(zone)) return !zone.empty() && zone.size() <= 200;
    ZoneInfo zi;
    int32_t standard = d.standardOffset, daylight = d.daylightOffset;
    if (daylight < standard) std::swap(standard, daylight);  // a definition with the offsets swapped
    if (std::abs(standard) > 18 * 3600 || std::abs(daylight) > 18 * 3600) return false;
    zi.offsets = {standard, daylight};
    zi.isDst = {false, true};
    auto toStandard = ParseOnset(d.toStandardRule, d.toStandardStart);
    auto toDaylight = ParseOnset(d.toDaylightRule, d.toDaylightStart);
    if (daylight != standard && toStandard && toDaylight) {
        zi.byRule = YearlyRule(*toDaylight, *toStandard, standard, daylight);
    }
    std::lock_guard<std::mutex> lock(CacheMutex());
    Cache()[zone] = std::make_shared<const ZoneInfo>(std::move(zi));
    return true;
}

std::optional<int32_t> ZoneOffsetAt(const std::string& zone, int64_t utc) {
    std::shared_ptr<const ZoneInfo> zi = CachedZone(zone);
    if (!zi) return std::nullopt;
    // Beyond a table without a closing rule, the rules of 28 years earlier
    // stand in, as in ZoneToUnix.
    if (!zi->transitions.empty() && !zi->byRule) {
        int lastYear = UnixToCivil(zi->transitions.back()).year;
        CivilTime c = UnixToCivil(utc);
        int years = 0;
        while (c.year - years > lastYear && c.year - years - 28 >= 1902) years += 28;
        if (years > 0) {
            CivilTime probe = c;
            probe.year -= years;
            if (probe.month == 2 && probe.day == 29 && DaysInMonth(probe.year, 2) == 28) probe.day = 28;
            utc = CivilToUnix(probe);
        }
    }
    return zi->OffsetAt(utc);
}

std::optional<int64_t> ZoneToUnix(const std::string& zone, const CivilTime& t) {
    std::shared_ptr<const ZoneInfo> zi = CachedZone(zone);
    if (!zi) return std::nullopt;
    // Beyond a table without a closing rule, the rules of 28 years earlier
    // stand in (same weekdays).
    CivilTime probe = t;
    int64_t shift = 0;
    if (!zi->transitions.empty() && !zi->byRule) {
        int lastYear = UnixToCivil(zi->transitions.back()).year;
        while (probe.year > lastYear && probe.year - 28 >= 1902) probe.year -= 28;
        if (probe.month == 2 && probe.day == 29 && DaysInMonth(probe.year, 2) == 28) probe = t;
        shift = CivilToUnix(t) - CivilToUnix(probe);
    }
    int64_t wall = CivilToUnix(probe);
    int64_t guess = wall - zi->OffsetAt(wall);
    int64_t utc = wall - zi->OffsetAt(guess);
    if (wall - zi->OffsetAt(utc) != utc) utc = guess;  // a wall time in a gap
    return utc + shift;
}

int64_t ZimbraToUnix(const ZimbraDateTime& t) {
    switch (t.kind) {
    case ZimbraDateTime::Kind::Utc: return CivilToUnix(t.local);
    case ZimbraDateTime::Kind::Zoned:
        if (auto v = ZoneToUnix(t.zone, t.local)) return *v;
        return LocalToUnix(t.local);
    case ZimbraDateTime::Kind::Floating:
    case ZimbraDateTime::Kind::AllDay: return LocalToUnix(t.local);
    }
    return LocalToUnix(t.local);
}

std::optional<CivilTime> ParseBirthday(const std::string& input) {
    std::string text = TrimSpaces(input);
    CivilTime t;
    if (text.size() == 10 && AllDigits(text, 0, 4) && text[4] == '-' && AllDigits(text, 5, 2) && text[7] == '-' &&
        AllDigits(text, 8, 2)) {
        t.year = Num(text, 0, 4);
        t.month = Num(text, 5, 2);
        t.day = Num(text, 8, 2);
    } else if (text.size() == 7 && text[0] == '-' && text[1] == '-' && AllDigits(text, 2, 2) && text[4] == '-' &&
               AllDigits(text, 5, 2)) {
        t.year = 1604;  // a leap year Outlook accepts, standing for "no year"
        t.month = Num(text, 2, 2);
        t.day = Num(text, 5, 2);
    } else if (text.size() == 8 && AllDigits(text, 0, 8)) {
        t.year = Num(text, 0, 4);
        t.month = Num(text, 4, 2);
        t.day = Num(text, 6, 2);
    } else {
        return std::nullopt;
    }
    if (!IsValidCivil(t)) return std::nullopt;
    return t;
}

}  // namespace items
