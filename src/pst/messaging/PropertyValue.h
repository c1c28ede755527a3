#pragma once
// Property values as the messaging layer takes them. Strings are UTF-8 here and
// are stored as PT_UNICODE (UTF-16LE) in the file.
#include <array>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace pst {

// Property types of the MAPI tag's low word.
enum PropType : uint16_t {
    PT_SHORT = 0x0002,
    PT_LONG = 0x0003,
    PT_DOUBLE = 0x0005,
    PT_CURRENCY = 0x0006,
    PT_APPTIME = 0x0007,
    PT_ERROR = 0x000A,
    PT_BOOLEAN = 0x000B,
    PT_OBJECT = 0x000D,
    PT_I8 = 0x0014,
    PT_STRING8 = 0x001E,
    PT_UNICODE = 0x001F,
    PT_SYSTIME = 0x0040,
    PT_CLSID = 0x0048,
    PT_BINARY = 0x0102,
    PT_MV_LONG = 0x1003,
    PT_MV_UNICODE = 0x101F,
    PT_MV_BINARY = 0x1102,
};

constexpr uint32_t MakeTag(uint16_t id, uint16_t type) { return (uint32_t(id) << 16) | type; }
constexpr uint16_t TagId(uint32_t tag) { return uint16_t(tag >> 16); }
constexpr uint16_t TagType(uint32_t tag) { return uint16_t(tag & 0xFFFF); }

// 100-nanosecond intervals since 1601-01-01 UTC (a Windows FILETIME).
struct FileTime {
    uint64_t value = 0;
    friend bool operator==(const FileTime&, const FileTime&) = default;
};

// A GUID in its on-disk byte order (Data1..Data3 little-endian, as in the file).
struct Guid {
    std::array<uint8_t, 16> bytes{};
    friend bool operator==(const Guid&, const Guid&) = default;
};

using Binary = std::vector<uint8_t>;

// One alternative per property type the messaging layer writes:
// int16_t PT_SHORT, int32_t PT_LONG, double PT_DOUBLE/PT_APPTIME, bool PT_BOOLEAN,
// int64_t PT_I8/PT_CURRENCY, std::string PT_UNICODE (UTF-8 here), FileTime PT_SYSTIME,
// Guid PT_CLSID, Binary PT_BINARY, and the three multi-valued types.
using PropValue = std::variant<int16_t, int32_t, double, bool, int64_t, std::string, FileTime, Guid, Binary,
                               std::vector<int32_t>, std::vector<std::string>, std::vector<Binary>>;

// A named property: a property set GUID with a numeric id (LID) or a string name.
struct NamedProperty {
    Guid propertySet;
    bool isString = false;
    uint32_t lid = 0;        // when !isString
    std::string name;        // when isString (UTF-8)
    friend bool operator==(const NamedProperty&, const NamedProperty&) = default;
};

// Well-known property sets ([MS-OXPROPS] 1.3.2), stored byte order.
Guid MakeGuid(uint32_t d1, uint16_t d2, uint16_t d3, std::array<uint8_t, 8> d4);
const Guid& PS_MAPI();
const Guid& PS_PUBLIC_STRINGS();
const Guid& PSETID_Common();
const Guid& PSETID_Address();
const Guid& PSETID_Appointment();
const Guid& PSETID_Task();
const Guid& PSETID_Note();
const Guid& PSETID_Meeting();
const Guid& PS_INTERNET_HEADERS();

}  // namespace pst
