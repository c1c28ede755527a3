#include "engine/ImportedPaths.h"

#include <functional>

namespace engine {

ImportedPaths::Digest ImportedPaths::Of(std::string_view path) {
    // FNV-1a beside the library's string hash (a different function, not a reseed).
    uint64_t fnv = 0xcbf29ce484222325ull;
    for (unsigned char c : path) {
        fnv ^= c;
        fnv *= 0x100000001b3ull;
    }
    return {fnv, uint64_t(std::hash<std::string_view>{}(path))};
}

void ImportedPaths::Add(std::string_view path) { digests_.insert(Of(path)); }

void ImportedPaths::Remove(std::string_view path) { digests_.erase(Of(path)); }

bool ImportedPaths::Contains(std::string_view path) const { return digests_.count(Of(path)) > 0; }

}  // namespace engine
