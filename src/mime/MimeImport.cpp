#include "mime/MimeImport.h"

#include "files/Ascii.h"
#include "files/FileApi.h"
#include "files/MemoryFiles.h"

#include <fcntl.h>
#include <gmime/gmime.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "calendar/RecurrenceLayout.h"
#include "mime/Charset.h"
#include "mime/DeepStackThread.h"
#include "mime/GMimeInit.h"
#include "mime/HtmlText.h"
#include "mime/Invitation.h"
#include "mime/MimeLimits.h"
#include "mime/PartContent.h"
#include "mime/PartCount.h"
#include "pst/messaging/EntryIds.h"
#include "store/RecordedItem.h"

namespace mime {

namespace tags = pst::tags;

namespace {

// --- small helpers ------------------------------------------------------------

struct GFreeDeleter {
    void operator()(void* p) const { g_free(p); }
};
using GString_ = std::unique_ptr<char, GFreeDeleter>;

template <class T>
struct GObjPtr {
    T* p = nullptr;
    GObjPtr() = default;
    explicit GObjPtr(T* ptr) : p(ptr) {}
    GObjPtr(const GObjPtr&) = delete;
    GObjPtr& operator=(const GObjPtr&) = delete;
    GObjPtr(GObjPtr&& o) noexcept : p(o.p) { o.p = nullptr; }
    GObjPtr& operator=(GObjPtr&& o) noexcept {
        std::swap(p, o.p);
        return *this;
    }
    ~GObjPtr() {
        if (p) g_object_unref(p);
    }
    T* get() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

std::string Trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) --e;
    return std::string(s.substr(b, e - b));
}

// Cuts UTF-8 text at `max` bytes without splitting a character.
std::string CutUtf8(std::string s, size_t max) {
    if (s.size() <= max) return s;
    size_t n = max;
    while (n > 0 && (uint8_t(s[n]) & 0xC0) == 0x80) --n;
    s.resize(n);
    return s;
}

// Removes control characters that have no place in a one-line property.
std::string OneLine(std::string s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        auto u = uint8_t(c);
        if (u == '\r' || u == '\n' || u == '\t') {
            if (!out.empty() && out.back() != ' ') out += ' ';
        } else if (u < 0x20 || u == 0x7F) {
            continue;
        } else {
            out += c;
        }
    }
    return Trim(out);
}

pst::FileTime FromUnix(int64_t secs) {
    return pst::FileTime{uint64_t((secs + 11644473600LL) * 10000000LL)};
}

// Unix seconds of a date header, or nothing when it is missing or absurd.
std::optional<int64_t> ParseDate(const std::string& text) {
    std::string t = Trim(text);
    if (t.empty() || t.size() > 512) return std::nullopt;
    GDateTime* dt = g_mime_utils_header_decode_date(t.c_str());
    if (!dt) return std::nullopt;
    int year = g_date_time_get_year(dt);
    int64_t secs = g_date_time_to_unix(dt);
    g_date_time_unref(dt);
    // GMime answers the epoch for text it cannot read; real mail is newer.
    if (year < 1971 || year > 2200 || secs <= 0) return std::nullopt;
    return secs;
}

const char* kMimeExtensions[][2] = {
    {"text/plain", ".txt"},          {"text/html", ".htm"},
    {"text/calendar", ".ics"},       {"text/x-vcard", ".vcf"},
    {"text/vcard", ".vcf"},          {"text/csv", ".csv"},
    {"text/xml", ".xml"},            {"text/enriched", ".txt"},
    {"text/richtext", ".rtx"},       {"text/rfc822-headers", ".txt"},
    {"image/png", ".png"},           {"image/jpeg", ".jpg"},
    {"image/jpg", ".jpg"},           {"image/pjpeg", ".jpg"},
    {"image/gif", ".gif"},           {"image/bmp", ".bmp"},
    {"image/tiff", ".tif"},          {"image/svg+xml", ".svg"},
    {"image/webp", ".webp"},         {"application/pdf", ".pdf"},
    {"application/zip", ".zip"},     {"application/msword", ".doc"},
    {"application/rtf", ".rtf"},     {"application/xml", ".xml"},
    {"application/json", ".json"},   {"application/pgp-signature", ".asc"},
    {"application/pgp-encrypted", ".pgp"}, {"application/pgp-keys", ".asc"},
    {"application/pkcs7-signature", ".p7s"}, {"application/x-pkcs7-signature", ".p7s"},
    {"application/pkcs7-mime", ".p7m"}, {"application/x-pkcs7-mime", ".p7m"},
    {"application/ics", ".ics"},     {"message/rfc822", ".eml"},
    {"message/global", ".eml"},      {"message/delivery-status", ".txt"},
    {"message/disposition-notification", ".txt"}, {"message/feedback-report", ".txt"},
    {"message/partial", ".eml"},     {"message/external-body", ".txt"},
    {"audio/mpeg", ".mp3"},          {"audio/wav", ".wav"},
    {"video/mp4", ".mp4"},           {"application/vnd.ms-excel", ".xls"},
};

std::string ExtensionForType(const std::string& mimeType) {
    for (auto& e : kMimeExtensions)
        if (mimeType == e[0]) return e[1];
    if (mimeType.rfind("text/", 0) == 0) return ".txt";
    if (mimeType.rfind("multipart/", 0) == 0) return ".eml";
    return ".dat";
}

// A file name as a user can keep it: no folders, no control characters.
std::string CleanFileName(std::string name) {
    name = OneLine(std::move(name));
    auto slash = name.find_last_of("/\\");
    if (slash != std::string::npos) name = name.substr(slash + 1);
    std::string out;
    for (char c : name) {
        if (c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' || c == '|') out += '_';
        else out += c;
    }
    out = Trim(out);
    while (!out.empty() && out.back() == '.') out.pop_back();
    return CutUtf8(out, 255 * 3);
}

std::string ExtensionOf(const std::string& name) {
    auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || name.size() - dot > 16) return {};
    std::string ext = name.substr(dot);
    if (ext.find(' ') != std::string::npos) return {};
    return ext;
}

// 8.3 form of a long name: NAME~N.EXT, upper case ASCII.
std::string ShortName(const std::string& longName, int n) {
    std::string ext = ExtensionOf(longName);
    std::string stem = longName.substr(0, longName.size() - ext.size());
    auto clean = [](std::string_view s, size_t max) {
        std::string out;
        for (char c : s) {
            if (out.size() >= max) break;
            if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-') out += c;
            else if (c >= 'a' && c <= 'z') out += char(c - 'a' + 'A');
        }
        return out;
    };
    std::string s = clean(stem, 8);
    std::string e = ext.empty() ? "" : clean(ext.substr(1), 3);
    bool fits = s.size() == stem.size() && stem.size() <= 8 && (ext.empty() || e.size() == ext.size() - 1);
    if (!fits || s.empty()) {
        std::string num = "~" + std::to_string(n < 1 ? 1 : n);
        if (s.empty()) s = "ATT";
        s = s.substr(0, 8 - std::min<size_t>(num.size(), 7)) + num;
    }
    return e.empty() ? s : s + "." + e;
}

bool IsSmimeType(const std::string& mimeType) {
    return mimeType == "application/pkcs7-mime" || mimeType == "application/x-pkcs7-mime";
}

// "Content-Type: text" (no subtype): GMime makes it application/octet-stream,
// but text with no subtype is plain text (RFC 2045 5.2).
bool IsBareTextType(GMimeObject* obj) {
    const char* raw = g_mime_object_get_header(obj, "Content-Type");
    if (!raw) return false;
    std::string type = files::LowerAscii(Trim(std::string_view(raw).substr(0, strcspn(raw, ";("))));
    return type == "text";
}

std::string MimeTypeOf(GMimeObject* obj) {
    GMimeContentType* ct = g_mime_object_get_content_type(obj);
    if (!ct) return "application/octet-stream";
    GString_ t(g_mime_content_type_get_mime_type(ct));
    // A damaged header may hold 8-bit bytes in the type; it becomes an attachment's tag.
    std::string type = t ? SanitizeUtf8(files::LowerAscii(t.get())) : "application/octet-stream";
    if (type == "application/octet-stream" && IsBareTextType(obj)) return "text/plain";
    return type;
}

// Reads a whole GMime stream into memory, at most `max` bytes (the rest is
// dropped); returns false when it was longer.
bool ReadAll(GMimeStream* s, std::string& out, size_t max) {
    out.clear();
    char buf[65536];
    while (true) {
        ssize_t n = g_mime_stream_read(s, buf, sizeof buf);
        if (n <= 0) break;
        if (out.size() + size_t(n) > max) {
            out.append(buf, max - out.size());
            return false;
        }
        out.append(buf, size_t(n));
    }
    return true;
}

