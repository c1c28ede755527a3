// The shared UTF-8/UTF-16 conversions: the replacement rules every caller relies on.
#include <gtest/gtest.h>

#include <string>

#include "files/Utf.h"

using namespace files;

namespace {

std::int32_t Decode(std::string_view s, std::size_t& length) { return DecodeUtf8(s, 0, length); }

}  // namespace

TEST(Utf, DecodeTakesWellFormedSequences) {
    std::size_t n = 0;
    EXPECT_EQ(Decode(std::string_view("\0", 1), n), 0);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(Decode("\xc3\xa9", n), 0xE9);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(Decode("\xef\xbf\xbf", n), 0xFFFF);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(Decode("\xf4\x8f\xbf\xbf", n), 0x10FFFF);
    EXPECT_EQ(n, 4u);
}

TEST(Utf, DecodeRefusesIllFormedSequencesOneByteAtATime) {
    for (std::string bad : {"\x80", "\xc0\xaf", "\xc1\xbf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf0\x80\x80\xaf",
                            "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xff", "\xc3", "\xe4\xb8", "\xc3" "A"}) {
        std::size_t n = 9;
        EXPECT_EQ(DecodeUtf8(bad, 0, n), -1) << bad.size();
        EXPECT_EQ(n, 1u);
    }
}

TEST(Utf, Utf8ToUtf16ReplacesEachInvalidByte) {
    EXPECT_EQ(Utf8ToUtf16("a\xc3\xa9\xf0\x9f\x98\x80"), u"a\u00e9\U0001F600");
    EXPECT_EQ(Utf8ToUtf16("\xed\xa0\x80z"), u"\uFFFD\uFFFD\uFFFDz");  // an encoded surrogate: three bytes
    EXPECT_EQ(Utf8ToUtf16("\xe4\xb8"), u"\uFFFD\uFFFD");                // cut off at the end
    EXPECT_EQ(Utf8ToUtf16("\xc0\x80"), u"\uFFFD\uFFFD");                // overlong NUL
    EXPECT_EQ(Utf8ToUtf16(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
}

TEST(Utf, Utf16ToUtf8ReplacesUnpairedSurrogates) {
    EXPECT_EQ(Utf16ToUtf8(u"a\u00e9\u4e2d\U0001F600"), "a\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80");
    EXPECT_EQ(Utf16ToUtf8(std::u16string{char16_t(0xDC00), char16_t(0xD800)}), "\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(Utf16ToUtf8(std::u16string{char16_t(0xD83D), u'x'}), "\xef\xbf\xbdx");
    EXPECT_EQ(Utf16ToUtf8(std::u16string(u"\0", 1)), std::string("\0", 1));
}

TEST(Utf, AppendersEncodeOneCodePoint) {
    std::string s;
    AppendUtf8(s, 0x7F);
    AppendUtf8(s, 0x7FF);
    AppendUtf8(s, 0xD800);  // not a character
    AppendUtf8(s, 0x110000);
    AppendUtf8(s, 0x1F600);
    EXPECT_EQ(s, "\x7f\xdf\xbf\xef\xbf\xbd\xef\xbf\xbd\xf0\x9f\x98\x80");
    std::u16string w;
    AppendUtf16(w, 0xFFFF);
    AppendUtf16(w, 0x10000);
    EXPECT_EQ(w, (std::u16string{char16_t(0xFFFF), char16_t(0xD800), char16_t(0xDC00)}));
}
