#include "items/ItemSupport.h"

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
#include <iterator>
#include <map>
#include <functional>
#include <mutex>

#include "items/ZimbraMetaReader.h"
#include "store/PstStoreSession.h"

namespace items {

// --- Files -----------------------------------------------------------------------

std::string TempFolderPath() {
    std::string dir;
    if (const char* env = std::getenv("TMPDIR"); env && *env) dir = env;
    struct stat st {};
    if (dir.empty() || stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) dir = "/tmp";
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {};
    if (dir.back() != '/') dir += '/';
    return dir;
}

std::string NewTempFileName(const std::string& prefix) {
    std::string folder = TempFolderPath();
    if (folder.empty()) return {};
    std::string pattern = folder + SanitizeFileName(prefix) + "XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    int fd = mkstemp(buf.data());
    if (fd < 0) return {};
    close(fd);
    return buf.data();
}

std::string NewTempFolder(const std::string& prefix) {
    std::string folder = TempFolderPath();
    if (folder.empty()) return {};
    std::string pattern = folder + SanitizeFileName(prefix) + "XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return {};
    return std::string(buf.data()) + "/";
}

bool IsExistingFile(const std::string& path) {
    if (path.empty()) return false;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;
    return S_ISREG(st.st_mode);  // a pipe would block its reader, a device never end
}

std::string CompanionPath(const std::string& metaPath) {
    std::string out;
    size_t from = 0;
    for (;;) {
        size_t at = metaPath.find(".meta", from);
        if (at == std::string::npos) break;
        out.append(metaPath, from, at - from);
        from = at + 5;
    }
    out.append(metaPath, from, std::string::npos);
    return out;
}

std::string SanitizeFileName(const std::string& name) {
    // Only the last path component counts, whichever separator it uses.
    std::string base = name;
    size_t slash = base.find_last_of("/\\");
    if (slash != std::string::npos) base = base.substr(slash + 1);
    std::string out;
    for (size_t i = 0; i < base.size();) {
        size_t from = i;
        char32_t cp = 0;
        auto b = uint8_t(base[i]);
        if (b < 0x80) {
            cp = b;
            ++i;
        } else {
            std::u16string one = Utf8ToUtf16(base.substr(i, std::min<size_t>(4, base.size() - i)));
            // Take one whole UTF-8 sequence; invalid bytes become "_".
            size_t len = (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 1;
            if (len == 1 || i + len > base.size() || one.empty() || one[0] == 0xFFFD) {
                out += '_';
                ++i;
                continue;
            }
            i += len;
            cp = one[0];
        }
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029) { out += '_'; continue; }
        if (cp == ':' || cp == '*' || cp == '?' || cp == '"' || cp == '<' || cp == '>' || cp == '|') { out += '_'; continue; }
        out.append(base, from, i - from);
    }
    // No "." or ".." names, no leading dots (hidden files), no trailing dots or spaces.
    out.erase(0, std::min(out.find_first_not_of(". "), out.size()));  // at once: a name may hold very many
    while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
    if (out.size() > 200) {
        size_t dot = out.rfind('.');
        std::string ext = (dot != std::string::npos && out.size() - dot <= 16) ? out.substr(dot) : "";
        size_t keep = 200 - ext.size();
        while (keep > 0 && (uint8_t(out[keep]) & 0xC0) == 0x80) --keep;  // whole UTF-8 sequences
        out = out.substr(0, keep) + ext;
    }
    if (out.empty()) out = "attachment";
    return out;
}

namespace {

// CreateNewFile, trying the numbers from `next` on; `next` is left at the
// number after the one used, so a caller that names many files alike does not
// try every name in use again.
std::pair<std::string, int> CreateNumberedFile(const std::string& folder, const std::string& clean, int& next) {
    size_t dot = clean.rfind('.');
    std::string stem = dot == std::string::npos || dot == 0 ? clean : clean.substr(0, dot);
    std::string ext = dot == std::string::npos || dot == 0 ? "" : clean.substr(dot);
    for (int tries = 0; tries < 10000; ++tries, ++next) {
        std::string path = folder + (next <= 1 ? clean : stem + " (" + std::to_string(next) + ")" + ext);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            ++next;
            return {path, fd};
        }
        if (errno != EEXIST) break;
    }
    return {std::string(), -1};
}

}  // namespace

