#pragma once
// MAPI forms of an SMTP address: the one-off entry ID ([MS-OXCDATA] 2.2.5.1),
// the search key, and the flat entry list of PR_REPLY_RECIPIENT_ENTRIES.
#include <string>
#include <string_view>
#include <vector>

#include "pst/messaging/PropertyValue.h"

namespace mime {

// UTF-8 to UTF-16LE bytes, without a terminator.
pst::Binary Utf16le(std::string_view utf8);

// One-off entry ID of a Unicode SMTP recipient.
pst::Binary OneOffEntryId(std::string_view displayName, std::string_view address, std::string_view addrType = "SMTP");

// "SMTP:" + upper-cased address + NUL, as MAPI builds PR_SEARCH_KEY.
pst::Binary SearchKey(std::string_view address, std::string_view addrType = "SMTP");

// FLATENTRYLIST: count, size, then each entry ID padded to 4 bytes.
pst::Binary FlatEntryList(const std::vector<pst::Binary>& entryIds);

}  // namespace mime
