#pragma once
// Zimbra notes (JSON type 9, "<id10>-<subject>.note.meta"). Zimbra keeps a
// note's whole text as the item's subject, its on-screen box as "l"
// ("x,y,width,height") and its colour as "c" in the metadata. Each becomes an
// Outlook note (IPM.StickyNote): the text as body, its first line as subject,
// the nearest of Outlook's five note colours, the box, the tags and times.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "items/ItemConverters.h"
#include "items/ItemTimes.h"

namespace items {

struct StickyNoteFields {
    std::string text;
    int color = 3;  // PidLidNoteColor: 0 blue, 1 green, 2 pink, 3 yellow (Outlook's default), 4 white
    std::optional<int32_t> left, top, width, height;  // the box, when the export gives it
    ItemTimes times;
    std::vector<std::string> categories;
};

// Reads a note's ".meta" file; nothing when it is not complete JSON of type 9.
// A note without text in its JSON takes its companion's text, when there is one.
std::optional<StickyNoteFields> ReadStickyNoteFields(const std::string& metaPath);

// Outlook's note colour nearest to a Zimbra colour ("c": 0 none, 1-9 the
// palette, or 0x01000000 | RGB); no colour is Outlook's yellow.
int OutlookNoteColor(int64_t zimbraColor);

// The subject Outlook shows for a note: its first non-empty line, trimmed.
std::string NoteSubject(const std::string& text);

// Saves an Outlook note made of the fields into the folder (throws StoreError
// when the store refuses it).
void SaveNote(store::Folder& folder, const StickyNoteFields& n);

// Saves the note into ctx.folder, else the store's Notes folder. Failed for a
// damaged file, NoSection for a file that is no note.
ItemOutcome ConvertStickyNoteFile(const ItemContext& ctx, const std::string& metaPath);

}  // namespace items
