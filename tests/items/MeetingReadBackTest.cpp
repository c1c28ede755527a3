// Meetings and tagged items written into a real PST file and read back: our
// verifier, pst-inspect --strict over its three readers, and what pypff and
// pst-extractor show of each meeting's sender and recipient rows.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <set>

#include "MetaEncoding.h"
#include "ReadBackSupport.h"
#include "support/Shell.h"
#include "items/ZimbraConverters.h"
#include "pst/verify/Verifier.h"
#include "store/PstStoreSession.h"

namespace fs = std::filesystem;
using namespace items;
using namespace metaenc;

namespace {

using ShellRun = testshell::Result;
using testshell::Quote;

std::string Attendee(const std::string& address, const std::string& name, const std::string& role,
                     const std::string& ptst, const std::string& cutype = "") {
    std::vector<std::pair<std::string, std::string>> kv = {{"a", address}, {"cn", name}, {"r", role}, {"ptst", ptst}};
    if (!cutype.empty()) kv.emplace_back("cut", cutype);
    return BStrings(kv);
}

std::string CalendarMeta(const Entries& invite, const std::string& tagNames, int type = 11,
                         const std::string& path = "/Calendar/") {
    Entries top = {{"ad", BDict({{"alarm", BDict({{"at0", Attendee("alarm@example.net", "Alarm", "REQ", "AC")}})}})},
                   {"inv0", BDict(invite)},
                   {"nc", BInt(1)},
                   {"v", BInt(10)}};
    return MetaJson({{"type", std::to_string(type)}, {"Path", JsonQuote(path)}, {"id", "800"},
                     {"TagNames", JsonQuote(tagNames)}},
                    BDict(top));
}

// One line per appointment and reader from pst-inspect's JSON view:
// "reader|subject|sender name <address>|type:name <address>;..." (rows in table order).
const char* kFlatten = R"PY(
import json, sys
doc = json.load(sys.stdin)
def walk(node, reader):
    for it in node.get("items") or []:
        if it.get("kind") != "appointment":
            continue
        rows = ";".join("%s:%s <%s>" % (r.get("type"), r.get("name"), r.get("address")) for r in it.get("recipients") or [])
        print("%s|%s|%s <%s>|%s" % (reader, it.get("subject"), it.get("sender_name") or "", it.get("sender_address") or "", rows))
    for sub in node.get("folders") or []:
        walk(sub, reader)
def views(obj):
    if isinstance(obj, dict):
        if "reader" in obj and ("folders" in obj or "root" in obj):
            yield obj
        for v in obj.values():
            yield from views(v)
    elif isinstance(obj, list):
        for v in obj:
            yield from views(v)
for view in views(doc):
    walk(view.get("root") or view, view["reader"])
)PY";

// The categories (Keywords, a string-named property of PS_PUBLIC_STRINGS) of
// every item and its PR_DISPLAY_TO, _CC and _BCC as libpff reads them:
// "subject|name/name/...|to|cc|bcc" per item.
// (pst-extractor 1.12.0's colorCategories always answers an empty list.)
const char* kCategories = R"PY(
import struct, sys, pypff
f = pypff.file()
f.open(sys.argv[1])
raw = {}
m = f.get_name_to_id_map()
for e in m.get_record_set(0).entries:
    raw[e.entry_type] = e.data or b""
entries, strings = raw.get(0x0003, b""), raw.get(0x0004, b"")
keywords = None
for off in range(0, len(entries) - 7, 8):
    dw, info, idx = struct.unpack_from("<IHH", entries, off)
    if info & 1 and info >> 1 == 2 and dw + 4 <= len(strings):
        n = struct.unpack_from("<I", strings, dw)[0]
        if strings[dw + 4:dw + 4 + n].decode("utf-16-le") == "Keywords":
            keywords = 0x8000 + idx
def categories(msg):
    if keywords is None or msg.number_of_record_sets == 0:
        return []
    for e in msg.get_record_set(0).entries:
        if e.entry_type == keywords and e.value_type == 0x101F:
            d = e.data
            count = struct.unpack_from("<I", d, 0)[0]
            offs = [struct.unpack_from("<I", d, 4 + 4 * k)[0] for k in range(count)] + [len(d)]
            return [d[offs[k]:offs[k + 1]].decode("utf-16-le").rstrip("\0") for k in range(count)]
    return []
def walk(folder):
    for k in range(folder.number_of_sub_messages):
        msg = folder.get_sub_message(k)
        shown = {}
        if msg.number_of_record_sets:
            for e in msg.get_record_set(0).entries:
                if e.entry_type in (0x0E04, 0x0E03, 0x0E02) and e.value_type == 0x1F:
                    shown[e.entry_type] = e.data_as_string or ""
        print("%s|%s|%s|%s|%s" % (msg.subject, "/".join(categories(msg)), shown.get(0x0E04), shown.get(0x0E03), shown.get(0x0E02)))
    for k in range(folder.number_of_sub_folders):
        walk(folder.get_sub_folder(k))
