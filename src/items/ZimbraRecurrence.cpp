#include "items/ZimbraRecurrence.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "calendar/RecurrenceRule.h"
#include "items/ItemText.h"
#include "items/Reminders.h"
#include "items/ZoneRules.h"
#include "items/ZimbraMetaReader.h"

namespace items {

namespace {

using calendar::CivilOfDay;
using calendar::DateText;
using calendar::DayNumber;

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return s;
}

// --- Reading the metadata -----------------------------------------------------------

const MetaValue* Dict(const MetaValue* parent, const std::string& key) {
    if (!parent) return nullptr;
    const MetaValue* v = parent->Member(key);
    return v && v->kind == MetaValue::Kind::Dictionary ? v : nullptr;
}

long Count(const MetaValue& v, const std::string& key) {
    auto n = calendar::SmallNumber(v.Text(key));
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

}  // namespace

std::optional<SeriesDefinition> ReadSeries(std::shared_ptr<const MetaValue> source, const MetaValue& seriesInvite) {
    if (!source) return std::nullopt;
    const MetaValue& top = *source;
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
            s.invite = inv;
        }
        def.instances.push_back(std::move(s));
    }
    def.source = std::move(source);
    return def;
}

SeriesResult BuildSeries(const SeriesDefinition& def, const CivilTime& start, int64_t durationMinutes,
                         const std::string& zone, const std::string& seriesSubject, const std::string& seriesLocation,
                         int reminderMinutes) {
    SeriesResult result;
    auto rule = calendar::ParseRRule(def.rule);
    if (!rule) {
        result.problem = "the rule does not parse";
        return result;
    }
    // UNTIL in the series' wall clock: a date lasts to the end of its day.
    std::optional<CivilTime> until;
    if (rule->until) {
        until = rule->until->time;
        if (rule->until->date) until->hour = 23, until->minute = 59, until->second = 59;
        else if (rule->until->utc) until = ZoneLocalTime(zone, CivilToUnix(rule->until->time));
    }
    calendar::LayoutResult laid = calendar::LayOutRule(*rule, start, durationMinutes, until);
    if (!laid.layout) {
        result.problem = laid.problem;
        return result;
    }
    const calendar::RuleLayout& l = *laid.layout;
    Series& s = result.series.emplace();
    pst::RecurrencePattern p = l.pattern;
    s.recurrenceType = l.recurrenceType;
    s.endless = l.endless;
    s.zone = zone;
    if (l.startOffRule) s.offRuleStart = start;
    const int64_t firstDay = l.firstDay, lastDay = l.lastDay;
    const int startMinute = l.startMinute;
    const int64_t duration = l.durationMinutes;

    // Changed and cancelled instances, by their original day; a later entry for
    // the same instance wins.
    std::map<int64_t, const SeriesInstance*> byDay;
    for (const SeriesInstance& inst : def.instances) {
        CivilTime original = InZone(inst.originalStart, zone);
        int64_t day = DayNumber(original);
        if (l.startOffRule && day == DayNumber(start)) {
            s.offRuleInstance = &inst - def.instances.data();
            continue;
        }
        if (day < firstDay || day > lastDay || !calendar::OnPattern(p, day)) {
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
        int64_t newStartMinutes = DayNumber(newStart) * 1440 + newStart.hour * 60 + newStart.minute;
        int64_t newEndMinutes = newStartMinutes + duration;
        if (inst->end) {
            CivilTime e = InZone(*inst->end, zone);
            int64_t m = DayNumber(e) * 1440 + e.hour * 60 + e.minute;
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
        att.originalDay = CivilOfDay(day);
        att.invite = inst->invite;
        // The instance's own alarm, kept in the pattern where it differs from the series'.
        const MetaValue* alarm = inst->invite ? inst->invite->Member("al0") : nullptr;
        if (alarm && alarm->kind == MetaValue::Kind::Dictionary)
            att.reminderMinutes = AlarmReminderMinutes(*alarm, att.start, att.end).value_or(-1);
        else if (!inst->invite)
            att.reminderMinutes = reminderMinutes;
        if (att.reminderMinutes != reminderMinutes) {
            ex.reminderSet = att.reminderMinutes >= 0;
            if (att.reminderMinutes >= 0) ex.reminderDelta = att.reminderMinutes;
        }
        s.recurrence.exceptions.push_back(ex);
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
    s.patternText = calendar::PatternText(l);
    return result;
}

}  // namespace items