std::pair<std::string, int> CreateNewFile(const std::string& folder, const std::string& name) {
    int next = 1;
    return CreateNumberedFile(folder, SanitizeFileName(name), next);
}

std::string SaveNewFile(const std::string& folder, const std::string& name, const std::vector<uint8_t>& bytes) {
    auto [path, fd] = CreateNewFile(folder, name);
    if (fd < 0) return {};
    size_t done = 0;
    bool ok = true;
    while (done < bytes.size()) {
        ssize_t w = write(fd, bytes.data() + done, bytes.size() - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        done += size_t(w);
    }
    if (close(fd) != 0) ok = false;
    if (!ok) {
        unlink(path.c_str());
        return {};
    }
    return path;
}

void RemoveTempFile(const std::string& path) {
    if (!path.empty() && IsExistingFile(path)) unlink(path.c_str());
}

void RemoveTempFolder(const std::string& folder) {
    if (!folder.empty()) rmdir(folder.c_str());
}

// --- Bencoded values ------------------------------------------------------------------

const MetaValue* MetaValue::Member(const std::string& key) const {
    if (kind != Kind::Dictionary) return nullptr;
    for (const auto& [k, v] : items)
        if (k == key) return &v;
    return nullptr;
}

std::string MetaValue::Text(const std::string& key) const {
    const MetaValue* v = Member(key);
    if (!v || (v->kind != Kind::String && v->kind != Kind::Integer)) return {};
    return v->text;
}

namespace {

// "<digits>:" at pos: the length, pos moved past the colon.
std::optional<size_t> ReadLengthPrefix(const std::u16string& t, size_t& pos) {
    size_t n = 0, digits = 0;
    while (pos < t.size() && t[pos] >= u'0' && t[pos] <= u'9') {
        if (++digits > 9) return std::nullopt;
        n = n * 10 + size_t(t[pos] - u'0');
        ++pos;
    }
    if (digits == 0 || pos >= t.size() || t[pos] != u':') return std::nullopt;
    ++pos;
    return n;
}

std::optional<MetaValue> ReadMetaValueAt(const std::u16string& t, size_t& pos, int depth) {
    if (pos >= t.size() || depth > 64) return std::nullopt;
    MetaValue v;
    char16_t c = t[pos];
    if (c == u'i') {
        size_t end = t.find(u'e', pos + 1);
        if (end == std::u16string::npos || end == pos + 1) return std::nullopt;
        std::u16string digits = t.substr(pos + 1, end - pos - 1);
        for (size_t k = 0; k < digits.size(); ++k)
            if (!((digits[k] >= u'0' && digits[k] <= u'9') || (k == 0 && digits[k] == u'-'))) return std::nullopt;
        v.kind = MetaValue::Kind::Integer;
        v.text = Utf16ToUtf8(digits);
        pos = end + 1;
        return v;
    }
    if (c == u'l' || c == u'd') {
        bool dict = c == u'd';
        v.kind = dict ? MetaValue::Kind::Dictionary : MetaValue::Kind::List;
        ++pos;
        while (pos < t.size() && t[pos] != u'e') {
            std::string key;
            if (dict) {
                auto n = ReadLengthPrefix(t, pos);
                if (!n || *n > t.size() - pos) return std::nullopt;
                key = Utf16ToUtf8(t.substr(pos, *n));
                pos += *n;
            }
            auto item = ReadMetaValueAt(t, pos, depth + 1);
            if (!item) return std::nullopt;
            v.items.emplace_back(std::move(key), std::move(*item));
        }
        if (pos >= t.size()) return std::nullopt;
        ++pos;  // the "e"
        return v;
    }
    auto n = ReadLengthPrefix(t, pos);
    if (!n || *n > t.size() - pos) return std::nullopt;
    v.kind = MetaValue::Kind::String;
    v.text = Utf16ToUtf8(t.substr(pos, *n));
    pos += *n;
    return v;
}

}  // namespace

std::optional<MetaValue> ReadMetaValue(const std::u16string& text, size_t& pos) {
    size_t at = pos;
    auto v = ReadMetaValueAt(text, at, 0);
    if (v) pos = at;
    return v;
}

pst::Binary GlobalObjectIdFromUid(const std::string& uid) {
    static const uint8_t kArrayId[16] = {0x04, 0x00, 0x00, 0x00, 0x82, 0x00, 0xE0, 0x00,
                                         0x74, 0xC5, 0xB7, 0x10, 0x1A, 0x82, 0xE0, 0x08};
    if (uid.empty()) return {};
    // An Outlook id written in hex: the header (40 bytes) and its data, the size saying how much.
    static const std::string kHexPrefix = "040000008200E00074C5B7101A82E008";
    std::string upper = uid;
    for (char& c : upper)
        if (c >= 'a' && c <= 'f') c = char(c - 'a' + 'A');
    if (upper.size() >= 80 && upper.size() % 2 == 0 && upper.compare(0, kHexPrefix.size(), kHexPrefix) == 0 &&
        upper.find_first_not_of("0123456789ABCDEF") == std::string::npos) {
        pst::Binary b;
        for (size_t i = 0; i < upper.size(); i += 2) b.push_back(uint8_t(std::stoi(upper.substr(i, 2), nullptr, 16)));
        uint32_t size = uint32_t(b[36]) | uint32_t(b[37]) << 8 | uint32_t(b[38]) << 16 | uint32_t(b[39]) << 24;
        if (size == b.size() - 40) return b;
    }
    pst::Binary b(kArrayId, kArrayId + 16);
    b.resize(16 + 4 + 8 + 8, 0);  // instance date, creation time, padding: zero
    const std::string marker = "vCal-Uid";
    uint32_t size = uint32_t(marker.size() + 4 + uid.size() + 1);
    for (int k = 0; k < 4; ++k) b.push_back(uint8_t(size >> (8 * k)));
    b.insert(b.end(), marker.begin(), marker.end());
    for (uint8_t v : {1, 0, 0, 0}) b.push_back(v);
    b.insert(b.end(), uid.begin(), uid.end());
    b.push_back(0);
    return b;
}

// --- Text ----------------------------------------------------------------------------

namespace {
void InitGMime();
}  // namespace

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
        InitGMime();  // the charset table is GMime's
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

std::string LowerAscii(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
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
    const std::string lower = LowerAscii(html);
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
            std::string tag = LowerAscii(html.substr(i + 1, end - i - 1));
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

// --- Companion MIME files ----------------------------------------------------------

namespace {

void InitGMime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

std::vector<uint8_t> PartBytes(GMimePart* part) {
    std::vector<uint8_t> bytes;
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    if (!content) return bytes;
    GMimeStream* mem = g_mime_stream_mem_new();
    if (g_mime_data_wrapper_write_to_stream(content, mem) >= 0) {
        GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem));
        if (array && array->len) bytes.assign(array->data, array->data + array->len);
    }
    g_object_unref(mem);
    return bytes;
}

// A 64-bit FNV-1a hash and the size of a file, to spot an attachment that
// several invites repeat.
std::pair<uint64_t, uint64_t> FileDigest(const std::string& path) {
    uint64_t hash = 1469598103934665603ULL, size = 0;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {0, 0};
    uint8_t buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t k = 0; k < n; ++k) hash = (hash ^ buffer[k]) * 1099511628211ULL;
        size += uint64_t(n);
    }
    close(fd);
    return {hash, size};
}