walk(f.get_root_folder())
)PY";

using itemsrb::PypffCommand;

class MeetingReadBack : public itemsrb::ReadBackFixture {};

}  // namespace

TEST_F(MeetingReadBack, MeetingsAndTaggedItemsShowInEveryReader) {
    const std::string mueller = "M\xC3\xBCller, J\xC3\xBCrgen: Vertrieb";   // Müller, Jürgen: Vertrieb
    const std::string yamada = "\xE5\xB1\xB1\xE7\x94\xB0 \xE5\xA4\xAA\xE9\x83\x8E";  // 山田 太郎
    const std::string tags = "Work:Client\\: Acme:A, B; C";

    std::string pstPath = root_ + "/meetings.pst";
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(pstPath, 1, "Meetings");
    st.ValidateIPMTree();
    ItemContext ctx;
    ctx.session = session.get();
    ctx.storeEntryID = st.EntryID();

    auto received = CalendarMeta({{"at0", Attendee("eve@example.com", "Eve: Ops", "REQ", "AC")},
                                  {"at1", Attendee("juergen@example.de", mueller, "OPT", "TE")},
                                  {"at2", Attendee("room4@example.com", "Room 4", "REQ", "NE", "ROO")},
                                  {"isOrg", BStr("false")},
                                  {"n", BStr("Plan: Q3")},
                                  {"org", BStrings({{"a", "boss@example.com"}, {"cn", "Boss: Big"}})},
                                  {"ptst", BStr("AC")},
                                  {"st", BStr("20240115T143000Z")},
                                  {"et", BStr("20240115T153000Z")},
                                  {"u", BStr("0022ebcf-0121-4d2e-9a1b-000001cdd539")}},
                                 tags);
    auto organized = CalendarMeta({{"at0", Attendee("yamada@example.jp", yamada, "REQ", "NE")},
                                   {"isOrg", BStr("true")},
                                   {"n", BStr("Sync")},
                                   {"org", BStrings({{"a", "me@example.com"}, {"cn", "Me"}})},
                                   {"st", BStr("20240116T090000Z")},
                                   {"et", BStr("20240116T093000Z")}},
                                  "");
    auto plain = CalendarMeta({{"n", BStr("Dentist")},
                               {"org", BStrings({{"a", "me@example.com"}, {"cn", "Me"}})},
                               {"st", BStr("20240117T090000Z")},
                               {"et", BStr("20240117T100000Z")}},
                              tags);
    EXPECT_EQ(ConvertCalendarFile(ctx, Write("Calendar/1.appt.meta", received)), ItemOutcome::Saved);
    EXPECT_EQ(ConvertCalendarFile(ctx, Write("Calendar/2.appt.meta", organized)), ItemOutcome::Saved);
    EXPECT_EQ(ConvertCalendarFile(ctx, Write("Calendar/3.appt.meta", plain)), ItemOutcome::Saved);
    auto contact = MetaJson({{"type", "6"}, {"Path", JsonQuote("/Contacts/")}, {"TagNames", JsonQuote(tags)}},
                            BDict({{"fld", BStrings({{"firstName", "Ann"}, {"lastName", "Lee"}, {"email", "ann@example.com"}})},
                                   {"v", BInt(10)}}));
    EXPECT_EQ(ConvertContactFile(ctx, Write("Contacts/Lee, Ann.meta", contact)), ItemOutcome::Saved);
    EXPECT_EQ(ConvertTaskFile(ctx, Write("Tasks/1.task.meta",
                                         CalendarMeta({{"n", BStr("Chore")}, {"et", BStr("VALUE=DATE:20240301")}}, tags,
                                                      15, "/Tasks/"))),
              ItemOutcome::Saved);
    auto note = MetaJson({{"type", "14"}, {"name", JsonQuote("Page")}, {"Path", JsonQuote("/Notebook/Page")},
                          {"TagNames", JsonQuote(tags)}},
                         BDict({{"f", BStr("text")}, {"v", BInt(10)}}));
    EXPECT_EQ(ConvertNoteFile(ctx, Write("Notebook/Page.wiki.meta", note)), ItemOutcome::Saved);
    session->Logoff();

    ExpectJudgedClean(pstPath, R"({
      "store_display_name": "Meetings",
      "folders": {
        "Calendar": {"appointments": [
          {"subject": "Plan: Q3", "start": "2024-01-15T14:30:00Z", "end": "2024-01-15T15:30:00Z"},
          {"subject": "Sync", "start": "2024-01-16T09:00:00Z", "end": "2024-01-16T09:30:00Z"},
          {"subject": "Dentist", "start": "2024-01-17T09:00:00Z", "end": "2024-01-17T10:00:00Z"}]},
        "Contacts": {"contacts": [{"name": "Ann Lee", "email": "ann@example.com"}]},
        "Tasks": {"tasks": [{"subject": "Chore", "due": "2024-03-01"}]},
        "Notes": {"notes": [{"subject": "Page", "body": "text"}]}
      },
      "options": {"extra_folders": "ignore"}
    })");

    // The recipient rows and the sender as pypff and pst-extractor read them.
    std::string script = root_ + "/flatten.py";
    WriteFile(script, kFlatten);
    ShellRun flat = testshell::Run(Quote(ORVANDEL_PST_INSPECT) + " --strict --timeout 120 --reader pypff,pst-extractor --json " +
                          Quote(pstPath) + " | python3 " + Quote(script));
    ASSERT_EQ(flat.status, 0) << flat.output;
    std::set<std::string> lines;
    for (size_t from = 0; from < flat.output.size();) {
        size_t nl = flat.output.find('\n', from);
        std::string line = flat.output.substr(from, nl == std::string::npos ? std::string::npos : nl - from);
        if (!line.empty()) lines.insert(line);
        if (nl == std::string::npos) break;
        from = nl + 1;
    }
    for (const char* reader : {"pypff", "pst-extractor"}) {
        std::string r = reader;
        EXPECT_TRUE(lines.count(r + "|Plan: Q3|Boss: Big <boss@example.com>|to:Boss: Big <boss@example.com>;"
                                    "to:Eve: Ops <eve@example.com>;cc:" + mueller + " <juergen@example.de>;"
                                    "bcc:Room 4 <room4@example.com>"))
            << flat.output;
        EXPECT_TRUE(lines.count(r + "|Sync|Me <me@example.com>|to:Me <me@example.com>;to:" + yamada +
                                " <yamada@example.jp>"))
            << flat.output;
        EXPECT_TRUE(lines.count(r + "|Dentist| <>|")) << flat.output;
    }

    // Each tag arrives as one category, "," and ";" and the escaped colon inside names kept.
    WriteFile(root_ + "/categories.py", kCategories);
    ShellRun cats = testshell::Run(PypffCommand(root_ + "/categories.py", pstPath));
    ASSERT_EQ(cats.status, 0) << cats.output;
    for (const char* subject : {"Dentist", "Ann Lee", "Chore", "Page"})
        EXPECT_NE(cats.output.find(std::string(subject) + "|Work/Client: Acme/A, B; C|"), std::string::npos)
            << subject << "\n" << cats.output;
    // The display lists the store computes from the rows: organizer and required
    // attendees, optional ones, resources; a list naming no one is left out, as Outlook does.
    EXPECT_NE(cats.output.find("Plan: Q3|Work/Client: Acme/A, B; C|Boss: Big; Eve: Ops|" + mueller + "|Room 4\n"),
              std::string::npos)
        << cats.output;
    EXPECT_NE(cats.output.find("Sync||Me; " + yamada + "|None|None\n"), std::string::npos) << cats.output;
}

