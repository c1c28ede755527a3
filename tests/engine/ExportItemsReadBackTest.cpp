// The items of an export beyond messages, end to end: Briefcase documents and
// their revisions, chats, tags, item times and contact groups. An export built
// here in the exporter's own encoding is converted by `orvandel convert`; the
// PST is judged by our verifier, by pst-inspect --strict --compare over its
// three readers, and read back through libpff (export_items_dump.py) for the
// attachment bytes, times and categories pst-inspect does not show.
#include <gtest/gtest.h>

#include <cstdio>

#include "EngineTestSupport.h"
#include "items/MetaEncoding.h"
#include "pst/verify/Verifier.h"
#include "support/Shell.h"

using namespace enginetest;
using metaenc::BDict;
using metaenc::BInt;
using metaenc::BStr;
using metaenc::JsonQuote;
using testshell::Quote;

namespace {

std::string PypffPython() {
    std::vector<std::string> candidates;
    if (const char* env = std::getenv("PST_INSPECT_PYPFF_PYTHON")) candidates.push_back(env);
    candidates.insert(candidates.end(), {"python3", "/usr/bin/python3"});
    for (const auto& py : candidates)
        if (testshell::Run(Quote(py) + " -c 'import pypff'").status == 0) return py;
    return {};
}

// The dump's lines of items whose subject is `subject` (compared as JSON text).
std::vector<std::string> LinesOf(const std::string& dump, const std::string& subject) {
    std::vector<std::string> out;
    const std::string key = "\"subject\": " + JsonQuote(subject) + ",";
    size_t from = 0;
    while (from < dump.size()) {
        size_t end = dump.find('\n', from);
        if (end == std::string::npos) end = dump.size();
        const std::string line = dump.substr(from, end - from);
        if (line.find(key) != std::string::npos) out.push_back(line);
        from = end + 1;
    }
    return out;
}

std::string Sha256Of(const std::string& bytes, const TempDir& dir) {
    WriteFile(dir / ".bytes", bytes);
    return testshell::Run("sha256sum " + Quote(dir / ".bytes") + " | cut -c1-64").output.substr(0, 64);
}

void FolderMeta(const std::string& box, const std::string& parentDir, int id, const std::string& name,
                const std::string& zimbraPath, const metaenc::Entries& metadata, int type = 1) {
    std::string fileName = name;
    for (char& c : fileName)
        if (std::string("/:*?\"<>|").find(c) != std::string::npos) c = '_';
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%010d-", id);
    metaenc::WriteUnder(box, (parentDir.empty() ? "" : parentDir + "/") + prefix + fileName + ".meta",
                        metaenc::MetaJson({{"id", std::to_string(id)}, {"type", std::to_string(type)},
                                           {"name", JsonQuote(name)}, {"Path", JsonQuote(zimbraPath)}},
                                          BDict(metadata)));
}

// A document revision: its ".meta" and its bytes, under the entry name the exporter gives it.
void Document(const std::string& box, const std::string& dir, const std::string& entry, int id, const std::string& name,
              const std::string& bytes, const metaenc::Entries& metadata, const std::string& flagStr = "",
              long long date = 1700000000, const std::string& tagNames = "") {
    metaenc::WriteUnder(box, dir + "/" + entry + ".meta",
                        metaenc::MetaJson({{"id", std::to_string(id)}, {"type", "8"}, {"name", JsonQuote(name)},
                                           {"size", std::to_string(bytes.size())}, {"date", std::to_string(date)},
                                           {"change_date", std::to_string(date + 60)},
                                           {"Path", JsonQuote("/" + dir + "/" + name)},
                                           {"FlagStr", JsonQuote(flagStr)}, {"TagNames", JsonQuote(tagNames)}},
                                          BDict(metadata)));
    metaenc::WriteUnder(box, dir + "/" + entry, bytes);
}

// The three readers open the file and agree on it; each reader that shows
// posts matches expected.json (readpst exports no IPM.Post: it counts them as
// skipped, which the agreement check takes into account).
void ExpectJudged(const std::string& pst, const TempDir& dir) {
    const auto all = testshell::Run(Quote(ORVANDEL_PST_INSPECT) + " --strict --summary --timeout 120 --reader all " + Quote(pst));
    EXPECT_EQ(all.status, 0) << all.output;
    const auto cmp = testshell::Run(Quote(ORVANDEL_PST_INSPECT) + " --strict --timeout 120 --reader pypff,pst-extractor --compare " +
                                    Quote(dir / "expected.json") + " " + Quote(pst));
    EXPECT_EQ(cmp.status, 0) << cmp.output;
}

}  // namespace

