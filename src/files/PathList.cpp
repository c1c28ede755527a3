#include "files/PathList.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace files {
namespace {

constexpr std::size_t kWriteChunk = 1 << 16;
constexpr std::size_t kReadWindow = 1 << 16;

int OpenTemporary() {
    const char* dir = std::getenv("TMPDIR");
    std::string base = dir && *dir ? dir : "/tmp";
#ifdef O_TMPFILE
    int fd = ::open(base.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
#endif
    std::string name = base + "/orvandel-" + std::to_string(::getpid()) + "-paths-XXXXXX";
    fd = ::mkstemp(name.data());
    if (fd >= 0) ::unlink(name.c_str());
    return fd;
}

}  // namespace

PathList::PathList(const std::vector<std::string>& paths) {
    for (const auto& p : paths) push_back(p);
}

PathList::~PathList() {
    if (fd_ >= 0) ::close(fd_);
}

PathList::PathList(PathList&& other) noexcept { *this = std::move(other); }

PathList& PathList::operator=(PathList&& other) noexcept {
    if (this == &other) return *this;
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    fileTried_ = std::exchange(other.fileTried_, false);
    count_ = std::exchange(other.count_, 0);
    index_ = std::move(other.index_);
    written_ = std::exchange(other.written_, 0);
    pending_ = std::move(other.pending_);
    cursorIndex_ = cursorOffset_ = 0;
    window_.clear();
    windowStart_ = 0;
    other.clear();
    return *this;
}

void PathList::push_back(std::string_view path) {
    if (count_ % kStride == 0) index_.push_back(written_ + pending_.size());
    const uint32_t n = uint32_t(path.size());
    char len[4];
    std::memcpy(len, &n, 4);
    pending_.append(len, 4);
    pending_.append(path.data(), path.size());
    ++count_;
    if (pending_.size() >= kWriteChunk) Flush();
}

void PathList::Flush() {
    if (!fileTried_) {
        fileTried_ = true;
        fd_ = OpenTemporary();
    }
    if (fd_ < 0) return;  // kept in memory
    std::size_t done = 0;
    while (done < pending_.size()) {
        const ssize_t w = ::pwrite(fd_, pending_.data() + done, pending_.size() - done, off_t(written_ + done));
        if (w < 0 && errno == EINTR) continue;
        // A full disk: the bytes stay in memory, and the next flush tries again.
        if (w <= 0) return;
        done += std::size_t(w);
    }
    written_ += pending_.size();
    pending_.clear();
}

void PathList::clear() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    fileTried_ = false;
    count_ = 0;
    std::vector<uint64_t>().swap(index_);
    written_ = 0;
    std::string().swap(pending_);
    cursorIndex_ = cursorOffset_ = 0;
    std::string().swap(window_);
    windowStart_ = 0;
}

const char* PathList::Bytes(uint64_t offset, std::size_t size) const {
    if (offset >= written_) return pending_.data() + (offset - written_);
    if (offset >= windowStart_ && offset + size <= windowStart_ + window_.size())
        return window_.data() + (offset - windowStart_);
    const std::size_t want = std::size_t(std::min<uint64_t>(std::max(size, kReadWindow), written_ - offset));
    window_.resize(want);
    std::size_t done = 0;
    while (done < want) {
        const ssize_t r = ::pread(fd_, window_.data() + done, want - done, off_t(offset + done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) throw std::runtime_error("the list of queued files cannot be read back: " +
                                             std::string(r < 0 ? std::strerror(errno) : "file cut short"));
        done += std::size_t(r);
    }
    windowStart_ = offset;
    return window_.data();
}

std::string PathList::operator[](std::size_t index) const {
    if (index >= count_) throw std::out_of_range("PathList index");
    std::size_t at;
    uint64_t offset;
    if (index >= cursorIndex_ && index - cursorIndex_ < kStride) {
        at = cursorIndex_;
        offset = cursorOffset_;
    } else {
        at = index / kStride * kStride;
        offset = index_[index / kStride];
    }
    for (;;) {
        uint32_t n;
        std::memcpy(&n, Bytes(offset, 4), 4);
        if (at == index) {
            std::string path(Bytes(offset + 4, n), n);
            cursorIndex_ = at;
            cursorOffset_ = offset;
            return path;
        }
        offset += 4 + n;
        ++at;
    }
}

}  // namespace files