// A pull stream over the decoded content of a leaf part.
std::shared_ptr<GMimeStream> DecodedStream(GMimePart* part) {
    GMimeDataWrapper* dw = g_mime_part_get_content(part);
    if (!dw) return {};
    GMimeStream* src = g_mime_data_wrapper_get_stream(dw);
    if (!src) return {};
    g_mime_stream_reset(src);
    GMimeStream* filtered = g_mime_stream_filter_new(src);
    GMimeContentEncoding enc = g_mime_data_wrapper_get_encoding(dw);
    if (enc == GMIME_CONTENT_ENCODING_BASE64 || enc == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE ||
        enc == GMIME_CONTENT_ENCODING_UUENCODE) {
        GMimeFilter* f = g_mime_filter_basic_new(enc, FALSE);
        g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered), f);
        g_object_unref(f);
    }
    return std::shared_ptr<GMimeStream>(filtered, [](GMimeStream* s) { g_object_unref(s); });
}

// A stream over a serialized MIME object (message or multipart), in memory.
std::shared_ptr<GMimeStream> SerializedStream(GMimeObject* obj) {
    GMimeStream* mem = g_mime_stream_mem_new();
    g_mime_object_write_to_stream(obj, nullptr, mem);
    g_mime_stream_reset(mem);
    return std::shared_ptr<GMimeStream>(mem, [](GMimeStream* s) { g_object_unref(s); });
}

store::DataSource SourceOf(std::shared_ptr<GMimeStream> stream, std::shared_ptr<uint64_t> counter) {
    return [stream = std::move(stream), counter = std::move(counter)](uint8_t* buffer, size_t capacity) -> size_t {
        if (!stream) return 0;
        size_t got = 0;
        // GMime filter streams may return short reads; fill what we can.
        while (got < capacity) {
            ssize_t n = g_mime_stream_read(stream.get(), reinterpret_cast<char*>(buffer) + got, capacity - got);
            if (n <= 0) break;
            got += size_t(n);
        }
        if (counter) *counter += got;
        return got;
    };
}

// Counts what `inner` hands on; an empty source is an empty value.
store::DataSource Counted(store::DataSource inner, std::shared_ptr<uint64_t> counter) {
    if (!inner) return [](uint8_t*, size_t) { return size_t(0); };
    return [inner = std::move(inner), counter = std::move(counter)](uint8_t* buffer, size_t capacity) {
        const size_t n = inner(buffer, capacity);
        *counter += n;
        return n;
    };
}

// 7bit and 8bit content holds CR only in CR LF pairs (RFC 2045 2.7, 2.8), so
// a CR that ends it is the first half of the line break before the boundary,
// which GMime leaves behind when the file ends right after the last boundary.
store::DataSource WithoutTrailingCr(store::DataSource inner) {
    auto held = std::make_shared<bool>(false);  // a CR read last, not yet handed on
    return [inner = std::move(inner), held](uint8_t* buffer, size_t capacity) -> size_t {
        if (capacity < 2) return inner(buffer, capacity);
        for (;;) {
            size_t offset = *held ? 1 : 0;
            size_t n = inner(buffer + offset, capacity - offset);
            if (n == 0) return 0;  // the end: a held CR is dropped
            if (*held) buffer[0] = '\r';
            size_t got = offset + n;
            *held = buffer[got - 1] == '\r';
            if (*held) --got;
            if (got > 0) return got;
        }
    };
}

struct Mailbox {
    std::string name;
    std::string address;
};

std::string DisplayOf(const Mailbox& m) { return m.name.empty() ? m.address : m.name; }

// --- header reading -------------------------------------------------------------

class Headers {
public:
    // `withContentFields`: the list is a top part's, holding the message's fields
    // and its own Content- ones, which are no message field.
    Headers(GMimeObject* obj, GMimeParserOptions* opts, std::string hint, bool withContentFields = false)
        : list_(g_mime_object_get_header_list(obj)), opts_(opts), hint_(std::move(hint)),
          withContentFields_(withContentFields) {}

    // Raw value of the first header of that name ("" when absent), cut to the limit.
    std::string Raw(const char* name) const {
        if (!list_) return {};
        GMimeHeader* h = g_mime_header_list_get_header(list_, name);
        return h ? RawOf(h) : std::string();
    }
    std::vector<std::string> AllRaw(const char* name) const {
        std::vector<std::string> out;
        if (!list_) return out;
        int n = g_mime_header_list_get_count(list_);
        for (int i = 0; i < n; ++i) {
            GMimeHeader* h = g_mime_header_list_get_header_at(list_, i);
            const char* hn = g_mime_header_get_name(h);
            if (hn && g_ascii_strcasecmp(hn, name) == 0) out.push_back(RawOf(h));
        }
        return out;
    }
    bool Has(const char* name) const { return list_ && g_mime_header_list_contains(list_, name); }

    // Raw bytes made valid UTF-8: undeclared 8-bit text is read in its likely charset.
    std::string Utf8(std::string raw) const {
        if (IsAscii(raw) || IsValidUtf8(raw)) return raw;
        return DecodeText(raw, "", hint_);
    }
    std::string Unfolded(const std::string& raw) const {
        std::string u = Utf8(raw);
        GString_ unf(g_mime_utils_header_unfold(u.c_str()));
        return unf ? Trim(unf.get()) : Trim(u);
    }
    // Unstructured text: encoded words decoded.
    std::string Text(const char* name) const {
        std::string raw = Raw(name);
        if (raw.empty()) return {};
        return OneLine(SanitizeUtf8(DecodeHeaderWords(Unfolded(raw), hint_)));
    }
    // The addresses of every header of that name. `left`, when given, gets how
    // many were left out: those past kMaxRecipients, and those in what a header
    // holds past kMaxAddressHeaderBytes (never parsed: counted by their "@").
    std::vector<Mailbox> Addresses(const char* name, size_t* left = nullptr) const {
        std::vector<Mailbox> out;
        size_t past = 0;
        if (!list_) return out;
        int n = g_mime_header_list_get_count(list_);
        for (int i = 0; i < n; ++i) {
            GMimeHeader* h = g_mime_header_list_get_header_at(list_, i);
            const char* hn = g_mime_header_get_name(h);
            const char* v = g_mime_header_get_raw_value(h);
            if (!hn || !v || g_ascii_strcasecmp(hn, name) != 0) continue;
            size_t len = strnlen(v, kMaxAddressHeaderBytes + 1);
            if (len > kMaxAddressHeaderBytes) {
                // Cut after the last whole address that fits.
                const char* comma = static_cast<const char*>(memrchr(v, ',', kMaxAddressHeaderBytes));
                len = comma ? size_t(comma - v) : 0;
                for (const char* p = v + len; *p; ++p) past += *p == '@';
            }
            std::string u = JoinEncodedWordRuns(Unfolded(std::string(v, len)), hint_);
            InternetAddressList* list = internet_address_list_parse(opts_, u.c_str());
            if (!list) continue;
            Flatten(list, out, 0, past);
            g_object_unref(list);
        }
        if (left) *left = past;
        return out;
    }

    // The header block as text, each field as it came, CRLF line ends.
    std::string Block() const {
        std::string out;
        if (!list_) return out;
        int n = g_mime_header_list_get_count(list_);
        for (int i = 0; i < n && out.size() < kMaxTransportHeaders; ++i) {
            GMimeHeader* h = g_mime_header_list_get_header_at(list_, i);
            if (withContentFields_ && g_ascii_strncasecmp(g_mime_header_get_name(h), "Content-", 8) == 0) continue;
            const char* rn = g_mime_header_get_raw_name(h);
            std::string line = rn ? SanitizeUtf8(rn) : "";  // a damaged name may hold 8-bit bytes
            line += ":";
            line += Utf8(RawOf(h));
            if (line.empty() || line.back() != '\n') line += '\n';
            out += ToCrlf(line);
        }
        return CutUtf8(std::move(out), kMaxTransportHeaders);
    }

private:
    static std::string RawOf(GMimeHeader* h) {
        const char* v = g_mime_header_get_raw_value(h);
        if (!v) return {};
        size_t len = strnlen(v, kMaxHeaderBytes + 1);
        return std::string(v, std::min(len, kMaxHeaderBytes));
    }
    void Flatten(InternetAddressList* list, std::vector<Mailbox>& out, int depth, size_t& past) const {
        int n = internet_address_list_length(list);
        for (int i = 0; i < n; ++i) {
            InternetAddress* ia = internet_address_list_get_address(list, i);
            if (INTERNET_ADDRESS_IS_GROUP(ia)) {
                if (depth < 4) Flatten(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(ia)), out, depth + 1, past);
                continue;
            }
            if (!INTERNET_ADDRESS_IS_MAILBOX(ia)) continue;
            // Past the limit only counted, so the log can say how many were left out.
            if (out.size() >= kMaxRecipients) {
                ++past;
                continue;
            }
            Mailbox m;
            const char* nm = internet_address_get_name(ia);
            if (nm) m.name = CutUtf8(OneLine(SanitizeUtf8(nm)), 1024);
            // Only a domain in another script needs the international-domain form;
            // working it out for plain ASCII costs more than the rest of the address.
            const char* ad = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(ia));
            if (ad && !IsAscii(ad)) {
                const char* idn = internet_address_mailbox_get_idn_addr(INTERNET_ADDRESS_MAILBOX(ia));
                if (idn && *idn) ad = idn;
            }
            if (ad) m.address = CutUtf8(OneLine(SanitizeUtf8(ad)), 1024);
            // A name that only repeats the address in quotes says nothing more.
            std::string bare = m.name;
            if (bare.size() >= 2 && (bare.front() == '\'' || bare.front() == '"') && bare.back() == bare.front())
                bare = bare.substr(1, bare.size() - 2);
            if (g_ascii_strcasecmp(bare.c_str(), m.address.c_str()) == 0) m.name.clear();
            if (m.address.empty() && m.name.empty()) continue;
            out.push_back(std::move(m));
        }
    }

    GMimeHeaderList* list_;
    GMimeParserOptions* opts_;
    std::string hint_;
    bool withContentFields_;
};

