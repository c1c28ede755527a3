#include "items/ZimbraMetaReader.h"

#include "files/Ascii.h"
#include "files/MemoryFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <unordered_set>

namespace items {

// --- Text conversions --------------------------------------------------------

namespace {

bool ReadHex4(const std::string& s, size_t pos, char32_t& out) {
    if (pos + 4 > s.size()) return false;
    out = 0;
    for (size_t k = 0; k < 4; ++k) {
        int v = files::HexDigitValue(s[pos + k]);
        if (v < 0) return false;
        out = (out << 4) | char32_t(v);
    }
    return true;
}

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// The text with every byte that is no UTF-8 replaced by U+FFFD.
std::string ValidUtf8(const std::string& text) {
    for (unsigned char c : text)
        if (c >= 0x80) return Utf16ToUtf8(Utf8ToUtf16(text));
    return text;
}

}  // namespace

std::string TrimSpaces(const std::string& text) {
    size_t b = text.find_first_not_of(' ');
    if (b == std::string::npos) return {};
    size_t e = text.find_last_not_of(' ');
    return text.substr(b, e - b + 1);
}

// --- The file ------------------------------------------------------------------

bool ReadFileBytes(const std::string& path, std::string& out, bool followLinks) {
    out.clear();
    if (const auto memory = files::FindMemoryFile(path)) {
        out = memory->bytes;
        return true;
    }
    // Regular files only: opening a pipe would wait for a writer, and a device
    // may never end. O_NONBLOCK keeps the open itself from waiting.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW));
    if (fd < 0) return false;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return false;
    }
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            close(fd);
            out.clear();
            return false;
        }
        if (n == 0) break;
        out.append(buffer, size_t(n));
    }
    close(fd);
    return true;
}

std::string ReadMetaText(const std::string& path) {
    std::string text;
    if (!ReadFileBytes(TrimSpaces(path), text, false)) return {};
    if (text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    return text;
}

std::string ResolveJsonEscapes(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (uint8_t(c) >= 0x80) {
            // Bytes that are no UTF-8 become U+FFFD one by one, as Utf8ToUtf16
            // counts them, so the bencode lengths still fit the decoded text.
            size_t length = 1;
            int32_t cp = files::DecodeUtf8(s, i, length);
            if (cp < 0) files::AppendUtf8(out, 0xFFFD);
            else out.append(s, i, length);
            i += length - 1;
            continue;
        }
        if (c != '\\' || i + 1 >= s.size()) { out += c; continue; }
        char e = s[i + 1];
        switch (e) {
        case '"': out += '"'; ++i; break;
        case '\\': out += '\\'; ++i; break;
        case '/': out += '/'; ++i; break;
        case 'b': out += '\b'; ++i; break;
        case 'f': out += '\f'; ++i; break;
        case 'n': out += '\n'; ++i; break;
        case 'r': out += '\r'; ++i; break;
        case 't': out += '\t'; ++i; break;
        case 'u': {
            char32_t hi = 0;
            if (!ReadHex4(s, i + 2, hi)) { out += c; break; }
            size_t used = 6;
            char32_t cp = hi;
            if (hi >= 0xD800 && hi <= 0xDBFF) {
                char32_t lo = 0;
                if (i + 7 < s.size() && s[i + 6] == '\\' && s[i + 7] == 'u' && ReadHex4(s, i + 8, lo) &&
                    lo >= 0xDC00 && lo <= 0xDFFF) {
                    cp = 0x10000 + ((hi - 0xD800) << 10) + (lo - 0xDC00);
                    used = 12;
                } else {
                    cp = 0xFFFD;
                }
            } else if (hi >= 0xDC00 && hi <= 0xDFFF) {
                cp = 0xFFFD;
            }
            files::AppendUtf8(out, cp);
            i += used - 1;
            break;
        }
        default: out += c; break;
        }
    }
    return out;
}

namespace {

// A small JSON reader for the top-level object of a ".meta" file. Nested
// values are skipped and kept as their source text.
class JsonReader {
public:
    explicit JsonReader(const std::string& s) : s_(s) {}

