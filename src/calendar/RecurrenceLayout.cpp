#include "calendar/RecurrenceLayout.h"

#include <algorithm>
#include <cstdio>

namespace calendar {

namespace {

constexpr long kMaxCount = 999;  // Outlook's largest "end after"

int64_t MonthIndex(const CivilTime& c) { return int64_t(c.year - 1601) * 12 + (c.month - 1); }

bool MonthInPeriod(const pst::RecurrencePattern& p, const CivilTime& c) {
    int64_t first = MonthIndex(CivilOfDay(p.firstDateTime / 1440));
    int64_t period = p.period ? p.period : 1;
    return ((MonthIndex(c) - first) % period + period) % period == 0;
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

std::string Ordinal(uint32_t n) {
    static const char* names[] = {"", "first", "second", "third", "fourth", "last"};
    return n >= 1 && n <= 5 ? names[n] : "";
}

// The pattern's shape from the rule's frequency and BY parts, or why there is none.
std::string Shape(const RRule& rule, const CivilTime& start, pst::RecurrencePattern& p, int& type) {
    const int startWeekday = WeekdayOfDay(DayNumber(start));
    const long interval = rule.interval;
    uint32_t mask = 0;
    std::vector<int> ordinals;
    for (const auto& [ord, w] : rule.byDay) {
        mask |= 1u << w;
        if (ord != 0) ordinals.push_back(ord);
    }
    auto nthFrom = [](int n) -> std::optional<uint32_t> {
        if (n >= 1 && n <= 4) return uint32_t(n);
        if (n == -1) return pst::kRecurLastWeek;
        return std::nullopt;
    };
    // The n-th of the BYDAY days: one ordinal on every day, or one BYSETPOS.
    auto monthNth = [&]() -> std::optional<uint32_t> {
        if (rule.byDay.empty() || !rule.byMonthDay.empty()) return std::nullopt;
        if (!ordinals.empty()) {
            if (ordinals.size() != rule.byDay.size() || !rule.bySetPos.empty()) return std::nullopt;
            if (std::any_of(ordinals.begin(), ordinals.end(), [&](int o) { return o != ordinals[0]; })) return std::nullopt;
            return nthFrom(ordinals[0]);
        }
        if (rule.bySetPos.size() != 1) return std::nullopt;
        return nthFrom(rule.bySetPos[0]);
    };
    if (rule.otherParts || rule.freq == RRule::Freq::Secondly || rule.freq == RRule::Freq::Minutely ||
        rule.freq == RRule::Freq::Hourly)
        return "Outlook has no pattern for a rule repeating within a day";
    switch (rule.freq) {
    case RRule::Freq::Daily:
        if (!rule.byMonthDay.empty() || !rule.byMonth.empty() || !rule.bySetPos.empty() || !ordinals.empty())
            return "Outlook has no daily pattern with these BY parts";
        p.frequency = pst::RecurFrequency::Daily;
        if (mask) {
            // Every weekday (or any set of days), as Outlook's daily "every weekday".
            if (interval != 1) return "Outlook has no pattern for chosen days every few days";
            p.patternType = pst::RecurPatternType::Week;
            p.dayMask = mask;
            p.period = 1;
        } else {
            p.patternType = pst::RecurPatternType::Day;
            p.period = uint32_t(std::min<long>(interval, 999) * 1440);
        }
        type = 1;
        return {};
    case RRule::Freq::Weekly:
        if (!rule.byMonthDay.empty() || !rule.byMonth.empty() || !rule.bySetPos.empty() || !ordinals.empty())
            return "Outlook has no weekly pattern with these BY parts";
        p.frequency = pst::RecurFrequency::Weekly;
        p.patternType = pst::RecurPatternType::Week;
        p.dayMask = mask ? mask : 1u << startWeekday;
        p.period = uint32_t(std::min<long>(interval, 99));
        p.firstDayOfWeek = uint32_t(rule.weekStart);
        type = 2;
        return {};
    case RRule::Freq::Monthly:
    case RRule::Freq::Yearly: {
        const bool yearly = rule.freq == RRule::Freq::Yearly;
        if (yearly && (rule.byMonth.size() > 1 || (rule.byMonth.size() == 1 && rule.byMonth[0] != start.month)))
            return "Outlook's yearly pattern falls in the month the series starts in";
        if (!yearly && !rule.byMonth.empty()) return "Outlook has no monthly pattern limited to some months";
        p.frequency = yearly ? pst::RecurFrequency::Yearly : pst::RecurFrequency::Monthly;
        p.period = uint32_t(yearly ? std::min<long>(interval, 99) * 12 : std::min<long>(interval, 99));
        if (auto nth = monthNth()) {
            p.patternType = pst::RecurPatternType::MonthNth;
            p.dayMask = mask;
            p.day = *nth;
        } else if (rule.byDay.empty() && rule.bySetPos.empty() && rule.byMonthDay.size() <= 1) {
            int day = rule.byMonthDay.empty() ? start.day : rule.byMonthDay[0];
            if (day == -1) day = 31;
            if (day < 1 || day > 31) return "Outlook has no pattern for that day of the month";
            p.patternType = pst::RecurPatternType::Month;
            p.day = uint32_t(day);
        } else {
            return "Outlook has no pattern for these BYDAY/BYMONTHDAY/BYSETPOS parts";
        }
        type = yearly ? 4 : 3;
        return {};
    }
    default:
        return "Outlook has no pattern for this frequency";
    }
}

}  // namespace

bool OnPattern(const pst::RecurrencePattern& p, int64_t day) {
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

std::vector<int64_t> PatternDays(const pst::RecurrencePattern& p, int64_t firstDay, size_t limit, int64_t lastDay) {
    std::vector<int64_t> days;
    int64_t step = p.patternType == pst::RecurPatternType::Day ? std::max<int64_t>(1, p.period / 1440) : 1;
    for (int64_t d = firstDay; d <= lastDay && days.size() < limit; d += step)
        if (OnPattern(p, d)) days.push_back(d);
    return days;
}

LayoutResult LayOutRule(const RRule& rule, const CivilTime& start, int64_t durationMinutes,
                        const std::optional<CivilTime>& untilWall) {
    LayoutResult result;
    RuleLayout l;
    pst::RecurrencePattern& p = l.pattern;
    result.problem = Shape(rule, start, p, l.recurrenceType);
    if (!result.problem.empty()) return result;

    // Anchor the pattern on the stated start, then find its first instance.
    const int64_t startDay = DayNumber(start);
    p.startDate = uint32_t(startDay * 1440);
    p.firstDateTime = pst::RecurFirstDateTime(p, p.startDate);
    l.startMinute = start.hour * 60 + start.minute;
    l.durationMinutes = std::clamp<int64_t>(durationMinutes, 0, 0x7FFFFFFF - 1440);
    std::vector<int64_t> firstDays = PatternDays(p, startDay, 1, startDay + 366LL * 100);
    if (firstDays.empty()) {
        result.problem = "the rule has no instance";
        return result;
    }
    l.firstDay = firstDays[0];
    l.startOffRule = l.firstDay != startDay;
    p.startDate = uint32_t(l.firstDay * 1440);
    if (p.patternType == pst::RecurPatternType::Day) p.firstDateTime = pst::RecurFirstDateTime(p, p.startDate);

    // The ending: a count (capped; an off-rule start is its first), an UNTIL, or none.
    if (rule.count > 0) {
        long count = std::min(rule.count, kMaxCount) - (l.startOffRule ? 1 : 0);
        if (count < 1) {
            result.problem = "the rule has no instance on its own days";
            return result;
        }
        auto days = PatternDays(p, l.firstDay, size_t(count), kNoEndDay);
        p.endType = pst::RecurEndType::AfterCount;
        p.occurrenceCount = uint32_t(days.size());
        l.lastDay = days.back();
    } else if (untilWall) {
        int64_t untilDay = std::min(DayNumber(*untilWall), kNoEndDay);
        if (untilDay < kNoEndDay && l.startMinute > untilWall->hour * 60 + untilWall->minute)
            --untilDay;  // that day's instance starts after UNTIL
        auto days = PatternDays(p, l.firstDay, size_t(-1), untilDay);
        if (days.empty()) {
            result.problem = "UNTIL lies before the first instance";
            return result;
        }
        if (untilDay >= kNoEndDay) {
            p.endType = pst::RecurEndType::Never;
            p.occurrenceCount = 10;
        } else {
            p.endType = pst::RecurEndType::AfterDate;
            p.occurrenceCount = uint32_t(days.size());
            l.lastDay = days.back();
        }
    } else {
        p.endType = pst::RecurEndType::Never;
        p.occurrenceCount = 10;
    }
    l.endless = p.endType == pst::RecurEndType::Never;
    p.endDate = l.endless ? pst::kRecurNoEndDate : uint32_t(l.lastDay * 1440);
    result.layout = std::move(l);
    return result;
}

std::string DateText(const CivilTime& c) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%d/%d/%04d", c.month, c.day, c.year);
    return buf;
}

std::string PatternText(const RuleLayout& l) {
    static const char* months[] = {"January", "February", "March", "April", "May", "June", "July",
                                   "August", "September", "October", "November", "December"};
    const pst::RecurrencePattern& p = l.pattern;
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
    text += " effective " + DateText(CivilOfDay(l.firstDay));
    if (!l.endless) text += " until " + DateText(CivilOfDay(l.lastDay));
    text += " from " + ClockText(l.startMinute) + " to " + ClockText(int((l.startMinute + l.durationMinutes) % 1440));
    return text;
}

}  // namespace calendar
