// Meetings and tags over the in-memory store: an appointment's organizer and
// attendees become the meeting's sender and recipient rows, and the Zimbra tags
// of every item kind become its categories.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "../support/FakeStore.h"
#include "ConverterFixture.h"
#include "MetaEncoding.h"
#include "items/ZimbraConverters.h"

namespace fs = std::filesystem;
using namespace items;
using namespace metaenc;
using pst::NamedProperty;
namespace tags = pst::tags;
namespace lid = pst::tags::lid;

namespace {

using Names = std::vector<std::string>;

NamedProperty Lid(const pst::Guid& set, uint32_t id) {
    NamedProperty n;
    n.propertySet = set;
    n.lid = id;
    return n;
}

NamedProperty KeywordsName() {
    NamedProperty n;
    n.propertySet = pst::PS_PUBLIC_STRINGS();
    n.isString = true;
    n.name = "Keywords";
    return n;
}

template <typename T>
std::optional<T> Named(const fake::FakeBag& bag, const NamedProperty& n) {
    auto v = bag.GetNamedProp(n);
    if (!v) return std::nullopt;
    if (auto t = std::get_if<T>(&*v)) return *t;
    return std::nullopt;
}

std::optional<int32_t> Int(const fake::FakeBag& bag, uint32_t tag) {
    auto v = bag.GetProp(tag);
    if (!v) return std::nullopt;
    if (auto i = std::get_if<int32_t>(&*v)) return *i;
    return std::nullopt;
}

Names Categories(const fake::FakeBag& bag) { return Named<Names>(bag, KeywordsName()).value_or(Names{"<absent>"}); }

// A calendar item's metadata: an alarm-data dictionary whose alarm names an
// e-mail recipient of its own, and one invite.
std::string CalendarMeta(const Entries& invite, const std::string& tagNames = "", int type = 11,
                         const std::string& path = "/Calendar/") {
    std::string alarmAttendee = BStrings({{"a", "alarm-to@example.net"}, {"cn", "Alarm Person"}, {"r", "OPT"}});
    Entries top = {{"ad", BDict({{"alarm", BDict({{"ac", BStr("e")}, {"at0", alarmAttendee}})},
                                 {"na", BInt(1700000000000LL)}})},
                   {"inv0", BDict(invite)},
                   {"nc", BInt(1)},
                   {"u", BStr("uid-1")},
                   {"v", BInt(10)}};
    std::vector<std::pair<std::string, std::string>> members = {
        {"type", std::to_string(type)}, {"Path", JsonQuote(path)}, {"id", "700"}, {"TagNames", JsonQuote(tagNames)}};
    return MetaJson(members, BDict(top));
}

// An attendee dictionary.
std::string Attendee(const std::string& address, const std::string& name, const std::string& role,
                     const std::string& ptst, const std::string& cutype = "") {
    std::vector<std::pair<std::string, std::string>> kv = {{"a", address}, {"v", "1"}};
    if (!name.empty()) kv.emplace_back("cn", name);
    if (!role.empty()) kv.emplace_back("r", role);
    if (!ptst.empty()) kv.emplace_back("ptst", ptst);
    if (!cutype.empty()) kv.emplace_back("cut", cutype);
    return BStrings(kv);
}

// The invite's own alarm, with an e-mail attendee that is not a meeting attendee.
std::string InviteAlarm() {
    return BDict({{"ac", BStr("e")}, {"at0", Attendee("alarm-inv@example.net", "Inv Alarm", "REQ", "AC")},
                  {"tr", BStr("-PT15M")}, {"trd", BStr("s")}});
}

class Meetings : public itemstest::ConverterFixture {
protected:
    const fake::FakeItem& Convert(const std::string& meta) {
        auto path = Write("Calendar/0000000700-x.appt.meta", meta);
        EXPECT_EQ(ConvertCalendarFile(ctx_, path), ItemOutcome::Saved);
        auto& saved = Folder(store::olFolderCalendar).saved;
        EXPECT_FALSE(saved.empty());
        return *saved.back();
    }
};

struct Row {
    std::string name, address;
    int type, flags, track;
};

void ExpectRows(const fake::FakeItem& item, const std::vector<Row>& want) {
    ASSERT_EQ(item.recipients.size(), want.size());
    for (size_t k = 0; k < want.size(); ++k) {
        const auto& r = *item.recipients[k];
        SCOPED_TRACE("row " + std::to_string(k));
        EXPECT_EQ(r.Str(tags::PR_DISPLAY_NAME), want[k].name);
        EXPECT_EQ(r.Str(tags::PR_EMAIL_ADDRESS), want[k].address);
        EXPECT_EQ(r.Str(tags::PR_SMTP_ADDRESS), want[k].address);
        EXPECT_EQ(r.Str(tags::PR_ADDRTYPE), "SMTP");
        EXPECT_EQ(Int(r, tags::PR_RECIPIENT_TYPE), want[k].type);
        EXPECT_EQ(Int(r, tags::PR_RECIPIENT_FLAGS), want[k].flags);
        EXPECT_EQ(Int(r, tags::PR_RECIPIENT_TRACKSTATUS), want[k].track);
    }
}

}  // namespace

