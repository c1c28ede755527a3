// The state of a message as Zimbra recorded it: tag names of "TagNames".
#include <gtest/gtest.h>

#include "items/ZimbraMetaReader.h"

using namespace items;
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
