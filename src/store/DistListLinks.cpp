#include "DistListLinks.h"

namespace store {

namespace {

using namespace pst;
using namespace pst::tags;

NamedProperty Lid(uint32_t id) {
    NamedProperty n;
    n.propertySet = PSETID_Address();
    n.lid = id;
    return n;
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

// The address of a Unicode one-off entry ID (display name, type, address as
// NUL-terminated UTF-16LE after 24 bytes); "" for anything else.
std::string OneOffAddress(const Binary& id) {
    static const uint8_t kOneOffUid[16] = {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
                                           0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
    if (id.size() < 24 || !std::equal(kOneOffUid, kOneOffUid + 16, id.begin() + 4) || !(id[23] & 0x80)) return {};
    size_t at = 24;
    std::string fields[3];
    for (auto& field : fields) {
        for (; at + 1 < id.size(); at += 2) {
            const uint16_t u = uint16_t(id[at] | (id[at + 1] << 8));
            if (u == 0) break;
            if (u >= 0x80) return {};  // only plain addresses are matched
            field += char(u);
        }
        at += 2;
        if (at > id.size()) return {};
    }
    return fields[1] == "SMTP" ? Lower(fields[2]) : std::string();
}

// A wrapped entry ID of a contact in this store ([MS-OXOCNTC] 2.2.2.2.1).
Binary WrappedContact(const Binary& entryId) {
    Binary b = {0, 0, 0, 0, 0xC0, 0x91, 0xAD, 0xD3, 0x51, 0x9D, 0xCF, 0x11, 0xA4, 0xA9, 0x00, 0xAA, 0x00, 0x47, 0xFA, 0xA4,
                0xC3};  // a contact (3) with its message ENTRYID embedded (0xC0)
    b.insert(b.end(), entryId.begin(), entryId.end());
    return b;
}

}  // namespace

void ContactDirectory::AddContact(const PropertyBag& contact, const Binary& entryId) {
    for (uint32_t id : {lid::PidLidEmail1EmailAddress, lid::PidLidEmail2EmailAddress, lid::PidLidEmail3EmailAddress}) {
        auto v = contact.GetNamedProp(Lid(id));
        const std::string* s = v ? std::get_if<std::string>(&*v) : nullptr;
        if (s && !s->empty()) byAddress_.emplace(Lower(*s), entryId);  // the first contact of an address wins
    }
}

void ContactDirectory::LinkMembers(PropertyBag& list) const {
    if (byAddress_.empty()) return;
    auto v = list.GetNamedProp(Lid(lid::PidLidDistributionListOneOffMembers));
    const auto* oneOffs = v ? std::get_if<std::vector<Binary>>(&*v) : nullptr;
    if (!oneOffs) return;
    std::vector<Binary> members;
    bool linked = false;
    for (const Binary& id : *oneOffs) {
        auto it = byAddress_.find(OneOffAddress(id));
        if (it != byAddress_.end() && !it->first.empty()) {
            members.push_back(WrappedContact(it->second));
            linked = true;
        } else {
            members.push_back(id);
        }
    }
    if (!linked) return;
    list.SetNamedProp(Lid(lid::PidLidDistributionListMembers), PT_MV_BINARY, members);
    list.SetNamedProp(Lid(lid::PidLidDistributionListChecksum), PT_LONG, int32_t(DistListChecksum(members)));
}

}  // namespace store
