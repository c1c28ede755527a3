#pragma once
// Files held in memory under a path: an archive's entries, read once from the
// compressed data and handed to the readers without going through the disk.
// The file operations (FileApi) and the readers above this layer look here
// first, so to them a memory file is a regular file of its path; removing it
// (RemoveFile) forgets it. Safe to use from several threads.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace files {

struct MemoryFile {
    std::string bytes;
    std::int64_t mtime = 0;  // seconds since 1970 as the archive recorded them; 0: unknown
};

// Makes `path` a memory file, replacing one of that path.
void PutMemoryFile(const std::string& path, std::shared_ptr<const MemoryFile> file);
// The memory file at `path`, or null; a lookup costs one atomic load while there are none.
std::shared_ptr<const MemoryFile> FindMemoryFile(std::string_view path);
// Forgets the memory file at `path` (its readers keep their copy); false when there was none.
bool DropMemoryFile(std::string_view path);

}  // namespace files
