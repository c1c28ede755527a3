// The committed sample export, listed the way a conversion lists it.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "files/FileApi.h"
#include "files/MailboxFileQueue.h"

using namespace files;

namespace {

std::vector<std::string> Relative(const std::string& mailbox) {
    FileQueue queue;
    QueueCounter counter = 1;
    std::string folder = std::string(ORVANDEL_SAMPLE_EXPORT) + "/" + mailbox;
    QueueMailboxFilesLong(queue, folder, "*.*", counter, nullptr);
    EXPECT_EQ(static_cast<std::size_t>(counter - 1), queue.Count());
    std::vector<std::string> rel;
    for (const auto& e : queue) rel.push_back(e.item.substr(folder.size()));
    return rel;
}

std::ptrdiff_t Pos(const std::vector<std::string>& v, const std::string& s) {
    const auto it = std::find(v.begin(), v.end(), s);
    EXPECT_NE(it, v.end()) << s;
    return it - v.begin();
}

}  // namespace

TEST(SampleExport, BothMailboxesListInConversionOrder) {
    for (const std::string mailbox : {"alice", "bob"}) {
        const auto rel = Relative(mailbox);
        ASSERT_GT(rel.size(), 60u) << mailbox;
        // Root files first, in byte order; the root marker among them.
        EXPECT_EQ(rel.front(), "0000000001-USER_ROOT.meta");
        EXPECT_LT(Pos(rel, "0000000011-ROOT.meta"), Pos(rel, "0000000013-Emailed Contacts.meta"));
        for (std::size_t i = 0; i + 1 < rel.size(); ++i) {
            if (rel[i].find('/') == std::string::npos && rel[i + 1].find('/') == std::string::npos) {
                EXPECT_LT(rel[i], rel[i + 1]);
            }
        }
        // Folder metas sit beside their folders, before the folder's own files.
        EXPECT_LT(Pos(rel, "Sent/0000000" + std::string(mailbox == "alice" ? "260" : "304") + "-Projects.meta"),
                  Pos(rel, "Sent/Projects/0000000" + std::string(mailbox == "alice" ? "261" : "305") + "-2019.meta"));
        // Depth first: the whole Inbox subtree before the spill folder Inbox!1.
        std::ptrdiff_t lastInbox = -1, firstSpill = -1;
        for (std::size_t i = 0; i < rel.size(); ++i) {
            if (rel[i].rfind("Inbox/", 0) == 0) lastInbox = static_cast<std::ptrdiff_t>(i);
            if (firstSpill < 0 && rel[i].rfind("Inbox!1/", 0) == 0) firstSpill = static_cast<std::ptrdiff_t>(i);
        }
        EXPECT_GE(lastInbox, 0);
        EXPECT_GT(firstSpill, lastInbox);
        // Every message has its .eml.meta right after it.
        for (std::size_t i = 0; i < rel.size(); ++i) {
            if (rel[i].size() > 4 && rel[i].substr(rel[i].size() - 4) == ".eml") {
                ASSERT_LT(i + 1, rel.size());
                EXPECT_EQ(rel[i + 1], rel[i] + ".meta");
            }
        }
        // Each kind is there.
        auto has = [&](const std::string& suffix, const std::string& under) {
            return std::any_of(rel.begin(), rel.end(), [&](const std::string& s) {
                return s.rfind(under, 0) == 0 && s.size() > suffix.size() &&
                       s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
            });
        };
        EXPECT_TRUE(has(".appt.meta", "Calendar/")) << mailbox;
        EXPECT_TRUE(has(".task.meta", "Tasks/")) << mailbox;
        EXPECT_TRUE(has(".wiki.meta", "Notebook/")) << mailbox;
        EXPECT_TRUE(has(".wiki", "Notebook/")) << mailbox;
        EXPECT_TRUE(has(".meta", "Contacts/")) << mailbox;
        EXPECT_TRUE(has(".meta", "Emailed Contacts/")) << mailbox;
        EXPECT_TRUE(has(".eml", "Important!/")) << mailbox;
        EXPECT_TRUE(has(".eml", "Sent/Projects/2019/")) << mailbox;
    }
}
