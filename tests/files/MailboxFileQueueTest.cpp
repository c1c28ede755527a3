#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TempTree.h"
#include "files/FileApi.h"
#include "files/MailboxFileQueue.h"

using namespace files;
using testutil::TempTree;

namespace {

struct RecordingStatus : QueueStatus {
    bool deleteChecked = false;
    int checkAfterLabels = -1;  // tick the box after this many label writes
    std::vector<std::string> labels;
    int yields = 0;
    bool DeleteSourceChecked() override { return deleteChecked; }
    void SetCountLabel(const std::string& text) override {
        labels.push_back(text);
        if (static_cast<int>(labels.size()) == checkAfterLabels) deleteChecked = true;
    }
    void Yield() override { ++yields; }
};

std::vector<std::string> Keys(const FileQueue& q) {
    std::vector<std::string> keys;
    for (const auto& e : q) keys.push_back(e.key);
    return keys;
}

// m/ with a.eml, b.meta, Inbox/1.eml, Inbox/Sub/2.eml, Sent/3.eml.
void MakeExampleTree(const TempTree& t) {
    t.file("m/a.eml");
    t.file("m/b.meta");
    t.file("m/Inbox/1.eml");
    t.file("m/Inbox/Sub/2.eml");
    t.file("m/Sent/3.eml");
}

}  // namespace

TEST(MailboxFileQueue, DepthFirstFilesBeforeSubfolders) {
    TempTree t;
    MakeExampleTree(t);
    RecordingStatus status;
    FileQueue queue;
    QueueCounter counter = 1;
    std::string folder = t.path("m");
    QueueMailboxFilesLong(queue, folder, "*.*", counter, &status);

    EXPECT_EQ(folder, t.path("m/"));  // the caller's variable gains the separator
    const std::string m = t.path("m/");
    EXPECT_EQ(queue.Items(), (std::vector<std::string>{m + "a.eml", m + "b.meta", m + "Inbox/1.eml",
                                                       m + "Inbox/Sub/2.eml", m + "Sent/3.eml"}));
    EXPECT_EQ(Keys(queue), (std::vector<std::string>{"K1", "K2", "K3", "K4", "K5"}));
    EXPECT_EQ(counter, 6);
    ASSERT_EQ(status.labels.size(), 5u);
    EXPECT_EQ(status.labels.front(), "1 Messages Queued for Conversion.");
    EXPECT_EQ(status.labels.back(), "5 Messages Queued for Conversion.");
    EXPECT_GT(status.yields, 5);

    // The re-listing variant finds the same, in the same order.
    FileQueue again;
    QueueCounter c2 = 1;
    std::string f2 = t.path("m");
    QueueMailboxFiles(again, f2, "*.*", c2, nullptr);
    EXPECT_EQ(again.Items(), queue.Items());
    EXPECT_EQ(c2, 6);
}

TEST(MailboxFileQueue, ProgramWideQueueAndCounterContinuation) {
    TempTree t;
    MakeExampleTree(t);
    MailboxFileQueue().Clear();
    QueueCounter counter = 1;
    std::string folder = t.path("m/Inbox");
    QueueMailboxFilesLong(folder, "*.*", counter);
    EXPECT_EQ(MailboxFileQueue().Count(), 2u);
    EXPECT_EQ(counter, 3);
    // The counter goes on from where the caller left it; keys follow it.
    std::string sent = t.path("m/Sent/");
    QueueMailboxFiles(sent, "*.*", counter);
    EXPECT_EQ(MailboxFileQueue().Count(), 3u);
    EXPECT_EQ(MailboxFileQueue()[2].key, "K3");
    MailboxFileQueue().Clear();
    EXPECT_TRUE(MailboxFileQueue().Empty());
}

