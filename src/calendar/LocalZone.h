#pragma once
// The zone this process converts floating and all-day times in, by name.
#include <string>

namespace calendar {

// The tz database name $TZ gives (a leading ':' dropped), else the target of
// /etc/localtime below "zoneinfo/"; "" when neither names a zone. The caller
// checks that its own zone reader knows the name.
std::string LocalZoneCandidate();

}  // namespace calendar
