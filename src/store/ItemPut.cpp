// Outlook object-model property puts by name, mapped onto tagged and named
// properties ([MS-OXPROPS]; contacts [MS-OXOCNTC], appointments [MS-OXOCAL],
// tasks [MS-OXOTASK], notes [MS-OXONOTE]), and the attachment helpers
// Attachments.Add and AddPicture. Everything goes through the virtual
// SetProp/SetNamedProp/AddAttachment of the item, so it works on any store.
#include <algorithm>
#include <array>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "store/DistListLinks.h"
#include "store/NamedLid.h"
#include "store/PstStoreSession.h"

namespace store {

// The checksum of a personal distribution list ([MS-OXOCNTC] 2.2.2.2.3): the
// CRC-32 of [ISO/IEC8802-3] (reflected polynomial 0xEDB88320) over the members'
// entry IDs one after the other, as Outlook computes it: register starting at
// zero, no final inversion.
uint32_t DistListChecksum(const std::vector<pst::Binary>& members) {
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t crc = 0;
    for (const pst::Binary& m : members)
        for (uint8_t b : m) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return crc;
}

namespace {

using namespace pst;
using namespace pst::tags;

NamedProperty Keywords() {
    NamedProperty n;
    n.propertySet = PS_PUBLIC_STRINGS();
    n.isString = true;
    n.name = "Keywords";
    return n;
}

std::string AsString(std::string_view name, const PropValue& v) {
    if (auto s = std::get_if<std::string>(&v)) return *s;
    throw StoreError("property " + std::string(name) + " takes a text");
}

FileTime AsTime(std::string_view name, const PropValue& v) {
    if (auto t = std::get_if<FileTime>(&v)) return *t;
    throw StoreError("property " + std::string(name) + " takes a date-time");
}

int32_t AsInt(std::string_view name, const PropValue& v) {
    if (auto i = std::get_if<int32_t>(&v)) return *i;
    if (auto s = std::get_if<int16_t>(&v)) return *s;
    if (auto b = std::get_if<bool>(&v)) return *b ? 1 : 0;
    throw StoreError("property " + std::string(name) + " takes a number");
}

bool AsBool(std::string_view name, const PropValue& v) {
    if (auto b = std::get_if<bool>(&v)) return *b;
    if (auto i = std::get_if<int32_t>(&v)) return *i != 0;
    throw StoreError("property " + std::string(name) + " takes a truth value");
}

int64_t Minutes(const FileTime& t) { return int64_t(t.value / 600000000ULL); }

// A text property: an empty text removes it.
void PutText(Item& item, uint32_t tag, const std::string& s) {
    if (s.empty()) item.DeleteProp(tag);
    else item.SetProp(tag, s);
}

void PutNamedText(Item& item, const NamedProperty& n, const std::string& s) {
    if (!s.empty()) item.SetNamedProp(n, PT_UNICODE, s);
}

std::optional<FileTime> NamedTime(const Item& item, const NamedProperty& n) {
    auto v = item.GetNamedProp(n);
    if (!v) return std::nullopt;
    if (auto t = std::get_if<FileTime>(&*v)) return *t;
    return std::nullopt;
}

void UpdateDuration(Item& item) {
    auto start = NamedTime(item, Lid(PSETID_Appointment(), lid::PidLidAppointmentStartWhole));
    auto end = NamedTime(item, Lid(PSETID_Appointment(), lid::PidLidAppointmentEndWhole));
    if (!start || !end) return;
    int64_t minutes = Minutes(*end) - Minutes(*start);
    if (minutes < 0) minutes = 0;
    item.SetNamedProp(Lid(PSETID_Appointment(), lid::PidLidAppointmentDuration), PT_LONG, int32_t(minutes));
}

void PutEmail(Item& item, int slot, const std::string& address) {
    static const uint32_t ids[3][4] = {
        {lid::PidLidEmail1EmailAddress, lid::PidLidEmail1DisplayName, lid::PidLidEmail1AddressType, lid::PidLidEmail1OriginalDisplayName},
        {lid::PidLidEmail2EmailAddress, lid::PidLidEmail2DisplayName, lid::PidLidEmail2AddressType, lid::PidLidEmail2OriginalDisplayName},
        {lid::PidLidEmail3EmailAddress, lid::PidLidEmail3DisplayName, lid::PidLidEmail3AddressType, lid::PidLidEmail3OriginalDisplayName}};
    if (address.empty()) return;
    const Guid& set = PSETID_Address();
    std::string display;
    if (auto v = item.GetProp(PR_DISPLAY_NAME))
        if (auto s = std::get_if<std::string>(&*v)) display = *s;
    item.SetNamedProp(Lid(set, ids[slot][0]), PT_UNICODE, address);
    item.SetNamedProp(Lid(set, ids[slot][1]), PT_UNICODE, display.empty() ? address : display + " (" + address + ")");
    item.SetNamedProp(Lid(set, ids[slot][2]), PT_UNICODE, std::string("SMTP"));
    item.SetNamedProp(Lid(set, ids[slot][3]), PT_UNICODE, address);
    // Which e-mail slots are in use ([MS-OXOCNTC] 2.2.1.2.x): a bit and an entry per slot.
    int32_t mask = 0;
    if (auto v = item.GetNamedProp(Lid(set, lid::PidLidAddressBookProviderArrayType)))
        if (auto i = std::get_if<int32_t>(&*v)) mask = *i;
    mask |= int32_t(1) << slot;
    std::vector<int32_t> list;
    for (int k = 0; k < 3; ++k)
        if (mask & (1 << k)) list.push_back(k);
    item.SetNamedProp(Lid(set, lid::PidLidAddressBookProviderArrayType), PT_LONG, mask);
    item.SetNamedProp(Lid(set, lid::PidLidAddressBookProviderEmailList), PT_MV_LONG, list);
}

using Setter = std::function<void(Item&, std::string_view, const PropValue&)>;

Setter Text(uint32_t tag) {
    return [tag](Item& item, std::string_view name, const PropValue& v) { PutText(item, tag, AsString(name, v)); };
}

Setter NamedText(const Guid& (*set)(), uint32_t id) {
    return [set, id](Item& item, std::string_view name, const PropValue& v) {
        PutNamedText(item, Lid(set(), id), AsString(name, v));
    };
}

// A text with a tagged and a named home (business address parts).
Setter BothText(uint32_t tag, uint32_t id) {
    return [tag, id](Item& item, std::string_view name, const PropValue& v) {
        std::string s = AsString(name, v);
        PutText(item, tag, s);
        PutNamedText(item, Lid(PSETID_Address(), id), s);
    };
}

const std::map<std::string, Setter, std::less<>>& Setters() {
    static const std::map<std::string, Setter, std::less<>> table = [] {
        std::map<std::string, Setter, std::less<>> t;
        // Every item
        t["MessageClass"] = Text(PR_MESSAGE_CLASS);
        t["Subject"] = [](Item& item, std::string_view name, const PropValue& v) {
            std::string s = AsString(name, v);
            PutText(item, PR_SUBJECT, s);
            PutText(item, PR_NORMALIZED_SUBJECT, s);
            PutText(item, PR_CONVERSATION_TOPIC, s);
        };
        t["Body"] = Text(PR_BODY);
        t["Categories"] = [](Item& item, std::string_view name, const PropValue& v) {
            // A list of names keeps every name whole, "," and ";" included.
            if (auto list = std::get_if<std::vector<std::string>>(&v)) {
                std::vector<std::string> words;
                for (const auto& w : *list)
                    if (!w.empty() && std::find(words.begin(), words.end(), w) == words.end()) words.push_back(w);
                if (!words.empty()) item.SetNamedProp(Keywords(), PT_MV_UNICODE, words);
                return;
            }
            // A text is split at "," and ";", as Outlook reads a typed list.
            std::string s = AsString(name, v);
            std::vector<std::string> words;
            size_t from = 0;
            while (from <= s.size()) {
                size_t sep = s.find_first_of(",;", from);
                std::string w = s.substr(from, sep == std::string::npos ? std::string::npos : sep - from);
                size_t b = w.find_first_not_of(' '), e = w.find_last_not_of(' ');
                if (b != std::string::npos) words.push_back(w.substr(b, e - b + 1));
                if (sep == std::string::npos) break;
                from = sep + 1;
            }
            if (!words.empty()) item.SetNamedProp(Keywords(), PT_MV_UNICODE, words);
        };
        t["Importance"] = [](Item& item, std::string_view name, const PropValue& v) {
            item.SetProp(PR_IMPORTANCE, AsInt(name, v));
        };

        // Contacts: names and organisation
        t["FirstName"] = Text(PR_GIVEN_NAME);
        t["MiddleName"] = Text(PR_MIDDLE_NAME);
        t["LastName"] = Text(PR_SURNAME);
        t["FullName"] = [](Item& item, std::string_view name, const PropValue& v) {
            std::string s = AsString(name, v);
            PutText(item, PR_DISPLAY_NAME, s);
            PutText(item, PR_SUBJECT, s);
            PutText(item, PR_NORMALIZED_SUBJECT, s);
        };
        t["FileAs"] = [](Item& item, std::string_view name, const PropValue& v) {
            std::string s = AsString(name, v);
            if (s.empty()) return;
            // Its style (PidLidFileUnderId) is worked out from the names at Save.
            item.SetNamedProp(Lid(PSETID_Address(), lid::PidLidFileUnder), PT_UNICODE, s);
        };
        t["Suffix"] = Text(PR_GENERATION);
        t["Title"] = Text(PR_DISPLAY_NAME_PREFIX);
        t["NickName"] = Text(PR_NICKNAME);
        t["JobTitle"] = Text(PR_TITLE);
        t["CompanyName"] = Text(PR_COMPANY_NAME);
        t["Profession"] = Text(PR_PROFESSION);
        t["Department"] = Text(PR_DEPARTMENT_NAME);
        t["OfficeLocation"] = Text(PR_OFFICE_LOCATION);
        t["ManagerName"] = Text(PR_MANAGER_NAME);
        t["AssistantName"] = Text(PR_ASSISTANT);
        t["Spouse"] = Text(PR_SPOUSE_NAME);
        // Phones
        t["CompanyMainTelephoneNumber"] = Text(PR_COMPANY_MAIN_PHONE_NUMBER);
        t["BusinessTelephoneNumber"] = Text(PR_BUSINESS_TELEPHONE_NUMBER);
        t["BusinessFaxNumber"] = Text(PR_BUSINESS_FAX_NUMBER);
        t["HomeTelephoneNumber"] = Text(PR_HOME_TELEPHONE_NUMBER);
        t["HomeFaxNumber"] = Text(PR_HOME_FAX_NUMBER);
        t["MobileTelephoneNumber"] = Text(PR_MOBILE_TELEPHONE_NUMBER);
        t["PagerNumber"] = Text(PR_PAGER_TELEPHONE_NUMBER);
        t["CarTelephoneNumber"] = Text(PR_CAR_TELEPHONE_NUMBER);
        // Addresses
        t["HomeAddress"] = NamedText(PSETID_Address, lid::PidLidHomeAddress);
        t["HomeAddressStreet"] = Text(PR_HOME_ADDRESS_STREET);
        t["HomeAddressCity"] = Text(PR_HOME_ADDRESS_CITY);
        t["HomeAddressState"] = Text(PR_HOME_ADDRESS_STATE_OR_PROVINCE);
        t["HomeAddressPostalCode"] = Text(PR_HOME_ADDRESS_POSTAL_CODE);
        t["HomeAddressCountry"] = Text(PR_HOME_ADDRESS_COUNTRY);
        t["BusinessAddress"] = NamedText(PSETID_Address, lid::PidLidWorkAddress);
        t["BusinessAddressStreet"] = BothText(PR_BUSINESS_ADDRESS_STREET, lid::PidLidWorkAddressStreet);
        t["BusinessAddressCity"] = BothText(PR_BUSINESS_ADDRESS_CITY, lid::PidLidWorkAddressCity);
        t["BusinessAddressState"] = BothText(PR_BUSINESS_ADDRESS_STATE_OR_PROVINCE, lid::PidLidWorkAddressState);
        t["BusinessAddressPostalCode"] = BothText(PR_BUSINESS_ADDRESS_POSTAL_CODE, lid::PidLidWorkAddressPostalCode);
        t["BusinessAddressCountry"] = BothText(PR_BUSINESS_ADDRESS_COUNTRY, lid::PidLidWorkAddressCountry);
        // Electronic addresses
        t["Email1Address"] = [](Item& item, std::string_view name, const PropValue& v) { PutEmail(item, 0, AsString(name, v)); };
        t["Email2Address"] = [](Item& item, std::string_view name, const PropValue& v) { PutEmail(item, 1, AsString(name, v)); };
        t["Email3Address"] = [](Item& item, std::string_view name, const PropValue& v) { PutEmail(item, 2, AsString(name, v)); };
        t["IMAddress"] = NamedText(PSETID_Address, lid::PidLidInstantMessagingAddress);
        t["WebPage"] = NamedText(PSETID_Address, lid::PidLidHtml);
        t["BusinessHomePage"] = Text(PR_BUSINESS_HOME_PAGE);
        t["PersonalHomePage"] = Text(PR_PERSONAL_HOME_PAGE);
        t["Birthday"] = [](Item& item, std::string_view name, const PropValue& v) { item.SetProp(PR_BIRTHDAY, AsTime(name, v)); };
        t["BirthdayLocal"] = [](Item& item, std::string_view name, const PropValue& v) {
            item.SetNamedProp(Lid(PSETID_Address(), lid::PidLidBirthdayLocal), PT_SYSTIME, AsTime(name, v));
        };

        // Personal distribution lists ([MS-OXOCNTC] 2.2.2)
        // The list's name is also what it is filed under; PidLidFileUnderId is
        // 0xFFFFFFFF on a distribution list ([MS-OXOCNTC] 2.2.2.1.4).
        t["DLName"] = [](Item& item, std::string_view name, const PropValue& v) {
            std::string s = AsString(name, v);
            if (s.empty()) return;
            item.SetNamedProp(Lid(PSETID_Address(), lid::PidLidDistributionListName), PT_UNICODE, s);
            item.SetNamedProp(Lid(PSETID_Address(), lid::PidLidFileUnder), PT_UNICODE, s);
            item.SetNamedProp(Lid(PSETID_Address(), lid::PidLidFileUnderId), PT_LONG, int32_t(-1));
        };
        // The members as one-off entry IDs: the same list in the members and the
        // one-off members, with the checksum Outlook checks the members against.
        t["DLMembers"] = [](Item& item, std::string_view name, const PropValue& v) {
            auto ids = std::get_if<std::vector<Binary>>(&v);
            if (!ids) throw StoreError("property " + std::string(name) + " takes a list of entry IDs");
            const Guid& set = PSETID_Address();
            item.SetNamedProp(Lid(set, lid::PidLidDistributionListMembers), PT_MV_BINARY, *ids);
            item.SetNamedProp(Lid(set, lid::PidLidDistributionListOneOffMembers), PT_MV_BINARY, *ids);
            item.SetNamedProp(Lid(set, lid::PidLidDistributionListChecksum), PT_LONG,
                              int32_t(DistListChecksum(*ids)));
        };

        // Appointments
        t["Start"] = [](Item& item, std::string_view name, const PropValue& v) {
            FileTime start = AsTime(name, v);
            item.SetNamedProp(Lid(PSETID_Appointment(), lid::PidLidAppointmentStartWhole), PT_SYSTIME, start);
            item.SetNamedProp(Lid(PSETID_Common(), lid::PidLidCommonStart), PT_SYSTIME, start);
            item.SetProp(PR_START_DATE, start);
            // Like Outlook, an appointment without an end lasts 30 minutes.
            if (!NamedTime(item, Lid(PSETID_Appointment(), lid::PidLidAppointmentEndWhole))) {
                FileTime end{start.value + 30ULL * 600000000ULL};
                item.SetNamedProp(Lid(PSETID_Appointment(), lid::PidLidAppointmentEndWhole), PT_SYSTIME, end);
                item.SetNamedProp(Lid(PSETID_Common(), lid::PidLidCommonEnd), PT_SYSTIME, end);
                item.SetProp(PR_END_DATE, end);
            }
            UpdateDuration(item);
        };
        t["End"] = [](Item& item, std::string_view name, const PropValue& v) {
            FileTime end = AsTime(name, v);
            item.SetNamedProp(Lid(PSETID_Appointment(), lid::PidLidAppointmentEndWhole), PT_SYSTIME, end);
            item.SetNamedProp(Lid(PSETID_Common(), lid::PidLidCommonEnd), PT_SYSTIME, end);
            item.SetProp(PR_END_DATE, end);
            UpdateDuration(item);
        };
        t["Location"] = NamedText(PSETID_Appointment, lid::PidLidLocation);
        t["BusyStatus"] = [](Item& item, std::string_view name, const PropValue& v) {
            item.SetNamedProp(Lid(PSETID_Appointment(), lid::PidLidBusyStatus), PT_LONG, AsInt(name, v));
        };
        t["AllDayEvent"] = [](Item& item, std::string_view name, const PropValue& v) {
            item.SetNamedProp(Lid(PSETID_Appointment(), lid::PidLidAppointmentSubType), PT_BOOLEAN, AsBool(name, v));
        };
        t["ReminderSet"] = [](Item& item, std::string_view name, const PropValue& v) {
            item.SetNamedProp(Lid(PSETID_Common(), lid::PidLidReminderSet), PT_BOOLEAN, AsBool(name, v));
        };
        // Minutes before the start; the reminder is due at the start and signals that much earlier.
        t["ReminderMinutesBeforeStart"] = [](Item& item, std::string_view name, const PropValue& v) {
            int32_t minutes = AsInt(name, v);
            item.SetNamedProp(Lid(PSETID_Common(), lid::PidLidReminderDelta), PT_LONG, minutes);
            if (auto start = NamedTime(item, Lid(PSETID_Appointment(), lid::PidLidAppointmentStartWhole))) {
                item.SetNamedProp(Lid(PSETID_Common(), lid::PidLidReminderTime), PT_SYSTIME, *start);
                FileTime signal{start->value - uint64_t(minutes) * 600000000ULL};
                item.SetNamedProp(Lid(PSETID_Common(), lid::PidLidReminderSignalTime), PT_SYSTIME, signal);
            }
        };
        t["Sensitivity"] = [](Item& item, std::string_view name, const PropValue& v) {
            item.SetProp(PR_SENSITIVITY, AsInt(name, v));
        };
        // Meetings: OlMeetingStatus (0 none, 1 meeting, 3 received, 5/7 cancelled) is the
        // appointment-state bit field asfMeeting | asfReceived | asfCanceled.
        t["MeetingStatus"] = [](Item& item, std::string_view name, const PropValue& v) {
            int32_t status = AsInt(name, v);
            item.SetNamedProp(Lid(PSETID_Appointment(), lid::PidLidAppointmentStateFlags), PT_LONG, status);
            // Invitations went out for a meeting; Outlook would otherwise offer to send them.
            if (status & 1) item.SetNamedProp(Lid(PSETID_Appointment(), lid::PidLidFInvited), PT_BOOLEAN, true);
        };
        // OlResponseStatus: 0 none, 1 organized, 2 tentative, 3 accepted, 4 declined, 5 not responded.
        t["ResponseStatus"] = [](Item& item, std::string_view name, const PropValue& v) {
            item.SetNamedProp(Lid(PSETID_Appointment(), lid::PidLidResponseStatus), PT_LONG, AsInt(name, v));
        };
        // The meeting's global object id and its clean form (no instance date, bytes 16..19).
        t["GlobalObjectId"] = [](Item& item, std::string_view name, const PropValue& v) {
            auto id = std::get_if<Binary>(&v);
            if (!id) throw StoreError("property " + std::string(name) + " takes binary data");
            item.SetNamedProp(Lid(PSETID_Meeting(), lid::PidLidGlobalObjectId), PT_BINARY, *id);
            Binary clean = *id;
            for (size_t k = 16; k < 20 && k < clean.size(); ++k) clean[k] = 0;
            item.SetNamedProp(Lid(PSETID_Meeting(), lid::PidLidCleanGlobalObjectId), PT_BINARY, clean);
        };
        t["RequiredAttendees"] = NamedText(PSETID_Appointment, lid::PidLidToAttendeesString);
        t["OptionalAttendees"] = NamedText(PSETID_Appointment, lid::PidLidCcAttendeesString);

        // Tasks
        t["StartDate"] = [](Item& item, std::string_view name, const PropValue& v) {
            FileTime d = AsTime(name, v);
            item.SetNamedProp(Lid(PSETID_Task(), lid::PidLidTaskStartDate), PT_SYSTIME, d);
            item.SetNamedProp(Lid(PSETID_Common(), lid::PidLidCommonStart), PT_SYSTIME, d);
        };
        t["DueDate"] = [](Item& item, std::string_view name, const PropValue& v) {
            FileTime d = AsTime(name, v);
            item.SetNamedProp(Lid(PSETID_Task(), lid::PidLidTaskDueDate), PT_SYSTIME, d);
            item.SetNamedProp(Lid(PSETID_Common(), lid::PidLidCommonEnd), PT_SYSTIME, d);
        };
        t["Status"] = [](Item& item, std::string_view name, const PropValue& v) {
            item.SetNamedProp(Lid(PSETID_Task(), lid::PidLidTaskStatus), PT_LONG, AsInt(name, v));
        };
        t["PercentComplete"] = [](Item& item, std::string_view name, const PropValue& v) {
            double fraction = 0;
            if (auto d = std::get_if<double>(&v)) fraction = *d > 1.0 ? *d / 100.0 : *d;
            else fraction = AsInt(name, v) / 100.0;
            item.SetNamedProp(Lid(PSETID_Task(), lid::PidLidPercentComplete), PT_DOUBLE, fraction);
        };
        t["Complete"] = [](Item& item, std::string_view name, const PropValue& v) {
            item.SetNamedProp(Lid(PSETID_Task(), lid::PidLidTaskComplete), PT_BOOLEAN, AsBool(name, v));
        };
        t["DateCompleted"] = [](Item& item, std::string_view name, const PropValue& v) {
            item.SetNamedProp(Lid(PSETID_Task(), lid::PidLidTaskDateCompleted), PT_SYSTIME, AsTime(name, v));
        };

        // Notes
        t["Color"] = [](Item& item, std::string_view name, const PropValue& v) {
            item.SetNamedProp(Lid(PSETID_Note(), lid::PidLidNoteColor), PT_LONG, AsInt(name, v));
        };
        t["Width"] = [](Item& item, std::string_view name, const PropValue& v) {
            item.SetNamedProp(Lid(PSETID_Note(), lid::PidLidNoteWidth), PT_LONG, AsInt(name, v));
        };
        t["Height"] = [](Item& item, std::string_view name, const PropValue& v) {
            item.SetNamedProp(Lid(PSETID_Note(), lid::PidLidNoteHeight), PT_LONG, AsInt(name, v));
        };
        t["Left"] = [](Item& item, std::string_view name, const PropValue& v) {
            item.SetNamedProp(Lid(PSETID_Note(), lid::PidLidNoteX), PT_LONG, AsInt(name, v));
        };
        t["Top"] = [](Item& item, std::string_view name, const PropValue& v) {
            item.SetNamedProp(Lid(PSETID_Note(), lid::PidLidNoteY), PT_LONG, AsInt(name, v));
        };
        return t;
    }();
    return table;
}

std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Extension(const std::string& name) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return {};
    return name.substr(dot);
}

// Streams a file opened now; the data survives a later unlink of the path.
void AttachFile(Attachment& att, const std::string& path) {
    auto in = std::make_shared<std::ifstream>(path, std::ios::binary);
    if (!*in) throw StoreError("cannot read attachment file " + path);
    att.SetData([in, path](uint8_t* buffer, size_t capacity) -> size_t {
        in->read(reinterpret_cast<char*>(buffer), std::streamsize(capacity));
        if (in->bad()) throw StoreError("cannot read attachment file " + path);
        return size_t(in->gcount());
    });
}

}  // namespace

