#pragma once
// BTree-on-heap ([MS-PST] 2.3.2) built bottom-up from sorted records.
#include <cstdint>

#include "Heap.h"

namespace pst::ltp {

// `records`: `count` records of cbKey + cbEnt bytes, sorted by key (little-endian
// keys compared as unsigned numbers). Returns the HID of the BTHHEADER.
uint32_t BuildBth(HeapBuilder& heap, uint8_t cbKey, uint8_t cbEnt, const Bytes& records, size_t count);

// Readers (pst-extractor among them) expect a PC's or TC's BTHHEADER to be the
// first heap item (HID 0x20): reserve it first, fill it when the records exist.
uint32_t ReserveBthHeader(HeapBuilder& heap);
void FillBth(HeapBuilder& heap, uint32_t headerHid, uint8_t cbKey, uint8_t cbEnt, const Bytes& records, size_t count);

}  // namespace pst::ltp
