#include "pst/messaging/TimeZoneRule.h"

#include "pst/messaging/PropEncode.h"

namespace pst {

namespace {

void Put16(Binary& out, uint32_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}

void Put32(Binary& out, uint32_t v) {
    for (int k = 0; k < 4; ++k) out.push_back(uint8_t(v >> (8 * k)));
}

void PutSystemTime(Binary& out, const SystemTime& t) {
    for (uint16_t v : {t.year, t.month, t.dayOfWeek, t.day, t.hour, t.minute, t.second, t.milliseconds}) Put16(out, v);
}

}  // namespace

Binary EncodeTimeZoneStruct(const TimeZoneRule& r) {
    Binary out;
    Put32(out, uint32_t(r.bias));
    Put32(out, uint32_t(r.standardBias));
    Put32(out, uint32_t(r.daylightBias));
    Put16(out, r.standardDate.year);
    PutSystemTime(out, r.standardDate);
    Put16(out, r.daylightDate.year);
    PutSystemTime(out, r.daylightDate);
    return out;
}

Binary EncodeTimeZoneDefinition(const std::string& keyName, const std::vector<TimeZoneRule>& rules, size_t effective,
                                bool recurring) {
    ndb::Bytes key = Utf16(keyName);
    if (key.size() > 2 * 260) key.resize(2 * 260);  // MAX_PATH characters
    Binary out;
    out.push_back(0x02);  // bMajorVersion
    out.push_back(0x01);  // bMinorVersion
    Put16(out, uint32_t(6 + key.size()));  // cbHeader: wReserved, cchKeyName, KeyName, cRules
    Put16(out, 0x0002);   // wReserved
    Put16(out, uint32_t(key.size() / 2));
    out.insert(out.end(), key.begin(), key.end());
    Put16(out, uint32_t(rules.size()));
    for (size_t k = 0; k < rules.size(); ++k) {
        const TimeZoneRule& r = rules[k];
        out.push_back(0x02);
        out.push_back(0x01);
        Put16(out, 0x003E);  // wReserved
        uint32_t flags = 0;
        if (k == effective) flags = recurring ? 0x0003 : 0x0002;
        Put16(out, flags);
        Put16(out, r.year);
        out.insert(out.end(), 14, 0);  // X
        Put32(out, uint32_t(r.bias));
        Put32(out, uint32_t(r.standardBias));
        Put32(out, uint32_t(r.daylightBias));
        PutSystemTime(out, r.standardDate);
        PutSystemTime(out, r.daylightDate);
    }
    return out;
}

}  // namespace pst
