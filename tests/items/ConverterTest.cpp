// The four converters over the in-memory store, with ".meta" files in the
// real encoding (JSON around bencode) and companion MIME files.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>

#include "../support/FakeStore.h"
#include "ConverterFixture.h"
#include "MetaEncoding.h"
#include "items/ZimbraConverters.h"
#include "pst/messaging/CalendarLids.h"
#include "pst/messaging/MeetingObjectId.h"

namespace fs = std::filesystem;
using namespace items;
using namespace metaenc;
using pst::FileTime;
using pst::NamedProperty;
namespace lid = pst::tags::lid;

namespace {

NamedProperty Lid(const pst::Guid& set, uint32_t id) {
    NamedProperty n;
    n.propertySet = set;
    n.lid = id;
    return n;
}

std::string NamedStr(const fake::FakeItem& item, const pst::Guid& set, uint32_t id) {
    auto v = item.GetNamedProp(Lid(set, id));
    if (!v) return "<absent>";
    if (auto s = std::get_if<std::string>(&*v)) return *s;
    return "<not text>";
}

std::optional<int64_t> NamedTime(const fake::FakeItem& item, const pst::Guid& set, uint32_t id) {
    auto v = item.GetNamedProp(Lid(set, id));
    if (!v) return std::nullopt;
    if (auto t = std::get_if<FileTime>(&*v)) return FileTimeToUnix(*t);
    return std::nullopt;
}

template <typename T>
std::optional<T> Named(const fake::FakeItem& item, const pst::Guid& set, uint32_t id) {
    auto v = item.GetNamedProp(Lid(set, id));
    if (!v) return std::nullopt;
    if (auto t = std::get_if<T>(&*v)) return *t;
    return std::nullopt;
}

int64_t Utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) { return CivilToUnix({y, mo, d, h, mi, s}); }

class ItemsTest : public itemstest::ConverterFixture {
protected:
    void SetUp() override {
        ConverterFixture::SetUp();
        ctx_.setStatus = [this](const std::string& s) { status_ = s; };
    }
    const fake::FakeItem& Only(int n) {
        auto& f = Folder(n);
        EXPECT_EQ(f.saved.size(), 1u);
        return *f.saved.at(0);
    }

    std::string status_;
};

const std::string kPngBytes = std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\x80\x9f\xff", 19);

std::string Base64(const std::string& in) {
    static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
        out += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], t[v & 63]};
    }
    if (i + 1 == in.size()) {
        uint32_t v = uint8_t(in[i]) << 16;
        out += {t[v >> 18], t[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == in.size()) {
        uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8);
        out += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], '='};
    }
    return out;
}

}  // namespace

// --- Contacts ----------------------------------------------------------------------

TEST_F(ItemsTest, ContactFieldsArriveWholeWithColonsEscapesAndUnicode) {
    std::string notes = "Dr. Weber: Hauptstr. 5\r\nRoom \"B\" \xE2\x80\x93 fee 10 \xE2\x82\xAC: paid \xF0\x9F\x98\x80";
    std::string path = Write("Contacts/Weber, Anna.meta",
                             ContactMeta({{"firstName", "Anna"},
                                          {"lastName", "Weber"},
                                          {"email", "anna.weber@example.de"},
                                          {"company", "Weber: Consulting"},
                                          {"companyPhone", "+49 30 100"},
                                          {"workPhone", "+49 30 101"},
                                          {"homePhone", "+49 30 102"},
                                          {"mobilePhone", "+49 170 103"},
                                          {"homeStreet", "Hauptstr. 5"},
                                          {"homeCity", "Berlin"},
                                          {"homePostalCode", "10115"},
                                          {"homeState", "BE"},
                                          {"homeCountry", "Germany"},
                                          {"homeURL", "http://example.org:8080/x"},
                                          {"jobTitle", "Engineer"},
                                          {"notes", notes}}));
    EXPECT_EQ(ConvertContactFile(ctx_, path), ItemOutcome::Saved);
    EXPECT_EQ(status_, "Converting Contacts... from (" + path + ")");
    const auto& c = Only(store::olFolderContacts);
    using namespace pst::tags;
    EXPECT_EQ(c.Str(PR_MESSAGE_CLASS), "IPM.Contact");
    EXPECT_EQ(c.Str(PR_GIVEN_NAME), "Anna");
    EXPECT_EQ(c.Str(PR_SURNAME), "Weber");
    EXPECT_EQ(c.Str(PR_DISPLAY_NAME), "Anna Weber");
    EXPECT_EQ(NamedStr(c, pst::PSETID_Address(), lid::PidLidFileUnder), "Weber, Anna");
    EXPECT_EQ(NamedStr(c, pst::PSETID_Address(), lid::PidLidEmail1EmailAddress), "anna.weber@example.de");
    EXPECT_EQ(NamedStr(c, pst::PSETID_Address(), lid::PidLidEmail1AddressType), "SMTP");
    EXPECT_EQ(NamedStr(c, pst::PSETID_Address(), lid::PidLidEmail1DisplayName), "Anna Weber (anna.weber@example.de)");
    EXPECT_EQ(NamedStr(c, pst::PSETID_Address(), lid::PidLidEmail1OriginalDisplayName), "anna.weber@example.de");
    EXPECT_EQ(c.Str(PR_COMPANY_NAME), "Weber: Consulting");
    EXPECT_EQ(c.Str(PR_COMPANY_MAIN_PHONE_NUMBER), "+49 30 100");
    EXPECT_EQ(c.Str(PR_BUSINESS_TELEPHONE_NUMBER), "+49 30 101");
    EXPECT_EQ(c.Str(PR_HOME_TELEPHONE_NUMBER), "+49 30 102");
    EXPECT_EQ(c.Str(PR_MOBILE_TELEPHONE_NUMBER), "+49 170 103");
    EXPECT_EQ(c.Str(PR_HOME_ADDRESS_STREET), "Hauptstr. 5");
    EXPECT_EQ(c.Str(PR_HOME_ADDRESS_CITY), "Berlin");
    EXPECT_EQ(c.Str(PR_HOME_ADDRESS_POSTAL_CODE), "10115");
    EXPECT_EQ(c.Str(PR_HOME_ADDRESS_STATE_OR_PROVINCE), "BE");
    EXPECT_EQ(c.Str(PR_HOME_ADDRESS_COUNTRY), "Germany");
    EXPECT_EQ(NamedStr(c, pst::PSETID_Address(), lid::PidLidHomeAddress), "Hauptstr. 5\r\nBerlin, BE 10115\r\nGermany");
    // The port survives; the "http://" removal stays.
    EXPECT_EQ(NamedStr(c, pst::PSETID_Address(), lid::PidLidHtml), "example.org:8080/x");
    EXPECT_EQ(c.Str(PR_BUSINESS_HOME_PAGE), "example.org:8080/x");
    // Zimbra's job title is the Outlook profession.
    EXPECT_EQ(c.Str(PR_PROFESSION), "Engineer");
    EXPECT_EQ(c.Str(PR_TITLE), "");
    EXPECT_EQ(c.Str(PR_BODY), notes);
    EXPECT_FALSE(c.GetProp(PR_BIRTHDAY));
}

