#include "items/ItemTimes.h"

#include <algorithm>

#include "items/ZimbraTime.h"
#include "store/PstStoreSession.h"

namespace items {

namespace {

// 1980..2200 in seconds; Zimbra 7 and 8 write seconds, a few tools milliseconds.
std::optional<int64_t> PlausibleSeconds(const std::string& text) {
    if (text.empty() || text.size() > 15 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    int64_t v = std::stoll(text);
    if (v > 100000000000LL) v /= 1000;
    if (v < 315532800LL || v > 7258118400LL) return std::nullopt;
    return v;
}

}  // namespace

ItemTimes ItemTimesFromMeta(const MetaFile& meta) {
    ItemTimes t;
    if (!meta.isJson) return t;
    t.created = PlausibleSeconds(meta.Member("date").value_or(""));
    t.modified = PlausibleSeconds(meta.Member("change_date").value_or(""));
    if (!t.modified) t.modified = t.created;
    if (t.created && t.modified && *t.modified < *t.created) t.modified = t.created;
    if (!t.created) t.created = t.modified;
    return t;
}

void PutItemTimes(store::PropertyBag& bag, const ItemTimes& times) {
    if (times.created) bag.SetProp(pst::tags::PR_CREATION_TIME, UnixToFileTime(*times.created));
    if (times.modified) bag.SetProp(pst::tags::PR_LAST_MODIFICATION_TIME, UnixToFileTime(*times.modified));
}

}  // namespace items
