// Commit as a durable point, and scale: a file copied between commits is the
// store as of the last commit; big folders and big values stay valid.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

#include "TestSupport.h"
#include "store/PstStoreSession.h"

using namespace pst::tags;
using storetest::ScratchDir;

namespace {

void AddMail(store::Folder& f, const std::string& subject) {
    auto item = f.AddItem(store::ItemType::Mail);
    item->SetProp(PR_SUBJECT, subject);
    item->SetProp(PR_BODY, std::string(300, 'b'));
    auto& r = item->AddRecipient();
    r.SetProp(PR_EMAIL_ADDRESS, std::string("to@example.com"));
    item->Save();
}

int PypffCount(const std::string& path, const std::string& folder) {
    auto r = storetest::Run(std::string(ORVANDEL_PST_INSPECT) + " --reader pypff --json " + storetest::Quote(path) +
                            " | python3 -c 'import json,sys; d=json.load(sys.stdin)[\"readers\"][\"pypff\"]; "
                            "print([f[\"item_count\"] for f in d[\"folders\"] if f[\"path\"]==sys.argv[1]][0])' " +
                            storetest::Quote(folder));
    return r.status == 0 ? std::stoi(r.output) : -1;
}

// Every reader of pst-inspect (strict) opens the file and sees exactly
// `count` items in Inbox, all with subjects starting "committed".
void ExpectCommittedInbox(const std::string& path, int count) {
    auto r = storetest::Run(
        std::string(ORVANDEL_PST_INSPECT) + " --reader all --strict --json " + storetest::Quote(path) +
        " | python3 -c 'import json,sys\n"
        "d=json.load(sys.stdin)[\"readers\"]\n"
        "for n,rd in sorted(d.items()):\n"
        " f=[f for f in rd.get(\"folders\",[]) if f[\"path\"]==\"Inbox\"]\n"
        " s=[i.get(\"subject\",\"\") for i in f[0].get(\"items\",[])] if f else []\n"
        " print(n, f[0][\"item_count\"] if f else -1, all(x.startswith(\"committed\") for x in s), len(s))'");
    EXPECT_EQ(r.status, 0) << r.output;
    std::string want = " " + std::to_string(count) + " True " + std::to_string(count) + "\n";
    for (const char* reader : {"pst-extractor", "pypff", "readpst"})
        EXPECT_NE(r.output.find(std::string(reader) + want), std::string::npos) << reader << ":\n" << r.output;
    auto strict = storetest::Run(std::string(ORVANDEL_PST_INSPECT) + " --reader all --strict --summary " +
                                 storetest::Quote(path));
    EXPECT_EQ(strict.status, 0) << strict.output;
}

std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

uint64_t Le64(const std::vector<uint8_t>& b, size_t at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | b[at + size_t(i)];
    return v;
}

// A finished file ends at the last interval that holds data: its size is
// ROOT.ibFileEof and the last AMap marks more than the interval's map pages.
void ExpectNoEmptyTailInterval(const std::string& path) {
    constexpr uint64_t kBase = 0x4400, kSpan = 0x3E000;
    std::vector<uint8_t> b = ReadAll(path);
    ASSERT_GT(b.size(), 0x100u);
    uint64_t eof = Le64(b, 0xB8), lastAMap = Le64(b, 0xC0);
    EXPECT_EQ(eof, b.size());
    ASSERT_EQ(lastAMap + kSpan, eof);
    uint64_t k = (lastAMap - kBase) / kSpan;
    int mapPages = 1 + (k % 8 == 0) + (k >= 128 && (k - 128) % 496 == 0) + (k >= 8192 && (k - 8192) % (496 * 64) == 0);
    int used = 0;
    for (size_t i = 0; i < 496; ++i) used += __builtin_popcount(b[lastAMap + i]);
    EXPECT_GT(used, 8 * mapPages) << "the last interval of " << path << " holds nothing";
}

}  // namespace

