#include "items/ItemText.h"

#include <fcntl.h>
#include <gmime/gmime.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>

#include "files/Ascii.h"

#include "items/ZimbraMetaReader.h"
#include "mime/GMimeInit.h"
#include "store/PstStoreSession.h"

namespace items {

std::string DecodeToUtf8(const std::vector<uint8_t>& bytes, const std::string& charset) {
    std::string raw(bytes.begin(), bytes.end());
    std::string cs = charset;
    std::transform(cs.begin(), cs.end(), cs.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    bool validUtf8 = g_utf8_validate(raw.data(), gssize(raw.size()), nullptr);
    if ((cs.empty() || cs == "utf-8" || cs == "utf8" || cs == "us-ascii") && validUtf8) return raw;
    auto convert = [&raw](const char* from) -> std::optional<std::string> {
        gsize written = 0;
        GError* err = nullptr;
        gchar* out = g_convert(raw.data(), gssize(raw.size()), "UTF-8", from, nullptr, &written, &err);
        if (!out) {
            if (err) g_error_free(err);
            return std::nullopt;
        }
        std::string s(out, written);
        g_free(out);
        return s;
    };
    if (!cs.empty() && cs != "utf-8" && cs != "utf8") {
        EnsureGMime();  // the charset table is GMime's
        const char* iconvName = g_mime_charset_iconv_name(cs.c_str());
        if (auto s = convert(iconvName ? iconvName : cs.c_str())) return *s;
    }
    if (validUtf8) return raw;
    if (auto s = convert("WINDOWS-1252")) return *s;
    return Utf16ToUtf8(Utf8ToUtf16(raw));
}

namespace {

// NUL, surrogates and values above U+10FFFF become U+FFFD.
void AppendCodePointUtf8(std::string& out, uint32_t cp) {
    files::AppendUtf8(out, cp == 0 ? char32_t(0xFFFD) : char32_t(cp));
}

}  // namespace

std::string HtmlToText(const std::string& html) {
    static const std::map<std::string, uint32_t> entities = {
        {"amp", '&'},    {"lt", '<'},      {"gt", '>'},      {"quot", '"'},    {"apos", '\''},
        {"nbsp", 0xA0},  {"euro", 0x20AC}, {"copy", 0xA9},   {"reg", 0xAE},    {"ndash", 0x2013},
        {"mdash", 0x2014}, {"hellip", 0x2026}, {"lsquo", 0x2018}, {"rsquo", 0x2019}, {"ldquo", 0x201C},
        {"rdquo", 0x201D}, {"bull", 0x2022}, {"auml", 0xE4}, {"ouml", 0xF6}, {"uuml", 0xFC},
        {"Auml", 0xC4},  {"Ouml", 0xD6},   {"Uuml", 0xDC},   {"szlig", 0xDF},  {"eacute", 0xE9},
        {"egrave", 0xE8}, {"agrave", 0xE0}, {"ccedil", 0xE7}, {"trade", 0x2122}, {"middot", 0xB7}};
    std::string out;
    const std::string lower = files::LowerAscii(html);
    size_t i = 0;
    auto newline = [&out]() {
        while (!out.empty() && (out.back() == ' ' || out.back() == '\t')) out.pop_back();
        out += "\r\n";
    };
    bool lastSpace = false;
    while (i < html.size()) {
        char c = html[i];
        if (c == '<') {
            if (html.compare(i, 4, "<!--") == 0) {
                size_t end = html.find("-->", i + 4);
                i = end == std::string::npos ? html.size() : end + 3;
                continue;
            }
            size_t end = html.find('>', i);
            if (end == std::string::npos) break;
            std::string tag = files::LowerAscii(html.substr(i + 1, end - i - 1));
            bool closing = !tag.empty() && tag[0] == '/';
            std::string name = tag.substr(closing ? 1 : 0);
            name = name.substr(0, name.find_first_of(" \t\r\n/"));
            i = end + 1;
            if (!closing && (name == "script" || name == "style" || name == "head" || name == "title")) {
                size_t close = lower.find("</" + name, i);
                if (close == std::string::npos) { i = html.size(); continue; }
                i = close;
                size_t gt = html.find('>', i);
                i = gt == std::string::npos ? html.size() : gt + 1;
                continue;
            }
            if (name == "br") { newline(); lastSpace = false; continue; }
            if (name == "p" || name == "div" || name == "tr" || name == "li" || name == "table" || name == "ul" ||
                name == "ol" || name == "blockquote" || name == "pre" || name == "hr" ||
                (name.size() == 2 && name[0] == 'h' && name[1] >= '1' && name[1] <= '6')) {
                if (!out.empty() && (out.size() < 2 || out.compare(out.size() - 2, 2, "\r\n") != 0)) newline();
                if (!closing && name == "li") out += "- ";
                lastSpace = false;
                continue;
            }
            if (name == "td" || name == "th") {
                if (closing) { out += '\t'; lastSpace = true; }
                continue;
            }
            continue;
        }
        if (c == '&') {
            size_t semi = html.find(';', i);
            if (semi != std::string::npos && semi - i <= 10) {
                std::string ent = html.substr(i + 1, semi - i - 1);
                uint32_t cp = 0;
                bool ok = false;
                if (!ent.empty() && ent[0] == '#') {
                    char* endp = nullptr;
                    unsigned long v = (ent.size() > 1 && (ent[1] == 'x' || ent[1] == 'X'))
                                          ? std::strtoul(ent.c_str() + 2, &endp, 16)
                                          : std::strtoul(ent.c_str() + 1, &endp, 10);
                    ok = endp && *endp == '\0' && ent.size() > 1;
                    cp = uint32_t(v);
                } else if (auto it = entities.find(ent); it != entities.end()) {
                    ok = true;
                    cp = it->second;
                }
                if (ok) {
                    if (cp == 0xA0) cp = ' ';
                    AppendCodePointUtf8(out, cp);
                    lastSpace = cp == ' ';
                    i = semi + 1;
                    continue;
                }
            }
            out += c;
            lastSpace = false;
            ++i;
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (!lastSpace && !out.empty() && out.back() != '\n') out += ' ';
            lastSpace = true;
            ++i;
            continue;
        }
        out += c;
        lastSpace = false;
        ++i;
    }
    // At most one empty line in a row; no leading or trailing blank lines.
    std::string tidy;
    int breaks = 0;
    for (size_t k = 0; k < out.size(); ++k) {
        if (out.compare(k, 2, "\r\n") == 0) {
            ++breaks;
            if (breaks <= 2) tidy += "\r\n";
            ++k;
            continue;
        }
        if (out[k] == ' ' && breaks > 0) continue;  // indentation after a break
        breaks = 0;
        tidy += out[k];
    }
    size_t b = tidy.find_first_not_of(" \r\n\t");
    if (b == std::string::npos) return {};
    size_t e = tidy.find_last_not_of(" \r\n\t");
    return tidy.substr(b, e - b + 1);
}


void EnsureGMime() { mime::EnsureGMime(); }

}  // namespace items
