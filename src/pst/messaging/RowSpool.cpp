#include "RowSpool.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pst/ndb/Bytes.h"
#include "pst/ndb/Error.h"

namespace pst {
namespace {

constexpr size_t kWriteChunk = 1 << 16;
constexpr size_t kReadWindow = 1 << 16;

}  // namespace

int OpenUnlinkedTemp(const std::string& stem) {
    const char* dir = std::getenv("TMPDIR");
    std::string base = dir && *dir ? dir : "/tmp";
#ifdef O_TMPFILE
    if (int fd = ::open(base.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600); fd >= 0) return fd;
#endif
    std::string tmpl = base + "/" + stem + "-XXXXXX";
    int fd = ::mkstemp(tmpl.data());
    if (fd < 0) throw PstError("cannot create a temporary file in " + base + ": " + std::strerror(errno));
    ::unlink(tmpl.c_str());
    return fd;
}

RowSpool::RowSpool() : fd_(OpenUnlinkedTemp("orvandel-rows")) { pending_.reserve(kWriteChunk); }

RowSpool::~RowSpool() {
    if (fd_ >= 0) ::close(fd_);
}

uint64_t RowSpool::Append(const ltp::TcRow& row) {
    uint64_t offset = end_ + pending_.size();
    size_t size = 4 + 4 + 2 + row.cells.size() + 2;
    for (auto& [ib, v] : row.vars) size += 6 + v.size();
    ndb::Bytes& b = pending_;
    ndb::Append32(b, uint32_t(size));
    ndb::Append32(b, row.rowId);
    ndb::Append16(b, uint16_t(row.cells.size()));
    b.insert(b.end(), row.cells.begin(), row.cells.end());
    ndb::Append16(b, uint16_t(row.vars.size()));
    for (auto& [ib, v] : row.vars) {
        ndb::Append16(b, ib);
        ndb::Append32(b, uint32_t(v.size()));
        b.insert(b.end(), v.begin(), v.end());
    }
    if (pending_.size() >= kWriteChunk) FlushWrites();
    return offset;
}

void RowSpool::FlushWrites() {
    size_t done = 0;
    while (done < pending_.size()) {
        ssize_t n = ::pwrite(fd_, pending_.data() + done, pending_.size() - done, off_t(end_ + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw PstError(std::string("cannot write the temporary row file: ") + std::strerror(errno));
        }
        done += size_t(n);
    }
    end_ += pending_.size();
    pending_.clear();
}

const uint8_t* RowSpool::Fetch(uint64_t offset, size_t size) {
    if (offset + size > end_) FlushWrites();
    if (offset >= cacheStart_ && offset + size <= cacheStart_ + cache_.size()) return &cache_[offset - cacheStart_];
    cache_.resize(std::max(kReadWindow, size));
    size_t got = 0;
    while (got < cache_.size()) {
        ssize_t n = ::pread(fd_, cache_.data() + got, cache_.size() - got, off_t(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw PstError(std::string("cannot read the temporary row file: ") + std::strerror(errno));
        if (n == 0) break;
        got += size_t(n);
    }
    if (got < size) throw PstError("temporary row file is short");
    cache_.resize(got);
    cacheStart_ = offset;
    return cache_.data();
}

void RowSpool::Read(uint64_t offset, ltp::TcRow& row) {
    uint32_t size = ndb::Get32(Fetch(offset, 4));
    const uint8_t* p = Fetch(offset, size);
    row.rowId = ndb::Get32(p + 4);
    uint16_t cells = ndb::Get16(p + 8);
    row.cells.assign(p + 10, p + 10 + cells);
    size_t at = 10 + cells;
    uint16_t vars = ndb::Get16(p + at);
    at += 2;
    row.vars.resize(vars);
    for (uint16_t i = 0; i < vars; ++i) {
        row.vars[i].first = ndb::Get16(p + at);
        uint32_t len = ndb::Get32(p + at + 2);
        row.vars[i].second.assign(p + at + 6, p + at + 6 + len);
        at += 6 + len;
    }
}

}  // namespace pst