TEST(StoreDurability, FileBetweenCommitsIsTheLastCommittedStore) {
    ScratchDir dir;
    std::string path = dir.File("live.pst");
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(path, 1, "Mailbox");
    st.ValidateIPMTree();
    store::Folder& inbox = st.GetDefaultFolder(store::olFolderInbox);
    for (int i = 0; i < 25; ++i) AddMail(inbox, "committed " + std::to_string(i));
    st.Commit();
    std::filesystem::copy_file(path, dir.File("at-commit.pst"));
    for (int i = 0; i < 25; ++i) AddMail(inbox, "pending " + std::to_string(i));
    auto big = inbox.AddItem(store::ItemType::Mail);
    big->AddAttachment().SetData(std::vector<uint8_t>(2'000'000, 5));  // streamed, not yet saved
    std::filesystem::copy_file(path, dir.File("crash.pst"));  // as a crash would leave it
    big->Save();
    session->Logoff();

    EXPECT_EQ(storetest::VerifierFaults(dir.File("at-commit.pst")), "");
    // The blocks written since the commit lie in space the committed maps
    // call free, inside the committed end of file: the copy is a clean file.
    EXPECT_EQ(std::filesystem::file_size(dir.File("crash.pst")), std::filesystem::file_size(dir.File("at-commit.pst")));
    EXPECT_EQ(storetest::VerifierFaults(dir.File("crash.pst")), "");
    EXPECT_EQ(storetest::VerifierFaults(path), "");
    // The reserve is gone from the finished file.
    EXPECT_LT(std::filesystem::file_size(path), std::filesystem::file_size(dir.File("at-commit.pst")));
    ExpectNoEmptyTailInterval(path);
    if (!storetest::InspectAvailable()) GTEST_SKIP() << "pst-inspect not found";
    ExpectCommittedInbox(dir.File("crash.pst"), 25);
    EXPECT_EQ(PypffCount(dir.File("at-commit.pst"), "Inbox"), 25);
    EXPECT_EQ(PypffCount(path, "Inbox"), 51);
}

TEST(StoreDurability, WritesPastTheReserveExtendItAndStayCommitted) {
    ScratchDir dir;
    std::string path = dir.File("live.pst");
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(path, 1, "Mailbox");
    store::Folder& inbox = st.GetDefaultFolder(store::olFolderInbox);
    for (int i = 0; i < 10; ++i) AddMail(inbox, "committed " + std::to_string(i));
    auto withFile = inbox.AddItem(store::ItemType::Mail);
    withFile->SetProp(PR_SUBJECT, std::string("committed with attachment"));
    {
        auto& a = withFile->AddAttachment();
        a.SetProp(PR_ATTACH_LONG_FILENAME, std::string("report.bin"));
        a.SetProp(PR_ATTACH_FILENAME, std::string("report.bin"));
        a.SetData(std::vector<uint8_t>(3'000'000, 7));
    }
    withFile->Save();
    st.Commit();
    std::filesystem::copy_file(path, dir.File("at-commit.pst"));
    // More than the reserve (8 MiB for a small file), saved and unsaved.
    for (int i = 0; i < 5; ++i) {
        auto item = inbox.AddItem(store::ItemType::Mail);
        item->SetProp(PR_SUBJECT, "pending big " + std::to_string(i));
        std::vector<uint8_t> data(2'500'000);
        for (size_t j = 0; j < data.size(); ++j) data[j] = uint8_t(j * 131 + size_t(i));
        item->AddAttachment().SetData(data);
        item->Save();
    }
    auto open = inbox.AddItem(store::ItemType::Mail);
    open->AddAttachment().SetData(std::vector<uint8_t>(1'000'000, 9));
    std::filesystem::copy_file(path, dir.File("crash.pst"));
    open->Save();
    for (int i = 0; i < 3; ++i) AddMail(inbox, "after " + std::to_string(i));
    session->Logoff();

    // The extension grew the committed file without a commit.
    EXPECT_GT(std::filesystem::file_size(dir.File("crash.pst")),
              std::filesystem::file_size(dir.File("at-commit.pst")) + (8u << 20));
    EXPECT_EQ(storetest::VerifierFaults(dir.File("at-commit.pst")), "");
    EXPECT_EQ(storetest::VerifierFaults(dir.File("crash.pst")), "");
    EXPECT_EQ(storetest::VerifierFaults(path), "");
    ExpectNoEmptyTailInterval(path);
    if (!storetest::InspectAvailable()) GTEST_SKIP() << "pst-inspect not found";
    ExpectCommittedInbox(dir.File("crash.pst"), 11);
    EXPECT_EQ(PypffCount(path, "Inbox"), 20);
}

