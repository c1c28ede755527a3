// The exact inputs that once broke a parser, each kept as a test of its fix.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "Contract.h"
#include "items/Companion.h"
#include "items/GlobalObjectId.h"
#include "items/ItemText.h"
#include "items/MetaValue.h"
#include "items/TempFiles.h"
#include "items/ZimbraTime.h"
#include "items/MessageState.h"
#include "items/ZimbraConverters.h"
#include "items/ZimbraMetaReader.h"
#include "mime/MimeImport.h"

using namespace items;
using fuzz::IsValidUtf8;

namespace {

// A ".meta" file with bytes that are no UTF-8 passed them on: a tag name or a
// page name holding them reached the store as text that is not UTF-8.
TEST(Regression, JsonStringWithInvalidUtf8GivesValidText) {
    EXPECT_EQ(ResolveJsonEscapes("\xF4\x90\x80\x80\\uDBFF\\uD800\\\xF4\x90\x80\x80"),
              "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\\\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(ResolveJsonEscapes("caf\xC3\xA9 \xC3"), "caf\xC3\xA9 \xEF\xBF\xBD");
    MetaFile f = ParseMetaFile("{\"TagNames\":\"Work:Caf\xE9\",\"date\":17\xFF}");
    ASSERT_TRUE(f.isJson);
    EXPECT_EQ(*f.Member("TagNames"), "Work:Caf\xEF\xBF\xBD");
    EXPECT_EQ(*f.Member("date"), "17\xEF\xBF\xBD");
    MessageState state = MessageStateFromMeta(f);
    ASSERT_EQ(state.categories.size(), 2u);
    EXPECT_TRUE(IsValidUtf8(state.categories[1]));
}

// The bencode lengths count UTF-16 units of the decoded text; an invalid byte
// counts as one U+FFFD whether or not it went through the JSON escapes, so the
// value after it is still cut where it should be.
TEST(Regression, InvalidByteKeepsBencodeLengths) {
    MetaFile f = ParseMetaFile("{\"type\":6,\"metadata\":\"d3:\\u00e9d9:firstName3:a\xFF" "b8:lastName3:Roee\"}");
    auto text = MetaScanText(f, "d3:");
    ASSERT_TRUE(text);
    std::string first, last;
    std::vector<MetaKeyRule> rules(2);
    rules[0].key = "firstName";
    rules[0].target = &first;
    rules[1].key = "lastName";
    rules[1].target = &last;
    ScanMetaTokens(*text, MetaTokens(*text), rules);
    EXPECT_EQ(first, "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(last, "Roe");
}

}  // namespace

namespace {

// DecodeToUtf8 with a charset before any companion was read looked the
// charset up in GMime's table before GMime was set up: GLib criticals, a
// leak per call, and the charset's iconv name never found.
TEST(Regression, DecodeToUtf8BeforeAnyCompanion) {
    std::vector<uint8_t> latin1 = {'c', 'a', 'f', 0xE9};
    EXPECT_EQ(DecodeToUtf8(latin1, "latin1"), "caf\xC3\xA9");
    std::vector<uint8_t> korean = {0xC7, 0xD1, 0xB1, 0xB9};  // a name only GMime's table knows
    EXPECT_EQ(DecodeToUtf8(korean, "ks_c_5601-1987"), "\xED\x95\x9C\xEA\xB5\xAD");
}

}  // namespace

namespace {

std::string WriteTemp(const fuzz::ScratchDir& dir, const std::string& bytes) {
    std::string path = dir.path() + "/m.eml";
    fuzz::WriteAll(path, bytes);
    return path;
}

// A header name holding an 8-bit byte went into the transport headers as it
// stood: the item's header block was no valid UTF-8.
TEST(Regression, EightBitHeaderNameInTransportHeaders) {
    fuzz::ScratchDir dir;
    std::string path = WriteTemp(dir, "From: a@b\r\nMIM\xD5-Version: 1.0\r\nSubject: s\r\n\r\nbody\r\n");
    fake::FakeFolder folder("Inbox");
    auto it = folder.AddItem(store::ItemType::Mail);
    auto& item = static_cast<fake::FakeItem&>(*it);
    ASSERT_TRUE(mime::ImportMessage(item, path).ok);
    std::string block = item.Str(pst::tags::PR_TRANSPORT_MESSAGE_HEADERS);
    EXPECT_TRUE(IsValidUtf8(block));
    EXPECT_NE(block.find("MIM\xEF\xBF\xBD-Version: 1.0"), std::string::npos) << block;
    EXPECT_EQ(item.Str(pst::tags::PR_SUBJECT), "s");
}

// An RFC 2231 file name whose bytes are no UTF-8 became a companion part's
// name as it stood.
TEST(Regression, CompanionFileNameOfInvalidBytes) {
    fuzz::ScratchDir dir;
    std::string path = WriteTemp(dir,
        "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: application/x; name=\"=?utf-8?B?####?=\"\r\n"
        "Content-Disposition: attachment; filename*0*=utf-8''%FF%FE; filename*1*=%ED%A0%80; filename*2=\"=?utf-8?B?####?=\"\r\n"
        "\r\ndata\r\n--b--\r\n");
    CompanionContent content = ReadCompanion(path);
    ASSERT_TRUE(content.parsed);
    ASSERT_EQ(content.attachments.size(), 1u);
    EXPECT_TRUE(IsValidUtf8(content.attachments[0].fileName)) << fuzz::Printable(content.attachments[0].fileName);
    EXPECT_EQ(content.attachments[0].size, 4u);
}

}  // namespace

namespace {

// A zoned time early on 1601-01-01 lies before the first instant a FILETIME
// holds; the negative count wrapped round to a time tens of thousands of
// years ahead (TZID=Asia/Tokyo:16010101T000000 as an appointment's start).
TEST(Regression, TimeBefore1601DoesNotWrap) {
    auto start = ParseZimbraDateTime("TZID=Asia/Tokyo:16010101T000000");
    ASSERT_TRUE(start);
    pst::FileTime ft = UnixToFileTime(ZimbraToUnix(*start));
    EXPECT_EQ(ft.value, 0u);
    EXPECT_EQ(UnixToFileTime(CivilToUnix({1600, 12, 31, 0, 0, 0})).value, 0u);
    EXPECT_EQ(UnixToFileTime(CivilToUnix({9999, 12, 31, 23, 59, 59}) + 86400).value,
              UnixToFileTime(CivilToUnix({9999, 12, 31, 23, 59, 59})).value);
    EXPECT_EQ(FileTimeToUnix(UnixToFileTime(CivilToUnix({2024, 2, 29, 12, 0, 0}))), CivilToUnix({2024, 2, 29, 12, 0, 0}));
}

}  // namespace

namespace {

// A companion whose parts all carry one file name: each part tried every
// name in use before its own, 6000 parts took most of a minute, and parts
// beyond the 10000th were dropped.
TEST(Regression, CompanionWithManyPartsOfOneName) {
    fuzz::ScratchDir dir;
    std::string msg = "Subject: many\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n";
    for (int k = 0; k < 12000; ++k)
        msg += "--b\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment; filename=a.txt\r\n\r\n" +
               std::to_string(k) + "\r\n";
    msg += "--b--\r\n";
    std::string path = WriteTemp(dir, msg);
    CompanionContent content = ReadCompanion(path);
    ASSERT_EQ(content.attachments.size(), 12000u);
    EXPECT_EQ(std::filesystem::path(content.attachments[0].savedPath).filename(), "a.txt");
    EXPECT_EQ(std::filesystem::path(content.attachments[1].savedPath).filename(), "a (2).txt");
    EXPECT_EQ(std::filesystem::path(content.attachments[11999].savedPath).filename(), "a (12000).txt");
    EXPECT_EQ(content.attachments[11999].fileName, "a.txt");
}

}  // namespace

namespace {

// An extracted export may hold a named pipe, or a link to a device, where a
// ".meta" file, a companion or a message should be: opening a pipe waited
// forever for a writer, and a link to /dev/zero was read until memory ran out.
// Only regular files are read; the rest counts as missing.
TEST(Regression, PipesAndDevicesAreNeverRead) {
    fuzz::ScratchDir dir;
    namespace fs = std::filesystem;
    const std::string sample = ORVANDEL_SAMPLE_EXPORT "/alice";
    fs::copy_file(sample + "/Calendar/0000000291-Design review.appt.meta", dir.path() + "/x.appt.meta");
    ASSERT_EQ(mkfifo((dir.path() + "/x.appt").c_str(), 0600), 0);
    fs::copy_file(sample + "/Notebook/Meeting Notes.wiki.meta", dir.path() + "/n.wiki.meta");
    fs::create_symlink("/dev/zero", dir.path() + "/n.wiki");
    ASSERT_EQ(mkfifo((dir.path() + "/f.task.meta").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((dir.path() + "/m.eml").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((dir.path() + "/m.eml.meta").c_str(), 0600), 0);

    fake::FakeSession session;
    session.LogonPstStore(dir.path() + "/x.pst", 1, "Mailbox");
    session.st->ValidateIPMTree();
    ItemContext ctx;
    ctx.session = &session;
    ctx.storeEntryID = session.st->EntryID();

    EXPECT_FALSE(IsExistingFile(dir.path() + "/x.appt"));
    EXPECT_FALSE(IsExistingFile(dir.path() + "/n.wiki"));
    EXPECT_EQ(ConvertCalendarFile(ctx, dir.path() + "/x.appt.meta"), ItemOutcome::Saved);
    EXPECT_EQ(ConvertNoteFile(ctx, dir.path() + "/n.wiki.meta"), ItemOutcome::Saved);
    auto& notes = static_cast<fake::FakeFolder&>(session.st->GetDefaultFolder(store::olFolderNotes));
    ASSERT_EQ(notes.saved.size(), 1u);
    EXPECT_FALSE(notes.saved[0]->Str(pst::tags::PR_BODY).empty());  // the fragment of the metadata
    EXPECT_NE(ConvertTaskFile(ctx, dir.path() + "/f.task.meta"), ItemOutcome::Saved);
    EXPECT_EQ(ReadMetaText(dir.path() + "/f.task.meta"), "");
    EXPECT_FALSE(ReadMessageState(dir.path() + "/m.eml.meta").known);
    fake::FakeFolder inbox("Inbox");
    auto item = inbox.AddItem(store::ItemType::Mail);
    EXPECT_FALSE(mime::ImportMessage(*item, dir.path() + "/m.eml").ok);
}

}  // namespace

namespace {

// A TagNames value of many different names: each name was looked for among
// all names before it, so 200000 names took minutes.
TEST(Regression, ManyTagNamesSplitWhole) {
    std::string names;
    for (int k = 0; k < 200000; ++k) names += "t" + std::to_string(k) + ":";
    names += "t5:t7";
    auto split = SplitTagNames(names);
    ASSERT_EQ(split.size(), 200000u);
    EXPECT_EQ(split[0], "t0");
    EXPECT_EQ(split.back(), "t199999");
}

}  // namespace

namespace {

// A contact's web page of many "http://" in a row: each one removed moved
// the rest of the text, so a value of a megabyte took minutes.
TEST(Regression, WebPageOfManyPrefixes) {
    fuzz::ScratchDir dir;
    std::string url;
    for (int k = 0; k < 150000; ++k) url += "http://";
    url += "example.com";
    std::string meta = "{\"type\":6,\"metadata\":\"d3:" "d8:lastName3:Roe7:homeURL" + std::to_string(url.size()) + ":" + url + "ee\"}";
    fuzz::WriteAll(dir.path() + "/c.meta", meta);
    fake::FakeSession session;
    session.LogonPstStore(dir.path() + "/x.pst", 1, "Mailbox");
    session.st->ValidateIPMTree();
    ItemContext ctx;
    ctx.session = &session;
    ctx.storeEntryID = session.st->EntryID();
    ASSERT_EQ(ConvertContactFile(ctx, dir.path() + "/c.meta"), ItemOutcome::Saved);
    auto& contacts = static_cast<fake::FakeFolder&>(session.st->GetDefaultFolder(store::olFolderContacts));
    ASSERT_EQ(contacts.saved.size(), 1u);
    EXPECT_EQ(contacts.saved[0]->Str(pst::tags::PR_BUSINESS_HOME_PAGE), "example.com");
}

}  // namespace

namespace {

// An attachment name of many leading dots or spaces: each was erased from
// the front of the name, moving the rest every time.
TEST(Regression, NameOfManyLeadingDots) {
    std::string name = std::string(400000, '.') + std::string(100000, ' ') + "x.txt" + std::string(100000, '.');
    EXPECT_EQ(SanitizeFileName(name), "x.txt");
    EXPECT_EQ(SanitizeFileName(std::string(300000, '.')), "attachment");
}

}  // namespace

namespace {

const char* kEightBitType =
    "Subject: t\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\nbody\r\n"
    "--b\r\nContent-Type: appl\xF4\x90\x80\x80" "cation/x-report\r\nContent-Disposition: attachment; filename=r.bin\r\n\r\ndata\r\n--b--\r\n";

// A content type holding a four-byte sequence beyond U+10FFFF (GMime lets it
// through as UTF-8) became an attachment's MIME tag as it stood, text that is
// no UTF-8 (in the import and in a companion).
TEST(Regression, EightBitContentTypeOfAttachment) {
    fuzz::ScratchDir dir;
    std::string path = WriteTemp(dir, kEightBitType);
    fake::FakeFolder folder("Inbox");
    auto it = folder.AddItem(store::ItemType::Mail);
    auto& item = static_cast<fake::FakeItem&>(*it);
    ASSERT_TRUE(mime::ImportMessage(item, path).ok);
    ASSERT_EQ(item.attachments.size(), 1u);
    std::string tag = item.attachments[0]->Str(pst::tags::PR_ATTACH_MIME_TAG);
    EXPECT_TRUE(IsValidUtf8(tag)) << fuzz::Printable(tag);
    EXPECT_EQ(tag.substr(0, 4), "appl");

    CompanionContent content = ReadCompanion(path);
    ASSERT_EQ(content.attachments.size(), 1u);
    EXPECT_TRUE(IsValidUtf8(content.attachments[0].contentType)) << fuzz::Printable(content.attachments[0].contentType);
}

}  // namespace

namespace {

// A contact group of very many members: each address was looked for among all
// members before it, so 40000 members took seconds and 400000 minutes.
TEST(Regression, ManyGroupMembersKeptOnce) {
    std::string dlist;
    for (int k = 0; k < 100000; ++k) dlist += "u" + std::to_string(k) + "@example.com, ";
    dlist += "U5@example.com, u7@EXAMPLE.com";
    auto members = ParseGroupMembers(dlist);
    ASSERT_EQ(members.size(), 100000u);  // the last two repeat earlier ones
    EXPECT_EQ(members.back().address, "u99999@example.com");
}

}  // namespace
