#pragma once
// Distribution-list members linked to contacts of the same store, as Outlook's
// own lists hold them ([MS-OXOCNTC] 2.2.2.2.1): a member whose address is a
// saved contact's e-mail becomes a wrapped entry ID of that contact in the
// members list; the one-off members keep the address. A list saved before the
// contacts it names is linked again when they come (the store session does it
// at each commit), so the order of an export does not matter. A store that is
// added to knows the contacts it held before too: their addresses are read
// from its contacts folders when the first list is saved.
#include <map>
#include <string>
#include <vector>

#include "store/PstStoreSession.h"

namespace store {

// The checksum Outlook checks a list's members against ([MS-OXOCNTC] 2.2.2.2.3).
uint32_t DistListChecksum(const std::vector<pst::Binary>& members);

struct MemberLinks {
    size_t linked = 0;    // members that are links to a saved contact
    size_t unmatched = 0;  // SMTP members no saved contact has (yet)
};

class ContactDirectory {
public:
    // Remembers the saved contact's e-mail addresses (Email1..3) with its ENTRYID.
    void AddContact(const PropertyBag& contact, const pst::Binary& entryId);
    // Remembers one address of a contact (one the file held before this session).
    void AddAddress(const std::string& address, const pst::Binary& entryId);
    // Sets the list's members from its one-off members, those that name a known
    // contact as links to it, with the checksum over them; leaves a list
    // without a link as it is.
    MemberLinks LinkMembers(PropertyBag& list) const;
    // Grows with every contact address learnt: lists need linking again.
    size_t Generation() const { return generation_; }

private:
    std::map<std::string, pst::Binary> byAddress_;  // lower-case address -> ENTRYID
    size_t generation_ = 0;
};

}  // namespace store
