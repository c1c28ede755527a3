// The ".meta" readers on thousands of damaged inputs: the JSON wrapper, its
// escapes, the scan text and its tokens, the key rules, the bencode reader,
// tag names, dates and the text helpers. Each must return, and what it hands
// on must hold together: valid UTF-8, offsets inside the text, valid dates.
#include <gtest/gtest.h>

#include "Contract.h"
#include "Corpus.h"
#include "items/Companion.h"
#include "items/GlobalObjectId.h"
#include "items/ItemText.h"
#include "items/MetaValue.h"
#include "items/TempFiles.h"
#include "items/ZimbraTime.h"
#include "items/MessageState.h"
#include "items/ZimbraMetaReader.h"

using namespace items;
using fuzz::IsValidUtf8;
using fuzz::Printable;

namespace {

class MetaFuzz : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch_ = new fuzz::ScratchDir();
        for (auto& s : fuzz::MetaSeeds(scratch_->path())) {
            files_->push_back(s.bytes);
            MetaFile f = ParseMetaFile(s.bytes);
            if (auto m = f.Member("metadata")) metadata_->push_back(*m);
        }
    }
    static void TearDownTestSuite() {
        delete scratch_;
        scratch_ = nullptr;
    }
    static inline fuzz::ScratchDir* scratch_ = nullptr;
    static inline std::vector<std::string>* files_ = new std::vector<std::string>();
    static inline std::vector<std::string>* metadata_ = new std::vector<std::string>();
};

// Every string of a value, nested ones too, is valid UTF-8.
bool ValueIsValid(const MetaValue& v, int depth = 0) {
    if (depth > 70 || !IsValidUtf8(v.text)) return false;
    for (const auto& [key, item] : v.items)
        if (!IsValidUtf8(key) || !ValueIsValid(item, depth + 1)) return false;
    return true;
}

// The scan text through tokens, key rules and the bencode reader, as the
// converters use them.
void CheckScanText(const std::u16string& text, const std::string& input) {
    auto tokens = MetaTokens(text);
    ASSERT_FALSE(tokens.empty());
    std::u16string joined;
    for (size_t k = 0; k < tokens.size(); ++k) {
        if (k) joined += u':';
        ASSERT_EQ(tokens[k].start, joined.size()) << Printable(input);
        joined += tokens[k].text;
    }
    ASSERT_EQ(joined, text) << Printable(input);

    std::string a, b, c, d, e, f, g, h;
    std::vector<MetaKeyRule> rules(8);
    const std::pair<const char*, MatchKind> keys[] = {
        {"desc", MatchKind::Description}, {"n", MatchKind::PrefixAndDigit}, {"st", MatchKind::PrefixAndDigit},
        {"email", MatchKind::Prefix},     {"email2", MatchKind::Prefix},    {"firstName", MatchKind::Prefix},
        {"descH", MatchKind::Prefix},     {"\"name\"", MatchKind::Contains}};
    std::string* targets[] = {&a, &b, &c, &d, &e, &f, &g, &h};
    for (size_t k = 0; k < rules.size(); ++k) {
        rules[k].key = keys[k].first;
        rules[k].match = keys[k].second;
        rules[k].cut = keys[k].second == MatchKind::Contains ? CutKind::QuotedName : CutKind::Length;
        rules[k].target = targets[k];
    }
    ScanMetaTokens(text, tokens, rules);
    for (auto* t : targets) ASSERT_TRUE(IsValidUtf8(*t)) << Printable(input);

    for (size_t start : {size_t(0), text.size() / 2}) {
        size_t pos = start;
        auto v = ReadMetaValue(text, pos);
        if (v) {
            ASSERT_GT(pos, start) << Printable(input);
            ASSERT_LE(pos, text.size()) << Printable(input);
            ASSERT_TRUE(ValueIsValid(*v)) << Printable(input);
        } else {
            ASSERT_EQ(pos, start) << "a failed read moved the position: " << Printable(input);
        }
    }
}

