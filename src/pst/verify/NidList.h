#pragma once
// A list of NIDs kept as the differences between neighbours, seven bits a byte:
// the children of a folder, added in NID order, cost about a byte each instead
// of four.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace pst::verify::detail {

class NidList {
public:
    void push_back(uint32_t nid) {
        uint32_t d = nid - last_;  // wraps for a NID below the last: still exact, only longer
        while (d >= 0x80) {
            bytes_.push_back(uint8_t(d | 0x80));
            d >>= 7;
        }
        bytes_.push_back(uint8_t(d));
        last_ = nid;
        ++size_;
    }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    class iterator {
    public:
        iterator(const uint8_t* p, uint32_t value) : p_(p), value_(value) {}
        uint32_t operator*() const {
            uint32_t d = 0;
            int shift = 0;
            for (const uint8_t* q = p_;; ++q, shift += 7) {
                d |= uint32_t(*q & 0x7F) << shift;
                if (!(*q & 0x80)) break;
            }
            return value_ + d;
        }
        iterator& operator++() {
            value_ = **this;
            while (*p_ & 0x80) ++p_;
            ++p_;
            return *this;
        }
        bool operator!=(const iterator& o) const { return p_ != o.p_; }

    private:
        const uint8_t* p_;
        uint32_t value_;
    };
    iterator begin() const { return iterator(bytes_.data(), 0); }
    iterator end() const { return iterator(bytes_.data() + bytes_.size(), 0); }

private:
    std::vector<uint8_t> bytes_;
    uint32_t last_ = 0;
    size_t size_ = 0;
};

}  // namespace pst::verify::detail