TEST(ExportItemsReadBack, BriefcaseDocumentsRevisionsAndChats) {
    const std::string py = PypffPython();
    if (py.empty()) GTEST_SKIP() << "no python3 with pypff";
    TempDir dir;
    const std::string box = dir / "dana";
    FolderMeta(box, "", 11, "ROOT", "/", {{"a", BInt(3)}});
    FolderMeta(box, "", 16, "Briefcase", "/Briefcase", {{"a", BInt(1)}, {"vt", BStr("8")}});
    FolderMeta(box, "Briefcase", 300, "Specs <draft>", "/Briefcase/Specs <draft>", {{"vt", BStr("8")}});
    FolderMeta(box, "Briefcase", 301, "Nothing yet", "/Briefcase/Nothing yet", {{"vt", BStr("8")}});
    FolderMeta(box, "", 14, "Chats", "/Chats", {{"a", BInt(1)}, {"vt", BStr("5")}});
    std::string pdf = "%PDF-1.4\r\n";
    for (int i = 0; i < 3000; ++i) pdf += char(i * 7 % 256);  // binary, larger than one heap item
    Document(box, "Briefcase", "Plan.pdf", 400, "Plan.pdf", pdf,
             {{"cr", BStr("jane@example.com")}, {"ct", BStr("application/pdf")}, {"de", BStr("The plan, signed")},
              {"v", BInt(10)}},
             "", 1700000000, "Work");
    // Two stored revisions of one versioned document, older first.
    Document(box, "Briefcase/Specs _draft_", "api-00001.txt", 401, "api.txt", "first\n",
             {{"ct", BStr("text/plain")}, {"v", BInt(10)}}, "/", 1690000000);
    Document(box, "Briefcase/Specs _draft_", "api-00002.txt", 401, "api.txt", "second\n",
             {{"ct", BStr("text/plain")}, {"ver", BInt(2)}, {"v", BInt(10)}}, "/", 1695000000);
    // A document whose bytes the export lost.
    metaenc::WriteUnder(box, "Briefcase/Lost.doc.meta",
                        metaenc::MetaJson({{"id", "402"}, {"type", "8"}, {"name", JsonQuote("Lost.doc")}, {"size", "9"}},
                                          BDict({{"ct", BStr("application/msword")}})));
    metaenc::WriteUnder(box, "Chats/0000000500-Lunch.chat.meta",
                        metaenc::MetaJson({{"id", "500"}, {"type", "16"}, {"Path", JsonQuote("/Chats/")},
                                           {"FlagStr", JsonQuote("s")}, {"date", "1700000000"}},
                                          "d1:vi10ee"));
    metaenc::WriteUnder(box, "Chats/0000000500-Lunch.chat",
                        "From: Dana <dana@example.com>\r\nTo: Bob <bob@example.com>\r\nSubject: Lunch\r\n"
                        "Date: Tue, 14 Nov 2023 22:13:20 +0000\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n"
                        "dana: lunch?\r\nbob: at noon\r\n");

    const std::string pst = dir / "dana.pst";
    const auto conv =
        testshell::Run(Quote(ORVANDEL_BIN) + " convert " + Quote(box) + " --pst " + Quote(pst) + " --json 2>/dev/null");
    EXPECT_EQ(conv.status, 1) << conv.output;
    EXPECT_NE(conv.output.find("\"documents\": 3, \"chats\": 1,"), std::string::npos) << conv.output;
    EXPECT_NE(conv.output.find("\"items_failed\": 1,"), std::string::npos) << conv.output;
    EXPECT_NE(ReadAll(dir / "dana.log").find("BAD : " + box + "/Briefcase/Lost.doc.meta (the document's content Lost.doc is missing)"),
              std::string::npos) << ReadAll(dir / "dana.log");

    auto report = pst::verify::VerifyFile(pst);
    EXPECT_TRUE(report.Clean()) << pst::verify::SummaryLine(pst, report);
    WriteFile(dir / "expected.json",
              R"J({"folders": {
                   "Briefcase": {"messages": [{"subject": "Plan.pdf", "sender_address": "jane@example.com", "attachments": ["Plan.pdf"]}]},
                   "Briefcase/Specs <draft>": {"messages": [{"subject": "api.txt (version 1)", "attachments": ["api.txt"]},
                                                            {"subject": "api.txt (version 2)", "attachments": ["api.txt"]}]},
                   "Briefcase/Nothing yet": {"messages": []},
                   "Chats": {"messages": [{"subject": "Lunch", "sender_address": "dana@example.com", "recipients": ["bob@example.com"]}]}
                 }, "options": {"extra_folders": "ignore_empty", "extra_items": "report"}})J");
    ExpectJudged(pst, dir);

    const auto dump = testshell::Run(Quote(py) + " " + Quote(ORVANDEL_ITEMS_DUMP) + " " + Quote(pst));
    ASSERT_EQ(dump.status, 0) << dump.output;
    const auto plan = LinesOf(dump.output, "Plan.pdf");
    ASSERT_EQ(plan.size(), 1u) << dump.output;
    EXPECT_NE(plan[0].find("\"class\": \"IPM.Post\""), std::string::npos) << plan[0];
    EXPECT_NE(plan[0].find("\"body\": \"The plan, signed\""), std::string::npos) << plan[0];
    EXPECT_NE(plan[0].find("\"categories\": [\"Work\"]"), std::string::npos) << plan[0];
    EXPECT_NE(plan[0].find("\"created\": \"2023-11-14T22:13:20Z\", \"modified\": \"2023-11-14T22:14:20Z\""),
              std::string::npos) << plan[0];
    EXPECT_NE(plan[0].find("{\"name\": \"Plan.pdf\", \"mime\": \"application/pdf\", \"size\": " +
                           std::to_string(pdf.size()) + ", \"sha256\": \"" + Sha256Of(pdf, dir) + "\""),
              std::string::npos) << plan[0];
    const auto second = LinesOf(dump.output, "api.txt (version 2)");
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(second[0].find("\"sha256\": \"" + Sha256Of("second\n", dir) + "\""), std::string::npos) << second[0];
    EXPECT_NE(second[0].find("\"created\": \"2023-09-18T01:20:00Z\""), std::string::npos) << second[0];
}

