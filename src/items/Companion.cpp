#include "items/Companion.h"

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
#include "files/MemoryFiles.h"
#include "items/ItemText.h"
#include "items/TempFiles.h"
#include "items/ZimbraMetaReader.h"
#include "store/PstStoreSession.h"

namespace items {

namespace {

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
    std::string s = type ? Utf16ToUtf8(Utf8ToUtf16(files::LowerAscii(type))) : "application/octet-stream";  // 8-bit bytes made valid
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

std::string ItemCompanionPath(const std::string& metaPath) {
    std::string path = TrimSpaces(metaPath);
    std::string companion = CompanionPath(path);
    if (companion != path) return companion;
    if (path.size() > 5) {
        std::string tail = path.substr(path.size() - 5);
        std::transform(tail.begin(), tail.end(), tail.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        if (tail == ".meta") return path.substr(0, path.size() - 5);
    }
    return {};
}

CompanionContent ReadCompanion(const std::string& path) {
    CompanionContent content;
    if (!IsExistingFile(path)) return content;
    EnsureGMime();
    GError* err = nullptr;
    GMimeStream* stream = nullptr;
    if (const auto memory = files::FindMemoryFile(path))
        stream = g_mime_stream_mem_new_with_buffer(memory->bytes.data(), memory->bytes.size());
    else
        stream = g_mime_stream_fs_open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0, &err);
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
    std::string lower = files::LowerAscii(part.fileName);
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

}  // namespace items
