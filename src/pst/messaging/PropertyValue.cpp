#include "PropertyValue.h"

namespace pst {

Guid MakeGuid(uint32_t d1, uint16_t d2, uint16_t d3, std::array<uint8_t, 8> d4) {
    Guid g;
    for (int i = 0; i < 4; ++i) g.bytes[i] = uint8_t(d1 >> (8 * i));
    for (int i = 0; i < 2; ++i) g.bytes[4 + i] = uint8_t(d2 >> (8 * i));
    for (int i = 0; i < 2; ++i) g.bytes[6 + i] = uint8_t(d3 >> (8 * i));
    for (int i = 0; i < 8; ++i) g.bytes[8 + i] = d4[i];
    return g;
}

const Guid& PS_MAPI() {
    static const Guid g = MakeGuid(0x00020328, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46});
    return g;
}
const Guid& PS_PUBLIC_STRINGS() {
    static const Guid g = MakeGuid(0x00020329, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46});
    return g;
}
const Guid& PSETID_Common() {
    static const Guid g = MakeGuid(0x00062008, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46});
    return g;
}
const Guid& PSETID_Address() {
    static const Guid g = MakeGuid(0x00062004, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46});
    return g;
}
const Guid& PSETID_Appointment() {
    static const Guid g = MakeGuid(0x00062002, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46});
    return g;
}
const Guid& PSETID_Task() {
    static const Guid g = MakeGuid(0x00062003, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46});
    return g;
}
const Guid& PSETID_Note() {
    static const Guid g = MakeGuid(0x0006200E, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46});
    return g;
}
const Guid& PSETID_Meeting() {
    static const Guid g = MakeGuid(0x6ED8DA90, 0x450B, 0x101B, {0x98, 0xDA, 0x00, 0xAA, 0x00, 0x3F, 0x13, 0x05});
    return g;
}
const Guid& PS_INTERNET_HEADERS() {
    static const Guid g = MakeGuid(0x00020386, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46});
    return g;
}

}  // namespace pst