// --- the importer -----------------------------------------------------------------

struct Planned {
    GMimeObject* obj;       // borrowed from the message tree
    bool relatedInline;     // a non-root part of multipart/related
    std::string fallbackName;  // for text that was too large to be a body
};

class Importer {
public:
    Importer(GMimeParserOptions* opts, int embedDepth, int64_t fallbackTime)
        : opts_(opts), embedDepth_(embedDepth), fallbackTime_(fallbackTime) {}

    void Fill(store::Item& item, GMimeMessage* msg) {
        Fill(item, GMIME_OBJECT(msg), g_mime_message_get_mime_part(msg), false);
    }
    // A message parsed as its top part, whose header list holds the message's fields.
    void FillFromTopPart(store::Item& item, GMimeObject* top) { Fill(item, top, top, true); }
    const std::vector<std::string>& Omitted() const { return omitted_; }
    const std::vector<std::string>& Notes() const { return notes_; }

private:
    // body collection
    void Walk(GMimeObject* obj, int depth);
    void WalkAlternative(GMimeMultipart* mp, int depth);
    void WalkRelated(GMimeMultipart* mp, int depth);
    void Leaf(GMimePart* part, int depth);
    bool TextOf(GMimePart* part, std::string& utf8, std::string& rawBytes, std::string& usedCharset);
    void AddPlain(const std::string& text);
    void AddHtml(const std::string& utf8, const std::string& raw, const std::string& charset);
    void Plan(GMimeObject* obj, bool relatedInline, std::string fallbackName = {}) {
        planned_.push_back({obj, relatedInline, std::move(fallbackName)});
    }

    void Fill(store::Item& item, GMimeObject* fields, GMimeObject* top, bool topHoldsFields);
    void WriteHeaders(store::Item& item, const Headers& h);
    void WriteBodies(store::Item& item);
    void WriteAttachment(store::Item& item, const Planned& p, int index);
    void WriteSmime(store::Item& item, GMimeObject* top, bool multipartSigned);
    std::string FindHint(GMimeObject* top);

    GMimeParserOptions* opts_;
    int embedDepth_;
    int64_t fallbackTime_;
    std::string hint_;
    std::vector<std::string> omitted_;
    std::vector<std::string> notes_;

    bool hasPlain_ = false, hasHtml_ = false;
    std::string plain_;    // UTF-8, LF or CRLF
    std::string html_;     // UTF-8
    std::string htmlRaw_;  // the only HTML part's own bytes, when it has a code page
    uint32_t htmlCp_ = 0;
    int htmlParts_ = 0;
    std::vector<Planned> planned_;
    int unnamed_ = 0;
};

std::string Importer::FindHint(GMimeObject* top) {
    // The charset the message declares for its text: the best guess for raw
    // 8-bit header bytes written by the same client.
    std::vector<GMimeObject*> stack{top};
    int visited = 0;
    while (!stack.empty() && visited++ < 200) {
        GMimeObject* o = stack.back();
        stack.pop_back();
        if (GMIME_IS_MULTIPART(o)) {
            GMimeMultipart* mp = GMIME_MULTIPART(o);
            int n = g_mime_multipart_get_count(mp);
            for (int i = n - 1; i >= 0; --i) stack.push_back(g_mime_multipart_get_part(mp, i));
        } else if (GMIME_IS_PART(o)) {
            const char* cs = g_mime_object_get_content_type_parameter(o, "charset");
            if (cs) {
                std::string l = files::LowerAscii(Trim(cs));
                if (!l.empty() && l != "us-ascii" && l != "ascii") {
                    std::string n = IconvName(l);
                    if (!n.empty()) return n;
                }
            }
        }
    }
    return {};
}

bool Importer::TextOf(GMimePart* part, std::string& utf8, std::string& raw, std::string& used) {
    auto s = DecodedStream(part);
    raw.clear();
    if (s && !ReadAll(s.get(), raw, kMaxBodyBytes)) return false;
    const char* cs = g_mime_object_get_content_type_parameter(GMIME_OBJECT(part), "charset");
    utf8 = DecodeText(raw, cs ? cs : "", hint_, &used);
    // flowed text shows as the paragraphs the sender wrote
    const char* format = g_mime_object_get_content_type_parameter(GMIME_OBJECT(part), "format");
    if (format && g_ascii_strcasecmp(format, "flowed") == 0 && MimeTypeOf(GMIME_OBJECT(part)) == "text/plain") {
        const char* delsp = g_mime_object_get_content_type_parameter(GMIME_OBJECT(part), "delsp");
        utf8 = UnflowText(utf8, delsp && g_ascii_strcasecmp(delsp, "yes") == 0);
    }
    return true;
}

void Importer::AddPlain(const std::string& text) {
    if (!hasPlain_ && !hasHtml_) {
        plain_ = text;
        hasPlain_ = true;
        return;
    }
    if (hasPlain_) {
        plain_ += "\n\n";
        plain_ += text;
    }
    if (hasHtml_) {
        html_ += "<pre>" + HtmlEscape(text) + "</pre>";
        htmlRaw_.clear();
        htmlCp_ = 0;
    }
}

void Importer::AddHtml(const std::string& utf8, const std::string& raw, const std::string& charset) {
    if (!hasHtml_ && !hasPlain_) {
        html_ = utf8;
        hasHtml_ = true;
        htmlParts_ = 1;
        uint32_t cp = CodePageOf(charset);
        // Keep the part's own bytes when they decode cleanly in a charset Outlook
        // knows, so that a <meta> charset in the document still holds.
        size_t errs = 1;
        std::string check;
        if (cp && cp != 65001 && ConvertToUtf8(raw, charset, check, &errs) && errs == 0) {
            htmlRaw_ = raw;
            htmlCp_ = cp;
        }
        return;
    }
    if (hasHtml_) {
        html_ += utf8;
        ++htmlParts_;
        htmlRaw_.clear();
        htmlCp_ = 0;
        if (hasPlain_) plain_ += "\n\n" + HtmlToText(utf8);
        return;
    }
    // A plain body already (multipart/mixed with text, then HTML): the message
    // gets an HTML body holding both, and the text of both as its plain body.
    html_ = "<pre>" + HtmlEscape(plain_) + "</pre>" + utf8;
    hasHtml_ = true;
    htmlParts_ = 2;
    plain_ += "\n\n" + HtmlToText(utf8);
}

void Importer::Leaf(GMimePart* part, int /*depth*/) {
    GMimeObject* obj = GMIME_OBJECT(part);
    std::string type = MimeTypeOf(obj);
    const char* disp = g_mime_object_get_disposition(obj);
    bool attachmentDisp = disp && g_ascii_strcasecmp(disp, "attachment") == 0;
    const char* fn = g_mime_part_get_filename(part);
    bool named = fn && *fn;
    // Text shows as the body unless it is an attachment; a named text part
    // marked inline opens the body when it is the first text.
    bool inlineDisp = disp && g_ascii_strcasecmp(disp, "inline") == 0;
    bool bodyless = !hasPlain_ && !hasHtml_;
    if ((type == "text/plain" || type == "text/html") && !attachmentDisp && (!named || (inlineDisp && bodyless))) {
        std::string utf8, raw, used;
        if (!TextOf(part, utf8, raw, used)) {
            Plan(obj, false, type == "text/html" ? "body.htm" : "body.txt");
            return;
        }
        if (type == "text/plain") AddPlain(utf8);
        else AddHtml(utf8, raw, used);
        return;
    }
    Plan(obj, false);
}

void Importer::Walk(GMimeObject* obj, int depth) {
    if (!obj) return;
    if (depth > kMaxMimeDepth) {
        Plan(obj, false);
        return;
    }
    if (GMIME_IS_MESSAGE_PART(obj)) {
        Plan(obj, false);
        return;
    }
    if (GMIME_IS_MULTIPART(obj)) {
        GMimeMultipart* mp = GMIME_MULTIPART(obj);
        int n = g_mime_multipart_get_count(mp);
        if (n == 0) {
            // The boundary never appeared: what the part holds is its preamble.
            const char* pro = g_mime_multipart_get_prologue(mp);
            if (pro && *pro) AddPlain(DecodeText(pro, "", hint_));
            return;
        }
        std::string sub = files::LowerAscii(g_mime_content_type_get_media_subtype(g_mime_object_get_content_type(obj)));
        if (sub == "alternative") return WalkAlternative(mp, depth);
        if (sub == "related") return WalkRelated(mp, depth);
        for (int i = 0; i < n; ++i) Walk(g_mime_multipart_get_part(mp, i), depth + 1);
        return;
    }
    if (GMIME_IS_PART(obj)) return Leaf(GMIME_PART(obj), depth);
    Plan(obj, false);
}

