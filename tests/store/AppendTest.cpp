// Adding to an existing PST: our own files and Outlook's reopened, added to
// and read back whole; every file we will not change refused byte for byte;
// copies taken between commits hold the old content whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

#include "TestSupport.h"
#include "pst/ltp/Heap.h"
#include "pst/messaging/PstStore.h"
#include "pst/ndb/Bytes.h"
#include "pst/ndb/Crc.h"
#include "store/PstStoreSession.h"

using namespace pst::tags;
using storetest::ScratchDir;

namespace {

std::vector<char> Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

void PutBytes(const std::string& path, const std::vector<char>& b) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(b.data(), std::streamsize(b.size()));
}

std::string Testdata(const std::string& name) { return std::string(ORVANDEL_SHARED_DIR) + "/tools/testdata/" + name; }

std::string CopyIn(const ScratchDir& dir, const std::string& from, const std::string& name) {
    std::string to = dir.File(name);
    std::filesystem::copy_file(from, to);
    std::filesystem::permissions(to, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
    return to;
}

void Add(store::Folder& f, store::ItemType type, const std::string& subject) {
    auto item = f.AddItem(type);
    item->SetProp(PR_SUBJECT, subject);
    item->SetProp(PR_BODY, "body of " + subject);
    if (type == store::ItemType::Contact) {
        item->Put("FullName", subject);
        item->Put("Email1Address", std::string("someone@example.com"));
    }
    if (type == store::ItemType::Appointment) item->Put("Start", pst::FileTime{133500000000000000ull});
    item->Save();
}

// A folder tree of every kind of item, below the top of the store.
void AddTree(store::Store& st, const std::string& tag) {
    store::Folder& top = st.IPMRootFolder().AddFolder("Added " + tag);
    store::Folder& sub = top.AddFolder("Below");
    Add(top, store::ItemType::Mail, tag + " mail");
    Add(sub, store::ItemType::Mail, tag + " mail below");
    Add(top.AddFolder("People", store::olFolderContacts), store::ItemType::Contact, tag + " contact");
    Add(top.AddFolder("Dates", store::olFolderCalendar), store::ItemType::Appointment, tag + " appointment");
    Add(sub.AddFolder("To do", store::olFolderTasks), store::ItemType::Task, tag + " task");
    Add(sub.AddFolder("Jottings", store::olFolderNotes), store::ItemType::Note, tag + " note");
    Add(st.GetDefaultFolder(store::olFolderInbox), store::ItemType::Mail, tag + " inbox mail");
}

std::string LogonError(const std::string& path) {
    auto session = store::CreatePstSession();
    try {
        session->LogonPstStore(path, 1, "Mailbox");
    } catch (const store::StoreError& e) {
        return e.what();
    }
    return "(opened)";
}

int InspectStrict(const std::string& path) {
    return storetest::Run(std::string(ORVANDEL_PST_INSPECT) + " --reader all --strict --summary " + storetest::Quote(path))
        .status;
}

std::string OldItemsKept(const std::string& before, const std::string& after) {
    return storetest::Run("python3 " + storetest::Quote(std::string(ORVANDEL_TEST_DIR) + "/old_items_kept.py") + " " +
                          storetest::Quote(ORVANDEL_PST_INSPECT) + " " + storetest::Quote(before) + " " +
                          storetest::Quote(after))
        .output;
}

// Write calls and bytes of this process so far (/proc/self/io).
struct IoCount {
    size_t calls = 0, bytes = 0;
    IoCount operator-(const IoCount& o) const { return {calls - o.calls, bytes - o.bytes}; }
};
IoCount ProcessWrites() {
    std::ifstream in("/proc/self/io");
    IoCount c;
    std::string key;
    size_t value = 0;
    while (in >> key >> value) {
        if (key == "syscw:") c.calls = value;
        if (key == "wchar:") c.bytes = value;
    }
    return c;
}

}  // namespace

