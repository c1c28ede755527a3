#pragma once
// PropValue -> the bytes a PC or TC stores for a property of a given type.
#include <cstdint>
#include <string>
#include <string_view>

#include "PropertyValue.h"
#include "pst/ndb/Bytes.h"

namespace pst {

// UTF-8 -> UTF-16LE without terminator; invalid sequences become U+FFFD.
ndb::Bytes Utf16(std::string_view utf8);
// The same, appended to `out`.
void Utf16To(ndb::Bytes& out, std::string_view utf8);

// Encodes `value` as property type `type`. Throws PstError when the value's
// kind does not fit the type. PT_STRING8 is not accepted: callers store text
// as PT_UNICODE.
ndb::Bytes EncodeValue(uint16_t type, const PropValue& value);
// The same, appended to `out` (no buffer of its own).
void EncodeValueTo(ndb::Bytes& out, uint16_t type, const PropValue& value);

// Throws PstError when `value` cannot be stored as `type` (cheap: no encoding).
void CheckValue(uint16_t type, const PropValue& value);

// Rough number of bytes a value occupies, for PR_MESSAGE_SIZE.
size_t ValueSize(const PropValue& value);

std::string TagText(uint32_t tag);  // "0x0037001F"

}  // namespace pst
