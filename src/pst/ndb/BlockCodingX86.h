#pragma once
// The block checksum and encoding with x86 vector instructions, for the
// processors that have them (checked at run time); Crc.cpp falls back to its
// table loops elsewhere.
#include <cstddef>
#include <cstdint>

namespace pst::ndb::x86 {

// PCLMULQDQ and SSE4.1: the CRC folded 64 bytes at a time.
bool HaveCarrylessMultiply();
// Same result as the table loop over `size` bytes from `crc`.
uint32_t Crc32Folded(const uint8_t* data, size_t size, uint32_t crc);

// AVX-512 VBMI: a 256-byte substitution 64 bytes at a time.
bool HaveByteShuffle();
void SubstituteCopy(uint8_t* out, const uint8_t* in, size_t size, const uint8_t table[256]);

}  // namespace pst::ndb::x86
