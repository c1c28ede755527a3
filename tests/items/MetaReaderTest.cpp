// The ".meta" reader and the shared helpers: sections, tokens, key rules and
// length cuts over the real encoding, escapes, compact dates, temporary files,
// date-times and time zones.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "MetaEncoding.h"
#include "items/Companion.h"
#include "items/GlobalObjectId.h"
#include "items/ItemText.h"
#include "items/MetaValue.h"
#include "items/TempFiles.h"
#include "items/ZimbraTime.h"
#include "items/ZimbraMetaReader.h"

using namespace items;
using metaenc::BStr;

namespace {

struct Scanned {
    std::vector<std::string> values;
    std::vector<bool> taken;
};

// Scans `text` with prefix rules (or the given kinds) for `keys`.
Scanned ScanKeys(const std::string& text, const std::vector<std::string>& keys,
                 std::vector<MatchKind> kinds = {}) {
    Scanned s;
    s.values.resize(keys.size());
    std::vector<MetaKeyRule> rules;
    for (size_t k = 0; k < keys.size(); ++k) {
        MetaKeyRule r;
        r.key = keys[k];
        r.match = k < kinds.size() ? kinds[k] : MatchKind::Prefix;
        r.target = &s.values[k];
        rules.push_back(r);
    }
    auto u = Utf8ToUtf16(text);
    ScanMetaTokens(u, MetaTokens(u), rules);
    for (auto& r : rules) s.taken.push_back(r.taken);
    return s;
}

}  // namespace

TEST(MetaSection, MarkerAbsentEmptyOrRepeated) {
    EXPECT_FALSE(MetaSection("", "d3:"));
    EXPECT_FALSE(MetaSection("no marker here", "/Calendar/"));
    EXPECT_EQ(*MetaSection("a/Calendar/bc/Calendar/d", "/Calendar/"), "bc");
    EXPECT_EQ(*MetaSection("xd3:rest", "d3:"), "rest");
}

TEST(ScanMetaTokens, WorkedExampleAndPrefixRules) {
    auto s = ScanKeys("xyz7:company4:Acme9:firstName4:John", {"company", "companyPhone", "firstName"});
    EXPECT_EQ(s.values[0], "Acme");
    EXPECT_EQ(s.values[1], "");
    EXPECT_FALSE(s.taken[1]);
    EXPECT_EQ(s.values[2], "John");

    // companyPhone after company: each key gets its own value.
    s = ScanKeys("x7:company4:Acme12:companyPhone5:55512", {"company", "companyPhone"});
    EXPECT_EQ(s.values[0], "Acme");
    EXPECT_EQ(s.values[1], "55512");
}

TEST(ScanMetaTokens, LongerKeyIsNotTheShorterOne) {
    // A contact with only email2: "email215" is key email2 with 15 units, not key email with 215.
    std::string text = "fldd" + BStr("email2") + BStr("jane@example.org") + BStr("firstName") + BStr("Jane") + "e";
    auto s = ScanKeys(text, {"email", "email2", "firstName"});
    EXPECT_EQ(s.values[0], "");
    EXPECT_FALSE(s.taken[0]);
    EXPECT_EQ(s.values[1], "jane@example.org");
    EXPECT_EQ(s.values[2], "Jane");
}

TEST(ScanMetaTokens, LengthCutCrossesColonsAndSkipsTokensInsideTheValue) {
    // The note holds what looks like a key ("email5:") and colons.
    std::string note = "Dr. Weber: Hauptstr. 5, email5:fake, http://example.org:8080/x";
    std::string text = "fldd" + BStr("email") + BStr("real@example.org") + BStr("notes") + BStr(note) +
                       BStr("workPhone") + BStr("+49 30 1234") + "e";
    auto s = ScanKeys(text, {"notes", "workPhone", "email"});
    EXPECT_EQ(s.values[0], note);
    EXPECT_EQ(s.values[1], "+49 30 1234");
    EXPECT_EQ(s.values[2], "real@example.org");

    // A key token that comes first inside another key's value is not a key once that value is cut.
    text = "fldd" + BStr("aaa") + BStr("x") + BStr("notes") + BStr("a:5:email3:bad") + BStr("email") + BStr("good@x") + "e";
    s = ScanKeys(text, {"notes", "email"});
    EXPECT_EQ(s.values[0], "a:5:email3:bad");
    EXPECT_EQ(s.values[1], "good@x");
}

