#include <gtest/gtest.h>

#include "files/Paths.h"
#include "files/PlatformProbe.h"

using namespace files;

TEST(Paths, FileNameAndParentSplitAtTheLastSeparator) {
    EXPECT_EQ(GetFileName("/m/Inbox/1.eml"), "1.eml");
    EXPECT_EQ(GetParentPath("/m/Inbox/1.eml"), "/m/Inbox/");
    EXPECT_EQ(GetFileName("plain"), "plain");
    EXPECT_EQ(GetParentPath("plain"), "");
    EXPECT_EQ(GetFileName("/m/Inbox/"), "");
    EXPECT_EQ(GetParentPath("/m/Inbox/"), "/m/Inbox/");
    // A backslash is an ordinary character of a POSIX name.
    EXPECT_EQ(GetFileName("/m/a\\b.eml"), "a\\b.eml");
}

TEST(Paths, AddBackslashTrimsAndAppendsOnce) {
    EXPECT_EQ(AddBackslash(""), "/");
    EXPECT_EQ(AddBackslash("   "), "/");
    EXPECT_EQ(AddBackslash("/a/"), "/a/");
    EXPECT_EQ(AddBackslash("  /a  "), "/a/");
}

TEST(Paths, RootTests) {
    EXPECT_FALSE(IsRootPath(""));
    EXPECT_TRUE(IsRootPath("/"));
    EXPECT_FALSE(IsRootPath("/a"));
    EXPECT_FALSE(IsRootPath("/a/"));
    EXPECT_TRUE(IsRootPath("//server"));
    EXPECT_TRUE(IsRootPath("//server/"));
    EXPECT_FALSE(IsRootPath("//server/share"));
    EXPECT_FALSE(IsRootPath("mailbox"));
}

TEST(Paths, TrimNullChars) {
    EXPECT_EQ(TrimNullChars(std::string("abc\0def", 7)), "abc");
    EXPECT_EQ(TrimNullChars("abc"), "abc");
    EXPECT_EQ(TrimNullChars(std::string("\0x", 2)), "");
}

TEST(Paths, LongPathForm) {
    EXPECT_EQ(ToLongPath("C:\\x"), std::u16string(u"\\\\?\\C:\\x") + u'\0');
    EXPECT_EQ(ToLongPath("\\\\srv\\s\\x"), std::u16string(u"\\\\?\\UNC\\srv\\s\\x") + u'\0');
    EXPECT_EQ(ToLongPath("C:\\Mail\\a.eml"), std::u16string(u"\\\\?\\C:\\Mail\\a.eml") + u'\0');
    // Applied without tests: an existing prefix is prefixed again.
    EXPECT_EQ(ToLongPath("\\\\?\\C:\\x"), std::u16string(u"\\\\?\\UNC\\?\\C:\\x") + u'\0');
    // UTF-8 becomes UTF-16; a stray byte becomes U+FFFD.
    EXPECT_EQ(ToLongPath("C:\\\xc3\xa9\xf0\x9f\x98\x80"), std::u16string(u"\\\\?\\C:\\\u00e9\U0001F600") + u'\0');
    EXPECT_EQ(ToLongPath("C:\\\xff"), std::u16string(u"\\\\?\\C:\\\ufffd") + u'\0');
}

TEST(Paths, NativeSeparatorsForLiterals) {
    EXPECT_EQ(NativeSeparators("\\Inbox\\"), std::string(1, kPathSeparator) + "Inbox" + kPathSeparator);
}

TEST(PlatformProbe, RunsOnceAndHasNothingToChooseOnPosix) {
    InitFileApi();
    EXPECT_TRUE(FileApiInitialised());
    InitFileApi();
    EXPECT_TRUE(FileApiInitialised());
    const PlatformVersion v = GetPlatformVersion();
    EXPECT_EQ(v.platformId, kPlatformNotWindows);
    EXPECT_FALSE(v.isNT);
    EXPECT_FALSE(UseWideApi());
}
