// Contact groups written into a real PST file as distribution lists and read
// back: our verifier, pst-inspect --strict over its three readers, and the
// list's member properties as libpff reads them, laid out as in the list
// Outlook wrote in shared/tools/testdata/dist-list.pst.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "MetaEncoding.h"
#include "ReadBackSupport.h"
#include "support/Shell.h"
#include "items/ZimbraConverters.h"
#include "pst/verify/Verifier.h"
#include "store/PstStoreSession.h"

namespace fs = std::filesystem;
using namespace items;
using namespace metaenc;
using testshell::Quote;

namespace {

// One line per distribution list as libpff reads it: message class, subject,
// the PSETID_Address list name, file-as, member properties (type and each
// entry as "name|type|address" or "wrapped"), whether the checksum is the
// CRC-32 (register from zero, no final inversion) of the members, the icon.
const char* kDistLists = R"PY(
import os, struct, sys, pypff
ADDRESS = bytes.fromhex("0420060000000000c000000000000046")
WANT = {0x8053: "name", 0x8054: "oneoffs", 0x8055: "members", 0x804C: "checksum", 0x8005: "fileunder"}
f = pypff.file()
f.open(sys.argv[1])
raw = {}
for e in f.get_name_to_id_map().get_record_set(0).entries:
    raw[e.entry_type] = e.data or b""
guids, entries = raw.get(0x0002, b""), raw.get(0x0003, b"")
local = {}
for off in range(0, len(entries) - 7, 8):
    dw, info, idx = struct.unpack_from("<IHH", entries, off)
    g = info >> 1
    if info & 1 or g < 3 or (g - 3) * 16 + 16 > len(guids):
        continue
    if guids[(g - 3) * 16:(g - 2) * 16] == ADDRESS and dw in WANT:
        local[0x8000 + idx] = WANT[dw]
def mv(d):
    n = struct.unpack_from("<I", d, 0)[0]
    offs = [struct.unpack_from("<I", d, 4 + 4 * k)[0] for k in range(n)] + [len(d)]
    return [d[offs[k]:offs[k + 1]] for k in range(n)]
def crc(items):
    c = 0
    for it in items:
        for b in it:
            c ^= b
            for _ in range(8):
                c = (c >> 1) ^ 0xEDB88320 if c & 1 else c >> 1
    return c
def oneoff(b):
    if len(b) < 24 or b[4:20] != bytes.fromhex("812b1fa4bea310199d6e00dd010f5402"):
        return "wrapped"
    parts = b[24:].decode("utf-16-le").split("\0")
    return "%s|%s|%s" % (parts[0], parts[1], parts[2])
contacts = {}
def index(folder):
    for k in range(folder.number_of_sub_messages):
        m = folder.get_sub_message(k)
        contacts[m.identifier] = m.subject or ""
    for k in range(folder.number_of_sub_folders):
        index(folder.get_sub_folder(k))
index(f.get_root_folder())
LINKS = os.environ.get("DISTLISTS_SHOW") == "links"
def linked(b):
    # A wrapped entry ID: 21 bytes, then the contact's ENTRYID, its node id last.
    return contacts.get(struct.unpack_from("<I", b, 41)[0], "?") if len(b) >= 45 else "?"
def walk(folder):
    for k in range(folder.number_of_sub_messages):
        msg = folder.get_sub_message(k)
        props = {}
        for e in msg.get_record_set(0).entries:
            props[e.entry_type] = e
        cls = props[0x001A].data_as_string if 0x001A in props else ""
        if not cls.startswith("IPM.DistList"):
            continue
        got = {local[t]: e for t, e in props.items() if t in local}
        if LINKS:
            members = mv(got["members"].data) if "members" in got else []
            print("%s\tlinked=%s" % (msg.subject or "", ";".join(linked(m) for m in members if oneoff(m) == "wrapped")))
            continue
        out = ["class=" + cls, "subject=" + (msg.subject or "")]
        if "name" in got: out.append("name=%s(%04x)" % (got["name"].data_as_string, got["name"].value_type))
        if "fileunder" in got: out.append("fileunder=" + got["fileunder"].data_as_string)
        members = mv(got["members"].data) if "members" in got else []
        oneoffs = mv(got["oneoffs"].data) if "oneoffs" in got else []
        for key in ("members", "oneoffs"):
            if key in got: out.append("%s_type=%04x" % (key, got[key].value_type))
        out.append("members=" + ";".join(oneoff(m) for m in members))
        out.append("oneoffs=" + ";".join(oneoff(m) for m in oneoffs))
        if "checksum" in got:
            value = struct.unpack("<I", got["checksum"].data)[0]
            out.append("checksum=%s(%04x)" % ("ok" if value == crc(members) else "bad", got["checksum"].value_type))
        if 0x1080 in props: out.append("icon=%d" % struct.unpack("<i", props[0x1080].data)[0])
        print("\t".join(out))
    for k in range(folder.number_of_sub_folders):
        walk(folder.get_sub_folder(k))
walk(f.get_root_folder())
)PY";


