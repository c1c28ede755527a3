#include "SourceIndex.h"

#include <algorithm>

namespace store {
namespace {

// Orvandel's own property set {DCC63DEC-220C-48E1-AC74-EB792B13F691}.
const pst::Guid& OrvandelPropertySet() {
    static const pst::Guid g = pst::MakeGuid(0xDCC63DEC, 0x220C, 0x48E1, {0xAC, 0x74, 0xEB, 0x79, 0x2B, 0x13, 0xF6, 0x91});
    return g;
}

}  // namespace

const pst::NamedProperty& SourceProperty() {
    static const pst::NamedProperty p{OrvandelPropertySet(), true, 0, "OrvandelSource"};
    return p;
}

const pst::NamedProperty& SourceIndexProperty() {
    static const pst::NamedProperty p{OrvandelPropertySet(), true, 0, "OrvandelSourceIndex"};
    return p;
}

SourceIndex::Digest SourceIndex::Of(std::string_view source) {
    // FNV-1a and a multiply-xorshift hash (the finaliser of SplitMix64 over
    // 8-byte words): two unrelated functions, both defined bit for bit.
    uint64_t fnv = 0xcbf29ce484222325ull;
    for (unsigned char c : source) {
        fnv ^= c;
        fnv *= 0x100000001b3ull;
    }
    auto mix = [](uint64_t z) {
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    };
    uint64_t h = 0x9e3779b97f4a7c15ull ^ source.size();
    for (size_t i = 0; i < source.size(); i += 8) {
        uint64_t word = 0;
        for (size_t j = 0; j < 8 && i + j < source.size(); ++j) word |= uint64_t(uint8_t(source[i + j])) << (8 * j);
        h = mix(h ^ word) + 0x9e3779b97f4a7c15ull;
    }
    Digest d{};
    for (int i = 0; i < 8; ++i) {
        d[size_t(i)] = uint8_t(fnv >> (56 - 8 * i));
        d[size_t(8 + i)] = uint8_t(h >> (56 - 8 * i));
    }
    return d;
}

void SourceIndex::Load(const pst::Binary& stored) {
    committed_.clear();
    if (stored.size() % 16 != 0) return;
    std::vector<Digest> all(stored.size() / 16);
    for (size_t i = 0; i < all.size(); ++i) std::copy_n(stored.begin() + long(16 * i), 16, all[i].begin());
    committed_.InsertMany(std::move(all));
}

bool SourceIndex::Contains(std::string_view source) const { return committed_.count(Of(source)) > 0; }

void SourceIndex::AddPending(std::string_view source) { pending_.push_back(Of(source)); }

void SourceIndex::Committed() {
    for (const Digest& d : pending_) committed_.insert(d);
    std::vector<Digest>().swap(pending_);
}

void SourceIndex::Merge(const SourceIndex& other) {
    std::vector<Digest> theirs;
    theirs.reserve(other.Size());
    other.committed_.ForEach([&](const Digest& d) { theirs.push_back(d); });
    committed_.InsertMany(std::move(theirs));
}

}  // namespace store