TEST_F(ItemsTest, ContactNamesFallBackAndSecureWebPageKeepsScheme) {
    auto a = Write("Contacts/a.meta", ContactMeta({{"lastName", "Only"}, {"homeURL", "https://secure.example/p"}}));
    auto b = Write("Contacts/b.meta", ContactMeta({{"fullName", "Jo Full"}, {"email", "jo@example.org"}}));
    auto c = Write("Contacts/c.meta", ContactMeta({{"email2", "second@example.org"},
                                                   {"email3", "[\"third@example.org\",\"fourth@example.org\"]"}}));
    auto d = Write("Contacts/d.meta", ContactMeta({{"foo", "bar"}, {"homePhone", "[\"+1 555 1\",\"+1 555 2\"]"}}));
    auto e = Write("Contacts/e.meta", ContactMeta({{"company", "Acme Corp"}, {"fileAs", "8:Acme Corp - Sales"},
                                                   {"workURL", "http://acme.example:8080/sales"}}));
    auto f = Write("Contacts/f.meta", ContactMeta({{"company", "Acme"}, {"fileAs", "4"}, {"firstName", "Li"},
                                                   {"lastName", "Wu"}}));
    // A contact with a colour: its dictionary starts with "c", not with "d3:".
    auto h = Write("Contacts/h.meta", MetaJson({{"type", "6"}, {"Path", JsonQuote("/Contacts/")}},
                                               BDict({{"c", BInt(5)}, {"fld", BStrings({{"firstName", "Cora"},
                                                                                        {"email", "cora@x.org"}})},
                                                      {"v", BInt(10)}})));
    auto g = Write("Contacts/g.meta", ContactMeta({{"type", "group"}, {"nickname", "Team"}, {"fileAs", "8:Team"},
                                                   {"dlist", "\"Ann\" <ann@x.org>, bob@y.org"}}));
    for (auto& p : {a, b, c, d, e, f, g, h}) EXPECT_EQ(ConvertContactFile(ctx_, p), ItemOutcome::Saved);
    auto& saved = Folder(store::olFolderContacts).saved;
    ASSERT_EQ(saved.size(), 8u);
    EXPECT_EQ(saved[7]->Str(pst::tags::PR_GIVEN_NAME), "Cora");
    EXPECT_EQ(NamedStr(*saved[7], pst::PSETID_Address(), lid::PidLidEmail1EmailAddress), "cora@x.org");
    EXPECT_EQ(saved[6]->Str(pst::tags::PR_DISPLAY_NAME), "Team");
    EXPECT_EQ(saved[6]->Str(pst::tags::PR_BODY), "\"Ann\" <ann@x.org>\r\nbob@y.org");
    EXPECT_EQ(NamedStr(*saved[4], pst::PSETID_Address(), lid::PidLidFileUnder), "Acme Corp - Sales");
    EXPECT_EQ(NamedStr(*saved[4], pst::PSETID_Address(), lid::PidLidHtml), "acme.example:8080/sales");
    EXPECT_EQ(NamedStr(*saved[5], pst::PSETID_Address(), lid::PidLidFileUnder), "Wu, Li (Acme)");
    EXPECT_EQ(saved[5]->Str(pst::tags::PR_DISPLAY_NAME), "Li Wu");
    using namespace pst::tags;
    EXPECT_EQ(saved[0]->Str(PR_DISPLAY_NAME), "Only");
    EXPECT_EQ(NamedStr(*saved[0], pst::PSETID_Address(), lid::PidLidHtml), "https://secure.example/p");
    EXPECT_EQ(saved[1]->Str(PR_DISPLAY_NAME), "Jo Full");
    EXPECT_EQ(NamedStr(*saved[1], pst::PSETID_Address(), lid::PidLidFileUnder), "Jo Full");
    // email2 is read as itself, not as a 215-unit "email"; the addresses fill the free slots in turn.
    EXPECT_EQ(NamedStr(*saved[2], pst::PSETID_Address(), lid::PidLidEmail1EmailAddress), "second@example.org");
    EXPECT_EQ(NamedStr(*saved[2], pst::PSETID_Address(), lid::PidLidEmail2EmailAddress), "third@example.org");
    EXPECT_EQ(NamedStr(*saved[2], pst::PSETID_Address(), lid::PidLidEmail3EmailAddress), "fourth@example.org");
    EXPECT_EQ(saved[3]->Str(PR_HOME_TELEPHONE_NUMBER), "+1 555 1; +1 555 2");
    // A section with none of the keys still gives a contact.
    EXPECT_EQ(saved[3]->Str(PR_GIVEN_NAME), "");
    EXPECT_EQ(saved[3]->Str(PR_BODY), "");
}

TEST_F(ItemsTest, BirthdaysAreDatesWhateverTheLocale) {
    auto a = Write("Contacts/a.meta", ContactMeta({{"birthday", "1980-05-04"}, {"firstName", "A"}}));
    auto b = Write("Contacts/b.meta", ContactMeta({{"firstName", "B"}}));
    auto c = Write("Contacts/c.meta", ContactMeta({{"birthday", "--12-24"}, {"firstName", "C"}}));
    auto d = Write("Contacts/d.meta", ContactMeta({{"birthday", "1980-02-30"}, {"firstName", "D"}}));
    for (auto& p : {a, b, c, d}) EXPECT_EQ(ConvertContactFile(ctx_, p), ItemOutcome::Saved);
    auto& saved = Folder(store::olFolderContacts).saved;
    ASSERT_EQ(saved.size(), 4u);
    auto local = NamedTime(*saved[0], pst::PSETID_Address(), lid::PidLidBirthdayLocal);
    ASSERT_TRUE(local);
    EXPECT_EQ(*local, Utc(1980, 5, 4));
    auto bday = saved[0]->GetProp(pst::tags::PR_BIRTHDAY);
    ASSERT_TRUE(bday);
    EXPECT_EQ(FileTimeToUnix(std::get<FileTime>(*bday)), LocalToUnix({1980, 5, 4, 0, 0, 0}));
    EXPECT_FALSE(saved[1]->GetProp(pst::tags::PR_BIRTHDAY));  // nothing carried over
    auto noYear = NamedTime(*saved[2], pst::PSETID_Address(), lid::PidLidBirthdayLocal);
    ASSERT_TRUE(noYear);
    EXPECT_EQ(*noYear, Utc(1604, 12, 24));
    EXPECT_FALSE(saved[3]->GetProp(pst::tags::PR_BIRTHDAY));
}