TEST(Append, OwnFileReopenedTwiceKeepsEverything) {
    ScratchDir dir;
    std::string path = dir.File("own.pst");
    {
        auto session = store::CreatePstSession();
        store::Store& st = session->LogonPstStore(path, 1, "First");
        st.ValidateIPMTree();
        AddTree(st, "one");
        session->Logoff();
    }
    for (const char* round : {"two", "three"}) {
        auto session = store::CreatePstSession();
        store::Store& st = session->LogonPstStore(path, 1, "ignored for an existing file");
        EXPECT_EQ(st.DisplayName(), "First");
        st.ValidateIPMTree();
        store::Folder& old = st.GetFolderFromPath("\\\\First\\Added one\\Below");
        EXPECT_EQ(old.ItemCount(), std::string(round) == "two" ? 1u : 2u);
        Add(old, store::ItemType::Mail, std::string(round) + " late mail");
        AddTree(st, round);
        session->Logoff();
        EXPECT_EQ(storetest::VerifierFaults(path), "") << round;
    }
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(path, 1, "x");
    EXPECT_EQ(st.GetDefaultFolder(store::olFolderInbox).ItemCount(), 3u);
    EXPECT_EQ(st.GetFolderFromPath("\\\\First\\Added one\\Below").ItemCount(), 3u);
    session->Logoff();
    if (storetest::InspectAvailable()) {
        EXPECT_EQ(InspectStrict(path), 0);
    }
}

// Outlook's own files: found through their own entry IDs and receive folder,
// their items, folders and associated contents read back unchanged.
TEST(Append, OutlookFilesTakeNewFoldersAndItems) {
    for (const char* name : {"mixed-items", "contacts-japanese", "multiple-to-cc", "submessage", "dist-list",
                             "folders-attachments"}) {
        SCOPED_TRACE(name);
        ScratchDir dir;
        std::string original = Testdata(std::string(name) + ".pst");
        std::string path = CopyIn(dir, original, "outlook.pst");
        {
            auto session = store::CreatePstSession();
            store::Store& st = session->LogonPstStore(path, 1, "Mailbox");
            st.ValidateIPMTree();
            AddTree(st, "new");
            session->Logoff();
        }
        EXPECT_EQ(storetest::VerifierFaults(path), "");
        if (!storetest::InspectAvailable()) continue;
        EXPECT_EQ(OldItemsKept(original, path), "unchanged\n");
        EXPECT_EQ(InspectStrict(path), InspectStrict(original));
    }
}

TEST(Append, RefusedFilesStayByteForByte) {
    ScratchDir dir;
    // Our own file, then damaged copies of it.
    std::string good = dir.File("good.pst");
    {
        auto session = store::CreatePstSession(store::SessionOptions{false});
        store::Store& st = session->LogonPstStore(good, 1, "Good");
        st.ValidateIPMTree();
        AddTree(st, "x");
        session->Logoff();
    }
    std::vector<char> bytes = Bytes(good);
    struct Case {
        std::string name, path, reason;
    };
    std::vector<Case> cases;
    cases.push_back({"ansi", CopyIn(dir, Testdata("ansi.pst"), "ansi.pst"), "ANSI"});
    cases.push_back({"outlook with faults", CopyIn(dir, Testdata("sticky-notes.pst"), "faulty.pst"), "damaged"});
    cases.push_back({"header only", CopyIn(dir, Testdata("truncated-in-header.bin"), "cut.pst"), "truncated"});
    std::vector<char> b = bytes;
    b[0x0A] = 36;  // wVer of a PST with 4 KiB pages
    PutBytes(dir.File("4k.pst"), b);
    cases.push_back({"4 KiB pages", dir.File("4k.pst"), "4 KiB"});
    PutBytes(dir.File("half.pst"), std::vector<char>(bytes.begin(), bytes.begin() + long(bytes.size() / 2)));
    cases.push_back({"cut in half", dir.File("half.pst"), "truncated"});
    storetest::WriteText(dir.File("text.pst"), "From: someone\r\n\r\nnot a PST at all\r\n");
    cases.push_back({"text", dir.File("text.pst"), "not a PST"});
    // A byte of a folder's name (stored unencoded): its block is read at the open.
    {
        std::string name;
        for (char c : std::string("Added x")) name += {c, '\0'};
        b = bytes;
        auto at = std::search(b.begin(), b.end(), name.begin(), name.end());
        ASSERT_NE(at, b.end());
        at[2] ^= 0x5A;
        PutBytes(dir.File("flipped.pst"), b);
        cases.push_back({"flipped byte in a folder", dir.File("flipped.pst"), "is damaged: block"});
    }
    b = bytes;
    b[0x10] ^= 1;  // inside the header's checksummed bytes
    PutBytes(dir.File("header.pst"), b);
    cases.push_back({"header checksum", dir.File("header.pst"), "damaged header"});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<char> before = Bytes(c.path);
        auto mtime = std::filesystem::last_write_time(c.path);
        std::string err = LogonError(c.path);
        EXPECT_NE(err.find(c.reason), std::string::npos) << err;
        EXPECT_NE(err.find("left untouched"), std::string::npos) << err;
        EXPECT_TRUE(Bytes(c.path) == before);
        EXPECT_EQ(std::filesystem::last_write_time(c.path), mtime);
    }
}

