#include "files/ArchiveReader.h"

#include <archive.h>
#include <archive_entry.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <locale.h>
#include <unistd.h>

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <vector>

namespace files {

namespace {

constexpr std::array<std::string_view, 5> kSuffixes = {".tar.gz", ".tgz", ".tar", ".zip", ".taz"};

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
    if (text.size() < suffix.size()) return false;
    for (size_t i = 0; i < suffix.size(); ++i) {
        char c = text[text.size() - suffix.size() + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[i]) return false;
    }
    return true;
}

}  // namespace

// libarchive's gzip filter drops the last decompressed block of a cut-off file,
// and with it the complete entries just before the cut. This one hands on every
// byte zlib can decompress, then ends; `cut` says whether the data was whole.
struct ArchiveReader::Gzip {
    FILE* file = nullptr;
    z_stream z{};
    bool started = false, ended = false, cut = false;
    std::vector<unsigned char> in = std::vector<unsigned char>(1 << 16);
    std::vector<unsigned char> out = std::vector<unsigned char>(1 << 16);
    std::string error;
    std::uint64_t consumed = 0;  // bytes read from the file

    ~Gzip() {
        if (started) inflateEnd(&z);
        if (file) std::fclose(file);
    }
    bool Open(const std::string& path) {
        file = std::fopen(path.c_str(), "rb");
        if (!file) return false;
        started = inflateInit2(&z, 16 + MAX_WBITS) == Z_OK;
        return started;
    }
    la_ssize_t Read(const void** buffer) {
        *buffer = out.data();
        if (ended) return 0;
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        while (z.avail_out == out.size()) {
            if (z.avail_in == 0) {
                const size_t n = std::fread(in.data(), 1, in.size(), file);
                consumed += n;
                if (n == 0) {
                    // The file ends inside the compressed stream.
                    cut = true;
                    ended = true;
                    break;
                }
                z.next_in = in.data();
                z.avail_in = static_cast<uInt>(n);
            }
            const int r = inflate(&z, Z_NO_FLUSH);
            if (r == Z_STREAM_END) {
                // Another gzip member may follow.
                if (z.avail_in == 0) {
                    int c = std::fgetc(file);
                    if (c == EOF) {
                        ended = true;
                        break;
                    }
                    std::ungetc(c, file);
                }
                inflateReset(&z);
            } else if (r != Z_OK && r != Z_BUF_ERROR) {
                error = z.msg ? z.msg : "damaged gzip data";
                cut = true;
                ended = true;
                break;
            }
        }
        return static_cast<la_ssize_t>(out.size() - z.avail_out);
    }
};

namespace {

la_ssize_t GzipRead(archive*, void* data, const void** buffer) {
    return static_cast<ArchiveReader::Gzip*>(data)->Read(buffer);
}

bool IsGzipPath(std::string_view path) {
    return EndsWithNoCase(path, ".tgz") || EndsWithNoCase(path, ".tar.gz") || EndsWithNoCase(path, ".taz");
}

}  // namespace

bool IsArchivePath(std::string_view path) {
    for (auto s : kSuffixes)
        if (EndsWithNoCase(path, s) && path.size() > s.size() && path[path.size() - s.size() - 1] != '/') return true;
    return false;
}

std::string ArchiveBaseName(std::string_view fileName) {
    for (auto s : kSuffixes)
        if (EndsWithNoCase(fileName, s) && fileName.size() > s.size())
            return std::string(fileName.substr(0, fileName.size() - s.size()));
    return std::string(fileName);
}

std::vector<std::string> ArchivePartsIn(const std::string& folder) {
    std::vector<std::string> parts;
    std::error_code ec;
    std::filesystem::directory_iterator it(folder, ec);
    if (ec) return {};
    for (const auto& e : it) {
        const std::string name = e.path().filename().string();
        if (name.empty() || name[0] == '.') continue;
        std::error_code e2;
        if (e.is_symlink(e2) || !e.is_regular_file(e2) || !IsArchivePath(name)) return {};
        parts.push_back(e.path().string());
    }
    std::sort(parts.begin(), parts.end());
    return parts;
}

ArchiveReader::ArchiveReader() = default;

ArchiveReader::~ArchiveReader() {
    if (a_) archive_read_free(a_);
}

bool ArchiveReader::Open(const std::string& path) {
    a_ = archive_read_new();
    archive_read_support_format_tar(a_);
    archive_read_support_format_gnutar(a_);
    int opened = ARCHIVE_FATAL;
    if (IsGzipPath(path)) {
        gzip_ = std::make_unique<Gzip>();
        if (!gzip_->Open(path)) {
            error_ = "cannot open the file";
            return false;
        }
        opened = archive_read_open(a_, gzip_.get(), nullptr, GzipRead, nullptr);
    } else {
        archive_read_support_filter_all(a_);
        archive_read_support_format_zip(a_);
        opened = archive_read_open_filename(a_, path.c_str(), 1 << 16);
    }
    if (opened != ARCHIVE_OK) {
        error_ = archive_error_string(a_) ? archive_error_string(a_) : "not an archive";
        return false;
    }
    return true;
}

