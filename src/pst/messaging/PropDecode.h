#pragma once
// Property values read back from a file, for the types the messaging layer
// keeps as PropValue; anything else stays in its stored form.
#include <optional>
#include <string>

#include "PropertyValue.h"
#include "pst/ndb/Bytes.h"

namespace pst {

// UTF-16LE to UTF-8; unpaired surrogates become U+FFFD.
std::string FromUtf16(const uint8_t* data, size_t size);

// The value stored for `type`, or nullopt for a type kept only as bytes.
std::optional<PropValue> DecodeValue(uint16_t type, const ndb::Bytes& stored);

}  // namespace pst