TEST_F(ItemsTest, ContactPhotoIsTheLastImageAndItsTempFileGoes) {
    // The later image is raw 8-bit binary (as 8.x writes it): its bytes must arrive unchanged.
    std::string raw = std::string("\xFF\xD8\xFF\xE0\0\x10JFIF\0\x80\x9F\xE2\x82\xAC\xFF\xD9", 18);
    std::string companion =
        "Message-ID: <1@example>\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
        "--b1\r\nContent-Type: image/png; name=old.png\r\nContent-Disposition: attachment; filename=old.png; field=image\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\n" + Base64(kPngBytes) + "\r\n"
        "--b1\r\nContent-Type: image/jpeg; name=face.jpg\r\nContent-Disposition: attachment; filename=face.jpg; field=image\r\n"
        "Content-Transfer-Encoding: 8bit\r\n\r\n" + raw + "\r\n"
        "--b1\r\nContent-Type: application/pdf; name=cv.pdf\r\nContent-Disposition: attachment; filename=cv.pdf\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQK\r\n--b1--\r\n";
    Write("Contacts/Photo, Pia", companion);
    std::string att = BList({BDict({{"ctype", BStr("image/png")}, {"field", BStr("image")}, {"name", BStr("face.png")},
                                    {"part", BStr("2")}, {"size", BInt(20)}})});
    auto path = Write("Contacts/Photo, Pia.meta", ContactMeta({{"firstName", "Pia"}, {"lastName", "Photo"}}, att));
    EXPECT_EQ(ConvertContactFile(ctx_, path), ItemOutcome::Saved);
    const auto& c = Only(store::olFolderContacts);
    ASSERT_EQ(c.attachments.size(), 1u);
    const auto& pic = *c.attachments[0];
    EXPECT_EQ(std::string(pic.data.begin(), pic.data.end()), raw);
    EXPECT_EQ(pic.Str(pst::tags::PR_ATTACH_LONG_FILENAME), "ContactPicture.jpg");
    EXPECT_TRUE(std::get<bool>(*pic.GetProp(pst::tags::PR_ATTACHMENT_CONTACTPHOTO)));
    EXPECT_EQ(Named<bool>(c, pst::PSETID_Address(), lid::PidLidHasPicture), std::optional<bool>(true));

    // A PNG is labelled a PNG, whatever the companion's part says.
    Write("Contacts/Png, Paul",
          "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
          "--b1\r\nContent-Type: image/jpeg; name=p.jpg\r\nContent-Disposition: attachment; filename=p.jpg; field=image\r\n"
          "Content-Transfer-Encoding: base64\r\n\r\n" + Base64(kPngBytes) + "\r\n--b1--\r\n");
    auto png = Write("Contacts/Png, Paul.meta", ContactMeta({{"firstName", "Paul"}, {"lastName", "Png"}}, att));
    EXPECT_EQ(ConvertContactFile(ctx_, png), ItemOutcome::Saved);
    const auto& pngPic = *Folder(store::olFolderContacts).saved.back()->attachments.at(0);
    EXPECT_EQ(pngPic.Str(pst::tags::PR_ATTACH_LONG_FILENAME), "ContactPicture.png");
    EXPECT_EQ(pngPic.Str(pst::tags::PR_ATTACH_MIME_TAG), "image/png");
    // TearDown checks that the picture's temporary file is gone.
}

TEST_F(ItemsTest, FolderMetaUnreadableAndDamagedFilesMakeNoContact) {
    auto folder = Write("Contacts/0000000300-Friends.meta",
                        MetaJson({{"type", "1"}, {"name", JsonQuote("Friends")}, {"Path", JsonQuote("/Contacts/Friends")}},
                                 "d1:ai1e1:vi10e2:vti6ee3:xyzd3:abce"));
    auto empty = Write("Contacts/empty.meta", "");
    std::string whole = ContactMeta({{"firstName", "Cut"}});
    auto cut = Write("Contacts/cut.meta", whole.substr(0, whole.size() - 12));
    EXPECT_EQ(ConvertContactFile(ctx_, folder), ItemOutcome::NoSection);
    // An empty file is an item the export lost (cut off there): a failure, never silence.
    EXPECT_EQ(ConvertContactFile(ctx_, empty), ItemOutcome::Failed);
    EXPECT_EQ(ConvertContactFile(ctx_, root_ + "/Contacts/missing.meta"), ItemOutcome::NoSection);
    EXPECT_EQ(ConvertContactFile(ctx_, cut), ItemOutcome::Failed);
    EXPECT_EQ(Folder(store::olFolderContacts).saved.size(), 0u);
    // The converters never delete their sources.
    EXPECT_TRUE(fs::exists(folder));
    EXPECT_TRUE(fs::exists(cut));
}

TEST_F(ItemsTest, RealTruncatedExportContactsAllArrive) {
    std::string cmd = "tar -xzf '" + std::string(ORVANDEL_FIXTURES) + "/zimbra-truncated.tgz' -C '" + root_ +
                      "' >/dev/null 2>&1";
    (void)std::system(cmd.c_str());  // tar reports the cut-off end; what was complete is on disk
    std::vector<std::string> metas;
    for (auto& e : fs::recursive_directory_iterator(root_ + "/Emailed Contacts"))
        if (e.is_regular_file() && e.path().extension() == ".meta") metas.push_back(e.path().string());
    ASSERT_GT(metas.size(), 200u);
    std::sort(metas.begin(), metas.end());
    std::multiset<std::pair<std::string, std::string>> expected;  // email, first name
    std::multiset<std::string> fullNames;  // display names: the full name where Zimbra keeps one
    size_t complete = 0;
    const std::regex emailRe("5:email([0-9]+):"), firstRe("9:firstName([0-9]+):"), fullRe("8:fullName([0-9]+):");
    for (auto& m : metas) {
        std::string raw = ReadMetaText(m);
        bool whole = !raw.empty() && raw.back() == '}';
        ItemOutcome o = ConvertContactFile(ctx_, m);
        if (!whole) {
            EXPECT_NE(o, ItemOutcome::Saved) << m;
            continue;
        }
        ++complete;
        EXPECT_EQ(o, ItemOutcome::Saved) << m;
        std::smatch em, fm;
        std::string email, first;
        if (std::regex_search(raw, em, emailRe)) email = raw.substr(size_t(em.position(0) + em.length(0)), std::stoul(em[1]));
        if (std::regex_search(raw, fm, firstRe)) first = raw.substr(size_t(fm.position(0) + fm.length(0)), std::stoul(fm[1]));
        expected.emplace(email, first);
        if (std::regex_search(raw, fm, fullRe))
            fullNames.insert(raw.substr(size_t(fm.position(0) + fm.length(0)), std::stoul(fm[1])));
    }
    auto& saved = Folder(store::olFolderContacts).saved;
    EXPECT_EQ(saved.size(), complete);
    EXPECT_GE(complete, 215u);
    std::multiset<std::pair<std::string, std::string>> got;
    for (auto& c : saved) {
        std::string email = NamedStr(*c, pst::PSETID_Address(), lid::PidLidEmail1EmailAddress);
        got.emplace(email == "<absent>" ? "" : email, c->Str(pst::tags::PR_GIVEN_NAME));
        EXPECT_FALSE(c->Str(pst::tags::PR_DISPLAY_NAME).empty());
        if (auto it = fullNames.find(c->Str(pst::tags::PR_DISPLAY_NAME)); it != fullNames.end()) fullNames.erase(it);
    }
    EXPECT_EQ(got, expected);
    // "susan young" (first name "susan", no last name) keeps her full name.
    EXPECT_TRUE(fullNames.empty()) << fullNames.size() << " full names missing, e.g. " << *fullNames.begin();
}