    bool ReadObject(std::map<std::string, std::string>& members) {
        SkipSpace();
        if (!Eat('{')) return false;
        SkipSpace();
        if (Eat('}')) return AtEnd();
        for (;;) {
            SkipSpace();
            std::string key;
            if (!ReadString(key)) return false;
            SkipSpace();
            if (!Eat(':')) return false;
            SkipSpace();
            std::string value;
            if (Peek() == '"') {
                if (!ReadString(value)) return false;
            } else {
                size_t from = pos_;
                if (!SkipValue()) return false;
                value = ValidUtf8(s_.substr(from, pos_ - from));
            }
            members[key] = std::move(value);
            SkipSpace();
            if (Eat(',')) continue;
            if (Eat('}')) return AtEnd();
            return false;
        }
    }

private:
    char Peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }
    bool Eat(char c) {
        if (Peek() != c || pos_ >= s_.size()) return false;
        ++pos_;
        return true;
    }
    void SkipSpace() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\r' || s_[pos_] == '\n')) ++pos_;
    }
    bool AtEnd() {
        SkipSpace();
        return pos_ == s_.size();
    }
    bool ReadString(std::string& out) {
        if (!Eat('"')) return false;
        size_t from = pos_;
        while (pos_ < s_.size() && s_[pos_] != '"') {
            if (s_[pos_] == '\\') ++pos_;
            ++pos_;
        }
        if (pos_ >= s_.size()) return false;
        out = ResolveJsonEscapes(s_.substr(from, pos_ - from));
        ++pos_;
        return true;
    }
    bool SkipValue(int depth = 0) {
        if (depth > 64) return false;  // deeper than any real .meta file
        char c = Peek();
        if (c == '"') {
            std::string ignored;
            return ReadString(ignored);
        }
        if (c == '{' || c == '[') {
            char close = c == '{' ? '}' : ']';
            ++pos_;
            SkipSpace();
            if (Eat(close)) return true;
            for (;;) {
                SkipSpace();
                if (c == '{') {
                    std::string ignored;
                    if (!ReadString(ignored)) return false;
                    SkipSpace();
                    if (!Eat(':')) return false;
                    SkipSpace();
                }
                if (!SkipValue(depth + 1)) return false;
                SkipSpace();
                if (Eat(',')) continue;
                return Eat(close);
            }
        }
        size_t from = pos_;
        while (pos_ < s_.size() && s_[pos_] != ',' && s_[pos_] != '}' && s_[pos_] != ']' && s_[pos_] != ' ' &&
               s_[pos_] != '\r' && s_[pos_] != '\n' && s_[pos_] != '\t')
            ++pos_;
        return pos_ > from;
    }

    const std::string& s_;
    size_t pos_ = 0;
};

}  // namespace

std::optional<std::string> MetaFile::Member(const std::string& key) const {
    auto it = members.find(key);
    if (it == members.end()) return std::nullopt;
    return it->second;
}

int MetaFile::ItemType() const {
    auto t = Member("type");
    if (!t || t->empty()) return -1;
    char* end = nullptr;
    long v = std::strtol(t->c_str(), &end, 10);
    if (end == t->c_str() || *end != '\0') return -1;
    return int(v);
}

bool MetaFile::DescribesFolder() const {
    switch (ItemType()) {
    case 1:   // folder
    case 2:   // search folder
    case 3:   // tag
    case 13:  // mountpoint
    case 18:  // link
    case 19:  // smart folder
        return true;
    default:
        return false;
    }
}

MetaFile ParseMetaFile(const std::string& raw) {
    MetaFile file;
    file.raw = raw;
    std::map<std::string, std::string> members;
    JsonReader reader(raw);
    if (reader.ReadObject(members)) {
        file.isJson = true;
        file.members = std::move(members);
    }
    return file;
}

// --- Section -------------------------------------------------------------------