namespace {
bool IsRendering(const std::string& type) {
    return type == "text/plain" || type == "text/html" || type == "text/enriched" || type == "text/richtext" ||
           type == "text/x-watch-html" || type == "text/watch-html" || type == "text/x-amp-html" ||
           type.rfind("multipart/", 0) == 0;
}
bool IsAttachmentLeaf(GMimeObject* o) {
    if (!GMIME_IS_PART(o)) return false;
    const char* disp = g_mime_object_get_disposition(o);
    const char* fn = g_mime_part_get_filename(GMIME_PART(o));
    return (disp && g_ascii_strcasecmp(disp, "attachment") == 0) || (fn && *fn);
}
}  // namespace

void Importer::WalkAlternative(GMimeMultipart* mp, int depth) {
    int n = g_mime_multipart_get_count(mp);
    int plainIdx = -1, richIdx = -1;
    for (int i = 0; i < n; ++i) {
        GMimeObject* c = g_mime_multipart_get_part(mp, i);
        std::string t = MimeTypeOf(c);
        if (IsAttachmentLeaf(c)) continue;
        if (t == "text/plain" && GMIME_IS_PART(c)) plainIdx = i;
        else if (t == "text/html" || GMIME_IS_MULTIPART(c)) richIdx = i;
    }
    bool plainBefore = hasPlain_;
    size_t plainLen = plain_.size();
    if (richIdx >= 0) Walk(g_mime_multipart_get_part(mp, richIdx), depth + 1);
    bool richGavePlain = hasPlain_ != plainBefore || plain_.size() != plainLen;
    if (plainIdx >= 0 && !richGavePlain) {
        GMimePart* p = GMIME_PART(g_mime_multipart_get_part(mp, plainIdx));
        std::string utf8, raw, used;
        if (!TextOf(p, utf8, raw, used)) {
            Plan(GMIME_OBJECT(p), false, "body.txt");
        } else if (richIdx < 0) {
            AddPlain(utf8);
        } else if (hasPlain_) {
            plain_ += "\n\n" + utf8;
        } else {
            plain_ = utf8;
            hasPlain_ = true;
        }
    }
    // Other alternatives are renderings of the same text, except what a mail
    // client would offer on its own (an invitation, a file).
    for (int i = 0; i < n; ++i) {
        if (i == plainIdx || i == richIdx) continue;
        GMimeObject* c = g_mime_multipart_get_part(mp, i);
        if (IsAttachmentLeaf(c) || !IsRendering(MimeTypeOf(c))) {
            if (GMIME_IS_MULTIPART(c)) Walk(c, depth + 1);
            else Plan(c, false);
        }
    }
}

void Importer::WalkRelated(GMimeMultipart* mp, int depth) {
    int n = g_mime_multipart_get_count(mp);
    GMimeObject* root = nullptr;
    const char* start = g_mime_object_get_content_type_parameter(GMIME_OBJECT(mp), "start");
    if (start && *start) {
        std::string id = Trim(start);
        if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
        for (int i = 0; i < n && !root; ++i) {
            GMimeObject* c = g_mime_multipart_get_part(mp, i);
            const char* cid = g_mime_object_get_content_id(c);
            if (cid && id == cid) root = c;
        }
    }
    if (!root) root = g_mime_multipart_get_part(mp, 0);
    Walk(root, depth + 1);
    for (int i = 0; i < n; ++i) {
        GMimeObject* c = g_mime_multipart_get_part(mp, i);
        if (c == root) continue;
        if (GMIME_IS_MULTIPART(c)) Walk(c, depth + 1);
        else Plan(c, true);
    }
}

// --- writing ----------------------------------------------------------------------

void SetText(store::PropertyBag& bag, uint32_t tag, const std::string& v) {
    if (!v.empty()) bag.SetProp(tag, v);
}

void SetAddressProps(store::PropertyBag& bag, const Mailbox& m, uint32_t nameTag, uint32_t addrTag, uint32_t typeTag,
                     uint32_t entryTag, uint32_t searchTag, uint32_t smtpTag) {
    std::string display = DisplayOf(m);
    SetText(bag, nameTag, display);
    if (!m.address.empty()) {
        bag.SetProp(addrTag, m.address);
        bag.SetProp(typeTag, std::string("SMTP"));
        bag.SetProp(searchTag, pst::AddressSearchKey(m.address));
        if (smtpTag) bag.SetProp(smtpTag, m.address);
    }
    bag.SetProp(entryTag, pst::OneOffEntryId(display, m.address));
}

std::string JoinDisplay(const std::vector<Mailbox>& list) {
    std::string out;
    for (auto& m : list) {
        if (!out.empty()) out += "; ";
        out += DisplayOf(m);
    }
    return CutUtf8(std::move(out), kMaxTextProp);
}