TEST(ExportItemsReadBack, TagsBecomeTheCategoryListWithTheirColours) {
    const std::string py = PypffPython();
    if (py.empty()) GTEST_SKIP() << "no python3 with pypff";
    TempDir dir;
    const std::string box = dir / "erin";
    FolderMeta(box, "", 8, "Tags", "/Tags", {{"a", BInt(3)}, {"vt", BStr("3")}});
    // Tags are listed at "Tags/<id10>-<name>.meta"; a name may hold "/" and quotes.
    auto tag = [&](int id, const std::string& fileName, const std::string& name, const metaenc::Entries& metadata) {
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "%010d-", id);
        metaenc::WriteUnder(box, "Tags/" + std::string(prefix) + fileName + ".meta",
                            metaenc::MetaJson({{"id", std::to_string(id)}, {"type", "3"}, {"name", JsonQuote(name)}},
                                              BDict(metadata)));
    };
    tag(64, "Work", "Work", {{"c", BInt(5)}, {"lst", BStr("true")}, {"v", BInt(10)}});       // palette red
    tag(65, "a_b", "a/b \"q\"", {{"c", BInt(0x01000000 | 0x8B4513)}, {"v", BInt(10)}});  // saddle brown
    tag(66, "Plain", "Plain", {{"v", BInt(10)}});                                            // no colour
    WriteFile(box + "/Inbox/0000000300-Hi.eml", "From: a@example.com\r\nTo: b@example.com\r\nSubject: Hi\r\n\r\nx\r\n");
    WriteFile(box + "/Inbox/0000000300-Hi.eml.meta",
              metaenc::MetaJson({{"id", "300"}, {"type", "5"}, {"TagNames", JsonQuote("Work:a/b \"q\"")}}, "d1:vi10ee"));

    const std::string pst = dir / "erin.pst";
    const auto conv = testshell::Run(Quote(ORVANDEL_BIN) + " convert " + Quote(box) + " --pst " + Quote(pst) + " --quiet");
    EXPECT_EQ(conv.status, 0) << conv.output;
    auto report = pst::verify::VerifyFile(pst);
    EXPECT_TRUE(report.Clean()) << pst::verify::SummaryLine(pst, report);
    // No "Tags" mail folder: the tags are the category list.
    WriteFile(dir / "expected.json", R"J({"folders": {"Inbox": ["Hi"]}, "options": {"extra_folders": "ignore_empty"}})J");
    ExpectJudged(pst, dir);
    const auto dump = testshell::Run(Quote(py) + " " + Quote(ORVANDEL_ITEMS_DUMP) + " " + Quote(pst));
    ASSERT_EQ(dump.status, 0) << dump.output;
    EXPECT_EQ(dump.output.find("/Tags"), std::string::npos) << dump.output;
    const size_t list = dump.output.find("\"folder\": \"Top of Personal Folders/Calendar\", \"hidden\": true, "
                                         "\"class\": \"IPM.Configuration.CategoryList\"");
    ASSERT_NE(list, std::string::npos) << dump.output;
    const std::string xml = dump.output.substr(list, dump.output.find('\n', list) - list);
    EXPECT_NE(xml.find("xmlns=\\\"CategoryList.xsd\\\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("<category name=\\\"Work\\\" color=\\\"0\\\""), std::string::npos) << xml;            // red
    EXPECT_NE(xml.find("<category name=\\\"a/b &quot;q&quot;\\\" color=\\\"15\\\""), std::string::npos) << xml;  // dark red
    EXPECT_NE(xml.find("<category name=\\\"Plain\\\" color=\\\"-1\\\""), std::string::npos) << xml;           // none
    EXPECT_NE(dump.output.find("\"categories\": [\"Work\", \"a/b \\\"q\\\"\"]"), std::string::npos) << dump.output;
}