// A received meeting: every attendee's own values, in the order of their
// numbers, never those of the alarms or of a neighbour; names with colons,
// bencode look-alikes, non-ASCII and characters outside the BMP.
TEST_F(Meetings, ReceivedMeetingKeepsEachAttendeesOwnValues) {
    const std::string tricky = "Eve 1:a16:fake@evil.example2:cn";  // looks like keys to a colon scanner
    const std::string mueller = "M\xC3\xBCller, J\xC3\xBCrgen: Vertrieb";
    const std::string yamada = "\xE5\xB1\xB1\xE7\x94\xB0 \xF0\x9F\x8E\x89 \xE5\xA4\xAA\xE9\x83\x8E";  // 山田 🎉 太郎
    Entries inv = {
        {"al0", InviteAlarm()},
        {"at0", Attendee("mailto:eve@example.com", tricky, "REQ", "AC")},
        {"at1", Attendee("juergen@example.de", mueller, "OPT", "TE")},
        {"at2", Attendee("room-4@example.com", "Room 4: East", "REQ", "NE", "ROO")},
        {"at3", Attendee("watcher@example.com", "", "NON", "NE")},
        {"at10", Attendee("yamada@example.jp", yamada, "CHA", "DE")},
        {"isOrg", BStr("false")},
        {"n", BStr("Plan: Q3")},
        {"numAt", BStr("5")},
        {"org", BStrings({{"a", "boss@example.com"}, {"cn", "Boss: Big \xC3\x9C"}, {"sentby", "assistant@example.com"}})},
        {"ptst", BStr("TE")},
        {"st", BStr("20240115T143000Z")},
        {"et", BStr("20240115T153000Z")},
    };
    const auto& a = Convert(CalendarMeta(inv));
    EXPECT_EQ(a.Str(tags::PR_SUBJECT), "Plan: Q3");

    ExpectRows(a, {{"Boss: Big \xC3\x9C", "boss@example.com", 1, 3, 1},
                   {tricky, "eve@example.com", 1, 1, 3},
                   {mueller, "juergen@example.de", 2, 1, 2},
                   {"Room 4: East", "room-4@example.com", 3, 1, 5},
                   {"watcher@example.com", "watcher@example.com", 3, 1, 5},
                   {yamada, "yamada@example.jp", 1, 1, 4}});

    // The organizer is represented; the delegate who sent the invitation is the sender.
    EXPECT_EQ(a.Str(tags::PR_SENT_REPRESENTING_NAME), "Boss: Big \xC3\x9C");
    EXPECT_EQ(a.Str(tags::PR_SENT_REPRESENTING_EMAIL_ADDRESS), "boss@example.com");
    EXPECT_EQ(a.Str(tags::PR_SENT_REPRESENTING_SMTP_ADDRESS), "boss@example.com");
    EXPECT_EQ(a.Str(tags::PR_SENT_REPRESENTING_ADDRTYPE), "SMTP");
    EXPECT_EQ(a.Str(tags::PR_SENDER_EMAIL_ADDRESS), "assistant@example.com");
    EXPECT_EQ(a.Str(tags::PR_SENDER_ADDRTYPE), "SMTP");

    const pst::Guid& appt = pst::PSETID_Appointment();
    EXPECT_EQ(Named<int32_t>(a, Lid(appt, lid::PidLidAppointmentStateFlags)), 3);  // asfMeeting | asfReceived
    EXPECT_EQ(Named<int32_t>(a, Lid(appt, lid::PidLidResponseStatus)), 2);         // the owner's "TE"
    EXPECT_EQ(Named<bool>(a, Lid(appt, lid::PidLidFInvited)), true);
    EXPECT_EQ(Named<std::string>(a, Lid(appt, lid::PidLidToAttendeesString)), tricky + "; " + yamada);
    EXPECT_EQ(Named<std::string>(a, Lid(appt, lid::PidLidCcAttendeesString)), mueller);
    // The invite's alarm still gives the reminder.
    EXPECT_EQ(Named<int32_t>(a, Lid(pst::PSETID_Common(), lid::PidLidReminderDelta)), 15);
}

