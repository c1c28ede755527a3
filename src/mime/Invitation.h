#pragma once
// An e-mail's iCalendar part (METHOD REQUEST, REPLY or CANCEL) as the meeting
// object Outlook makes of it: a meeting request, a response (accepted,
// tentative, declined) or a cancellation carrying the meeting's times,
// location and global object id, so that Outlook links it to the calendar item.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pst/messaging/RecurrencePattern.h"
#include "pst/messaging/TimeZoneRule.h"
#include "store/PstStoreSession.h"

namespace mime {

// A recurring meeting's series as its request carries it.
struct InvitationSeries {
    pst::AppointmentRecurrence recurrence;
    int recurrenceType = 0;
    std::string patternText;
    int64_t clipStart = 0, clipEnd = 0;  // UTC seconds
    bool endless = false;
    // The zone of DTSTART (a zone ICU knows, or UTC) with its rules from the
    // series' start to today; no rules for floating times.
    std::string zoneKey, zoneDescription;
    std::vector<pst::TimeZoneRule> zoneRules;
};

struct Invitation {
    std::string messageClass;   // IPM.Schedule.Meeting.Request / .Resp.Pos / .Resp.Tent / .Resp.Neg / .Canceled
    std::string uid;
    std::optional<int64_t> start, end;  // UTC seconds
    bool allDay = false;
    std::string location;
    int sequence = 0;
    bool responseRequested = false;
    // The original start of the one instance the part is about (RECURRENCE-ID), as a date.
    int instanceYear = 0, instanceMonth = 0, instanceDay = 0;
    std::string rule;  // the RRULE
    // The series of an RRULE (start and end then are its first instance's).
    std::optional<InvitationSeries> series;
};

// The invitation of an iCalendar text, or nullopt when it has no VEVENT with
// a UID, its METHOD has no Outlook meeting object, a reply's PARTSTAT is none
// of accepted, tentative, declined, or its RRULE has no Outlook pattern.
// Zoned times go through ICU's zone rules (tz database or Windows names);
// floating ones are local times.
std::optional<Invitation> ParseInvitation(const std::string& ics);

// Sets the message class and meeting properties on an imported message.
void PutInvitation(store::Item& item, const Invitation& invitation);

}  // namespace mime
