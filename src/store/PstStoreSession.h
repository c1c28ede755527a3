#pragma once
// The store session: the object model the converters use to write a PST.
// Session -> Store -> Folders -> Items, in the order a mailbox run uses them:
//
//   auto session = store::CreatePstSession();
//   store::Store& st = session->LogonPstStore(path, 1, displayName);
//   std::string id = st.EntryID();
//   st.ValidateIPMTree();
//   store::Folder& inbox = session->GetStoreFromID(id).GetDefaultFolder(store::olFolderInbox);
//   auto item = inbox.AddItem(store::ItemType::Mail);
//   item->SetProp(pst::tags::PR_MESSAGE_FLAGS, int32_t(17));
//   item->Save();
//   st.Commit();          // durable point: the file on disk is a complete PST
//   session->Logoff();    // commits and closes
//
// Every failure is a StoreError whose what() is the text shown to the user or
// parsed by callers (GetFolderFromPath: `Folder "X" does not exist`).
// The interfaces are abstract so that tests can run the callers over a fake store.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "pst/messaging/PropTags.h"
#include "pst/messaging/PropertyValue.h"
#include "store/SourceIndex.h"

namespace store {

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Outlook's OlItemType codes, as Items.Add takes them.
enum class ItemType : int { Mail = 0, Appointment = 1, Contact = 2, Task = 3, Note = 5 };

// Outlook's OlDefaultFolders numbers, as GetDefaultFolder takes them.
enum DefaultFolder : int {
    olFolderDeletedItems = 3,
    olFolderOutbox = 4,
    olFolderSentMail = 5,
    olFolderInbox = 6,
    olFolderCalendar = 9,
    olFolderContacts = 10,
    olFolderJournal = 11,
    olFolderNotes = 12,
    olFolderTasks = 13,
    olFolderDrafts = 16,
    olFolderJunk = 23,
};

// Outlook's folder type code for Folders.Add: 6 = mail folder.
inline constexpr int olFolderMail = 6;

// The attachments one item can hold: a PST message's subnode tree holds
// 340 x 510 nodes, and a few hundred of them are its tables and large values.
inline constexpr size_t kMaxAttachments = 172000;

// Pull source for streamed data: fills up to `capacity` bytes, returns how many;
// 0 means the end. Throws StoreError (or anything) on a read failure.
using DataSource = std::function<size_t(uint8_t* buffer, size_t capacity)>;

// A set of properties: a recipient row, an attachment, a message.
class PropertyBag {
public:
    virtual ~PropertyBag() = default;
    // A tagged property (id << 16 | type). Putting a tag again replaces the value.
    virtual void SetProp(uint32_t tag, pst::PropValue value) = 0;
    // A named property; the store assigns its id in the name-to-id map.
    virtual void SetNamedProp(const pst::NamedProperty& name, uint16_t type, pst::PropValue value) = 0;
    // The value put so far, if any.
    virtual std::optional<pst::PropValue> GetProp(uint32_t tag) const = 0;
    virtual std::optional<pst::PropValue> GetNamedProp(const pst::NamedProperty& name) const = 0;
    virtual void DeleteProp(uint32_t tag) = 0;
};

class Item;

class Attachment : public PropertyBag {
public:
    // Attachment by value: the data is streamed into the file in bounded chunks.
    virtual void SetData(DataSource source) = 0;
    void SetData(const std::vector<uint8_t>& bytes);  // convenience over the source form
    void SetDataFromFile(const std::string& path);     // throws StoreError if unreadable
    // Turns the attachment into an embedded message (attach method 5) and returns
    // it; it is written when the parent item is saved.
    virtual Item& EmbeddedMessage(ItemType type = ItemType::Mail) = 0;
};

class Item : public PropertyBag {
public:
    virtual ItemType Type() const = 0;
    // Adds a recipient row; the caller sets PR_RECIPIENT_TYPE, names and addresses.
    virtual PropertyBag& AddRecipient() = 0;
    virtual Attachment& AddAttachment() = 0;
    virtual size_t AttachmentCount() const = 0;
    // Writes the item into its folder (once). PR_MESSAGE_FLAGS keeps what was put,
    // except MSGFLAG_HASATTACH, which follows the real attachments.
    virtual void Save() = 0;

