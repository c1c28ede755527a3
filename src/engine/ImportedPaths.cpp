#include "engine/ImportedPaths.h"

#include <algorithm>
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

void ImportedPaths::Add(std::string_view path) {
    const Digest d = Of(path);
    if (std::binary_search(sorted_.begin(), sorted_.end(), d)) return;
    recent_.insert(d);
    if (recent_.size() < std::max<size_t>(4096, sorted_.size() / 4)) return;
    const size_t old = sorted_.size();
    sorted_.insert(sorted_.end(), recent_.begin(), recent_.end());
    std::sort(sorted_.begin() + std::ptrdiff_t(old), sorted_.end());
    std::inplace_merge(sorted_.begin(), sorted_.begin() + std::ptrdiff_t(old), sorted_.end());
    recent_.clear();
}

void ImportedPaths::Remove(std::string_view path) {
    const Digest d = Of(path);
    recent_.erase(d);
    const auto it = std::lower_bound(sorted_.begin(), sorted_.end(), d);
    if (it != sorted_.end() && *it == d) sorted_.erase(it);
}

bool ImportedPaths::Contains(std::string_view path) const {
    const Digest d = Of(path);
    return recent_.count(d) > 0 || std::binary_search(sorted_.begin(), sorted_.end(), d);
}

}  // namespace engine
