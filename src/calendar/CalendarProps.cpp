#include "calendar/CalendarProps.h"

#include "pst/messaging/CalendarLids.h"
#include "pst/messaging/PropTags.h"
#include "store/NamedLid.h"

namespace calendar {

namespace {

pst::FileTime FileTimeOf(int64_t unixSeconds) { return pst::FileTime{uint64_t((unixSeconds + 11644473600LL) * 10000000LL)}; }

}  // namespace

void PutLid(store::PropertyBag& bag, const pst::Guid& set, uint32_t id, uint16_t type, pst::PropValue value) {
    bag.SetNamedProp(store::Lid(set, id), type, std::move(value));
}

void PutRecurrence(store::PropertyBag& bag, const pst::AppointmentRecurrence& recurrence, int recurrenceType,
                   const std::string& patternText, int64_t clipStart, int64_t clipEnd, bool endless) {
    using namespace pst;
    using namespace pst::tags;
    const Guid& appt = PSETID_Appointment();
    PutLid(bag, appt, lid::PidLidAppointmentRecur, PT_BINARY, EncodeAppointmentRecurrence(recurrence));
    PutLid(bag, appt, lid::PidLidRecurring, PT_BOOLEAN, true);
    PutLid(bag, PSETID_Meeting(), lid::PidLidIsRecurring, PT_BOOLEAN, true);
    PutLid(bag, appt, lid::PidLidRecurrenceType, PT_LONG, int32_t(recurrenceType));
    PutLid(bag, appt, lid::PidLidRecurrencePattern, PT_UNICODE, patternText);
    PutLid(bag, appt, lid::PidLidClipStart, PT_SYSTIME, FileTimeOf(clipStart));
    // A series without end is clipped at 31 August 4500, 23:59, as Outlook does.
    PutLid(bag, appt, lid::PidLidClipEnd, PT_SYSTIME, FileTimeOf(endless ? 79860124740LL : clipEnd));
}

}  // namespace calendar
