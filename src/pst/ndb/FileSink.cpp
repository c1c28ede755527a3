#include "FileSink.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Error.h"

namespace pst::ndb {
namespace {
constexpr size_t kBufferCapacity = 4 << 20;
}

FileSink::FileSink(const std::string& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        if (errno == EEXIST) throw PstError("The file \"" + path + "\" already exists; it is left untouched");
        Fail("cannot create");
    }
    buffer_.reserve(kBufferCapacity);
}

FileSink::~FileSink() {
    if (fd_ >= 0) ::close(fd_);
}

void FileSink::Fail(const char* what) const {
    throw PstError(std::string(what) + " \"" + path_ + "\": " + std::strerror(errno));
}

void FileSink::Write(uint64_t offset, const uint8_t* data, size_t size) {
    if (!buffer_.empty() && offset != bufferStart_ + buffer_.size()) Flush();
    if (buffer_.empty()) bufferStart_ = offset;
    if (size >= kBufferCapacity) {
        Flush();
        bufferStart_ = offset;
        buffer_.assign(data, data + size);
        Flush();
        return;
    }
    if (buffer_.size() + size > kBufferCapacity) {
        Flush();
        bufferStart_ = offset;
    }
    buffer_.insert(buffer_.end(), data, data + size);
}

void FileSink::Flush() {
    size_t done = 0;
    while (done < buffer_.size()) {
        ssize_t n = ::pwrite(fd_, buffer_.data() + done, buffer_.size() - done, off_t(bufferStart_ + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail("cannot write");
        }
        done += size_t(n);
    }
    buffer_.clear();
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