// --- Appointments ------------------------------------------------------------------

namespace {
const std::string kDigestCompanion =
    "Message-ID: <2@example>\r\nMIME-Version: 1.0\r\nContent-Type: multipart/digest; boundary=\"outer\"\r\n\r\n"
    "--outer\r\ninvId: 401-400\r\nContent-Type: message/rfc822\r\n\r\n"
    "Date: Mon, 15 Jan 2024 09:00:00 -0500\r\nFrom: a@example.com\r\nTo: b@example.com\r\nSubject: Budget review\r\n"
    "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"inner\"\r\n\r\n"
    "--inner\r\nContent-Type: multipart/alternative; boundary=\"alt\"\r\n\r\n"
    "--alt\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"
    "Long description line 1\r\nLine 2: 10 \xE2\x82\xAC\r\n"
    "--alt\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<html><body>Long description</body></html>\r\n"
    "--alt\r\nContent-Type: text/calendar; method=PUBLISH; name=meeting.ics\r\n\r\nBEGIN:VCALENDAR\r\nEND:VCALENDAR\r\n"
    "--alt--\r\n\r\n"
    "--inner\r\nContent-Type: application/pdf; name=agenda.pdf\r\nContent-Disposition: attachment; filename=agenda.pdf\r\n"
    "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQK\r\n"
    "--inner\r\nContent-Type: text/plain; name=\"../../notes.txt\"\r\nContent-Disposition: attachment; filename=\"../../notes.txt\"\r\n\r\n"
    "attached text\r\n--inner--\r\n\r\n--outer--\r\n";
}  // namespace

TEST_F(ItemsTest, ZonedAppointmentWithColonsAndExactLineBreaks) {
    auto path = Write("Calendar/0000000400-Budget.appt.meta",
                      AppointmentMeta({{"desc", BStr("Dial-in: 10:30\r\nCode: 42")},
                                       {"descH", BStr("<p>Dial-in: 10:30<\\/p>")},
                                       {"n", BStr("Re: Budget: Q1")},
                                       {"st", BStr("TZID=America/New_York:20240115T093000")},
                                       {"et", BStr("TZID=America/New_York:20240115T103000")},
                                       {"l", BStr("Room 4: East wing")},
                                       {"fb", BStr("T")},
                                       {"cl", BStr("PRI")},
                                       {"al0", BDict({{"ac", BStr("d")}, {"tr", BStr("-PT1H15M")}, {"trd", BStr("s")}})},
                                       {"tr", BStr("O")},
                                       {"af", BInt(2)}}));
    EXPECT_EQ(ConvertCalendarFile(ctx_, path), ItemOutcome::Saved);
    EXPECT_EQ(status_, "Converting Calendars... from (" + path + ")");
    const auto& a = Only(store::olFolderCalendar);
    using namespace pst::tags;
    EXPECT_EQ(a.Str(PR_MESSAGE_CLASS), "IPM.Appointment");
    EXPECT_EQ(a.Str(PR_SUBJECT), "Re: Budget: Q1");
    EXPECT_EQ(a.Str(PR_BODY), "Dial-in: 10:30\r\nCode: 42");
    EXPECT_EQ(NamedStr(a, pst::PSETID_Appointment(), lid::PidLidLocation), "Room 4: East wing");
    EXPECT_EQ(NamedTime(a, pst::PSETID_Appointment(), lid::PidLidAppointmentStartWhole), Utc(2024, 1, 15, 14, 30));
    EXPECT_EQ(NamedTime(a, pst::PSETID_Appointment(), lid::PidLidAppointmentEndWhole), Utc(2024, 1, 15, 15, 30));
    EXPECT_EQ(NamedTime(a, pst::PSETID_Common(), lid::PidLidCommonStart), Utc(2024, 1, 15, 14, 30));
    EXPECT_EQ(FileTimeToUnix(std::get<FileTime>(*a.GetProp(PR_START_DATE))), Utc(2024, 1, 15, 14, 30));
    EXPECT_EQ(Named<int32_t>(a, pst::PSETID_Appointment(), lid::PidLidAppointmentDuration), std::optional<int32_t>(60));
    EXPECT_EQ(Named<int32_t>(a, pst::PSETID_Appointment(), lid::PidLidBusyStatus), std::optional<int32_t>(1));
    EXPECT_EQ(Named<bool>(a, pst::PSETID_Appointment(), lid::PidLidAppointmentSubType), std::optional<bool>(false));
    EXPECT_TRUE(a.attachments.empty());
    EXPECT_EQ(Named<bool>(a, pst::PSETID_Common(), lid::PidLidReminderSet), std::optional<bool>(true));
    EXPECT_EQ(Named<int32_t>(a, pst::PSETID_Common(), lid::PidLidReminderDelta), std::optional<int32_t>(75));
    // Long past: the reminder keeps its time but never signals (Outlook's dismissed state).
    EXPECT_EQ(NamedTime(a, pst::PSETID_Common(), lid::PidLidReminderTime), Utc(2024, 1, 15, 14, 30));
    EXPECT_EQ(NamedTime(a, pst::PSETID_Common(), lid::PidLidReminderSignalTime), Utc(4501, 1, 1, 0, 0));
    EXPECT_EQ(std::get<int32_t>(*a.GetProp(PR_SENSITIVITY)), 2);
}

TEST_F(ItemsTest, UtcFloatingUnknownZoneAndAllDayTimes) {
    const char* oldTz = getenv("TZ");
    std::string saved = oldTz ? oldTz : "";
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    auto p1 = Write("Calendar/1.appt.meta", AppointmentMeta({{"n", BStr("utc")}, {"st", BStr("20240115T143045Z")},
                                                             {"et", BStr("20240115T153000Z")}}));
    auto p2 = Write("Calendar/2.appt.meta", AppointmentMeta({{"n", BStr("floating")}, {"st", BStr("20240715T093000")}}));
    auto p3 = Write("Calendar/3.appt.meta",
                    AppointmentMeta({{"n", BStr("old zone")},
                                     {"st", BStr("TZID=(GMT-05.00) Eastern Time (US & Canada):20240115T093000")},
                                     {"et", BStr("TZID=(GMT-05.00) Eastern Time (US & Canada):20240115T100000")}}));
    auto p4 = Write("Calendar/4.appt.meta", AppointmentMeta({{"n", BStr("holiday")}, {"st", BStr("VALUE=DATE:20240115")},
                                                             {"et", BStr("VALUE=DATE:20240117")}}));
    for (auto& p : {p1, p2, p3, p4}) EXPECT_EQ(ConvertCalendarFile(ctx_, p), ItemOutcome::Saved);
    auto& s = Folder(store::olFolderCalendar).saved;
    ASSERT_EQ(s.size(), 4u);
    const auto& A = pst::PSETID_Appointment();
    EXPECT_EQ(NamedTime(*s[0], A, lid::PidLidAppointmentStartWhole), Utc(2024, 1, 15, 14, 30, 45));  // seconds kept
    // Floating: Berlin summer time; no end gives the store layer's 30 minutes.
    EXPECT_EQ(NamedTime(*s[1], A, lid::PidLidAppointmentStartWhole), Utc(2024, 7, 15, 7, 30));
    EXPECT_EQ(NamedTime(*s[1], A, lid::PidLidAppointmentEndWhole), Utc(2024, 7, 15, 8, 0));
    EXPECT_EQ(NamedTime(*s[2], A, lid::PidLidAppointmentStartWhole), Utc(2024, 1, 15, 8, 30));  // unknown zone: local
    EXPECT_EQ(NamedTime(*s[3], A, lid::PidLidAppointmentStartWhole), Utc(2024, 1, 14, 23, 0));
    EXPECT_EQ(NamedTime(*s[3], A, lid::PidLidAppointmentEndWhole), Utc(2024, 1, 16, 23, 0));
    EXPECT_EQ(Named<bool>(*s[3], A, lid::PidLidAppointmentSubType), std::optional<bool>(true));
    EXPECT_EQ(Named<int32_t>(*s[3], A, lid::PidLidAppointmentDuration), std::optional<int32_t>(2880));
    if (saved.empty()) unsetenv("TZ");
    else setenv("TZ", saved.c_str(), 1);
    tzset();
}

