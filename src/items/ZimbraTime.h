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
// The instant of a Zimbra date-time: UTC as UTC, a known zone converted, floating
// times, unknown zones and dates as local time.
int64_t ZimbraToUnix(const ZimbraDateTime& t);

// A birthday as Zimbra writes it: "yyyy-MM-dd" or "--MM-dd" (no year: the
// placeholder year 1604 is used). nullopt when it is no valid date.
std::optional<CivilTime> ParseBirthday(const std::string& text);

}  // namespace items
