#pragma once
// The converters of Zimbra item metadata files (contacts, appointments, tasks,
// notebook pages, notes, Briefcase documents) into items of the store's default folders. The migration
// engine classifies each queued file and calls the converter of its kind.
#include <functional>
#include <memory>
#include <optional>
#include <vector>
#include <string>

#include "store/PstStoreSession.h"

namespace items {

// A member of a contact group, as the distribution list keeps it.
struct GroupMember {
    std::string name;     // the display name, the address when none is given
    std::string address;  // as written, without the angle brackets
    std::string text;     // the member as the export writes it, trimmed (for the body)
};

// What the engine hands every converter for the file at hand.
struct ItemContext {
    store::Session* session = nullptr;  // the open session of the mailbox
    std::string storeEntryID;           // StoreEntryID of the mailbox's store
    std::function<void()> yield;        // lets the window process its events (may be empty)
    std::function<void(const std::string&)> setStatus;  // LblCurrentDBX text (may be empty)
    std::function<void(const std::string&)> note;       // logs what was lost or changed in the file (may be empty)
    // Where the item goes; null: the store's default folder of its kind.
    store::Folder* folder = nullptr;
    // The contact of the export with this Zimbra id as group members (a
    // contact: itself; a group: its members), nothing when the export holds
    // no such contact (may be empty: nothing is known).
    std::function<std::optional<std::vector<GroupMember>>(const std::string& id)> resolveContact;
};

enum class ItemOutcome {
    Saved,      // the item is saved in the store: its source may go once committed
    Failed,     // conversion or save failed: the source stays
    NoSection,  // the file holds no section of this kind: nothing made, the source stays
};

class ItemConverters {
public:
    virtual ~ItemConverters() = default;
    virtual ItemOutcome ConvertContactFile(const ItemContext& ctx, const std::string& metaPath) = 0;
    virtual ItemOutcome ConvertCalendarFile(const ItemContext& ctx, const std::string& metaPath) = 0;
    virtual ItemOutcome ConvertTaskFile(const ItemContext& ctx, const std::string& metaPath) = 0;
    virtual ItemOutcome ConvertNoteFile(const ItemContext& ctx, const std::string& metaPath) = 0;
    // A Zimbra note (type 9): an Outlook note in ctx.folder, else the Notes folder.
    virtual ItemOutcome ConvertStickyNoteFile(const ItemContext& ctx, const std::string& metaPath) = 0;
    // A Briefcase document: a post in ctx.folder with the file attached.
    virtual ItemOutcome ConvertDocumentFile(const ItemContext& ctx, const std::string& metaPath) = 0;
};

// The Zimbra converters.
std::unique_ptr<ItemConverters> CreateZimbraItemConverters();

}  // namespace items