TEST_F(ItemsTest, AppointmentCompanionGivesLongDescriptionAndRealAttachmentsOnly) {
    Write("Calendar/0000000401-Budget review.appt", kDigestCompanion);
    auto path = Write("Calendar/0000000401-Budget review.appt.meta",
                      AppointmentMeta({{"n", BStr("Budget review")}, {"st", BStr("20240115T140000Z")},
                                       {"et", BStr("20240115T150000Z")}, {"af", BInt(0x82)}}));
    EXPECT_EQ(ConvertCalendarFile(ctx_, path), ItemOutcome::Saved);
    const auto& a = Only(store::olFolderCalendar);
    EXPECT_EQ(a.Str(pst::tags::PR_BODY), "Long description line 1\r\nLine 2: 10 \xE2\x82\xAC");
    ASSERT_EQ(a.attachments.size(), 2u);
    EXPECT_EQ(a.attachments[0]->Str(pst::tags::PR_ATTACH_LONG_FILENAME), "agenda.pdf");
    EXPECT_EQ(std::string(a.attachments[0]->data.begin(), a.attachments[0]->data.end()), "%PDF-1.4\n");
    EXPECT_EQ(a.attachments[0]->Str(pst::tags::PR_ATTACH_MIME_TAG), "application/pdf");
    EXPECT_EQ(a.attachments[1]->Str(pst::tags::PR_ATTACH_LONG_FILENAME), "notes.txt");
    EXPECT_FALSE(fs::exists(root_ + "/notes.txt"));
    EXPECT_FALSE(fs::exists(fs::path(tmp_).parent_path() / "notes.txt"));
}

TEST_F(ItemsTest, BigAttachmentsArriveWholeAndRepeatedInvitesAttachOnce) {
    std::string big(8 * 1024 * 1024, '\0');
    for (size_t k = 0; k < big.size(); ++k) big[k] = char((k * 2654435761u) >> 13);
    std::string b64 = Base64(big), wrapped;
    for (size_t k = 0; k < b64.size(); k += 76) wrapped += b64.substr(k, 76) + "\r\n";
    auto invite = [&](const std::string& id) {
        return "--outer\r\nContent-Type: message/rfc822\r\n\r\nSubject: Series " + id +
               "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"in" + id + "\"\r\n\r\n--in" + id +
               "\r\nContent-Type: text/plain\r\n\r\nSeries text\r\n--in" + id +
               "\r\nContent-Type: application/octet-stream; name=data.bin\r\nContent-Disposition: attachment; "
               "filename=data.bin\r\nContent-Transfer-Encoding: base64\r\n\r\n" + wrapped + "--in" + id + "--\r\n\r\n";
    };
    Write("Calendar/0000000410-Series.appt",
          "MIME-Version: 1.0\r\nContent-Type: multipart/digest; boundary=\"outer\"\r\n\r\n" + invite("1") + invite("2") +
              "--outer--\r\n");
    auto path = Write("Calendar/0000000410-Series.appt.meta", AppointmentMeta({{"n", BStr("Series")}}));
    EXPECT_EQ(ConvertCalendarFile(ctx_, path), ItemOutcome::Saved);
    const auto& a = Only(store::olFolderCalendar);
    ASSERT_EQ(a.attachments.size(), 1u);
    EXPECT_EQ(a.attachments[0]->data.size(), big.size());
    EXPECT_TRUE(std::string(a.attachments[0]->data.begin(), a.attachments[0]->data.end()) == big);
    EXPECT_EQ(a.Str(pst::tags::PR_BODY), "Series text");
}

TEST_F(ItemsTest, UpperCaseMetaNameNeverReadsItselfAsCompanion) {
    auto lone = Write("Calendar/0000000402-LONE.APPT.META", AppointmentMeta({{"n", BStr("Lone")}}));
    Write("Calendar/0000000403-PAIR.APPT", kDigestCompanion);
    auto pair = Write("Calendar/0000000403-PAIR.APPT.META", AppointmentMeta({{"n", BStr("Pair")}}));
    EXPECT_EQ(ConvertCalendarFile(ctx_, lone), ItemOutcome::Saved);
    EXPECT_EQ(ConvertCalendarFile(ctx_, pair), ItemOutcome::Saved);
    auto& s = Folder(store::olFolderCalendar).saved;
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0]->Str(pst::tags::PR_BODY), "");  // not the metadata's own text
    EXPECT_TRUE(s[0]->attachments.empty());
    EXPECT_EQ(s[1]->attachments.size(), 2u);
}

TEST_F(ItemsTest, AppointmentWithoutKeysAndFileWithoutSection) {
    auto empty = Write("Calendar/e.appt.meta", AppointmentMeta({{"x", BStr("y")}}));
    // Not an appointment (type 5) and no "/Calendar/" in it: nothing to read.
    auto other = Write("Calendar/o.appt.meta", AppointmentMeta({{"n", BStr("elsewhere")}}, 5, "/Work/"));
    EXPECT_EQ(ConvertCalendarFile(ctx_, empty), ItemOutcome::Saved);
    EXPECT_EQ(ConvertCalendarFile(ctx_, other), ItemOutcome::NoSection);
    const auto& a = Only(store::olFolderCalendar);
    EXPECT_EQ(a.Str(pst::tags::PR_SUBJECT), "");
    // An appointment of a calendar of its own ("/Work/") is one by its type.
    auto own = Write("Calendar/w.appt.meta", AppointmentMeta({{"n", BStr("in Work")}}, 11, "/Work/"));
    EXPECT_EQ(ConvertCalendarFile(ctx_, own), ItemOutcome::Saved);
    EXPECT_FALSE(NamedTime(a, pst::PSETID_Appointment(), lid::PidLidAppointmentStartWhole));
}