TEST(StoreDurability, ExtensionPastTheFirstFMapIntervalKeepsACleanCommittedFile) {
    // Over 128 intervals (32 MiB) the reserve crosses the interval whose FMap
    // page covers the next 496; checked by our verifier only (big values).
    ScratchDir dir;
    std::string path = dir.File("large.pst");
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(path, 1, "Mailbox");
    store::Folder& inbox = st.GetDefaultFolder(store::olFolderInbox);
    auto addBig = [&](const std::string& subject, size_t bytes) {
        auto item = inbox.AddItem(store::ItemType::Mail);
        item->SetProp(PR_SUBJECT, subject);
        auto& a = item->AddAttachment();
        a.SetProp(PR_ATTACH_LONG_FILENAME, subject + ".bin");
        a.SetData(std::vector<uint8_t>(bytes, uint8_t(subject.size())));
        item->Save();
    };
    for (int i = 0; i < 6; ++i) addBig("committed " + std::to_string(i), 5'000'000);
    st.Commit();
    std::filesystem::copy_file(path, dir.File("at-commit.pst"));
    for (int i = 0; i < 4; ++i) addBig("pending " + std::to_string(i), 5'000'000);
    std::filesystem::copy_file(path, dir.File("crash.pst"));
    session->Logoff();
    EXPECT_GT(std::filesystem::file_size(dir.File("at-commit.pst")), 0x4400u + 128u * 0x3E000u);
    EXPECT_GT(std::filesystem::file_size(dir.File("crash.pst")), std::filesystem::file_size(dir.File("at-commit.pst")));
    EXPECT_EQ(storetest::VerifierFaults(dir.File("crash.pst")), "");
    pst::verify::Report r = pst::verify::VerifyFile(dir.File("crash.pst"));
    EXPECT_EQ(r.messages, 6u);
    EXPECT_EQ(storetest::VerifierFaults(path), "");
    ExpectNoEmptyTailInterval(path);
}

TEST(StoreDurability, FinishedFileAfterACommitWithNothingNewDropsTheReserve) {
    ScratchDir dir;
    std::string path = dir.File("idle.pst");
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(path, 1, "Mailbox");
    AddMail(st.GetDefaultFolder(store::olFolderInbox), "committed");
    st.Commit();
    uint64_t committedSize = std::filesystem::file_size(path);
    session->Logoff();
    EXPECT_LT(std::filesystem::file_size(path), committedSize);
    EXPECT_EQ(storetest::VerifierFaults(path), "");
    ExpectNoEmptyTailInterval(path);
}

TEST(StoreDurability, LargeFolderTableAndDeepTrees) {
    // 20,000 rows (checked by our verifier only: the readers take minutes on it): the contents table's row matrix lives in a subnode, its heap
    // spans hundreds of pages (bitmap headers at pages 8 and 136), the row
    // index BTH has two levels, and both B-trees are three levels deep.
    ScratchDir dir;
    std::string path = dir.File("big.pst");
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(path, 1, "Mailbox");
    store::Folder& f = st.IPMRootFolder().AddFolder("Archive", store::olFolderMail);
    for (int i = 0; i < 20000; ++i) {
        auto item = f.AddItem(store::ItemType::Mail);
        item->SetProp(PR_SUBJECT, "archived message number " + std::to_string(i));
        item->SetProp(PR_SENDER_NAME, std::string("Sender Name"));
        item->SetProp(PR_MESSAGE_FLAGS, int32_t(i % 3 == 0 ? 0 : 1));
        item->Save();
        if (i == 9999) st.Commit();  // a rewrite of a big table in between
    }
    session->Logoff();
    // The verifier matches every contents table row against the node tree.
    pst::verify::Report r = pst::verify::VerifyFile(path);
    EXPECT_TRUE(r.Clean()) << storetest::VerifierFaults(path);
    EXPECT_EQ(r.messages, 20000u);
}

// A commit writes the B-tree leaves whose entries changed and the pages above
// them, not both trees whole: one message added to another folder of a file of
// 3,000 (some 800 leaf pages) changes a few dozen of its 512-byte pages.
TEST(StoreDurability, ACommitWritesOnlyTheTreePagesItChanges) {
    ScratchDir dir;
    const std::string path = dir.File("cow.pst");
    auto session = store::CreatePstSession();
    store::Store& st = session->LogonPstStore(path, 1, "Mailbox");
    store::Folder& inbox = st.GetDefaultFolder(store::olFolderInbox);
    store::Folder& other = st.IPMRootFolder().AddFolder("Other", store::olFolderMail);
    for (int i = 0; i < 3000; ++i) AddMail(inbox, "committed " + std::to_string(i));
    st.Commit();
    auto read = [&] {
        std::ifstream in(path, std::ios::binary);
        return std::vector<char>(std::istreambuf_iterator<char>(in), {});
    };
    const std::vector<char> before = read();
    AddMail(other, "one more");
    st.Commit();
    const std::vector<char> after = read();
    size_t changed = 0;
    for (size_t at = 0; at + 512 <= std::min(before.size(), after.size()); at += 512)
        changed += !std::equal(before.begin() + long(at), before.begin() + long(at + 512), after.begin() + long(at));
    EXPECT_LT(changed, 150u);
    session->Logoff();
    EXPECT_EQ(storetest::VerifierFaults(path), "");
    EXPECT_EQ(PypffCount(path, "Inbox"), 3000);
}
