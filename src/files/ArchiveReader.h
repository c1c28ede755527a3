#pragma once
// Reading a mailbox export archive (.tgz / .tar.gz, .tar, .zip) as it is, with
// libarchive: the file entries in archive order, and each entry's bytes, in one
// forward pass over the compressed data. Never throws.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct archive;

namespace files {

// True for a path whose name ends in a suffix the export archives have.
bool IsArchivePath(std::string_view path);
// The name of the archive without its suffix ("alice.tgz" -> "alice"); the name
// itself when it has none of them.
std::string ArchiveBaseName(std::string_view fileName);
// A folder that holds export archives and nothing else (names starting with "."
// aside) is one mailbox exported in parts: its archives in byte order of their
// names. Empty for any other folder. Links are not followed.
std::vector<std::string> ArchivePartsIn(const std::string& folder);

class ArchiveReader {
public:
    ArchiveReader();
    ~ArchiveReader();
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    // False (error() says why) when the file cannot be opened as an archive.
    bool Open(const std::string& path);
    // Moves to the next regular-file entry (folders, links and devices are
    // passed over); false at the end or at damage (then damaged() is true and
    // error() says what libarchive found).
    bool Next();
    // The current entry's name as stored, without a leading "./".
    const std::string& Name() const { return name_; }
    // The current entry's modification time as recorded (seconds since 1970); 0 when none is.
    std::int64_t MTime() const { return mtime_; }
    // Writes the current entry's bytes, or the rest of them after the `head`
    // ReadEntry read already, to a new file at `path` (which must not exist),
    // with the entry's time as extracting gives it; false when the data is cut
    // off or damaged, or the file cannot be written.
    bool WriteTo(const std::string& path, const std::string& head = {});
    // Reads the current entry into `bytes`. TooLarge: it holds more than `limit`
    // bytes, the first of which are in `bytes` (WriteTo writes the rest after them).
    enum class Entry { Read, TooLarge, Damaged };
    Entry ReadEntry(std::string& bytes, size_t limit);
    // The current entry's bytes, at most `limit` of them (the rest is passed
    // over); false when the data is cut off or damaged.
    bool ReadText(std::string& text, size_t limit);
    // Entries passed by Next() so far (file entries and others).
    int EntriesRead() const { return entries_; }
    // Bytes of the archive file consumed so far (compressed data, for progress).
    std::uint64_t BytesRead() const;
    bool damaged() const { return damaged_; }
    const std::string& error() const { return error_; }

    struct Gzip;  // our own gzip reading: everything up to a cut is delivered

private:
    std::unique_ptr<Gzip> gzip_;
    archive* a_ = nullptr;
    std::string name_;
    std::string error_;
    std::vector<char> buffer_;
    std::int64_t mtime_ = 0;
    int entries_ = 0;
    bool damaged_ = false;

    void NoteDamage();
};

}  // namespace files
