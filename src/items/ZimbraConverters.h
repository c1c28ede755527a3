#pragma once
// The four Zimbra item converters and the item creators they call. Each
// converter reads one ".meta" file, makes one item in the store's default
// folder of its kind and reports the outcome; it never deletes its source
// (the engine does, after the store has committed, for ItemOutcome::Saved).
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "items/ItemConverters.h"
#include "items/Companion.h"
#include "items/GlobalObjectId.h"
#include "items/ItemText.h"
#include "items/Companion.h"
#include "items/MetaValue.h"
#include "items/TempFiles.h"
#include "items/ZimbraRecurrence.h"
#include "items/ZimbraTime.h"

namespace items {

// --- Contacts ------------------------------------------------------------------
// The text fields of a contact, named after the Outlook properties they set.
struct ItemFields {
    std::string FirstName, MiddleName, LastName, FullName, Suffix, Title, NickName, FileAs;
    std::string Email1Address, Email2Address, Email3Address;
    std::string CompanyName, Profession, JobTitle, Department, OfficeLocation, ManagerName, AssistantName;
    std::string BusinessAddress, BusinessAddressStreet, BusinessAddressCity, BusinessAddressPostalCode,
        BusinessAddressState, BusinessAddressCountry;
    std::string WebPage;  // also BusinessHomePage
    std::string CompanyMainTelephoneNumber, BusinessTelephoneNumber, BusinessFaxNumber, MobileTelephoneNumber,
        PagerNumber, CarTelephoneNumber, HomeTelephoneNumber, HomeFaxNumber;
    std::string IMAddress;
    std::string HomeAddress, HomeAddressStreet, HomeAddressCity, HomeAddressPostalCode, HomeAddressState,
        HomeAddressCountry;
    std::string Spouse, Body;
    std::vector<std::string> Categories;  // the Zimbra tags, each name whole
};
void ClearItemFields(ItemFields& fields);

ItemOutcome ConvertContactFile(const ItemContext& ctx, const std::string& metaPath);
// Makes and saves the contact in default folder `folderNumber` of the store.
// The picture (a file path or "") becomes the contact photo. Throws StoreError
// when the item cannot be made or saved; a rejected put only leaves that
// property unset.
void CreateContactItem(store::Session& session, const std::string& storeEntryID, int folderNumber,
                       const ItemFields& fields, const std::optional<CivilTime>& birthday,
                       const std::string& picturePath);

// --- Contact groups ----------------------------------------------------------------
// A Zimbra contact group (field "type" = "group") becomes an Outlook personal
// distribution list (IPM.DistList) in the same folder.
// The members of a group's "dlist": addresses separated by "," (each one
// `addr`, `Name <addr>` or `"Name" <addr>`; a comma inside quotes or angle
// brackets does not separate), or the text of a JSON array of such strings.
// Empty entries are dropped, and an address that occurs again (letter case
// aside) is dropped, so the members keep the order of their first occurrence.
// A piece with no "@" and no "<" that is followed by a `Name <addr>` piece is
// the start of an unquoted name holding a comma ("Doe, Jane <jane@x>").
std::vector<GroupMember> ParseGroupMembers(const std::string& dlist);

struct DistListFields {
    std::string name;                     // subject, display name, list name and file-as
    std::vector<GroupMember> members;
    std::string body;                     // notes and the members, one per line
    std::vector<std::string> categories;  // the Zimbra tags, each name whole
};
// Most members whose one-off entry IDs fit the 15,000-byte limit of the member
// properties ([MS-OXOCNTC] 2.2.2.2.1); the body keeps every member.
inline constexpr size_t kDistListMemberBytes = 15000;
// Makes and saves the distribution list in default folder `folderNumber`; every
// attachment of the companion MIME file (a path or "") is attached. Throws
// StoreError when the item cannot be made or saved.
void CreateDistListItem(store::Session& session, const std::string& storeEntryID, int folderNumber,
                        const DistListFields& fields, const std::string& companionPath);

// --- Appointments ----------------------------------------------------------------
// Someone a meeting names: display name and SMTP address.
struct MeetingPerson {
    std::string name, address;
};
// An attendee as the meeting's recipient row keeps it ([MS-OXOCAL] 2.2.4.10).
struct MeetingAttendee {
    std::string name, address;
    int recipientType = 1;  // PR_RECIPIENT_TYPE: 1 required or chair, 2 optional, 3 resource or non-participant
    int trackStatus = 0;    // PidTagRecipientTrackStatus: 0 none, 2 tentative, 3 accepted, 4 declined, 5 not responded
};
// What makes an appointment a meeting: organizer, attendees and the mailbox
// owner's part. An appointment without attendees is no meeting.
struct MeetingFields {
    std::optional<MeetingPerson> organizer;
    std::string sentBy;                       // the delegate who sent for the organizer ("sentby"), or ""
    std::vector<MeetingAttendee> attendees;   // in the invite's order
    bool ownerIsOrganizer = false;            // "isOrg" (else "byme")
    int responseStatus = 0;                   // PidLidResponseStatus of the owner: 1 organized, else from "ptst"
    std::string uid;                          // the iCalendar UID ("u"), the meeting's global object id
    std::optional<CivilTime> instanceDate;    // an instance kept apart from its series: its id names the day
};
// The meeting of an invite: organizer ("org"), attendees ("at0", ...), the
// owner's part ("isOrg"/"byme", "ptst") and UID.
MeetingFields MeetingOfInvite(const MetaValue* invite);
// The recipient rows, sender and meeting properties of an appointment with
// attendees ([MS-OXOCAL] 2.2.4.10, 2.2.1.10, 2.2.1.11); nothing without attendees.
void PutMeeting(store::Item& item, const MeetingFields& meeting);

// Reads the meeting of a calendar item's first invite ("inv0") from its
// bencoded metadata: the organizer from "org", the attendees from "at0",
// "at1", ... and the owner's "isOrg"/"byme" and "ptst", each from its own
// dictionary. Nothing when the text is not a well-formed dictionary.
MeetingFields ReadMeetingFields(const std::u16string& metadata);

struct CalendarFields {
    std::string subject, location, body;
    std::vector<std::string> categories;  // the Zimbra tags, each name whole
    MeetingFields meeting;
    std::optional<ZimbraDateTime> start, end;
    int busyStatus = -1;        // -1: from the kind of appointment
    int reminderMinutes = -1;   // minutes before the start, -1: no reminder
    int sensitivity = 0;        // 0 normal, 2 private, 3 confidential
    std::optional<SeriesDefinition> series;  // a recurring appointment's rule and instances
    std::optional<MetaValue> alarm;          // the first alarm ("al0"), when the invite was read whole
    std::function<void(const std::string&)> note;  // logs what the item loses (may be empty)
};
ItemOutcome ConvertCalendarFile(const ItemContext& ctx, const std::string& metaPath);
void CreateCalendarItem(store::Session& session, const std::string& storeEntryID, int folderNumber,
                        const CalendarFields& fields, const CompanionContent& companion);

// --- Tasks -------------------------------------------------------------------------
struct TaskFields {
    std::string subject, body;
    std::optional<CivilTime> startDate, dueDate, completedDate;  // dates of `zone`
    std::string zone;          // the task's own zone, "" for the zone of the run (--time-zone)
    int status = -1;           // PidLidTaskStatus, -1 unknown
    int percentComplete = -1;  // 0..100, -1 unknown
    int importance = -1;       // 0 low, 1 normal, 2 high
    std::vector<std::string> categories;  // the Zimbra tags, each name whole
    std::optional<SeriesDefinition> series;        // a recurring task's rule
    std::optional<MetaValue> alarm;                // the first alarm ("al0")
    std::function<void(const std::string&)> note;  // logs what the item loses (may be empty)
};
ItemOutcome ConvertTaskFile(const ItemContext& ctx, const std::string& metaPath);
void CreateToDoItem(store::Session& session, const std::string& storeEntryID, int folderNumber,
                    const TaskFields& fields, const CompanionContent& companion);

// --- Notes -------------------------------------------------------------------------
ItemOutcome ConvertNoteFile(const ItemContext& ctx, const std::string& metaPath);
void CreateNotesItem(store::Session& session, const std::string& storeEntryID, int folderNumber,
                     const std::string& subject, const std::string& body,
                     const std::vector<std::string>& categories = {});

}  // namespace items
