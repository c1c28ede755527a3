#pragma once
// Named property ids of recurring appointments, their exceptions and time
// zones ([MS-OXOCAL] 2.2.1), and the exception attachment's own tags.
#include <cstdint>

#include "pst/messaging/PropertyValue.h"

namespace pst::tags {
namespace lid {
// PSETID_Appointment
inline constexpr uint32_t PidLidFExceptionalBody = 0x8206;
inline constexpr uint32_t PidLidAppointmentRecur = 0x8216;
inline constexpr uint32_t PidLidExceptionReplaceTime = 0x8228;
inline constexpr uint32_t PidLidRecurrenceType = 0x8231;
inline constexpr uint32_t PidLidRecurrencePattern = 0x8232;
inline constexpr uint32_t PidLidTimeZoneStruct = 0x8233;
inline constexpr uint32_t PidLidTimeZoneDescription = 0x8234;
inline constexpr uint32_t PidLidClipStart = 0x8235;
inline constexpr uint32_t PidLidClipEnd = 0x8236;
inline constexpr uint32_t PidLidAppointmentTimeZoneDefinitionStartDisplay = 0x825E;
inline constexpr uint32_t PidLidAppointmentTimeZoneDefinitionEndDisplay = 0x825F;
inline constexpr uint32_t PidLidAppointmentTimeZoneDefinitionRecur = 0x8260;
// PSETID_Meeting
inline constexpr uint32_t PidLidIsRecurring = 0x0005;
inline constexpr uint32_t PidLidIsException = 0x000A;
// PSETID_Task ([MS-OXOTASK] 2.2.2.2)
inline constexpr uint32_t PidLidTaskRecurrence = 0x8116;
inline constexpr uint32_t PidLidTaskFRecurring = 0x8126;
inline constexpr uint32_t PidLidTaskDeadOccurrence = 0x8109;
}  // namespace lid

// An exception attachment's instance times ([MS-OXOCAL] 2.2.10.1.4, 2.2.10.1.5).
inline constexpr uint32_t PR_EXCEPTION_STARTTIME = MakeTag(0x7FFB, PT_SYSTIME);
inline constexpr uint32_t PR_EXCEPTION_ENDTIME = MakeTag(0x7FFC, PT_SYSTIME);
}  // namespace pst::tags