std::string ContentTypeOf(GMimeObject* object) {
    GMimeContentType* ct = g_mime_object_get_content_type(object);
    if (!ct) return "application/octet-stream";
    char* type = g_mime_content_type_get_mime_type(ct);
    std::string s = type ? Utf16ToUtf8(Utf8ToUtf16(LowerAscii(type))) : "application/octet-stream";  // 8-bit bytes made valid
    g_free(type);
    return s;
}

std::string CharsetOf(GMimeObject* object) {
    GMimeContentType* ct = g_mime_object_get_content_type(object);
    const char* cs = ct ? g_mime_content_type_get_parameter(ct, "charset") : nullptr;
    return cs ? cs : "";
}

bool IsAttachmentDisposition(GMimeObject* object) {
    GMimeContentDisposition* d = g_mime_object_get_content_disposition(object);
    return d && g_mime_content_disposition_is_attachment(d);
}

std::string ExtensionFor(const std::string& type) {
    static const std::map<std::string, std::string> known = {
        {"image/jpeg", ".jpg"}, {"image/png", ".png"},        {"image/gif", ".gif"},  {"image/bmp", ".bmp"},
        {"text/plain", ".txt"}, {"text/html", ".html"},       {"application/pdf", ".pdf"},
        {"message/rfc822", ".eml"}, {"image/tiff", ".tif"}};
    auto it = known.find(type);
    return it == known.end() ? ".bin" : it->second;
}