// Splits "RE: topic" into the prefix and the normalized subject: a prefix is one
// to three letters followed by ": " ([MS-OXCMSG] 2.2.1.9).
void SplitSubject(const std::string& subject, std::string& prefix, std::string& normalized) {
    prefix.clear();
    normalized = subject;
    auto colon = subject.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= subject.size() || subject[colon + 1] != ' ')
        return;
    // count characters (not bytes) and require letters
    size_t chars = 0;
    for (size_t i = 0; i < colon; ++i) {
        auto c = uint8_t(subject[i]);
        if ((c & 0xC0) != 0x80) ++chars;
        if (c < 0x80 && !((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return;
    }
    if (chars < 1 || chars > 3) return;
    prefix = subject.substr(0, colon + 2);
    normalized = Trim(subject.substr(colon + 2));
}

std::string Base64Decode(const std::string& text) {
    gsize len = 0;
    std::string t = Trim(text);
    guchar* d = g_base64_decode(t.c_str(), &len);
    std::string out(reinterpret_cast<char*>(d), len);
    g_free(d);
    return out;
}

void Importer::WriteHeaders(store::Item& item, const Headers& h) {
    // Subject
    std::string subject = h.Text("Subject");  // bounded by the header limit
    std::string prefix, normalized;
    SplitSubject(subject, prefix, normalized);
    item.SetProp(tags::PR_SUBJECT, subject);
    item.SetProp(tags::PR_SUBJECT_PREFIX, prefix);
    item.SetProp(tags::PR_NORMALIZED_SUBJECT, normalized);
    item.SetProp(tags::PR_CONVERSATION_TOPIC, normalized);
    std::string threadIndex = h.Raw("Thread-Index");
    if (!threadIndex.empty()) {
        std::string bin = Base64Decode(h.Unfolded(threadIndex));
        if (bin.size() >= 22) item.SetProp(tags::PR_CONVERSATION_INDEX, pst::Binary(bin.begin(), bin.end()));
    }

    // Originator
    auto from = h.Addresses("From");
    auto sender = h.Addresses("Sender");
    std::optional<Mailbox> repr, snd;
    if (!from.empty()) repr = from.front();
    if (!sender.empty()) snd = sender.front();
    if (!repr) repr = snd;
    if (!snd) snd = repr;
    if (repr)
        SetAddressProps(item, *repr, tags::PR_SENT_REPRESENTING_NAME, tags::PR_SENT_REPRESENTING_EMAIL_ADDRESS,
                        tags::PR_SENT_REPRESENTING_ADDRTYPE, tags::PR_SENT_REPRESENTING_ENTRYID,
                        tags::PR_SENT_REPRESENTING_SEARCH_KEY, tags::PR_SENT_REPRESENTING_SMTP_ADDRESS);
    if (snd)
        SetAddressProps(item, *snd, tags::PR_SENDER_NAME, tags::PR_SENDER_EMAIL_ADDRESS, tags::PR_SENDER_ADDRTYPE,
                        tags::PR_SENDER_ENTRYID, tags::PR_SENDER_SEARCH_KEY, tags::PR_SENDER_SMTP_ADDRESS);

    auto replyTo = h.Addresses("Reply-To");
    if (!replyTo.empty()) {
        std::vector<pst::Binary> ids;
        for (auto& m : replyTo) ids.push_back(pst::OneOffEntryId(DisplayOf(m), m.address));
        item.SetProp(tags::PR_REPLY_RECIPIENT_NAMES, JoinDisplay(replyTo));
        item.SetProp(tags::PR_REPLY_RECIPIENT_ENTRIES, pst::FlatEntryList(ids));
    }

    // Recipients
    int32_t row = 0;
    const std::pair<const char*, int32_t> kinds[] = {{"To", 1}, {"Cc", 2}, {"Bcc", 3}};
    const uint32_t displayTags[] = {tags::PR_DISPLAY_TO, tags::PR_DISPLAY_CC, tags::PR_DISPLAY_BCC};
    for (int k = 0; k < 3; ++k) {
        size_t left = 0;
        auto list = h.Addresses(kinds[k].first, &left);
        if (left > 0)
            omitted_.push_back(std::to_string(left) + " of " + std::to_string(list.size() + left) + " " +
                               kinds[k].first + " recipients (at most " + std::to_string(kMaxRecipients) +
                               " of a kind are kept, from a header's first " +
                               std::to_string(kMaxAddressHeaderBytes >> 20) + " MB)");
        item.SetProp(displayTags[k], JoinDisplay(list));
        for (auto& m : list) {
            store::PropertyBag& r = item.AddRecipient();
            std::string display = DisplayOf(m);
            r.SetProp(tags::PR_RECIPIENT_TYPE, kinds[k].second);
            r.SetProp(tags::PR_DISPLAY_NAME, display);
            r.SetProp(tags::PR_TRANSMITABLE_DISPLAY_NAME, display);
            r.SetProp(tags::PR_ADDRTYPE, std::string("SMTP"));
            r.SetProp(tags::PR_EMAIL_ADDRESS, m.address);
            r.SetProp(tags::PR_SMTP_ADDRESS, m.address);
            r.SetProp(tags::PR_ENTRYID, pst::OneOffEntryId(display, m.address));
            r.SetProp(tags::PR_SEARCH_KEY, pst::AddressSearchKey(m.address));
            r.SetProp(tags::PR_OBJECT_TYPE, int32_t(6));   // MAPI_MAILUSER
            r.SetProp(tags::PR_DISPLAY_TYPE, int32_t(0));  // DT_MAILUSER
            r.SetProp(tags::PR_ROWID, row++);
            r.SetProp(tags::PR_RECIPIENT_FLAGS, int32_t(1));  // recipSendable
            r.SetProp(tags::PR_RESPONSIBILITY, false);
            r.SetProp(tags::PR_SEND_RICH_INFO, false);
        }
    }

    // Times
    std::optional<int64_t> date = ParseDate(h.Unfolded(h.Raw("Date")));
    std::optional<int64_t> received;
    for (auto& raw : h.AllRaw("Received")) {
        std::string v = h.Unfolded(raw);
        auto semi = v.rfind(';');
        if (semi == std::string::npos) continue;
        auto t = ParseDate(v.substr(semi + 1));
        if (t && (!received || *t > *received)) received = t;
    }
    int64_t delivery = received ? *received : date ? *date : fallbackTime_;
    int64_t submit = date ? *date : delivery;
    item.SetProp(tags::PR_CLIENT_SUBMIT_TIME, FromUnix(submit));
    item.SetProp(tags::PR_MESSAGE_DELIVERY_TIME, FromUnix(delivery));
    item.SetProp(tags::PR_CREATION_TIME, FromUnix(delivery));
    item.SetProp(tags::PR_LAST_MODIFICATION_TIME, FromUnix(delivery));

    // Identity and threading
    auto ids = [&](const char* name) { return CutUtf8(OneLine(h.Unfolded(h.Raw(name))), kMaxTextProp); };
    SetText(item, tags::PR_INTERNET_MESSAGE_ID, ids("Message-ID"));
    SetText(item, tags::PR_IN_REPLY_TO_ID, ids("In-Reply-To"));
    SetText(item, tags::PR_INTERNET_REFERENCES, ids("References"));

    // Importance, priority, sensitivity
    int32_t importance = 1, priority = 0;
    std::string imp = files::LowerAscii(OneLine(h.Unfolded(h.Raw("Importance"))));
    std::string xprio = OneLine(h.Unfolded(h.Raw("X-Priority")));
    std::string msprio = files::LowerAscii(OneLine(h.Unfolded(h.Raw("X-MSMail-Priority"))));
    std::string prio = files::LowerAscii(OneLine(h.Unfolded(h.Raw("Priority"))));
    if (imp.rfind("high", 0) == 0) importance = 2;
    else if (imp.rfind("low", 0) == 0) importance = 0;
    else if (!xprio.empty() && xprio[0] >= '1' && xprio[0] <= '5') {
        char d = xprio[0];
        importance = d <= '2' ? 2 : d >= '4' ? 0 : 1;
    } else if (msprio.rfind("high", 0) == 0) importance = 2;
    else if (msprio.rfind("low", 0) == 0) importance = 0;
    if (prio.rfind("urgent", 0) == 0) priority = 1;
    else if (prio.rfind("non-urgent", 0) == 0) priority = -1;
    else if (prio.empty()) priority = importance == 2 ? 1 : importance == 0 ? -1 : 0;
    item.SetProp(tags::PR_IMPORTANCE, importance);
    item.SetProp(tags::PR_PRIORITY, priority);
    std::string sens = files::LowerAscii(OneLine(h.Unfolded(h.Raw("Sensitivity"))));
    int32_t sensitivity = 0;
    if (sens == "personal") sensitivity = 1;
    else if (sens == "private") sensitivity = 2;
    else if (sens == "company-confidential" || sens == "confidential") sensitivity = 3;
    item.SetProp(tags::PR_SENSITIVITY, sensitivity);
    // A read-receipt request (RFC 8098; Return-Receipt-To is its older form).
    if (h.Has("Disposition-Notification-To") || h.Has("Return-Receipt-To"))
        item.SetProp(tags::PR_READ_RECEIPT_REQUESTED, true);

    std::string block = h.Block();
    if (!block.empty()) item.SetProp(tags::PR_TRANSPORT_MESSAGE_HEADERS, block);
}

void Importer::WriteBodies(store::Item& item) {
    // An HTML part with nothing in it is no HTML body.
    if (hasHtml_ && Trim(html_).empty()) {
        hasHtml_ = false;
        html_.clear();
        htmlRaw_.clear();
    }
    if (hasHtml_) {
        pst::Binary bytes;
        if (!htmlRaw_.empty() && htmlCp_ && htmlParts_ == 1) {
            bytes.assign(htmlRaw_.begin(), htmlRaw_.end());
            item.SetProp(tags::PR_INTERNET_CPID, int32_t(htmlCp_));
        } else {
            bytes.assign(html_.begin(), html_.end());
            item.SetProp(tags::PR_INTERNET_CPID, int32_t(65001));
        }
        item.SetProp(tags::PR_HTML, std::move(bytes));
        if (!hasPlain_) {
            plain_ = HtmlToText(html_);
            hasPlain_ = true;
        }
    } else if (hasPlain_) {
        item.SetProp(tags::PR_INTERNET_CPID, int32_t(65001));
    }
    if (hasPlain_) item.SetProp(tags::PR_BODY, ToCrlf(plain_));
}

void Importer::WriteAttachment(store::Item& item, const Planned& p, int index) {
    GMimeObject* obj = p.obj;
    std::string type = MimeTypeOf(obj);
    store::Attachment& att = item.AddAttachment();
    att.SetProp(tags::PR_ATTACH_NUM, int32_t(index));
    att.SetProp(tags::PR_RENDERING_POSITION, int32_t(-1));

    std::string filename;
    if (GMIME_IS_PART(obj)) {
        const char* fn = g_mime_part_get_filename(GMIME_PART(obj));
        if (fn) filename = CleanFileName(SanitizeUtf8(fn));
    } else {
        const char* fn = g_mime_object_get_content_disposition_parameter(obj, "filename");
        if (!fn) fn = g_mime_object_get_content_type_parameter(obj, "name");
        if (fn) filename = CleanFileName(SanitizeUtf8(fn));
    }

    const char* cid = g_mime_object_get_content_id(obj);
    const char* loc = g_mime_object_get_header(obj, "Content-Location");
    std::string contentId = cid ? CutUtf8(OneLine(SanitizeUtf8(cid)), 1024) : "";
    std::string location = loc ? CutUtf8(OneLine(SanitizeUtf8(loc)), 2048) : "";
    if (!contentId.empty()) att.SetProp(tags::PR_ATTACH_CONTENT_ID, contentId);
    if (!location.empty()) att.SetProp(tags::PR_ATTACH_CONTENT_LOCATION, location);

    // An image the HTML body shows by its Content-ID (or location) is part of the
    // body: hidden from the attachment list, linked by the ID.
    bool referenced = false;
    if (hasHtml_) {
        std::string lowHtml;  // computed lazily below
        if (!contentId.empty()) {
            std::string needle = "cid:" + files::LowerAscii(contentId);
            referenced = files::LowerAscii(html_).find(needle) != std::string::npos;
        }
        if (!referenced && !location.empty() && p.relatedInline)
            referenced = html_.find(location) != std::string::npos;
    }
    if (referenced) {
        att.SetProp(tags::PR_ATTACHMENT_HIDDEN, true);
        att.SetProp(tags::PR_ATTACH_FLAGS, int32_t(4));  // ATT_MHTML_REF
    } else {
        att.SetProp(tags::PR_ATTACHMENT_HIDDEN, false);
    }

    // Attached messages become embedded messages while the depth allows.
    if (GMIME_IS_MESSAGE_PART(obj)) {
        GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(obj));
        if (inner && embedDepth_ < kMaxEmbedDepth) {
            att.SetProp(tags::PR_ATTACH_MIME_TAG, type);
            Importer child(opts_, embedDepth_ + 1, fallbackTime_);
            store::Item& em = att.EmbeddedMessage(store::ItemType::Mail);
            child.Fill(em, inner);
            std::string display = filename;
            if (display.empty()) {
                auto s = em.GetProp(tags::PR_SUBJECT);
                if (s) {
                    if (auto str = std::get_if<std::string>(&*s)) display = *str;
                }
            }
            if (display.empty()) display = "Attached message";
            att.SetProp(tags::PR_DISPLAY_NAME, display);
            if (!filename.empty()) {
                att.SetProp(tags::PR_ATTACH_LONG_FILENAME, filename);
                att.SetProp(tags::PR_ATTACH_FILENAME, ShortName(filename, index + 1));
                std::string ext = ExtensionOf(filename);
                if (!ext.empty()) att.SetProp(tags::PR_ATTACH_EXTENSION, ext);
            }
            return;
        }
    }

    if (filename.empty()) filename = p.fallbackName;
    if (filename.empty()) {
        if (type == "application/ms-tnef" || type == "application/vnd.ms-tnef") filename = "winmail.dat";
        else if (type == "text/calendar") filename = "invite.ics";
        else {
            char buf[32];
            snprintf(buf, sizeof buf, "ATT%05d", ++unnamed_);
            filename = std::string(buf) + ExtensionForType(type);
        }
    }
    std::string ext = ExtensionOf(filename);
    att.SetProp(tags::PR_ATTACH_METHOD, int32_t(1));
    att.SetProp(tags::PR_ATTACH_LONG_FILENAME, filename);
    att.SetProp(tags::PR_ATTACH_FILENAME, ShortName(filename, index + 1));
    att.SetProp(tags::PR_DISPLAY_NAME, filename);
    if (!ext.empty()) att.SetProp(tags::PR_ATTACH_EXTENSION, ext);
    att.SetProp(tags::PR_ATTACH_MIME_TAG, type);

    auto counter = std::make_shared<uint64_t>(0);
    store::DataSource source;
    if (GMIME_IS_PART(obj)) {
        source = DecodedContent(GMIME_PART(obj));
        GMimeContentEncoding enc = g_mime_part_get_content_encoding(GMIME_PART(obj));
        if (source && (enc == GMIME_CONTENT_ENCODING_DEFAULT || enc == GMIME_CONTENT_ENCODING_7BIT ||
                       enc == GMIME_CONTENT_ENCODING_8BIT))
            source = WithoutTrailingCr(std::move(source));
        source = Counted(std::move(source), counter);
    } else {
        std::shared_ptr<GMimeStream> stream;
        if (GMIME_IS_MESSAGE_PART(obj)) {
            GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(obj));
            if (inner) stream = SerializedStream(GMIME_OBJECT(inner));
        } else {
            stream = SerializedStream(obj);
        }
        source = SourceOf(stream, counter);
    }
    att.SetData(std::move(source));
    if (*counter) att.SetProp(tags::PR_ATTACH_SIZE, int32_t(std::min<uint64_t>(*counter, 0x7FFFFFFF)));
}

