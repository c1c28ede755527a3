// Folder tree mapping: sorting and de-duplication of the folder list, root
// detection, folder creation in a store, and the folder each message goes to.
#include <gtest/gtest.h>

#include "EngineTestSupport.h"
#include "engine/EngineText.h"
#include "engine/FolderTree.h"
#include "engine/ImportedPaths.h"
#include "engine/PstParts.h"
#include "engine/MigrationLog.h"
#include "files/FileApi.h"

using namespace engine;
using enginetest::FolderAt;
namespace fs = std::filesystem;

namespace {

struct StoreFixture : ::testing::Test {
    fake::FakeStore st;
    StoreNames names;
    void SetUp() override {
        st.displayName = "Mailbox (Zimbra) : Created - 7.12.26 9.5.03";
        st.ValidateIPMTree();
        names = {st.displayName, st.GetDefaultFolder(store::olFolderInbox).Name(),
                 st.GetDefaultFolder(store::olFolderSentMail).Name()};
    }
    std::vector<std::string> Create(std::vector<std::string> list) {
        CreateOutlookFolders(st, names, list);
        return list;
    }
};

}  // namespace

TEST(QuickSortStrings, OrdinalUtf16OrderEmptyFirstParentsBeforeChildren) {
    // U+1F600 (a surrogate pair in UTF-16) sorts before U+FF01, unlike in UTF-8 bytes.
    std::vector<std::string> list = {"b", "", "a\\b", "\xEF\xBC\x81", "a", "\xF0\x9F\x98\x80", "B", "a b", ""};
    QuickSortStrings(list, 0, static_cast<int>(list.size()) - 1);
    EXPECT_EQ(list, (std::vector<std::string>{"", "", "B", "a", "a b", "a\\b", "b", "\xF0\x9F\x98\x80",
                                              "\xEF\xBC\x81"}));
}

TEST(QuickSortStrings, SortsOnlyTheGivenSlotsAndCopesWithManyDuplicates) {
    std::vector<std::string> list = {"z", "c", "b", "a", "y"};
    QuickSortStrings(list, 1, 3);
    EXPECT_EQ(list, (std::vector<std::string>{"z", "a", "b", "c", "y"}));

    std::vector<std::string> big(20000, "Inbox");
    for (size_t i = 0; i < big.size(); i += 7) big[i] = "Archive\\" + std::to_string(i % 13);
    int yields = 0;
    QuickSortStrings(big, 0, static_cast<int>(big.size()) - 1, [&] { ++yields; });
    EXPECT_TRUE(std::is_sorted(big.begin(), big.end()));
    EXPECT_GT(yields, 0);
}

TEST(RemoveDuplicateStrings, KeepsEachNonEmptyPathOnceAndLeavesAnAllEmptyListAlone) {
    std::vector<std::string> list = {"", "", "Inbox", "Inbox", "Inbox\\A", "Inbox\\A", "Sent"};
    RemoveDuplicateStrings(list);
    EXPECT_EQ(list, (std::vector<std::string>{"Inbox", "Inbox\\A", "Sent"}));
    std::vector<std::string> empty = {"", "", ""};
    RemoveDuplicateStrings(empty);
    EXPECT_EQ(empty.size(), 3u);
}

TEST(StripBatchSuffixes, OnlyBangDigitsAtTheEndOfAComponentIsASpill) {
    EXPECT_EQ(StripBatchSuffixes("Inbox!1"), "Inbox");
    EXPECT_EQ(StripBatchSuffixes("Inbox\\Work!12"), "Inbox\\Work");
    EXPECT_EQ(StripBatchSuffixes("Work!2\\Sub"), "Work\\Sub");
    EXPECT_EQ(StripBatchSuffixes("Important!"), "Important!");
    EXPECT_EQ(StripBatchSuffixes("Hey!You"), "Hey!You");
    EXPECT_EQ(StripBatchSuffixes("Top!3x"), "Top!3x");
    EXPECT_EQ(StripBatchSuffixes("!5"), "!5");  // nothing before the "!": a real name
}