// The owner organizes: no received flag, "organized" whatever the invite's
// own status says; an organizer listed among the attendees gets one row.
TEST_F(Meetings, OrganizerOwnedMeeting) {
    Entries inv = {
        {"at0", Attendee("MAILTO:Alice@Example.com", "Alice", "REQ", "AC")},
        {"at1", Attendee("bob@example.com", "Bob", "OPT", "NE")},
        {"isOrg", BStr("true")},
        {"n", BStr("Sync")},
        {"org", BStrings({{"a", "mailto:alice@example.com"}, {"cn", "Alice"}})},
        {"ptst", BStr("AC")},
        {"st", BStr("20240115T143000Z")},
    };
    const auto& a = Convert(CalendarMeta(inv));
    ExpectRows(a, {{"Alice", "alice@example.com", 1, 3, 1}, {"Bob", "bob@example.com", 2, 1, 5}});
    EXPECT_EQ(a.Str(tags::PR_SENDER_NAME), "Alice");
    EXPECT_EQ(a.Str(tags::PR_SENDER_EMAIL_ADDRESS), "alice@example.com");
    EXPECT_EQ(a.Str(tags::PR_SENT_REPRESENTING_EMAIL_ADDRESS), "alice@example.com");
    const pst::Guid& appt = pst::PSETID_Appointment();
    EXPECT_EQ(Named<int32_t>(a, Lid(appt, lid::PidLidAppointmentStateFlags)), 1);  // asfMeeting
    EXPECT_EQ(Named<int32_t>(a, Lid(appt, lid::PidLidResponseStatus)), 1);         // respOrganized
    EXPECT_FALSE(a.GetNamedProp(Lid(appt, lid::PidLidToAttendeesString)).has_value());
    EXPECT_EQ(Named<std::string>(a, Lid(appt, lid::PidLidCcAttendeesString)), "Bob");
}

// Without attendees an appointment stays what it was: no rows, no sender, no
// meeting state, even with an organizer, an alarm recipient and "isOrg".
TEST_F(Meetings, AppointmentWithoutAttendeesStaysPlain) {
    Entries inv = {
        {"al0", InviteAlarm()},
        {"isOrg", BStr("false")},
        {"n", BStr("Dentist")},
        {"numAt", BStr("0")},
        {"org", BStrings({{"a", "me@example.com"}, {"cn", "Me"}})},
        {"ptst", BStr("AC")},
        {"st", BStr("20240115T143000Z")},
    };
    const auto& a = Convert(CalendarMeta(inv));
    EXPECT_EQ(a.Str(tags::PR_SUBJECT), "Dentist");
    EXPECT_TRUE(a.recipients.empty());
    EXPECT_FALSE(a.GetProp(tags::PR_SENDER_NAME).has_value());
    EXPECT_FALSE(a.GetProp(tags::PR_SENT_REPRESENTING_NAME).has_value());
    const pst::Guid& appt = pst::PSETID_Appointment();
    EXPECT_FALSE(a.GetNamedProp(Lid(appt, lid::PidLidAppointmentStateFlags)).has_value());
    EXPECT_FALSE(a.GetNamedProp(Lid(appt, lid::PidLidResponseStatus)).has_value());
    EXPECT_EQ(Categories(a), Names{"<absent>"});
}

// Only the first invite's own dictionary counts: attendees of a later invite
// (an exception) and of the alarm data are not the series' attendees, and a
// damaged metadata text gives no meeting at all.
TEST(MeetingFields, OnlyTheFirstInvitesOwnDictionaries) {
    std::string alarmData = BDict({{"alarm", BDict({{"at0", Attendee("a@x.example", "A", "REQ", "AC")}})}});
    std::string inv0 = BDict({{"at0", Attendee("one@x.example", "One", "OPT", "DE")},
                              {"isOrg", BStr("false")},
                              {"org", BStrings({{"a", "o@x.example"}})},
                              {"ptst", BStr("NE")}});
    std::string inv1 = BDict({{"at0", Attendee("two@x.example", "Two", "REQ", "AC")},
                              {"at1", Attendee("three@x.example", "Three", "REQ", "AC")}});
    std::string text = BDict({{"ad", alarmData}, {"inv0", inv0}, {"inv1", inv1}, {"v", BInt(10)}});
    MeetingFields m = ReadMeetingFields(Utf8ToUtf16(text));
    ASSERT_EQ(m.attendees.size(), 1u);
    EXPECT_EQ(m.attendees[0].address, "one@x.example");
    EXPECT_EQ(m.attendees[0].recipientType, 2);
    EXPECT_EQ(m.attendees[0].trackStatus, 4);
    ASSERT_TRUE(m.organizer.has_value());
    EXPECT_EQ(m.organizer->name, "");
    EXPECT_EQ(m.organizer->address, "o@x.example");
    EXPECT_FALSE(m.ownerIsOrganizer);
    EXPECT_EQ(m.responseStatus, 5);

    // A length one unit short of the value: the structure does not hold.
    std::string damaged = text;
    damaged.replace(damaged.find("13:one@x.example"), 3, "12:");
    EXPECT_TRUE(ReadMeetingFields(Utf8ToUtf16(damaged)).attendees.empty());
    EXPECT_TRUE(ReadMeetingFields(Utf8ToUtf16(text.substr(0, text.size() / 2))).attendees.empty());
    EXPECT_TRUE(ReadMeetingFields(u"").attendees.empty());
}

