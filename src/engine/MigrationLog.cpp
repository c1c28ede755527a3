#include "engine/MigrationLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/EngineText.h"
#include "files/Utf.h"

namespace engine {

std::string LogPathFor(const std::string& pstPath) {
    // Only the file name changes: a folder such as "a.pst.old" stays, so the log
    // is always written beside the PST.
    const std::string parent = ParentOf(pstPath);
    const std::string name = pstPath.substr(parent.size());
    std::string logName = ReplaceAll(name, ".pst", ".log");
    if (logName == name) logName += ".log";
    return parent + logName;
}

std::string LogText(std::string_view text) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    auto escapeBytes = [&](std::size_t from, std::size_t count) {
        for (std::size_t k = from; k < from + count; ++k) {
            const auto b = static_cast<unsigned char>(text[k]);
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 15];
        }
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            if (b == '\\') out += "\\\\";
            else if (b < 0x20 || b == 0x7F) escapeBytes(i, 1);
            else out += char(b);
            ++i;
            continue;
        }
        std::size_t length = 1;
        const std::int32_t cp = files::DecodeUtf8(text, i, length);
        // C1 controls (U+0085 is a line end to some readers) and U+2028/U+2029
        // would start a new line in an editor.
        if (cp < 0 || (cp >= 0x80 && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029) escapeBytes(i, length);
        else out.append(text, i, length);
        i += length;
    }
    return out;
}

MigrationLog::~MigrationLog() { Close(); }

MigrationLog::MigrationLog(MigrationLog&& other) noexcept
    : path_(std::move(other.path_)),
      fd_(other.fd_),
      started_(other.started_),
      error_(std::move(other.error_)),
      refused_(std::move(other.refused_)),
      unwritten_(std::move(other.unwritten_)) {
    other.fd_ = -1;
    other.started_ = false;
}

MigrationLog& MigrationLog::operator=(MigrationLog&& other) noexcept {
    if (this != &other) {
        Close();
        path_ = std::move(other.path_);
        fd_ = other.fd_;
        started_ = other.started_;
        error_ = std::move(other.error_);
        refused_ = std::move(other.refused_);
        unwritten_ = std::move(other.unwritten_);
        other.fd_ = -1;
        other.started_ = false;
    }
    return *this;
}

void MigrationLog::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool MigrationLog::Start() {
    if (path_.empty()) return false;
    Close();
    // O_NOFOLLOW: a link planted under the log's name must not lead the run into
    // writing some other file; O_NONBLOCK: a fifo must not hold it up. Never
    // O_TRUNC: an earlier run's section stays.
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    std::string why, refused;
    struct stat st {};
    if (fd < 0) {
        if (errno != ELOOP) {
            error_ = std::strerror(errno);
            return false;
        }
        why = "the log's name is a symbolic link";
    } else if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        // A second name would make this the same file as one elsewhere.
        why = !S_ISREG(st.st_mode) ? "the log's name is not a regular file" : "the log file has other names (hard links)";
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) {
        // What was planted under the name stays as it is; the run still gets a log.
        refused = LogText(path_);
        fd = OpenFallback();
        if (fd < 0) {
            error_ = why;
            return false;
        }
        refused_ = refused + " (" + why + ")";
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    fd_ = fd;
    started_ = WriteLine("---- Log Starts -----");
    if (started_ && !refused.empty())
        started_ = WriteLine("NOTE : " + refused + " (not written through: " + why + "; this file is the log)");
    return started_;
}

int MigrationLog::OpenFallback() {
    std::string stem = path_;
    if (stem.size() > 4 && stem.compare(stem.size() - 4, 4, ".log") == 0) stem.resize(stem.size() - 4);
    for (int n = 1; n <= 100; ++n) {
        const std::string candidate = stem + "." + std::to_string(n) + ".log";
        // O_EXCL: only a file this run makes itself, never one that is there.
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            path_ = candidate;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

bool MigrationLog::Part(int number, const std::string& pstPath) {
    return WriteLine("---- Part " + std::to_string(number) + ": " + LogText(pstPath) + " -----");
}

bool MigrationLog::Bad(const std::string& path, const std::string& reason) {
    std::string line = "BAD : " + LogText(path);
    if (!reason.empty()) line += " (" + LogText(reason) + ")";
    if (WriteLine(line)) return true;
    unwritten_.push_back(line);
    return false;
}

bool MigrationLog::Note(const std::string& path, const std::string& text) {
    return WriteLine("NOTE : " + LogText(path) + " (" + LogText(text) + ")");
}

bool MigrationLog::Skipped(const std::string& path, const std::string& reason) {
    return WriteLine("SKIPPED : " + LogText(path) + " (" + LogText(reason) + ")");
}

bool MigrationLog::WriteLine(const std::string& text) {
    if (fd_ < 0) {
        if (error_.empty()) error_ = "the log could not be opened";
        return false;
    }
    const std::string line = text + "\r\n";
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (error_.empty()) error_ = std::strerror(errno);
            // A line cut off by a full disk would run into the next one: end it.
            if (done > 0) (void)!::write(fd_, "\r\n", 2);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace engine