TEST(ExportItemsReadBack, ItemsKeepTheirCreationAndModificationTimes) {
    const std::string py = PypffPython();
    if (py.empty()) GTEST_SKIP() << "no python3 with pypff";
    TempDir dir;
    const std::string box = dir / "finn";
    // 2021-03-04T05:06:07Z made, 2022-01-02T03:04:05Z last changed.
    const metaenc::Entries times = {{"date", "1614834367"}, {"change_date", "1641092645"}};
    auto with = [&](metaenc::Entries members) {
        members.insert(members.end(), times.begin(), times.end());
        return members;
    };
    metaenc::WriteUnder(box, "Contacts/Doe, Jane.meta",
                        metaenc::MetaJson(with({{"type", "6"}, {"id", "300"}, {"Path", JsonQuote("/Contacts/")}}),
                                          BDict({{"fld", metaenc::BStrings({{"firstName", "Jane"}, {"lastName", "Doe"}})},
                                                 {"v", BInt(10)}})));
    metaenc::WriteUnder(box, "Calendar/0000000301-Standup.appt.meta",
                        metaenc::MetaJson(with({{"type", "11"}, {"id", "301"}, {"Path", JsonQuote("/Calendar/")}}),
                                          BDict({{"inv0", BDict({{"n", BStr("Standup")},
                                                                 {"st", BStr("20261207T090000Z")},
                                                                 {"et", BStr("20261207T091500Z")}})},
                                                 {"nc", BInt(1)}, {"v", BInt(10)}})));
    metaenc::WriteUnder(box, "Tasks/0000000302-Taxes.task.meta",
                        metaenc::MetaJson(with({{"type", "15"}, {"id", "302"}, {"Path", JsonQuote("/Tasks/")}}),
                                          BDict({{"inv0", BDict({{"n", BStr("Taxes")}})}, {"nc", BInt(1)}, {"v", BInt(10)}})));
    metaenc::WriteUnder(box, "Notebook/Ideas.wiki.meta",
                        metaenc::MetaJson(with({{"type", "14"}, {"id", "303"}, {"name", JsonQuote("Ideas")},
                                                {"Path", JsonQuote("/Notebook/Ideas")}}),
                                          BDict({{"f", BStr("Some ideas")}, {"v", BInt(10)}})));
    WriteFile(box + "/Inbox/0000000304-Hello.eml",
              "From: a@example.com\r\nTo: b@example.com\r\nSubject: Hello\r\nDate: Mon, 7 Dec 2026 09:00:00 +0000\r\n\r\nx\r\n");
    WriteFile(box + "/Inbox/0000000304-Hello.eml.meta",
              metaenc::MetaJson(with({{"type", "5"}, {"id", "304"}}), "d1:vi10ee"));

    const std::string pst = dir / "finn.pst";
    const auto conv = testshell::Run(Quote(ORVANDEL_BIN) + " convert " + Quote(box) + " --pst " + Quote(pst) + " --quiet");
    EXPECT_EQ(conv.status, 0) << conv.output;
    const auto dump = testshell::Run(Quote(py) + " " + Quote(ORVANDEL_ITEMS_DUMP) + " " + Quote(pst));
    ASSERT_EQ(dump.status, 0) << dump.output;
    for (const std::string subject : {"Jane Doe", "Standup", "Taxes", "Ideas", "Hello"}) {
        const auto lines = LinesOf(dump.output, subject);
        ASSERT_EQ(lines.size(), 1u) << subject << "\n" << dump.output;
        EXPECT_NE(lines[0].find("\"created\": \"2021-03-04T05:06:07Z\", \"modified\": \"2022-01-02T03:04:05Z\""),
                  std::string::npos) << lines[0];
    }
    // The message keeps the delivery time of its headers.
    EXPECT_NE(LinesOf(dump.output, "Hello")[0].find("\"delivered\": \"2026-12-07T09:00:00Z\""), std::string::npos);
}

