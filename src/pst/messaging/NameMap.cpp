#include "NameMap.h"

#include <string>

#include "PropDecode.h"
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

void NameMap::Load(const std::vector<ltp::PcProp>& props) {
    const ndb::Bytes *guids = nullptr, *stream = nullptr, *strings = nullptr;
    uint32_t bucketCount = 0;
    std::map<uint32_t, const ndb::Bytes*> buckets;
    for (const ltp::PcProp& p : props) {
        if (p.tag == 0x00010003 && p.value.size() == 4) bucketCount = ndb::Get32(p.value.data());
        if (p.tag == 0x00020102) guids = &p.value;
        if (p.tag == 0x00030102) stream = &p.value;
        if (p.tag == 0x00040102) strings = &p.value;
        if ((p.tag & 0xFFFF) == 0x0102 && (p.tag >> 16) >= 0x1000) buckets[(p.tag >> 16) - 0x1000] = &p.value;
    }
    // Names we add are hashed into the buckets afresh, but a map whose
    // buckets disagree with its entries cannot be told right from wrong.
    auto inBucket = [&](uint32_t hashKey, uint16_t kind, uint16_t index) {
        if (bucketCount == 0) return true;
        auto it = buckets.find((hashKey ^ kind) % bucketCount);
        if (it == buckets.end()) return false;
        const ndb::Bytes& b = *it->second;
        for (size_t at = 0; at + 8 <= b.size(); at += 8)
            if (ndb::Get32(&b[at]) == hashKey && ndb::Get16(&b[at + 4]) == kind && ndb::Get16(&b[at + 6]) == index)
                return true;
        return false;
    };
    entries_.clear();
    guids_.clear();
    lookup_.clear();
    strings_ = strings ? *strings : ndb::Bytes();
    if (guids)
        for (size_t at = 0; at + 16 <= guids->size(); at += 16) {
            Guid g;
            std::copy(guids->begin() + long(at), guids->begin() + long(at + 16), g.bytes.begin());
            guids_.push_back(g);
        }
    size_t count = stream ? stream->size() / 8 : 0;
    entries_.resize(count);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* p = stream->data() + 8 * i;
        uint16_t kind = ndb::Get16(p + 4), index = ndb::Get16(p + 6);
        if (index != i) throw PstError("named property " + std::to_string(i) + " is numbered " + std::to_string(index));
        Entry e{};
        e.key = ndb::Get32(p);
        e.isString = kind & 1;
        e.guidIndex = uint16_t(kind >> 1);
        NamedProperty n;
        if (e.guidIndex == 1)
            n.propertySet = PS_MAPI();
        else if (e.guidIndex == 2)
            n.propertySet = PS_PUBLIC_STRINGS();
        else if (e.guidIndex >= 3 && size_t(e.guidIndex - 3) < guids_.size())
            n.propertySet = guids_[e.guidIndex - 3];
        else
            throw PstError("named property " + std::to_string(i) + " names a property set the map does not hold");
        n.isString = e.isString;
        if (e.isString) {
            if (size_t(e.key) + 4 > strings_.size() || e.key + 4 + ndb::Get32(&strings_[e.key]) > strings_.size())
                throw PstError("named property " + std::to_string(i) + " names a string outside the string stream");
            uint32_t len = ndb::Get32(&strings_[e.key]);
            e.hashKey = ndb::Crc32(&strings_[e.key + 4], len);
            n.name = FromUtf16(&strings_[e.key + 4], len);
            if (n.name.rfind("x-orvandel-pad-", 0) == 0) ++pads_;
        } else {
            e.hashKey = e.key;
            n.lid = e.key;
        }
        if (!inBucket(e.hashKey, kind, index))
            throw PstError("named property " + std::to_string(i) + " is not in its hash bucket");
        entries_[index] = e;
        lookup_.emplace(KeyOf(n), uint16_t(0x8000 + index));
    }
    lastIsPad_ = false;
    dirty_ = false;
}

}  // namespace pst
