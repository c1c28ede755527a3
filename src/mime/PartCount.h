#pragma once
// Counts the MIME parts of a message file without parsing it, so that a
// message too wide to store is refused before GMime builds its tree (about
// 2 KB of memory a part).
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace mime {

// The delimiter lines ("--BOUNDARY", the closing ones not counted) of the
// boundaries the file declares ("boundary=..."): for a well-formed message,
// the number of its parts at every level. A count of at most `enough` is
// returned without looking for the declarations, as an upper bound. Reads the
// file at `fd` from `start`; a read error ends the count where it happened.
size_t CountMimeParts(int fd, uint64_t start, uint64_t size, size_t enough);
// The same for a message held in memory.
size_t CountMimeParts(std::string_view bytes, uint64_t start, size_t enough);

}  // namespace mime
