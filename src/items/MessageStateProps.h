#pragma once
// Puts the state Zimbra recorded for a message on the item imported from it.
#include "items/MessageState.h"

namespace store {
class Item;
}

namespace items {

// Read or unread, draft, a red follow-up flag, the last verb with its icon,
// the tags as categories, and the times. A message with no known state is
// read, nothing else set.
void PutMessageState(store::Item& item, const MessageState& state);

}  // namespace items
