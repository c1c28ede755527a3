#pragma once
// Zimbra date-times and birthdays, and their conversion to UTC instants and
// FILETIMEs through the system's time-zone database.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "calendar/CivilDays.h"
#include "pst/messaging/PropertyValue.h"

namespace items {

using CivilTime = calendar::CivilTime;

// A Zimbra start or end (ParsedDateTime text) read whole.
struct ZimbraDateTime {
    enum class Kind { Zoned, Utc, Floating, AllDay };
    Kind kind = Kind::Floating;
    std::string zone;  // TZID for Zoned
    CivilTime local;   // the digits as written
};
// "TZID=<zone>:yyyymmddThhmmss", "yyyymmddThhmmssZ", "yyyymmddThhmmss",
// "VALUE=DATE:yyyymmdd" (also a bare "yyyymmdd", taken as a date). nullopt when
// the text holds no valid date.
std::optional<ZimbraDateTime> ParseZimbraDateTime(const std::string& text);

bool IsValidCivil(const CivilTime& t);
// Seconds since 1970-01-01 UTC of a UTC civil time.
int64_t CivilToUnix(const CivilTime& t);
CivilTime UnixToCivil(int64_t seconds);
pst::FileTime UnixToFileTime(int64_t seconds);
int64_t FileTimeToUnix(const pst::FileTime& ft);
// The UTC instant of a wall-clock time in the system's local zone.
int64_t LocalToUnix(const CivilTime& t);
// The UTC instant of a wall-clock time in a zone of the system's time-zone
// database (TZif files under $TZDIR or /usr/share/zoneinfo); nullopt when the
// zone is unknown.
std::optional<int64_t> ZoneToUnix(const std::string& zone, const CivilTime& t);
// Seconds east of UTC in a zone of the time-zone database at an instant;
// nullopt when the zone is unknown.
std::optional<int32_t> ZoneOffsetAt(const std::string& zone, int64_t utc);
// A zone the export defines itself: standard and daylight offsets (seconds
// east of UTC) and the transitions into each as iCalendar gives them (a
// DTSTART such as "19710101T020000", its time the wall clock before the
// change, and a yearly RRULE such as "FREQ=YEARLY;BYMONTH=11;BYDAY=1SU"; a
// fixed date when there is no rule).
struct ExportZone {
    int32_t standardOffset = 0, daylightOffset = 0;
    std::string toStandardStart, toStandardRule, toDaylightStart, toDaylightRule;
};
// Makes `zone` known to ZoneOffsetAt and ZoneToUnix (and so to every
// conversion) when the time-zone database has no zone of that name; the
// database's own zone wins. Its rule holds in every year. False when the
// definition is unusable.
bool DefineExportZone(const std::string& zone, const ExportZone& definition);

// The instant of a Zimbra date-time: UTC as UTC, a known zone converted, floating
// times, unknown zones and dates as local time.
int64_t ZimbraToUnix(const ZimbraDateTime& t);

// A birthday as Zimbra writes it: "yyyy-MM-dd" or "--MM-dd" (no year: the
// placeholder year 1604 is used). nullopt when it is no valid date.
std::optional<CivilTime> ParseBirthday(const std::string& text);

}  // namespace items
