#pragma once
// What the checks learn of each block, in a byte a block (by its place in the
// BBT): the references found to it from the NBT and from other blocks, and
// whether it is readable, sound and in the file. Counts above 14 (shared blocks
// are rare) are kept apart.
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace pst::verify::detail {

class BlockStates {
public:
    static constexpr uint8_t kReadable = 0x10;     // inside the file with a trailer that matches
    static constexpr uint8_t kStructureOk = 0x20;  // and, if internal, its tree is sound
    static constexpr uint8_t kHasExtent = 0x40;    // lies inside the file's data area

    void Reset(size_t blocks) {
        bits_.assign(blocks, 0);
        many_.clear();
    }
    uint8_t Flags(uint32_t i) const { return bits_[i] & 0xF0; }
    bool Is(uint32_t i, uint8_t flag) const { return (bits_[i] & flag) != 0; }
    void Set(uint32_t i, uint8_t flag, bool on) { bits_[i] = on ? uint8_t(bits_[i] | flag) : uint8_t(bits_[i] & ~flag); }

    uint32_t Refs(uint32_t i) const {
        const uint8_t n = bits_[i] & kMany;
        return n == kMany ? many_.at(i) : n;
    }
    void AddRef(uint32_t i) {
        const uint8_t n = bits_[i] & kMany;
        if (n + 1 < kMany) {
            ++bits_[i];
        } else if (n + 1 == kMany) {
            bits_[i] |= kMany;
            many_[i] = kMany;
        } else if (uint32_t& r = many_[i]; r < kMaxRefs) {
            ++r;
        }
    }

private:
    static constexpr uint8_t kMany = 0x0F;
    static constexpr uint32_t kMaxRefs = 0xFFFFFF;
    std::vector<uint8_t> bits_;
    std::unordered_map<uint32_t, uint32_t> many_;
};

}  // namespace pst::verify::detail