std::optional<std::string> MetaSection(const std::string& text, const std::string& marker) {
    if (marker.empty()) return std::nullopt;
    size_t first = text.find(marker);
    if (first == std::string::npos) return std::nullopt;
    size_t from = first + marker.size();
    size_t second = text.find(marker, from);
    return text.substr(from, second == std::string::npos ? std::string::npos : second - from);
}

std::optional<std::u16string> MetaScanText(const MetaFile& file, const std::string& marker) {
    if (file.isJson) {
        auto metadata = file.Member("metadata");
        if (marker == "d3:") {
            // The contact marker opens the bencoded dictionary itself; the
            // metadata's own end bounds the section. A contact whose dictionary
            // starts with another key (a colour "c") has no "d3:" up front but is
            // still a contact: its whole dictionary is scanned.
            size_t at = metadata ? metadata->find(marker) : std::string::npos;
            if (at != std::string::npos) return Utf8ToUtf16(metadata->substr(at + marker.size()));
            if (metadata && file.ItemType() == 6) return Utf8ToUtf16(*metadata);
            return std::nullopt;
        }
        // The item's own type vouches for its kind where its path (a calendar or
        // task list of its own, "/Team/") holds no marker.
        const bool ownKind = (marker == "/Calendar/" && file.ItemType() == 11) ||
                             (marker == "/Tasks/" && file.ItemType() == 15);
        if (!ownKind && file.raw.find(marker) == std::string::npos) return std::nullopt;
        if (!metadata) return std::u16string();
        return Utf8ToUtf16(*metadata);
    }
    auto section = MetaSection(file.raw, marker);
    if (!section) return std::nullopt;
    return Utf8ToUtf16(*section);
}

// --- Tokens and key rules ------------------------------------------------------

std::vector<MetaToken> MetaTokens(const std::u16string& text) {
    std::vector<MetaToken> tokens;
    size_t from = 0;
    for (;;) {
        size_t colon = text.find(u':', from);
        MetaToken t;
        t.start = from;
        t.text = text.substr(from, colon == std::u16string::npos ? std::u16string::npos : colon - from);
        tokens.push_back(std::move(t));
        if (colon == std::u16string::npos) break;
        from = colon + 1;
    }
    return tokens;
}

namespace {

bool StartsWith(const std::u16string& s, const std::u16string& p) {
    return s.size() >= p.size() && s.compare(0, p.size(), p) == 0;
}

bool RuleMatches(const MetaKeyRule& rule, const std::u16string& key, const std::u16string& token) {
    switch (rule.match) {
    case MatchKind::Prefix: return StartsWith(token, key);
    case MatchKind::PrefixAndDigit: return StartsWith(token, key) && token.size() > key.size() && IsDigit(token[key.size()]);
    case MatchKind::Description: return StartsWith(token, u"desc") && !StartsWith(token, u"descH");
    case MatchKind::Contains: return token.find(key) != std::u16string::npos;
    }
    return false;
}

// The digits that end the token before a key token are the key's length: the
// rule's key must be that long, or the token holds a longer key that merely
// begins with the rule's text.
bool KeyLengthAgrees(const std::u16string& previous, size_t keyLength) {
    std::u16string digits;
    size_t e = previous.size();
    while (e > 0 && IsDigit(previous[e - 1])) --e;
    digits = previous.substr(e);
    std::u16string wanted;
    for (char c : std::to_string(keyLength)) wanted += char16_t(c);
    return digits.size() >= wanted.size() && digits.compare(digits.size() - wanted.size(), wanted.size(), wanted) == 0;
}

// The whole number that makes up all of `rest`, or nullopt.
std::optional<size_t> ParseLength(const std::u16string& rest) {
    if (rest.empty() || rest.size() > 9) return std::nullopt;
    size_t n = 0;
    for (char16_t c : rest) {
        if (!IsDigit(c)) return std::nullopt;
        n = n * 10 + size_t(c - u'0');
    }
    return n;
}

}  // namespace