void Importer::WriteSmime(store::Item& item, GMimeObject* top, bool multipartSigned) {
    store::Attachment& att = item.AddAttachment();
    att.SetProp(tags::PR_ATTACH_NUM, int32_t(0));
    att.SetProp(tags::PR_ATTACH_METHOD, int32_t(1));
    att.SetProp(tags::PR_RENDERING_POSITION, int32_t(-1));
    att.SetProp(tags::PR_ATTACH_LONG_FILENAME, std::string("smime.p7m"));
    att.SetProp(tags::PR_ATTACH_FILENAME, std::string("smime.p7m"));
    att.SetProp(tags::PR_DISPLAY_NAME, std::string("smime.p7m"));
    att.SetProp(tags::PR_ATTACH_EXTENSION, std::string(".p7m"));
    auto counter = std::make_shared<uint64_t>(0);
    if (multipartSigned) {
        // The whole signed entity, headers included, as the signature covers it.
        att.SetProp(tags::PR_ATTACH_MIME_TAG, std::string("multipart/signed"));
        att.SetData(SourceOf(SerializedStream(top), counter));
    } else {
        att.SetProp(tags::PR_ATTACH_MIME_TAG, std::string("application/pkcs7-mime"));
        att.SetData(Counted(DecodedContent(GMIME_PART(top)), counter));
    }
    if (*counter) att.SetProp(tags::PR_ATTACH_SIZE, int32_t(std::min<uint64_t>(*counter, 0x7FFFFFFF)));
}

// A meeting request, response or cancellation: the first iCalendar part that
// maps onto an Outlook meeting object becomes the message itself, and is no
// attachment then (as Outlook keeps them). Anything else stays an attachment,
// and so does the part of a series whose stated first instance is off its rule
// (the pattern cannot hold that instance; the part still has it).
std::optional<Invitation> TakeInvitation(std::vector<Planned>& planned) {
    for (auto it = planned.begin(); it != planned.end(); ++it) {
        if (!GMIME_IS_PART(it->obj)) continue;
        std::string type = MimeTypeOf(it->obj);
        if (type != "text/calendar" && type != "application/ics") continue;
        std::shared_ptr<GMimeStream> stream = DecodedStream(GMIME_PART(it->obj));
        std::string text;
        if (!stream || !ReadAll(stream.get(), text, size_t(4) << 20)) continue;
        if (auto invitation = ParseInvitation(text)) {
            if (!invitation->series || !invitation->series->offRuleStart) planned.erase(it);
            return invitation;
        }
    }
    return std::nullopt;
}

void Importer::Fill(store::Item& item, GMimeObject* fields, GMimeObject* top, bool topHoldsFields) {
    hint_ = top ? FindHint(top) : std::string();
    Headers h(fields, opts_, hint_, topHoldsFields);

    std::string messageClass = "IPM.Note";
    bool smimeSigned = false, smimeOpaque = false;
    if (top) {
        std::string type = MimeTypeOf(top);
        if (GMIME_IS_MULTIPART(top) && type == "multipart/signed") {
            const char* proto = g_mime_object_get_content_type_parameter(top, "protocol");
            std::string p = proto ? files::LowerAscii(Trim(proto)) : "";
            if (p == "application/pkcs7-signature" || p == "application/x-pkcs7-signature") smimeSigned = true;
        } else if (GMIME_IS_PART(top) && IsSmimeType(type)) {
            const char* st = g_mime_object_get_content_type_parameter(top, "smime-type");
            std::string s = st ? files::LowerAscii(Trim(st)) : "";
            if (s.empty() || s == "signed-data" || s == "enveloped-data" || s == "authenveloped-data") smimeOpaque = true;
        }
    }

    WriteHeaders(item, h);

    if (smimeSigned) {
        messageClass = "IPM.Note.SMIME.MultipartSigned";
        // The body shows the signed content; its parts stay inside the signed entity.
        GMimeMultipart* mp = GMIME_MULTIPART(top);
        if (g_mime_multipart_get_count(mp) > 0) Walk(g_mime_multipart_get_part(mp, 0), 1);
        planned_.clear();
        WriteBodies(item);
        WriteSmime(item, top, true);
    } else if (smimeOpaque) {
        messageClass = "IPM.Note.SMIME";
        WriteSmime(item, top, false);
    } else {
        if (top) Walk(top, 0);
        WriteBodies(item);
        std::optional<Invitation> invitation = embedDepth_ == 0 ? TakeInvitation(planned_) : std::nullopt;
        int index = 0;
        for (auto& p : planned_) WriteAttachment(item, p, index++);
        if (invitation) {
            PutInvitation(item, *invitation);
            messageClass = invitation->messageClass;
            if (invitation->series && invitation->series->offRuleStart)
                notes_.push_back("its first instance (" + calendar::DateText(*invitation->series->offRuleStart) +
                                 ") is not on its rule: the request's pattern starts at the next instance, and its "
                                 "iCalendar part, which has that instance, stays attached");
        }
    }
    item.SetProp(tags::PR_MESSAGE_CLASS, messageClass);
    if (embedDepth_ > 0) item.SetProp(tags::PR_MESSAGE_FLAGS, int32_t(1));  // MSGFLAG_READ
}

// --- file handling ------------------------------------------------------------------

bool IsHeaderLine(std::string_view line) {
    size_t i = 0;
    while (i < line.size() && uint8_t(line[i]) > 0x20 && uint8_t(line[i]) < 0x7F && line[i] != ':') ++i;
    if (i == 0) return false;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    return i < line.size() && line[i] == ':';
}