TEST(ExportItemsReadBack, ZimbraNotesBecomeOutlookNotes) {
    const std::string py = PypffPython();
    if (py.empty()) GTEST_SKIP() << "no python3 with pypff";
    TempDir dir;
    const std::string box = dir / "gwen";
    FolderMeta(box, "", 11, "ROOT", "/", {{"a", BInt(3)}});
    FolderMeta(box, "", 2, "Inbox", "/Inbox", {{"a", BInt(1)}, {"vt", BStr("5")}});
    FolderMeta(box, "", 300, "Ideas", "/Ideas", {{"v", BInt(10)}});
    FolderMeta(box, "", 301, "Sticky*", "/Sticky*", {{"vt", BStr("9")}, {"v", BInt(10)}});
    // Zimbra keeps a note's whole text as its subject, the box as "l", the colour as "c".
    auto note = [&](const std::string& entry, int id, const std::string& zimbraDir, const std::string& text,
                    const metaenc::Entries& metadata) {
        metaenc::WriteUnder(box, entry + ".meta",
                            metaenc::MetaJson({{"id", std::to_string(id)}, {"type", "9"}, {"subject", JsonQuote(text)},
                                               {"date", "1614834367"}, {"change_date", "1641092645"},
                                               {"Path", JsonQuote(zimbraDir)}, {"TagNames", JsonQuote("Home")}},
                                              BDict(metadata)));
    };
    note("Ideas/0000000400-Buy milk.note", 400, "/Ideas/", "\n  Buy milk\r\nand eggs", {{"c", BInt(3)}, {"l", BStr("10,20,300,250")}});
    note("Sticky_/0000000401-Call Bob.note", 401, "/Sticky*/", "Call Bob", {{"c", BInt(0x01000000 | 0xF0F0F0)}});
    note("Inbox/0000000402-Plain.note", 402, "/Inbox/", "Plain", {{"v", BInt(10)}});
    metaenc::WriteUnder(box, "Inbox/0000000403-Cut.note.meta", "{\"id\":403,\"type\":9,\"subj");

    const std::string pst = dir / "gwen.pst";
    const auto conv =
        testshell::Run(Quote(ORVANDEL_BIN) + " convert " + Quote(box) + " --pst " + Quote(pst) + " --json 2>/dev/null");
    EXPECT_EQ(conv.status, 1) << conv.output;
    EXPECT_NE(conv.output.find("\"notes\": 3, \"items_failed\": 1,"), std::string::npos) << conv.output;
    EXPECT_NE(ReadAll(dir / "gwen.log").find("BAD : " + box + "/Inbox/0000000403-Cut.note.meta"), std::string::npos)
        << ReadAll(dir / "gwen.log");
    auto report = pst::verify::VerifyFile(pst);
    EXPECT_TRUE(report.Clean()) << pst::verify::SummaryLine(pst, report);
    // Notes of Zimbra's own folders go to Notes; a user folder's to a notes folder
    // below Notes; a folder made for notes becomes one there.
    WriteFile(dir / "expected.json", R"J({"folders": {
                   "Notes": {"notes": [{"subject": "Plain", "body": "Plain"}]},
                   "Notes/Ideas": {"notes": [{"subject": "Buy milk", "body": "\n  Buy milk\r\nand eggs"}]},
                   "Notes/Sticky*": {"notes": [{"subject": "Call Bob"}]},
                   "Ideas": {"messages": []}
                 }, "options": {"extra_folders": "ignore_empty", "extra_items": "report"}})J");
    ExpectJudged(pst, dir);
    const std::string json = testshell::Run(Quote(ORVANDEL_PST_INSPECT) + " --json --reader pypff " + Quote(pst)).output;
    for (const std::string folder : {"Notes/Ideas", "Notes/Sticky*"}) {
        const size_t at = json.find("\"path\": \"" + folder + "\",");
        ASSERT_NE(at, std::string::npos) << folder << "\n" << json;
        EXPECT_EQ(json.find("\"container_class\": \"IPF.StickyNote\"", at), json.find("\"container_class\"", at)) << folder;
    }

    const auto dump = testshell::Run(Quote(py) + " " + Quote(ORVANDEL_ITEMS_DUMP) + " " + Quote(pst));
    ASSERT_EQ(dump.status, 0) << dump.output;
    const auto milk = LinesOf(dump.output, "Buy milk");
    ASSERT_EQ(milk.size(), 1u) << dump.output;
    EXPECT_NE(milk[0].find("\"body\": \"\\n  Buy milk\\r\\nand eggs\""), std::string::npos) << milk[0];
    EXPECT_NE(milk[0].find("\"created\": \"2021-03-04T05:06:07Z\", \"modified\": \"2022-01-02T03:04:05Z\""),
              std::string::npos) << milk[0];
    EXPECT_NE(milk[0].find("\"categories\": [\"Home\"]"), std::string::npos) << milk[0];
    // Zimbra's green; the box as Outlook's size and place; the icon of a green note.
    EXPECT_NE(milk[0].find("\"note\": {\"color\": 1, \"width\": 300, \"height\": 250, \"x\": 10, \"y\": 20, \"icon\": 769}"),
              std::string::npos) << milk[0];
    // A light grey of its own is nearest Zimbra's gray: Outlook's white, at Outlook's own size.
    const auto bob = LinesOf(dump.output, "Call Bob");
    ASSERT_EQ(bob.size(), 1u) << dump.output;
    EXPECT_NE(bob[0].find("\"note\": {\"color\": 4, \"width\": 200, \"height\": 166, \"x\": null, \"y\": null, \"icon\": 772}"), std::string::npos)
        << bob[0];
    // No colour: Outlook's yellow.
    const auto plain = LinesOf(dump.output, "Plain");
    ASSERT_EQ(plain.size(), 1u) << dump.output;
    EXPECT_NE(plain[0].find("\"color\": 3,"), std::string::npos) << plain[0];
}

