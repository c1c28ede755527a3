#include "mime/HtmlText.h"

#include "files/Ascii.h"
#include "files/Utf.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <map>

namespace mime {

namespace {

using files::LowerAscii;

// A character reference: NUL, surrogates and values above U+10FFFF become U+FFFD.
void AppendUtf8(std::string& out, uint32_t cp) { files::AppendUtf8(out, cp == 0 ? char32_t(0xFFFD) : char32_t(cp)); }

const std::map<std::string, uint32_t, std::less<>>& Entities() {
    static const std::map<std::string, uint32_t, std::less<>> e = {
        {"amp", '&'},       {"lt", '<'},        {"gt", '>'},        {"quot", '"'},      {"apos", '\''},
        {"nbsp", 0xA0},     {"copy", 0xA9},     {"reg", 0xAE},      {"trade", 0x2122},  {"euro", 0x20AC},
        {"pound", 0xA3},    {"yen", 0xA5},      {"cent", 0xA2},     {"sect", 0xA7},     {"deg", 0xB0},
        {"plusmn", 0xB1},   {"middot", 0xB7},   {"bull", 0x2022},   {"hellip", 0x2026}, {"mdash", 0x2014},
        {"ndash", 0x2013},  {"lsquo", 0x2018},  {"rsquo", 0x2019},  {"ldquo", 0x201C},  {"rdquo", 0x201D},
        {"laquo", 0xAB},    {"raquo", 0xBB},    {"times", 0xD7},    {"divide", 0xF7},   {"shy", 0xAD},
        {"iexcl", 0xA1},    {"iquest", 0xBF},   {"szlig", 0xDF},    {"agrave", 0xE0},   {"aacute", 0xE1},
        {"acirc", 0xE2},    {"atilde", 0xE3},   {"auml", 0xE4},     {"aring", 0xE5},    {"aelig", 0xE6},
        {"ccedil", 0xE7},   {"egrave", 0xE8},   {"eacute", 0xE9},   {"ecirc", 0xEA},    {"euml", 0xEB},
        {"igrave", 0xEC},   {"iacute", 0xED},   {"icirc", 0xEE},    {"iuml", 0xEF},     {"ntilde", 0xF1},
        {"ograve", 0xF2},   {"oacute", 0xF3},   {"ocirc", 0xF4},    {"otilde", 0xF5},   {"ouml", 0xF6},
        {"oslash", 0xF8},   {"ugrave", 0xF9},   {"uacute", 0xFA},   {"ucirc", 0xFB},    {"uuml", 0xFC},
        {"yacute", 0xFD},   {"yuml", 0xFF},     {"Agrave", 0xC0},   {"Aacute", 0xC1},   {"Acirc", 0xC2},
        {"Atilde", 0xC3},   {"Auml", 0xC4},     {"Aring", 0xC5},    {"AElig", 0xC6},    {"Ccedil", 0xC7},
        {"Egrave", 0xC8},   {"Eacute", 0xC9},   {"Ecirc", 0xCA},    {"Euml", 0xCB},     {"Igrave", 0xCC},
        {"Iacute", 0xCD},   {"Icirc", 0xCE},    {"Iuml", 0xCF},     {"Ntilde", 0xD1},   {"Ograve", 0xD2},
        {"Oacute", 0xD3},   {"Ocirc", 0xD4},    {"Otilde", 0xD5},   {"Ouml", 0xD6},     {"Oslash", 0xD8},
        {"Ugrave", 0xD9},   {"Uacute", 0xDA},   {"Ucirc", 0xDB},    {"Uuml", 0xDC},     {"Yacute", 0xDD},
        {"zwnj", 0x200C},   {"zwj", 0x200D},    {"thinsp", 0x2009}, {"ensp", 0x2002},   {"emsp", 0x2003},
    };
    return e;
}

bool IsBlock(const std::string& t) {
    static const char* blocks[] = {"p",      "div",     "tr",     "table",  "ul",  "ol",      "dl",
                                   "dt",     "dd",      "h1",     "h2",     "h3",  "h4",      "h5",
                                   "h6",     "blockquote", "pre", "hr",     "section", "article", "header",
                                   "footer", "address", "center", "form",   "nav", "aside",   "main",
                                   "caption", "fieldset", "figure", "tbody", "thead", "tfoot", "body"};
    for (auto b : blocks)
        if (t == b) return true;
    return false;
}

struct Writer {
    std::string out;
    bool pendingSpace = false;
    int pendingNewlines = 0;