TEST_F(ItemsTest, RawTextWithoutJsonStillReadsWithTheOldEscapes) {
    // An older layout: bencode with its escapes as plain text and no JSON around it.
    std::string raw = "Path /Calendar/ d" + BStr("desc") + "11:a\\r\\nb\\nc:d" + BStr("n") + BStr("Raw") + "e";
    auto path = Write("Calendar/r.appt.meta", raw);
    EXPECT_EQ(ConvertCalendarFile(ctx_, path), ItemOutcome::Saved);
    const auto& a = Only(store::olFolderCalendar);
    EXPECT_EQ(a.Str(pst::tags::PR_BODY), "a\r\nb\r\nc:d");
    EXPECT_EQ(a.Str(pst::tags::PR_SUBJECT), "Raw");
}

// A series whose stated start is not on its rule (a Monday for Tuesdays and
// Thursdays): the pattern begins on the Tuesday with the COUNT less the start,
// and the start is an appointment of its own with the instance's global id.
TEST_F(ItemsTest, SeriesStartOffItsRuleIsKeptBesideTheSeries) {
    const std::string st = "TZID=America/New_York:20240304T090000";
    Entries rule = {{"dts", BStr(st)}, {"recur", BStr("FREQ=WEEKLY;COUNT=4;BYDAY=TU,TH")}, {"t", BInt(2)}};
    Entries recurrence = {{"add", BDict({{"nr", BInt(1)}, {"r0", BDict(rule)}})}, {"dts", BStr(st)}, {"t", BStr("4")}};
    auto path = Write("Calendar/off.appt.meta",
                      AppointmentMeta({{"at0", BDict({{"a", BStr("eve@example.com")}, {"ptst", BStr("AC")}})},
                                       {"et", BStr("TZID=America/New_York:20240304T100000")},
                                       {"n", BStr("Off rule")},
                                       {"recurrence", BDict(recurrence)},
                                       {"st", BStr(st)},
                                       {"u", BStr("off-uid")}}));
    std::vector<std::string> notes;
    ctx_.note = [&notes](const std::string& n) { notes.push_back(n); };
    EXPECT_EQ(ConvertCalendarFile(ctx_, path), ItemOutcome::Saved);
    auto& s = Folder(store::olFolderCalendar).saved;
    ASSERT_EQ(s.size(), 2u);
    const auto& A = pst::PSETID_Appointment();
    EXPECT_EQ(NamedTime(*s[0], A, lid::PidLidAppointmentStartWhole), Utc(2024, 3, 5, 14, 0));
    EXPECT_EQ(NamedStr(*s[0], A, lid::PidLidRecurrencePattern),
              "every Tuesday and Thursday effective 3/5/2024 until 3/12/2024 from 9:00 AM to 10:00 AM");
    EXPECT_EQ(NamedTime(*s[1], A, lid::PidLidAppointmentStartWhole), Utc(2024, 3, 4, 14, 0));
    EXPECT_EQ(NamedTime(*s[1], A, lid::PidLidAppointmentEndWhole), Utc(2024, 3, 4, 15, 0));
    EXPECT_EQ(NamedStr(*s[1], A, lid::PidLidRecurrencePattern), "<absent>");
    EXPECT_EQ(s[1]->Str(pst::tags::PR_SUBJECT), "Off rule");
    auto series = Named<pst::Binary>(*s[0], pst::PSETID_Meeting(), 0x0003);
    auto single = Named<pst::Binary>(*s[1], pst::PSETID_Meeting(), 0x0003);
    ASSERT_TRUE(series && single);
    EXPECT_EQ(*single, pst::InstanceGlobalObjectId(*series, 2024, 3, 4));
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("(3/4/2024) is not on its rule"), std::string::npos) << notes[0];
}

// A changed instance's exception carries its own attendees and reminder, under
// the instance's global object id.
TEST_F(ItemsTest, ExceptionKeepsItsAttendeesAndReminder) {
    const std::string ny = "TZID=America/New_York:";
    Entries rule = {{"dts", BStr(ny + "20240304T090000")}, {"recur", BStr("FREQ=WEEKLY;COUNT=3")}, {"t", BInt(2)}};
    Entries recurrence = {{"add", BDict({{"nr", BInt(1)}, {"r0", BDict(rule)}})}, {"t", BStr("4")}};
    auto alarm = [](const char* before) { return BDict({{"ac", BStr("d")}, {"tr", BStr(before)}, {"tt", BStr("r")}}); };
    Entries series = {{"al0", alarm("-PT15M")},
                      {"at0", BDict({{"a", BStr("eve@example.com")}})},
                      {"et", BStr(ny + "20240304T100000")},
                      {"n", BStr("Weekly")},
                      {"recurrence", BDict(recurrence)},
                      {"st", BStr(ny + "20240304T090000")},
                      {"u", BStr("weekly-uid")}};
    Entries moved = {{"al0", alarm("-PT30M")},
                     {"at0", BDict({{"a", BStr("eve@example.com")}})},
                     {"at1", BDict({{"a", BStr("max@example.com")}, {"r", BStr("OPT")}})},
                     {"et", BStr(ny + "20240311T150000")},
                     {"n", BStr("Weekly")},
                     {"rid", BDict({{"dt", BStr(ny + "20240311T090000")}, {"r", BInt(1)}})},
                     {"st", BStr(ny + "20240311T140000")},
                     {"u", BStr("weekly-uid")}};
    auto path = Write("Calendar/w.appt.meta",
                      MetaJson({{"type", "11"}, {"Path", JsonQuote("/Calendar/")}, {"id", "410"}},
                               BDict({{"inv0", BDict(series)}, {"inv1", BDict(moved)}, {"nc", BInt(2)}, {"v", BInt(10)}})));
    EXPECT_EQ(ConvertCalendarFile(ctx_, path), ItemOutcome::Saved);
    const auto& item = Only(store::olFolderCalendar);
    ASSERT_EQ(item.attachments.size(), 1u);
    ASSERT_TRUE(item.attachments[0]->embedded);
    const fake::FakeItem& e = *item.attachments[0]->embedded;
    const auto& C = pst::PSETID_Common();
    EXPECT_EQ(Named<bool>(e, C, lid::PidLidReminderSet), std::optional<bool>(true));
    EXPECT_EQ(Named<int32_t>(e, C, lid::PidLidReminderDelta), std::optional<int32_t>(30));
    EXPECT_EQ(e.recipients.size(), 2u);
    auto seriesId = Named<pst::Binary>(item, pst::PSETID_Meeting(), 0x0003);
    auto instanceId = Named<pst::Binary>(e, pst::PSETID_Meeting(), 0x0003);
    ASSERT_TRUE(seriesId && instanceId);
    EXPECT_EQ(*instanceId, pst::InstanceGlobalObjectId(*seriesId, 2024, 3, 11));
}