struct CompanionWalk {
    CompanionContent* out;
    std::string html;  // the first HTML text part, used when there is no plain text
    bool textFound = false;
    std::vector<std::pair<uint64_t, uint64_t>> digests;  // per attachment
    std::map<std::string, int> nextNumber;  // per file name: the number its next copy tries first

    // Decodes an attachment into a new file of the companion's folder.
    void Save(const std::string& name, const std::string& type, const std::function<bool(GMimeStream*)>& write) {
        if (out->folder.empty()) out->folder = NewTempFolder("ZIM");
        if (out->folder.empty()) return;
        std::string fileName = name.empty() ? "attachment" + std::to_string(out->attachments.size() + 1) + ExtensionFor(type)
                                            : Utf16ToUtf8(Utf8ToUtf16(name));  // RFC 2231 bytes may be no UTF-8
        std::string clean = SanitizeFileName(fileName);
        auto [path, fd] = CreateNumberedFile(out->folder, clean, nextNumber.try_emplace(clean, 1).first->second);
        if (fd < 0) return;
        GMimeStream* file = g_mime_stream_fs_new(fd);  // owns fd
        bool ok = write(file) && g_mime_stream_flush(file) == 0;
        g_object_unref(file);
        if (!ok) {
            unlink(path.c_str());
            return;
        }
        auto digest = FileDigest(path);
        for (size_t k = 0; k < out->attachments.size(); ++k) {
            if (digests[k] == digest && out->attachments[k].fileName == fileName) {  // repeated by another invite
                unlink(path.c_str());
                return;
            }
        }
        CompanionPart part;
        part.fileName = fileName;
        part.contentType = type;
        part.savedPath = path;
        part.size = digest.second;
        out->attachments.push_back(std::move(part));
        digests.push_back(digest);
    }

    void Walk(GMimeObject* object, int depth) {
        if (!object || depth > 32) return;
        if (GMIME_IS_MULTIPART(object)) {
            GMimeMultipart* mp = GMIME_MULTIPART(object);
            int n = g_mime_multipart_get_count(mp);
            for (int k = 0; k < n; ++k) Walk(g_mime_multipart_get_part(mp, k), depth + 1);
            return;
        }
        if (GMIME_IS_MESSAGE_PART(object)) {
            GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
            if (!inner) return;
            if (IsAttachmentDisposition(object)) {
                // A forwarded message attached to the item: keep it whole.
                const char* subject = g_mime_message_get_subject(inner);
                Save(std::string(subject && *subject ? subject : "message") + ".eml", "message/rfc822",
                     [inner](GMimeStream* stream) {
                         return g_mime_object_write_to_stream(GMIME_OBJECT(inner), nullptr, stream) >= 0;
                     });
                return;
            }
            Walk(g_mime_message_get_mime_part(inner), depth + 1);
            return;
        }
        if (!GMIME_IS_PART(object)) return;
        GMimePart* part = GMIME_PART(object);
        std::string type = ContentTypeOf(object);
        if (type == "text/calendar") return;  // the invitation itself, not an attachment
        const char* name = g_mime_part_get_filename(part);
        bool attachment = IsAttachmentDisposition(object) || (name && *name);
        if (!attachment && (type == "text/plain" || type == "text/html")) {
            std::string text = DecodeToUtf8(PartBytes(part), CharsetOf(object));
            if (type == "text/plain" && !textFound) {
                out->text = text;
                textFound = true;
            } else if (type == "text/html" && html.empty()) {
                html = text;
            }
            return;
        }
        Save(name ? name : "", type, [part](GMimeStream* stream) {
            GMimeDataWrapper* content = g_mime_part_get_content(part);
            return content && g_mime_data_wrapper_write_to_stream(content, stream) >= 0;
        });
    }
};

}  // namespace

