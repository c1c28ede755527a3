#pragma once
// A recurring Zimbra task as Outlook's recurring task ([MS-OXOTASK] 2.2.2.2),
// and a task's alarm as its reminder.
#include <string>

#include "items/ZimbraConverters.h"

namespace items {

// PidLidTaskRecurrence (the series' RecurrencePattern from the task's start,
// or its due date when it has none), PidLidTaskFRecurring and
// PidLidTaskDeadOccurrence (false: this is the live occurrence Outlook
// regenerates from); a rule Outlook cannot hold is appended to `body` and
// noted. The alarm becomes PidLidReminderSet/Time/SignalTime: relative to the
// start or (RELATED=END) the due date, or absolute; a signal already past
// never fires.
void PutTaskSeriesAndReminder(store::Item& item, const TaskFields& fields, std::string& body, int64_t now);

}  // namespace items