// A zone the time-zone database does not know is placed by the export's own
// definition of it ("tzm"): winter and summer times, and the zone's properties.
TEST_F(ItemsTest, ZoneDefinedByTheExportPlacesItsTimes) {
    const std::string tz = "(GMT-05.00) Eastern Time (US & Canada)";
    Entries def = {{"d2sr", BStr("FREQ=YEARLY;WKST=MO;INTERVAL=1;BYMONTH=11;BYDAY=1SU")},
                   {"d2ss", BStr("19710101T020000")},
                   {"do", BInt(-14400000)},
                   {"s2dr", BStr("FREQ=YEARLY;WKST=MO;INTERVAL=1;BYMONTH=3;BYDAY=2SU")},
                   {"s2ds", BStr("19710101T020000")},
                   {"so", BInt(-18000000)},
                   {"tzid", BStr(tz)}};
    const std::string tzm = BDict({{"#0", BDict(def)}, {"US/Eastern-Alias", BInt(0)}});
    auto appt = [&](const std::string& name, const std::string& zone, const std::string& day) {
        return Write("Calendar/" + name + ".appt.meta",
                     AppointmentMeta({{"n", BStr(name)},
                                      {"st", BStr("TZID=" + zone + ":" + day + "T093000")},
                                      {"et", BStr("TZID=" + zone + ":" + day + "T103000")},
                                      {"tzm", tzm}}));
    };
    // The rule holds in every year: in 2150 summer time starts on 8 March (28
    // years earlier stand in for no year past 2100), and before 1902.
    for (auto& p : {appt("winter", tz, "20240115"), appt("summer", tz, "20240715"), appt("alias", "US/Eastern-Alias", "20241104"),
                    appt("far", tz, "21500310"), appt("old", tz, "18900715")})
        EXPECT_EQ(ConvertCalendarFile(ctx_, p), ItemOutcome::Saved);
    auto& s = Folder(store::olFolderCalendar).saved;
    ASSERT_EQ(s.size(), 5u);
    const auto& A = pst::PSETID_Appointment();
    EXPECT_EQ(NamedTime(*s[0], A, lid::PidLidAppointmentStartWhole), Utc(2024, 1, 15, 14, 30));
    EXPECT_EQ(NamedTime(*s[1], A, lid::PidLidAppointmentStartWhole), Utc(2024, 7, 15, 13, 30));
    EXPECT_EQ(NamedTime(*s[2], A, lid::PidLidAppointmentStartWhole), Utc(2024, 11, 4, 14, 30));  // the day after the change
    EXPECT_EQ(NamedTime(*s[3], A, lid::PidLidAppointmentStartWhole), Utc(2150, 3, 10, 13, 30));
    EXPECT_EQ(NamedTime(*s[4], A, lid::PidLidAppointmentStartWhole), Utc(1890, 7, 15, 13, 30));
    auto tzStruct = Named<pst::Binary>(*s[1], A, lid::PidLidTimeZoneStruct);
    ASSERT_TRUE(tzStruct && tzStruct->size() == 48u);
    EXPECT_EQ((*tzStruct)[0] | ((*tzStruct)[1] << 8), 300);  // bias: UTC-5
    EXPECT_EQ((*tzStruct)[34], 3);                           // daylight from March
}

// A series begun before its zone changed its rules carries both rules, the
// current one effective, so Outlook places instances on both sides.
TEST_F(ItemsTest, SeriesAcrossAChangeOfItsZonesRulesCarriesBoth) {
    const std::string st = "TZID=America/New_York:20050601T090000";
    Entries rule = {{"dts", BStr(st)}, {"recur", BStr("FREQ=YEARLY")}, {"t", BInt(2)}};
    Entries recurrence = {{"add", BDict({{"nr", BInt(1)}, {"r0", BDict(rule)}})}, {"t", BStr("4")}};
    auto path = Write("Calendar/y.appt.meta", AppointmentMeta({{"n", BStr("Yearly")},
                                                               {"st", BStr(st)},
                                                               {"et", BStr("TZID=America/New_York:20050601T100000")},
                                                               {"recurrence", BDict(recurrence)}}));
    EXPECT_EQ(ConvertCalendarFile(ctx_, path), ItemOutcome::Saved);
    auto def = Named<pst::Binary>(Only(store::olFolderCalendar), pst::PSETID_Appointment(),
                                  lid::PidLidAppointmentTimeZoneDefinitionRecur);
    ASSERT_TRUE(def && def->size() > 8);
    const pst::Binary& d = *def;
    auto u16 = [&d](size_t at) { return at + 1 < d.size() ? d[at] | (d[at + 1] << 8) : -1; };
    const size_t header = size_t(u16(2));
    ASSERT_EQ(u16(2 + header), 2);  // cRules
    const size_t first = 4 + header, second = first + 66;
    ASSERT_EQ(d.size(), second + 66);
    EXPECT_EQ(u16(first + 6), 2005);
    EXPECT_EQ(u16(first + 4), 0);  // flags
    EXPECT_EQ(u16(second + 6), 2007);
    EXPECT_EQ(u16(second + 4), 3);  // the series' current rule
    EXPECT_EQ(u16(first + 52), 4);   // daylight from April ...
    EXPECT_EQ(u16(second + 52), 3);  // ... then from March
}

// --- Tasks -------------------------------------------------------------------------

TEST_F(ItemsTest, TaskDatesStatusBodyAndAttachments) {
    Write("Tasks/0000000500-Report.task", kDigestCompanion);
    auto path = Write("Tasks/0000000500-Report.task.meta",
                      AppointmentMeta({{"desc", BStr("Step 1: draft\r\nStep 2: send")},
                                       {"n", BStr("File: report")},
                                       {"st", BStr("VALUE=DATE:20240301")},
                                       {"et", BStr("VALUE=DATE:20240305")},
                                       {"status", BStr("COMP")},
                                       {"pctcompl", BStr("100")},
                                       {"prio", BStr("1")}},
                                      15, "/Tasks/"));
    EXPECT_EQ(ConvertTaskFile(ctx_, path), ItemOutcome::Saved);
    EXPECT_EQ(status_, "Converting Tasks... from (" + path + ")");
    const auto& t = Only(store::olFolderTasks);
    using namespace pst::tags;
    const auto& T = pst::PSETID_Task();
    EXPECT_EQ(t.Str(PR_MESSAGE_CLASS), "IPM.Task");
    EXPECT_EQ(t.Str(PR_SUBJECT), "File: report");
    EXPECT_EQ(t.Str(PR_BODY), "Step 1: draft\r\nStep 2: send");
    EXPECT_EQ(NamedTime(t, T, lid::PidLidTaskStartDate), Utc(2024, 3, 1));
    EXPECT_EQ(NamedTime(t, T, lid::PidLidTaskDueDate), Utc(2024, 3, 5));
    EXPECT_EQ(Named<int32_t>(t, T, lid::PidLidTaskStatus), std::optional<int32_t>(2));
    EXPECT_EQ(Named<bool>(t, T, lid::PidLidTaskComplete), std::optional<bool>(true));
    EXPECT_EQ(Named<double>(t, T, lid::PidLidPercentComplete), std::optional<double>(1.0));
    EXPECT_EQ(std::get<int32_t>(*t.GetProp(PR_IMPORTANCE)), 2);
    ASSERT_EQ(t.attachments.size(), 2u);
    EXPECT_EQ(t.attachments[0]->Str(PR_ATTACH_LONG_FILENAME), "agenda.pdf");
}

