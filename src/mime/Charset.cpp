#include "mime/Charset.h"

#include "mime/GMimeInit.h"

#include "files/Ascii.h"
#include "files/Utf.h"

#include <gmime/gmime.h>
#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <map>
#include <mutex>
#include <vector>

namespace mime {

namespace {

std::string Trimmed(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '"' || s[b] == '\'')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '"' || s[e - 1] == '\'')) --e;
    return std::string(s.substr(b, e - b));
}

bool IconvKnows(const std::string& name) {
    static std::mutex mu;
    static std::map<std::string, bool> known;
    std::lock_guard lock(mu);
    auto it = known.find(name);
    if (it != known.end()) return it->second;
    iconv_t cd = iconv_open("UTF-8", name.c_str());
    bool ok = cd != iconv_t(-1);
    if (ok) iconv_close(cd);
    known.emplace(name, ok);
    return ok;
}

// Frequent characters of Simplified and Traditional Chinese, Japanese kana
// aside: a reading that produces many of them is likely the right one.
constexpr std::u32string_view kCommonHan =
    U"的一是不了人我在有他这這中大来來上国國个個到说說们們为為子和你地出道也时時年得就那要下以生会會自着著去之过過家学學"
    U"对對可她里裡后後小么麼心多天而能好都然没沒日于於起还還发發成事只作当當想看文无無开開手十用主行方又如前所本见見经經头頭面公同三已老从從"
    U"动動两兩长長知民样樣现現分将將外但身些与與高意进進把法此实實回二理美点點月明其种種声聲全工己话話儿兒者向情部正名定女问問力机機给給等几幾很业業最间間新什打便位因重被走电電四第门門相次东東政海口使教西再平真听聽世气氣信北少关關并內加化由却卻代军軍产產入先山五太水万萬市眼体體别別处處总總才場师師书書比住員员九笑性通目华華报報立马馬命张張活难難神数數件安表原車车白应應路期叫死常提感金何更反合放做系計计司請请謝谢您們";

bool IsCommonHan(char32_t c) { return kCommonHan.find(c) != std::u32string_view::npos; }

enum class Script { Cjk, Japanese, Korean, Cyrillic, Western };

struct Candidate {
    const char* name;
    Script script;
};

// Scores a UTF-8 reading of 8-bit text: how many of the source's non-ASCII
// bytes turned into characters typical of the script the charset serves.
double Score(const std::string& utf8, Script script, size_t highBytes) {
    double good = 0;
    size_t i = 0;
    char32_t prev = 0;
    size_t n = utf8.size();
    while (i < n) {
        size_t len;
        int32_t cp = files::DecodeUtf8(utf8, i, len);
        if (cp < 0) { ++i; continue; }
        char32_t c = char32_t(cp);
        size_t next = i + len;
        bool nextHigh = next < n && uint8_t(utf8[next]) >= 0x80;
        auto asciiLetter = [](char32_t x) { return (x >= 'a' && x <= 'z') || (x >= 'A' && x <= 'Z'); };
        bool nextAsciiLetter = next < n && asciiLetter(char32_t(uint8_t(utf8[next])));
        if (c >= 0x80) {
            bool han = c >= 0x4E00 && c <= 0x9FFF;
            bool cjkPunct = (c >= 0x3000 && c <= 0x303F) || (c >= 0xFF01 && c <= 0xFF5E);
            bool kana = c >= 0x3040 && c <= 0x30FF;
            bool hangul = c >= 0xAC00 && c <= 0xD7A3;
            bool cyr = c >= 0x0410 && c <= 0x044F;
            bool latin = (c >= 0xC0 && c <= 0xFF && c != 0xD7 && c != 0xF7) ||
                         c == 0x2019 || c == 0x201C || c == 0x201D || c == 0x2013 || c == 0x2014 || c == 0x20AC ||
                         c == 0xA0 || c == 0xAB || c == 0xBB || c == 0xB0;
            switch (script) {
                case Script::Cjk:
                    if (han) good += IsCommonHan(c) ? 3.0 : 1.6;
                    else if (cjkPunct) good += 1.6;
                    break;
                case Script::Japanese:
                    if (kana) good += 2.4;
                    else if (han) good += IsCommonHan(c) ? 2.2 : 1.5;
                    else if (cjkPunct) good += 1.6;
                    break;
                case Script::Korean:
                    if (hangul) good += 2.2;
                    else if (han || cjkPunct) good += 1.0;
                    break;
                case Script::Cyrillic:
                    // Running text is mostly lower case: that tells KOI8-R from windows-1251.
                    // Cyrillic words are all Cyrillic: a letter glued to Latin ones
                    // is a Western accent read wrongly.
                    if (cyr && (asciiLetter(prev) || nextAsciiLetter)) good += 0.1;
                    else if (cyr) good += (c >= 0x0430) ? 1.0 : 0.55;
                    else if (c == 0x0451 || c == 0x0401 || c == 0xAB || c == 0xBB || c == 0x2014) good += 0.8;
                    break;
                case Script::Western:
                    // Accented letters sit alone between ASCII letters; long runs of
                    // high bytes are another script read wrongly.
                    if (latin) {
                        bool prevHigh = prev >= 0x80;
                        good += (prevHigh && nextHigh) ? 0.3 : 0.98;
                    }
                    break;
            }
        }
        prev = c;
        i = next;
    }
    return highBytes ? good / double(highBytes) : 0;
}

}  // namespace

