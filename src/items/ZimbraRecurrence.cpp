#include "items/ZimbraRecurrence.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "items/ItemText.h"
#include "items/ZoneRules.h"
#include "items/ZimbraMetaReader.h"

namespace items {

namespace {

constexpr int64_t kEpochDay = 134774;    // 1970-01-01 as days since 1601-01-01
constexpr int64_t kNoEndDay = 0x5AE980DF / 1440;  // 31 December 4500
constexpr long kMaxCount = 999;           // Outlook's largest "end after"

int64_t DayOf(const CivilTime& t) { return CivilToUnix(CivilTime{t.year, t.month, t.day, 0, 0, 0}) / 86400 + kEpochDay; }
CivilTime CivilOfDay(int64_t day) { return UnixToCivil((day - kEpochDay) * 86400); }
int WeekdayOfDay(int64_t day) { return int((day + 1) % 7); }  // 1601-01-01 was a Monday

int DaysIn(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return 29;
    return days[m - 1];
}

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return s;
}

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> out;
    size_t from = 0;
    while (true) {
        size_t at = s.find(sep, from);
        out.push_back(s.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos) break;
        from = at + 1;
    }
    return out;
}

std::optional<long> Number(const std::string& s) {
    if (s.empty() || s.size() > 9) return std::nullopt;
    size_t k = (s[0] == '-' || s[0] == '+') ? 1 : 0;
    if (k == s.size()) return std::nullopt;
    for (size_t i = k; i < s.size(); ++i)
        if (s[i] < '0' || s[i] > '9') return std::nullopt;
    return std::stol(s);
}