// An export read straight from its .tgz: entries are held in memory (one too
// large for that goes through the temporary folder), and every item comes out
// as from the extracted folder, down to the attachment bytes and the file time
// a message without a date takes.
TEST(ExportItemsReadBack, AnArchiveGivesTheItemsOfItsFolder) {
    const std::string py = PypffPython();
    if (py.empty()) GTEST_SKIP() << "no python3 with pypff";
    TempDir dir;
    const std::string box = dir / "gail";
    FolderMeta(box, "", 11, "ROOT", "/", {{"a", BInt(3)}});
    FolderMeta(box, "", 2, "Inbox", "/Inbox", {{"a", BInt(1)}, {"vt", BStr("5")}});
    FolderMeta(box, "", 16, "Briefcase", "/Briefcase", {{"a", BInt(1)}, {"vt", BStr("8")}});
    std::string pdf = "%PDF-1.4\r\n";
    for (int i = 0; i < 3000; ++i) pdf += char(i * 7 % 256);
    Document(box, "Briefcase", "Plan.pdf", 400, "Plan.pdf", pdf, {{"ct", BStr("application/pdf")}});
    WriteFile(box + "/Inbox/0000000300-Undated.eml", "From: a@example.com\r\nSubject: Undated\r\n\r\nno date\r\n");
    std::string big = "From: a@example.com\r\nSubject: Big\r\nDate: Tue, 14 Nov 2023 22:13:20 +0000\r\n"
                      "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\nsee\r\n"
                      "--b\r\nContent-Type: application/octet-stream; name=big.bin\r\n"
                      "Content-Transfer-Encoding: base64\r\n\r\n";
    for (int line = 0; line < 130000; ++line) big += "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4v\r\n";
    big += "--b--\r\n";
    WriteFile(box + "/Inbox/0000000301-Big.eml", big);
    for (const std::string id : {"300", "301"})
        WriteFile(box + "/Inbox/0000000" + id + (id == "300" ? "-Undated" : "-Big") + ".eml.meta",
                  metaenc::MetaJson({{"id", id}, {"type", "5"}}, "d1:vi10ee"));
    ASSERT_EQ(testshell::Run("touch -d @1600000000 " + Quote(box + "/Inbox/0000000300-Undated.eml")).status, 0);
    ASSERT_EQ(testshell::Run("tar -czf " + Quote(dir / "gail.tgz") + " -C " + Quote(box) + " .").status, 0);

    fs::create_directories(dir / "tmp");
    const std::string env = "TMPDIR=" + Quote(dir / "tmp") + " ";
    std::string dumps[2];
    for (int k = 0; k < 2; ++k) {
        const std::string source = k == 0 ? box : dir / "gail.tgz";
        const std::string pst = dir / (k == 0 ? "folder.pst" : "archive.pst");
        const auto conv = testshell::Run(env + Quote(ORVANDEL_BIN) + " convert " + Quote(source) + " --pst " + Quote(pst) +
                                         " --quiet");
        EXPECT_EQ(conv.status, 0) << source << conv.output;
        auto report = pst::verify::VerifyFile(pst);
        EXPECT_TRUE(report.Clean()) << pst::verify::SummaryLine(pst, report);
        const auto dump = testshell::Run(Quote(py) + " " + Quote(ORVANDEL_ITEMS_DUMP) + " " + Quote(pst));
        ASSERT_EQ(dump.status, 0) << dump.output;
        dumps[k] = dump.output;
        // A MIME attachment without a date of its own takes the time of the conversion.
        const size_t bin = dumps[k].find("\"name\": \"big.bin\"");
        const size_t times = dumps[k].find(", \"created\":", bin);
        if (bin != std::string::npos && times != std::string::npos)
            dumps[k].erase(times, dumps[k].find("}]", times) - times);
    }
    EXPECT_EQ(dumps[1], dumps[0]);
    const auto undated = LinesOf(dumps[1], "Undated");
    ASSERT_EQ(undated.size(), 1u) << dumps[1];
    EXPECT_NE(undated[0].find("\"delivered\": \"2020-09-13T12:26:40Z\""), std::string::npos) << undated[0];
    const auto plan = LinesOf(dumps[1], "Plan.pdf");
    ASSERT_EQ(plan.size(), 1u) << dumps[1];
    EXPECT_NE(plan[0].find("\"sha256\": \"" + Sha256Of(pdf, dir) + "\""), std::string::npos) << plan[0];
    EXPECT_EQ(LinesOf(dumps[1], "Big").size(), 1u);
    EXPECT_TRUE(fs::is_empty(dir / "tmp"));
}
