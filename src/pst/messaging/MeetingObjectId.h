#pragma once
// The global object id that links a meeting's calendar item, its requests and
// its responses ([MS-OXOCAL] 2.2.1.27).
#include <string>

#include "pst/messaging/PropertyValue.h"

namespace pst {

// A meeting's global object id from its iCalendar UID ([MS-OXCICAL]
// 2.1.3.1.1.20.26): a UID that is an Outlook id in hex is that id; any other
// UID is wrapped as "vCal-Uid" data. Empty for an empty UID.
Binary GlobalObjectIdFromUid(const std::string& uid);

// The id of one instance of a recurring meeting: the series' id with the
// instance's original date (year high, year low, month, day) in bytes 16..19.
Binary InstanceGlobalObjectId(Binary seriesId, int year, int month, int day);

}  // namespace pst
