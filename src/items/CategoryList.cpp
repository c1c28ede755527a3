#include "items/CategoryList.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "items/MetaValue.h"
#include "items/ZimbraMetaReader.h"

namespace items {

namespace {

// Outlook's preset category colours, preset0 (red) .. preset24 (dark maroon).
constexpr uint32_t kPresets[25] = {0xE7A1A2, 0xF9BA89, 0xF7DD8F, 0xFCFA90, 0x78D168, 0x9FDCC9, 0xC6D2B0,
                                   0x9DB7E8, 0xB5A1E2, 0xDAAEC2, 0xDAD9DC, 0x6B7994, 0xBFBFBF, 0x6F6F6F,
                                   0x4F4F4F, 0xC11A25, 0xE2620D, 0xC79930, 0xB9B300, 0x368F2B, 0x329B7A,
                                   0x778B45, 0x2858A5, 0x5C3FA3, 0x93446B};

// A perceptual ("redmean") distance between two RGB colours.
double Distance(uint32_t a, uint32_t b) {
    const double r1 = (a >> 16) & 0xFF, g1 = (a >> 8) & 0xFF, b1 = a & 0xFF;
    const double r2 = (b >> 16) & 0xFF, g2 = (b >> 8) & 0xFF, b2 = b & 0xFF;
    const double rm = (r1 + r2) / 2, dr = r1 - r2, dg = g1 - g2, db = b1 - b2;
    return (2 + rm / 256) * dr * dr + 4 * dg * dg + (2 + (255 - rm) / 256) * db * db;
}

std::string XmlText(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default:
            // XML 1.0 takes no other control characters; a tag name holds none anyway.
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t') out += ' ';
            else out += c;
        }
    }
    return out;
}

std::string LowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

// A GUID from the name, so that a category keeps its id from run to run.
std::string GuidOf(const std::string& name) {
    uint64_t h1 = 0xcbf29ce484222325ULL, h2 = 0x84222325cbf29ce4ULL;
    for (unsigned char c : name) {
        h1 = (h1 ^ c) * 0x100000001b3ULL;
        h2 = (h2 ^ c) * 0x100000001b3ULL + 0x9e3779b97f4a7c15ULL;
    }
    char buf[48];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%04X-%012llX}", unsigned(h1 >> 32), unsigned((h1 >> 16) & 0xFFFF),
                  unsigned((h1 & 0x0FFF) | 0x4000), unsigned(((h2 >> 48) & 0x3FFF) | 0x8000),
                  static_cast<unsigned long long>(h2 & 0xFFFFFFFFFFFFULL));
    return buf;
}

std::string XmlTime(int64_t unix) {
    const std::time_t t = static_cast<std::time_t>(unix);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S.000", &tm);
    return buf;
}

}  // namespace

std::optional<ZimbraTag> ReadTagMeta(const std::string& metaPath) {
    const MetaFile file = ParseMetaFile(ReadMetaText(metaPath));
    if (!file.isJson || file.ItemType() != 3) return std::nullopt;
    ZimbraTag tag;
    tag.name = TrimSpaces(file.Member("name").value_or(file.Member("subject").value_or("")));
    if (tag.name.empty()) return std::nullopt;
    if (auto top = ReadMetaDictionary(file.Member("metadata").value_or(""))) {
        const std::string c = top->Text("c");
        if (!c.empty() && c.size() < 12 && std::all_of(c.begin(), c.end(), [](char ch) { return ch >= '0' && ch <= '9'; }))
            tag.color = std::stoll(c);
    }
    return tag;
}

int OutlookCategoryColor(int64_t zimbraColor) {
    if (zimbraColor <= 0) return -1;
    if (zimbraColor & 0x01000000) {
        const uint32_t rgb = static_cast<uint32_t>(zimbraColor & 0xFFFFFF);
        int best = 0;
        for (int i = 1; i < 25; ++i)
            if (Distance(rgb, kPresets[i]) < Distance(rgb, kPresets[best])) best = i;
        return best;
    }
    // Zimbra's palette 1-9 by its names; an index past it is orange, as Zimbra reads it.
    static constexpr int kPalette[10] = {-1, 7, 5, 4, 8, 0, 3, 9, 12, 1};
    return zimbraColor <= 9 ? kPalette[zimbraColor] : 1;
}

std::string CategoryListXml(const std::vector<ZimbraTag>& tags, int64_t now) {
    const std::string never = "1601-01-01T00:00:00.000";
    std::string xml = "<?xml version=\"1.0\"?>\r\n<categories lastSavedSession=\"0\" lastSavedTime=\"" + XmlTime(now) +
                      "\" xmlns=\"CategoryList.xsd\">\r\n";
    std::vector<std::string> seen;
    for (const auto& tag : tags) {
        const std::string key = LowerAscii(tag.name);
        if (tag.name.empty() || std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
        seen.push_back(key);
        xml += "<category name=\"" + XmlText(tag.name) + "\" color=\"" + std::to_string(OutlookCategoryColor(tag.color)) +
               "\" keyboardShortcut=\"0\" usageCount=\"0\" lastTimeUsedNotes=\"" + never + "\" lastTimeUsedJournal=\"" +
               never + "\" lastTimeUsedContacts=\"" + never + "\" lastTimeUsedTasks=\"" + never +
               "\" lastTimeUsedCalendar=\"" + never + "\" lastTimeUsedMail=\"" + never + "\" lastTimeUsed=\"" + never +
               "\" lastSessionUsed=\"0\" guid=\"" + GuidOf(tag.name) + "\" renameOnFirstUse=\"0\"/>\r\n";
    }
    return xml + "</categories>\r\n";
}

void SaveCategoryList(store::Store& store, const std::vector<ZimbraTag>& tags) {
    const std::string xml = CategoryListXml(tags, static_cast<int64_t>(std::time(nullptr)));
    auto item = store.GetDefaultFolder(store::olFolderCalendar).AddItem(store::ItemType::Mail);
    item->SetProp(pst::tags::PR_MESSAGE_CLASS, std::string("IPM.Configuration.CategoryList"));
    item->SetProp(pst::tags::PR_SUBJECT, std::string("IPM.Configuration.CategoryList"));
    item->SetProp(pst::tags::PR_MESSAGE_FLAGS, int32_t(0x40 | 0x01));  // associated, read
    item->SetProp(pst::MakeTag(0x7C06, pst::PT_LONG), int32_t(4));     // PidTagRoamingDatatypes: an XML stream
    item->SetProp(pst::MakeTag(0x7C08, pst::PT_BINARY), pst::Binary(xml.begin(), xml.end()));  // PidTagRoamingXmlStream
    item->Save();
}

}  // namespace items
