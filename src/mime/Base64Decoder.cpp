#include "mime/Base64Decoder.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define ORVANDEL_BASE64_AVX2 1
#endif

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

#if ORVANDEL_BASE64_AVX2
// 32 characters at a time while all are in the alphabet (Mula and Lemire,
// "Faster Base64 Encoding and Decoding Using AVX2 Instructions", 2018): the
// high and low nibbles of a character name classes whose intersection is
// empty only for alphabet characters; the high nibble (and '/') gives the
// offset from character to value; two multiply-adds pack four values into
// three bytes.
struct NibbleTables {
    int8_t low[16], high[16], offset[16];
};

constexpr NibbleTables MakeNibbleTables() {
    NibbleTables t{};
    for (int l = 0; l < 16; ++l)
        t.low[l] = int8_t(0x01 | (l != 0xB && l != 0xF ? 0x02 : 0) | (l >= 0xA ? 0x04 : 0) | (l == 0 ? 0x08 : 0) |
                          (l >= 0xB ? 0x10 : 0));
    for (int h = 0; h < 16; ++h) t.high[h] = 0x01;  // controls, 0x10-0x1F and 8-bit bytes: never
    t.high[2] = 0x02;                               // only '+' and '/'
    t.high[3] = 0x04;                               // only '0'-'9'
    t.high[4] = t.high[6] = 0x08;                   // not '@', '`'
    t.high[5] = t.high[7] = 0x10;                   // only up to 'Z', 'z'
    t.offset[1] = 63 - '/';                         // the high nibble of '/' less one
    t.offset[2] = 62 - '+';
    t.offset[3] = 52 - '0';
    t.offset[4] = t.offset[5] = -'A';
    t.offset[6] = t.offset[7] = 26 - 'a';
    return t;
}

constexpr NibbleTables kNibbles = MakeNibbleTables();

__attribute__((target("avx2"))) void DecodeRuns(const uint8_t*& p, const uint8_t* end, uint8_t*& o,
                                                uint8_t* oend) {
#define ORVANDEL_NIBBLE_TABLE(t) _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t)))
    const __m256i low = ORVANDEL_NIBBLE_TABLE(kNibbles.low), high = ORVANDEL_NIBBLE_TABLE(kNibbles.high),
                  offset = ORVANDEL_NIBBLE_TABLE(kNibbles.offset);
#undef ORVANDEL_NIBBLE_TABLE
    const __m256i nibble = _mm256_set1_epi8(0x0F), slash = _mm256_set1_epi8('/');
    const __m256i pack = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6, 5, 4, 10,
                                          9, 8, 14, 13, 12, -1, -1, -1, -1);
    while (end - p >= 32 && oend - o >= 24) {
        const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i hi = _mm256_and_si256(_mm256_srli_epi32(in, 4), nibble);
        const __m256i lo = _mm256_and_si256(in, nibble);
        if (!_mm256_testz_si256(_mm256_shuffle_epi8(low, lo), _mm256_shuffle_epi8(high, hi))) return;
        const __m256i roll = _mm256_shuffle_epi8(offset, _mm256_add_epi8(_mm256_cmpeq_epi8(in, slash), hi));
        const __m256i values = _mm256_add_epi8(in, roll);
        const __m256i pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140));
        const __m256i triples = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(triples, pack),
                                                          _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm256_castsi256_si128(bytes));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 16), _mm256_extracti128_si256(bytes, 1));
        p += 32;
        o += 24;
    }
}

bool HaveAvx2() {
    static const bool have = __builtin_cpu_supports("avx2");
    return have;
}
#endif

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
#if ORVANDEL_BASE64_AVX2
            if (HaveAvx2()) DecodeRuns(p, end, o, oend);
#endif
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
