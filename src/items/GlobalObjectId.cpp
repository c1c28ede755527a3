#include "items/GlobalObjectId.h"

#include "pst/messaging/MeetingObjectId.h"

namespace items {

pst::Binary GlobalObjectIdFromUid(const std::string& uid) { return pst::GlobalObjectIdFromUid(uid); }

}  // namespace items
