#include "items/ExportZones.h"

#include <map>

#include "items/ZimbraMetaReader.h"
#include "items/ZimbraTime.h"

namespace items {

namespace {

bool IsNumber(const std::string& s) {
    size_t k = !s.empty() && s[0] == '-' ? 1 : 0;
    if (k == s.size() || s.size() > 12) return false;
    for (size_t i = k; i < s.size(); ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

}  // namespace

void DefineExportZones(const MetaValue& tzm) {
    if (tzm.kind != MetaValue::Kind::Dictionary) return;
    std::map<std::string, ExportZone> byIndex;
    for (const auto& [key, value] : tzm.items) {
        if (key.empty() || key[0] != '#' || value.kind != MetaValue::Kind::Dictionary) continue;
        const std::string tzid = TrimSpaces(value.Text("tzid"));
        const std::string so = TrimSpaces(value.Text("so"));
        if (tzid.empty() || !IsNumber(so)) continue;  // a zone known by its name alone
        ExportZone z;
        z.standardOffset = int32_t(std::stoll(so) / 1000);
        const std::string dso = TrimSpaces(value.Text("do"));
        z.daylightOffset = IsNumber(dso) ? int32_t(std::stoll(dso) / 1000) : z.standardOffset;
        z.toStandardStart = TrimSpaces(value.Text("d2ss"));
        z.toStandardRule = TrimSpaces(value.Text("d2sr"));
        z.toDaylightStart = TrimSpaces(value.Text("s2ds"));
        if (z.toDaylightStart.empty()) z.toDaylightStart = z.toStandardStart;
        z.toDaylightRule = TrimSpaces(value.Text("s2dr"));
        if (DefineExportZone(tzid, z)) byIndex[key.substr(1)] = z;
    }
    // Other keys name an alias of a zone by its index.
    for (const auto& [key, value] : tzm.items) {
        if (key.empty() || key[0] == '#' || value.kind == MetaValue::Kind::Dictionary) continue;
        auto it = byIndex.find(TrimSpaces(value.text));
        if (it != byIndex.end()) DefineExportZone(key, it->second);
    }
}

}  // namespace items
