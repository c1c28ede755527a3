// Zimbra contact groups as Outlook distribution lists, over the in-memory
// store: the "dlist" member syntax, the member properties and their checksum,
// empty and large groups, companion attachments, and ordinary contacts left
// as they were.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "../support/FakeStore.h"
#include "ConverterFixture.h"
#include "MetaEncoding.h"
#include "items/ContactGroups.h"
#include "items/ZimbraConverters.h"

namespace fs = std::filesystem;
using namespace items;
using namespace metaenc;
using pst::Binary;
namespace lid = pst::tags::lid;

namespace {

pst::NamedProperty Address(uint32_t id) {
    pst::NamedProperty n;
    n.propertySet = pst::PSETID_Address();
    n.lid = id;
    return n;
}

std::vector<Binary> MultiBinary(const fake::FakeItem& item, uint32_t id) {
    auto v = item.GetNamedProp(Address(id));
    if (!v) return {};
    auto list = std::get_if<std::vector<Binary>>(&*v);
    return list ? *list : std::vector<Binary>{};
}

// [MS-OXCDATA] 2.2.5.1 read by hand: flags, provider UID, version, flags, then
// display name, address type and address as NUL-terminated UTF-16LE strings.
struct OneOff {
    std::string name, type, address;
    bool ok = false;
};
OneOff ReadOneOff(const Binary& id) {
    static const uint8_t kOneOffUid[16] = {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
                                           0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
    OneOff r;
    if (id.size() < 24 || !std::equal(kOneOffUid, kOneOffUid + 16, id.begin() + 4)) return r;
    if (!(id[23] & 0x80)) return r;  // Unicode strings
    size_t pos = 24;
    std::string* fields[] = {&r.name, &r.type, &r.address};
    for (std::string* f : fields) {
        std::u16string s;
        for (;; pos += 2) {
            if (pos + 1 >= id.size()) return r;
            char16_t c = char16_t(id[pos] | (id[pos + 1] << 8));
            if (c == 0) break;
            s += c;
        }
        pos += 2;
        *f = Utf16ToUtf8(s);
    }
    r.ok = pos == id.size();
    return r;
}

// CRC-32 of ISO/IEC 8802-3, bit by bit, register starting at zero and no final
// inversion, over the members one after the other: the form Outlook writes
// (checked against an Outlook-made list below).
uint32_t Crc32NoInversion(const std::vector<Binary>& members) {
    uint32_t crc = 0;
    for (const Binary& m : members)
        for (uint8_t byte : m) {
            crc ^= byte;
            for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    return crc;
}

Binary FromHex(const std::string& hex) {
    Binary out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::vector<std::string> Names(const std::vector<GroupMember>& members) {
    std::vector<std::string> out;
    for (const auto& m : members) out.push_back(m.name + " <" + m.address + ">");
    return out;
}

using Strings = std::vector<std::string>;

class DistListTest : public itemstest::ConverterFixture {
protected:
    std::vector<std::shared_ptr<fake::FakeItem>>& Contacts() { return Folder(store::olFolderContacts).saved; }
};

}  // namespace

TEST(GroupMembers, CommaSeparatedFormsQuotesAndAngleBrackets) {
    // Commas inside quotes and angle brackets do not separate; spaces around go.
    EXPECT_EQ(Names(ParseGroupMembers("\"Doe, Jane\" <jane@x.org>,bob@y.org ,  Carl Sun <carl@z.org>  ,"
                                      "\"Bo \\\"B\\\" Lee\" <bo@x.org>, <bare@x.org>")),
              (Strings{"Doe, Jane <jane@x.org>", "bob@y.org <bob@y.org>", "Carl Sun <carl@z.org>",
                       "Bo \"B\" Lee <bo@x.org>", "bare@x.org <bare@x.org>"}));
    // An unquoted name with a comma stays one member.
    EXPECT_EQ(Names(ParseGroupMembers("Doe, Jane <jane@x.org>, ann@x.org")),
              (Strings{"Doe, Jane <jane@x.org>", "ann@x.org <ann@x.org>"}));
    // The body text is each member as written.
    auto m = ParseGroupMembers(" \"Doe, Jane\" <jane@x.org> , bob@y.org");
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].text, "\"Doe, Jane\" <jane@x.org>");
    EXPECT_EQ(m[1].text, "bob@y.org");
}

TEST(GroupMembers, JsonArrayDuplicatesEmptiesAndNonAscii) {
    EXPECT_EQ(Names(ParseGroupMembers("[\"ann@x.org\",\"\\\"Lee, Bo\\\" <bo@y.org>\", \"cy@z.org\"]")),
              (Strings{"ann@x.org <ann@x.org>", "Lee, Bo <bo@y.org>", "cy@z.org <cy@z.org>"}));
    // The same address again (letter case aside) is dropped; the first name stays.
    EXPECT_EQ(Names(ParseGroupMembers("\"Ann\" <ann@x.org>, ANN@X.ORG, Other <Ann@x.org>, bo@x.org")),
              (Strings{"Ann <ann@x.org>", "bo@x.org <bo@x.org>"}));
    EXPECT_TRUE(ParseGroupMembers("").empty());
    EXPECT_TRUE(ParseGroupMembers(" , ,, ").empty());
    EXPECT_TRUE(ParseGroupMembers("[]").empty());
    const std::string mueller = "M\xC3\xBC" "ller, J\xC3\xBC" "rgen";            // Müller, Jürgen
    const std::string yamada = "\xE5\xB1\xB1\xE7\x94\xB0 \xE5\xA4\xAA\xE9\x83\x8E";  // 山田 太郎
    EXPECT_EQ(Names(ParseGroupMembers("\"" + mueller + "\" <j@x.de>, " + yamada + " <y@x.jp>")),
              (Strings{mueller + " <j@x.de>", yamada + " <y@x.jp>"}));
}

// The test's own checksum agrees with one Outlook wrote: the three members
// (a contact's wrapped entry ID and two one-off entry IDs) of the list in
// shared/tools/testdata/dist-list.pst and its PidLidDistributionListChecksum.
TEST(GroupMembers, ReferenceChecksumMatchesAnOutlookList) {
    std::vector<Binary> outlook = {
        FromHex("00000000c091add3519dcf11a4a900aa0047faa4c300000000a41d63dbc53b8e4ab8071e15e55750ce64002000"),
        FromHex("00000000812b1fa4bea310199d6e00dd010f540200000180640069007300740020006e0061006d0065002000310000"
                "0053004d0054005000000064006900730074003100400072006a006f0068006e0073006f006e002e00690064002e00"
                "610075000000"),
        FromHex("00000000812b1fa4bea310199d6e00dd010f540200000180640069007300740020006e0061006d0065002000320000"
                "0053004d0054005000000064006900730074003200400072006a006f0068006e0073006f006e002e00690064002e00"
                "610075000000")};
    EXPECT_EQ(Crc32NoInversion(outlook), 0xFAA61F37u);
}

TEST_F(DistListTest, GroupBecomesDistListWithMembersAndChecksum) {
    const std::string mueller = "M\xC3\xBC" "ller, J\xC3\xBC" "rgen";
    auto meta = MetaJson({{"type", "6"}, {"Path", JsonQuote("/Contacts/")}, {"TagNames", JsonQuote("Work:A, B")}},
                         BDict({{"fld", BStrings({{"type", "group"}, {"nickname", "Team"}, {"fileAs", "8:Team: Core"},
                                                  {"notes", "Weekly"},
                                                  {"dlist", "\"" + mueller + "\" <j@x.de>, bob@y.org,\"Ann\" <ann@x.org>, BOB@y.org"}})},
                                {"v", BInt(10)}}));
    ASSERT_EQ(ConvertContactFile(ctx_, Write("Contacts/Team.meta", meta)), ItemOutcome::Saved);
    ASSERT_EQ(Contacts().size(), 1u);
    const auto& dl = *Contacts()[0];
    using namespace pst::tags;
    EXPECT_EQ(dl.Str(PR_MESSAGE_CLASS), "IPM.DistList");
    EXPECT_EQ(dl.Str(PR_SUBJECT), "Team: Core");
    EXPECT_EQ(dl.Str(PR_DISPLAY_NAME), "Team: Core");
    EXPECT_EQ(std::get<std::string>(*dl.GetNamedProp(Address(lid::PidLidDistributionListName))), "Team: Core");
    EXPECT_EQ(std::get<std::string>(*dl.GetNamedProp(Address(lid::PidLidFileUnder))), "Team: Core");
    EXPECT_EQ(std::get<int32_t>(*dl.GetNamedProp(Address(lid::PidLidFileUnderId))), -1);  // not used on a list
    EXPECT_EQ(std::get<int32_t>(*dl.GetProp(PR_ICON_INDEX)), 0x202);
    EXPECT_EQ(dl.Str(PR_BODY), "Weekly\r\n\r\n\"" + mueller + "\" <j@x.de>\r\nbob@y.org\r\n\"Ann\" <ann@x.org>");

    auto members = MultiBinary(dl, lid::PidLidDistributionListMembers);
    auto oneOffs = MultiBinary(dl, lid::PidLidDistributionListOneOffMembers);
    ASSERT_EQ(members.size(), 3u);
    EXPECT_EQ(oneOffs, members);  // one-off members stand in both lists, in the same order
    const std::pair<std::string, std::string> want[] = {{mueller, "j@x.de"}, {"bob@y.org", "bob@y.org"}, {"Ann", "ann@x.org"}};
    for (size_t k = 0; k < 3; ++k) {
        OneOff o = ReadOneOff(members[k]);
        EXPECT_TRUE(o.ok) << k;
        EXPECT_EQ(o.name, want[k].first);
        EXPECT_EQ(o.type, "SMTP");
        EXPECT_EQ(o.address, want[k].second);
    }
    auto checksum = dl.GetNamedProp(Address(lid::PidLidDistributionListChecksum));
    ASSERT_TRUE(checksum);
    EXPECT_EQ(uint32_t(std::get<int32_t>(*checksum)), Crc32NoInversion(members));
    // The tags arrive as categories, each whole.
    pst::NamedProperty keywords;
    keywords.propertySet = pst::PS_PUBLIC_STRINGS();
    keywords.isString = true;
    keywords.name = "Keywords";
    auto cats = dl.GetNamedProp(keywords);
    ASSERT_TRUE(cats);
    EXPECT_EQ(std::get<std::vector<std::string>>(*cats), (Strings{"Work", "A, B"}));
}

TEST_F(DistListTest, EmptyGroupNameFallbacksAndOrdinaryContacts) {
    // No members: still a (named) distribution list, without member properties.
    auto empty = ContactMeta({{"type", "group"}, {"nickname", "Nobody yet"}});
    // No name fields at all: the export's file-as string ("sender") names it.
    auto unnamed = MetaJson({{"type", "6"}, {"Path", JsonQuote("/Contacts/")}, {"sender", JsonQuote("Old friends")}},
                            BDict({{"fld", BStrings({{"type", "group"}, {"dlist", "a@x.org"}})}, {"v", BInt(10)}}));
    // An ordinary contact, and one with a member list but no group type, stay contacts.
    auto person = ContactMeta({{"firstName", "Ann"}, {"lastName", "Lee"}, {"email", "ann@x.org"}});
    auto listed = ContactMeta({{"fullName", "Listy"}, {"dlist", "\"Doe, Jane\" <jane@x.org>, b@y.org"}});
    const std::vector<std::pair<std::string, std::string>> files = {{"e", empty}, {"u", unnamed}, {"p", person}, {"l", listed}};
    for (const auto& [name, text] : files)
        EXPECT_EQ(ConvertContactFile(ctx_, Write("Contacts/" + name + ".meta", text)), ItemOutcome::Saved);
    auto& saved = Contacts();
    ASSERT_EQ(saved.size(), 4u);
    using namespace pst::tags;
    EXPECT_EQ(saved[0]->Str(PR_MESSAGE_CLASS), "IPM.DistList");
    EXPECT_EQ(saved[0]->Str(PR_SUBJECT), "Nobody yet");
    EXPECT_FALSE(saved[0]->GetNamedProp(Address(lid::PidLidDistributionListMembers)));
    EXPECT_FALSE(saved[0]->GetNamedProp(Address(lid::PidLidDistributionListOneOffMembers)));
    EXPECT_EQ(saved[0]->Str(PR_BODY), "");
    EXPECT_EQ(saved[1]->Str(PR_MESSAGE_CLASS), "IPM.DistList");
    EXPECT_EQ(saved[1]->Str(PR_DISPLAY_NAME), "Old friends");
    EXPECT_EQ(MultiBinary(*saved[1], lid::PidLidDistributionListMembers).size(), 1u);
    EXPECT_EQ(saved[2]->Str(PR_MESSAGE_CLASS), "IPM.Contact");
    EXPECT_EQ(saved[2]->Str(PR_DISPLAY_NAME), "Ann Lee");
    EXPECT_FALSE(saved[2]->GetNamedProp(Address(lid::PidLidDistributionListMembers)));
    EXPECT_EQ(saved[3]->Str(PR_MESSAGE_CLASS), "IPM.Contact");
    EXPECT_EQ(saved[3]->Str(PR_BODY), "\"Doe, Jane\" <jane@x.org>\r\nb@y.org");
    EXPECT_FALSE(saved[3]->GetNamedProp(Address(lid::PidLidDistributionListMembers)));
}

TEST_F(DistListTest, LargeGroupKeepsPropertiesUnderTheLimitAndEveryMemberInTheBody) {
    std::string dlist;
    for (int k = 0; k < 400; ++k) dlist += (k ? ", " : "") + std::string("\"Member ") + std::to_string(k) +
                                          "\" <member" + std::to_string(k) + "@example.org>";
    ASSERT_EQ(ConvertContactFile(ctx_, Write("Contacts/Big.meta", ContactMeta({{"type", "group"}, {"nickname", "Big"},
                                                                              {"dlist", dlist}}))),
              ItemOutcome::Saved);
    const auto& dl = *Contacts().at(0);
    auto members = MultiBinary(dl, lid::PidLidDistributionListMembers);
    size_t bytes = 0;
    for (const auto& m : members) bytes += m.size();
    EXPECT_LT(bytes, kDistListMemberBytes);
    EXPECT_GT(members.size(), 100u);
    EXPECT_LT(members.size(), 400u);
    EXPECT_EQ(ReadOneOff(members.back()).address,
              "member" + std::to_string(members.size() - 1) + "@example.org");  // the first ones, in order
    EXPECT_EQ(uint32_t(std::get<int32_t>(*dl.GetNamedProp(Address(lid::PidLidDistributionListChecksum)))),
              Crc32NoInversion(members));
    std::string body = dl.Str(pst::tags::PR_BODY);
    EXPECT_NE(body.find("\"Member 0\" <member0@example.org>\r\n"), std::string::npos);
    EXPECT_NE(body.find("\r\n\"Member 399\" <member399@example.org>"), std::string::npos);
}

TEST_F(DistListTest, CompanionAttachmentsStillAttach) {
    std::string companion =
        "Message-ID: <1@example>\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
        "--b1\r\nContent-Type: application/pdf; name=plan.pdf\r\nContent-Disposition: attachment; filename=plan.pdf\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQK\r\n--b1--\r\n";
    Write("Contacts/Crew", companion);
    std::string att = BList({BDict({{"ctype", BStr("application/pdf")}, {"field", BStr("file")},
                                    {"name", BStr("plan.pdf")}, {"part", BStr("1")}, {"size", BInt(9)}})});
    auto path = Write("Contacts/Crew.meta", ContactMeta({{"type", "group"}, {"nickname", "Crew"},
                                                         {"dlist", "a@x.org"}}, att));
    ASSERT_EQ(ConvertContactFile(ctx_, path), ItemOutcome::Saved);
    const auto& dl = *Contacts().at(0);
    EXPECT_EQ(dl.Str(pst::tags::PR_MESSAGE_CLASS), "IPM.DistList");
    ASSERT_EQ(dl.attachments.size(), 1u);
    EXPECT_EQ(dl.attachments[0]->Str(pst::tags::PR_ATTACH_LONG_FILENAME), "plan.pdf");
    EXPECT_EQ(std::string(dl.attachments[0]->data.begin(), dl.attachments[0]->data.end()), "%PDF-1.4\n");
    // TearDown checks the companion's temporary files are gone.
}

// The current group form: "groupMember" is a metadata text of its own listing
// inline addresses, contacts by id and global address list entries by DN.
TEST_F(DistListTest, ReferencedMembersResolveThroughTheExportsContacts) {
    auto contact = [&](const std::string& rel, const std::string& id, const Entries& fields) {
        return Write(rel, MetaJson({{"type", "6"}, {"id", id}, {"Path", JsonQuote("/Contacts/")}},
                                   BDict({{"fld", BDict(fields)}, {"v", BInt(10)}})));
    };
    ContactDirectory directory;
    ASSERT_TRUE(directory.Add(contact("Contacts/Doe, Jane.meta", "258",
                                      {{"email", BStr("jane@example.com")}, {"firstName", BStr("Jane")},
                                       {"lastName", BStr("Doe")}})));
    ASSERT_TRUE(directory.Add(contact("Contacts/Nomail.meta", "259", {{"fullName", BStr("No Mail")}})));
    // A group in the group, which names the first group again (a cycle) and Jane once more.
    const std::string inner = BDict({{"m", BList({BDict({{"t", BStr("I")}, {"v", BStr("Ann <ann@example.com>")}}),
                                                  BDict({{"t", BStr("C")}, {"v", BStr("261")}}),
                                                  BDict({{"t", BStr("C")}, {"v", BStr("258")}})})},
                                     {"v", BInt(10)}});
    ASSERT_TRUE(directory.Add(contact("Contacts/Inner.meta", "260",
                                      {{"fileAs", BStr("8:Inner")}, {"groupMember", BStr(inner)}, {"type", BStr("group")}})));
    const std::string outer = BDict({{"m", BList({BDict({{"t", BStr("I")}, {"v", BStr("\"Roe, Rick\" <rick@example.com>")}}),
                                                  BDict({{"t", BStr("C")}, {"v", BStr("258")}}),
                                                  BDict({{"t", BStr("C")}, {"v", BStr("260")}}),
                                                  BDict({{"t", BStr("C")}, {"v", BStr("259")}}),
                                                  BDict({{"t", BStr("C")}, {"v", BStr("999")}}),
                                                  BDict({{"t", BStr("G")}, {"v", BStr("uid=bob,ou=people,dc=example,dc=com")}})})},
                                     {"v", BInt(10)}});
    const std::string outerPath = contact("Contacts/Outer.meta", "261",
                                          {{"fileAs", BStr("8:Outer")}, {"groupMember", BStr(outer)}, {"type", BStr("group")}});
    ASSERT_TRUE(directory.Add(outerPath));
    EXPECT_FALSE(directory.Resolve("999"));
    // Each contact and group once, whatever the cycle.
    EXPECT_EQ(Names(*directory.Resolve("260")), (Strings{"Ann <ann@example.com>", "Roe, Rick <rick@example.com>",
                                                         "Jane Doe <jane@example.com>", "No Mail <>"}));

    std::vector<std::string> notes;
    ctx_.note = [&](const std::string& t) { notes.push_back(t); };
    ctx_.resolveContact = [&](const std::string& id) { return directory.Resolve(id); };
    ASSERT_EQ(ConvertContactFile(ctx_, outerPath), ItemOutcome::Saved);
    ASSERT_EQ(Contacts().size(), 1u);
    const auto& dl = *Contacts()[0];
    std::vector<std::string> got;
    for (const Binary& b : MultiBinary(dl, lid::PidLidDistributionListMembers)) {
        OneOff o = ReadOneOff(b);
        got.push_back(o.name + " <" + o.address + ">");
    }
    // Each address once, in the order the members were added.
    EXPECT_EQ(got, (Strings{"Roe, Rick <rick@example.com>", "Jane Doe <jane@example.com>", "Ann <ann@example.com>"}));
    EXPECT_EQ(dl.Str(pst::tags::PR_BODY),
              "\"Roe, Rick\" <rick@example.com>\r\nJane Doe <jane@example.com>\r\nAnn <ann@example.com>\r\n"
              "No Mail (no e-mail address)\r\ncontact 999 (not in the export)\r\n"
              "global address list entry uid=bob,ou=people,dc=example,dc=com (not in the export)");
    EXPECT_EQ(notes, (Strings{"group member without an e-mail address, kept by name: No Mail",
                              "group member not in the export, kept by name: contact 999",
                              "group member not in the export, kept by name: global address list entry "
                              "uid=bob,ou=people,dc=example,dc=com"}));
}
