#include "items/TaskSeries.h"

#include "items/Reminders.h"
#include "items/ZimbraMetaReader.h"
#include "items/ZoneRules.h"
#include "calendar/CalendarProps.h"
#include "pst/messaging/CalendarLids.h"
#include "pst/messaging/PropTags.h"

namespace items {

namespace {

using calendar::Lid;

}  // namespace

void PutTaskSeriesAndReminder(store::Item& it, const TaskFields& f, std::string& body, int64_t now) {
    using namespace pst;
    using namespace pst::tags;
    const std::optional<CivilTime>& anchor = f.startDate ? f.startDate : f.dueDate;
    if (f.series && anchor) {
        CivilTime day{anchor->year, anchor->month, anchor->day, 0, 0, 0};
        SeriesResult built = BuildSeries(*f.series, day, 0, f.zone, f.subject, "");
        if (built.series) {
            it.SetNamedProp(Lid(PSETID_Task(), lid::PidLidTaskRecurrence), PT_BINARY,
                            EncodeRecurrencePattern(built.series->recurrence.pattern));
            it.SetNamedProp(Lid(PSETID_Task(), lid::PidLidTaskFRecurring), PT_BOOLEAN, true);
            it.SetNamedProp(Lid(PSETID_Task(), lid::PidLidTaskDeadOccurrence), PT_BOOLEAN, false);
            it.SetNamedProp(Lid(PSETID_Appointment(), lid::PidLidRecurrencePattern), PT_UNICODE,
                            built.series->patternText);
        } else {
            if (!body.empty()) body += "\r\n\r\n";
            body += "Repeats: " + f.series->rule + " (kept as a single task: " + built.problem + ")";
            if (f.note) f.note("repeats as " + f.series->rule + ", kept as a single task: " + built.problem);
        }
    }
    if (!f.alarm || TrimSpaces(f.alarm->Text("ac")) == "n") return;
    // The instant the alarm signals: its own time, or the start or due date's local midnight plus the offset.
    std::optional<int64_t> signal;
    std::string absolute = TrimSpaces(f.alarm->Text("ta"));
    if (!absolute.empty()) {
        if (auto at = ParseZimbraDateTime(absolute)) signal = ZimbraToUnix(*at);
    } else if (auto offset = DurationSeconds(f.alarm->Text("tr"))) {
        bool fromDue = TrimSpaces(f.alarm->Text("trd")) == "e";
        const std::optional<CivilTime>& base = fromDue && f.dueDate ? f.dueDate : (f.startDate ? f.startDate : f.dueDate);
        if (base) signal = ZoneInstant(f.zone, CivilTime{base->year, base->month, base->day, 0, 0, 0}) + *offset;
    }
    if (!signal) return;
    it.SetNamedProp(Lid(PSETID_Common(), lid::PidLidReminderSet), PT_BOOLEAN, true);
    it.SetNamedProp(Lid(PSETID_Common(), lid::PidLidReminderTime), PT_SYSTIME, UnixToFileTime(*signal));
    it.SetNamedProp(Lid(PSETID_Common(), lid::PidLidReminderSignalTime), PT_SYSTIME,
                    UnixToFileTime(*signal >= now ? *signal : NeverSignal()));
}

}  // namespace items