bool IsAscii(std::string_view bytes) {
    for (char c : bytes)
        if (uint8_t(c) >= 0x80) return false;
    return true;
}

bool IsValidUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        if (uint8_t(s[i]) < 0x80) { ++i; continue; }
        size_t len;
        if (files::DecodeUtf8(s, i, len) < 0) return false;
        i += len;
    }
    return true;
}

std::string SanitizeUtf8(std::string_view s) {
    if (IsValidUtf8(s)) return std::string(s);
    std::string out;
    out.reserve(s.size() + 8);
    size_t i = 0;
    while (i < s.size()) {
        size_t len;
        if (files::DecodeUtf8(s, i, len) < 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(s.substr(i, len));
            i += len;
        }
    }
    return out;
}

std::string IconvName(std::string_view label) {
    EnsureGMime();  // GMime's charset tables
    std::string l = files::LowerAscii(Trimmed(label));
    if (l.empty()) return {};
    static const std::map<std::string, std::string, std::less<>> supersets = {
        {"utf-8", "UTF-8"},           {"utf8", "UTF-8"},           {"unicode-1-1-utf-8", "UTF-8"},
        {"us-ascii", "WINDOWS-1252"}, {"ascii", "WINDOWS-1252"},   {"iso-8859-1", "WINDOWS-1252"},
        {"iso8859-1", "WINDOWS-1252"}, {"latin1", "WINDOWS-1252"}, {"iso_8859-1", "WINDOWS-1252"},
        {"latin-1", "WINDOWS-1252"},  {"l1", "WINDOWS-1252"},      {"cp819", "WINDOWS-1252"},
        {"iso-8859-9", "WINDOWS-1254"}, {"iso-8859-11", "CP874"},  {"tis-620", "CP874"},
        {"gb2312", "GB18030"},        {"gbk", "GB18030"},          {"x-gbk", "GB18030"},
        {"cp936", "GB18030"},         {"euc-cn", "GB18030"},       {"x-euc-cn", "GB18030"},
        {"gb_2312-80", "GB18030"},    {"csgb2312", "GB18030"},     {"chinese", "GB18030"},
        {"gb18030", "GB18030"},       {"windows-936", "GB18030"},
        {"big5", "BIG5-HKSCS"},       {"x-big5", "BIG5-HKSCS"},    {"big-5", "BIG5-HKSCS"},
        {"cn-big5", "BIG5-HKSCS"},    {"cp950", "BIG5-HKSCS"},     {"big5-hkscs", "BIG5-HKSCS"},
        {"shift_jis", "CP932"},       {"shift-jis", "CP932"},      {"sjis", "CP932"},
        {"x-sjis", "CP932"},          {"ms_kanji", "CP932"},       {"cp932", "CP932"},
        {"windows-31j", "CP932"},     {"csshiftjis", "CP932"},     {"x-ms-cp932", "CP932"},
        {"euc-jp", "EUC-JP-MS"},      {"x-euc-jp", "EUC-JP-MS"},   {"iso-2022-jp", "ISO-2022-JP-3"},
        {"csiso2022jp", "ISO-2022-JP-3"},
        {"euc-kr", "CP949"},          {"ks_c_5601-1987", "CP949"}, {"ks_c_5601", "CP949"},
        {"ksc5601", "CP949"},         {"ks_c_5601-1989", "CP949"}, {"cp949", "CP949"},
        {"korean", "CP949"},          {"csksc56011987", "CP949"},  {"windows-949", "CP949"},
        {"iso-8859-8-i", "ISO-8859-8"}, {"iso-8859-6-i", "ISO-8859-6"}, {"iso-8859-8-e", "ISO-8859-8"},
        {"koi8-r", "KOI8-R"},         {"koi8-u", "KOI8-U"},        {"koi8", "KOI8-R"},
        {"utf-7", "UTF-7"},           {"unicode-1-1-utf-7", "UTF-7"},
        {"utf-16", "UTF-16"},         {"utf-16le", "UTF-16LE"},    {"utf-16be", "UTF-16BE"},
    };
    auto it = supersets.find(l);
    if (it != supersets.end()) return it->second;
    // windows-125x spelled in its many ways
    for (std::string_view p : {"windows-", "win-", "cp-", "cp", "x-cp", "ms-"}) {
        if (l.rfind(p, 0) == 0) {
            std::string num = l.substr(p.size());
            if (num.size() == 4 && num.rfind("125", 0) == 0 && num[3] >= '0' && num[3] <= '8') {
                std::string name = "WINDOWS-" + num;
                if (IconvKnows(name)) return name;
            }
        }
    }
    const char* gm = g_mime_charset_iconv_name(l.c_str());
    if (gm && IconvKnows(gm)) return gm;
    std::string upper = l;
    for (auto& c : upper)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    if (IconvKnows(upper)) return upper;
    return {};
}