// A message read and parsed, not yet written anywhere. Parsing depends only on
// the file, so a message parsed ahead on another thread is the same as one
// parsed when its turn comes. Made and destroyed on a deep-stack thread.
struct Parsed {
    ImportResult error;  // ok = false: nothing to fill from
    GObjPtr<GMimeStream> fs;
    GObjPtr<GMimeStream> stream;
    // The message: as its top part holding every field, or as GMime's message.
    GObjPtr<GMimeObject> top;
    GObjPtr<GMimeMessage> msg;
    int64_t fallbackTime = 0;
    uint64_t fileBytes = 0;
    // Filled ahead too, when it could be: what the caller's item gets.
    std::unique_ptr<store::RecordedItem> filled;
    ImportResult filledResult;

    // Once filled ahead the tree is not needed any more: torn down at once,
    // while it is still in the cache, and not held while it waits for its turn.
    void DropTree() {
        top = GObjPtr<GMimeObject>();
        msg = GObjPtr<GMimeMessage>();
        stream = GObjPtr<GMimeStream>();
        fs = GObjPtr<GMimeStream>();
    }
};
using ParsedPtr = std::unique_ptr<Parsed>;

ParsedPtr Fail(std::string why) {
    auto p = std::make_unique<Parsed>();
    p->error = {false, std::move(why)};
    return p;
}

// Files up to this size are read with one read and parsed from memory: the
// file is closed at once, and GMime neither seeks in it nor reads it again.
// Larger ones are parsed from the file, whose content GMime reads when it is
// written out.
constexpr off_t kReadWholeBytes = 256 << 10;

struct ByteArrayFree {
    void operator()(GByteArray* a) const { g_byte_array_free(a, TRUE); }
};

// The bytes of a file, or of its first part, and what the parse needs to know of it.
struct MessageBytes {
    std::unique_ptr<GByteArray, ByteArrayFree> bytes;
    bool whole = false;  // else `fd` is open and reads the rest
    int fd = -1;
    uint64_t size = 0;
    int64_t mtime = 0;
    ~MessageBytes() {
        if (fd >= 0) close(fd);
    }
};

// An archive's entry held in memory is a file read whole.
bool ReadMemory(const std::string& path, MessageBytes& m) {
    const auto memory = files::FindMemoryFile(path);
    if (!memory) return false;
    m.size = memory->bytes.size();
    m.mtime = memory->mtime;
    m.whole = true;
    m.bytes.reset(g_byte_array_sized_new(guint(m.size)));
    g_byte_array_append(m.bytes.get(), reinterpret_cast<const guint8*>(memory->bytes.data()), guint(m.size));
    return true;
}

