#include "pst/messaging/TimeZoneRule.h"

#include "pst/messaging/PropEncode.h"
#include "pst/ndb/Bytes.h"

namespace pst {

namespace {

using ndb::Append16;
using ndb::Append32;

void PutSystemTime(Binary& out, const SystemTime& t) {
    for (uint16_t v : {t.year, t.month, t.dayOfWeek, t.day, t.hour, t.minute, t.second, t.milliseconds}) Append16(out, v);
}

}  // namespace

Binary EncodeTimeZoneStruct(const TimeZoneRule& r) {
    Binary out;
    Append32(out, uint32_t(r.bias));
    Append32(out, uint32_t(r.standardBias));
    Append32(out, uint32_t(r.daylightBias));
    Append16(out, r.standardDate.year);
    PutSystemTime(out, r.standardDate);
    Append16(out, r.daylightDate.year);
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
    Append16(out, uint32_t(6 + key.size()));  // cbHeader: wReserved, cchKeyName, KeyName, cRules
    Append16(out, 0x0002);   // wReserved
    Append16(out, uint32_t(key.size() / 2));
    out.insert(out.end(), key.begin(), key.end());
    Append16(out, uint32_t(rules.size()));
    for (size_t k = 0; k < rules.size(); ++k) {
        const TimeZoneRule& r = rules[k];
        out.push_back(0x02);
        out.push_back(0x01);
        Append16(out, 0x003E);  // wReserved
        uint32_t flags = 0;
        if (k == effective) flags = recurring ? 0x0003 : 0x0002;
        Append16(out, flags);
        Append16(out, r.year);
        out.insert(out.end(), 14, 0);  // X
        Append32(out, uint32_t(r.bias));
        Append32(out, uint32_t(r.standardBias));
        Append32(out, uint32_t(r.daylightBias));
        PutSystemTime(out, r.standardDate);
        PutSystemTime(out, r.daylightDate);
    }
    return out;
}

}  // namespace pst