TEST(DetectRootPath, RootMetaThenInboxThenTheMailboxFolderWithASeparator) {
    const std::string s(1, NativeSeparator());
    const std::string box = s + "x" + s + "box";
    EXPECT_EQ(DetectRootPath({box + s + "Inbox" + s + "a.eml", box + s + "0000000011-ROOT.meta"}, box),
              box + s);
    std::vector<std::string> statuses;
    EXPECT_EQ(DetectRootPath({box + s + "a.meta", box + s + "sub" + s + "Inbox" + s + "Work" + s + "1.eml"}, box,
                             [&](const std::string& t) { statuses.push_back(t); }),
              box + s + "sub" + s);
    EXPECT_EQ(statuses.front(), "Reading Zimbra Folder(s)...");
    EXPECT_EQ(statuses.at(1), "Checking Zimbra Folder Root Structure... ");
    // Neither: the mailbox folder, always ending with the separator.
    EXPECT_EQ(DetectRootPath({box + s + "Notes" + s + "n.meta"}, box), box + s);
    EXPECT_EQ(DetectRootPath({}, box + s), box + s);
    // "-root.meta" is found whatever its case; "_ROOT.meta" is not a root marker.
    EXPECT_EQ(DetectRootPath({box + s + "0000000001-USER_ROOT.meta", box + s + "m" + s + "0000000011-ROOT.META"},
                             box),
              box + s + "m" + s);
}

TEST(BuildFolderList, DistinctSortedStoreFormPathsWithSpillsFolded) {
    enginetest::TempDir t;
    const std::string root = t.path + "/";
    std::vector<std::string> queue;
    for (const char* rel : {"0000000011-ROOT.meta", "Inbox/1.eml", "Inbox/2.eml", "Inbox!1/3.eml", "Sent/Projects/2019/4.eml",
                            "Inbox/Work!2/5.eml", "Important!/6.eml", "Contacts/c.meta"}) {
        enginetest::WriteFile(root + rel, "x");
        queue.push_back(root + rel);
    }
    queue.push_back(root + "Gone/missing.eml");  // vanished: counts as the folder before it
    FileProbe probe{[](const std::string& p) { return files::FileExists(p); },
                    [](const std::string& p) { return files::FolderExists(p); }};
    EXPECT_EQ(BuildFolderList(queue, root, probe),
              (std::vector<std::string>{"Contacts", "Important!", "Inbox", "Inbox\\Work", "Sent\\Projects\\2019"}));
}

TEST_F(StoreFixture, InboxAndSentMapOntoDefaultsAndSentTreesGoBelowSentItems) {
    auto list = Create({"Inbox", "Sent", "Sent\\Projects", "Sent\\Projects\\2019", "Drafts", "Archive",
                        "Archive\\2020", "Emailed Contacts", "Contacts", "Calendar"});
    EXPECT_EQ(list[0], "Inbox");
    EXPECT_EQ(list[1], "Sent Items");
    ASSERT_NE(FolderAt(st, "Sent Items/Projects/2019"), nullptr);
    ASSERT_NE(FolderAt(st, "Archive/2020"), nullptr);
    EXPECT_EQ(FolderAt(st, "Sent"), nullptr);
    EXPECT_EQ(FolderAt(st, "Emailed Contacts"), nullptr);
    // Default folders are not made twice.
    int contacts = 0;
    for (auto& c : st.ipm.children) contacts += c->name == "Contacts";
    EXPECT_EQ(contacts, 1);
}

TEST_F(StoreFixture, MissingIntermediateFoldersAreMadeAndExcludedLeavesAreNot) {
    // Sorted order would make Sent\Projects first; without it the loop finds the gap.
    Create({"Sent\\Projects\\2019\\Q1", "Work\\Calendar", "Work\\Sent", "Work\\Notebook", "Inbox\\A\\B",
            "Important!"});
    EXPECT_NE(FolderAt(st, "Sent Items/Projects/2019/Q1"), nullptr);
    EXPECT_NE(FolderAt(st, "Inbox/A/B"), nullptr);
    EXPECT_EQ(FolderAt(st, "Work"), nullptr);  // none of its children is ever created
    EXPECT_NE(FolderAt(st, "Important!"), nullptr);
}

namespace {
// A store whose path lookup fails with a text that names no folder of the path.
struct OddStore : fake::FakeStore {
    int lookups = 0;
    store::Folder& GetFolderFromPath(const std::string& path) override {
        ++lookups;
        if (path.find("Deep") != std::string::npos) throw store::StoreError("the store is busy");
        return fake::FakeStore::GetFolderFromPath(path);
    }
};
}  // namespace