// Fails: why the file cannot be read.
std::string ReadFile(const std::string& path, MessageBytes& m) {
    // O_NONBLOCK: a named pipe in place of a message must not wait for a writer
    // (the check below turns it away).
    // O_NOFOLLOW: a link in place of a message may point anywhere outside the
    // mailbox; it is never read through.
    m.fd = files::OpenSourceFile(path);
    if (m.fd < 0) return errno == ELOOP ? std::string("symbolic link") : std::string("cannot open: ") + strerror(errno);
    struct stat st {};
    if (fstat(m.fd, &st) != 0 || !S_ISREG(st.st_mode)) return "not a readable file: " + path;
    m.size = uint64_t(st.st_size);
    m.mtime = int64_t(st.st_mtime);
    // A small file is read whole here.
    m.whole = st.st_size <= kReadWholeBytes;
    const size_t want = size_t(m.whole ? st.st_size : 65536);
    m.bytes.reset(g_byte_array_sized_new(guint(want)));
    g_byte_array_set_size(m.bytes.get(), guint(want));
    size_t got = 0;
    while (got < want) {
        const ssize_t n = pread(m.fd, m.bytes->data + got, want - got, off_t(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return "cannot read " + path + ": " + strerror(errno);
        if (n == 0) break;  // shorter than it was a moment ago
        got += size_t(n);
    }
    g_byte_array_set_size(m.bytes.get(), guint(got));
    if (m.whole) {
        close(m.fd);
        m.fd = -1;
    }
    return {};
}

// The options of every parse; GMime only reads them.
GMimeParserOptions* ParseOptions() {
    static GMimeParserOptions* const options = [] {
        GMimeParserOptions* o = g_mime_parser_options_new();
        const char* fallback[] = {"UTF-8", "windows-1252", nullptr};
        g_mime_parser_options_set_fallback_charsets(o, fallback);
        g_mime_parser_options_set_allow_addresses_without_domain(o, TRUE);
        return o;
    }();
    return options;
}

GMimeStream* EmptyStream() {
    static GMimeStream* const empty = g_mime_stream_mem_new();
    return empty;
}

// One parser a thread, set to each message's stream in turn: making a new one
// for each message cost more than parsing a small message's headers.
GMimeParser* ThreadParser(GMimeStream* stream) {
    struct Owned {
        GMimeParser* parser = nullptr;
        ~Owned() {
            if (parser) g_object_unref(parser);
        }
    };
    thread_local Owned owned;
    if (!owned.parser) {
        owned.parser = g_mime_parser_new();
        g_mime_parser_set_format(owned.parser, GMIME_FORMAT_MESSAGE);
        g_mime_parser_set_persist_stream(owned.parser, TRUE);
    }
    g_mime_parser_init_with_stream(owned.parser, stream);
    return owned.parser;
}

bool IsSigned(GMimeObject* top) {
    GMimeContentType* type = g_mime_object_get_content_type(top);
    return type && g_mime_content_type_is_type(type, "multipart", "signed");
}

ParsedPtr Parse(const std::string& path) {
    EnsureGMime();
    MessageBytes m;
    if (!ReadMemory(path, m))
        if (std::string why = ReadFile(path, m); !why.empty()) return Fail(std::move(why));
    // Where the message starts: after a byte order mark, an mbox "From " line
    // and blank lines.
    const std::string_view head(reinterpret_cast<const char*>(m.bytes->data), m.bytes->len);
    size_t start = 0;
    if (head.rfind("\xEF\xBB\xBF", 0) == 0) start = 3;
    if (head.compare(start, 5, "From ") == 0) {
        auto nl = head.find('\n', start);
        start = nl == std::string::npos ? head.size() : nl + 1;
    }
    // blank or whitespace-only lines before the first header
    while (start < head.size()) {
        size_t k = start;
        while (k < head.size() && (head[k] == ' ' || head[k] == '\t' || head[k] == '\r')) ++k;
        if (k < head.size() && head[k] == '\n') start = k + 1;
        else break;
    }
    if (start >= head.size()) return Fail(m.size == 0 ? "empty file" : "no message in file");
    auto eol = head.find('\n', start);
    std::string_view first(head.data() + start, (eol == std::string::npos ? head.size() : eol) - start);
    if (!IsHeaderLine(first)) return Fail("no message headers in file");

    // GMime builds the whole tree at once: a message wider than a PST message
    // can hold is refused before it costs memory for every part.
    const size_t parts = m.whole ? CountMimeParts(head, start, kMaxMimeParts)
                                 : CountMimeParts(m.fd, start, m.size, kMaxMimeParts);
    if (parts > kMaxMimeParts)
        return Fail(std::to_string(parts) + " MIME parts, more than the " + std::to_string(kMaxMimeParts) +
                    " attachments a PST message can hold");

    auto p = std::make_unique<Parsed>();
    if (m.whole) {
        p->fs = GObjPtr<GMimeStream>(g_mime_stream_mem_new_with_byte_array(m.bytes.release()));  // owns the bytes
    } else {
        p->fs = GObjPtr<GMimeStream>(g_mime_stream_fs_new(m.fd));  // owns fd from here
        m.fd = -1;
    }
    p->stream = GObjPtr<GMimeStream>(start ? g_mime_stream_substream(p->fs.get(), gint64(start), -1)
                                           : (g_object_ref(p->fs.get()), p->fs.get()));
    // Parsed as its top part, which then holds every field of the header: GMime's
    // message would also parse the address, date and subject fields, which the
    // fill reads in its own way. A signed message is parsed as a message, so that
    // its signed entity keeps only its own fields; so is one GMime cannot read
    // as a part, for the message's more lenient start.
    GMimeParser* parser = ThreadParser(p->stream.get());
    p->top = GObjPtr<GMimeObject>(g_mime_parser_construct_part(parser, ParseOptions()));
    if (!p->top || IsSigned(p->top.get())) {
        p->top = GObjPtr<GMimeObject>();
        g_mime_stream_reset(p->stream.get());
        parser = ThreadParser(p->stream.get());
        p->msg = GObjPtr<GMimeMessage>(g_mime_parser_construct_message(parser, ParseOptions()));
    }
    // The parser keeps its stream until the next message; not an open file.
    if (!m.whole) g_mime_parser_init_with_stream(parser, EmptyStream());
    if (!p->top && !p->msg) {
        p->error = {false, "no message in file"};
        return p;
    }
    GMimeObject* body = p->top ? p->top.get() : g_mime_message_get_mime_part(p->msg.get());
    GMimeHeaderList* hl = p->msg ? g_mime_object_get_header_list(GMIME_OBJECT(p->msg.get())) : nullptr;
    GMimeHeaderList* bodyHeaders = body ? g_mime_object_get_header_list(body) : nullptr;
    if ((!hl || g_mime_header_list_get_count(hl) == 0) && (!bodyHeaders || g_mime_header_list_get_count(bodyHeaders) == 0)) {
        p->error = {false, "no message headers in file"};
        return p;
    }
    p->fallbackTime = m.mtime > 0 ? m.mtime : int64_t(time(nullptr));
    p->fileBytes = m.size;
    p->error = {true, {}};
    return p;
}

ImportResult FillFrom(store::Item& message, const Parsed& parsed) {
    if (!parsed.error.ok) return parsed.error;
    Importer importer(ParseOptions(), 0, parsed.fallbackTime);
    if (parsed.top) importer.FillFromTopPart(message, parsed.top.get());
    else importer.Fill(message, parsed.msg.get());
    ImportResult done(true, {}, importer.Omitted());
    done.notes = importer.Notes();
    return done;
}

// The import threads of one calling thread (an engine running one mailbox):
// `parser` reads, parses and fills (into a recorded item) the messages
// announced by ParseAhead and tears down the ones done with (some of them go
// with a caller on a deep stack that waits for it), so that this work
// overlaps with the caller writing the messages before them. The caller puts
// what was recorded into the store message, or fills one that was not
// announced or not recorded on its own stack when that is a deep one, else on
// `filler`, waiting meanwhile: the store is only touched in the caller's turn. Several mailboxes
// converted on threads of their own each have their own threads.
// A message filled ahead holds at most this much attachment data; a larger one
// is filled in its turn, its data streamed into the PST.
constexpr size_t kFilledAheadBytes = size_t(256) << 10;

// Fills the message ahead into a recorded item, to be put into the caller's in
// its turn. Whatever keeps it from that leaves it to be filled then.
void FillAhead(Parsed& parsed) {
    if (!parsed.error.ok) return;
    try {
        auto item = std::make_unique<store::RecordedItem>(store::ItemType::Mail, kFilledAheadBytes);
        parsed.filledResult = FillFrom(*item, parsed);
        parsed.filled = std::move(item);
    } catch (...) {
        parsed.filled.reset();
    }
}

ImportResult FillIn(store::Item& message, Parsed& parsed) {
    if (!parsed.filled) return FillFrom(message, parsed);
    parsed.filled->Replay(message);
    return parsed.filledResult;
}

// Each announced message waiting holds its bytes in memory (at most
// kReadWholeBytes) or an open file, and what it was filled with (at most
// kFilledAheadBytes of data): kMaxParsedAhead of them at most.
// The file bytes of the messages parsed ahead and not yet taken, at most (one
// larger message is parsed all the same).
constexpr uint64_t kMaxHeldBytes = 4u << 20;
// Announcements that wake the parser: fewer wakeups, each for more work.
constexpr size_t kParseBatch = 4;

struct ImportThreads {
    // A message announced: parsed on `parser`, ready once `ready` is set.
    struct Slot {
        bool ready = false;  // under `mu`
        uint64_t bytes = 0;  // its file's, once ready
        std::shared_ptr<Parsed> parsed;
    };
    struct Ahead {
        std::string path;
        std::shared_ptr<Slot> slot;
    };
    std::mutex mu;
    std::condition_variable readied, taken;
    bool waiting = false;  // the caller waits for a slot: only then is it woken
    uint64_t held = 0;     // the file bytes of the messages parsed and not yet taken
    bool full = false;     // the parser waits for `held` to go down
    std::deque<Ahead> ahead;
    size_t unwoken = 0;  // parses queued since the parser was last woken
    size_t tearHere = 0;  // messages done with that the caller tears down itself
    // Done with, to be torn down on `parser` (its teardown may recurse as deep as
    // its parse did) along with the next task posted there.
    std::vector<std::shared_ptr<Parsed>> done;
    std::unique_ptr<DeepStackThread> filler;  // made when first needed
    // Last: joined first, while what its tasks touch is still there.
    DeepStackThread parser{kImportStackBytes};

    DeepStackThread& Filler() {
        if (!filler) filler = std::make_unique<DeepStackThread>(kImportStackBytes);
        return *filler;
    }
    void Ready(Slot& slot, std::shared_ptr<Parsed> parsed) {
        std::lock_guard<std::mutex> lock(mu);
        slot.bytes = parsed ? parsed->fileBytes : 0;
        held += slot.bytes;
        slot.parsed = std::move(parsed);
        slot.ready = true;
        if (waiting) readied.notify_one();
    }
    // On the parser, before a parse: what is parsed and not taken stays bounded
    // in bytes as well as in count (a GMime tree takes a few times its file).
    void WaitForRoom() {
        std::unique_lock<std::mutex> lock(mu);
        if (held < kMaxHeldBytes) return;
        full = true;
        if (waiting) readied.notify_one();
        taken.wait(lock, [this] { return held < kMaxHeldBytes; });
        full = false;
    }
    // The front slot's message, once parsed. When it must wait, it waits for a
    // few more than that: the parser is the slower one then, and one wakeup
    // a message each way would cost more than the wait.
    std::shared_ptr<Parsed> TakeFront() {
        Slot& front = *ahead.front().slot;
        Slot& until = *ahead[std::min(ahead.size(), kParseBatch) - 1].slot;  // parsed in order
        std::unique_lock<std::mutex> lock(mu);
        if (!front.ready) {
            lock.unlock();
            parser.Wake();
            unwoken = 0;
            lock.lock();
            waiting = true;
            // Messages are parsed in order: a full parser has the front one ready.
            readied.wait(lock, [&] { return until.ready || (front.ready && full); });
            waiting = false;
            tearHere = kParseBatch;
        }
        std::shared_ptr<Parsed> parsed = std::move(front.parsed);
        held -= front.bytes;
        if (full && held < kMaxHeldBytes) taken.notify_one();
        lock.unlock();
        ahead.pop_front();
        return parsed;
    }
    void Release(std::shared_ptr<Parsed> p) {
        // A caller on a deep stack that had to wait for the parser lately tears
        // the next few down itself, so the work evens out between the two.
        if (tearHere > 0 && DeepStackThread::OnDeepStack()) {
            --tearHere;
            return;
        }
        if (p) done.push_back(std::move(p));
        // Kept for the next parse; more than that is let go at once.
        if (done.size() > kParseBatch) FlushReleases();
    }
    void FlushReleases() {
        if (done.empty()) return;
        parser.Post([batch = std::move(done)]() mutable { batch.clear(); });
        done.clear();
    }
    void DropFront() { Release(TakeFront()); }
    ~ImportThreads() {
        while (!ahead.empty()) DropFront();
        FlushReleases();
    }
};

ImportThreads& Threads() {
    thread_local ImportThreads threads;
    return threads;
}

ImportResult Describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return {false, std::string("import failed: ") + e.what()};
    } catch (...) {
        return {false, "import failed"};
    }
}

}  // namespace

void ParseAhead(const std::string& path, std::function<void()> before) {
    ImportThreads& t = Threads();
    for (const auto& a : t.ahead)
        if (a.path == path) return;
    if (t.ahead.size() >= kMaxParsedAhead) t.DropFront();
    auto slot = std::make_shared<ImportThreads::Slot>();
    t.ahead.push_back({path, slot});
    // Parsed in batches: woken for every few announcements, or when the caller
    // waits for one, the parser works through all that is queued.
    t.parser.PostQuietly([&t, slot, path, before = std::move(before), batch = std::move(t.done)]() mutable {
        batch.clear();
        std::shared_ptr<Parsed> parsed;
        t.WaitForRoom();
        try {
            if (before) before();
            parsed = Parse(path);
            FillAhead(*parsed);
            if (parsed->filled) parsed->DropTree();
        } catch (const std::exception& e) {
            parsed = Fail(std::string("import failed: ") + e.what());
        } catch (...) {
            parsed = Fail("import failed");
        }
        t.Ready(*slot, std::move(parsed));
    });
    t.done.clear();
    if (++t.unwoken >= kParseBatch) {
        t.parser.Wake();
        t.unwoken = 0;
    }
}

ImportResult ImportMessage(store::Item& message, const std::string& path) {
    ImportThreads& t = Threads();
    std::shared_ptr<Parsed> parsed;
    auto hit = std::find_if(t.ahead.begin(), t.ahead.end(), [&](const auto& a) { return a.path == path; });
    if (hit != t.ahead.end()) {
        // Announced files passed over (a skip, a filter) are let go.
        while (t.ahead.front().path != path) t.DropFront();
        parsed = t.TakeFront();
    }
    ImportResult result;
    auto fill = [&] {
        if (!parsed) parsed = Parse(path);
        result = FillIn(message, *parsed);
    };
    try {
        if (DeepStackThread::OnDeepStack()) fill();
        else t.Filler().Call(fill);
    } catch (...) {
        result = Describe(std::current_exception());
    }
    t.Release(std::move(parsed));
    // Without announcements nothing else would take it to the parser.
    if (t.ahead.empty()) t.FlushReleases();
    return result;
}

}  // namespace mime
