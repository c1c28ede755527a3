#pragma once
// An e-mail's iCalendar part (METHOD REQUEST, REPLY or CANCEL) as the meeting
// object Outlook makes of it: a meeting request, a response (accepted,
// tentative, declined) or a cancellation carrying the meeting's times,
// location and global object id, so that Outlook links it to the calendar item.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "calendar/CivilDays.h"
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
    // The stated first instance (wall clock of the series' zone) when it is
    // not on the rule: [RFC 5545] counts it, an Outlook pattern cannot hold it.
    std::optional<calendar::CivilTime> offRuleStart;
};

struct Invitation {
    std::string messageClass;   // IPM.Schedule.Meeting.Request / .Resp.Pos / .Resp.Tent / .Resp.Neg / .Canceled
    std::string uid;
    std::optional<int64_t> start, end;  // UTC seconds
    bool allDay = false;
    std::string location;
    int sequence = 0;
    bool responseRequested = false;
    // The one instance the part is about (RECURRENCE-ID): its original start
    // as a date as written, and as an instant.
    int instanceYear = 0, instanceMonth = 0, instanceDay = 0;
    std::optional<int64_t> instanceStart;
    std::string rule;  // the RRULE
    // The series of an RRULE (start and end then are its first instance's).
    std::optional<InvitationSeries> series;
    // The zone of DTSTART as Outlook describes it, for a zoned start and for
    // every series (UTC as UTC; floating times and dates in the converting
    // machine's zone): Windows' key name, a description and the rules from
    // the start's year (a series: to the current year). No rules otherwise.
    std::string zoneKey, zoneDescription;
    std::vector<pst::TimeZoneRule> zoneRules;
};

// The invitation of an iCalendar text, or nullopt when it has no VEVENT with
// a UID, its METHOD has no Outlook meeting object, a reply's PARTSTAT is none
// of accepted, tentative, declined, or its RRULE has no Outlook pattern.
// Zoned times go through ICU's zone rules (tz database or Windows names);
// floating ones and dates are times of the converting machine's zone.
std::optional<Invitation> ParseInvitation(const std::string& ics);

// Sets the message class and meeting properties on an imported message.
void PutInvitation(store::Item& item, const Invitation& invitation);

}  // namespace mime