TEST(CreateOutlookFolders, TheMissingFolderLoopEndsWhenTheFailureNamesNoFolder) {
    OddStore st;
    st.displayName = "M";
    st.ValidateIPMTree();
    std::vector<std::string> list = {"Deep\\A\\B\\C", "Other\\X"};
    CreateOutlookFolders(st, {"M", "Inbox", "Sent Items"}, list);
    EXPECT_LT(st.lookups, 12);
    EXPECT_NE(FolderAt(st, "Other/X"), nullptr);  // the next folder is still made
}

TEST_F(StoreFixture, MessageTargetFollowsTheTreeAndFoldsSpills) {
    const std::string s(1, NativeSeparator());
    const std::string root = s + "m" + s;
    auto target = [&](const std::string& rel) {
        return MessageTargetPath(root + Native(rel), root, names);
    };
    const std::string top = "\\\\" + names.displayName + "\\";
    EXPECT_EQ(target("Inbox\\a.eml"), top + "Inbox\\");
    EXPECT_EQ(target("Inbox!1\\a.eml"), top + "Inbox\\");
    EXPECT_EQ(target("Inbox\\Work!2\\a.eml"), top + "Inbox\\Work\\");
    EXPECT_EQ(target("Sent\\a.eml"), top + "Sent Items\\");
    EXPECT_EQ(target("Sent!3\\a.eml"), top + "Sent Items\\");
    EXPECT_EQ(target("Sent\\Projects\\2019\\a.eml"), top + "Sent Items\\Projects\\2019\\");
    EXPECT_EQ(target("Important!\\a.eml"), top + "Important!\\");
    EXPECT_EQ(target("Sentinel\\a.eml"), top + "Sentinel\\");
    EXPECT_EQ(target("a.eml"), top);
    // A mailbox given by a relative name that a folder's name contains.
    const std::string box = "box" + s;
    EXPECT_EQ(MessageTargetPath(box + Native("Inbox\\x\\a.eml"), box, names), top + "Inbox\\x\\");
}

TEST(EngineText, TimeStampAndReplace) {
    EXPECT_EQ(FormatTimeStamp(7, 12, 2026, 9, 5, 3), "7.12.26 9.5.03");
    EXPECT_EQ(FormatTimeStamp(31, 1, 2005, 23, 59, 59), "31.1.05 23.59.59");
    EXPECT_EQ(ReplaceAll("a.pst.pst", ".pst", ".log"), "a.log.log");
    EXPECT_EQ(ToStoreSeparators(Native("Inbox\\Work")), "Inbox\\Work");
}

TEST(MigrationLog, LogPathStaysBesideThePstAndNeverTakesItsName) {
    const std::string s(1, NativeSeparator());
    EXPECT_EQ(LogPathFor(s + "out" + s + "jdoe.pst"), s + "out" + s + "jdoe.log");
    EXPECT_EQ(LogPathFor(s + "a.pst.old" + s + "box.pst"), s + "a.pst.old" + s + "box.log");
    EXPECT_EQ(LogPathFor(s + "out" + s + "BOX.PST"), s + "out" + s + "BOX.PST.log");
    EXPECT_EQ(LogPathFor("box"), "box.log");
}

TEST(MigrationLog, ExactBytesUtf8WithCrLfAppendedToWhatIsThere) {
    enginetest::TempDir t;
    MigrationLog log(t / "box.log");
    enginetest::WriteFile(t / "box.log", "old content\r\n");
    ASSERT_TRUE(log.Start());
    ASSERT_TRUE(log.Bad("/m/Inbox/Grüße.eml"));
    ASSERT_TRUE(log.Bad("/m/Inbox/x.eml", "no message in file"));
    EXPECT_EQ(enginetest::ReadAll(t / "box.log"), "old content\r\n---- Log Starts -----\r\nBAD : /m/Inbox/Grüße.eml\r\n"
                                                  "BAD : /m/Inbox/x.eml (no message in file)\r\n");
    EXPECT_TRUE(log.Error().empty());
    MigrationLog nowhere(t / "no-such-folder/box.log");
    EXPECT_FALSE(nowhere.Start());
    EXPECT_FALSE(nowhere.Bad("/m/a.eml", "why"));
    EXPECT_FALSE(nowhere.Error().empty());
    EXPECT_EQ(nowhere.Unwritten(), std::vector<std::string>{"BAD : /m/a.eml (why)"});
}

