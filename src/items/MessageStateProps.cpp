#include "items/MessageStateProps.h"

#include <cstdint>
#include <string>

#include "pst/messaging/PropTags.h"
#include "store/PstStoreSession.h"

namespace items {
namespace {

constexpr int32_t kMsgFlagRead = 0x01;       // MSGFLAG_READ
constexpr int32_t kMsgFlagUnsent = 0x08;     // MSGFLAG_UNSENT
constexpr int32_t kMsgFlagHasAttach = 0x10;  // MSGFLAG_HASATTACH; the store keeps it only with attachments

}  // namespace

// The flag is [MS-OXOFLAG]'s red color flag; the verbs and icons are
// [MS-OXOMSG]'s reply to sender (102, icon 261) and forward (104, icon 262).
// A message both replied to and forwarded shows the reply.
void PutMessageState(store::Item& item, const MessageState& state) {
    int32_t flags = kMsgFlagHasAttach;
    if (!state.unread) flags |= kMsgFlagRead;
    if (state.draft) flags |= kMsgFlagUnsent;
    item.SetProp(pst::tags::PR_MESSAGE_FLAGS, flags);
    if (state.flagged) {
        item.SetProp(pst::tags::PR_FLAG_STATUS, int32_t(2));    // followupFlagged
        item.SetProp(pst::tags::PR_FOLLOWUP_ICON, int32_t(6));  // red
        pst::NamedProperty request;
        request.propertySet = pst::PSETID_Common();
        request.lid = pst::tags::lid::PidLidFlagRequest;
        item.SetNamedProp(request, pst::PT_UNICODE, std::string("Follow up"));
    }
    if (state.replied || state.forwarded) {
        item.SetProp(pst::tags::PR_LAST_VERB_EXECUTED, int32_t(state.replied ? 102 : 104));
        item.SetProp(pst::tags::PR_ICON_INDEX, int32_t(state.replied ? 261 : 262));
    }
    // As a list, so that a tag whose name holds "," or ";" stays one category.
    if (!state.categories.empty()) item.Put("Categories", state.categories);
    // When Zimbra received and last changed it, not when it was converted.
    PutItemTimes(item, state.times);
}

}  // namespace items