// A task's dates stay the days written; their instants (common start and end,
// completion) are midnights in the task's own zone.
TEST_F(ItemsTest, ZonedTaskDatesAreMidnightsOfItsZone) {
    auto path = Write("Tasks/z.task.meta", AppointmentMeta({{"n", BStr("Zoned")},
                                                            {"st", BStr("TZID=America/New_York:20240301T000000")},
                                                            {"et", BStr("TZID=America/New_York:20240310T000000")},
                                                            {"status", BStr("COMP")},
                                                            {"completed", BStr("20240312T030000Z")}},
                                                           15, "/Tasks/"));
    EXPECT_EQ(ConvertTaskFile(ctx_, path), ItemOutcome::Saved);
    const auto& t = Only(store::olFolderTasks);
    const auto& T = pst::PSETID_Task();
    const auto& C = pst::PSETID_Common();
    EXPECT_EQ(NamedTime(t, T, lid::PidLidTaskStartDate), Utc(2024, 3, 1));
    EXPECT_EQ(NamedTime(t, T, lid::PidLidTaskDueDate), Utc(2024, 3, 10));
    EXPECT_EQ(NamedTime(t, C, lid::PidLidCommonStart), Utc(2024, 3, 1, 5, 0));
    EXPECT_EQ(NamedTime(t, C, lid::PidLidCommonEnd), Utc(2024, 3, 10, 5, 0));
    // 03:00 UTC on 12 March is still 11 March in New York, on summer time by then.
    EXPECT_EQ(NamedTime(t, T, lid::PidLidTaskDateCompleted), Utc(2024, 3, 11, 4, 0));
}

TEST_F(ItemsTest, TaskWithoutDatesAndLastTokenKeys) {
    auto a = Write("Tasks/a.task.meta", AppointmentMeta({{"n", BStr("No dates")}}, 15, "/Tasks/"));
    auto c = Write("Tasks/c.task.meta", AppointmentMeta({{"n", BStr("Html only")},
                                                         {"descH", BStr("<p>Call: <b>Anna</b></p><p>Room 4</p>")}},
                                                        15, "/Tasks/"));
    auto b = Write("Tasks/b.task.meta",
                   MetaJson({{"type", "15"}, {"Path", JsonQuote("/Tasks/")}}, "d4:inv0d1:n5:Ended2:st"));
    EXPECT_EQ(ConvertTaskFile(ctx_, a), ItemOutcome::Saved);
    EXPECT_EQ(ConvertTaskFile(ctx_, b), ItemOutcome::Saved);
    EXPECT_EQ(ConvertTaskFile(ctx_, c), ItemOutcome::Saved);
    auto& s = Folder(store::olFolderTasks).saved;
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[2]->Str(pst::tags::PR_BODY), "Call: Anna\r\nRoom 4");
    EXPECT_FALSE(NamedTime(*s[0], pst::PSETID_Task(), lid::PidLidTaskStartDate));
    EXPECT_FALSE(NamedTime(*s[0], pst::PSETID_Task(), lid::PidLidTaskDueDate));
    EXPECT_EQ(Named<int32_t>(*s[0], pst::PSETID_Task(), lid::PidLidTaskStatus), std::optional<int32_t>(0));
    EXPECT_EQ(s[1]->Str(pst::tags::PR_SUBJECT), "Ended");
    EXPECT_FALSE(NamedTime(*s[1], pst::PSETID_Task(), lid::PidLidTaskStartDate));
}

// --- Notes -------------------------------------------------------------------------

TEST_F(ItemsTest, NoteSubjectIsTheWholeNameAndBodyTheWholePage) {
    std::string name = "Plans, ideas \"Q1\" & more";
    auto meta = [&](const std::string& n, const std::string& frag) {
        return MetaJson({{"type", "14"}, {"name", JsonQuote(n)}, {"subject", JsonQuote(n)},
                         {"Path", JsonQuote("/Notebook/" + n)}},
                        BDict({{"ct", BStr("text/html; charset=utf-8")}, {"f", BStr(frag)}, {"v", BInt(10)}}));
    };
    Write("Notebook/" + name + ".wiki",
          "<html><body><h1>Plans</h1><p>Step: one &amp; two</p><p>Budget 10 \xE2\x82\xAC</p></body></html>");
    auto withPage = Write("Notebook/" + name + ".wiki.meta", meta(name, "Plans Step: one"));
    auto fragOnly = Write("Notebook/Lone.wiki.meta", meta("Lone", "Only: the fragment"));
    EXPECT_EQ(ConvertNoteFile(ctx_, withPage), ItemOutcome::Saved);
    EXPECT_EQ(ConvertNoteFile(ctx_, fragOnly), ItemOutcome::Saved);
    EXPECT_EQ(status_, "Converting Notes... from (" + fragOnly + ")");
    auto& s = Folder(store::olFolderNotes).saved;
    ASSERT_EQ(s.size(), 2u);
    using namespace pst::tags;
    EXPECT_EQ(s[0]->Str(PR_MESSAGE_CLASS), "IPM.StickyNote");
    EXPECT_EQ(s[0]->Str(PR_SUBJECT), name);
    EXPECT_EQ(s[0]->Str(PR_BODY), "Plans\r\nStep: one & two\r\nBudget 10 \xE2\x82\xAC");
    EXPECT_EQ(Named<int32_t>(*s[0], pst::PSETID_Note(), lid::PidLidNoteColor), std::optional<int32_t>(3));
    EXPECT_EQ(s[1]->Str(PR_SUBJECT), "Lone");
    EXPECT_EQ(s[1]->Str(PR_BODY), "Only: the fragment");
}

// --- Property puts -----------------------------------------------------------------

TEST(ItemPut, UnknownNamesAndWrongTypesAreRefused) {
    fake::FakeFolder folder("Calendar");
    auto item = folder.AddItem(store::ItemType::Appointment);
    EXPECT_THROW(item->Put("NoSuchProperty", std::string("x")), store::StoreError);
    EXPECT_THROW(item->Put("Start", std::string("01/15/2024")), store::StoreError);
    item->Put("Start", UnixToFileTime(Utc(2024, 1, 15, 9, 0)));
    item->Put("End", UnixToFileTime(Utc(2024, 1, 15, 9, 45)));
    auto& fi = static_cast<fake::FakeItem&>(*item);
    EXPECT_EQ(Named<int32_t>(fi, pst::PSETID_Appointment(), lid::PidLidAppointmentDuration), std::optional<int32_t>(45));
    EXPECT_THROW(item->AttachmentsAdd("/nonexistent/file.pdf"), store::StoreError);
    EXPECT_EQ(item->AttachmentCount(), 0u);
}
