#pragma once
// A time zone's standard and daylight-saving rule as Outlook stores it beside
// an appointment: PidLidTimeZoneStruct (TZSTRUCT, [MS-OXOCAL] 2.2.1.39) and the
// TZDEFINITION of PidLidAppointmentTimeZoneDefinitionRecur/StartDisplay/
// EndDisplay ([MS-OXOCAL] 2.2.1.41).
#include <cstdint>
#include <string>
#include <vector>

#include "pst/messaging/PropertyValue.h"

namespace pst {

// A SYSTEMTIME as a transition rule: month, weekday (0 Sunday) and week of the
// month (1..4, 5 = last) at a wall-clock hour and minute; year 0.
struct SystemTime {
    uint16_t year = 0, month = 0, dayOfWeek = 0, day = 0, hour = 0, minute = 0, second = 0, milliseconds = 0;
};

struct TimeZoneRule {
    uint16_t year = 0;         // the first year the rule applies to
    int32_t bias = 0;          // minutes: UTC = local + bias
    int32_t standardBias = 0;  // added to bias in standard time (0)
    int32_t daylightBias = 0;  // added to bias in daylight time (-60 for one hour)
    SystemTime standardDate;   // month 0: no daylight saving
    SystemTime daylightDate;
};

// The 48-byte TZSTRUCT.
Binary EncodeTimeZoneStruct(const TimeZoneRule& rule);

// TZDEFINITION with the zone's key name and its rules (ascending years); the
// rule at `effective` carries TZRULE_FLAG_EFFECTIVE_TZREG, and with `recurring`
// also TZRULE_FLAG_RECUR_CURRENT_TZREG (the rule of the series).
Binary EncodeTimeZoneDefinition(const std::string& keyName, const std::vector<TimeZoneRule>& rules, size_t effective,
                                bool recurring);

}  // namespace pst