// Opening checks what adding relies on, not every message: damage inside an
// old message does not refuse the file, and adding leaves it as it was.
TEST(Append, DamageInsideAnOldMessageIsLeftAsItIs) {
    ScratchDir dir;
    const std::string path = dir.File("old.pst");
    const std::string marker = "MARKER-OF-AN-OLD-BODY-" + std::string(200, 'q');
    {
        auto session = store::CreatePstSession(store::SessionOptions{false});
        store::Store& st = session->LogonPstStore(path, 1, "Old");
        st.ValidateIPMTree();
        auto item = st.GetDefaultFolder(store::olFolderInbox).AddItem(store::ItemType::Mail);
        item->SetProp(PR_SUBJECT, std::string("old"));
        item->SetProp(PR_BODY, marker);
        item->Save();
        session->Logoff();
    }
    std::vector<char> b = Bytes(path);
    const std::string utf16 = [&] {
        std::string u;
        for (char c : marker) u += {c, '\0'};
        return u;
    }();
    const auto at = std::search(b.begin(), b.end(), utf16.begin(), utf16.end());
    ASSERT_NE(at, b.end());
    at[100] = 'Z';
    PutBytes(path, b);
    const std::string before = storetest::VerifierFaults(path);
    ASSERT_NE(before.find("CRC"), std::string::npos) << before;
    ASSERT_EQ(std::count(before.begin(), before.end(), '\n'), 1) << before;
    {
        auto session = store::CreatePstSession();
        store::Store& st = session->LogonPstStore(path, 1, "Mailbox");
        AddTree(st, "new");
        session->Logoff();
    }
    EXPECT_EQ(storetest::VerifierFaults(path), before);
    const std::vector<char> after = Bytes(path);
    EXPECT_TRUE(std::search(after.begin(), after.end(), at, at + long(utf16.size())) != after.end());
}

// A run killed while adding leaves the file as of some commit: copies taken
// after every item, committed or not, verify clean and hold the old items.
TEST(Append, CopiesBetweenCommitsHoldTheOldContent) {
    ScratchDir dir;
    std::string original = Testdata("mixed-items.pst");
    std::string path = CopyIn(dir, original, "live.pst");
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(path, 1, "Mailbox");
    st.ValidateIPMTree();
    store::Folder& f = st.IPMRootFolder().AddFolder("Crash");
    std::vector<std::string> copies;
    for (int i = 0; i < 6; ++i) {
        Add(f, store::ItemType::Mail, "mail " + std::to_string(i));
        if (i % 2) st.Commit();
        std::string copy = dir.File("copy" + std::to_string(i) + ".pst");
        std::filesystem::copy_file(path, copy);
        copies.push_back(copy);
    }
    session->Logoff();
    for (const std::string& copy : copies) {
        SCOPED_TRACE(copy);
        EXPECT_EQ(storetest::VerifierFaults(copy), "");
    }
    if (storetest::InspectAvailable()) {
        EXPECT_EQ(OldItemsKept(original, copies.front()), "unchanged\n");
        EXPECT_EQ(OldItemsKept(original, copies.back()), "unchanged\n");
    }
}