bool ConvertToUtf8(std::string_view bytes, const std::string& iconvName, std::string& out, size_t* errors) {
    out.clear();
    size_t errs = 0;
    if (iconvName == "UTF-8") {
        out = SanitizeUtf8(bytes);
        if (errors) {
            size_t i = 0;
            while (i < bytes.size()) {
                size_t len;
                if (uint8_t(bytes[i]) >= 0x80 && files::DecodeUtf8(bytes, i, len) < 0) { ++errs; ++i; }
                else i += (uint8_t(bytes[i]) >= 0x80 ? len : 1);
            }
            *errors = errs;
        }
        return true;
    }
    iconv_t cd = iconv_open("UTF-8", iconvName.c_str());
    if (cd == iconv_t(-1)) return false;
    out.reserve(bytes.size() + bytes.size() / 2 + 16);
    std::vector<char> buf(65536);
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    while (true) {
        char* o = buf.data();
        size_t oLeft = buf.size();
        size_t r = inLeft ? iconv(cd, &in, &inLeft, &o, &oLeft) : iconv(cd, nullptr, nullptr, &o, &oLeft);
        out.append(buf.data(), size_t(o - buf.data()));
        if (r != size_t(-1)) {
            if (inLeft == 0) {
                // flush the shift state once more (stateful encodings)
                o = buf.data();
                oLeft = buf.size();
                iconv(cd, nullptr, nullptr, &o, &oLeft);
                out.append(buf.data(), size_t(o - buf.data()));
                break;
            }
            continue;
        }
        if (errno == E2BIG) continue;
        // EILSEQ: a byte that does not decode; EINVAL: a sequence cut at the end.
        out += "\xEF\xBF\xBD";
        ++errs;
        if (errno == EINVAL || inLeft == 0) break;
        ++in;
        --inLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    if (errors) *errors = errs;
    return true;
}

std::string GuessCharset(std::string_view bytes, std::string_view hint) {
    if (IsAscii(bytes) && (bytes.find("\x1B$B") != std::string_view::npos || bytes.find("\x1B$@") != std::string_view::npos ||
                           bytes.find("\x1B(J") != std::string_view::npos))
        return "ISO-2022-JP-3";
    if (IsValidUtf8(bytes)) return "UTF-8";
    size_t high = 0;
    for (char c : bytes)
        if (uint8_t(c) >= 0x80) ++high;
    // Look at a bounded sample: the charset of the first few hundred KB decides.
    std::string_view sample = bytes.substr(0, 256 * 1024);
    if (sample.size() < bytes.size()) {
        high = 0;
        for (char c : sample)
            if (uint8_t(c) >= 0x80) ++high;
        // don't cut a multi-byte character in the middle at the end: harmless, one error
    }
    std::string out;
    if (!hint.empty() && hint != "UTF-8" && hint != "WINDOWS-1252") {
        size_t errs = 0;
        if (ConvertToUtf8(sample, std::string(hint), out, &errs) && errs <= (sample.size() < bytes.size() ? 1u : 0u))
            return std::string(hint);
    }
    static const std::array<Candidate, 8> candidates = {{
        {"GB18030", Script::Cjk},
        {"BIG5-HKSCS", Script::Cjk},
        {"CP932", Script::Japanese},
        {"EUC-JP-MS", Script::Japanese},
        {"CP949", Script::Korean},
        {"WINDOWS-1251", Script::Cyrillic},
        {"KOI8-R", Script::Cyrillic},
        {"WINDOWS-1252", Script::Western},
    }};
    std::string best = "WINDOWS-1252";
    double bestScore = -1;
    for (auto& c : candidates) {
        size_t errs = 0;
        if (!ConvertToUtf8(sample, c.name, out, &errs)) continue;
        size_t allowed = sample.size() < bytes.size() ? 1 : 0;
        if (errs > allowed) continue;
        double s = Score(out, c.script, high);
        if (s > bestScore + 1e-9) {
            bestScore = s;
            best = c.name;
        }
    }
    return best;
}

std::string DecodeText(std::string_view bytes, std::string_view label, std::string_view hint, std::string* used) {
    std::string out;
    std::string name = IconvName(label);
    bool ascii = IsAscii(bytes);
    if (ascii && (name.empty() || name == "WINDOWS-1252") && bytes.find("\x1B$") != std::string_view::npos) {
        // undeclared ISO-2022-JP is 7-bit
        std::string guess = GuessCharset(bytes, hint);
        if (ConvertToUtf8(bytes, guess, out)) {
            if (used) *used = guess;
            return out;
        }
    }
    if (ascii) {
        if (used) *used = name.empty() ? "UTF-8" : name;
        // 7-bit text may still be a stateful or 16-bit encoding
        if (!name.empty() && name != "UTF-8" && name != "WINDOWS-1252" &&
            (name.rfind("ISO-2022", 0) == 0 || name.rfind("UTF-7", 0) == 0 || name.rfind("UTF-16", 0) == 0)) {
            if (ConvertToUtf8(bytes, name, out)) return out;
        }
        return std::string(bytes);
    }
    std::string l = files::LowerAscii(Trimmed(label));
    bool declaredAscii = l == "us-ascii" || l == "ascii" || l.empty();
    if (!name.empty() && !declaredAscii) {
        size_t errs = 0;
        if (ConvertToUtf8(bytes, name, out, &errs)) {
            // A declared charset that fails on more than a stray byte is wrong:
            // read the text as what it is.
            if (errs == 0 || errs * 200 < bytes.size()) {
                if (used) *used = name;
                return out;
            }
            std::string guess = GuessCharset(bytes, hint);
            std::string alt;
            size_t altErrs = 0;
            if (guess != name && ConvertToUtf8(bytes, guess, alt, &altErrs) && altErrs < errs) {
                if (used) *used = guess;
                return alt;
            }
            if (used) *used = name;
            return out;
        }
    }
    std::string guess = GuessCharset(bytes, hint.empty() ? std::string_view(name) : hint);
    ConvertToUtf8(bytes, guess, out);
    if (used) *used = guess;
    return out;
}

namespace {

std::string DecodeB(std::string_view text) {
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        else if (c >= '0' && c <= '9') v = c - '0' + 52;
        else if (c == '+') v = 62;
        else if (c == '/') v = 63;
        else if (c == '=') break;
        else continue;
        acc = (acc << 6) | uint32_t(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += char((acc >> bits) & 0xFF);
        }
    }
    return out;
}

std::string DecodeQ(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '_') {
            out += ' ';
        } else if (c == '=' && i + 2 < text.size() && files::HexDigitValue(text[i + 1]) >= 0 &&
                   files::HexDigitValue(text[i + 2]) >= 0) {
            out += char(files::HexDigitValue(text[i + 1]) * 16 + files::HexDigitValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

struct Word {
    size_t begin = 0, end = 0;  // the whole =?...?= in the value
    std::string charset;        // lower case, language tag removed
    std::string bytes;          // decoded octets
};

bool ParseWord(std::string_view v, size_t p, Word& w) {
    // =?charset?E?text?=
    size_t q1 = v.find('?', p + 2);
    if (q1 == std::string_view::npos || q1 == p + 2 || q1 - p > 80) return false;
    std::string_view cs = v.substr(p + 2, q1 - p - 2);
    for (char c : cs)
        if (c == ' ' || c == '\t' || c == '=' || uint8_t(c) >= 0x80) return false;
    if (q1 + 2 >= v.size() || v[q1 + 2] != '?') return false;
    char enc = v[q1 + 1];
    if (enc != 'B' && enc != 'b' && enc != 'Q' && enc != 'q') return false;
    size_t textBegin = q1 + 3;
    size_t close = v.find("?=", textBegin);
    if (close == std::string_view::npos) return false;
    std::string_view text = v.substr(textBegin, close - textBegin);
    for (char c : text)
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') return false;
    w.begin = p;
    w.end = close + 2;
    std::string charset = files::LowerAscii(cs);
    auto star = charset.find('*');
    if (star != std::string::npos) charset.resize(star);
    w.charset = charset;
    w.bytes = (enc == 'B' || enc == 'b') ? DecodeB(text) : DecodeQ(text);
    return true;
}

}  // namespace

std::string DecodeHeaderWords(std::string_view v, std::string_view hint) {
    std::string out;
    auto literal = [&](std::string_view s) {
        if (s.empty()) return;
        if (IsAscii(s) || IsValidUtf8(s)) out.append(s);
        else out += DecodeText(s, "", hint);
    };
    // A run of adjacent words in one charset.
    std::string runCharset, runBytes;
    size_t runBegin = 0, runEnd = 0;
    bool inRun = false;
    auto flush = [&]() {
        if (!inRun) return;
        inRun = false;
        std::string name = IconvName(runCharset);
        std::string text;
        size_t errs = 0;
        if (!name.empty() && ConvertToUtf8(runBytes, name, text, &errs) && errs == 0) {
            out += text;
            return;
        }
        if (IsValidUtf8(runBytes)) {
            out += runBytes;
            return;
        }
        // The declared charset is wrong or unknown: read the octets as what they look like,
        // unless they look like nothing at all.
        std::string guess = GuessCharset(runBytes, hint);
        size_t gErrs = 0;
        if (name.empty() && ConvertToUtf8(runBytes, guess, text, &gErrs) && gErrs == 0) {
            out += text;
            return;
        }
        if (!name.empty() && errs * 4 < runBytes.size()) {
            ConvertToUtf8(runBytes, name, text);
            out += text;
            return;
        }
        literal(v.substr(runBegin, runEnd - runBegin));
    };
    size_t i = 0;
    while (i < v.size()) {
        size_t p = v.find("=?", i);
        if (p == std::string_view::npos) break;
        Word w;
        if (!ParseWord(v, p, w)) {
            flush();
            literal(v.substr(i, p + 2 - i));
            i = p + 2;
            continue;
        }
        std::string_view between = v.substr(i, p - i);
        bool blank = between.find_first_not_of(" \t\r\n") == std::string_view::npos;
        if (inRun && blank && w.charset == runCharset) {
            runBytes += w.bytes;
            runEnd = w.end;
        } else {
            flush();
            if (!(blank && !out.empty() && i > 0 && i == runEnd)) literal(between);
            inRun = true;
            runCharset = w.charset;
            runBytes = w.bytes;
            runBegin = w.begin;
            runEnd = w.end;
        }
        i = w.end;
    }
    flush();
    if (i < v.size()) literal(v.substr(i));
    return out;
}

std::string JoinEncodedWordRuns(std::string_view v, std::string_view hint) {
    if (v.find("=?") == std::string_view::npos) return std::string(v);
    std::string out;
    size_t i = 0;       // copied up to here
    size_t scan = 0;
    while (scan < v.size()) {
        size_t p = v.find("=?", scan);
        if (p == std::string_view::npos) break;
        Word first;
        if (!ParseWord(v, p, first)) {
            scan = p + 2;
            continue;
        }
        // Extend the run over the words that follow with only blanks between.
        size_t end = first.end;
        int words = 1;
        for (;;) {
            size_t q = end;
            while (q < v.size() && (v[q] == ' ' || v[q] == '\t' || v[q] == '\r' || v[q] == '\n')) ++q;
            Word next;
            if (q + 1 >= v.size() || v.compare(q, 2, "=?") != 0 || !ParseWord(v, q, next)) break;
            end = next.end;
            ++words;
        }
        if (words > 1) {
            std::string text = DecodeHeaderWords(v.substr(p, end - p), hint);
            out.append(v.substr(i, p - i));
            i = end;
            scan = end;
            if (text.empty()) continue;
            gchar* b64 = g_base64_encode(reinterpret_cast<const guchar*>(text.data()), text.size());
            out += "=?UTF-8?B?";
            out += b64;
            out += "?=";
            g_free(b64);
            continue;
        }
        scan = end;
    }
    out.append(v.substr(i));
    return out;
}

uint32_t CodePageOf(std::string_view iconvName) {
    std::string n = files::LowerAscii(iconvName);
    static const std::map<std::string, uint32_t, std::less<>> pages = {
        {"utf-8", 65001},       {"windows-1250", 1250}, {"windows-1251", 1251}, {"windows-1252", 1252},
        {"windows-1253", 1253}, {"windows-1254", 1254}, {"windows-1255", 1255}, {"windows-1256", 1256},
        {"windows-1257", 1257}, {"windows-1258", 1258}, {"cp874", 874},         {"iso-8859-2", 28592},
        {"iso-8859-3", 28593},  {"iso-8859-4", 28594},  {"iso-8859-5", 28595},  {"iso-8859-6", 28596},
        {"iso-8859-7", 28597},  {"iso-8859-8", 28598},  {"iso-8859-9", 28599},  {"iso-8859-13", 28603},
        {"iso-8859-15", 28605}, {"koi8-r", 20866},      {"koi8-u", 21866},      {"gb18030", 54936},
        {"big5-hkscs", 950},    {"cp932", 932},         {"euc-jp-ms", 51932},   {"iso-2022-jp-3", 50220},
        {"cp949", 949},         {"utf-7", 65000},
    };
    auto it = pages.find(n);
    return it == pages.end() ? 0 : it->second;
}

}  // namespace mime