TEST(ScanMetaTokens, LengthsCountUtf16Units) {
    std::string value = "Caf\xC3\xA9 \xE2\x82\xAC 5 \xF0\x9F\x98\x80 end";  // é, €, an emoji (2 units)
    std::string text = "fldd" + BStr("notes") + BStr(value) + "5:other1:xe";
    ASSERT_EQ(BStr(value).substr(0, 3), "15:");
    auto s = ScanKeys(text, {"notes", "other"});
    EXPECT_EQ(s.values[0], value);
    EXPECT_EQ(s.values[1], "x");
}

TEST(ScanMetaTokens, EdgeCutsAndFirstMatchWins) {
    // A length that runs past the end takes what there is.
    auto s = ScanKeys("x5:notes40:short", {"notes"});
    EXPECT_EQ(s.values[0], "short");
    // A key in the last token has no value and stays empty but taken.
    s = ScanKeys("x5:notes", {"notes"});
    EXPECT_TRUE(s.taken[0]);
    EXPECT_EQ(s.values[0], "");
    // A non-number length leaves the value empty; the key is still taken.
    s = ScanKeys("x5:notesab:foo5:notes3:bar", {"notes"});
    EXPECT_TRUE(s.taken[0]);
    EXPECT_EQ(s.values[0], "");
    // The first matching token decides.
    s = ScanKeys("x5:notes3:one5:notes3:two", {"notes"});
    EXPECT_EQ(s.values[0], "one");
    // Token 0 is never a key.
    s = ScanKeys("notes3:abc", {"notes"});
    EXPECT_FALSE(s.taken[0]);
}

TEST(ScanMetaTokens, DigitAndDescriptionKinds) {
    std::string text = "d" + BStr("na") + "i5e" + BStr("desc") + BStr("Dial-in: 10:30") + BStr("descH") +
                       BStr("<p>x</p>") + BStr("n") + BStr("Team: weekly") + "e";
    auto s = ScanKeys(text, {"desc", "n"}, {MatchKind::Description, MatchKind::PrefixAndDigit});
    EXPECT_EQ(s.values[0], "Dial-in: 10:30");
    EXPECT_EQ(s.values[1], "Team: weekly");
    // descH alone is never the description.
    text = "d" + BStr("descH") + BStr("<b>html</b>") + "e";
    s = ScanKeys(text, {"desc"}, {MatchKind::Description});
    EXPECT_FALSE(s.taken[0]);
}

TEST(MetaFile, JsonWrapperAndEscapes) {
    std::string meta = metaenc::ContactMeta({{"notes", "line1\r\nline2 \"q\" \\ \xE2\x82\xAC </x>"}});
    EXPECT_NE(meta.find("\\r\\n"), std::string::npos);
    EXPECT_NE(meta.find("\\u20ac"), std::string::npos);
    EXPECT_NE(meta.find("<\\/x>"), std::string::npos);
    MetaFile f = ParseMetaFile(meta);
    ASSERT_TRUE(f.isJson);
    EXPECT_EQ(f.ItemType(), 6);
    EXPECT_FALSE(f.DescribesFolder());
    auto text = MetaScanText(f, "d3:");
    ASSERT_TRUE(text);
    auto s = ScanKeys(Utf16ToUtf8(*text), {"notes"});
    EXPECT_EQ(s.values[0], "line1\r\nline2 \"q\" \\ \xE2\x82\xAC </x>");

    EXPECT_EQ(ResolveJsonEscapes("a\\ud83d\\ude00b\\/\\t"), "a\xF0\x9F\x98\x80" "b/\t");
    EXPECT_FALSE(ParseMetaFile("{\"type\":6,\"metadata\":\"d3:fl").isJson);
    EXPECT_TRUE(ParseMetaFile("{\"type\":1,\"name\":\"Sub\"}").DescribesFolder());
    // Hostile nesting is refused, not recursed into.
    EXPECT_FALSE(ParseMetaFile("{\"a\":" + std::string(200000, '[') + std::string(200000, ']') + "}").isJson);
}

TEST(TextHelpers, UnescapeAndCompactForms) {
    EXPECT_EQ(UnescapeMetaText("a\\r\\nb"), "a\r\nb");
    EXPECT_EQ(UnescapeMetaText("a\\rb\\nc"), "a\nb\r\nc");
    EXPECT_EQ(UnescapeMetaText("a\r\nb"), "a\r\nb");
    EXPECT_EQ(FormatCompactDate("20240115"), "01/15/2024");
    EXPECT_EQ(FormatCompactDate(""), "//");
    EXPECT_EQ(FormatCompactTime("0930"), "09:30");
    EXPECT_EQ(FormatCompactTime(""), ":");
}

