#pragma once
// The output file: positioned writes with one sequential write-back buffer, so
// that appending blocks costs one write(2) per megabyte, not one per block.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace pst::ndb {

class FileSink {
public:
    // Creates the file, still without its name where the file system allows;
    // fails (PstError naming it) if anything exists at the path.
    explicit FileSink(const std::string& path);
    struct Existing {};
    // Opens an existing regular file for reading and writing, locked against a
    // second writer; fails (PstError naming it) otherwise.
    FileSink(const std::string& path, Existing);
    ~FileSink();
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    void Write(uint64_t offset, const uint8_t* data, size_t size);
    // Space for `size` bytes (at most 64 KiB) at `offset` in the write buffer,
    // to be filled in place before the next call.
    uint8_t* Reserve(uint64_t offset, size_t size);
    void Flush();
    // Reads bytes already in the file (pending writes are flushed first);
    // false when the file ends before them.
    bool Read(uint64_t offset, uint8_t* data, size_t size);
    uint64_t Size();
    void Sync();  // Flush + fsync
    void Resize(uint64_t size);
    // Gives the file its name (once, after its first complete commit); fails if
    // something took the name meanwhile, which is left untouched.
    void Publish();
    const std::string& Path() const { return path_; }
    // After a failed write nothing more is written: the file stays as of the
    // last complete commit.
    bool Failed() const { return failed_; }
    // False while the file has no name yet (see Publish): nothing can read it.
    bool Published() const { return published_; }
    // The error for anything asked after a failed write, naming its first cause.
    std::string EarlierFailure() const;
    void Close();

private:
    void Fail(const char* what);
    void PWriteAll(uint64_t offset, const uint8_t* data, size_t size);
    void StartWriteback(uint64_t offset, size_t size);

    std::string path_;
    int fd_ = -1;
    bool failed_ = false;
    bool published_ = false;
    std::string reason_;  // the system's reason for the first failure
    std::unique_ptr<uint8_t[]> buffer_;  // not zero-filled: every byte is written before use
    size_t used_ = 0;
    uint64_t bufferStart_ = 0;
    uint64_t runStart_ = 0, runEnd_ = 0;  // sequential bytes written and not yet sent to the disk
};

}  // namespace pst::ndb
