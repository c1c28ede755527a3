#pragma once
// File operations on queued paths: listing, attributes, existence tests and
// deletion. They work with paths of any length (beyond PATH_MAX on POSIX) and
// names of any bytes. No operation throws or prints; failures come back as
// results (-1 attributes, -1 handle, false, an error code).
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "files/Paths.h"
#include "files/PlatformProbe.h"

namespace files {

// Attribute words follow the Windows values so that the tests of the callers read
// the same on every platform.
inline constexpr std::uint32_t kFileAttributeReadOnly = 0x1;
inline constexpr std::uint32_t kFileAttributeHidden = 0x2;
inline constexpr std::uint32_t kFileAttributeDirectory = 0x10;
inline constexpr std::uint32_t kFileAttributeDevice = 0x40;  // fifo, socket, device node
inline constexpr std::uint32_t kFileAttributeNormal = 0x80;
inline constexpr std::uint32_t kFileAttributeReparsePoint = 0x400;  // symbolic link
// Result of an attribute read that failed: all bits set (as the signed value -1).
inline constexpr std::uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;

// Error codes: the platform's error number (errno on POSIX) of the failed call,
// or -1 when that number is 0.
inline constexpr int kErrorFileNotFound = 2;  // ENOENT and ERROR_FILE_NOT_FOUND agree

namespace detail { struct Listing; }

// State of one directory listing, owned by the caller.
struct FindEntry {
    FindEntry();
    ~FindEntry();
    FindEntry(FindEntry&&) noexcept;
    FindEntry& operator=(FindEntry&&) noexcept;
    FindEntry(const FindEntry&) = delete;
    FindEntry& operator=(const FindEntry&) = delete;

    std::int64_t handle = -1;            // -1: no listing running
    std::string name;                    // current entry's name, no NUL
    std::uint32_t attributes = 0;        // current entry's attribute word

    std::unique_ptr<detail::Listing> listing;  // implementation state
};

// Starts a listing of a search specification: a folder path followed by a
// pattern ("*", "*.*", "*.eml", "?"), or a single path. Within one folder the
// entries come in byte order of their names, "." and ".." included when the
// pattern matches them. Returns the handle, or -1 when no listing could be
// started (missing or unreadable folder, nothing matches); then the entry's
// fields are left as they were.
std::int64_t FindFirstEntry(std::string_view searchSpec, FindEntry& entry);

// Loads the next entry; non-zero when one was loaded. Returns 0 at the end or on
// failure and then closes the listing itself: the caller must not close it again.
int FindNextEntry(FindEntry& entry);

// Closes the listing unless none is open; true when closed or nothing to close.
bool CloseFind(FindEntry& entry);

// The attribute word of a path (the entry itself: a symbolic link is reported
// with kFileAttributeReparsePoint, plus kFileAttributeDirectory when it points to
// a folder), or kInvalidFileAttributes when it cannot be read.
std::uint32_t GetFileAttr(std::string_view path);

// Sets the attribute word (on POSIX: read-only clears the owner/group/other write
// bits, anything else restores the owner write bit). 0 or the error code.
int SetFileAttr(std::string_view path, std::uint32_t attributes);

// True when the path names an existing entry that is not a folder (a symbolic
// link to a file counts as a file, a link to a folder as a folder).
bool FileExists(std::string_view path);

// The size of the file at `path` in bytes; 0 when it cannot be read.
std::uint64_t FileSizeOf(std::string_view path);

// True when the path names an existing folder; a trailing separator and
// surrounding spaces are allowed.
bool FolderExists(std::string_view path);

// Deletes a file, clearing read-only first. A symbolic link is removed itself,
// never its target. A path ending with the separator goes to RemovePathEntry.
// 0 when deleted, else the error code (kErrorFileNotFound for a missing file).
int RemoveFile(std::string_view path);

// For a path ending with the separator: 0 for an empty path (nothing done), -1
// for a root (nothing deleted), else deletes the entry without the trailing
// separator as a file: 0 or the error code. A folder is never removed.
int RemovePathEntry(std::string_view path);

// Removes an empty folder (not a symbolic link, not a non-empty folder): 0 or
// the error code. Used to clean up folders left without files.
int RemoveEmptyFolder(std::string_view path);

// Opens a file for reading, whatever the length of its path; a file descriptor
// (close it with close()) or -1. For readers that cannot take long paths.
int OpenForReading(std::string_view path);

// Why a file of an export cannot be read as the source of an item, or "" when
// it can: "symbolic link" (never followed: it may point anywhere outside the
// mailbox), "not a regular file", or the system's reason for failing to open
// it for reading ("Permission denied", ...).
std::string SourceFileProblem(std::string_view path);
// The same without opening it, for a reader that opens it itself and gives its
// own reason: only what one lstat tells; `size` gets the file's size.
// The folder of the file is kept open on the calling thread for the next ones
// in it (GetFileAttrBeside, OpenSourceFile): a folder replaced meanwhile is not seen.
std::string SourceFileKindProblem(std::string_view path, std::uint64_t& size);
// GetFileAttr for a file in the folder just looked at (a ".meta" beside its item).
std::uint32_t GetFileAttrBeside(std::string_view path);
// Opens a source file to read it, never through a link in its place
// (O_NOFOLLOW: errno ELOOP) and without waiting on a fifo (O_NONBLOCK); an fd or
// -1 with errno.
int OpenSourceFile(std::string_view path);

// Why a folder cannot be opened for listing (the system's reason), or "" when it can.
std::string FolderListingProblem(std::string_view folder);

}  // namespace files