// A crash between a commit's two headers leaves the maps marked stale: the
// free space then comes from every block and page of the B-trees instead of
// the maps, and adding to that file gives one that verifies with everything.
TEST(Append, FileWithStaleMapsTakesItsFreeSpaceFromTheTrees) {
    ScratchDir dir;
    const std::string path = dir.File("stale.pst");
    {
        auto session = store::CreatePstSession();
        store::Store& st = session->LogonPstStore(path, 1, "Stale");
        st.ValidateIPMTree();
        AddTree(st, "one");
        for (int i = 0; i < 300; ++i) Add(st.GetDefaultFolder(store::olFolderInbox), store::ItemType::Mail, "m" + std::to_string(i));
        session->Logoff();
    }
    std::vector<char> b = Bytes(path);
    ASSERT_EQ(uint8_t(b[0xF8]), 2);
    b[0xF8] = 0;  // INVALID_AMAP, as a kill after the first header leaves it
    auto* h = reinterpret_cast<uint8_t*>(b.data());
    pst::ndb::Put32(h + 0x04, pst::ndb::Crc32(h + 8, 471));
    pst::ndb::Put32(h + 0x20C, pst::ndb::Crc32(h + 8, 516));
    PutBytes(path, b);
    {
        auto session = store::CreatePstSession();
        store::Store& st = session->LogonPstStore(path, 1, "x");
        st.ValidateIPMTree();
        AddTree(st, "two");
        session->Logoff();
    }
    EXPECT_EQ(storetest::VerifierFaults(path), "");
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(path, 1, "x");
    EXPECT_EQ(st.GetDefaultFolder(store::olFolderInbox).ItemCount(), 302u);
    session->Logoff();
}

// The source index spans several of its 511-digest leaves, commits write it
// piecewise, and what each session committed is found by the next one.
TEST(Append, SourcesOfEverySessionAreFoundAfterReopening) {
    ScratchDir dir;
    const std::string path = dir.File("sources.pst");
    auto session = [&](int from, int to) {
        auto s = store::CreatePstSession();
        store::Store& st = s->LogonPstStore(path, 1, "Sources");
        st.ValidateIPMTree();
        for (int i = 0; i < from; ++i) EXPECT_TRUE(st.HoldsSource("mail/" + std::to_string(i))) << i;
        EXPECT_FALSE(st.HoldsSource("mail/" + std::to_string(from)));
        store::Folder& inbox = st.GetDefaultFolder(store::olFolderInbox);
        for (int i = from; i < to; ++i) {
            st.SetItemSource("mail/" + std::to_string(i));
            inbox.AddItem(store::ItemType::Mail)->Save();
            if (i % 400 == 399) st.Commit();
        }
        s->Logoff();
        EXPECT_EQ(storetest::VerifierFaults(path), "");
    };
    session(0, 1100);     // the first leaves fill within one session
    session(1100, 1700);  // an opened file's index continues
    session(1700, 1701);
    EXPECT_EQ(store::ReadSourceIndex(path).Size(), 1701u);
}

// What the first commit of an opened file writes follows what is added, not
// the size of the file: of its allocation maps only those of the intervals
// that changed, of a folder's contents table and of the source index only
// their tails.
TEST(Append, AddingToALargeFileRewritesOnlyWhatItChanges) {
    ScratchDir dir;
    const std::string path = dir.File("large.pst");
    {
        auto session = store::CreatePstSession();
        store::Store& st = session->LogonPstStore(path, 1, "Large");
        store::Folder& inbox = st.GetDefaultFolder(store::olFolderInbox);
        for (int i = 0; i < 3150; ++i) {
            st.SetItemSource("mail/" + std::to_string(i));
            auto item = inbox.AddItem(store::ItemType::Mail);
            item->SetProp(PR_SUBJECT, "old " + std::to_string(i));
            item->SetProp(PR_BODY, std::string(i < 150 ? 130000 : 100, char('a' + i % 26)));
            item->Save();
        }
        session->Logoff();
    }
    const std::vector<char> before = Bytes(path);
    const size_t intervals = (before.size() - 0x4400) / 0x3E000;
    ASSERT_GT(intervals, 150u);
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(path, 1, "Large");
    store::Folder& inbox = st.GetDefaultFolder(store::olFolderInbox);
    st.SetItemSource("mail/new");
    Add(inbox, store::ItemType::Mail, "new");
    const IoCount start = ProcessWrites();
    st.Commit();
    const IoCount written = ProcessWrites() - start;
    // Every map page rewritten is a write of its own; the table alone is over
    // 400 KB, the source index 50 KB.
    EXPECT_LT(written.calls, intervals / 2) << intervals << " intervals";
    EXPECT_LT(written.bytes, 110000u);
    Add(inbox, store::ItemType::Mail, "newer");
    session->Logoff();
    EXPECT_EQ(storetest::VerifierFaults(path), "");
    auto again = store::CreatePstSession();
    EXPECT_EQ(again->LogonPstStore(path, 1, "Large").GetDefaultFolder(store::olFolderInbox).ItemCount(), 3152u);
}

