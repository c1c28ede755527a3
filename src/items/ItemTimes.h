#pragma once
// When Zimbra made and last changed an item: the ".meta" file's "date" and
// "change_date" (seconds), kept as the item's creation and modification times
// rather than the time of the conversion.
#include <cstdint>
#include <optional>

#include "items/ZimbraMetaReader.h"

namespace store {
class PropertyBag;
}

namespace items {

struct ItemTimes {
    std::optional<int64_t> created;   // Unix seconds
    std::optional<int64_t> modified;  // never before `created`
};

// The times of a parsed ".meta" file; nothing for a value that is missing, not
// a number, or not a plausible time (a value in milliseconds is taken as such).
ItemTimes ItemTimesFromMeta(const MetaFile& meta);

// PR_CREATION_TIME and PR_LAST_MODIFICATION_TIME of an item or attachment.
void PutItemTimes(store::PropertyBag& bag, const ItemTimes& times);

}  // namespace items
