// Choosing the mailboxes of a run of many (shares, manifests) and the summary
// documents that tasks leave for `orvandel report`.
#include <gtest/gtest.h>

#include "EngineTestSupport.h"
#include "engine/MailboxSelection.h"
#include "engine/SummaryJson.h"

using namespace enginetest;

TEST(MailboxShard, ParsesOnlyValidSharesAndSplitsStably) {
    EXPECT_FALSE(engine::ParseShard("2/2"));
    EXPECT_FALSE(engine::ParseShard("1"));
    EXPECT_FALSE(engine::ParseShard("/3"));
    EXPECT_FALSE(engine::ParseShard("0/0"));
    EXPECT_FALSE(engine::ParseShard("-1/3"));
    EXPECT_FALSE(engine::ParseShard("1/3x"));
    ASSERT_TRUE(engine::ParseShard("2/3"));
    EXPECT_EQ(engine::ParseShard("2/3")->Text(), "2/3");
    // The published FNV-1a values: a share never changes between releases or machines.
    EXPECT_EQ(engine::MailboxNameHash(""), 0xcbf29ce484222325ull);
    EXPECT_EQ(engine::MailboxNameHash("a"), 0xaf63dc4c8601ec8cull);
    // Every mailbox is in exactly one share, and the shares are not lopsided.
    std::vector<int> sizes(4);
    for (int i = 0; i < 400; ++i) {
        int holders = 0;
        for (int k = 0; k < 4; ++k)
            if (engine::Shard{k, 4}.Holds("user" + std::to_string(i))) ++holders, ++sizes[static_cast<size_t>(k)];
        EXPECT_EQ(holders, 1);
    }
    for (int n : sizes) EXPECT_GT(n, 60);
}

TEST(MailboxManifest, ReadsFoldersRelativeToItselfAndRefusesWhatCannotWork) {
    TempDir dir;
    fs::create_directories(dir / "export/alice");
    fs::create_directories(dir / "other/bob");
    WriteFile(dir / "list.txt", "# the mailboxes\r\nexport/alice/\n\n  " + dir.path + "/other/bob  \n");
    std::vector<engine::MailboxRow> rows;
    std::string error;
    ASSERT_TRUE(engine::ReadManifest(dir / "list.txt", rows, error)) << error;
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].name, "alice");
    EXPECT_EQ(rows[0].folder, dir.path + "/export/alice");
    EXPECT_EQ(rows[1].name, "bob");
    EXPECT_TRUE(rows[1].selected);

    fs::create_directories(dir / "again/alice");
    for (const std::string& text : {std::string("export/alice\nagain/alice\n"), std::string("export/nobody\n"),
                                    std::string("# nothing\n")}) {
        WriteFile(dir / "bad.txt", text);
        rows.clear();
        error.clear();
        EXPECT_FALSE(engine::ReadManifest(dir / "bad.txt", rows, error)) << text;
        EXPECT_FALSE(error.empty());
    }
    EXPECT_NE(error.find("names no mailbox"), std::string::npos) << error;
    EXPECT_FALSE(engine::ReadManifest(dir / "missing.txt", rows, error));
}

TEST(SummaryJson, ReadsBackWhatItWritesForEveryStatus) {
    engine::SummaryDocument doc;
    doc.shard = "1/3";
    doc.exitStatus = 2;
    auto add = [&](const std::string& name, auto set) {
        engine::MailboxSummary m;
        m.name = name;
        m.folder = "/exports/" + name;
        set(m);
        doc.mailboxes.push_back(m);
    };
    add("ok \"quoted\"\\ name\tü", [](auto& m) { m.messagesImported = 7, m.contacts = 2, m.pstPath = "o/x.pst"; });
    add("failing", [](auto& m) { m.messagesFailed = 1, m.badLines = 1, m.logPath = "o/f.log"; });
    add("broken store", [](auto& m) { m.storeFailed = true, m.storeError = "disk full\nreally"; });
    for (auto flag : {&engine::MailboxSummary::notStarted, &engine::MailboxSummary::empty,
                      &engine::MailboxSummary::cancelled, &engine::MailboxSummary::stopped,
                      &engine::MailboxSummary::closed, &engine::MailboxSummary::skipped})
        add("flag", [flag](auto& m) { m.*flag = true; });

    std::string error;
    auto back = engine::SummaryFromJson(engine::SummaryToJson(doc), error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(back->shard, "1/3");
    EXPECT_EQ(back->exitStatus, 2);
    ASSERT_EQ(back->mailboxes.size(), doc.mailboxes.size());
    for (size_t i = 0; i < doc.mailboxes.size(); ++i) {
        const auto &a = doc.mailboxes[i], &b = back->mailboxes[i];
        EXPECT_EQ(b.name, a.name);
        EXPECT_EQ(b.storeError, a.storeError);
        EXPECT_EQ(engine::MailboxStatus(b), engine::MailboxStatus(a)) << a.name;
        EXPECT_EQ(engine::MailboxExitStatus(b), engine::MailboxExitStatus(a)) << a.name;
        EXPECT_EQ(b.messagesImported, a.messagesImported);
        EXPECT_EQ(b.badLines, a.badLines);
    }
    EXPECT_EQ(engine::RunExitStatus(back->mailboxes), 2);

    for (const std::string& bad : {std::string(""), std::string("{\"mailboxes\": []"), std::string("[1, 2]"),
                                   std::string("{\"mailboxes\": [{\"name\": \"x\", \"status\": \"odd\"}], "
                                               "\"exit_status\": 0}")})
        EXPECT_FALSE(engine::SummaryFromJson(bad, error)) << bad;
}
