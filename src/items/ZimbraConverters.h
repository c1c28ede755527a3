#pragma once
// The four Zimbra item converters and the item creators they call. Each
// converter reads one ".meta" file, makes one item in the store's default
// folder of its kind and reports the outcome; it never deletes its source
// (the engine does, after the store has committed, for ItemOutcome::Saved).
#include <optional>
#include <string>

#include "items/ItemConverters.h"
#include "items/ItemSupport.h"

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
    std::string Spouse, Body, Categories;
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

// --- Appointments ----------------------------------------------------------------
struct CalendarFields {
    std::string subject, location, body, categories;
    std::optional<ZimbraDateTime> start, end;
    int busyStatus = -1;        // -1: from the kind of appointment
    int reminderMinutes = -1;   // minutes before the start, -1: no reminder
    int sensitivity = 0;        // 0 normal, 2 private, 3 confidential
};
ItemOutcome ConvertCalendarFile(const ItemContext& ctx, const std::string& metaPath);
void CreateCalendarItem(store::Session& session, const std::string& storeEntryID, int folderNumber,
                        const CalendarFields& fields, const CompanionContent& companion);

// --- Tasks -------------------------------------------------------------------------
struct TaskFields {
    std::string subject, body;
    std::optional<CivilTime> startDate, dueDate, completedDate;
    int status = -1;           // PidLidTaskStatus, -1 unknown
    int percentComplete = -1;  // 0..100, -1 unknown
    int importance = -1;       // 0 low, 1 normal, 2 high
};
ItemOutcome ConvertTaskFile(const ItemContext& ctx, const std::string& metaPath);
void CreateToDoItem(store::Session& session, const std::string& storeEntryID, int folderNumber,
                    const TaskFields& fields, const CompanionContent& companion);

// --- Notes -------------------------------------------------------------------------
ItemOutcome ConvertNoteFile(const ItemContext& ctx, const std::string& metaPath);
void CreateNotesItem(store::Session& session, const std::string& storeEntryID, int folderNumber,
                     const std::string& subject, const std::string& body);

}  // namespace items