namespace {

// libarchive turns stored names into text through the thread's locale; under
// the "C" locale a UTF-8 name of a zip cannot be turned into anything. Names are
// read under a UTF-8 locale for the thread, whatever the program's locale.
// The locale is made once (making one reads and maps the locale files).
class Utf8Names {
public:
    Utf8Names() : loc_(Utf8Locale()) {
        if (loc_) old_ = uselocale(loc_);
    }
    ~Utf8Names() {
        if (loc_) uselocale(old_);
    }
    Utf8Names(const Utf8Names&) = delete;
    Utf8Names& operator=(const Utf8Names&) = delete;

private:
    static locale_t Utf8Locale() {
        static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
        return utf8;
    }
    locale_t loc_;
    locale_t old_ = static_cast<locale_t>(0);
};

}  // namespace

bool ArchiveReader::Next() {
    if (!a_ || damaged_) return false;
    Utf8Names utf8;
    for (;;) {
        archive_entry* entry = nullptr;
        const int r = archive_read_next_header(a_, &entry);
        if (r == ARCHIVE_EOF && gzip_ && gzip_->cut) {
            damaged_ = true;
            error_ = gzip_->error.empty() ? "the compressed data ends early" : gzip_->error;
            return false;
        }
        if (r == ARCHIVE_EOF) return false;
        if (r < ARCHIVE_WARN) {
            damaged_ = true;
            error_ = archive_error_string(a_) ? archive_error_string(a_) : "damaged archive";
            return false;
        }
        ++entries_;
        if (archive_entry_filetype(entry) != AE_IFREG) continue;
        // Names as UTF-8 whatever the locale (zip marks UTF-8 names; tar's are bytes).
        const char* name = archive_entry_pathname_utf8(entry);
        if (!name) name = archive_entry_pathname(entry);
        name_ = name ? name : "";
        mtime_ = archive_entry_mtime_is_set(entry) ? static_cast<std::int64_t>(archive_entry_mtime(entry)) : 0;
        while (name_.rfind("./", 0) == 0) name_.erase(0, 2);
        // An empty name (one that could not be read) is handed on: the caller names it.
        return true;
    }
}

std::uint64_t ArchiveReader::BytesRead() const {
    if (gzip_) return gzip_->consumed;
    if (!a_) return 0;
    const la_int64_t n = archive_filter_bytes(a_, -1);
    return n > 0 ? static_cast<std::uint64_t>(n) : 0;
}

void ArchiveReader::NoteDamage() {
    damaged_ = true;
    error_ = archive_error_string(a_) ? archive_error_string(a_) : "damaged archive";
}

bool ArchiveReader::WriteTo(const std::string& path, const std::string& head) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        // The entry's data still has to be passed over.
        archive_read_data_skip(a_);
        return false;
    }
    bool written = true;
    auto write = [&](const char* data, size_t n) {
        for (size_t done = 0; written && done < n;) {
            const ssize_t w = ::write(fd, data + done, n - done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) written = false;
            else done += static_cast<size_t>(w);
        }
    };
    write(head.data(), head.size());
    // Our own copy loop: libarchive's data-into-fd allocates a buffer per entry.
    if (buffer_.empty()) buffer_.resize(1 << 16);
    for (;;) {
        const la_ssize_t n = archive_read_data(a_, buffer_.data(), buffer_.size());
        if (n == 0) break;
        if (n < 0) {
            ::close(fd);
            NoteDamage();
            return false;
        }
        write(buffer_.data(), static_cast<size_t>(n));
    }
    if (mtime_ > 0) {
        // As extracting leaves it: a message without a date takes its file's time.
        const struct timespec times[2] = {{static_cast<time_t>(mtime_), 0}, {static_cast<time_t>(mtime_), 0}};
        ::futimens(fd, times);
    }
    return ::close(fd) == 0 && written;
}

ArchiveReader::Entry ArchiveReader::ReadEntry(std::string& bytes, size_t limit) {
    bytes.clear();
    if (buffer_.empty()) buffer_.resize(1 << 16);
    for (;;) {
        const la_ssize_t n = archive_read_data(a_, buffer_.data(), buffer_.size());
        if (n == 0) return Entry::Read;
        if (n < 0) {
            NoteDamage();
            bytes.clear();
            return Entry::Damaged;
        }
        bytes.append(buffer_.data(), static_cast<size_t>(n));
        if (bytes.size() > limit) return Entry::TooLarge;
    }
}

bool ArchiveReader::ReadText(std::string& text, size_t limit) {
    text.clear();
    char buffer[1 << 14];
    for (;;) {
        const la_ssize_t n = archive_read_data(a_, buffer, sizeof buffer);
        if (n == 0) return true;
        if (n < 0) {
            NoteDamage();
            return false;
        }
        if (text.size() < limit) text.append(buffer, std::min(static_cast<size_t>(n), limit - text.size()));
    }
}

}  // namespace files
