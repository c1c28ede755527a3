#pragma once
// Zimbra alarms as Outlook reminders: how long before the start an alarm
// signals, and when the reminder of a single item or a series signals next.
#include <cstdint>
#include <optional>
#include <string>

#include "items/MetaValue.h"
#include "items/ZimbraRecurrence.h"
#include "store/PstStoreSession.h"

namespace items {

// "-PT15M", "P1DT2H", "PT0S", "-P1W" as signed seconds; nullopt when malformed.
std::optional<int64_t> DurationSeconds(const std::string& text);

// Minutes before `start` at which an alarm dictionary ("al0") signals for an
// instance [start, end): a trigger relative to the start ("trd" "s" or
// absent) or to the end ("e"), or an absolute one ("ta"). A signal after the
// start gives 0 (Outlook signals at the latest at the start); an alarm whose
// action is "n" (none) or whose trigger does not parse gives nullopt. Repeats
// ("rd"/"rc") have no Outlook form and are left out.
std::optional<int> AlarmReminderMinutes(const MetaValue& alarm, int64_t start, int64_t end);

// Outlook's "never" signal time, 1 January 4501, that a dismissed reminder gets.
int64_t NeverSignal();

// PidLidReminderSet/Delta/Time/SignalTime for a reminder `minutes` before the
// start. The signal is the first one not before `now`: of the item itself,
// or of the series' next instance (cancelled instances skipped, moved ones at
// their new time). When every instance has passed, the reminder stays set
// with the first instance's time but signals "never", so a migrated calendar
// does not raise a flood of overdue reminders.
void PutReminder(store::Item& item, int minutes, int64_t start, const Series* series, int64_t now);

}  // namespace items