#ifdef ORVANDEL_BIN
// The sample export's team meeting through `orvandel convert`: the organizer
// and both attendees arrive as the meeting's rows, its tag as a category.
TEST_F(MeetingReadBack, SampleExportMeetingThroughConvert) {
    std::string pstPath = root_ + "/alice.pst";
    ShellRun run = testshell::Run("TZ=UTC " + Quote(ORVANDEL_BIN) + " convert " +
                         Quote(std::string(ORVANDEL_SAMPLE_EXPORT) + "/alice") + " --quiet --pst " + Quote(pstPath));
    ASSERT_EQ(run.status, 0) << run.output;
    std::string script = root_ + "/flatten.py";
    WriteFile(script, kFlatten);
    ShellRun flat = testshell::Run(Quote(ORVANDEL_PST_INSPECT) + " --strict --timeout 120 --reader pypff,pst-extractor --json " +
                          Quote(pstPath) + " | python3 " + Quote(script));
    ASSERT_EQ(flat.status, 0) << flat.output;
    for (const char* reader : {"pypff", "pst-extractor"})
        EXPECT_NE(flat.output.find(std::string(reader) +
                                   "|Team meeting|Alice Brennan <alice@example.com>|to:Alice Brennan <alice@example.com>;"
                                   "to:Dana Reyes <dana@acme.example>;cc:J\xC3\xBCrgen M\xC3\xBCller <juergen.mueller@example.de>\n"),
                  std::string::npos)
            << flat.output;
    WriteFile(root_ + "/categories.py", kCategories);
    ShellRun cats = testshell::Run(PypffCommand(root_ + "/categories.py", pstPath));
    ASSERT_EQ(cats.status, 0) << cats.output;
    EXPECT_NE(cats.output.find("Team meeting|Work|"), std::string::npos) << cats.output;
    EXPECT_NE(cats.output.find("Dana Reyes|Clients|"), std::string::npos) << cats.output;
}
#endif
