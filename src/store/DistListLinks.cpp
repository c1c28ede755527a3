#include "DistListLinks.h"

#include "pst/messaging/PropDecode.h"
#include "store/NamedLid.h"

namespace store {

namespace {

using namespace pst;
using namespace pst::tags;

NamedProperty AddressLid(uint32_t id) { return Lid(PSETID_Address(), id); }

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

// The address of a Unicode one-off entry ID (display name, type, address as
// NUL-terminated UTF-16LE after 24 bytes), lower-cased; "" for anything else.
std::string OneOffAddress(const Binary& id) {
    static const uint8_t kOneOffUid[16] = {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
                                           0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
    if (id.size() < 24 || !std::equal(kOneOffUid, kOneOffUid + 16, id.begin() + 4) || !(id[23] & 0x80)) return {};
    size_t at = 24;
    std::string fields[3];
    for (auto& field : fields) {
        const size_t start = at;
        while (at + 1 < id.size() && (id[at] | id[at + 1]) != 0) at += 2;
        if (at + 1 >= id.size()) return {};  // no terminating NUL
        field = FromUtf16(id.data() + start, at - start);
        at += 2;
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
        auto v = contact.GetNamedProp(AddressLid(id));
        const std::string* s = v ? std::get_if<std::string>(&*v) : nullptr;
        if (s) AddAddress(*s, entryId);
    }
}

void ContactDirectory::AddAddress(const std::string& address, const Binary& entryId) {
    // The first contact of an address wins.
    if (!address.empty() && byAddress_.emplace(Lower(address), entryId).second) ++generation_;
}

MemberLinks ContactDirectory::LinkMembers(PropertyBag& list) const {
    MemberLinks links;
    auto v = list.GetNamedProp(AddressLid(lid::PidLidDistributionListOneOffMembers));
    const auto* oneOffs = v ? std::get_if<std::vector<Binary>>(&*v) : nullptr;
    if (!oneOffs) return links;
    std::vector<Binary> members;
    for (const Binary& id : *oneOffs) {
        const std::string address = OneOffAddress(id);
        auto it = address.empty() ? byAddress_.end() : byAddress_.find(address);
        if (it != byAddress_.end()) {
            members.push_back(WrappedContact(it->second));
            ++links.linked;
        } else {
            members.push_back(id);
            if (!address.empty()) ++links.unmatched;
        }
    }
    if (links.linked == 0) return links;
    list.SetNamedProp(AddressLid(lid::PidLidDistributionListMembers), PT_MV_BINARY, members);
    list.SetNamedProp(AddressLid(lid::PidLidDistributionListChecksum), PT_LONG, int32_t(DistListChecksum(members)));
    return links;
}

}  // namespace store
