// The state of a message as Zimbra recorded it: tag names of "TagNames", and
// read, flags, verbs and tags from the ".eml.meta" file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "MetaEncoding.h"
#include "items/MessageState.h"
#include "items/ZimbraMetaReader.h"

using namespace items;
using metaenc::JsonQuote;
using Names = std::vector<std::string>;

TEST(SplitTagNames, SplitsAtColonsAndDropsEmptyNames) {
    EXPECT_EQ(SplitTagNames(""), Names{});
    EXPECT_EQ(SplitTagNames(":"), Names{});
    EXPECT_EQ(SplitTagNames("Work"), Names{"Work"});
    EXPECT_EQ(SplitTagNames("Work:Private"), (Names{"Work", "Private"}));
    EXPECT_EQ(SplitTagNames(":Work::Private:"), (Names{"Work", "Private"}));
    EXPECT_EQ(SplitTagNames("Grün:日本"), (Names{"Grün", "日本"}));
    EXPECT_EQ(SplitTagNames("a b: c"), (Names{"a b", " c"}));
}

TEST(SplitTagNames, HonoursEscapedColonsAndBackslashes) {
    EXPECT_EQ(SplitTagNames(R"(Project\: Alpha:Home)"), (Names{"Project: Alpha", "Home"}));
    EXPECT_EQ(SplitTagNames(R"(a\\:b)"), (Names{R"(a\)", "b"}));        // "\\" then a separator
    EXPECT_EQ(SplitTagNames(R"(a\\\:b)"), (Names{R"(a\:b)"}));          // "\\" then "\:"
    EXPECT_EQ(SplitTagNames(R"(\:)"), (Names{":"}));
    // A backslash before anything else, or at the end, is kept as it stands.
    EXPECT_EQ(SplitTagNames(R"(C\temp:x\)"), (Names{R"(C\temp)", R"(x\)"}));
}

TEST(SplitTagNames, DropsDuplicatesKeepingFirstOrder) {
    EXPECT_EQ(SplitTagNames("b:a:b:c:a"), (Names{"b", "a", "c"}));
    EXPECT_EQ(SplitTagNames(R"(x\:y:x:y:x\:y)"), (Names{"x:y", "x", "y"}));
}

namespace {

// A message's ".meta" as the export writes it, with the state members given.
std::string MessageMeta(const std::string& unread, const std::string& flagStr, const std::string& tagNames) {
    return metaenc::MetaJson({{"tags", "0"},
                              {"flags", "0"},
                              {"unread", unread},
                              {"type", "5"},
                              {"Path", JsonQuote("/Inbox/")},
                              {"FlagStr", JsonQuote(flagStr)},
                              {"TagStr", JsonQuote("")},
                              {"TagNames", JsonQuote(tagNames)},
                              {"id", "257"}},
                             "d1:f13:me@example.com1:vi10ee");
}

class MessageStateFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("orvandel-state-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, ec);
        std::filesystem::remove_all(dir_, ec);
    }
    std::string Write(const std::string& name, const std::string& bytes) {
        return metaenc::WriteUnder(dir_.string(), name, bytes);
    }
    std::filesystem::path dir_;
};

}  // namespace

TEST(MessageStateFromMeta, ReadsEveryFlagAndTheTags) {
    MessageState s = MessageStateFromMeta(ParseMetaFile(MessageMeta("1", "afrwdu", R"(Work:Project\: Alpha)")));
    EXPECT_TRUE(s.known);
    EXPECT_TRUE(s.unread);
    EXPECT_TRUE(s.flagged);
    EXPECT_TRUE(s.replied);
    EXPECT_TRUE(s.forwarded);
    EXPECT_TRUE(s.draft);
    EXPECT_EQ(s.categories, (Names{"Work", "Project: Alpha"}));

    s = MessageStateFromMeta(ParseMetaFile(MessageMeta("0", "sa", "")));
    EXPECT_TRUE(s.known);
    EXPECT_FALSE(s.unread || s.flagged || s.replied || s.forwarded || s.draft);
    EXPECT_TRUE(s.categories.empty());
}

TEST(MessageStateFromMeta, UnreadFromEitherMember) {
    // The number alone, "u" alone (a "FlagStr" without the number), both.
    EXPECT_TRUE(MessageStateFromMeta(ParseMetaFile(MessageMeta("1", "", ""))).unread);
    EXPECT_TRUE(MessageStateFromMeta(ParseMetaFile(MessageMeta("0", "u", ""))).unread);
    EXPECT_TRUE(MessageStateFromMeta(ParseMetaFile(MessageMeta("1", "u", ""))).unread);
    EXPECT_FALSE(MessageStateFromMeta(ParseMetaFile(MessageMeta("0", "rw", ""))).unread);
    // A message without the members is read, with nothing set.
    MessageState s = MessageStateFromMeta(ParseMetaFile(R"({"type":5,"id":3,"metadata":"d1:vi10ee"})"));
    EXPECT_TRUE(s.known);
    EXPECT_FALSE(s.unread || s.flagged || s.replied || s.forwarded || s.draft);
}

TEST_F(MessageStateFiles, ReadsTheFileBesideTheMessage) {
    const std::string meta = Write("Inbox/Hello.eml.meta", MessageMeta("1", "fu", "Home:Home:Work"));
    MessageState s = ReadMessageState(meta);
    EXPECT_TRUE(s.known);
    EXPECT_TRUE(s.unread);
    EXPECT_TRUE(s.flagged);
    EXPECT_EQ(s.categories, (Names{"Home", "Work"}));
}

TEST_F(MessageStateFiles, ReadOnlyMetaOfAnUnreadMessageIsRead) {
    // The export leaves an unread message's ".eml.meta" read-only (mode 0444).
    const std::string meta = Write("Inbox/Unread.eml.meta", MessageMeta("1", "u", ""));
    ASSERT_EQ(chmod(meta.c_str(), 0444), 0);
    MessageState s = ReadMessageState(meta);
    EXPECT_TRUE(s.known);
    EXPECT_TRUE(s.unread);
}

TEST_F(MessageStateFiles, BrokenOrMissingMetaGivesNoState) {
    const std::string full = MessageMeta("1", "frwdu", "Work");
    const std::vector<std::string> broken = {
        Write("empty.eml.meta", ""),
        Write("cut.eml.meta", full.substr(0, full.size() / 2)),  // cut off part-way
        Write("cut-end.eml.meta", full.substr(0, full.size() - 1)),
        Write("text.eml.meta", "d1:f13:me@example.com1:ui1ee"),  // not JSON
        Write("binary.eml.meta", std::string("\0\xff\xfe{\"unread\":1}", 15)),
        Write("array.eml.meta", R"([{"unread":1,"FlagStr":"u"}])"),
    };
    for (const auto& path : broken) {
        MessageState s = ReadMessageState(path);
        EXPECT_FALSE(s.known) << path;
        EXPECT_FALSE(s.unread || s.flagged || s.replied || s.forwarded || s.draft) << path;
        EXPECT_TRUE(s.categories.empty()) << path;
    }
    EXPECT_FALSE(ReadMessageState((dir_ / "absent.eml.meta").string()).known);
    EXPECT_FALSE(ReadMessageState(dir_.string()).known);  // a folder, not a file
    if (geteuid() != 0) {  // root reads a mode-000 file anyway
        const std::string locked = Write("locked.eml.meta", full);
        ASSERT_EQ(chmod(locked.c_str(), 0), 0);
        EXPECT_FALSE(ReadMessageState(locked).known);
    }
}
