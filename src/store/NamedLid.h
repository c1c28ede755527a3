#pragma once
// A named property by its property set and numeric id, the way the item
// kinds' named properties are given ([MS-OXPROPS] PidLid...).
#include <cstdint>

#include "pst/messaging/PropertyValue.h"

namespace store {

inline pst::NamedProperty Lid(const pst::Guid& set, uint32_t id) {
    pst::NamedProperty n;
    n.propertySet = set;
    n.lid = id;
    return n;
}

}  // namespace store
