#include "items/Reminders.h"

#include <algorithm>

#include "items/ZimbraMetaReader.h"
#include "items/ZoneRules.h"
#include "pst/messaging/PropTags.h"
#include "store/NamedLid.h"

namespace items {

namespace {

constexpr int64_t kEpochDay = 134774;  // 1970-01-01 as days since 1601-01-01

pst::NamedProperty Common(uint32_t id) { return store::Lid(pst::PSETID_Common(), id); }

// The next instance start of a series whose signal (start - lead) is not before `now`.
std::optional<int64_t> NextInstance(const Series& s, int64_t lead, int64_t now) {
    const pst::RecurrencePattern& p = s.recurrence.pattern;
    auto instant = [&s](int64_t minutes) {
        CivilTime c = UnixToCivil((minutes / 1440 - kEpochDay) * 86400);
        c.hour = int(minutes % 1440 / 60);
        c.minute = int(minutes % 60);
        return ZoneInstant(s.zone, c);
    };
    std::optional<int64_t> best;
    for (const SeriesException& e : s.exceptions)
        if (e.start - lead >= now && (!best || e.start < *best)) best = e.start;
    // Scan from a day before `now` in the series' zone (at least from the first instance).
    int64_t firstDay = p.startDate / 1440;
    CivilTime today = ZoneLocalTime(s.zone, now);
    int64_t from = std::max(firstDay, CivilToUnix(CivilTime{today.year, today.month, today.day, 0, 0, 0}) / 86400 +
                                          kEpochDay - 1 - lead / 86400);
    int64_t lastDay = p.endDate / 1440;
    size_t remaining = p.endType == pst::RecurEndType::AfterCount ? p.occurrenceCount : size_t(-1);
    if (remaining != size_t(-1) && from > firstDay) {
        // The count runs from the first instance: the instances before `from` use it up.
        remaining -= std::min(remaining, PatternDays(p, firstDay, remaining, from - 1).size());
    }
    while (from <= lastDay && remaining > 0) {
        auto days = PatternDays(p, from, std::min<size_t>(remaining, 64), lastDay);
        if (days.empty()) break;
        for (int64_t d : days) {
            if (std::binary_search(p.deletedInstanceDates.begin(), p.deletedInstanceDates.end(), uint32_t(d * 1440)))
                continue;
            int64_t start = instant(d * 1440 + s.recurrence.startTimeOffset);
            if (start - lead >= now) return best && *best < start ? *best : start;
        }
        remaining -= std::min(remaining, days.size());
        from = days.back() + 1;
    }
    return best;
}

}  // namespace

std::optional<int64_t> DurationSeconds(const std::string& input) {
    std::string t = TrimSpaces(input);
    bool negative = !t.empty() && t[0] == '-';
    if (!t.empty() && (t[0] == '-' || t[0] == '+')) t = t.substr(1);
    if (t.size() < 2 || t[0] != 'P') return std::nullopt;
    int64_t total = 0, number = 0;
    bool inTime = false, digits = false;
    for (size_t i = 1; i < t.size(); ++i) {
        char c = t[i];
        if (c >= '0' && c <= '9') {
            number = number * 10 + (c - '0');
            digits = true;
            if (number > 100000000) return std::nullopt;
            continue;
        }
        if (c == 'T' && !inTime && !digits) {
            inTime = true;
            continue;
        }
        if (!digits) return std::nullopt;
        if (!inTime && c == 'W') total += number * 7 * 86400;
        else if (!inTime && c == 'D') total += number * 86400;
        else if (inTime && c == 'H') total += number * 3600;
        else if (inTime && c == 'M') total += number * 60;
        else if (inTime && c == 'S') total += number;
        else return std::nullopt;
        number = 0;
        digits = false;
    }
    if (digits) return std::nullopt;
    return negative ? -total : total;
}

std::optional<int> AlarmReminderMinutes(const MetaValue& alarm, int64_t start, int64_t end) {
    if (TrimSpaces(alarm.Text("ac")) == "n") return std::nullopt;
    int64_t signal = 0;
    std::string absolute = TrimSpaces(alarm.Text("ta"));
    if (TrimSpaces(alarm.Text("tt")) == "a" || (!absolute.empty() && alarm.Text("tr").empty())) {
        auto at = ParseZimbraDateTime(absolute);
        if (!at) return std::nullopt;
        signal = ZimbraToUnix(*at);
    } else {
        auto offset = DurationSeconds(alarm.Text("tr"));
        if (!offset) return std::nullopt;
        signal = (TrimSpaces(alarm.Text("trd")) == "e" ? end : start) + *offset;
    }
    int64_t before = start - signal;
    if (before <= 0) return 0;
    return int(std::min<int64_t>(before / 60, 0x7FFFFFFF));
}

int64_t NeverSignal() { return CivilToUnix(CivilTime{4501, 1, 1, 0, 0, 0}); }

void PutReminder(store::Item& it, int minutes, int64_t start, const Series* series, int64_t now) {
    using namespace pst::tags;
    const int64_t lead = int64_t(minutes) * 60;
    std::optional<int64_t> next;
    if (series) next = NextInstance(*series, lead, now);
    else if (start - lead >= now) next = start;
    it.SetNamedProp(Common(lid::PidLidReminderSet), pst::PT_BOOLEAN, true);
    it.SetNamedProp(Common(lid::PidLidReminderDelta), pst::PT_LONG, int32_t(minutes));
    it.SetNamedProp(Common(lid::PidLidReminderTime), pst::PT_SYSTIME, UnixToFileTime(next.value_or(start)));
    it.SetNamedProp(Common(lid::PidLidReminderSignalTime), pst::PT_SYSTIME,
                    UnixToFileTime(next ? *next - lead : NeverSignal()));
}

}  // namespace items