// A row already committed that changes (a list linked again) makes the table
// be written whole; in an opened file its unread rows are read for it first.
TEST(Append, ACommittedRowRewrittenInAnOpenedFileKeepsEveryRow) {
    ScratchDir dir;
    const std::string path = dir.File("rewrite.pst");
    uint32_t folder = 0;
    auto save = [&](pst::PstStore& s, const std::string& subject, pst::SavedMessage* saved = nullptr) {
        pst::MessageData m;
        m.props[PR_SUBJECT] = subject;
        s.SaveMessage(folder, m, "IPM.Note", saved);
    };
    {
        pst::PstStore s(path, "Rewrite");
        folder = s.CreateFolder(s.IpmSubtree(), "Many", "IPF.Note");
        for (int i = 0; i < 300; ++i) save(s, "old " + std::to_string(i));
        s.Close();
    }
    {
        pst::PstStore s(path, pst::PstStore::Existing{});
        pst::SavedMessage saved;
        save(s, "first version", &saved);
        s.Commit();
        EXPECT_EQ(s.Folder(folder).contentsBase, 300u);  // appended: the old rows were not read
        pst::MessageData again;
        again.props[PR_SUBJECT] = std::string("second version");
        s.RewriteMessage(saved, again, "IPM.Note");
        s.Close();
    }
    EXPECT_EQ(storetest::VerifierFaults(path), "");
    pst::PstStore s(path, pst::PstStore::Existing{});
    save(s, "last");
    EXPECT_EQ(s.Folder(folder).RowCount(), 302u);
    s.Close();
    EXPECT_EQ(storetest::VerifierFaults(path), "");
}

// Many rows added in one commit: their heap pages are written as they fill,
// each fill level still lands in page 0 or in the bitmap page that covers it
// (pages 8, 136, ... are among the new ones here), and every reader takes them;
// past 1,021 pages the heap's tree has two levels.
TEST(Append, ManyRowsInOneCommitKeepEveryPageFillLevel) {
    ScratchDir dir;
    const std::string path = dir.File("many.pst");
    uint32_t folder = 0;
    auto save = [&](pst::PstStore& s, int i) {
        pst::MessageData m;
        m.props[PR_SUBJECT] = std::to_string(i) + std::string(1500 + i % 200, char('a' + i % 26));
        s.SaveMessage(folder, m, "IPM.Note");
    };
    {
        pst::PstStore s(path, "Many");
        folder = s.CreateFolder(s.IpmSubtree(), "Many", "IPF.Note");
        for (int i = 0; i < 40; ++i) save(s, i);
        s.Commit();
        for (int i = 40; i < 2400; ++i) save(s, i);
        s.Commit();
        EXPECT_EQ(s.Folder(folder).contentsBase, 0u);
        for (int i = 2400; i < 2410; ++i) save(s, i);
        s.Close();
    }
    EXPECT_EQ(storetest::VerifierFaults(path), "");
    EXPECT_EQ(InspectStrict(path), 0);
    pst::ndb::NodeDb db(path, pst::ndb::NodeDb::Existing{});
    const auto node = db.FindNode(pst::ndb::WithType(folder, pst::ndb::NID_TYPE_CONTENTS_TABLE));
    ASSERT_TRUE(node);
    const std::vector<pst::ndb::Bytes> pages = db.ReadStream(node->bidData);
    ASSERT_GT(pages.size(), 1021u);
    for (size_t i = 0; i < pages.size(); ++i) {
        const pst::ndb::Bytes& p = pages[i];
        const size_t map = pst::ndb::Get16(p.data());
        const size_t used = map + 4 + 2 * (size_t(pst::ndb::Get16(&p[map])) + 1);
        const size_t holder = i < 8 ? 0 : 8 + (i - 8) / 128 * 128;
        const uint8_t* levels = holder == 0 ? &pages[0][8] : &pages[holder][2];
        const size_t slot = i - holder;
        const uint8_t level = slot % 2 ? levels[slot / 2] >> 4 : levels[slot / 2] & 0xF;
        EXPECT_EQ(level, pst::ltp::FillLevel(pst::ndb::kMaxBlockData - used)) << "page " << i;
    }
    db.Abandon();
}
