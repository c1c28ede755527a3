#pragma once
// A mailbox larger than one PST should hold goes on in further PSTs beside the
// first: "NAME.pst", "NAME (2).pst", "NAME (3).pst", ... each a complete PST.
#include <cstdint>
#include <string>

namespace engine {

// Outlook will not grow a PST past 50 GB (its default since Outlook 2010); the
// rest is room for the indexes a commit writes.
inline constexpr uint64_t kDefaultMaxPstBytes = uint64_t(45) << 30;

// The path of part `number` (2, 3, ...) of the PST at `firstPath`: " (N)" before a
// ".pst" extension (any case), else at the end.
std::string PstPartPath(const std::string& firstPath, int number);

// The store's display name in part `number`: the first part's name and " (N)".
std::string PstPartDisplayName(const std::string& firstName, int number);

// "45G", "5M", "512K", "1000" (bytes), "0": the size in bytes. False for anything
// else. K, M, G and T are powers of 1024; a trailing "B" is allowed.
bool ParsePstSize(const std::string& text, uint64_t& bytes);

}  // namespace engine
