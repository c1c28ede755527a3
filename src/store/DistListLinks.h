#pragma once
// Distribution-list members linked to contacts of the same store, as Outlook's
// own lists hold them ([MS-OXOCNTC] 2.2.2.2.1): a member whose address is a
// saved contact's e-mail becomes a wrapped entry ID of that contact in the
// members list; the one-off members keep the address.
#include <map>
#include <string>
#include <vector>

#include "store/PstStoreSession.h"

namespace store {

// The checksum Outlook checks a list's members against ([MS-OXOCNTC] 2.2.2.2.3).
uint32_t DistListChecksum(const std::vector<pst::Binary>& members);

class ContactDirectory {
public:
    // Remembers the saved contact's e-mail addresses (Email1..3) with its ENTRYID.
    void AddContact(const PropertyBag& contact, const pst::Binary& entryId);
    // Replaces the list's members that name a known contact by links to it and
    // recomputes the checksum. Contacts saved after the list are not linked.
    void LinkMembers(PropertyBag& list) const;

private:
    std::map<std::string, pst::Binary> byAddress_;  // lower-case address -> ENTRYID
};

}  // namespace store
