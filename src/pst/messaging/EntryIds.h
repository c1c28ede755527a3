#pragma once
// Address forms MAPI stores beside a name: the one-off entry ID
// ([MS-OXCDATA] 2.2.5.1), the search key, and the flat entry list
// ([MS-OXCDATA] 2.3.3) of PR_REPLY_RECIPIENT_ENTRIES.
#include <string_view>
#include <vector>

#include "pst/messaging/PropertyValue.h"

namespace pst {

// One-off entry ID with Unicode strings and no rich information, naming the
// address directly (no address-book lookup).
Binary OneOffEntryId(std::string_view displayName, std::string_view address, std::string_view addrType = "SMTP");

// "TYPE:ADDRESS" in upper case with a terminating NUL, as MAPI builds
// PR_SEARCH_KEY for an address.
Binary AddressSearchKey(std::string_view address, std::string_view addrType = "SMTP");

// FLATENTRYLIST: count, size, then each entry ID with its size, padded to 4 bytes.
Binary FlatEntryList(const std::vector<Binary>& entryIds);

}  // namespace pst