class DistListReadBack : public itemsrb::ReadBackFixture {
protected:
    void SetUp() override {
        ReadBackFixture::SetUp();
        WriteFile(root_ + "/distlists.py", kDistLists);
    }
    testshell::Result Lists(const std::string& pst, const std::string& mode = "") {
        return testshell::Run((mode.empty() ? "" : "export DISTLISTS_SHOW=" + mode + "; ") +
                              itemsrb::PypffCommand(root_ + "/distlists.py", pst));
    }
};

}  // namespace

// The script reads Outlook's own list the way it reads ours below: the same
// property types, the one-off members in both lists, a checksum that holds.
TEST_F(DistListReadBack, ScriptReadsTheOutlookMadeList) {
    auto r = Lists(std::string(ORVANDEL_PST_INSPECT_DIR) + "/testdata/dist-list.pst");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output,
              "class=IPM.DistList\tsubject=test dist list\tname=test dist list(001f)\tfileunder=test dist list\t"
              "members_type=1102\toneoffs_type=1102\t"
              "members=wrapped;dist name 1|SMTP|dist1@rjohnson.id.au;dist name 2|SMTP|dist2@rjohnson.id.au\t"
              "oneoffs=contact name 1|SMTP|contact1@rjohnson.id.au;dist name 1|SMTP|dist1@rjohnson.id.au;"
              "dist name 2|SMTP|dist2@rjohnson.id.au\tchecksum=ok(0003)\ticon=514\n");
}

TEST_F(DistListReadBack, GroupsArriveAsDistributionListsInEveryReader) {
    const std::string mueller = "M\xC3\xBC" "ller, J\xC3\xBC" "rgen";  // Müller, Jürgen
    std::string pstPath = root_ + "/groups.pst";
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(pstPath, 1, "Groups");
    st.ValidateIPMTree();
    ItemContext ctx;
    ctx.session = session.get();
    ctx.storeEntryID = st.EntryID();
    auto group = ContactMeta({{"type", "group"}, {"nickname", "Project team"}, {"fileAs", "8:Project team"},
                              {"dlist", "\"" + mueller + "\" <j@example.de>, bob@example.org, Ann Lee <ann@example.com>"}});
    auto json = ContactMeta({{"type", "group"}, {"nickname", "Friends"},
                             {"dlist", "[\"cy@example.net\",\"\\\"Dee, D\\\" <dee@example.net>\"]"}});
    auto empty = ContactMeta({{"type", "group"}, {"nickname", "Empty"}});
    auto person = ContactMeta({{"firstName", "Ann"}, {"lastName", "Lee"}, {"email", "ann@example.com"}});
    EXPECT_EQ(ConvertContactFile(ctx, Write("Contacts/Project team.meta", group)), ItemOutcome::Saved);
    EXPECT_EQ(ConvertContactFile(ctx, Write("Contacts/Friends.meta", json)), ItemOutcome::Saved);
    EXPECT_EQ(ConvertContactFile(ctx, Write("Contacts/Empty.meta", empty)), ItemOutcome::Saved);
    st.Commit();  // the lists are in the file before the contact they name
    EXPECT_EQ(ConvertContactFile(ctx, Write("Contacts/Lee, Ann.meta", person)), ItemOutcome::Saved);
    session->Logoff();

    ExpectJudgedClean(pstPath, R"({
      "folders": {
        "Contacts": {"contacts": [{"name": "Ann Lee", "email": "ann@example.com"}],
                     "distlists": [{"subject": "Project team"}, {"subject": "Friends"}, {"subject": "Empty"}]}
      },
      "options": {"extra_folders": "ignore"}
    })");

    auto lists = Lists(pstPath);
    ASSERT_EQ(lists.status, 0) << lists.output;
    // Ann, saved after the list and a commit, is linked to her contact all the same.
    const std::string oneOffs = mueller + "|SMTP|j@example.de;bob@example.org|SMTP|bob@example.org;"
                                          "Ann Lee|SMTP|ann@example.com";
    const std::string members = mueller + "|SMTP|j@example.de;bob@example.org|SMTP|bob@example.org;wrapped";
    EXPECT_NE(lists.output.find("class=IPM.DistList\tsubject=Project team\tname=Project team(001f)\t"
                                "fileunder=Project team\tmembers_type=1102\toneoffs_type=1102\tmembers=" + members +
                                "\toneoffs=" + oneOffs + "\tchecksum=ok(0003)\ticon=514\n"),
              std::string::npos)
        << lists.output;
    const std::string friends = "cy@example.net|SMTP|cy@example.net;Dee, D|SMTP|dee@example.net";
    EXPECT_NE(lists.output.find("subject=Friends\tname=Friends(001f)\tfileunder=Friends\tmembers_type=1102\t"
                                "oneoffs_type=1102\tmembers=" + friends + "\toneoffs=" + friends + "\tchecksum=ok(0003)"),
              std::string::npos)
        << lists.output;
    EXPECT_NE(lists.output.find("subject=Empty\tname=Empty(001f)\tfileunder=Empty\tmembers=\toneoffs=\ticon=514\n"),
              std::string::npos)
        << lists.output;
}