CompanionContent::CompanionContent(CompanionContent&& other) noexcept
    : parsed(other.parsed), attachments(std::move(other.attachments)), text(std::move(other.text)),
      folder(std::move(other.folder)) {
    other.attachments.clear();
    other.folder.clear();
}

CompanionContent& CompanionContent::operator=(CompanionContent&& other) noexcept {
    if (this != &other) {
        Clear();
        parsed = other.parsed;
        attachments = std::move(other.attachments);
        text = std::move(other.text);
        folder = std::move(other.folder);
        other.attachments.clear();
        other.folder.clear();
    }
    return *this;
}

CompanionContent::~CompanionContent() { Clear(); }

void CompanionContent::Clear() {
    for (auto& part : attachments) RemoveTempFile(part.savedPath);
    attachments.clear();
    RemoveTempFolder(folder);
    folder.clear();
}

CompanionContent ReadCompanion(const std::string& path) {
    CompanionContent content;
    if (!IsExistingFile(path)) return content;
    InitGMime();
    GError* err = nullptr;
    GMimeStream* stream = g_mime_stream_fs_open(path.c_str(), O_RDONLY, 0, &err);
    if (!stream) {
        if (err) g_error_free(err);
        return content;
    }
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
    if (message) {
        content.parsed = true;
        CompanionWalk walk{&content, {}, false, {}, {}};
        walk.Walk(g_mime_message_get_mime_part(message), 0);
        if (!walk.textFound && !walk.html.empty()) content.text = HtmlToText(walk.html);
        g_object_unref(message);
    }
    g_object_unref(parser);
    g_object_unref(stream);
    return content;
}

size_t CompanionAttachments(store::Item& item, const CompanionContent& companion) {
    size_t added = 0;
    for (const auto& part : companion.attachments) {
        try {
            store::Attachment& att = item.AttachmentsAdd(part.savedPath);
            att.SetProp(pst::tags::PR_ATTACH_MIME_TAG, part.contentType);
            ++added;
        } catch (const std::exception&) {
            // A rejected attachment is passed over; the others still go in.
        }
    }
    return added;
}

size_t CompanionAttachments(store::Item& item, const std::string& companionPath) {
    if (!IsExistingFile(companionPath)) return 0;
    return CompanionAttachments(item, ReadCompanion(companionPath));
}

namespace {
bool IsImage(const CompanionPart& part) {
    if (part.contentType.rfind("image/", 0) == 0) return true;
    std::string lower = LowerAscii(part.fileName);
    for (const char* ext : {".jpg", ".jpeg", ".png", ".gif", ".bmp", ".tif", ".tiff"}) {
        size_t n = std::strlen(ext);
        if (lower.size() >= n && lower.compare(lower.size() - n, n, ext) == 0) return true;
    }
    return false;
}
}  // namespace

std::string ContactPhoto(const std::string& companionPath) {
    if (!IsExistingFile(companionPath)) return {};
    CompanionContent content = ReadCompanion(companionPath);
    const CompanionPart* picture = nullptr;
    for (const auto& part : content.attachments)
        if (IsImage(part) && part.size > 0) picture = &part;
    if (!picture) return {};
    std::string path = NewTempFileName("ZIM");
    if (path.empty()) return {};
    if (rename(picture->savedPath.c_str(), path.c_str()) != 0) {
        RemoveTempFile(path);
        return {};
    }
    return path;
}

