#pragma once
// Finds the values given more than once among many 32-bit values (table row
// versions): two bits a value below a bound, where a sound file keeps them
// (numbered up from 0), and a list for the others, sorted at the end. A file of
// millions of rows costs a few hundred kilobytes, not four bytes a row.
#include <algorithm>
#include <cstdint>
#include <vector>

namespace pst::verify::detail {

class RepeatFinder {
public:
    // Values below denseLimit are kept as bits (the bits grow with the largest one seen).
    explicit RepeatFinder(uint64_t denseLimit) : limit_(denseLimit) {}

    void Add(uint32_t v) {
        if (v >= limit_) {
            others_.push_back(v);
            return;
        }
        const size_t word = v / 64;
        if (word >= seen_.size()) {
            const size_t want = std::min<uint64_t>(std::max(word + 1, seen_.size() + seen_.size() / 2), (limit_ + 63) / 64);
            seen_.resize(want, 0);
            twice_.resize(want, 0);
        }
        const uint64_t bit = uint64_t(1) << (v % 64);
        if (seen_[word] & bit) twice_[word] |= bit;
        seen_[word] |= bit;
    }

    // Every value given more than once, ascending, each once. The values are let go.
    std::vector<uint32_t> Repeated() {
        std::vector<uint32_t> out;
        for (size_t w = 0; w < twice_.size(); ++w)
            for (uint64_t bits = twice_[w]; bits; bits &= bits - 1) out.push_back(uint32_t(w * 64 + __builtin_ctzll(bits)));
        std::sort(others_.begin(), others_.end());
        for (size_t i = 1; i < others_.size(); ++i)
            if (others_[i] == others_[i - 1] && (out.empty() || out.back() != others_[i])) out.push_back(others_[i]);
        seen_ = {}, twice_ = {}, others_ = {};
        return out;
    }

private:
    uint64_t limit_;
    std::vector<uint64_t> seen_, twice_;
    std::vector<uint32_t> others_;
};

}  // namespace pst::verify::detail