// A PST converted into again: a new list whose members are contacts the file
// held before (one in an address book of its own) links to them, read from the
// file's contacts folders.
TEST_F(DistListReadBack, ListsAddedLaterLinkToContactsAlreadyInThePst) {
    const std::string pstPath = root_ + "/again.pst";
    {
        auto session = store::CreatePstSession();
        store::Store& st = session->LogonPstStore(pstPath, 1, "Again");
        st.ValidateIPMTree();
        ItemContext ctx;
        ctx.session = session.get();
        ctx.storeEntryID = st.EntryID();
        EXPECT_EQ(ConvertContactFile(ctx, Write("a/Lee, Ann.meta", ContactMeta({{"firstName", "Ann"}, {"lastName", "Lee"},
                                                                                 {"email", "Ann@Example.com"}}))),
                  ItemOutcome::Saved);
        ctx.folder = &st.GetDefaultFolder(store::olFolderContacts).AddFolder("Clients", store::olFolderContacts);
        EXPECT_EQ(ConvertContactFile(ctx, Write("a/Roe, Rick.meta", ContactMeta({{"firstName", "Rick"}, {"lastName", "Roe"},
                                                                                  {"email2", "rick@example.org"}}))),
                  ItemOutcome::Saved);
        session->Logoff();
    }
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(pstPath, 1, "Again");  // opened to add to
    ItemContext ctx;
    ctx.session = session.get();
    ctx.storeEntryID = st.EntryID();
    auto group = ContactMeta({{"type", "group"}, {"nickname", "Team"},
                              {"dlist", "Ann Lee <ann@example.com>, rick@example.org, zed@example.org"}});
    EXPECT_EQ(ConvertContactFile(ctx, Write("b/Team.meta", group)), ItemOutcome::Saved);
    session->Logoff();

    auto verify = pst::verify::VerifyFile(pstPath);
    EXPECT_TRUE(verify.Clean()) << pst::verify::SummaryLine(pstPath, verify);
    auto lists = Lists(pstPath);
    ASSERT_EQ(lists.status, 0) << lists.output;
    EXPECT_NE(lists.output.find("\tmembers=wrapped;wrapped;zed@example.org|SMTP|zed@example.org\t"), std::string::npos)
        << lists.output;
    EXPECT_NE(lists.output.find("checksum=ok(0003)"), std::string::npos) << lists.output;
    auto links = Lists(pstPath, "links");
    ASSERT_EQ(links.status, 0) << links.output;
    EXPECT_EQ(links.output, "Team\tlinked=Ann Lee;Rick Roe\n");
}

#ifdef ORVANDEL_BIN
// The sample export's contact group through `orvandel convert`: nothing fails
// and the list arrives with its three members, the two that are contacts of
// the mailbox linked to them though the list comes first in the export.
TEST_F(DistListReadBack, SampleExportGroupThroughConvert) {
    std::string pstPath = root_ + "/alice.pst";
    auto run = testshell::Run("TZ=UTC " + Quote(ORVANDEL_BIN) + " convert " +
                              Quote(std::string(ORVANDEL_SAMPLE_EXPORT) + "/alice") + " --pst " + Quote(pstPath));
    ASSERT_EQ(run.status, 0) << run.output;
    auto verify = testshell::Run(Quote(ORVANDEL_BIN) + " verify " + Quote(pstPath));
    EXPECT_EQ(verify.status, 0) << verify.output;
    auto lists = Lists(pstPath);
    ASSERT_EQ(lists.status, 0) << lists.output;
    const std::string oneOffs = "Reyes, Dana|SMTP|dana@acme.example;"
                                "J\xC3\xBCrgen M\xC3\xBCller|SMTP|juergen.mueller@example.de;"
                                "bob@example.com|SMTP|bob@example.com";
    EXPECT_NE(lists.output.find("subject=Book club\tname=Book club(001f)\tfileunder=Book club\t"
                                "members_type=1102\toneoffs_type=1102\tmembers=wrapped;wrapped;bob@example.com|SMTP|"
                                "bob@example.com\toneoffs=" + oneOffs +
                                "\tchecksum=ok(0003)\ticon=514\n"),
              std::string::npos)
        << lists.output;
}
#endif