// Tags become categories on every item kind, each name whole: an escaped
// colon, a backslash, "," and ";" inside a name do not split it.
TEST_F(Meetings, TagsBecomeCategoriesOnEveryKind) {
    const std::string tagNames = "Work:Client\\: Acme:A, B; C:back\\\\slash:Gr\xC3\xBCn:Work";
    const Names want = {"Work", "Client: Acme", "A, B; C", "back\\slash", "Gr\xC3\xBCn"};

    auto contact = MetaJson({{"type", "6"}, {"Path", JsonQuote("/Contacts/")}, {"id", "1"}, {"TagNames", JsonQuote(tagNames)}},
                            BDict({{"fld", BStrings({{"firstName", "Ann"}, {"email", "ann@example.com"}})}, {"v", BInt(10)}}));
    EXPECT_EQ(ConvertContactFile(ctx_, Write("Contacts/Ann.meta", contact)), ItemOutcome::Saved);
    const auto& appt = Convert(CalendarMeta({{"n", BStr("Tagged")}, {"st", BStr("20240115T143000Z")}}, tagNames));
    auto task = CalendarMeta({{"n", BStr("Chore")}, {"et", BStr("VALUE=DATE:20240301")}}, tagNames, 15, "/Tasks/");
    EXPECT_EQ(ConvertTaskFile(ctx_, Write("Tasks/1.task.meta", task)), ItemOutcome::Saved);
    auto note = MetaJson({{"type", "14"}, {"name", JsonQuote("Page")}, {"Path", JsonQuote("/Notebook/Page")},
                          {"TagNames", JsonQuote(tagNames)}},
                         BDict({{"f", BStr("text")}, {"v", BInt(10)}}));
    EXPECT_EQ(ConvertNoteFile(ctx_, Write("Notebook/Page.wiki.meta", note)), ItemOutcome::Saved);

    EXPECT_EQ(Categories(*Folder(store::olFolderContacts).saved.at(0)), want);
    EXPECT_EQ(Categories(appt), want);
    EXPECT_EQ(Categories(*Folder(store::olFolderTasks).saved.at(0)), want);
    EXPECT_EQ(Categories(*Folder(store::olFolderNotes).saved.at(0)), want);

    // No tags, no categories.
    auto plain = CalendarMeta({{"n", BStr("Untagged")}}, "", 15, "/Tasks/");
    EXPECT_EQ(ConvertTaskFile(ctx_, Write("Tasks/2.task.meta", plain)), ItemOutcome::Saved);
    EXPECT_EQ(Categories(*Folder(store::olFolderTasks).saved.at(1)), Names{"<absent>"});
}

// "Categories" as a text still splits at "," and ";"; as a list each name stays whole.
TEST(CategoriesPut, TextSplitsListKeepsNamesWhole) {
    fake::FakeItem item;
    item.Put("Categories", std::string("Red, Blue ;Green"));
    EXPECT_EQ(Categories(item), (Names{"Red", "Blue", "Green"}));
    item.Put("Categories", Names{"Red, Blue", "", "a;b", "Red, Blue"});
    EXPECT_EQ(Categories(item), (Names{"Red, Blue", "a;b"}));
}