void Item::Put(std::string_view outlookName, const pst::PropValue& value) {
    const auto& table = Setters();
    auto it = table.find(outlookName);
    if (it == table.end()) throw StoreError("unknown property " + std::string(outlookName));
    it->second(*this, outlookName, value);
}

Attachment& Item::AttachmentsAdd(const std::string& path) {
    {
        std::ifstream probe(path, std::ios::binary);
        if (!probe) throw StoreError("cannot read attachment file " + path);
    }
    std::string name = BaseName(path);
    Attachment& att = AddAttachment();
    att.SetProp(PR_ATTACH_METHOD, int32_t(1));
    att.SetProp(PR_ATTACH_LONG_FILENAME, name);
    att.SetProp(PR_ATTACH_FILENAME, name);
    att.SetProp(PR_DISPLAY_NAME, name);
    if (std::string ext = Extension(name); !ext.empty()) att.SetProp(PR_ATTACH_EXTENSION, ext);
    att.SetProp(PR_RENDERING_POSITION, int32_t(-1));
    AttachFile(att, path);
    return att;
}

namespace {
// The picture's real format from its first bytes (extension, MIME type); JPEG
// when they name none of the others.
std::pair<std::string, std::string> PictureType(const std::string& head) {
    if (head.rfind("\x89PNG", 0) == 0) return {".png", "image/png"};
    if (head.rfind("GIF8", 0) == 0) return {".gif", "image/gif"};
    if (head.rfind("BM", 0) == 0) return {".bmp", "image/bmp"};
    if (head.rfind(std::string("II*\0", 4), 0) == 0 || head.rfind(std::string("MM\0*", 4), 0) == 0) return {".tif", "image/tiff"};
    return {".jpg", "image/jpeg"};
}
}  // namespace