// --- Date and time ---------------------------------------------------------------------

namespace {

bool AllDigits(const std::string& s, size_t from, size_t count) {
    if (from + count > s.size()) return false;
    for (size_t k = from; k < from + count; ++k)
        if (s[k] < '0' || s[k] > '9') return false;
    return true;
}

int Num(const std::string& s, size_t from, size_t count) { return std::stoi(s.substr(from, count)); }

int DaysInMonth(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return 29;
    return days[m - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468;
}

}  // namespace

bool IsValidCivil(const CivilTime& t) {
    return t.year >= 1601 && t.year <= 9999 && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
           t.day <= DaysInMonth(t.year, t.month) && t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 &&
           t.second >= 0 && t.second <= 59;
}

int64_t CivilToUnix(const CivilTime& t) {
    return DaysFromCivil(t.year, unsigned(t.month), unsigned(t.day)) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

CivilTime UnixToCivil(int64_t s) {
    int64_t days = s >= 0 ? s / 86400 : -((-s + 86399) / 86400);
    int64_t rem = s - days * 86400;
    int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t y = int64_t(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    CivilTime t;
    t.year = int(y + (m <= 2));
    t.month = int(m);
    t.day = int(d);
    t.hour = int(rem / 3600);
    t.minute = int(rem % 3600 / 60);
    t.second = int(rem % 60);
    return t;
}

pst::FileTime UnixToFileTime(int64_t seconds) {
    // A FILETIME holds 1601 onwards; Outlook takes times up to the end of 9999.
    seconds = std::clamp<int64_t>(seconds, -11644473600LL, 253402300799LL);
    return pst::FileTime{uint64_t((seconds + 11644473600LL) * 10000000LL)};
}

int64_t FileTimeToUnix(const pst::FileTime& ft) { return int64_t(ft.value / 10000000ULL) - 11644473600LL; }

std::optional<ZimbraDateTime> ParseZimbraDateTime(const std::string& input) {
    std::string text = TrimSpaces(input);
    ZimbraDateTime dt;
    std::string digits;
    if (text.rfind("VALUE=DATE:", 0) == 0) {
        dt.kind = ZimbraDateTime::Kind::AllDay;
        digits = text.substr(11);
    } else if (text.rfind("TZID=", 0) == 0) {
        size_t colon = text.rfind(':');
        if (colon == std::string::npos || colon < 5) return std::nullopt;
        dt.kind = ZimbraDateTime::Kind::Zoned;
        dt.zone = text.substr(5, colon - 5);
        if (dt.zone.size() >= 2 && dt.zone.front() == '"' && dt.zone.back() == '"') dt.zone = dt.zone.substr(1, dt.zone.size() - 2);
        digits = text.substr(colon + 1);
    } else {
        digits = text;
    }
    if (!AllDigits(digits, 0, 8)) return std::nullopt;
    dt.local.year = Num(digits, 0, 4);
    dt.local.month = Num(digits, 4, 2);
    dt.local.day = Num(digits, 6, 2);
    if (digits.size() == 8) {
        if (dt.kind != ZimbraDateTime::Kind::Zoned) dt.kind = ZimbraDateTime::Kind::AllDay;
    } else {
        if (digits[8] != 'T' || !AllDigits(digits, 9, 4)) return std::nullopt;
        dt.local.hour = Num(digits, 9, 2);
        dt.local.minute = Num(digits, 11, 2);
        size_t rest = 13;
        if (AllDigits(digits, 13, 2)) {
            dt.local.second = Num(digits, 13, 2);
            rest = 15;
        }
        std::string tail = digits.substr(rest);
        if (tail == "Z") {
            if (dt.kind == ZimbraDateTime::Kind::AllDay) return std::nullopt;
            dt.kind = ZimbraDateTime::Kind::Utc;
        } else if (!tail.empty()) {
            return std::nullopt;
        }
        if (dt.kind == ZimbraDateTime::Kind::AllDay) dt.kind = ZimbraDateTime::Kind::Floating;  // "VALUE=DATE:" with a time
    }
    if (!IsValidCivil(dt.local)) return std::nullopt;
    return dt;
}

int64_t LocalToUnix(const CivilTime& t) {
    // mktime works on the process's local zone; outside the years it handles well,
    // the offset of the same day in 2000 stands in.
    CivilTime probe = t;
    int64_t shift = 0;
    if (t.year < 1902 || t.year > 2037) {
        probe.year = 2000 + (t.year % 4 == 0 ? 0 : 1);
        if (probe.month == 2 && probe.day == 29) probe.year = 2000;
        shift = CivilToUnix(t) - CivilToUnix(probe);
    }
    std::tm tm{};
    tm.tm_year = probe.year - 1900;
    tm.tm_mon = probe.month - 1;
    tm.tm_mday = probe.day;
    tm.tm_hour = probe.hour;
    tm.tm_min = probe.minute;
    tm.tm_sec = probe.second;
    tm.tm_isdst = -1;
    time_t v = mktime(&tm);
    if (v == time_t(-1)) return CivilToUnix(t);
    return int64_t(v) + shift;
}

namespace {

struct ZoneInfo {
    std::vector<int64_t> transitions;  // UTC seconds
    std::vector<uint8_t> typeIndex;    // per transition
    std::vector<int32_t> offsets;      // per type, seconds east of UTC
    std::vector<bool> isDst;
    int32_t OffsetAt(int64_t utc) const {
        if (offsets.empty()) return 0;
        if (transitions.empty() || utc < transitions.front()) {
            for (size_t k = 0; k < offsets.size(); ++k)
                if (!isDst[k]) return offsets[k];
            return offsets[0];
        }
        auto it = std::upper_bound(transitions.begin(), transitions.end(), utc);
        size_t idx = size_t(it - transitions.begin()) - 1;
        uint8_t type = typeIndex[idx];
        return type < offsets.size() ? offsets[type] : 0;
    }
};

uint32_t Be32(const std::string& s, size_t p) {
    return (uint32_t(uint8_t(s[p])) << 24) | (uint32_t(uint8_t(s[p + 1])) << 16) | (uint32_t(uint8_t(s[p + 2])) << 8) |
           uint32_t(uint8_t(s[p + 3]));
}

std::optional<ZoneInfo> LoadZone(const std::string& zone) {
    if (zone.empty() || zone.size() > 100 || zone[0] == '/' || zone.find("..") != std::string::npos) return std::nullopt;
    for (char c : zone)
        if (!(std::isalnum(uint8_t(c)) || c == '/' || c == '_' || c == '-' || c == '+')) return std::nullopt;
    std::string dir = "/usr/share/zoneinfo";
    if (const char* env = std::getenv("TZDIR"); env && *env) dir = env;
    std::string s;
    if (!ReadFileBytes(dir + "/" + zone, s)) return std::nullopt;
    if (s.size() < 44 || s.compare(0, 4, "TZif") != 0) return std::nullopt;
    auto parse = [&s](size_t at, int timeSize, ZoneInfo& zi, size_t& end) -> bool {
        if (at + 44 > s.size() || s.compare(at, 4, "TZif") != 0) return false;
        uint32_t isutcnt = Be32(s, at + 20), isstdcnt = Be32(s, at + 24), leapcnt = Be32(s, at + 28);
        uint32_t timecnt = Be32(s, at + 32), typecnt = Be32(s, at + 36), charcnt = Be32(s, at + 40);
        size_t p = at + 44;
        size_t need = size_t(timecnt) * size_t(timeSize) + timecnt + size_t(typecnt) * 6 + charcnt +
                      size_t(leapcnt) * size_t(timeSize + 4) + isstdcnt + isutcnt;
        if (p + need > s.size() || typecnt == 0) return false;
        for (uint32_t k = 0; k < timecnt; ++k) {
            int64_t v = timeSize == 8 ? int64_t((uint64_t(Be32(s, p)) << 32) | Be32(s, p + 4)) : int64_t(int32_t(Be32(s, p)));
            zi.transitions.push_back(v);
            p += size_t(timeSize);
        }
        for (uint32_t k = 0; k < timecnt; ++k) zi.typeIndex.push_back(uint8_t(s[p++]));
        for (uint32_t k = 0; k < typecnt; ++k) {
            zi.offsets.push_back(int32_t(Be32(s, p)));
            zi.isDst.push_back(s[p + 4] != 0);
            p += 6;
        }
        end = at + 44 + need;
        return true;
    };
    ZoneInfo v1;
    size_t end = 0;
    if (!parse(0, 4, v1, end)) return std::nullopt;
    if (s[4] >= '2') {
        ZoneInfo v2;
        size_t end2 = 0;
        if (parse(end, 8, v2, end2)) return v2;
    }
    return v1;
}

}  // namespace

std::optional<int64_t> ZoneToUnix(const std::string& zone, const CivilTime& t) {
    static std::mutex mutex;
    static std::map<std::string, std::optional<ZoneInfo>> cache;
    std::optional<ZoneInfo> zi;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = cache.find(zone);
        if (it == cache.end()) it = cache.emplace(zone, LoadZone(zone)).first;
        zi = it->second;
    }
    if (!zi) return std::nullopt;
    // Beyond the table, the rules of 28 years earlier stand in (same weekdays).
    CivilTime probe = t;
    int64_t shift = 0;
    if (!zi->transitions.empty()) {
        int lastYear = UnixToCivil(zi->transitions.back()).year;
        while (probe.year > lastYear && probe.year - 28 >= 1902) probe.year -= 28;
        if (probe.month == 2 && probe.day == 29 && DaysInMonth(probe.year, 2) == 28) probe = t;
        shift = CivilToUnix(t) - CivilToUnix(probe);
    }
    int64_t wall = CivilToUnix(probe);
    int64_t guess = wall - zi->OffsetAt(wall);
    int64_t utc = wall - zi->OffsetAt(guess);
    if (wall - zi->OffsetAt(utc) != utc) utc = guess;  // a wall time in a gap
    return utc + shift;
}

int64_t ZimbraToUnix(const ZimbraDateTime& t) {
    switch (t.kind) {
    case ZimbraDateTime::Kind::Utc: return CivilToUnix(t.local);
    case ZimbraDateTime::Kind::Zoned:
        if (auto v = ZoneToUnix(t.zone, t.local)) return *v;
        return LocalToUnix(t.local);
    case ZimbraDateTime::Kind::Floating:
    case ZimbraDateTime::Kind::AllDay: return LocalToUnix(t.local);
    }
    return LocalToUnix(t.local);
}

std::optional<CivilTime> ParseBirthday(const std::string& input) {
    std::string text = TrimSpaces(input);
    CivilTime t;
    if (text.size() == 10 && AllDigits(text, 0, 4) && text[4] == '-' && AllDigits(text, 5, 2) && text[7] == '-' &&
        AllDigits(text, 8, 2)) {
        t.year = Num(text, 0, 4);
        t.month = Num(text, 5, 2);
        t.day = Num(text, 8, 2);
    } else if (text.size() == 7 && text[0] == '-' && text[1] == '-' && AllDigits(text, 2, 2) && text[4] == '-' &&
               AllDigits(text, 5, 2)) {
        t.year = 1604;  // a leap year Outlook accepts, standing for "no year"
        t.month = Num(text, 2, 2);
        t.day = Num(text, 5, 2);
    } else if (text.size() == 8 && AllDigits(text, 0, 8)) {
        t.year = Num(text, 0, 4);
        t.month = Num(text, 4, 2);
        t.day = Num(text, 6, 2);
    } else {
        return std::nullopt;
    }
    if (!IsValidCivil(t)) return std::nullopt;
    return t;
}

}  // namespace items
