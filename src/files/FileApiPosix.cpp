// POSIX platform layer of the file operations.
//
// Paths of any length: a path shorter than PATH_MAX goes to the *at calls as it
// is; a longer one is opened folder chunk by folder chunk (each chunk shorter
// than PATH_MAX) and the last part is handed over relative to that folder.
// Entries are never followed when they are symbolic links themselves: attributes
// come from lstat, deletion unlinks the link, attribute changes skip links.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "files/FileApi.h"
#include "files/MailboxFileQueue.h"
#include "files/MemoryFiles.h"

namespace files {

namespace detail {

struct Listing {
    int dirFd = -1;  // folder of the entries, for their attributes; -1 for single-path listings
    std::string folder;
    std::vector<std::string> names;
    std::size_t next = 0;

    ~Listing() {
        if (dirFd >= 0) ::close(dirFd);
    }
};

}  // namespace detail

FindEntry::FindEntry() = default;
FindEntry::~FindEntry() = default;
FindEntry::FindEntry(FindEntry&&) noexcept = default;
FindEntry& FindEntry::operator=(FindEntry&&) noexcept = default;

namespace {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) {
            reset();
            fd_ = o.fd_;
            o.fd_ = -1;
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    int get() const { return fd_; }

private:
    int fd_ = -1;
};

// A path as a folder descriptor plus a name relative to it.
struct AtPath {
    int dirFd = AT_FDCWD;
    std::string rel;
    UniqueFd owned;
    bool ok = true;
};

constexpr std::size_t kPathLimit = PATH_MAX;  // 4096 on Linux, terminating NUL included

AtPath ResolveAt(std::string_view path) {
    AtPath at;
    std::string_view rest = path;
    while (rest.size() >= kPathLimit) {
        // Cut at the last separator that leaves a head shorter than the limit.
        const auto cut = rest.rfind('/', kPathLimit - 2);
        if (cut == std::string_view::npos) {
            at.ok = false;
            errno = ENAMETOOLONG;
            return at;
        }
        const std::string head(cut == 0 ? std::string_view("/") : rest.substr(0, cut));
        const int fd = ::openat(at.dirFd, head.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            at.ok = false;
            return at;
        }
        at.owned.reset(fd);
        at.dirFd = fd;
        rest = rest.substr(cut + 1);
        while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
    }
    at.rel.assign(rest.empty() ? std::string_view(".") : rest);
    return at;
}

// The path without trailing separators ("/" stays "/").
std::string_view StripTrailingSeparators(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    return path;
}

// A file's path as its folder, kept open on this thread while the next paths
// looked up are in the same folder, plus its name: a mailbox's files come folder
// by folder, and walking a long path again for each file and its ".meta" cost
// more than the lookup of the file itself. For reading only: a folder replaced
// while it is kept is not seen. Long paths and bare names go through ResolveAt.
AtPath ResolveInKeptFolder(std::string_view path) {
    struct Kept {
        std::string folder;
        UniqueFd fd;
    };
    thread_local Kept kept;
    const auto slash = path.rfind('/');
    if (path.size() >= kPathLimit || slash == std::string_view::npos || slash + 1 >= path.size())
        return ResolveAt(path);
    const std::string_view folder = path.substr(0, slash + 1);
    if (kept.fd.get() < 0 || kept.folder != folder) {
        kept.fd.reset(::open(std::string(folder).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        kept.folder = folder;
        // A folder that cannot be opened: the lookup of the whole path says why.
        if (kept.fd.get() < 0) return ResolveAt(path);
    }
    AtPath at;
    at.dirFd = kept.fd.get();
    at.rel.assign(path.substr(slash + 1));
    return at;
}

int ErrorCode(int err) {
    return err == 0 ? -1 : err;
}

std::uint32_t AttributesFromStat(int dirFd, const char* rel, const struct stat& st) {
    if (S_ISDIR(st.st_mode)) return kFileAttributeDirectory;
    if (S_ISLNK(st.st_mode)) {
        // A link reports itself as a reparse point; what it points to decides the
        // folder bit, as on Windows. A dangling link is a plain reparse point.
        std::uint32_t a = kFileAttributeReparsePoint;
        struct stat target {};
        if (::fstatat(dirFd, rel, &target, 0) == 0) {
            if (S_ISDIR(target.st_mode)) a |= kFileAttributeDirectory;
            else if (!S_ISREG(target.st_mode)) a |= kFileAttributeDevice;
        }
        return a;
    }
    if (!S_ISREG(st.st_mode)) return kFileAttributeDevice;
    return (st.st_mode & S_IWUSR) ? kFileAttributeNormal : kFileAttributeReadOnly;
}

std::uint32_t AttributesAt(int dirFd, const char* rel) {
    struct stat st {};
    if (::fstatat(dirFd, rel, &st, AT_SYMLINK_NOFOLLOW) != 0) return kInvalidFileAttributes;
    return AttributesFromStat(dirFd, rel, st);
}

bool HasWildcards(std::string_view pattern) {
    return pattern.find_first_of("*?") != std::string_view::npos;
}

std::atomic<std::int64_t> g_nextHandle{1};

void LoadCurrent(FindEntry& entry) {
    auto& l = *entry.listing;
    entry.name = l.names[l.next];
    if (l.dirFd >= 0) {
        entry.attributes = AttributesAt(l.dirFd, entry.name.c_str());
    } else {
        entry.attributes = GetFileAttr(l.folder + entry.name);
    }
}

}  // namespace

std::int64_t FindFirstEntry(std::string_view searchSpec, FindEntry& entry) {
    InitFileApi();
    CloseFind(entry);
    const std::string folder = GetParentPath(searchSpec);
    const std::string pattern = GetFileName(searchSpec);
    if (pattern.empty()) return -1;

    auto listing = std::make_unique<detail::Listing>();
    listing->folder = folder;
    if (!HasWildcards(pattern)) {
        // A single path: the entry itself, if it exists (no folder scan needed).
        if (GetFileAttr(searchSpec) == kInvalidFileAttributes) return -1;
        listing->names.push_back(pattern);
    } else {
        AtPath at = ResolveAt(folder.empty() ? std::string_view(".") : std::string_view(folder));
        if (!at.ok) return -1;
        const int fd = ::openat(at.dirFd, at.rel.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return -1;
        listing->dirFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        DIR* dir = ::fdopendir(fd);
        if (dir == nullptr) {
            ::close(fd);
            return -1;
        }
        while (const dirent* d = ::readdir(dir)) {
            std::string_view name(d->d_name);
            if (MatchesPattern(name, pattern)) listing->names.emplace_back(name);
        }
        ::closedir(dir);
        if (listing->dirFd < 0 || listing->names.empty()) return -1;
        // Byte order, so that a run lists the same tree the same way every time.
        std::sort(listing->names.begin(), listing->names.end());
    }
    entry.listing = std::move(listing);
    entry.handle = g_nextHandle++;
    LoadCurrent(entry);
    return entry.handle;
}

int FindNextEntry(FindEntry& entry) {
    InitFileApi();
    if (!entry.listing) {
        CloseFind(entry);
        return 0;
    }
    auto& l = *entry.listing;
    if (l.next + 1 >= l.names.size()) {
        CloseFind(entry);
        return 0;
    }
    ++l.next;
    LoadCurrent(entry);
    return 1;
}

bool CloseFind(FindEntry& entry) {
    entry.listing.reset();
    entry.handle = -1;
    return true;
}

std::uint32_t GetFileAttr(std::string_view path) {
    InitFileApi();
    if (path.empty()) return kInvalidFileAttributes;
    if (FindMemoryFile(path)) return kFileAttributeNormal;
    const AtPath at = ResolveAt(StripTrailingSeparators(path));
    if (!at.ok) return kInvalidFileAttributes;
    return AttributesAt(at.dirFd, at.rel.c_str());
}

int SetFileAttr(std::string_view path, std::uint32_t attributes) {
    InitFileApi();
    if (path.empty()) return kErrorFileNotFound;
    const AtPath at = ResolveAt(StripTrailingSeparators(path));
    if (!at.ok) return ErrorCode(errno);
    struct stat st {};
    if (::fstatat(at.dirFd, at.rel.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return ErrorCode(errno);
    // A link has no mode of its own here, and changing its target would touch a
    // file that may lie outside the tree: leave it.
    if (S_ISLNK(st.st_mode)) return 0;
    mode_t mode = st.st_mode & 07777;
    if (attributes & kFileAttributeReadOnly) mode &= ~mode_t(S_IWUSR | S_IWGRP | S_IWOTH);
    else mode |= S_IWUSR;
    if (mode == (st.st_mode & 07777)) return 0;
    if (::fchmodat(at.dirFd, at.rel.c_str(), mode, 0) != 0) return ErrorCode(errno);
    return 0;
}

bool FileExists(std::string_view path) {
    const std::uint32_t a = GetFileAttr(path);
    if (a != kInvalidFileAttributes && !(a & kFileAttributeDirectory)) return true;
    FindEntry entry;
    if (FindFirstEntry(path, entry) == -1) return false;
    const bool isFile = !(entry.attributes & kFileAttributeDirectory);
    CloseFind(entry);
    return isFile;
}

std::uint64_t FileSizeOf(std::string_view path) {
    InitFileApi();
    if (path.empty()) return 0;
    if (const auto memory = FindMemoryFile(path)) return memory->bytes.size();
    const AtPath at = ResolveAt(StripTrailingSeparators(path));
    struct stat st {};
    if (!at.ok || ::fstatat(at.dirFd, at.rel.c_str(), &st, 0) != 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

bool FolderExists(std::string_view path) {
    const std::string folder = AddBackslash(path);
    const std::uint32_t a = GetFileAttr(path);
    if (a != kInvalidFileAttributes && (a & kFileAttributeDirectory)) return true;
    FindEntry entry;
    if (FindFirstEntry(folder + "*.*", entry) != -1) {
        CloseFind(entry);
        return true;
    }
    // The "nul" device test of the Windows original has no meaning here.
    return false;
}

int RemoveFile(std::string_view path) {
    InitFileApi();
    if (!path.empty() && path.back() == kPathSeparator) return RemovePathEntry(path);
    if (path.empty()) return kErrorFileNotFound;
    if (DropMemoryFile(path)) return 0;
    SetFileAttr(path, kFileAttributeNormal);  // clears read-only; a failure is ignored
    const AtPath at = ResolveAt(path);
    if (!at.ok) return ErrorCode(errno);
    // unlinkat without AT_REMOVEDIR refuses folders (EISDIR) and removes a link
    // itself, never what it points to.
    if (::unlinkat(at.dirFd, at.rel.c_str(), 0) != 0) return ErrorCode(errno);
    return 0;
}

int RemovePathEntry(std::string_view path) {
    InitFileApi();
    if (path.empty()) return 0;
    if (IsRootPath(path)) return -1;
    SetFileAttr(path, kFileAttributeNormal);
    std::string_view p = path;
    if (p.back() == kPathSeparator) p.remove_suffix(1);
    if (p.empty()) return -1;
    const AtPath at = ResolveAt(p);
    if (!at.ok) return ErrorCode(errno);
    if (::unlinkat(at.dirFd, at.rel.c_str(), 0) != 0) return ErrorCode(errno);
    return 0;
}

int RemoveEmptyFolder(std::string_view path) {
    InitFileApi();
    const std::string_view p = StripTrailingSeparators(path);
    if (p.empty()) return kErrorFileNotFound;
    if (IsRootPath(p)) return -1;
    const AtPath at = ResolveAt(p);
    if (!at.ok) return ErrorCode(errno);
    // rmdir refuses a link (ENOTDIR) and a folder that is not empty.
    if (::unlinkat(at.dirFd, at.rel.c_str(), AT_REMOVEDIR) != 0) return ErrorCode(errno);
    return 0;
}

int OpenForReading(std::string_view path) {
    InitFileApi();
    if (path.empty()) return -1;
    if (const auto memory = FindMemoryFile(path)) {
        // A reader that wants a descriptor gets an anonymous memory one, never a file on disk.
        const int fd = ::memfd_create("orvandel-entry", MFD_CLOEXEC);
        if (fd < 0) return -1;
        const std::string& bytes = memory->bytes;
        for (size_t done = 0; done < bytes.size();) {
            const ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                ::close(fd);
                return -1;
            }
            done += static_cast<size_t>(w);
        }
        ::lseek(fd, 0, SEEK_SET);
        return fd;
    }
    const AtPath at = ResolveAt(path);
    if (!at.ok) return -1;
    // Non-blocking open so that a fifo cannot hang the caller; only regular files
    // are handed out.
    const int fd = ::openat(at.dirFd, at.rel.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

std::string SourceFileProblem(std::string_view path) {
    std::uint64_t size = 0;
    if (std::string problem = SourceFileKindProblem(path, size); !problem.empty()) return problem;
    if (FindMemoryFile(path)) return {};
    const AtPath at = ResolveAt(path);
    if (!at.ok) return std::strerror(errno);
    const int fd = ::openat(at.dirFd, at.rel.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return std::strerror(errno);
    ::close(fd);
    return {};
}

std::string SourceFileKindProblem(std::string_view path, std::uint64_t& size) {
    InitFileApi();
    size = 0;
    if (path.empty()) return std::strerror(ENOENT);
    if (const auto memory = FindMemoryFile(path)) {
        size = memory->bytes.size();
        return {};
    }
    const AtPath at = ResolveInKeptFolder(path);
    if (!at.ok) return std::strerror(errno);
    struct stat st {};
    if (::fstatat(at.dirFd, at.rel.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::strerror(errno);
    if (S_ISLNK(st.st_mode)) return "symbolic link";
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    size = std::uint64_t(st.st_size);
    return {};
}

std::uint32_t GetFileAttrBeside(std::string_view path) {
    InitFileApi();
    if (path.empty()) return kInvalidFileAttributes;
    if (FindMemoryFile(path)) return kFileAttributeNormal;
    const AtPath at = ResolveInKeptFolder(path);
    if (!at.ok) return kInvalidFileAttributes;
    return AttributesAt(at.dirFd, at.rel.c_str());
}

int OpenSourceFile(std::string_view path) {
    InitFileApi();
    const AtPath at = ResolveInKeptFolder(path);
    if (!at.ok) return -1;
    return ::openat(at.dirFd, at.rel.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
}

std::string FolderListingProblem(std::string_view folder) {
    InitFileApi();
    const std::string_view p = StripTrailingSeparators(folder);
    if (p.empty()) return std::strerror(ENOENT);
    const AtPath at = ResolveAt(p);
    if (!at.ok) return std::strerror(errno);
    const int fd = ::openat(at.dirFd, at.rel.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno);
    ::close(fd);
    return {};
}

}  // namespace files