TEST(MigrationLog, NeverWritesThroughALinkOrASecondNameButStillLogs) {
    enginetest::TempDir t;
    enginetest::WriteFile(t / "precious", "precious\n");
    fs::create_symlink(t / "precious", t / "sym.log");
    fs::create_hard_link(t / "precious", t / "hard.log");
    fs::create_symlink(t / "precious", t / "hard.1.log");  // a planted fallback name is passed over too
    for (const char* name : {"sym.log", "hard.log", "sym.log"}) {
        MigrationLog log(t / name);
        EXPECT_TRUE(log.Start()) << name;
        EXPECT_TRUE(log.Bad("/m/a.eml"));
        EXPECT_TRUE(log.Error().empty());
        EXPECT_EQ(log.Refused().substr(0, (t / name).size()), t / name);
        EXPECT_NE(log.Path(), t / name);
        const std::string text = enginetest::ReadAll(log.Path());
        EXPECT_EQ(text.rfind("---- Log Starts -----\r\nNOTE : " + (t / name) + " (not written through: the log", 0), 0u);
        EXPECT_TRUE(text.ends_with("; this file is the log)\r\nBAD : /m/a.eml\r\n")) << text;
    }
    EXPECT_TRUE(fs::exists(t / "sym.1.log") && fs::exists(t / "sym.2.log") && fs::exists(t / "hard.2.log"));
    EXPECT_EQ(enginetest::ReadAll(t / "precious"), "precious\n");
}

TEST(MigrationLog, OneFileIsOneLineWhateverItsNameHolds) {
    EXPECT_EQ(LogText("/m/a\nBAD : forged.eml"), "/m/a\\x0ABAD : forged.eml");
    EXPECT_EQ(LogText("a\rb\tc\x7F"), "a\\x0Db\\x09c\\x7F");
    EXPECT_EQ(LogText("back\\slash"), "back\\\\slash");
    EXPECT_EQ(LogText("Grüße \xFF\xC3"), "Grüße \\xFF\\xC3");
    EXPECT_EQ(LogText("line\u2028sep\u0085"), "line\\xE2\\x80\\xA8sep\\xC2\\x85");
}

// The run's record of imported sources, across the merges of its recent additions.
TEST(ImportedPaths, FindsEveryAddedPathAndNoOtherInAnyOrder) {
    engine::ImportedPaths paths;
    for (int i = 0; i < 20000; ++i) {
        paths.Add("/export/jdoe/Inbox!" + std::to_string(i / 500) + "/" + std::to_string(i) + ".eml");
        if (i % 97 == 0) {
            EXPECT_TRUE(paths.Contains("/export/jdoe/Inbox!" + std::to_string(i / 500) + "/" + std::to_string(i) + ".eml"));
            EXPECT_FALSE(paths.Contains("/export/jdoe/Inbox!" + std::to_string(i / 500) + "/" + std::to_string(i + 1) + ".eml"));
        }
    }
    paths.Add("/export/jdoe/Inbox/0.eml");
    paths.Add("/export/jdoe/Inbox/0.eml");
    for (int i = 0; i < 20000; i += 13)
        EXPECT_TRUE(paths.Contains("/export/jdoe/Inbox!" + std::to_string(i / 500) + "/" + std::to_string(i) + ".eml")) << i;
    EXPECT_FALSE(paths.Contains("/export/jdoe/Inbox/1.eml"));
    EXPECT_FALSE(paths.Contains(""));
}

TEST(PstParts, PartNamesAndSizes) {
    EXPECT_EQ(engine::PstPartPath("/out/jdoe.pst", 2), "/out/jdoe (2).pst");
    EXPECT_EQ(engine::PstPartPath("/out/JDOE.PST", 3), "/out/JDOE (3).PST");
    EXPECT_EQ(engine::PstPartPath("/out/jdoe", 2), "/out/jdoe (2)");
    uint64_t b = 1;
    EXPECT_TRUE(engine::ParsePstSize("45G", b));
    EXPECT_EQ(b, uint64_t(45) << 30);
    EXPECT_TRUE(engine::ParsePstSize("5mb", b));
    EXPECT_EQ(b, uint64_t(5) << 20);
    EXPECT_TRUE(engine::ParsePstSize("0", b));
    EXPECT_EQ(b, 0u);
    for (const char* bad : {"", "G", "5X", "-1", "5 M", "99999999999999999999T"}) EXPECT_FALSE(engine::ParsePstSize(bad, b)) << bad;
}
