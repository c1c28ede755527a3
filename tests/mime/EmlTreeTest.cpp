// Folder import of `orvandel eml2pst` over the in-memory store.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "Corpus.h"
#include "mime/EmlTree.h"
#include "support/FakeStore.h"

namespace fs = std::filesystem;

namespace {

std::string Msg(const std::string& subject) { return "From: a@example.com\r\nSubject: " + subject + "\r\n\r\nbody\r\n"; }

std::vector<std::string> Subjects(const fake::FakeFolder& f) {
    std::vector<std::string> out;
    for (auto& it : f.saved) out.push_back(it->Str(pst::tags::PR_SUBJECT));
    return out;
}

TEST(EmlTree, FoldersBecomeMailFoldersAndLooseFilesGoToTheInbox) {
    char tmpl[] = "/tmp/orvandel-emltree-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    fs::create_directories(dir + "/Saved/Projects/Old");
    fs::create_directories(dir + "/Saved/Empty");
    fs::create_directories(dir + "/Inbox");
    mimetest::WriteFile(dir + "/Saved/b.eml", Msg("second"));
    mimetest::WriteFile(dir + "/Saved/a.EML", Msg("first"));
    mimetest::WriteFile(dir + "/Saved/notes.txt", Msg("not a message file"));
    mimetest::WriteFile(dir + "/Saved/EML~1", Msg("short name"));
    mimetest::WriteFile(dir + "/Saved/Projects/p.eml", Msg("project"));
    mimetest::WriteFile(dir + "/Saved/Projects/Old/bad.eml", "no headers here\n");
    mimetest::WriteFile(dir + "/Saved/Projects/Old/o.eml", Msg("old"));
    mimetest::WriteFile(dir + "/Inbox/i.eml", Msg("into the existing inbox"));
    mimetest::WriteFile(dir + "/loose.txt", Msg("loose file"));
    fs::create_directory_symlink(dir + "/Saved", dir + "/Saved/Projects/loop");

    fake::FakeStore st;
    st.displayName = "Test";
    st.ValidateIPMTree();
    std::vector<std::string> failed;
    auto stats = mime::ImportEmlInputs(st, {dir + "/Saved/", dir + "/Inbox", dir + "/loose.txt", dir + "/missing.eml"},
                                       [&](const std::string& p, const std::string&) { failed.push_back(p); });
    fs::remove_all(dir);

    EXPECT_EQ(stats.imported, 7u);
    EXPECT_EQ(failed, (std::vector<std::string>{dir + "/Saved/Projects/Old/bad.eml", dir + "/missing.eml"}));
    auto* saved = st.ipm.Child("Saved");
    ASSERT_TRUE(saved);
    // byte order: "EML~1" < "a.EML" < "b.eml"; files before sub-folders
    EXPECT_EQ(Subjects(*saved), (std::vector<std::string>{"short name", "first", "second"}));
    ASSERT_TRUE(saved->Child("Projects"));
    EXPECT_EQ(Subjects(*saved->Child("Projects")), (std::vector<std::string>{"project"}));
    EXPECT_EQ(Subjects(*saved->Child("Projects")->Child("Old")), (std::vector<std::string>{"old"}));
    EXPECT_TRUE(saved->Child("Empty"));
    EXPECT_FALSE(saved->Child("Projects")->Child("loop"));  // a link to a folder is not entered
    auto* inbox = static_cast<fake::FakeFolder*>(&st.GetDefaultFolder(store::olFolderInbox));
    EXPECT_EQ(Subjects(*inbox), (std::vector<std::string>{"into the existing inbox", "loose file"}));
    EXPECT_EQ(stats.folders, 4u);  // Saved, Projects, Old, Empty
    // saved messages are marked read
    EXPECT_EQ(std::get<int32_t>(*inbox->saved[0]->GetProp(pst::tags::PR_MESSAGE_FLAGS)), 1);
}

}  // namespace