    // Outlook object-model property put by name ("FirstName", "Start", "Location",
    // ...), mapped onto tagged and named properties. Throws StoreError for a name
    // the store does not know.
    void Put(std::string_view outlookName, const pst::PropValue& value);
    // Attachments.Add(path): an attachment by value from a file, named after it.
    Attachment& AttachmentsAdd(const std::string& path);
    // A contact's picture: the contact-photo attachment and the has-picture flag.
    void AddPicture(const std::string& path);
};

class Folder {
public:
    virtual ~Folder() = default;
    virtual std::string Name() const = 0;
    virtual std::string EntryID() const = 0;
    // Sub-folders, in creation order. Pointers stay valid until log-off.
    virtual std::vector<Folder*> Folders() = 0;
    // Folders.Add(name, type): a new sub-folder (type 6 = mail). Throws StoreError
    // when a sub-folder of that name exists already or the name is empty.
    virtual Folder& AddFolder(const std::string& name, int type = olFolderMail) = 0;
    // Items.Add(type): a new, unsaved item of the folder.
    virtual std::unique_ptr<Item> AddItem(ItemType type) = 0;
    virtual size_t ItemCount() const = 0;
};

class Store {
public:
    virtual ~Store() = default;
    virtual std::string EntryID() const = 0;
    virtual std::string DisplayName() const = 0;
    // Creates the default folders that are missing (Inbox, Outbox, Sent Items,
    // Deleted Items, Drafts, Junk E-mail, Calendar, Contacts, Journal, Notes, Tasks).
    virtual void ValidateIPMTree() = 0;
    virtual Folder& GetDefaultFolder(int n) = 0;
    virtual Folder& IPMRootFolder() = 0;
    // "\\" + display name + "\" + relative path, components separated by "\";
    // a trailing "\" is allowed. Fails with `Folder "X" does not exist`.
    virtual Folder& GetFolderFromPath(const std::string& path) = 0;
    // Durable point: the file on disk is a complete, valid PST holding every item
    // saved so far, flushed to stable storage.
    virtual void Commit() = 0;
    // Bytes the file takes so far (blocks written, the indexes not yet): what a
    // run that keeps PSTs under a size limit goes by. 0 when not known.
    virtual uint64_t FileBytes() const { return 0; }
    // The source the items saved from now on come from ("" for none): each
    // carries it, and the store holds it from the next commit on (SourceIndex.h).
    virtual void SetItemSource(const std::string& source) { (void)source; }
    // True when a committed item of this store (or of the file as opened) came from `source`.
    virtual bool HoldsSource(const std::string& source) const {
        (void)source;
        return false;
    }
};

struct SessionOptions {
    bool encrypt = true;  // compressible encryption, as Outlook writes by default
    // The Windows locale id (LCID) items are stamped with, as the Outlook that
    // saves them would: 1033 (en-US) unless the user names theirs.
    int32_t localeId = 1033;
};

class Session {
public:
    virtual ~Session() = default;
    // Format 1 = Unicode PST. Creates the file, or opens an existing Unicode PST
    // to add to it (its own display name stays). Anything else at the path (an
    // ANSI or 4 KiB-page PST, a damaged or truncated file, not a PST) is refused
    // with a StoreError naming the reason, and left byte for byte as it was.
    virtual Store& LogonPstStore(const std::string& path, int format, const std::string& displayName) = 0;
    virtual Store& GetStoreFromID(const std::string& entryId) = 0;
    // Commits and closes every store; objects of the session are invalid after.
    virtual void Logoff() = 0;
};

// The PST-writing session.
std::unique_ptr<Session> CreatePstSession(const SessionOptions& options = {});

// The sources the items of an existing PST came from, read without changing
// the file (for the other PSTs of a mailbox split by size). Throws StoreError.
SourceIndex ReadSourceIndex(const std::string& path);

}  // namespace store