    void Newline(int n) {
        pendingSpace = false;
        if (out.empty()) return;
        if (n > pendingNewlines) pendingNewlines = n;
    }
    void FlushBreaks() {
        if (pendingNewlines) {
            // Count newlines already at the end of the output.
            int have = 0;
            for (size_t i = out.size(); i > 0 && out[i - 1] == '\n'; --i) ++have;
            for (int k = have; k < pendingNewlines; ++k) out += '\n';
            pendingNewlines = 0;
            pendingSpace = false;
        } else if (pendingSpace) {
            if (!out.empty() && out.back() != '\n' && out.back() != ' ' && out.back() != '\t') out += ' ';
            pendingSpace = false;
        }
    }
    void Text(std::string_view s, bool pre) {
        for (char c : s) {
            if (pre) {
                FlushBreaks();
                if (c == '\r') continue;
                out += c;
            } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f') {
                pendingSpace = true;
            } else {
                FlushBreaks();
                out += c;
            }
        }
    }
};

}  // namespace

std::string HtmlToText(std::string_view html) {
    Writer w;
    size_t i = 0, n = html.size();
    bool pre = false;
    std::string skipUntil;  // closing tag of an element whose content is not text
    std::string pendingHref;
    size_t linkTextStart = 0;
    std::string text;
    auto emitText = [&](std::string_view raw) {
        // decode entities, then write
        text.clear();
        size_t k = 0;
        while (k < raw.size()) {
            char c = raw[k];
            if (c != '&') {
                text += c;
                ++k;
                continue;
            }
            size_t semi = raw.find(';', k + 1);
            if (semi != std::string_view::npos && semi - k <= 12) {
                std::string_view name = raw.substr(k + 1, semi - k - 1);
                if (!name.empty() && name[0] == '#') {
                    uint32_t cp = 0;
                    bool hex = name.size() > 1 && (name[1] == 'x' || name[1] == 'X');
                    bool ok = name.size() > (hex ? 2u : 1u);
                    for (size_t m = hex ? 2 : 1; m < name.size() && ok; ++m) {
                        char d = name[m];
                        uint32_t v;
                        if (d >= '0' && d <= '9') v = uint32_t(d - '0');
                        else if (hex && d >= 'a' && d <= 'f') v = uint32_t(d - 'a' + 10);
                        else if (hex && d >= 'A' && d <= 'F') v = uint32_t(d - 'A' + 10);
                        else { ok = false; break; }
                        cp = cp * (hex ? 16 : 10) + v;
                        if (cp > 0x10FFFF) ok = false;
                    }
                    if (ok) {
                        AppendUtf8(text, cp == 0xA0 ? ' ' : cp);
                        k = semi + 1;
                        continue;
                    }
                } else {
                    auto& ents = Entities();
                    auto it = ents.find(name);
                    if (it == ents.end()) it = ents.find(LowerAscii(name));
                    if (it != ents.end()) {
                        AppendUtf8(text, it->second == 0xA0 ? ' ' : it->second);
                        k = semi + 1;
                        continue;
                    }
                }
            }
            text += c;
            ++k;
        }
        w.Text(text, pre);
    };

    while (i < n) {
        if (html[i] != '<') {
            size_t next = html.find('<', i);
            if (next == std::string_view::npos) next = n;
            if (skipUntil.empty()) emitText(html.substr(i, next - i));
            i = next;
            continue;
        }
        // comment
        if (html.substr(i, 4) == "<!--") {
            size_t end = html.find("-->", i + 4);
            i = end == std::string_view::npos ? n : end + 3;
            continue;
        }
        // a tag: name, attributes (quotes respected), '>'
        size_t j = i + 1;
        bool closing = false;
        if (j < n && html[j] == '/') { closing = true; ++j; }
        size_t nameStart = j;
        while (j < n && (std::isalnum(uint8_t(html[j])) || html[j] == ':' || html[j] == '-')) ++j;
        if (j == nameStart && !(j < n && (html[j] == '!' || html[j] == '?'))) {
            // a lone '<' in text
            if (skipUntil.empty()) emitText("<");
            ++i;
            continue;
        }
        std::string name = LowerAscii(html.substr(nameStart, j - nameStart));
        size_t attrStart = j;
        char quote = 0;
        while (j < n) {
            char c = html[j];
            if (quote) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                break;
            }
            ++j;
        }
        std::string_view attrs = html.substr(attrStart, (j < n ? j : n) - attrStart);
        i = j < n ? j + 1 : n;

        if (!skipUntil.empty()) {
            if (closing && name == skipUntil) skipUntil.clear();
            continue;
        }
        if (!closing && (name == "script" || name == "style" || name == "head" || name == "title" ||
                         name == "xml" || name == "o:p" || name == "template")) {
            if (name != "o:p" && !(attrs.size() && attrs.back() == '/')) skipUntil = name;
            continue;
        }
        if (name == "br") {
            w.FlushBreaks();
            w.out += '\n';
            continue;
        }
        if (name == "pre") {
            pre = !closing;
            w.Newline(1);
            continue;
        }
        if (name == "li" && !closing) {
            w.Newline(1);
            w.FlushBreaks();
            w.out += "* ";
            continue;
        }
        if ((name == "td" || name == "th") && !closing) {
            w.FlushBreaks();
            if (!w.out.empty() && w.out.back() != '\n') w.out += '\t';
            continue;
        }
        if (name == "a") {
            if (!closing) {
                pendingHref.clear();
                std::string la = LowerAscii(attrs);
                size_t h = la.find("href");
                if (h != std::string::npos) {
                    size_t eq = la.find('=', h);
                    if (eq != std::string::npos) {
                        size_t v = eq + 1;
                        while (v < attrs.size() && (attrs[v] == ' ' || attrs[v] == '\t')) ++v;
                        char q = v < attrs.size() && (attrs[v] == '"' || attrs[v] == '\'') ? attrs[v] : 0;
                        size_t vs = q ? v + 1 : v;
                        size_t ve = vs;
                        while (ve < attrs.size() && (q ? attrs[ve] != q : (attrs[ve] != ' ' && attrs[ve] != '>'))) ++ve;
                        pendingHref = std::string(attrs.substr(vs, ve - vs));
                    }
                }
                w.FlushBreaks();
                linkTextStart = w.out.size();
            } else if (!pendingHref.empty()) {
                std::string shown = w.out.substr(std::min(linkTextStart, w.out.size()));
                std::string lh = LowerAscii(pendingHref);
                if (shown.find(pendingHref) == std::string::npos && lh.rfind("mailto:", 0) != 0 &&
                    lh.rfind("cid:", 0) != 0 && lh.rfind("#", 0) != 0 && lh.rfind("javascript:", 0) != 0 &&
                    !shown.empty()) {
                    w.out += " <" + pendingHref + ">";
                }
                pendingHref.clear();
            }
            continue;
        }
        if (name == "p" || name == "h1" || name == "h2" || name == "h3" || name == "h4" || name == "h5" ||
            name == "h6" || name == "blockquote" || name == "table" || name == "ul" || name == "ol") {
            w.Newline(2);
            continue;
        }
        if (name == "hr") {
            w.Newline(1);
            w.FlushBreaks();
            w.out += "________________________________";
            w.Newline(1);
            continue;
        }
        if (IsBlock(name)) w.Newline(1);
    }
    // trim trailing blank space, leading newlines
    std::string& out = w.out;
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ' || out.back() == '\t')) out.pop_back();
    size_t lead = 0;
    while (lead < out.size() && out[lead] == '\n') ++lead;
    // strip trailing spaces on each line
    std::string clean;
    clean.reserve(out.size());
    size_t lineStart = clean.size();
    for (size_t k = lead; k < out.size(); ++k) {
        char c = out[k];
        if (c == '\n') {
            while (clean.size() > lineStart && (clean.back() == ' ')) clean.pop_back();
            clean += '\n';
            lineStart = clean.size();
        } else {
            clean += c;
        }
    }
    return ToCrlf(clean);
}