void ScanMetaTokens(const std::u16string& text, const std::vector<MetaToken>& tokens, std::vector<MetaKeyRule>& rules) {
    std::vector<std::u16string> keys;
    for (auto& rule : rules) {
        rule.taken = false;
        if (rule.target) rule.target->clear();
        keys.push_back(Utf8ToUtf16(rule.key));
    }
    size_t cutEnd = 0;  // end of the furthest value cut so far
    for (size_t i = 1; i < tokens.size(); ++i) {
        const MetaToken& token = tokens[i];
        if (token.start < cutEnd) continue;
        for (size_t r = 0; r < rules.size(); ++r) {
            MetaKeyRule& rule = rules[r];
            if (rule.taken) continue;
            const std::u16string& key = keys[r];
            if (!RuleMatches(rule, key, token.text)) continue;
            if (rule.match != MatchKind::Contains) {
                size_t keyLength = rule.match == MatchKind::Description ? 4 : key.size();
                if (!KeyLengthAgrees(tokens[i - 1].text, keyLength)) continue;
            }
            rule.taken = true;
            if (i + 1 >= tokens.size()) continue;  // no value token: the value stays empty
            if (rule.cut == CutKind::Length) {
                size_t keyLength = rule.match == MatchKind::Description ? 4 : key.size();
                auto n = ParseLength(token.text.substr(std::min(keyLength, token.text.size())));
                if (!n) continue;
                size_t from = tokens[i + 1].start;
                size_t count = std::min(*n, text.size() - from);
                if (rule.target) *rule.target = Utf16ToUtf8(text.substr(from, count));
                cutEnd = std::max(cutEnd, from + count);
            } else {
                const std::u16string& next = tokens[i + 1].text;
                std::vector<std::u16string> pieces;
                size_t from = 0;
                for (;;) {
                    size_t comma = next.find(u',', from);
                    pieces.push_back(next.substr(from, comma == std::u16string::npos ? std::u16string::npos : comma - from));
                    if (comma == std::u16string::npos) break;
                    from = comma + 1;
                }
                if (pieces.size() < 2) continue;
                std::u16string name = pieces[0];
                name.erase(std::remove(name.begin(), name.end(), u'"'), name.end());
                if (rule.target) *rule.target = Utf16ToUtf8(name);
            }
        }
    }
}

// --- Small text helpers ----------------------------------------------------------

std::string UnescapeMetaText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            if (text.compare(i, 4, "\\r\\n") == 0) { out += "\r\n"; i += 3; continue; }
            if (text[i + 1] == 'r') { out += '\n'; ++i; continue; }
            if (text[i + 1] == 'n') { out += "\r\n"; ++i; continue; }
        }
        out += text[i];
    }
    return out;
}

std::vector<std::string> SplitTagNames(const std::string& tagNames) {
    std::vector<std::string> names;
    std::unordered_set<std::string> seen;  // a hostile list may hold very many names
    std::string name;
    auto finish = [&] {
        if (!name.empty() && seen.insert(name).second) names.push_back(name);
        name.clear();
    };
    for (size_t i = 0; i < tagNames.size(); ++i) {
        char c = tagNames[i];
        if (c == '\\' && i + 1 < tagNames.size() &&
            (tagNames[i + 1] == ':' || tagNames[i + 1] == '\\')) {
            name += tagNames[++i];
        } else if (c == ':') {
            finish();
        } else {
            name += c;
        }
    }
    finish();
    return names;
}

namespace {
std::string Chars(const std::u16string& s, size_t from, size_t count) {
    if (from >= s.size()) return {};
    return Utf16ToUtf8(s.substr(from, count));
}
}  // namespace

std::string FormatCompactDate(const std::string& text) {
    auto s = Utf8ToUtf16(text);
    return Chars(s, 4, 2) + "/" + Chars(s, 6, 2) + "/" + Chars(s, 0, 4);
}

std::string FormatCompactTime(const std::string& text) {
    auto s = Utf8ToUtf16(text);
    return Chars(s, 0, 2) + ":" + Chars(s, 2, 2);
}

}  // namespace items
