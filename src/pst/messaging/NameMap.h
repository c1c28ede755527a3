#pragma once
// The name-to-id map ([MS-PST] 2.4.7): named properties get the tag ids
// 0x8000 + i in the order they are first used; the map node (NID 0x61) holds
// the GUID, entry and string streams and the 251 hash buckets.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "PropertyValue.h"
#include "pst/ltp/PropContext.h"

namespace pst {

class NameMap {
public:
    // The property id of `name`, registering it when new.
    uint16_t IdFor(const NamedProperty& name);
    // The id if registered, else 0.
    uint16_t Find(const NamedProperty& name) const;
    size_t Count() const { return entries_.size(); }
    bool Dirty() const { return dirty_; }
    void MarkClean() { dirty_ = false; }
    // Some readers (java-libpst and its ports) skip the last entry of the entry
    // stream; a padding name registered last keeps every real name visible.
    void EnsureTrailingPad();
    // Takes over the map of an opened file from its node's properties; ids
    // already given keep their meaning, new names are numbered on.
    void Load(const std::vector<ltp::PcProp>& props);
    // The PC properties of the map node.
    std::vector<ltp::PcProp> Properties() const;

private:
    struct Entry {
        uint32_t key;       // LID, or offset of the name in the string stream
        uint32_t hashKey;   // LID, or CRC of the UTF-16LE name
        uint16_t guidIndex; // wGuid
        bool isString;
    };
    uint16_t GuidIndex(const Guid& g);
    static std::string KeyOf(const NamedProperty& n);

    std::vector<Entry> entries_;
    std::vector<Guid> guids_;
    ndb::Bytes strings_;
    std::map<std::string, uint16_t> lookup_;
    uint32_t pads_ = 0;
    bool lastIsPad_ = false;
    bool dirty_ = true;
};

}  // namespace pst