std::string HtmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string UnflowText(std::string_view text, bool delSp) {
    std::string out;
    out.reserve(text.size());
    bool joining = false;  // the previous line was soft-broken
    int joinDepth = 0;
    size_t i = 0;
    while (i <= text.size()) {
        size_t eol = text.find('\n', i);
        if (eol == std::string_view::npos) eol = text.size();
        std::string_view line = text.substr(i, eol - i);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        int depth = 0;
        while (size_t(depth) < line.size() && line[size_t(depth)] == '>') ++depth;
        std::string_view content = line.substr(size_t(depth));
        if (!content.empty() && content[0] == ' ') content.remove_prefix(1);  // space stuffing
        if (joining && depth != joinDepth) out += '\n';  // a soft break never crosses quote levels
        if (!joining || depth != joinDepth) out.append(std::string(size_t(depth), '>')).append(depth ? " " : "");
        bool soft = !content.empty() && content.back() == ' ' && content != "-- ";
        if (soft && delSp) content.remove_suffix(1);
        out.append(content);
        if (eol >= text.size()) break;
        if (soft) {
            joining = true;
            joinDepth = depth;
        } else {
            joining = false;
            out += '\n';
        }
        i = eol + 1;
    }
    return out;
}

std::string ToCrlf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32 + 2);
    size_t i = 0;
    while (i < text.size()) {
        // The text between line breaks is copied a run at a time, not a character.
        size_t end = i;
        while (end < text.size() && text[end] != '\r' && text[end] != '\n') ++end;
        out.append(text.data() + i, end - i);
        if (end == text.size()) break;
        out += "\r\n";
        i = end + 1;
        if (text[end] == '\r' && i < text.size() && text[i] == '\n') ++i;
    }
    return out;
}

}  // namespace mime
