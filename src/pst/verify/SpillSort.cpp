// The temporary file behind SpillSort.
#include "SpillSort.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace pst::verify::detail {

TempFile::TempFile() {
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/orvandel-verify-XXXXXX";
    fd_ = ::mkstemp(path.data());
    if (fd_ >= 0) ::unlink(path.c_str());
}

TempFile::~TempFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool TempFile::Append(const void* bytes, uint64_t size, uint64_t& at) {
    const auto* p = static_cast<const char*>(bytes);
    uint64_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd_, p + done, size - done, off_t(end_ + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A partial run is never read: the next append starts at the same place.
            return false;
        }
        done += uint64_t(n);
    }
    at = end_;
    end_ += size;
    return true;
}

bool TempFile::ReadAt(void* bytes, uint64_t size, uint64_t at) const {
    auto* p = static_cast<char*>(bytes);
    uint64_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd_, p + done, size - done, off_t(at + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += uint64_t(n);
    }
    return true;
}

}  // namespace pst::verify::detail