int WeekdayCode(const std::string& s) {
    static const char* names[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
    for (int k = 0; k < 7; ++k)
        if (s == names[k]) return k;
    return -1;
}

// --- The pattern's own instances ---------------------------------------------------

int64_t MonthIndex(const CivilTime& c) { return int64_t(c.year - 1601) * 12 + (c.month - 1); }

bool MonthInPeriod(const pst::RecurrencePattern& p, const CivilTime& c) {
    int64_t first = MonthIndex(CivilOfDay(p.firstDateTime / 1440));
    int64_t period = p.period ? p.period : 1;
    return ((MonthIndex(c) - first) % period + period) % period == 0;
}

bool Matches(const pst::RecurrencePattern& p, int64_t day) {
    switch (p.patternType) {
    case pst::RecurPatternType::Day: {
        int64_t step = std::max<int64_t>(1, p.period / 1440);
        return ((day - int64_t(p.startDate / 1440)) % step + step) % step == 0;
    }
    case pst::RecurPatternType::Week: {
        int w = WeekdayOfDay(day);
        if (!(p.dayMask & (1u << w))) return false;
        int64_t weekStart = day - (w - int(p.firstDayOfWeek) + 7) % 7;
        int64_t span = int64_t(std::max<uint32_t>(1, p.period)) * 10080;
        return ((weekStart * 1440 - int64_t(p.firstDateTime)) % span + span) % span == 0;
    }
    case pst::RecurPatternType::Month: {
        CivilTime c = CivilOfDay(day);
        return MonthInPeriod(p, c) && c.day == std::min<int>(int(p.day), DaysIn(c.year, c.month));
    }
    case pst::RecurPatternType::MonthEnd: {
        CivilTime c = CivilOfDay(day);
        return MonthInPeriod(p, c) && c.day == DaysIn(c.year, c.month);
    }
    case pst::RecurPatternType::MonthNth: {
        CivilTime c = CivilOfDay(day);
        if (!(p.dayMask & (1u << WeekdayOfDay(day))) || !MonthInPeriod(p, c)) return false;
        int64_t first = day - (c.day - 1);
        int n = 0, last = 0;
        for (int d = 1; d <= DaysIn(c.year, c.month); ++d) {
            if (!(p.dayMask & (1u << WeekdayOfDay(first + d - 1)))) continue;
            ++n;
            last = d;
            if (d == c.day && p.day == uint32_t(n) && p.day != pst::kRecurLastWeek) return true;
        }
        return p.day == pst::kRecurLastWeek && last == c.day;
    }
    }
    return false;
}

// --- Reading the metadata -----------------------------------------------------------

const MetaValue* Dict(const MetaValue* parent, const std::string& key) {
    if (!parent) return nullptr;
    const MetaValue* v = parent->Member(key);
    return v && v->kind == MetaValue::Kind::Dictionary ? v : nullptr;
}

long Count(const MetaValue& v, const std::string& key) {
    auto n = Number(v.Text(key));
    return n ? std::clamp<long>(*n, 0, 1000000) : 0;
}

// The members "<prefix><n>" of a dictionary in the order of n (n up to 9 digits).
std::vector<std::pair<long, const MetaValue*>> Numbered(const MetaValue& dict, const std::string& prefix) {
    std::vector<std::pair<long, const MetaValue*>> out;
    for (const auto& [key, value] : dict.items) {
        if (key.size() <= prefix.size() || key.size() > prefix.size() + 9 || key.compare(0, prefix.size(), prefix) != 0)
            continue;
        if (!std::all_of(key.begin() + long(prefix.size()), key.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        out.emplace_back(std::stol(key.substr(prefix.size())), &value);
    }
    std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return out;
}

// The EXDATEs of a "sub" list: SingleDates (t 6) whose rexd is not an RDATE.
void ReadExdates(const MetaValue* sub, std::vector<SeriesInstance>& out) {
    if (!sub) return;
    long nr = Count(*sub, "nr");
    for (long k = 0; k < nr; ++k) {
        const MetaValue* rule = Dict(sub, "r" + std::to_string(k));
        const MetaValue* rexd = Dict(rule, "rexd");
        if (!rexd || Upper(TrimSpaces(rexd->Text("isrd"))) == "TRUE") continue;
        std::string tzid = TrimSpaces(rexd->Text("tzid"));
        for (const auto& [i, value] : Numbered(*rexd, "v")) {
            (void)i;
            if (value->kind != MetaValue::Kind::String) continue;
            std::string v = TrimSpaces(value->text);
            if (v.empty()) continue;
            bool utc = !v.empty() && v.back() == 'Z';
            std::string text = v.size() == 8 ? "VALUE=DATE:" + v : (!tzid.empty() && !utc ? "TZID=" + tzid + ":" + v : v);
            if (auto dt = ParseZimbraDateTime(text)) {
                SeriesInstance s;
                s.originalStart = *dt;
                s.cancelled = true;
                out.push_back(std::move(s));
            }
        }
    }
}

// The day and wall-clock minute in the series' zone of an instance's start as
// a Zimbra date-time gives it.
CivilTime InZone(const ZimbraDateTime& t, const std::string& zone) {
    if (t.kind == ZimbraDateTime::Kind::AllDay || t.kind == ZimbraDateTime::Kind::Floating) return t.local;
    if (t.kind == ZimbraDateTime::Kind::Zoned && t.zone == zone) return t.local;
    return ZoneLocalTime(zone, ZimbraToUnix(t));
}

std::string DayNames(uint32_t mask) {
    static const char* names[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
    if (mask == 0x3E) return "weekday";
    if (mask == 0x41) return "weekend day";
    if (mask == 0x7F) return "day";
    std::vector<std::string> parts;
    for (int k = 0; k < 7; ++k)
        if (mask & (1u << k)) parts.push_back(names[k]);
    std::string out;
    for (size_t k = 0; k < parts.size(); ++k) {
        if (k) out += k + 1 == parts.size() ? " and " : ", ";
        out += parts[k];
    }
    return out;
}

std::string ClockText(int minutes) {
    int h = (minutes / 60) % 24, m = minutes % 60;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d:%02d %s", h % 12 == 0 ? 12 : h % 12, m, h < 12 ? "AM" : "PM");
    return buf;
}

std::string DateText(const CivilTime& c) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%d/%d/%04d", c.month, c.day, c.year);
    return buf;
}

std::string Ordinal(uint32_t n) {
    static const char* names[] = {"", "first", "second", "third", "fourth", "last"};
    return n >= 1 && n <= 5 ? names[n] : "";
}

// "every 2 weeks on Monday and Wednesday effective 1/15/2024 until 3/20/2024 from 9:30 AM to 10:30 AM"
std::string PatternText(const pst::RecurrencePattern& p, int startMinute, int endMinute, const CivilTime& first,
                        const CivilTime& last, bool endless) {
    static const char* months[] = {"January", "February", "March", "April", "May", "June", "July",
                                   "August", "September", "October", "November", "December"};
    std::string text;
    uint32_t n = p.period;
    switch (p.patternType) {
    case pst::RecurPatternType::Day:
        text = n / 1440 <= 1 ? "every day" : "every " + std::to_string(n / 1440) + " days";
        break;
    case pst::RecurPatternType::Week:
        text = n <= 1 ? "every " + DayNames(p.dayMask) : "every " + std::to_string(n) + " weeks on " + DayNames(p.dayMask);
        break;
    default: {
        bool yearly = p.frequency == pst::RecurFrequency::Yearly;
        std::string what = p.patternType == pst::RecurPatternType::MonthNth
                               ? "the " + Ordinal(p.day) + " " + DayNames(p.dayMask)
                               : (p.patternType == pst::RecurPatternType::MonthEnd || p.day >= 31 ? "the last day"
                                                                                                    : "day " + std::to_string(p.day));
        if (yearly) {
            std::string month = months[CivilOfDay(p.firstDateTime / 1440).month - 1];
            uint32_t years = n / 12;
            text = (years <= 1 ? std::string("every year on ") : "every " + std::to_string(years) + " years on ") +
                   (p.patternType == pst::RecurPatternType::MonthNth ? what + " of " + month
                                                                      : month + " " + (p.day >= 31 ? "last day" : std::to_string(p.day)));
        } else {
            text = what + " of every " + (n <= 1 ? std::string("month") : std::to_string(n) + " months");
        }
    }
    }
    text += " effective " + DateText(first);
    if (!endless) text += " until " + DateText(last);
    text += " from " + ClockText(startMinute) + " to " + ClockText(endMinute);
    return text;
}

}  // namespace

std::optional<RRule> ParseRRule(const std::string& input) {
    std::string text = Upper(TrimSpaces(input));
    if (text.rfind("RRULE:", 0) == 0) text = text.substr(6);
    RRule r;
    bool haveFreq = false;
    for (const std::string& part : Split(text, ';')) {
        if (part.empty()) continue;
        size_t eq = part.find('=');
        if (eq == std::string::npos) return std::nullopt;
        std::string key = part.substr(0, eq), value = part.substr(eq + 1);
        if (key == "FREQ") {
            static const std::pair<const char*, RRule::Freq> freqs[] = {
                {"SECONDLY", RRule::Freq::Secondly}, {"MINUTELY", RRule::Freq::Minutely}, {"HOURLY", RRule::Freq::Hourly},
                {"DAILY", RRule::Freq::Daily},       {"WEEKLY", RRule::Freq::Weekly},     {"MONTHLY", RRule::Freq::Monthly},
                {"YEARLY", RRule::Freq::Yearly}};
            haveFreq = false;
            for (const auto& [name, f] : freqs)
                if (value == name) {
                    r.freq = f;
                    haveFreq = true;
                }
            if (!haveFreq) return std::nullopt;
        } else if (key == "INTERVAL") {
            auto n = Number(value);
            if (!n || *n < 1) return std::nullopt;
            r.interval = *n;
        } else if (key == "COUNT") {
            auto n = Number(value);
            if (!n || *n < 1) return std::nullopt;
            r.count = *n;
        } else if (key == "UNTIL") {
            r.until = ParseZimbraDateTime(value);
            if (!r.until) return std::nullopt;
        } else if (key == "BYDAY") {
            for (const std::string& d : Split(value, ',')) {
                if (d.size() < 2) return std::nullopt;
                int w = WeekdayCode(d.substr(d.size() - 2));
                if (w < 0) return std::nullopt;
                int ord = 0;
                if (d.size() > 2) {
                    auto n = Number(d.substr(0, d.size() - 2));
                    if (!n || *n == 0 || *n > 53 || *n < -53) return std::nullopt;
                    ord = int(*n);
                }
                r.byDay.emplace_back(ord, w);
            }
        } else if (key == "BYMONTHDAY" || key == "BYMONTH" || key == "BYSETPOS") {
            std::vector<int>& list = key == "BYMONTHDAY" ? r.byMonthDay : key == "BYMONTH" ? r.byMonth : r.bySetPos;
            for (const std::string& v : Split(value, ',')) {
                auto n = Number(v);
                if (!n) return std::nullopt;
                list.push_back(int(*n));
            }
        } else if (key == "WKST") {
            int w = WeekdayCode(value);
            if (w < 0) return std::nullopt;
            r.weekStart = w;
        } else if (key == "BYSECOND" || key == "BYMINUTE" || key == "BYHOUR" || key == "BYYEARDAY" || key == "BYWEEKNO") {
            r.otherParts = true;
        }
        // X-names and unknown parts are ignored, as Zimbra drops them.
    }
    if (!haveFreq) return std::nullopt;
    return r;
}

std::optional<SeriesDefinition> ReadSeries(const MetaValue& top, const MetaValue& seriesInvite) {
    const MetaValue* recurrence = Dict(&seriesInvite, "recurrence");
    const MetaValue* add = Dict(recurrence, "add");
    if (!add) return std::nullopt;
    SeriesDefinition def;
    long nr = Count(*add, "nr");
    for (long k = 0; k < nr && def.rule.empty(); ++k) {
        const MetaValue* rule = Dict(add, "r" + std::to_string(k));
        if (rule) def.rule = TrimSpaces(rule->Text("recur"));
    }
    if (def.rule.empty()) return std::nullopt;
    ReadExdates(Dict(recurrence, "sub"), def.instances);

    // One pass over the members ("inv<n>" in the order of n): a series with tens
    // of thousands of invites reads in linear time.
    for (const auto& [n, inv] : Numbered(top, "inv")) {
        (void)n;
        const MetaValue* rid = Dict(inv, "rid");
        if (!rid) continue;
        auto original = ParseZimbraDateTime(rid->Text("dt"));
        if (!original) continue;
        SeriesInstance s;
        s.originalStart = *original;
        s.cancelled = Upper(TrimSpaces(inv->Text("mthd"))) == "CANCEL";
        if (!s.cancelled) {
            s.start = ParseZimbraDateTime(inv->Text("st"));
            s.end = ParseZimbraDateTime(inv->Text("et"));
            s.subject = TrimSpaces(inv->Text("n"));
            s.location = TrimSpaces(inv->Text("l"));
            s.body = TrimSpaces(inv->Text("desc"));
            std::string fb = inv->Text("fb");
            s.busyStatus = fb == "F" ? 0 : fb == "T" ? 1 : fb == "B" ? 2 : fb == "O" ? 3 : -1;
        }
        def.instances.push_back(std::move(s));
    }
    return def;
}

std::vector<int64_t> PatternDays(const pst::RecurrencePattern& p, int64_t firstDay, size_t limit, int64_t lastDay) {
    std::vector<int64_t> days;
    int64_t step = p.patternType == pst::RecurPatternType::Day ? std::max<int64_t>(1, p.period / 1440) : 1;
    for (int64_t d = firstDay; d <= lastDay && days.size() < limit; d += step)
        if (Matches(p, d)) days.push_back(d);
    return days;
}

SeriesResult BuildSeries(const SeriesDefinition& def, const CivilTime& start, int64_t durationMinutes,
                         const std::string& zone, const std::string& seriesSubject, const std::string& seriesLocation) {
    SeriesResult result;
    auto rule = ParseRRule(def.rule);
    if (!rule) {
        result.problem = "the rule does not parse";
        return result;
    }
    if (rule->otherParts || rule->freq == RRule::Freq::Secondly || rule->freq == RRule::Freq::Minutely ||
        rule->freq == RRule::Freq::Hourly) {
        result.problem = "Outlook has no pattern for a rule repeating within a day";
        return result;
    }
    pst::RecurrencePattern p;
    const int64_t startDay = DayOf(start);
    const int startWeekday = WeekdayOfDay(startDay);
    long interval = rule->interval;
    uint32_t mask = 0;
    std::vector<int> ordinals;
    for (const auto& [ord, w] : rule->byDay) {
        mask |= 1u << w;
        if (ord != 0) ordinals.push_back(ord);
    }
    auto nthFrom = [&](int n) -> std::optional<uint32_t> {
        if (n >= 1 && n <= 4) return uint32_t(n);
        if (n == -1) return pst::kRecurLastWeek;
        return std::nullopt;
    };
    // The n-th of the BYDAY days: one ordinal on every day, or one BYSETPOS.
    auto monthNth = [&]() -> std::optional<uint32_t> {
        if (rule->byDay.empty() || !rule->byMonthDay.empty()) return std::nullopt;
        if (!ordinals.empty()) {
            if (ordinals.size() != rule->byDay.size() || !rule->bySetPos.empty()) return std::nullopt;
            if (std::any_of(ordinals.begin(), ordinals.end(), [&](int o) { return o != ordinals[0]; })) return std::nullopt;
            return nthFrom(ordinals[0]);
        }
        if (rule->bySetPos.size() != 1) return std::nullopt;
        return nthFrom(rule->bySetPos[0]);
    };
    switch (rule->freq) {
    case RRule::Freq::Daily:
        if (!rule->byMonthDay.empty() || !rule->byMonth.empty() || !rule->bySetPos.empty() || !ordinals.empty()) {
            result.problem = "Outlook has no daily pattern with these BY parts";
            return result;
        }
        if (mask) {
            // Every weekday (or any set of days), as Outlook's daily "every weekday".
            if (interval != 1) {
                result.problem = "Outlook has no pattern for chosen days every few days";
                return result;
            }
            p.frequency = pst::RecurFrequency::Daily;
            p.patternType = pst::RecurPatternType::Week;
            p.dayMask = mask;
            p.period = 1;
        } else {
            p.frequency = pst::RecurFrequency::Daily;
            p.patternType = pst::RecurPatternType::Day;
            p.period = uint32_t(std::min<long>(interval, 999) * 1440);
        }
        result.series.emplace().recurrenceType = 1;
        break;
    case RRule::Freq::Weekly:
        if (!rule->byMonthDay.empty() || !rule->byMonth.empty() || !rule->bySetPos.empty() || !ordinals.empty()) {
            result.problem = "Outlook has no weekly pattern with these BY parts";
            return result;
        }
        p.frequency = pst::RecurFrequency::Weekly;
        p.patternType = pst::RecurPatternType::Week;
        p.dayMask = mask ? mask : 1u << startWeekday;
        p.period = uint32_t(std::min<long>(interval, 99));
        p.firstDayOfWeek = uint32_t(rule->weekStart);
        result.series.emplace().recurrenceType = 2;
        break;
    case RRule::Freq::Monthly:
    case RRule::Freq::Yearly: {
        bool yearly = rule->freq == RRule::Freq::Yearly;
        if (yearly && (rule->byMonth.size() > 1 || (rule->byMonth.size() == 1 && rule->byMonth[0] != start.month))) {
            result.problem = "Outlook's yearly pattern falls in the month the series starts in";
            return result;
        }
        if (!yearly && !rule->byMonth.empty()) {
            result.problem = "Outlook has no monthly pattern limited to some months";
            return result;
        }
        p.frequency = yearly ? pst::RecurFrequency::Yearly : pst::RecurFrequency::Monthly;
        p.period = uint32_t(yearly ? std::min<long>(interval, 99) * 12 : std::min<long>(interval, 99));
        if (auto nth = monthNth()) {
            p.patternType = pst::RecurPatternType::MonthNth;
            p.dayMask = mask;
            p.day = *nth;
        } else if (rule->byDay.empty() && rule->bySetPos.empty() && rule->byMonthDay.size() <= 1) {
            int day = rule->byMonthDay.empty() ? start.day : rule->byMonthDay[0];
            if (day == -1) day = 31;
            if (day < 1 || day > 31) {
                result.problem = "Outlook has no pattern for that day of the month";
                return result;
            }
            p.patternType = pst::RecurPatternType::Month;
            p.day = uint32_t(day);
        } else {
            result.problem = "Outlook has no pattern for these BYDAY/BYMONTHDAY/BYSETPOS parts";
            return result;
        }
        result.series.emplace().recurrenceType = yearly ? 4 : 3;
        break;
    }
    default:
        result.problem = "Outlook has no pattern for this frequency";
        return result;
    }
    Series& s = *result.series;

    // Anchor the pattern on the stated start, then find its first instance.
    p.startDate = uint32_t(startDay * 1440);
    p.firstDateTime = pst::RecurFirstDateTime(p, p.startDate);
    const int startMinute = start.hour * 60 + start.minute;
    std::vector<int64_t> firstDays = PatternDays(p, startDay, 1, startDay + 366LL * 100);
    if (firstDays.empty()) {
        result.series.reset();
        result.problem = "the rule has no instance";
        return result;
    }
    int64_t firstDay = firstDays[0];
    p.startDate = uint32_t(firstDay * 1440);
    if (p.patternType == pst::RecurPatternType::Day) p.firstDateTime = pst::RecurFirstDateTime(p, p.startDate);

    // The ending: a count (capped), an UNTIL (in the series' wall-clock time), or none.
    int64_t lastDay = kNoEndDay;
    if (rule->count > 0) {
        long count = std::min(rule->count, kMaxCount);
        auto days = PatternDays(p, firstDay, size_t(count), kNoEndDay);
        p.endType = pst::RecurEndType::AfterCount;
        p.occurrenceCount = uint32_t(days.size());
        lastDay = days.back();
    } else if (rule->until) {
        CivilTime until = rule->until->kind == ZimbraDateTime::Kind::AllDay
                              ? CivilTime{rule->until->local.year, rule->until->local.month, rule->until->local.day, 23, 59, 59}
                              : InZone(*rule->until, zone);
        int64_t untilDay = std::min(DayOf(until), kNoEndDay);
        int untilMinute = until.hour * 60 + until.minute;
        if (untilDay < kNoEndDay && startMinute > untilMinute) --untilDay;  // that day's instance starts after UNTIL
        auto days = PatternDays(p, firstDay, size_t(-1), untilDay);
        if (days.empty()) {
            result.series.reset();
            result.problem = "UNTIL lies before the first instance";
            return result;
        }
        if (untilDay >= kNoEndDay) {
            p.endType = pst::RecurEndType::Never;
            p.occurrenceCount = 10;
        } else {
            p.endType = pst::RecurEndType::AfterDate;
            p.occurrenceCount = uint32_t(days.size());
            lastDay = days.back();
        }
    } else {
        p.endType = pst::RecurEndType::Never;
        p.occurrenceCount = 10;
    }
    s.endless = p.endType == pst::RecurEndType::Never;
    s.zone = zone;
    p.endDate = s.endless ? pst::kRecurNoEndDate : uint32_t(lastDay * 1440);

    // Changed and cancelled instances, by their original day; a later entry for
    // the same instance wins.
    int64_t duration = std::clamp<int64_t>(durationMinutes, 0, 0x7FFFFFFF - 1440);
    std::map<int64_t, const SeriesInstance*> byDay;
    for (const SeriesInstance& inst : def.instances) {
        CivilTime original = InZone(inst.originalStart, zone);
        int64_t day = DayOf(original);
        if (day < firstDay || day > lastDay || !Matches(p, day)) {
            s.notes.push_back("a changed or cancelled instance of " + DateText(original) + " is not one of the series' instances: left out");
            continue;
        }
        byDay[day] = &inst;
    }
    for (const auto& [day, inst] : byDay) {
        p.deletedInstanceDates.push_back(uint32_t(day * 1440));
        if (inst->cancelled) continue;
        uint32_t originalMinutes = uint32_t(day * 1440 + startMinute);
        CivilTime newStart = inst->start ? InZone(*inst->start, zone) : CivilOfDay(day);
        if (!inst->start) {
            newStart.hour = start.hour;
            newStart.minute = start.minute;
        }
        int64_t newStartMinutes = DayOf(newStart) * 1440 + newStart.hour * 60 + newStart.minute;
        int64_t newEndMinutes = newStartMinutes + duration;
        if (inst->end) {
            CivilTime e = InZone(*inst->end, zone);
            int64_t m = DayOf(e) * 1440 + e.hour * 60 + e.minute;
            if (m >= newStartMinutes) newEndMinutes = m;
        }
        pst::RecurException ex;
        ex.startDateTime = uint32_t(newStartMinutes);
        ex.endDateTime = uint32_t(newEndMinutes);
        ex.originalStartDate = originalMinutes;
        if (!inst->subject.empty() && inst->subject != seriesSubject) ex.subject = inst->subject;
        if (!inst->location.empty() && inst->location != seriesLocation) ex.location = inst->location;
        if (inst->busyStatus >= 0) ex.busyStatus = inst->busyStatus;
        if (!inst->body.empty()) ex.exceptionalBody = true;
        s.recurrence.exceptions.push_back(ex);
        p.modifiedInstanceDates.push_back(uint32_t(newStartMinutes / 1440 * 1440));

        SeriesException att;
        auto instant = [&zone](int64_t minutes) {
            CivilTime c = CivilOfDay(minutes / 1440);
            c.hour = int(minutes % 1440 / 60);
            c.minute = int(minutes % 60);
            return ZoneInstant(zone, c);
        };
        att.originalStart = instant(originalMinutes);
        att.start = instant(newStartMinutes);
        att.end = instant(newEndMinutes);
        att.subject = inst->subject.empty() ? seriesSubject : inst->subject;
        att.location = inst->location.empty() ? seriesLocation : inst->location;
        att.body = inst->body;
        att.busyStatus = inst->busyStatus;
        s.exceptions.push_back(std::move(att));
    }
    std::sort(p.modifiedInstanceDates.begin(), p.modifiedInstanceDates.end());
    std::sort(s.recurrence.exceptions.begin(), s.recurrence.exceptions.end(),
              [](const pst::RecurException& a, const pst::RecurException& b) { return a.startDateTime < b.startDateTime; });

    s.recurrence.pattern = p;
    s.recurrence.startTimeOffset = uint32_t(startMinute);
    s.recurrence.endTimeOffset = uint32_t(startMinute + duration);
    s.firstStart = CivilOfDay(firstDay);
    s.firstStart.hour = start.hour;
    s.firstStart.minute = start.minute;
    s.firstStart.second = start.second;
    s.lastDay = CivilOfDay(lastDay);
    s.patternText = PatternText(p, startMinute, int((startMinute + duration) % 1440), s.firstStart, s.lastDay, s.endless);
    return result;
}

}  // namespace items
