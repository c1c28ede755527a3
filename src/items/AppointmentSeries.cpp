#include "items/AppointmentSeries.h"

#include <algorithm>
#include <ctime>

#include "calendar/CalendarProps.h"
#include "calendar/TimeZoneProps.h"
#include "items/Reminders.h"
#include "pst/messaging/CalendarLids.h"
#include "pst/messaging/PropTags.h"

namespace items {

namespace {

using calendar::PutLid;

int64_t DayStart(const std::string& zone, const CivilTime& day) {
    return ZoneInstant(zone, CivilTime{day.year, day.month, day.day, 0, 0, 0});
}

}  // namespace

void PutTimeZone(store::Item& it, const std::vector<ZoneRules>& history, bool recurring) {
    if (history.empty()) return;
    std::vector<pst::TimeZoneRule> rules;
    for (const ZoneRules& r : history) rules.push_back(r.rule);
    calendar::PutTimeZone(it, history.front().windowsKey, history.front().description, rules, recurring);
}

void PutSeries(store::Item& it, const Series& s, const std::string& zone, bool allDay) {
    using namespace pst;
    using namespace pst::tags;
    const Guid& appt = PSETID_Appointment();
    calendar::PutRecurrence(it, s.recurrence, s.recurrenceType, s.patternText, DayStart(zone, s.firstStart),
                            DayStart(zone, s.lastDay), s.endless);

    // Each changed instance as Outlook keeps it: a hidden embedded appointment.
    for (const SeriesException& e : s.exceptions) {
        store::Attachment& att = it.AddAttachment();
        store::Item& m = att.EmbeddedMessage(store::ItemType::Appointment);
        m.SetProp(PR_MESSAGE_CLASS, std::string("IPM.OLE.CLASS.{00061055-0000-0000-C000-000000000046}"));
        if (!e.subject.empty()) m.Put("Subject", e.subject);
        m.Put("End", UnixToFileTime(e.end));
        m.Put("Start", UnixToFileTime(e.start));
        if (!e.location.empty()) m.Put("Location", e.location);
        if (!e.body.empty()) m.Put("Body", e.body);
        if (e.busyStatus >= 0) m.Put("BusyStatus", int32_t(e.busyStatus));
        m.Put("AllDayEvent", allDay);
        m.Put("ReminderSet", e.reminderMinutes >= 0);
        if (e.reminderMinutes >= 0) {
            PutLid(m, PSETID_Common(), lid::PidLidReminderDelta, PT_LONG, int32_t(e.reminderMinutes));
            PutLid(m, PSETID_Common(), lid::PidLidReminderTime, PT_SYSTIME, UnixToFileTime(e.start));
        }
        // The instance's attendees, under the instance's own global object id.
        if (e.invite) {
            MeetingFields meeting = MeetingOfInvite(e.invite);
            meeting.instanceDate = e.originalDay;
            PutMeeting(m, meeting);
        }
        PutLid(m, appt, lid::PidLidExceptionReplaceTime, PT_SYSTIME, UnixToFileTime(e.originalStart));
        PutLid(m, appt, lid::PidLidFExceptionalBody, PT_BOOLEAN, !e.body.empty());
        PutLid(m, appt, lid::PidLidRecurring, PT_BOOLEAN, false);
        PutLid(m, PSETID_Meeting(), lid::PidLidIsException, PT_BOOLEAN, true);
        PutLid(m, PSETID_Meeting(), lid::PidLidIsRecurring, PT_BOOLEAN, true);

        // The attachment's own times are the instance's wall clock, as FILETIMEs.
        auto wall = [&zone](int64_t utc) { return UnixToFileTime(CivilToUnix(ZoneLocalTime(zone, utc))); };
        att.SetProp(PR_EXCEPTION_STARTTIME, wall(e.start));
        att.SetProp(PR_EXCEPTION_ENDTIME, wall(e.end));
        att.SetProp(PR_ATTACHMENT_HIDDEN, true);
        att.SetProp(PR_ATTACHMENT_FLAGS, int32_t(2));  // afException
        att.SetProp(PR_ATTACHMENT_LINKID, int32_t(0));
        att.SetProp(PR_ATTACH_FLAGS, int32_t(0));
        att.SetProp(PR_RENDERING_POSITION, int32_t(-1));
        att.SetProp(PR_DISPLAY_NAME, e.subject.empty() ? std::string("Exception") : e.subject);
    }
}

std::optional<Series> PutSeriesAndZone(store::Item& it, const CalendarFields& fields, int64_t& start,
                                       std::optional<int64_t>& end, std::string& body) {
    if (!fields.start) return std::nullopt;
    const ZimbraDateTime& st = *fields.start;
    const bool allDay = st.kind == ZimbraDateTime::Kind::AllDay;
    const bool zoned = st.kind == ZimbraDateTime::Kind::Zoned && ZoneOffsetAt(st.zone, 0).has_value();
    std::string zone = zoned ? st.zone : st.kind == ZimbraDateTime::Kind::Utc ? std::string("UTC") : LocalZoneName();
    bool recurring = false;
    std::optional<Series> series;
    if (fields.series) {
        CivilTime localStart = zoned || st.kind == ZimbraDateTime::Kind::Utc ? ZoneLocalTime(zone, start) : st.local;
        int64_t duration = end ? (CivilToUnix(ZoneLocalTime(zone, *end)) - CivilToUnix(localStart)) / 60 : 30;
        int reminder = fields.reminderMinutes;
        if (fields.alarm) reminder = AlarmReminderMinutes(*fields.alarm, start, end.value_or(start)).value_or(-1);
        SeriesResult built = BuildSeries(*fields.series, localStart, std::max<int64_t>(duration, 0), zone,
                                         fields.subject, fields.location, reminder);
        if (built.series) {
            try {
                PutSeries(it, *built.series, zone, allDay);
                recurring = true;
                const Series& s = *built.series;
                start = ZoneInstant(zone, s.firstStart);
                end = ZoneInstant(zone, UnixToCivil(CivilToUnix(s.firstStart) + std::max<int64_t>(duration, 0) * 60));
                if (fields.note)
                    for (const std::string& n : s.notes) fields.note(n);
                series = std::move(built.series);
            } catch (const std::exception& e) {
                built.problem = e.what();
            }
        }
        if (!recurring) {
            // Never dropped: the appointment stays at its first instance and says how it repeats.
            if (!body.empty()) body += "\r\n\r\n";
            body += "Repeats: " + fields.series->rule + " (kept as a single appointment: " + built.problem + ")";
            if (fields.note)
                fields.note("repeats as " + fields.series->rule + ", kept as a single appointment: " + built.problem);
        }
    }
    if (!zoned && !recurring) return series;
    // A series lists the zone's rules from its start to now, so that Outlook
    // places instances on both sides of a change of the zone's rules.
    const int startYear = ZoneLocalTime(zone, start).year;
    const int nowYear = UnixToCivil(int64_t(std::time(nullptr))).year;
    try {
        PutTimeZone(it, ZoneHistory(zone, startYear, recurring ? std::min(std::max(startYear, nowYear), 9999) : startYear),
                    recurring);
    } catch (const std::exception&) {
    }
    return series;
}

}  // namespace items
