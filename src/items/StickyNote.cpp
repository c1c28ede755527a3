#include "items/StickyNote.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "items/Companion.h"
#include "items/ItemText.h"
#include "items/MetaValue.h"
#include "items/TempFiles.h"
#include "items/ZimbraMetaReader.h"
#include "pst/messaging/PropTags.h"

namespace items {

namespace {

std::optional<int64_t> Number(const std::string& text) {
    int64_t v = 0;
    const std::string t = TrimSpaces(text);
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (ec != std::errc() || end != t.data() + t.size() || t.empty()) return std::nullopt;
    return v;
}

// Zimbra's box "x,y" or "x,y,width,height"; a width or height of 0 means none given.
void ReadBox(const std::string& box, StickyNoteFields& n) {
    std::vector<std::optional<int64_t>> parts;
    size_t start = 0;
    for (;;) {
        const size_t comma = box.find(',', start);
        parts.push_back(Number(box.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (parts.size() != 2 && parts.size() != 4) return;
    if (std::any_of(parts.begin(), parts.end(), [](const auto& p) {
            return !p || *p < -100000 || *p > 100000;  // no screen is that large
        }))
        return;
    n.left = int32_t(*parts[0]);
    n.top = int32_t(*parts[1]);
    if (parts.size() == 4 && *parts[2] > 0 && *parts[3] > 0) {
        n.width = int32_t(*parts[2]);
        n.height = int32_t(*parts[3]);
    }
}

template <typename V>
void TryPut(store::Item& item, std::string_view name, V value) {
    try {
        item.Put(name, pst::PropValue(std::move(value)));
    } catch (const std::exception&) {
    }
}

}  // namespace

int OutlookNoteColor(int64_t zimbraColor) {
    constexpr int kBlue = 0, kGreen = 1, kPink = 2, kYellow = 3, kWhite = 4;
    // Zimbra's palette 1-9 (blue, cyan, green, purple, red, yellow, pink, gray,
    // orange) as the nearest of Outlook's five.
    static constexpr std::array<int, 10> kPalette = {kYellow, kBlue, kBlue, kGreen, kPink, kPink,
                                                     kYellow, kPink, kWhite, kYellow};
    static constexpr std::array<uint32_t, 9> kPaletteRgb = {0x5b9bf2, 0x43eded, 0x6acb9e, 0xba86e5, 0xf66666,
                                                            0xf8fa33, 0xfe98d3, 0xbebebe, 0xfdbc55};
    if (zimbraColor <= 0) return kYellow;
    if (zimbraColor & 0x01000000) {
        // A colour of its own: by the nearest palette colour.
        const uint32_t rgb = uint32_t(zimbraColor) & 0xFFFFFF;
        auto channel = [](uint32_t c, int shift) { return int((c >> shift) & 0xFF); };
        size_t best = 0;
        int64_t bestDistance = -1;
        for (size_t i = 0; i < kPaletteRgb.size(); ++i) {
            int64_t d = 0;
            for (int shift : {16, 8, 0}) {
                const int64_t delta = channel(rgb, shift) - channel(kPaletteRgb[i], shift);
                d += delta * delta;
            }
            if (bestDistance < 0 || d < bestDistance) {
                bestDistance = d;
                best = i;
            }
        }
        return kPalette[best + 1];
    }
    // Zimbra reads an index past its palette as orange.
    return zimbraColor <= 9 ? kPalette[size_t(zimbraColor)] : kPalette[9];
}

std::string NoteSubject(const std::string& text) {
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find_first_of("\r\n", start);
        const std::string line = TrimSpaces(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (!line.empty()) return line;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return {};
}

std::optional<StickyNoteFields> ReadStickyNoteFields(const std::string& metaPath) {
    const MetaFile file = ParseMetaFile(ReadMetaText(metaPath));
    if (!file.isJson || file.ItemType() != 9) return std::nullopt;
    StickyNoteFields n;
    n.text = file.Member("subject").value_or("");
    n.times = ItemTimesFromMeta(file);
    if (auto names = file.Member("TagNames")) n.categories = SplitTagNames(*names);
    if (auto top = ReadMetaDictionary(file.Member("metadata").value_or(""))) {
        if (auto c = Number(top->Text("c"))) n.color = OutlookNoteColor(*c);
        ReadBox(top->Text("l"), n);
    }
    if (TrimSpaces(n.text).empty()) {
        const std::string companion = ItemCompanionPath(metaPath);
        std::string bytes;
        if (!companion.empty() && IsExistingFile(companion) && ReadFileBytes(companion, bytes, false))
            n.text = DecodeToUtf8(std::vector<uint8_t>(bytes.begin(), bytes.end()), "utf-8");
    }
    return n;
}

ItemOutcome ConvertStickyNoteFile(const ItemContext& ctx, const std::string& metaPath) {
    if (ctx.setStatus) ctx.setStatus("Converting Notes... from (" + metaPath + ")");
    if (ctx.yield) ctx.yield();
    const MetaFile file = ParseMetaFile(ReadMetaText(metaPath));
    if (!file.isJson) return ItemOutcome::Failed;  // empty, cut off or damaged
    const std::optional<StickyNoteFields> n = ReadStickyNoteFields(metaPath);
    if (!n) return ItemOutcome::NoSection;
    if (!ctx.session && !ctx.folder) return ItemOutcome::Failed;
    if (TrimSpaces(n->text).empty() && ctx.note) ctx.note("the note has no text");

    try {
        SaveNote(ctx.folder ? *ctx.folder
                            : ctx.session->GetStoreFromID(ctx.storeEntryID).GetDefaultFolder(store::olFolderNotes),
                 *n);
    } catch (const std::exception&) {
        return ItemOutcome::Failed;  // the store refused it: the source stays
    }
    return ItemOutcome::Saved;
}

void SaveNote(store::Folder& folder, const StickyNoteFields& n) {
    auto item = folder.AddItem(store::ItemType::Note);
    store::Item& it = *item;
    TryPut(it, "MessageClass", std::string("IPM.StickyNote"));
    // Outlook shows a note's first line as its subject and keeps the whole text as its body.
    if (const std::string subject = NoteSubject(n.text); !subject.empty()) TryPut(it, "Subject", subject);
    if (!n.text.empty()) TryPut(it, "Body", n.text);
    if (!n.categories.empty()) TryPut(it, "Categories", n.categories);
    TryPut(it, "Color", int32_t(n.color));
    TryPut(it, "Width", n.width.value_or(200));  // Outlook's size of a new note
    TryPut(it, "Height", n.height.value_or(166));
    if (n.left) TryPut(it, "Left", *n.left);
    if (n.top) TryPut(it, "Top", *n.top);
    // [MS-OXOMSG] PidTagIconIndex: 0x300 + the note colour (blue, green, pink, yellow, white).
    try {
        it.SetProp(pst::tags::PR_ICON_INDEX, int32_t(0x300 + n.color));
    } catch (const std::exception&) {
    }
    PutItemTimes(it, n.times);
    it.Save();
}

}  // namespace items
