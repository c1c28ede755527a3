#pragma once
// Temporary files and folders of the conversion, and new files created without
// overwriting or following anything that is there.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace items {

// The system's temporary folder with a trailing "/" ($TMPDIR, else /tmp), or ""
// when it is not a usable folder.
std::string TempFolderPath();
// Temporary names say whose they are: "orvandel-<process id>-<prefix>XXXXXX".
// Creates a new, empty file with such a unique name in the temporary folder
// (mkstemp: no races) and returns its path, or "" on failure.
std::string NewTempFileName(const std::string& prefix);
// Creates a new, private folder of such a name in the temporary folder
// (mkdtemp) and returns its path with a trailing "/", or "".
std::string NewTempFolder(const std::string& prefix);
// Removes the temporary files and folders a killed run left: those of this
// user whose owning process is gone. Returns how many were removed.
int RemoveStaleTempFiles();
// True for an existing regular file; false for symbolic links (an export's
// files are read only where they are, never through a link), folders, pipes,
// devices, missing paths and the empty text.
bool IsExistingFile(const std::string& path);
// For a reader that needs a file on disk: the memory file (files::MemoryFiles)
// at `path` written to a new temporary file, whose path is returned (the caller
// removes it); "" when `path` is no memory file or it cannot be written.
std::string MemoryFileOnDisk(const std::string& path);
// The meta path with every ".meta" removed: x.appt.meta -> x.appt.
std::string CompanionPath(const std::string& metaPath);
// A file name that is safe to create in a folder: no path components, no "..",
// no control characters, not empty, at most 200 bytes (UTF-8 kept whole).
std::string SanitizeFileName(const std::string& name);
// Creates a new file in folder named after `name` (sanitized); a name in use
// gets " (2)", " (3)", ... before its extension. Never overwrites or follows an
// existing file. Returns the path and an open descriptor, or ("", -1).
std::pair<std::string, int> CreateNewFile(const std::string& folder, const std::string& name);
// CreateNewFile for a name already sanitized, trying the numbers from `next` on;
// `next` is left at the number after the one used, so a caller that names many
// files alike does not try every name in use again.
std::pair<std::string, int> CreateNumberedFile(const std::string& folder, const std::string& clean, int& next);
// CreateNewFile, then writes bytes into it. Returns the path, or "" on failure.
std::string SaveNewFile(const std::string& folder, const std::string& name, const std::vector<uint8_t>& bytes);
// Removes a file and, when `folder` is given, the then-empty folder; errors ignored.
void RemoveTempFile(const std::string& path);
void RemoveTempFolder(const std::string& folder);

}  // namespace items
