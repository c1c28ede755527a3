#pragma once
// The state Zimbra recorded for a message, read from the ".eml.meta" file
// beside its ".eml": read or unread, the follow-up flag, the reply and forward
// verbs, draft, the message's tags and its times.
#include <string>
#include <vector>

#include "items/ItemTimes.h"
#include "items/ZimbraMetaReader.h"

namespace items {

struct MessageState {
    bool known = false;      // the ".meta" file was read and is one complete JSON object
    bool unread = false;     // "unread" non-zero, or "u" in FlagStr
    bool flagged = false;    // "f" in FlagStr
    bool replied = false;    // "r"
    bool forwarded = false;  // "w"
    bool draft = false;      // "d"
    std::vector<std::string> categories;  // the tag names of "TagNames"
    ItemTimes times;                      // received ("date") and last changed ("change_date")
};

// The state in a parsed ".meta" file; nothing known when it is not JSON.
MessageState MessageStateFromMeta(const MetaFile& meta);

// The state in the ".meta" file at metaPath (the message's path + ".meta").
// A file that is missing, unreadable, empty, not JSON or cut off gives a state
// with nothing known (a read message without flags or tags); it never throws
// for the file's content.
MessageState ReadMessageState(const std::string& metaPath);

}  // namespace items
