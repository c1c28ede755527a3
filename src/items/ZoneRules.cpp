#include "items/ZoneRules.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>
#include <vector>

#include "calendar/LocalZone.h"
#include "calendar/TimeZoneProps.h"

namespace items {

std::optional<ZoneRules> ZoneRulesFor(const std::string& zone, int year) {
    if (!ZoneOffsetAt(zone, 0)) return std::nullopt;
    ZoneRules z;
    z.zone = zone;
    z.windowsKey = calendar::WindowsZoneKey(zone);
    int32_t standard = 0;
    z.rule = calendar::YearRule([&zone](int64_t t) { return ZoneOffsetAt(zone, t).value_or(0); }, year, standard);
    z.description = calendar::ZoneDescription(standard, zone);
    return z;
}

std::vector<ZoneRules> ZoneHistory(const std::string& zone, int fromYear, int toYear) {
    std::vector<ZoneRules> out;
    auto first = ZoneRulesFor(zone, fromYear);
    if (!first) return out;
    for (const pst::TimeZoneRule& rule :
         calendar::RuleHistory([&zone](int year) { return ZoneRulesFor(zone, year)->rule; }, fromYear, toYear)) {
        out.push_back(*first);
        out.back().rule = rule;
    }
    return out;
}

std::string LocalZoneName() {
    std::string name = calendar::LocalZoneCandidate();
    return !name.empty() && ZoneOffsetAt(name, 0) ? name : std::string();
}

CivilTime ZoneLocalTime(const std::string& zone, int64_t utc) {
    if (auto offset = ZoneOffsetAt(zone, utc)) return UnixToCivil(utc + *offset);
    time_t t = time_t(utc);
    std::tm tm{};
    if (!localtime_r(&t, &tm)) return UnixToCivil(utc);
    return CivilTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

int64_t ZoneInstant(const std::string& zone, const CivilTime& local) {
    if (auto v = ZoneToUnix(zone, local)) return *v;
    return LocalToUnix(local);
}

}  // namespace items
