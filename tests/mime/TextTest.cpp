// Charset reading, header words, HTML to text, and the MAPI address forms.
#include <gtest/gtest.h>

#include "Corpus.h"
#include "mime/Charset.h"
#include "mime/HtmlText.h"

namespace {

TEST(Charset, DeclaredLabelsUseTheirSupersets) {
    EXPECT_EQ(mime::IconvName("iso-8859-1"), "WINDOWS-1252");
    EXPECT_EQ(mime::IconvName(" \"GB2312\" "), "GB18030");
    EXPECT_EQ(mime::IconvName("ks_c_5601-1987"), "CP949");
    EXPECT_EQ(mime::IconvName("Shift_JIS"), "CP932");
    EXPECT_EQ(mime::IconvName("cp-1251"), "WINDOWS-1251");
    EXPECT_EQ(mime::IconvName("x-no-such-charset"), "");
    // windows-1252 bytes declared as ISO-8859-1 read as the sender meant them
    EXPECT_EQ(mime::DecodeText("\x93quoted\x94 \x80", "iso-8859-1"), "\xE2\x80\x9Cquoted\xE2\x80\x9D \xE2\x82\xAC");
}

TEST(Charset, UndeclaredTextIsGuessed) {
    struct Case {
        const char* charset;
        const char* text;
    } cases[] = {
        {"UTF-8", "Grüße aus Köln"},
        {"WINDOWS-1252", "Le café était très bon, à bientôt."},
        {"WINDOWS-1251", "Съешь же ещё этих мягких французских булок, да выпей же чаю."},
        {"KOI8-R", "Съешь же ещё этих мягких французских булок, да выпей же чаю."},
        {"GB18030", "各位同事：我们的会议在明天下午三点开始，请准时参加。"},
        {"BIG5", "這是一封中文測試郵件，我們明天開會討論這個問題。"},
        {"SHIFT_JIS", "明日の会議の件について、よろしくお願いします。"},
        {"EUC-KR", "안녕하세요. 다음 주 회의 일정을 안내해 드립니다."},
        {"ISO-2022-JP", "こんにちは、世界。"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.charset);
        std::string bytes = mimetest::Encode(c.text, c.charset);
        EXPECT_EQ(mime::DecodeText(bytes, ""), c.text);
        // declared us-ascii but 8-bit: the same guess
        EXPECT_EQ(mime::DecodeText(bytes, "us-ascii"), c.text);
    }
}

TEST(Charset, WrongOrBrokenDeclarationsNeverDropText) {
    // declared UTF-8, written in windows-1251
    std::string cp1251 = mimetest::Encode("Съешь же ещё этих мягких французских булок", "WINDOWS-1251");
    EXPECT_EQ(mime::DecodeText(cp1251, "utf-8"), "Съешь же ещё этих мягких французских булок");
    // a stray bad byte in long UTF-8 keeps the rest
    std::string text = std::string(400, 'a') + "\xFF" + "ü";
    std::string out = mime::DecodeText(text, "utf-8");
    EXPECT_NE(out.find("\xEF\xBF\xBD"), std::string::npos);
    EXPECT_NE(out.find("ü"), std::string::npos);
    // unknown labels fall back to a guess
    EXPECT_EQ(mime::DecodeText("caf\xE9", "x-bogus"), "café");
    EXPECT_TRUE(mime::IsValidUtf8(mime::DecodeText(std::string("\xC3\x28\xA0\xA1", 4), "utf-8")));
}

TEST(HeaderWords, DecodeLikeMailClients) {
    using mime::DecodeHeaderWords;
    EXPECT_EQ(DecodeHeaderWords("=?UTF-8?B?SGVsbG8=?= =?UTF-8?B?IHdvcmxk?="), "Hello world");
    // padding inside a run of words, an empty word at the end
    EXPECT_EQ(DecodeHeaderWords("=?UTF-8?B?TXlTdXJ2ZXk=?=\t=?UTF-8?B?LmNvbQ==?= =?UTF-8?B?" "?="), "MySurvey.com");
    // text between words stays, whitespace between words goes
    EXPECT_EQ(DecodeHeaderWords("Re: =?ISO-8859-1?Q?Caf=E9?= =?ISO-8859-1?Q?_au_lait?= now"), "Re: Café au lait now");
    // a character split across two words
    EXPECT_EQ(DecodeHeaderWords("=?UTF-8?Q?=E2=82?= =?UTF-8?Q?=AC?="), "€");
    // language tags, lower case encodings, words glued to text
    EXPECT_EQ(DecodeHeaderWords("x=?utf-8*de?q?=C3=BC?=y"), "xüy");
    // a word that decodes to nothing sensible stays as written
    EXPECT_EQ(DecodeHeaderWords("=?UTF-8?B?nnDusSNd?="), "=?UTF-8?B?nnDusSNd?=");
    // not a word at all
    EXPECT_EQ(DecodeHeaderWords("=?broken"), "=?broken");
    EXPECT_EQ(DecodeHeaderWords("a =?utf-8?q?has space?= b"), "a =?utf-8?q?has space?= b");
    // raw 8-bit text between words, with a hint
    EXPECT_EQ(DecodeHeaderWords(mimetest::Encode("Отчёт", "KOI8-R"), "KOI8-R"), "Отчёт");
}

TEST(HtmlText, ReadsLikeAMailClient) {
    EXPECT_EQ(mime::HtmlToText("<p>One</p><p>Two &amp; three</p>"), "One\r\n\r\nTwo & three");
    EXPECT_EQ(mime::HtmlToText("<html><head><title>T</title><style>x{}</style></head><body>a<br>b</body></html>"),
              "a\r\nb");
    EXPECT_EQ(mime::HtmlToText("<ul><li>x</li><li>y</li></ul>"), "* x\r\n* y");
    EXPECT_EQ(mime::HtmlToText("<a href=\"https://example.com/\">site</a>"), "site <https://example.com/>");
    EXPECT_EQ(mime::HtmlToText("<pre>  keep\n  spaces</pre>"), "  keep\r\n  spaces");
    EXPECT_EQ(mime::HtmlToText("&#8364;&#x41;&eacute;&nbsp;&bogus; 1 < 2"), "€Aé &bogus; 1 < 2");
    EXPECT_EQ(mime::HtmlToText("<!-- hidden --><script>alert(1)</script>shown"), "shown");
    // unterminated constructs end the text, never hang
    EXPECT_EQ(mime::HtmlToText("text<!-- never closed"), "text");
    EXPECT_EQ(mime::HtmlToText("a<div class=\"x>y\">b"), "a\r\nb");
}

TEST(HtmlText, FlowedTextJoinsSoftBreaks) {
    EXPECT_EQ(mime::UnflowText("This is a long \r\nparagraph.\r\nNew line\r\n", false), "This is a long paragraph.\nNew line\n");
    EXPECT_EQ(mime::UnflowText("del\r\nsp \r\njoined", true), "del\nspjoined");
    // quoted lines join within their depth; stuffed spaces go; the signature line stays
    EXPECT_EQ(mime::UnflowText("> quoted \n> more\n>> deeper\n -- \n-- \nsig", false),
              "> quoted more\n>> deeper\n-- \n-- \nsig");
}

}  // namespace