void CheckMetaFile(const std::string& input) {
    MetaFile file = ParseMetaFile(input);
    ASSERT_EQ(file.raw, input);
    if (!file.isJson) {
        ASSERT_TRUE(file.members.empty());
    }
    for (const auto& [key, value] : file.members) {
        ASSERT_TRUE(IsValidUtf8(key)) << Printable(input);
        ASSERT_TRUE(IsValidUtf8(value)) << "member " << Printable(key) << ": " << Printable(input);
    }
    (void)file.ItemType();
    (void)file.DescribesFolder();
    for (const char* marker : {"d3:", "/Calendar/", "/Tasks/", "/Notebook/"}) {
        auto text = MetaScanText(file, marker);
        if (text) CheckScanText(*text, input);
        if (::testing::Test::HasFatalFailure()) return;
    }
    MessageState state = MessageStateFromMeta(file);
    for (const auto& name : state.categories) {
        ASSERT_FALSE(name.empty());
        ASSERT_TRUE(IsValidUtf8(name)) << Printable(input);
        ASSERT_EQ(std::count(state.categories.begin(), state.categories.end(), name), 1);
    }
}

TEST_F(MetaFuzz, MetaFilesSurviveMutation) {
    ASSERT_GT(files_->size(), 20u) << "seed corpus missing";
    fuzz::Rng rng(0x5EED0001);
    size_t n = fuzz::Iterations(3000);
    for (size_t k = 0; k < n; ++k) {
        const std::string& seed = (*files_)[rng.Below(files_->size())];
        std::string input = fuzz::Mutate(seed, rng, files_);
        CheckMetaFile(input);
        if (HasFatalFailure()) return;
    }
}

TEST_F(MetaFuzz, MetaFilesCutAtEveryLength) {
    // A cut-off export ends a file anywhere.
    for (size_t s = 0; s < files_->size(); s += 7) {
        const std::string& seed = (*files_)[s];
        size_t step = seed.size() > 600 ? seed.size() / 300 : 1;
        for (size_t len = 0; len <= seed.size(); len += step) {
            CheckMetaFile(seed.substr(0, len));
            if (HasFatalFailure()) return;
        }
    }
}

TEST_F(MetaFuzz, BencodeSurvivesMutation) {
    ASSERT_FALSE(metadata_->empty());
    fuzz::Rng rng(0x5EED0002);
    size_t n = fuzz::Iterations(3000);
    for (size_t k = 0; k < n; ++k) {
        std::string input = fuzz::Mutate((*metadata_)[rng.Below(metadata_->size())], rng, metadata_);
        CheckScanText(Utf8ToUtf16(input), input);
        if (HasFatalFailure()) return;
    }
}

TEST_F(MetaFuzz, HostileBencodeShapes) {
    std::vector<std::string> inputs;
    for (size_t depth : {63, 64, 65, 66, 200, 5000, 100000}) {
        inputs.push_back(std::string(depth, 'd'));
        inputs.push_back(std::string(depth, 'l'));
        inputs.push_back(std::string(depth, 'l') + std::string(depth, 'e'));
        std::string dict;
        for (size_t k = 0; k < depth; ++k) dict += "1:kd";
        inputs.push_back("d" + dict + std::string(depth + 1, 'e'));
    }
    for (const char* s : {"99999999:", "999999999:abc", "9999999999:", "d99999999:", "d4294967295:ke",
                          "d18446744073709551615:x", "i", "ie", "i-e", "i--1e", "d1:ai99999999999999999999999ee",
                          "l0:e", "d0:0:e", "d1:a", ":", "e", "d1:ad1:bd1:c", "3:\xF0\x9F\x98\x80xx"})
        inputs.push_back(s);
    for (const auto& input : inputs) {
        CheckScanText(Utf8ToUtf16(input), input);
        if (HasFatalFailure()) return;
    }
}

TEST_F(MetaFuzz, JsonEscapesAlwaysGiveValidText) {
    fuzz::Rng rng(0x5EED0003);
    const char* pieces[] = {"\\u", "\\uD800", "\\uDBFF", "\\uDC00", "\\uDFFF", "\\u0000", "\\u00e9", "\\uZZ",
                            "\\", "\\\\", "\\\"", "\\x", "a", "\xC3", "\xA9", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                            "\xC3\xA9", "\\n", "\\r", "\xF0\x9F\x98\x80"};
    size_t n = fuzz::Iterations(20000);
    for (size_t k = 0; k < n; ++k) {
        std::string input;
        for (size_t p = rng.Below(8); p > 0; --p) input += pieces[rng.Below(std::size(pieces))];
        std::string out = ResolveJsonEscapes(input);
        ASSERT_TRUE(IsValidUtf8(out)) << Printable(input);
        // The UTF-16 length the bencode lengths count must not depend on
        // whether the text went through the escapes first.
        std::string wrapped = "{\"metadata\":\"" + input + "\"}";
        MetaFile f = ParseMetaFile(wrapped);
        if (f.isJson) {
            ASSERT_TRUE(IsValidUtf8(*f.Member("metadata"))) << Printable(input);
        }
    }
}

