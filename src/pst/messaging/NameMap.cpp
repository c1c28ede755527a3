#include "NameMap.h"

#include "PropEncode.h"
#include "pst/ndb/Crc.h"
#include "pst/ndb/Error.h"

namespace pst {
namespace {
constexpr uint32_t kBuckets = 251;
}

std::string NameMap::KeyOf(const NamedProperty& n) {
    std::string k(reinterpret_cast<const char*>(n.propertySet.bytes.data()), 16);
    if (n.isString)
        k += "s" + n.name;
    else
        k += "n" + std::to_string(n.lid);
    return k;
}

uint16_t NameMap::GuidIndex(const Guid& g) {
    if (g == PS_MAPI()) return 1;
    if (g == PS_PUBLIC_STRINGS()) return 2;
    for (size_t i = 0; i < guids_.size(); ++i)
        if (guids_[i] == g) return uint16_t(3 + i);
    guids_.push_back(g);
    return uint16_t(2 + guids_.size());
}

uint16_t NameMap::Find(const NamedProperty& name) const {
    auto it = lookup_.find(KeyOf(name));
    return it == lookup_.end() ? 0 : it->second;
}

uint16_t NameMap::IdFor(const NamedProperty& name) {
    if (uint16_t id = Find(name)) return id;
    if (entries_.size() >= 0x7FFE) throw PstError("too many named properties");
    Entry e{};
    e.guidIndex = GuidIndex(name.propertySet);
    e.isString = name.isString;
    if (name.isString) {
        if (name.name.empty()) throw PstError("named property with an empty name");
        ndb::Bytes utf16 = Utf16(name.name);
        while (strings_.size() % 4) strings_.push_back(0);
        e.key = uint32_t(strings_.size());
        ndb::Append32(strings_, uint32_t(utf16.size()));
        strings_.insert(strings_.end(), utf16.begin(), utf16.end());
        e.hashKey = ndb::Crc32(utf16.data(), utf16.size());
    } else {
        e.key = name.lid;
        e.hashKey = name.lid;
    }
    entries_.push_back(e);
    uint16_t id = uint16_t(0x8000 + entries_.size() - 1);
    lookup_[KeyOf(name)] = id;
    dirty_ = true;
    lastIsPad_ = false;
    return id;
}

void NameMap::EnsureTrailingPad() {
    if (lastIsPad_ || entries_.empty()) return;
    IdFor(NamedProperty{PS_PUBLIC_STRINGS(), true, 0, "x-orvandel-pad-" + std::to_string(++pads_)});
    lastIsPad_ = true;
}

std::vector<ltp::PcProp> NameMap::Properties() const {
    std::vector<ltp::PcProp> props;
    ltp::PcProp count{0x00010003, {}, 0};
    ndb::Append32(count.value, kBuckets);
    props.push_back(count);
    ltp::PcProp guids{0x00020102, {}, 0};
    for (auto& g : guids_) guids.value.insert(guids.value.end(), g.bytes.begin(), g.bytes.end());
    props.push_back(guids);
    ltp::PcProp stream{0x00030102, {}, 0};
    std::map<uint32_t, ndb::Bytes> buckets;
    for (size_t i = 0; i < entries_.size(); ++i) {
        const Entry& e = entries_[i];
        uint16_t kind = uint16_t((e.guidIndex << 1) | (e.isString ? 1 : 0));
        ndb::Append32(stream.value, e.key);
        ndb::Append16(stream.value, kind);
        ndb::Append16(stream.value, uint16_t(i));
        ndb::Bytes& b = buckets[(e.hashKey ^ kind) % kBuckets];
        ndb::Append32(b, e.hashKey);
        ndb::Append16(b, kind);
        ndb::Append16(b, uint16_t(i));
    }
    props.push_back(stream);
    props.push_back({0x00040102, strings_, 0});
    for (auto& [bucket, bytes] : buckets) props.push_back({((0x1000 + bucket) << 16) | 0x0102, bytes, 0});
    return props;
}

}  // namespace pst
