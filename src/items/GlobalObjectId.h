#pragma once
// The global object id that links a meeting's calendar item and its requests.
#include <string>

#include "pst/messaging/PropertyValue.h"

namespace items {

// A meeting's global object id ([MS-OXOCAL] 2.2.1.27) from its iCalendar UID
// ([MS-OXCICAL] 2.1.3.1.1.20.26): a UID that is an Outlook id in hex is that id;
// any other UID is wrapped as "vCal-Uid" data. Empty for an empty UID.
pst::Binary GlobalObjectIdFromUid(const std::string& uid);

}  // namespace items
