// Commit as a durable point, and scale: a file copied between commits is the
// store as of the last commit; big folders and big values stay valid.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

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
    // After a crash the blocks written since the last commit lie past the
    // committed end of file; that tail is the only thing the verifier reports.
    std::string crashFaults = storetest::VerifierFaults(dir.File("crash.pst"));
    EXPECT_TRUE(crashFaults.empty() || (crashFaults.find("after ROOT.ibFileEof") != std::string::npos &&
                                        std::count(crashFaults.begin(), crashFaults.end(), '\n') == 1))
        << crashFaults;
    EXPECT_EQ(storetest::VerifierFaults(path), "");
    if (!storetest::InspectAvailable()) GTEST_SKIP() << "pst-inspect not found";
    EXPECT_EQ(PypffCount(dir.File("at-commit.pst"), "Inbox"), 25);
    EXPECT_EQ(PypffCount(dir.File("crash.pst"), "Inbox"), 25);
    EXPECT_EQ(PypffCount(path, "Inbox"), 51);
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