TEST_F(MetaFuzz, SmallTextHelpers) {
    fuzz::Rng rng(0x5EED0004);
    std::vector<std::string> seeds = {"20240131",           "TZID=Europe/Berlin:20240131T093000",
                                      "20240131T093000Z",   "VALUE=DATE:20240229",
                                      "TZID=\"America/New_York\":20991231T235959",
                                      "0930",               "1990-05-17",
                                      "--05-17",            "Work:Private\\:ish:Work:\\\\x",
                                      "line\\r\\nnext\\rthird\\n",
                                      "TZID=Asia/Tokyo:16010101T000000",
                                      "TZID=Etc:20240101T000000",
                                      "TZID=zoneinfo/../x:20240101T000000"};
    size_t n = fuzz::Iterations(3000);
    for (size_t k = 0; k < n; ++k) {
        std::string input = fuzz::Mutate(seeds[rng.Below(seeds.size())], rng, &seeds);
        bool valid = IsValidUtf8(input);
        for (const auto& name : SplitTagNames(input)) {
            ASSERT_FALSE(name.empty());
            if (valid) {
                ASSERT_TRUE(IsValidUtf8(name)) << Printable(input);
            }
        }
        if (valid) {
            ASSERT_TRUE(IsValidUtf8(UnescapeMetaText(input))) << Printable(input);
            ASSERT_TRUE(IsValidUtf8(FormatCompactDate(input))) << Printable(input);
            ASSERT_TRUE(IsValidUtf8(FormatCompactTime(input))) << Printable(input);
        }
        if (auto dt = ParseZimbraDateTime(input)) {
            ASSERT_TRUE(IsValidCivil(dt->local)) << Printable(input);
            int64_t t = ZimbraToUnix(*dt);
            // Within a day of the wall-clock time, whatever the zone.
            ASSERT_LE(std::llabs(t - CivilToUnix(dt->local)), 2 * 86400) << Printable(input);
        }
        if (auto b = ParseBirthday(input)) {
            ASSERT_TRUE(IsValidCivil(*b)) << Printable(input);
        }
    }
}

TEST_F(MetaFuzz, HtmlAndCharsets) {
    fuzz::Rng rng(0x5EED0005);
    std::vector<std::string> seeds = {
        "<html><head><title>x</title><style>p{}</style></head><body><p>Caf&eacute; &amp; &#233; &#x1F600;</p>"
        "<br><table><tr><td>a</td><td>b</td></tr></table><!-- c --><script>x</script><ul><li>one</li></ul></body>",
        "plain text \xC3\xA9 with &nbsp; and &unknown; and &#0; &#xD800; &#99999999999;",
        "<p>\xE2\x82\xAC</p><div>\xF0\x9F\x98\x80</div>"};
    for (auto& s : fuzz::MessageSeeds(20000)) {
        if (seeds.size() > 40) break;
        seeds.push_back(s);
    }
    const char* charsets[] = {"",           "utf-8",       "UTF8",      "us-ascii", "iso-8859-1", "windows-1252",
                              "shift_jis",  "iso-2022-jp", "utf-16",    "utf-7",    "gb2312",     "big5",
                              "koi8-r",     "x-unknown",   "utf-32",    "UTF-16LE", "euc-kr",     "\xC3\xA9"};
    size_t n = fuzz::Iterations(1500);
    for (size_t k = 0; k < n; ++k) {
        std::string input = fuzz::Mutate(seeds[rng.Below(seeds.size())], rng, &seeds);
        std::string decoded = DecodeToUtf8(std::vector<uint8_t>(input.begin(), input.end()),
                                           charsets[rng.Below(std::size(charsets))]);
        ASSERT_TRUE(IsValidUtf8(decoded)) << Printable(input);
        std::string text = HtmlToText(decoded);
        ASSERT_TRUE(IsValidUtf8(text)) << Printable(decoded);
    }
}

}  // namespace
