#include "mime/Base64Decoder.h"

namespace mime {
namespace {

constexpr uint32_t kNotData = 0x80000000u;

// Per position in a group of four: each character's six bits already shifted
// into place, kNotData for anything outside the alphabet ('=' included), so
// that one OR of four lookups decodes a group and one test finds an odd one.
struct Tables {
    uint32_t shifted[4][256];
    uint8_t value[256];  // 0xFF outside the alphabet
};

constexpr Tables MakeTables() {
    Tables t{};
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int c = 0; c < 256; ++c) {
        t.value[c] = 0xFF;
        for (auto& s : t.shifted) s[c] = kNotData;
    }
    for (uint32_t v = 0; v < 64; ++v) {
        const auto c = static_cast<unsigned char>(alphabet[v]);
        t.value[c] = uint8_t(v);
        for (int k = 0; k < 4; ++k) t.shifted[k][c] = v << (18 - 6 * k);
    }
    return t;
}

constexpr Tables kTables = MakeTables();

// The bytes a group cut short by '=' or the end still holds.
size_t PartialBytes(int count) { return count == 2 ? 1 : count == 3 ? 2 : 0; }

size_t WritePartial(uint32_t bits, int count, uint8_t* out) {
    if (count == 2) out[0] = uint8_t(bits >> 4);
    if (count == 3) {
        out[0] = uint8_t(bits >> 10);
        out[1] = uint8_t(bits >> 2);
    }
    return PartialBytes(count);
}

}  // namespace

Base64Decoder::Step Base64Decoder::Decode(const uint8_t* in, size_t size, uint8_t* out, size_t room) {
    const uint8_t* p = in;
    const uint8_t* const end = in + size;
    uint8_t* o = out;
    uint8_t* const oend = out + room;
    while (p < end && !ended_) {
        if (count_ == 0) {
            // Whole groups of four alphabet characters: all of a line but its break.
            while (end - p >= 4 && oend - o >= 3) {
                const uint32_t v = kTables.shifted[0][p[0]] | kTables.shifted[1][p[1]] | kTables.shifted[2][p[2]] |
                                   kTables.shifted[3][p[3]];
                if (v & kNotData) break;
                o[0] = uint8_t(v >> 16);
                o[1] = uint8_t(v >> 8);
                o[2] = uint8_t(v);
                p += 4;
                o += 3;
            }
            if (p == end) break;
        }
        const uint8_t c = *p;
        const uint8_t v = kTables.value[c];
        if (v != 0xFF) {
            if (count_ == 3 && oend - o < 3) break;
            bits_ = bits_ << 6 | v;
            ++p;
            if (++count_ == 4) {
                o[0] = uint8_t(bits_ >> 16);
                o[1] = uint8_t(bits_ >> 8);
                o[2] = uint8_t(bits_);
                o += 3;
                count_ = 0;
                bits_ = 0;
            }
        } else if (c == '=') {
            if (size_t(oend - o) < PartialBytes(count_)) break;
            o += WritePartial(bits_, count_, o);
            ++p;
            ended_ = true;
            count_ = 0;
        } else {
            ++p;
        }
    }
    return {size_t(p - in), size_t(o - out)};
}

size_t Base64Decoder::Finish(uint8_t* out, size_t room) {
    if (ended_ || room < PartialBytes(count_)) return 0;
    ended_ = true;
    const size_t n = WritePartial(bits_, count_, out);
    count_ = 0;
    return n;
}

}  // namespace mime
