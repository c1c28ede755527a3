#pragma once
// The set of source paths a run has imported, kept as 16-byte digests instead
// of the paths: a mailbox of a million messages must not hold a million paths
// for the whole run. Two independent 64-bit hashes make a false match (a file
// taken for imported, so deleted unconverted) as likely as a random 128-bit
// collision.
#include <cstdint>
#include <string_view>

#include "store/SpilledKeySet.h"

namespace engine {

class ImportedPaths {
public:
    void Add(std::string_view path);
    bool Contains(std::string_view path) const;
    // Forgets a path (a message a failed commit lost); rare, so it may cost a copy.
    void Remove(std::string_view path);

private:
    struct Digest {
        uint64_t a, b;
        auto operator<=>(const Digest&) const = default;
    };
    static Digest Of(std::string_view path);
    store::SpilledKeySet<Digest> digests_;  // about 2 bytes of memory a path
};

}  // namespace engine