void Item::AddPicture(const std::string& path) {
    std::string head(8, '\0');
    {
        std::ifstream probe(path, std::ios::binary);
        if (!probe) throw StoreError("cannot read picture file " + path);
        probe.read(head.data(), std::streamsize(head.size()));
        head.resize(size_t(probe.gcount()));
    }
    // Outlook's contact photo: a hidden attachment named ContactPicture.<type>
    // with PR_ATTACHMENT_CONTACTPHOTO, and PidLidHasPicture on the contact.
    Attachment& att = AddAttachment();
    const auto [extension, mimeType] = PictureType(head);
    const std::string name = "ContactPicture" + extension;
    att.SetProp(PR_ATTACH_METHOD, int32_t(1));
    att.SetProp(PR_ATTACH_LONG_FILENAME, name);
    att.SetProp(PR_ATTACH_FILENAME, name);
    att.SetProp(PR_DISPLAY_NAME, name);
    att.SetProp(PR_ATTACH_EXTENSION, extension);
    att.SetProp(PR_ATTACH_MIME_TAG, mimeType);
    att.SetProp(PR_ATTACHMENT_CONTACTPHOTO, true);
    att.SetProp(PR_ATTACHMENT_HIDDEN, true);
    att.SetProp(PR_RENDERING_POSITION, int32_t(-1));
    AttachFile(att, path);
    SetNamedProp(Lid(PSETID_Address(), lid::PidLidHasPicture), PT_BOOLEAN, true);
}

}  // namespace store
