#include "BlockCodingX86.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define ORVANDEL_X86_KERNELS 1
#endif

namespace pst::ndb::x86 {

#if ORVANDEL_X86_KERNELS

bool HaveCarrylessMultiply() {
    static const bool have = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return have;
}

bool HaveByteShuffle() {
    static const bool have = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                             __builtin_cpu_supports("avx512vbmi");
    return have;
}

// Folding by carry-less multiplication for the reflected polynomial 0xEDB88320
// (Gopal et al., "Fast CRC Computation for Generic Polynomials Using PCLMULQDQ",
// Intel 2009): x^(4*128+32), x^(4*128-32) mod P for four lanes at once, the same
// for one lane, x^64 mod P, then Barrett reduction with P and floor(x^64 / P).
// Whole 16-byte groups only (at least 64 bytes); the caller does the rest.
#define ORVANDEL_CLMUL __attribute__((target("pclmul,sse4.1")))

ORVANDEL_CLMUL static inline __m128i load(const uint8_t* q) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
}

ORVANDEL_CLMUL static inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

ORVANDEL_CLMUL static uint32_t Fold(const uint8_t* p, size_t size, uint32_t crc) {
    const __m128i k1k2 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x163cd6124);
    const __m128i poly = _mm_set_epi64x(0x1f7011641, 0x1db710641);
    __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(int(crc)));
    __m128i x2 = load(p + 16), x3 = load(p + 32), x4 = load(p + 48);
    p += 64;
    size -= 64;
    for (; size >= 64; p += 64, size -= 64) {
        x1 = fold(x1, k1k2, load(p));
        x2 = fold(x2, k1k2, load(p + 16));
        x3 = fold(x3, k1k2, load(p + 32));
        x4 = fold(x4, k1k2, load(p + 48));
    }
    x1 = fold(x1, k3k4, x2);
    x1 = fold(x1, k3k4, x3);
    x1 = fold(x1, k3k4, x4);
    for (; size >= 16; p += 16, size -= 16) x1 = fold(x1, k3k4, load(p));
    // 128 bits to 64, then to 32.
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
    __m128i x2r = _mm_clmulepi64_si128(x1, k3k4, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2r);
    x2r = _mm_srli_si128(x1, 4);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00), x2r);
    // Barrett reduction.
    x2r = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10);
    x2r = _mm_clmulepi64_si128(_mm_and_si128(x2r, low32), poly, 0x00);
    x1 = _mm_xor_si128(x1, x2r);
    return uint32_t(_mm_extract_epi32(x1, 1));
}

uint32_t Crc32Folded(const uint8_t* data, size_t size, uint32_t crc) { return Fold(data, size, crc); }

__attribute__((target("avx512f,avx512bw,avx512vbmi"))) static void Substitute64(uint8_t* out, const uint8_t* in,
                                                                              size_t size, const uint8_t* table) {
    const __m512i t0 = _mm512_loadu_si512(table), t1 = _mm512_loadu_si512(table + 64);
    const __m512i t2 = _mm512_loadu_si512(table + 128), t3 = _mm512_loadu_si512(table + 192);
    for (size_t i = 0; i + 64 <= size; i += 64) {
        const __m512i x = _mm512_loadu_si512(in + i);
        // Bits 0-6 pick from a 128-byte half, bit 7 which half.
        const __m512i low = _mm512_permutex2var_epi8(t0, x, t1);
        const __m512i high = _mm512_permutex2var_epi8(t2, x, t3);
        _mm512_storeu_si512(out + i, _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), low, high));
    }
}

void SubstituteCopy(uint8_t* out, const uint8_t* in, size_t size, const uint8_t table[256]) {
    const size_t whole = size / 64 * 64;
    Substitute64(out, in, whole, table);
    for (size_t i = whole; i < size; ++i) out[i] = table[in[i]];
}

#else

bool HaveCarrylessMultiply() { return false; }
bool HaveByteShuffle() { return false; }
uint32_t Crc32Folded(const uint8_t*, size_t, uint32_t crc) { return crc; }
void SubstituteCopy(uint8_t*, const uint8_t*, size_t, const uint8_t*) {}

#endif

}  // namespace pst::ndb::x86