// Attendee names that look like keys to a colon scanner do not stand in for
// the invite's own subject, location, times or description.
TEST_F(Meetings, AttendeeNamesDoNotStandInForTheInvitesFields) {
    Entries inv = {
        {"at0", Attendee("a@example.com", "Ops 1:l9:Fake room", "REQ", "AC")},
        {"at1", Attendee("b@example.com", "Q 1:n4:Fake2:st16:20990101T000000Z4:desc4:Fake", "OPT", "NE")},
        {"desc", BStr("Real: agenda")},
        {"isOrg", BStr("true")},
        {"l", BStr("Room 7")},
        {"n", BStr("Real subject")},
        {"org", BStrings({{"a", "me@example.com"}})},
        {"st", BStr("20240115T143000Z")},
        {"et", BStr("20240115T153000Z")},
    };
    const auto& a = Convert(CalendarMeta(inv));
    EXPECT_EQ(a.Str(tags::PR_SUBJECT), "Real subject");
    EXPECT_EQ(a.Str(tags::PR_BODY), "Real: agenda");
    const pst::Guid& appt = pst::PSETID_Appointment();
    EXPECT_EQ(Named<std::string>(a, Lid(appt, lid::PidLidLocation)), "Room 7");
    auto start = Named<pst::FileTime>(a, Lid(appt, lid::PidLidAppointmentStartWhole));
    ASSERT_TRUE(start.has_value());
    EXPECT_EQ(FileTimeToUnix(*start), CivilToUnix({2024, 1, 15, 14, 30, 0}));
    ASSERT_EQ(a.recipients.size(), 3u);
    EXPECT_EQ(a.recipients[2]->Str(tags::PR_DISPLAY_NAME), "Q 1:n4:Fake2:st16:20990101T000000Z4:desc4:Fake");

    // A task's own fields likewise.
    Entries task = {{"at0", Attendee("a@example.com", "T 1:n4:Fake", "REQ", "AC")}, {"n", BStr("Real task")}};
    EXPECT_EQ(ConvertTaskFile(ctx_, Write("Tasks/3.task.meta", CalendarMeta(task, "", 15, "/Tasks/"))), ItemOutcome::Saved);
    EXPECT_EQ(Folder(store::olFolderTasks).saved.at(0)->Str(tags::PR_SUBJECT), "Real task");
}

namespace {
std::string Hex(const pst::Binary& b) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (uint8_t v : b) out += {digits[v >> 4], digits[v & 15]};
    return out;
}
}  // namespace

// The meeting's global object id from its UID, checked against the worked
// examples of [MS-ASEMAIL] 4.3: a third-party UID wrapped as "vCal-Uid" data,
// an Outlook id given in hex taken as it is.
TEST(GlobalObjectId, FromThirdPartyAndOutlookUids) {
    EXPECT_EQ(Hex(GlobalObjectIdFromUid("{81412D3C-2A24-4E9D-B20E-11F7BBE92799}")),
              "040000008200E00074C5B7101A82E0080000000000000000000000000000000000000000330000007643616C2D5569640100"
              "00007B38313431324433432D324132342D344539442D423230452D3131463742424539323739397D00");
    const std::string outlook = "040000008200E00074C5B7101A82E00800000000E040C9C12685C401000000000000000010000000"
                                "0BF0ED4B6E4EE94E9E39E3867B378EF3";
    EXPECT_EQ(Hex(GlobalObjectIdFromUid(outlook)), outlook);
    // Hex with a size that does not match its data is just a third-party UID.
    std::string wrongSize = outlook.substr(0, outlook.size() - 2);
    EXPECT_EQ(Hex(GlobalObjectIdFromUid(wrongSize)).substr(80, 16), "7643616C2D556964");  // "vCal-Uid"
    EXPECT_TRUE(GlobalObjectIdFromUid("").empty());
}

TEST_F(Meetings, MeetingCarriesItsGlobalObjectId) {
    Entries inv = {{"at0", Attendee("a@example.com", "A", "REQ", "AC")},
                   {"isOrg", BStr("false")},
                   {"n", BStr("With UID")},
                   {"org", BStrings({{"a", "o@example.com"}})},
                   {"u", BStr("{81412D3C-2A24-4E9D-B20E-11F7BBE92799}")}};
    const auto& a = Convert(CalendarMeta(inv));
    const pst::Guid& meeting = pst::PSETID_Meeting();
    auto goid = Named<pst::Binary>(a, Lid(meeting, lid::PidLidGlobalObjectId));
    ASSERT_TRUE(goid.has_value());
    EXPECT_EQ(*goid, GlobalObjectIdFromUid("{81412D3C-2A24-4E9D-B20E-11F7BBE92799}"));
    EXPECT_EQ(Named<pst::Binary>(a, Lid(meeting, lid::PidLidCleanGlobalObjectId)), goid);
    // A plain appointment gets none.
    const auto& plain = Convert(CalendarMeta({{"n", BStr("Plain")}, {"u", BStr("x")}}));
    EXPECT_FALSE(plain.GetNamedProp(Lid(meeting, lid::PidLidGlobalObjectId)).has_value());
}
