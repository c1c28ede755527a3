#include "FileSink.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Error.h"

namespace pst::ndb {
namespace {
constexpr size_t kBufferCapacity = 1 << 20;  // small enough to stay in cache while blocks are encoded into it
// Written runs this long go to the disk at once, while the next are encoded,
// instead of all waiting for the commit's fsync.
constexpr uint64_t kWritebackRun = 8 << 20;
}

FileSink::FileSink(const std::string& path) : path_(path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) throw PstError("The file \"" + path + "\" already exists; it is left untouched");
    // The file is made without a name in its folder and gets one with its first
    // complete commit (Publish): a run stopped before leaves nothing under the
    // name, never a file that is not a PST. Opened for reading too: pages of
    // the B-trees are read back once out of the cache.
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644);
    if (fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // A file system without unnamed files: named at once, as before.
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        published_ = true;
    }
    if (fd_ < 0) {
        if (errno == EEXIST) throw PstError("The file \"" + path + "\" already exists; it is left untouched");
        Fail("cannot create");
    }
    buffer_.reset(new uint8_t[kBufferCapacity]);
}

FileSink::FileSink(const std::string& path, Existing) : path_(path) {
    // No link following: the file named is the file changed.
    fd_ = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) Fail("cannot open");
    struct stat st {};
    if (::fstat(fd_, &st) != 0) Fail("cannot open");
    if (!S_ISREG(st.st_mode)) throw PstError("\"" + path + "\" is not a regular file");
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0)
        throw PstError("The file \"" + path + "\" is in use by another program; it is left untouched");
    published_ = true;  // it has its name already
    buffer_.reset(new uint8_t[kBufferCapacity]);
}

bool FileSink::Read(uint64_t offset, uint8_t* data, size_t size) {
    Flush();
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::pread(fd_, data + done, size - done, off_t(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw PstError("cannot read \"" + path_ + "\": " + std::strerror(errno));
        }
        if (n == 0) return false;
        done += size_t(n);
    }
    return true;
}

uint64_t FileSink::Size() {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) throw PstError("cannot read \"" + path_ + "\": " + std::strerror(errno));
    return uint64_t(st.st_size);
}

void FileSink::Publish() {
    if (published_) return;
    Flush();
    // linkat never replaces: a file that appeared under the name meanwhile stays.
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path_.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        const int err = errno;
        if (err == EEXIST) {
            failed_ = true;
            reason_ = "another file took its name";
            throw PstError("The file \"" + path_ + "\" appeared while it was being written; it is left untouched");
        }
        if (err != ENOENT || ::linkat(fd_, "", AT_FDCWD, path_.c_str(), AT_EMPTY_PATH) != 0) {
            errno = err;
            Fail("cannot name");
        }
    }
    published_ = true;
    // The name itself must survive a crash as well as the content.
    const auto slash = path_.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path_.substr(0, slash);
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

FileSink::~FileSink() {
    if (fd_ >= 0) ::close(fd_);
}

void FileSink::Fail(const char* what) {
    failed_ = true;
    reason_ = std::strerror(errno);
    throw PstError(std::string(what) + " \"" + path_ + "\": " + reason_);
}

std::string FileSink::EarlierFailure() const {
    // The first cause, so that every later refusal still says why (a full disk).
    return "an earlier write to \"" + path_ + "\" failed" + (reason_.empty() ? "" : " (" + reason_ + ")") +
           "; it keeps its last committed state";
}

void FileSink::PWriteAll(uint64_t offset, const uint8_t* data, size_t size) {
    if (failed_) throw PstError(EarlierFailure());
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::pwrite(fd_, data + done, size - done, off_t(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail("cannot write");
        }
        done += size_t(n);
    }
    StartWriteback(offset, size);
}

// Only a hint: the commit's fsync is what makes data durable, and has less
// left to wait for. Scattered small writes (headers, maps) are left to it.
void FileSink::StartWriteback(uint64_t offset, size_t size) {
    if (offset != runEnd_) runStart_ = offset;
    runEnd_ = offset + size;
    if (runEnd_ - runStart_ < kWritebackRun) return;
    ::sync_file_range(fd_, off_t(runStart_), off_t(runEnd_ - runStart_), SYNC_FILE_RANGE_WRITE);
    runStart_ = runEnd_;
}

uint8_t* FileSink::Reserve(uint64_t offset, size_t size) {
    if (used_ > 0 && (offset != bufferStart_ + used_ || used_ + size > kBufferCapacity)) Flush();
    if (used_ == 0) bufferStart_ = offset;
    uint8_t* p = buffer_.get() + used_;
    used_ += size;
    return p;
}

void FileSink::Write(uint64_t offset, const uint8_t* data, size_t size) {
    if (size > kBufferCapacity / 2) {
        Flush();
        PWriteAll(offset, data, size);
        return;
    }
    std::memcpy(Reserve(offset, size), data, size);
}

void FileSink::Flush() {
    if (used_ == 0) return;
    PWriteAll(bufferStart_, buffer_.get(), used_);
    used_ = 0;
}

void FileSink::Sync() {
    Flush();
    if (::fsync(fd_) != 0) Fail("cannot flush");
}

void FileSink::Resize(uint64_t size) {
    Flush();
    if (::ftruncate(fd_, off_t(size)) != 0) Fail("cannot extend");
}

void FileSink::Close() {
    if (fd_ < 0) return;
    Flush();
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) Fail("cannot close");
}

}  // namespace pst::ndb