TEST(MailboxFileQueue, CheckedDeleteOptionLeavesTheLabelAlone) {
    TempTree t;
    MakeExampleTree(t);
    RecordingStatus status;
    status.deleteChecked = true;
    FileQueue queue;
    QueueCounter counter = 1;
    std::string folder = t.path("m");
    QueueMailboxFilesLong(queue, folder, "*.*", counter, &status);
    EXPECT_EQ(queue.Count(), 5u);
    EXPECT_TRUE(status.labels.empty());

    // Ticked during the listing: takes effect from the next file on.
    RecordingStatus live;
    live.checkAfterLabels = 2;
    FileQueue q2;
    counter = 1;
    QueueMailboxFilesLong(q2, folder, "*.*", counter, &live);
    EXPECT_EQ(q2.Count(), 5u);
    EXPECT_EQ(live.labels, (std::vector<std::string>{"1 Messages Queued for Conversion.",
                                                     "2 Messages Queued for Conversion."}));
}

TEST(MailboxFileQueue, EmptyAndMissingFolders) {
    TempTree t;
    t.dir("empty");
    t.dir("hollow/a/b");
    t.dir("hollow/c");
    for (const std::string rel : {"empty", "hollow", "missing"}) {
        RecordingStatus status;
        FileQueue queue;
        QueueCounter counter = 1;
        std::string folder = t.path(rel);
        QueueMailboxFilesLong(queue, folder, "*.*", counter, &status);
        EXPECT_TRUE(queue.Empty()) << rel;
        EXPECT_EQ(queue.Unlisted().size(), rel == std::string("missing") ? 1u : 0u) << rel;
        EXPECT_EQ(counter, 1) << rel;
        EXPECT_TRUE(status.labels.empty()) << rel;
    }
    // An empty folder text lists nothing (it would otherwise name the root).
    FileQueue queue;
    QueueCounter counter = 1;
    std::string folder;
    QueueMailboxFilesLong(queue, folder, "*.*", counter, nullptr);
    EXPECT_TRUE(queue.Empty());
    EXPECT_EQ(folder, "");
}

TEST(MailboxFileQueue, EveryKindOfFileIsQueuedAndThePatternFiltersFilesOnly) {
    TempTree t;
    t.file("m/README");          // no dot
    t.file("m/.hidden.eml");     // hidden
    t.file("m/ro.eml.meta");
    ::chmod(t.path("m/ro.eml.meta").c_str(), 0444);
    t.file("m/none.0000");
    ::chmod(t.path("m/none.0000").c_str(), 0000);
    t.file("m/Sub.dir/x.eml");   // folder whose name does not match "*.eml"
    t.file("m/Sub.dir/y.meta");

    FileQueue all;
    QueueCounter counter = 1;
    std::string folder = t.path("m");
    QueueMailboxFilesLong(all, folder, "*.*", counter, nullptr);
    const std::string m = t.path("m/");
    EXPECT_EQ(all.Items(), (std::vector<std::string>{m + ".hidden.eml", m + "README", m + "none.0000",
                                                     m + "ro.eml.meta", m + "Sub.dir/x.eml", m + "Sub.dir/y.meta"}));

    FileQueue eml;
    counter = 1;
    QueueMailboxFilesLong(eml, folder, "*.eml", counter, nullptr);
    EXPECT_EQ(eml.Items(), (std::vector<std::string>{m + ".hidden.eml", m + "Sub.dir/x.eml"}));
}

TEST(MailboxFileQueue, NamesAreKeptByteForByteAndSortedInByteOrder) {
    TempTree t;
    const std::string latin1 = "caf\xe9.eml";          // not UTF-8
    const std::string utf8 = "\xd0\x96\xd1\x83\xd1\x80.eml";  // Cyrillic
    t.file("m/" + latin1);
    t.file("m/" + utf8);
    t.file("m/Zed.eml");
    t.file("m/alpha.eml");
    t.file("m/a\\b.eml");  // a backslash is part of a POSIX name
    t.file("m/Inbox!1/5.eml");
    t.file("m/Inbox/4.eml");
    t.file("m/Important!/6.eml");
    FileQueue queue;
    QueueCounter counter = 1;
    std::string folder = t.path("m");
    QueueMailboxFilesLong(queue, folder, "*.*", counter, nullptr);
    const std::string m = t.path("m/");
    EXPECT_EQ(queue.Items(),
              (std::vector<std::string>{m + "Zed.eml", m + "a\\b.eml", m + "alpha.eml", m + latin1, m + utf8,
                                        m + "Important!/6.eml", m + "Inbox/4.eml", m + "Inbox!1/5.eml"}));
    for (const auto& e : queue) EXPECT_TRUE(FileExists(e.item)) << e.item;
}

