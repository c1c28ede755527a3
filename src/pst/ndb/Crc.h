#pragma once
// The PST checksum ([MS-PST] 5.3) and the compressible encoding of data
// blocks ([MS-PST] 5.1).
#include <cstddef>
#include <cstdint>

namespace pst::ndb {

// Reflected CRC-32 (polynomial 0xEDB88320) started from `crc`, no final inversion.
uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc = 0);

// NDB_CRYPT_PERMUTE: byte substitution in place.
void PermuteEncode(uint8_t* data, size_t size);
void PermuteDecode(uint8_t* data, size_t size);
void PermuteEncodeCopy(uint8_t* out, const uint8_t* in, size_t size);
// NDB_CRYPT_CYCLIC, keyed by the low 32 bits of the block id; encodes and decodes alike.
void CyclicCrypt(uint8_t* data, size_t size, uint32_t key);

}  // namespace pst::ndb