// A killed run's temporary files go at the next start; a live run's and
// anything not named by this program stay.
TEST(Files, StaleTempFilesOfAGoneRunAreRemoved) {
    namespace fs = std::filesystem;
    const fs::path tmp = fs::temp_directory_path() / ("orvandel-stale-test-" + std::to_string(getpid()));
    fs::create_directories(tmp);
    const std::string oldTmp = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    setenv("TMPDIR", tmp.c_str(), 1);
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    ASSERT_GT(gone, 0);
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    const std::string dead = "orvandel-" + std::to_string(gone) + "-ZIM";
    fs::create_directories(tmp / (dead + "abc"));
    std::ofstream(tmp / (dead + "abc") / "attachment.pdf") << "x";
    std::ofstream(tmp / (dead + "def")) << "photo";
    const std::string mine = NewTempFolder("ZIM");
    std::ofstream(tmp / "orvandel-notes.txt") << "not ours";
    EXPECT_EQ(RemoveStaleTempFiles(), 2);
    EXPECT_FALSE(fs::exists(tmp / (dead + "abc")));
    EXPECT_FALSE(fs::exists(tmp / (dead + "def")));
    EXPECT_TRUE(fs::exists(mine));
    EXPECT_TRUE(fs::exists(tmp / "orvandel-notes.txt"));
    if (oldTmp.empty()) unsetenv("TMPDIR");
    else setenv("TMPDIR", oldTmp.c_str(), 1);
    fs::remove_all(tmp);
}

TEST(Files, TempNamesExistenceCompanionAndSafeNames) {
    std::string tmp = TempFolderPath();
    ASSERT_FALSE(tmp.empty());
    EXPECT_EQ(tmp.back(), '/');
    std::string a = NewTempFileName("ZIM"), b = NewTempFileName("ZIM");
    ASSERT_FALSE(a.empty());
    EXPECT_NE(a, b);
    EXPECT_EQ(a.rfind(tmp + "orvandel-" + std::to_string(getpid()) + "-ZIM", 0), 0u);
    EXPECT_TRUE(IsExistingFile(a));
    unlink(a.c_str());
    unlink(b.c_str());
    EXPECT_FALSE(IsExistingFile(a));
    EXPECT_FALSE(IsExistingFile(""));
    EXPECT_FALSE(IsExistingFile(tmp));

    EXPECT_EQ(CompanionPath("/x/Calendar/0000000300-Meet.appt.meta"), "/x/Calendar/0000000300-Meet.appt");
    EXPECT_EQ(CompanionPath("/x/a.APPT.META"), "/x/a.APPT.META");

    EXPECT_EQ(SanitizeFileName("../../etc/passwd"), "passwd");
    EXPECT_EQ(SanitizeFileName("..\\..\\boot.ini"), "boot.ini");
    EXPECT_EQ(SanitizeFileName(".."), "attachment");
    EXPECT_EQ(SanitizeFileName("a\nb\x01" "c.txt"), "a_b_c.txt");
    EXPECT_EQ(SanitizeFileName("Bericht \xC3\xBC" "ber.pdf"), "Bericht \xC3\xBC" "ber.pdf");

    std::string folder = NewTempFolder("ZIM");
    ASSERT_FALSE(folder.empty());
    std::string p1 = SaveNewFile(folder, "../report.pdf", {1, 2, 3});
    std::string p2 = SaveNewFile(folder, "report.pdf", {4});
    EXPECT_EQ(p1, folder + "report.pdf");
    EXPECT_EQ(p2, folder + "report (2).pdf");
    EXPECT_EQ(std::filesystem::file_size(p1), 3u);
    RemoveTempFile(p1);
    RemoveTempFile(p2);
    RemoveTempFolder(folder);
    EXPECT_FALSE(std::filesystem::exists(folder));
}

