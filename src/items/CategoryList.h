#pragma once
// Zimbra tags as Outlook's master category list. The export lists each tag as
// "Tags/<id10>-<name>.meta" (JSON type 3: its real name, its colour "c" in the
// metadata); Outlook keeps its categories in a hidden message of class
// IPM.Configuration.CategoryList in the Calendar folder, whose
// PidTagRoamingXmlStream is the CategoryList.xsd document ([MS-OXOCFG] 2.2.5.2.2).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/PstStoreSession.h"

namespace items {

struct ZimbraTag {
    std::string name;
    int64_t color = 0;  // "c": 0 none, 1-9 Zimbra's palette, or 0x01000000 | RGB
};

// Reads a tag's ".meta" file; nothing when it is not complete JSON of type 3
// with a name.
std::optional<ZimbraTag> ReadTagMeta(const std::string& metaPath);

// Outlook's category colour (the XML's "color": -1 none, 0-24 preset0..24)
// nearest to the tag's: the palette by its names (blue, cyan as teal, green,
// purple, red, yellow, pink as maroon, gray, orange), an RGB value by the
// nearest of Outlook's preset colours.
int OutlookCategoryColor(int64_t zimbraColor);

// The category list document for the tags, in their order (names occurring
// again, letter case aside, are left out). `now` (Unix seconds) is written as
// the list's save time.
std::string CategoryListXml(const std::vector<ZimbraTag>& tags, int64_t now);

// Saves the list as the hidden configuration message in the store's Calendar
// folder. Throws StoreError when it cannot be saved.
void SaveCategoryList(store::Store& store, const std::vector<ZimbraTag>& tags);

}  // namespace items