TEST(MailboxFileQueue, SymbolicLinksToFoldersAreNotDescended) {
    TempTree outside;
    outside.file("secret/other.eml");
    outside.file("plain.eml");

    TempTree t;
    t.file("m/Inbox/1.eml");
    ASSERT_EQ(::symlink("..", t.path("m/Inbox/up").c_str()), 0);               // loop to the parent
    ASSERT_EQ(::symlink(t.path("m").c_str(), t.path("m/Inbox/self").c_str()), 0);
    ASSERT_EQ(::symlink(outside.path("secret").c_str(), t.path("m/escape").c_str()), 0);
    ASSERT_EQ(::symlink(outside.path("plain.eml").c_str(), t.path("m/linked.eml").c_str()), 0);
    ASSERT_EQ(::mkfifo(t.path("m/pipe.eml").c_str(), 0644), 0);

    FileQueue queue;
    QueueCounter counter = 1;
    std::string folder = t.path("m");
    QueueMailboxFilesLong(queue, folder, "*.*", counter, nullptr);
    const std::string m = t.path("m/");
    // The link to a file is queued as the link (deleting it removes the link only);
    // links to folders and the fifo are neither queued nor entered.
    EXPECT_EQ(queue.Items(), (std::vector<std::string>{m + "linked.eml", m + "Inbox/1.eml"}));
    EXPECT_EQ(counter, 3);

    for (const auto& e : queue) RemoveFile(e.item);
    EXPECT_TRUE(FileExists(outside.path("plain.eml")));
    EXPECT_TRUE(FileExists(outside.path("secret/other.eml")));
}

// Tests run as root, who reads every folder; the unreadable case is checked in a
// child process that has given up root.
TEST(MailboxFileQueue, UnreadableFolderContributesNoFilesAndIsRecorded) {
    TempTree t;
    t.file("m/a.eml");
    t.file("m/Locked/hidden.eml");
    t.file("m/Open/b.eml");
    t.file("m/Open/unreadable-file.eml");
    ::chmod(t.path("m/Open/unreadable-file.eml").c_str(), 0000);
    ::chmod(t.path("m/Locked").c_str(), 0000);

    auto run = [&] {
        FileQueue queue;
        QueueCounter counter = 1;
        std::string folder = t.path("m");
        QueueMailboxFilesLong(queue, folder, "*.*", counter, nullptr);
        const std::string m = t.path("m/");
        const bool locked = ::geteuid() != 0;  // the unprivileged side cannot read the folder
        return queue.Items() == std::vector<std::string>{m + "a.eml", m + "Open/b.eml", m + "Open/unreadable-file.eml"} &&
               counter == 4 && queue.Unlisted().size() == (locked ? 1u : 0u) &&
               (!locked || (queue.Unlisted()[0].folder == m + "Locked/" &&
                            queue.Unlisted()[0].reason == "Permission denied" &&
                            SourceFileProblem(m + "Open/unreadable-file.eml") == "Permission denied"));
    };
    if (::geteuid() != 0) {
        EXPECT_TRUE(run());
        return;
    }
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        ::_exit(run() ? 0 : 1);
    }
    int wstatus = 0;
    ASSERT_EQ(::waitpid(pid, &wstatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(wstatus));
    EXPECT_EQ(WEXITSTATUS(wstatus), 0);
}