TEST(DateTimes, FourShapesAndZones) {
    auto z = ParseZimbraDateTime("TZID=America/New_York:20240115T093000");
    ASSERT_TRUE(z);
    EXPECT_EQ(z->kind, ZimbraDateTime::Kind::Zoned);
    EXPECT_EQ(z->zone, "America/New_York");
    EXPECT_EQ(ZimbraToUnix(*z), CivilToUnix({2024, 1, 15, 14, 30, 0}));
    // Summer time, and a date past the zone table (rules of 28 years before).
    EXPECT_EQ(*ZoneToUnix("Europe/Berlin", {2024, 7, 1, 12, 0, 0}), CivilToUnix({2024, 7, 1, 10, 0, 0}));
    EXPECT_EQ(*ZoneToUnix("Europe/Berlin", {2045, 7, 1, 12, 0, 0}), CivilToUnix({2045, 7, 1, 10, 0, 0}));
    // Past the table the file's closing rule holds: in 2150 summer time starts
    // on 8 March (the rules of 2010 would say 14 March).
    EXPECT_EQ(*ZoneToUnix("America/New_York", {2150, 3, 9, 12, 0, 0}), CivilToUnix({2150, 3, 9, 16, 0, 0}));
    EXPECT_FALSE(ZoneToUnix("(GMT-05.00) Eastern Time (US & Canada)", {2024, 1, 1, 0, 0, 0}));
    EXPECT_FALSE(ZoneToUnix("../../etc/passwd", {2024, 1, 1, 0, 0, 0}));

    auto u = ParseZimbraDateTime("20240115T143045Z");
    ASSERT_TRUE(u);
    EXPECT_EQ(u->kind, ZimbraDateTime::Kind::Utc);
    EXPECT_EQ(ZimbraToUnix(*u), CivilToUnix({2024, 1, 15, 14, 30, 45}));

    auto f = ParseZimbraDateTime("20240115T093000");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->kind, ZimbraDateTime::Kind::Floating);

    auto d = ParseZimbraDateTime("VALUE=DATE:20240229");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->kind, ZimbraDateTime::Kind::AllDay);
    EXPECT_EQ(d->local.day, 29);

    EXPECT_FALSE(ParseZimbraDateTime(""));
    EXPECT_FALSE(ParseZimbraDateTime("VALUE=DATE:20230229"));
    EXPECT_FALSE(ParseZimbraDateTime("20240115T2530"));
}

// A zone file with no transitions at all, only its closing rule, as zic's
// slim output writes zones whose rule has not changed.
TEST(DateTimes, ZoneFileWithOnlyItsClosingRule) {
    const auto dir = std::filesystem::temp_directory_path() / ("orv-tz-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir / "Slim");
    auto be32 = [](uint32_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; };
    std::string block = "TZif2" + std::string(15, '\0') + be32(0) + be32(0) + be32(0) + be32(0) + be32(1) + be32(4);
    block += be32(uint32_t(-18000)) + std::string("\0\0", 2) + std::string("EST\0", 4);
    std::ofstream(dir / "Slim/Eastern", std::ios::binary) << block << block << "\nEST5EDT,M3.2.0,M11.1.0\n";
    const char* old = std::getenv("TZDIR");
    const std::string saved = old ? old : "";
    setenv("TZDIR", dir.c_str(), 1);
    EXPECT_EQ(*ZoneToUnix("Slim/Eastern", {2024, 1, 15, 12, 0, 0}), CivilToUnix({2024, 1, 15, 17, 0, 0}));
    EXPECT_EQ(*ZoneToUnix("Slim/Eastern", {2024, 7, 1, 12, 0, 0}), CivilToUnix({2024, 7, 1, 16, 0, 0}));
    EXPECT_EQ(*ZoneOffsetAt("Slim/Eastern", CivilToUnix({2024, 11, 3, 5, 59, 59})), -4 * 3600);
    EXPECT_EQ(*ZoneOffsetAt("Slim/Eastern", CivilToUnix({2024, 11, 3, 6, 0, 0})), -5 * 3600);
    if (old) setenv("TZDIR", saved.c_str(), 1); else unsetenv("TZDIR");
    std::filesystem::remove_all(dir);
}

TEST(DateTimes, Birthdays) {
    auto b = ParseBirthday("1980-05-04");
    ASSERT_TRUE(b);
    EXPECT_EQ(b->year, 1980);
    EXPECT_EQ(b->month, 5);
    EXPECT_EQ(b->day, 4);
    auto noYear = ParseBirthday("--02-29");
    ASSERT_TRUE(noYear);
    EXPECT_EQ(noYear->year, 1604);
    EXPECT_FALSE(ParseBirthday("1980-13-01"));
    EXPECT_FALSE(ParseBirthday("04.05.1980"));
    EXPECT_FALSE(ParseBirthday(""));
}

TEST(Html, PageToText) {
    EXPECT_EQ(HtmlToText("<html><head><title>T</title><style>p{}</style></head><body><p>Hello &amp; "
                         "welcome</p><p>Line&nbsp;2<br>Line 3 &#8364; &#x41;</p></body></html>"),
              "Hello & welcome\r\nLine 2\r\nLine 3 \xE2\x82\xAC A");
}
