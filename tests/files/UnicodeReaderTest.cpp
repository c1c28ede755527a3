#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TempTree.h"
#include "files/UnicodeReader.h"

using namespace files;
using testutil::TempTree;

namespace {

std::string Le(const std::u16string& text, bool bom) {
    std::string bytes;
    if (bom) bytes = "\xff\xfe";
    for (char16_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

std::vector<std::u16string> ReadAll(const std::string& path, std::u16string_view delimiter) {
    UnicodeReader r;
    r.OpenFile(path, delimiter);
    std::vector<std::u16string> lines;
    while (!r.Eof()) lines.push_back(r.ReadLine());
    return lines;
}

}  // namespace

TEST(UnicodeReader, EmptyFileIsAtEndAtOnce) {
    TempTree t;
    t.file("empty.txt", "");
    t.file("bom-only.txt", "\xff\xfe");
    for (const char* name : {"empty.txt", "bom-only.txt"}) {
        UnicodeReader r;
        r.OpenFile(t.path(name), u"\r\n");
        EXPECT_TRUE(r.IsOpen());
        EXPECT_TRUE(r.Eof()) << name;
        EXPECT_EQ(r.Length(), 0);
        try {
            r.ReadLine();
            ADD_FAILURE() << "read past the end";
        } catch (const UnicodeReaderError& e) {
            EXPECT_EQ(e.code(), 62);
        }
    }
}

TEST(UnicodeReader, SingleCharacterWithMarkAndNoDelimiter) {
    TempTree t;
    t.file("one.txt", Le(u"\u00e9", true));
    UnicodeReader r;
    r.OpenFile(t.path("one.txt"), u"\r\n");
    EXPECT_FALSE(r.Eof());
    EXPECT_EQ(r.ReadLine(), u"\u00e9");
    EXPECT_TRUE(r.Eof());
}

TEST(UnicodeReader, FinalDelimiterGivesNoEmptyLineAndNoMarkIsReadFromTheStart) {
    TempTree t;
    t.file("lines.txt", Le(u"first\r\nsecond\r\n", false));
    EXPECT_EQ(ReadAll(t.path("lines.txt"), u"\r\n"), (std::vector<std::u16string>{u"first", u"second"}));
    // Only one final delimiter is dropped; an empty line before it stays.
    t.file("blank.txt", Le(u"a\n\n", true));
    EXPECT_EQ(ReadAll(t.path("blank.txt"), u"\n"), (std::vector<std::u16string>{u"a", u""}));
}

TEST(UnicodeReader, DelimiterAcrossTheChunkBoundary) {
    TempTree t;
    // 16383 code units put "\r" in the last two bytes of the first chunk and "\n"
    // in the first two bytes of the second.
    const std::u16string first(16383, u'a');
    t.file("straddle.txt", Le(first + u"\r\nsecond\r\nthird", false));
    const auto lines = ReadAll(t.path("straddle.txt"), u"\r\n");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], first);
    EXPECT_EQ(lines[1], u"second");
    EXPECT_EQ(lines[2], u"third");

    // With a mark, chunks count from the first text byte.
    t.file("straddle-bom.txt", Le(first + u"\r\nx", true));
    EXPECT_EQ(ReadAll(t.path("straddle-bom.txt"), u"\r\n"), (std::vector<std::u16string>{first, u"x"}));

    // A final delimiter split over the last two chunks is still the final one.
    t.file("final.txt", Le(first + u"\r\n", false));
    EXPECT_EQ(ReadAll(t.path("final.txt"), u"\r\n"), (std::vector<std::u16string>{first}));
}

TEST(UnicodeReader, ExactChunkSizeAndLinesLongerThanAChunk) {
    TempTree t;
    const std::u16string exact(16384, u'b');  // exactly one chunk, no remainder
    t.file("exact.txt", Le(exact, false));
    EXPECT_EQ(ReadAll(t.path("exact.txt"), u"\n"), (std::vector<std::u16string>{exact}));

    // A line of three chunks and more comes back whole, surrogate pairs intact.
    std::u16string longLine;
    while (longLine.size() < 50000) longLine += u"\U0001F600z";
    t.file("long.txt", Le(u"head\n" + longLine + u"\ntail", true));
    const auto lines = ReadAll(t.path("long.txt"), u"\n");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], u"head");
    EXPECT_EQ(lines[1], longLine);
    EXPECT_EQ(lines[2], u"tail");
    EXPECT_EQ(Utf16ToUtf8(lines[1]).substr(0, 5), "\xf0\x9f\x98\x80z");
}

TEST(UnicodeReader, LengthAndMisuse) {
    TempTree t;
    t.file("three.txt", "abc");   // 3 bytes: 1.5 -> 2
    t.file("five.txt", "abcde");  // 5 bytes: 2.5 -> 2
    t.file("four.txt", Le(u"xy", true));
    UnicodeReader r;
    try {
        (void)r.Eof();
        ADD_FAILURE();
    } catch (const UnicodeReaderError& e) {
        EXPECT_EQ(e.code(), 52);
    }
    r.OpenFile(t.path("three.txt"), u"\n");
    EXPECT_EQ(r.Length(), 2);
    try {
        r.OpenFile(t.path("five.txt"), u"\n");
        ADD_FAILURE();
    } catch (const UnicodeReaderError& e) {
        EXPECT_EQ(e.code(), 55);
    }
    r.CloseFile();
    EXPECT_FALSE(r.IsOpen());
    r.OpenFile(t.path("five.txt"), u"\n");
    EXPECT_EQ(r.Length(), 2);
    r.CloseFile();
    r.OpenFile(t.path("four.txt"), u"\n");
    EXPECT_EQ(r.Length(), 2);
    r.CloseFile();
    try {
        r.OpenFile(t.path("missing.txt"), u"\n");
        ADD_FAILURE();
    } catch (const UnicodeReaderError& e) {
        EXPECT_EQ(e.code(), 53);
    }
    EXPECT_FALSE(r.IsOpen());
}

TEST(UnicodeReader, Utf8Conversions) {
    EXPECT_EQ(Utf16ToUtf8(u"a\u00e9\u4e2d\U0001F600"), "a\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80");
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xef\xbf\xbd");
    EXPECT_EQ(Utf8ToUtf16("a\xc3\xa9\xf0\x9f\x98\x80"), u"a\u00e9\U0001F600");
}
