#pragma once
// The named properties of calendar items, meeting objects and tasks, set by
// property set and id, and the recurrence properties a series carries.
#include <cstdint>
#include <string>

#include "pst/messaging/RecurrencePattern.h"
#include "store/NamedLid.h"
#include "store/PstStoreSession.h"

namespace calendar {

using store::Lid;
void PutLid(store::PropertyBag& bag, const pst::Guid& set, uint32_t id, uint16_t type, pst::PropValue value);

// PidLidAppointmentRecur with PidLidRecurring, PidLidIsRecurring,
// PidLidRecurrenceType, PidLidRecurrencePattern and PidLidClipStart/End
// (UTC seconds of the first and last instance's midnight in the series'
// zone; an endless series is clipped where Outlook clips it).
void PutRecurrence(store::PropertyBag& bag, const pst::AppointmentRecurrence& recurrence, int recurrenceType,
                   const std::string& patternText, int64_t clipStart, int64_t clipEnd, bool endless);

}  // namespace calendar
