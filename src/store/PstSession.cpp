// The store session over the PST library: Session -> Store -> Folder -> Item.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>

#include "DistListLinks.h"
#include "OutlookDefaults.h"
#include "PstStoreSession.h"
#include "SourceLog.h"
#include "pst/messaging/FileMessages.h"
#include "pst/messaging/Message.h"
#include "pst/messaging/PropEncode.h"
#include "pst/messaging/PstStore.h"
#include "pst/ndb/DataStream.h"
#include "pst/ndb/Error.h"

namespace store {
namespace {

using pst::PropMap;
using pst::PropValue;

// Library failures reach callers as StoreError with the same text.
template <class F>
auto Guard(F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const pst::PstError& e) {
        throw StoreError(e.what());
    }
}

std::string Hex(const pst::Binary& b) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (uint8_t x : b) {
        s += digits[x >> 4];
        s += digits[x & 15];
    }
    return s;
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// Text is always stored as PT_UNICODE in a Unicode PST.
uint32_t NormalTag(uint32_t tag) {
    uint16_t type = pst::TagType(tag);
    if (type == pst::PT_STRING8) return pst::MakeTag(pst::TagId(tag), pst::PT_UNICODE);
    if (type == 0x101E) return pst::MakeTag(pst::TagId(tag), pst::PT_MV_UNICODE);
    return tag;
}

void PutProp(PropMap& props, uint32_t tag, PropValue value) {
    tag = NormalTag(tag);
    Guard([&] { pst::CheckValue(pst::TagType(tag), value); });  // reject a mismatch here, not at Save
    auto it = props.lower_bound(tag & 0xFFFF0000u);
    while (it != props.end() && (it->first >> 16) == (tag >> 16)) it = props.erase(it);
    // `it` is where the tag goes: no second search.
    props.emplace_hint(it, tag, std::move(value));
}

std::optional<PropValue> FindProp(const PropMap& props, uint32_t tag) {
    auto it = props.find(NormalTag(tag));
    if (it == props.end()) return std::nullopt;
    return it->second;
}

std::optional<PropValue> FindById(const PropMap& props, uint16_t id) {
    auto it = props.lower_bound(uint32_t(id) << 16);
    if (it == props.end() || (it->first >> 16) != id) return std::nullopt;
    return it->second;
}

const char* ClassFor(ItemType t) {
    switch (t) {
    case ItemType::Appointment: return "IPM.Appointment";
    case ItemType::Contact: return "IPM.Contact";
    case ItemType::Task: return "IPM.Task";
    case ItemType::Note: return "IPM.StickyNote";
    case ItemType::Mail: break;
    }
    return "IPM.Note";
}

std::string ContainerClassFor(int olType) {
    switch (olType) {
    case olFolderCalendar: return "IPF.Appointment";
    case olFolderContacts: return "IPF.Contact";
    case olFolderJournal: return "IPF.Journal";
    case olFolderNotes: return "IPF.StickyNote";
    case olFolderTasks: return "IPF.Task";
    default: return "IPF.Note";
    }
}

class StoreImpl;

// Property access shared by items, attachments and recipient rows.
class BagAccess {
public:
    BagAccess(StoreImpl& s) : store_(s) {}
    void Set(PropMap& p, uint32_t tag, PropValue v) { PutProp(p, tag, std::move(v)); }
    void SetNamed(PropMap& p, const pst::NamedProperty& n, uint16_t type, PropValue v);
    std::optional<PropValue> GetNamed(const PropMap& p, const pst::NamedProperty& n) const;

protected:
    StoreImpl& store_;
};

// A recipient row takes values until the next row is added: then it is final.
class RecipientBag : public PropertyBag, BagAccess {
public:
    RecipientBag(StoreImpl& s, pst::MessageData& m, size_t index) : BagAccess(s), msg_(m), index_(index) {}
    void SetProp(uint32_t tag, PropValue v) override { Set(Row(), tag, std::move(v)); }
    void SetNamedProp(const pst::NamedProperty& n, uint16_t type, PropValue v) override { SetNamed(Row(), n, type, std::move(v)); }
    std::optional<PropValue> GetProp(uint32_t tag) const override { return FindProp(Row(), tag); }
    std::optional<PropValue> GetNamedProp(const pst::NamedProperty& n) const override { return GetNamed(Row(), n); }
    void DeleteProp(uint32_t tag) override { Row().erase(NormalTag(tag)); }

private:
    PropMap& Row() const {
        PropMap* row = msg_.recipients.Open();
        if (!row || index_ + 1 != msg_.recipients.Count())
            throw StoreError("a recipient row cannot be read or changed once the next one is added");
        return *row;
    }
    pst::MessageData& msg_;
    size_t index_;
};

// A property map of the store seen as a bag: a saved list linked again.
class MapBag : public PropertyBag, BagAccess {
public:
    MapBag(StoreImpl& s, PropMap& p) : BagAccess(s), props_(p) {}
    void SetProp(uint32_t tag, PropValue v) override { Set(props_, tag, std::move(v)); }
    void SetNamedProp(const pst::NamedProperty& n, uint16_t type, PropValue v) override { SetNamed(props_, n, type, std::move(v)); }
    std::optional<PropValue> GetProp(uint32_t tag) const override { return FindProp(props_, tag); }
    std::optional<PropValue> GetNamedProp(const pst::NamedProperty& n) const override { return GetNamed(props_, n); }
    void DeleteProp(uint32_t tag) override { props_.erase(NormalTag(tag)); }

private:
    PropMap& props_;
};

class PstItem;

// An attachment takes values until the next one is added or its item saved:
// then it is written to the file, and final.
class PstAttachment : public Attachment, BagAccess {
public:
    PstAttachment(StoreImpl& s, pst::MessageData& m, size_t index) : BagAccess(s), msg_(m), index_(index) {}
    void SetProp(uint32_t tag, PropValue v) override { Set(Att().props, tag, std::move(v)); }
    void SetNamedProp(const pst::NamedProperty& n, uint16_t type, PropValue v) override { SetNamed(Att().props, n, type, std::move(v)); }
    std::optional<PropValue> GetProp(uint32_t tag) const override { return FindProp(Att().props, tag); }
    std::optional<PropValue> GetNamedProp(const pst::NamedProperty& n) const override { return GetNamed(Att().props, n); }
    void DeleteProp(uint32_t tag) override { Att().props.erase(NormalTag(tag)); }
    void SetData(DataSource source) override;
    Item& EmbeddedMessage(ItemType type) override;
    // Once written: its embedded message's objects go with its data.
    void Final() { embedded_.reset(); }

private:
    pst::AttachmentData& Att() const {
        if (!msg_.open || index_ != msg_.written.Count())
            throw StoreError("an attachment cannot be read or changed once the next one is added or its item saved");
        return *msg_.open;
    }
    pst::MessageData& msg_;
    size_t index_;
    std::unique_ptr<PstItem> embedded_;
};

class PstItem : public Item, BagAccess {
public:
    // folder 0: an embedded message, written with its parent.
    // `owned` is null for an embedded message, whose data its attachment holds.
    PstItem(StoreImpl& s, uint32_t folder, ItemType type, pst::MessageData& data,
            std::unique_ptr<pst::MessageData> owned = nullptr);
    ~PstItem() override;
    void SetProp(uint32_t tag, PropValue v) override { Set(data_.props, tag, std::move(v)); }
    void SetNamedProp(const pst::NamedProperty& n, uint16_t type, PropValue v) override { SetNamed(data_.props, n, type, std::move(v)); }
    std::optional<PropValue> GetProp(uint32_t tag) const override { return FindProp(data_.props, tag); }
    std::optional<PropValue> GetNamedProp(const pst::NamedProperty& n) const override { return GetNamed(data_.props, n); }
    void DeleteProp(uint32_t tag) override { data_.props.erase(NormalTag(tag)); }
    ItemType Type() const override { return type_; }
    PropertyBag& AddRecipient() override {
        Guard([&] { data_.recipients.Add(); });
        recipients_.push_back(std::make_unique<RecipientBag>(store_, data_, data_.recipients.Count() - 1));
        return *recipients_.back();
    }
    Attachment& AddAttachment() override;
    size_t AttachmentCount() const override { return data_.AttachmentCount(); }
    void Save() override;

private:
    uint32_t folder_;
    ItemType type_;
    // Outlives the destructor body, which releases blocks; shared with the store
    // while a saved list may be linked again.
    std::shared_ptr<pst::MessageData> owned_;
    pst::MessageData& data_;
    std::shared_ptr<bool> alive_;
    std::vector<std::unique_ptr<RecipientBag>> recipients_;
    std::vector<std::unique_ptr<PstAttachment>> attachments_;  // all but the last are in the file
    bool saved_ = false;
};

class PstFolder : public Folder {
public:
    PstFolder(StoreImpl& s, uint32_t nid) : store_(s), nid_(nid) {}
    std::string Name() const override;
    std::string EntryID() const override;
    std::vector<Folder*> Folders() override;
    Folder& AddFolder(const std::string& name, int type) override;
    std::unique_ptr<Item> AddItem(ItemType type) override;
    size_t ItemCount() const override;
    uint32_t Nid() const { return nid_; }
    PstFolder* Child(const std::string& name);

private:
    StoreImpl& store_;
    uint32_t nid_;
};

class StoreImpl : public Store {
public:
    StoreImpl(const std::string& path, const std::string& displayName, const SessionOptions& options)
        : localeId_(options.localeId),
          pst_(Guard([&] { return std::make_unique<pst::PstStore>(path, displayName, pst::StoreOptions{options.encrypt}); })) {
        // Named first, so that the index's property id is the same in every new file.
        Guard([&] { pst_->Names().IdFor(SourceIndexProperty()); });
    }
    // An existing file, opened to add to; refused (StoreError, the file as it
    // was) when what the session reads of it is damaged. What it reads is
    // checked as it is read; `orvandel verify` is the full check.
    StoreImpl(const std::string& path, int32_t localeId)
        : localeId_(localeId), pst_(Guard([&] { return std::make_unique<pst::PstStore>(path, pst::PstStore::Existing{}); })) {
        sources_ = LoadSourceIndex(*pst_);
        fromFile_ = true;
        // The file's index is continued where it ends, not written again whole.
        if (const uint16_t id = pst_->Names().Find(SourceIndexProperty()))
            if (const uint64_t bid = Guard([&] { return pst_->AdoptStoreStream(pst::MakeTag(id, pst::PT_BINARY)); }))
                logSeeded_ = Guard([&] { return sourceLog_.Adopt(pst_->Db(), bid); });
    }
    static SourceIndex LoadSourceIndex(pst::PstStore& s) {
        SourceIndex index;
        if (const uint16_t id = s.Names().Find(SourceIndexProperty()))
            if (auto it = s.StoreProps().find(pst::MakeTag(id, pst::PT_BINARY)); it != s.StoreProps().end())
                if (auto b = std::get_if<pst::Binary>(&it->second)) index.Load(*b);
        return index;
    }
    std::string EntryID() const override { return Hex(pst_->EntryId(pst::ndb::NID_MESSAGE_STORE)); }
    // Saved contacts' addresses, for linking distribution-list members to them.
    ContactDirectory contacts;
    // A store added to: the addresses of the contacts it held before, read
    // once, when the first list is saved (from the contacts folders only).
    void LearnFileContacts();
    // A list saved with members that no saved contact matched, linked again
    // at each commit to the contacts saved since.
    void KeepOpenList(std::shared_ptr<pst::MessageData> data, pst::SavedMessage saved, size_t linked) {
        openLists_.push_back({std::move(data), std::move(saved), linked, 1});
    }
    std::string DisplayName() const override { return pst_->DisplayName(); }
    void ValidateIPMTree() override;
    Folder& GetDefaultFolder(int n) override;
    Folder& IPMRootFolder() override { return FolderFor(pst_->IpmSubtree()); }
    Folder& GetFolderFromPath(const std::string& path) override;
    void Commit() override {
        CheckOpen();
        Guard([&] {
            LinkOpenLists();
            PutSourceIndex();
            pst_->Commit();
        });
        sources_.Committed();
    }
    uint64_t FileBytes() const override { return closed_ ? 0 : pst_->Db().UsedSize(); }
    void Close() {
        if (closed_) return;
        closed_ = true;
        Guard([&] {
            LinkOpenLists();
            PutSourceIndex();
            pst_->Close();
        });
        sources_.Committed();
    }
    void SetItemSource(const std::string& source) override { itemSource_ = source; }
    bool HoldsSource(const std::string& source) const override { return sources_.Contains(source); }
    const std::string& ItemSource() const { return itemSource_; }
    void SourceSaved() {
        if (!itemSource_.empty()) sources_.AddPending(itemSource_);
    }
    void CheckOpen() const {
        if (closed_) throw StoreError("The store \"" + pst_->DisplayName() + "\" is closed");
    }

    PstFolder& FolderFor(uint32_t nid) {
        auto& slot = folders_[nid];
        if (!slot) slot = std::make_unique<PstFolder>(*this, nid);
        return *slot;
    }
    pst::PstStore& Pst() { return *pst_; }
    int32_t LocaleId() const { return localeId_; }
    // Shared with items, which may outlive the session: false once the store is gone.
    const std::shared_ptr<bool>& Alive() const { return alive_; }
    ~StoreImpl() override { *alive_ = false; }

private:
    struct OpenList {
        std::shared_ptr<pst::MessageData> data;
        pst::SavedMessage saved;
        size_t linked = 0;
        size_t unmatched = 0;
    };
    void LinkOpenLists();

    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    int32_t localeId_;
    std::unique_ptr<pst::PstStore> pst_;
    std::vector<OpenList> openLists_;  // in the order saved; gone before pst_
    size_t listsLinkedAt_ = 0;         // the directory's generation they were linked at
    bool fromFile_ = false;            // opened to add to
    bool fileContactsRead_ = false;
    std::map<uint32_t, std::unique_ptr<PstFolder>> folders_;
    std::map<int, uint32_t> defaults_;
    bool closed_ = false;
    SourceIndex sources_;
    std::string itemSource_;
    SourceLog sourceLog_;
    bool logSeeded_ = false;  // the log holds what the file held when opened
    // The index goes into the file with the items it names, in the same commit:
    // only the digests added since the last one are written.
    void PutSourceIndex() {
        if (!sources_.HasPending()) return;
        const uint16_t id = pst_->Names().IdFor(SourceIndexProperty());
        pst::ndb::NodeDb& db = pst_->Db();
        if (!logSeeded_) {
            sources_.ForEachCommitted([&](const SourceIndex::Digest& d) { sourceLog_.Add(db, d.data()); });
            logSeeded_ = true;
        }
        for (const SourceIndex::Digest& d : sources_.Pending()) sourceLog_.Add(db, d.data());
        pst_->SetStoreStream(pst::MakeTag(id, pst::PT_BINARY), sourceLog_.Write(db));
    }
};

void StoreImpl::LearnFileContacts() {
    if (!fromFile_ || fileContactsRead_) return;
    fileContactsRead_ = true;
    std::vector<uint16_t> ids;
    for (uint32_t lid : {pst::tags::lid::PidLidEmail1EmailAddress, pst::tags::lid::PidLidEmail2EmailAddress,
                         pst::tags::lid::PidLidEmail3EmailAddress}) {
        pst::NamedProperty n;
        n.propertySet = pst::PSETID_Address();
        n.lid = lid;
        if (const uint16_t id = pst_->Names().Find(n)) ids.push_back(id);
    }
    if (ids.empty()) return;  // no contact of the file has an address
    std::vector<uint32_t> pending = {pst_->IpmSubtree()};
    while (!pending.empty()) {
        const uint32_t nid = pending.back();
        pending.pop_back();
        const pst::FolderState* f = pst_->FindFolder(nid);
        if (!f) continue;
        pending.insert(pending.end(), f->children.begin(), f->children.end());
        auto cls = f->props.find(pst::tags::PR_CONTAINER_CLASS);
        const std::string* text = cls == f->props.end() ? nullptr : std::get_if<std::string>(&cls->second);
        if (!f->fromFile || !text || text->rfind("IPF.Contact", 0) != 0) continue;
        try {
            for (const pst::FileMessageRow& row : pst::ReadFolderContents(pst_->Db(), nid)) {
                if (row.messageClass.rfind("IPM.Contact", 0) != 0) continue;
                const pst::PropMap props = pst::ReadMessageProps(pst_->Db(), row.nid);
                for (uint16_t id : ids)
                    if (auto it = props.find(pst::MakeTag(id, pst::PT_UNICODE)); it != props.end())
                        if (auto s = std::get_if<std::string>(&it->second)) contacts.AddAddress(*s, pst_->EntryId(row.nid));
            }
        } catch (const std::exception&) {
            // A folder that cannot be read links nothing; its lists keep their one-off members.
        }
    }
}

void StoreImpl::LinkOpenLists() {
    if (openLists_.empty() || listsLinkedAt_ == contacts.Generation()) return;
    for (auto it = openLists_.begin(); it != openLists_.end(); ++it) {
        MapBag bag(*this, it->data->props);
        const MemberLinks links = contacts.LinkMembers(bag);
        if (links.linked > it->linked) {
            pst_->RewriteMessage(it->saved, *it->data, "IPM.DistList");
            it->linked = links.linked;
        }
        it->unmatched = links.unmatched;
    }
    std::erase_if(openLists_, [](const OpenList& l) { return l.unmatched == 0; });
    listsLinkedAt_ = contacts.Generation();
}

void BagAccess::SetNamed(PropMap& p, const pst::NamedProperty& n, uint16_t type, PropValue v) {
    uint16_t id = Guard([&] { return store_.Pst().Names().IdFor(n); });
    Set(p, pst::MakeTag(id, type), std::move(v));
}

std::optional<PropValue> BagAccess::GetNamed(const PropMap& p, const pst::NamedProperty& n) const {
    uint16_t id = store_.Pst().Names().Find(n);
    if (id == 0) return std::nullopt;
    return FindById(p, id);
}

void PstAttachment::SetData(DataSource source) {
    store_.CheckOpen();
    pst::AttachmentData& att_ = Att();
    if (att_.stream) {
        store_.Pst().Db().ReleaseBlocks(att_.stream->Blocks());
        att_.stream.reset();
    }
    att_.props.erase(pst::tags::PR_ATTACH_DATA_BIN);
    auto stream = std::make_unique<pst::ndb::DataStream>(store_.Pst().Db());
    try {
        std::vector<uint8_t> buffer(pst::ndb::DataStream::kChunk);
        while (size_t n = source(buffer.data(), buffer.size())) stream->Append(buffer.data(), std::min(n, buffer.size()));
        stream->Finish(pst::ltp::kMaxHeapItem);
    } catch (...) {
        store_.Pst().Db().ReleaseBlocks(stream->Blocks());
        throw;
    }
    if (stream->Small())
        att_.props[pst::tags::PR_ATTACH_DATA_BIN] = stream->TakeSmall();
    else
        att_.stream = std::move(stream);
    if (!att_.props.count(pst::tags::PR_ATTACH_METHOD)) att_.props[pst::tags::PR_ATTACH_METHOD] = int32_t(1);
}

Item& PstAttachment::EmbeddedMessage(ItemType type) {
    pst::AttachmentData& att_ = Att();
    if (att_.stream) {
        store_.Pst().Db().ReleaseBlocks(att_.stream->Blocks());
        att_.stream.reset();
    }
    att_.props.erase(pst::tags::PR_ATTACH_DATA_BIN);
    if (att_.embedded) att_.embedded->ReleaseBlocks(store_.Pst().Db());
    att_.embedded = std::make_unique<pst::MessageData>();
    att_.props[pst::tags::PR_ATTACH_METHOD] = int32_t(5);
    embedded_ = std::make_unique<PstItem>(store_, 0, type, *att_.embedded);
    return *embedded_;
}

PstItem::PstItem(StoreImpl& s, uint32_t folder, ItemType type, pst::MessageData& data,
                 std::unique_ptr<pst::MessageData> owned)
    : BagAccess(s), folder_(folder), type_(type), owned_(std::move(owned)), data_(data), alive_(s.Alive()) {
    data_.props[pst::tags::PR_MESSAGE_CLASS] = std::string(ClassFor(type));
}

Attachment& PstItem::AddAttachment() {
    store_.CheckOpen();
    if (saved_) throw StoreError("The item has already been saved");
    // The open attachment is written now, so that only one is held in memory.
    PstAttachment* previous = attachments_.empty() ? nullptr : attachments_.back().get();
    try {
        Guard([&] { store_.Pst().FinishAttachment(data_); });
    } catch (...) {
        if (previous) previous->Final();
        throw;
    }
    if (previous) previous->Final();
    if (data_.AttachmentCount() >= kMaxAttachments)
        throw StoreError("An item holds at most " + std::to_string(kMaxAttachments) + " attachments");
    data_.open = std::make_unique<pst::AttachmentData>();
    attachments_.push_back(std::make_unique<PstAttachment>(store_, data_, data_.written.Count()));
    return *attachments_.back();
}

PstItem::~PstItem() {
    // Blocks already streamed for an item that was never saved are given back.
    if (folder_ != 0 && !saved_ && *alive_) {
        try {
            data_.ReleaseBlocks(store_.Pst().Db());
        } catch (...) {
        }
    }
}

void PstItem::Save() {
    if (folder_ == 0) return;  // embedded: written with the parent item
    if (saved_) throw StoreError("The item has already been saved");
    if (!*alive_) throw StoreError("The item's store has been logged off");
    store_.CheckOpen();
    Guard([&] {
        FillOutlookDefaults(*this, store_.LocaleId());
        auto cls = GetProp(pst::tags::PR_MESSAGE_CLASS);
        const std::string* text = cls ? std::get_if<std::string>(&*cls) : nullptr;
        const bool list = text && text->rfind("IPM.DistList", 0) == 0;
        const bool contact = text && text->rfind("IPM.Contact", 0) == 0;
        if (list) store_.LearnFileContacts();
        const MemberLinks links = list ? store_.contacts.LinkMembers(*this) : MemberLinks{};
        if (!store_.ItemSource().empty()) SetNamedProp(SourceProperty(), pst::PT_UNICODE, store_.ItemSource());
        pst::SavedMessage saved;
        const bool open = links.unmatched > 0;
        const uint32_t nid = store_.Pst().SaveMessage(folder_, data_, ClassFor(type_), open ? &saved : nullptr);
        if (open) store_.KeepOpenList(owned_, std::move(saved), links.linked);
        if (contact) store_.contacts.AddContact(*this, store_.Pst().EntryId(nid));
    });
    saved_ = true;
    if (!attachments_.empty()) attachments_.back()->Final();
    store_.SourceSaved();
}

std::string PstFolder::Name() const {
    auto* f = store_.Pst().FindFolder(nid_);
    auto it = f->props.find(pst::tags::PR_DISPLAY_NAME);
    if (it == f->props.end()) return {};
    auto s = std::get_if<std::string>(&it->second);
    return s ? *s : std::string();
}

std::string PstFolder::EntryID() const { return Hex(store_.Pst().EntryId(nid_)); }

std::vector<Folder*> PstFolder::Folders() {
    std::vector<Folder*> out;
    for (uint32_t c : store_.Pst().Folder(nid_).children) out.push_back(&store_.FolderFor(c));
    return out;
}

PstFolder* PstFolder::Child(const std::string& name) {
    PstFolder* loose = nullptr;
    for (uint32_t c : store_.Pst().Folder(nid_).children) {
        PstFolder& f = store_.FolderFor(c);
        std::string n = f.Name();
        if (n == name) return &f;
        if (!loose && SameName(n, name)) loose = &f;
    }
    return loose;
}

Folder& PstFolder::AddFolder(const std::string& name, int type) {
    store_.CheckOpen();
    if (name.empty()) throw StoreError("A folder name cannot be empty");
    if (Child(name)) throw StoreError("A folder named \"" + name + "\" already exists in \"" + Name() + "\"");
    uint32_t nid = Guard([&] { return store_.Pst().CreateFolder(nid_, name, ContainerClassFor(type)); });
    return store_.FolderFor(nid);
}

std::unique_ptr<Item> PstFolder::AddItem(ItemType type) {
    store_.CheckOpen();
    auto data = std::make_unique<pst::MessageData>();
    pst::MessageData& ref = *data;
    return std::make_unique<PstItem>(store_, nid_, type, ref, std::move(data));
}

size_t PstFolder::ItemCount() const {
    const pst::FolderState& f = store_.Pst().Folder(nid_);
    if (f.contentsLoaded) return f.RowCount();
    // A folder of an opened file whose contents table is not read yet.
    auto it = f.props.find(pst::tags::PR_CONTENT_COUNT);
    auto n = it == f.props.end() ? nullptr : std::get_if<int32_t>(&it->second);
    return n && *n > 0 ? size_t(*n) : 0;
}

struct DefaultSpec {
    int number;
    const char* name;
    const char* containerClass;
};

const DefaultSpec kDefaults[] = {
    {olFolderInbox, "Inbox", "IPF.Note"},          {olFolderOutbox, "Outbox", "IPF.Note"},
    {olFolderSentMail, "Sent Items", "IPF.Note"},  {olFolderDrafts, "Drafts", "IPF.Note"},
    {olFolderJunk, "Junk E-mail", "IPF.Note"},     {olFolderCalendar, "Calendar", "IPF.Appointment"},
    {olFolderContacts, "Contacts", "IPF.Contact"}, {olFolderJournal, "Journal", "IPF.Journal"},
    {olFolderNotes, "Notes", "IPF.StickyNote"},    {olFolderTasks, "Tasks", "IPF.Task"},
};

// The default folders a store already names, as Outlook finds them: the
// receive folder, the store's entry IDs, and those on the root folder and the Inbox.
std::map<int, uint32_t> NamedDefaults(pst::PstStore& s) {
    std::map<int, uint32_t> found;
    auto take = [&](int n, const PropMap& props, uint32_t tag) {
        auto it = props.find(tag);
        auto b = it == props.end() ? nullptr : std::get_if<pst::Binary>(&it->second);
        if (uint32_t nid = b ? s.FolderOfEntryId(*b) : 0; nid && !found.count(n)) found[n] = nid;
    };
    if (s.ReceiveFolder() != pst::ndb::NID_ROOT_FOLDER && s.FindFolder(s.ReceiveFolder()))
        found[olFolderInbox] = s.ReceiveFolder();
    take(olFolderOutbox, s.StoreProps(), 0x35E20102);
    take(olFolderSentMail, s.StoreProps(), 0x35E40102);
    const std::pair<uint32_t, int> special[] = {{0x36D00102, olFolderCalendar}, {0x36D10102, olFolderContacts},
                                                {0x36D20102, olFolderJournal},  {0x36D30102, olFolderNotes},
                                                {0x36D40102, olFolderTasks},    {0x36D70102, olFolderDrafts}};
    std::vector<uint32_t> holders = {pst::ndb::NID_ROOT_FOLDER};
    if (found.count(olFolderInbox)) holders.push_back(found[olFolderInbox]);
    for (uint32_t holder : holders) {
        const pst::FolderState* f = s.FindFolder(holder);
        if (!f) continue;
        for (auto& [tag, n] : special) take(n, f->props, tag);
        auto it = f->props.find(0x36D81102);
        auto list = it == f->props.end() ? nullptr : std::get_if<std::vector<pst::Binary>>(&it->second);
        if (list && list->size() > 4)
            if (uint32_t nid = s.FolderOfEntryId((*list)[4]); nid && !found.count(olFolderJunk)) found[olFolderJunk] = nid;
    }
    return found;
}

void StoreImpl::ValidateIPMTree() {
    CheckOpen();
    Guard([&] {
        pst::PstStore& s = *pst_;
        defaults_[olFolderDeletedItems] = s.DeletedItems();
        for (auto& [n, nid] : NamedDefaults(s)) defaults_.emplace(n, nid);
        PstFolder& ipm = FolderFor(s.IpmSubtree());
        for (const DefaultSpec& d : kDefaults) {
            if (defaults_.count(d.number)) continue;
            PstFolder* f = ipm.Child(d.name);
            uint32_t nid = f ? f->Nid() : s.CreateFolder(s.IpmSubtree(), d.name, d.containerClass);
            defaults_[d.number] = nid;
        }
        auto id = [&](int n) { return s.EntryId(defaults_[n]); };
        // Only what differs is set: an opened file's folders are rewritten only when they change.
        auto setStore = [&](uint32_t tag, PropValue v) {
            auto it = s.StoreProps().find(tag);
            if (it == s.StoreProps().end() || it->second != v) s.SetStoreProp(tag, std::move(v));
        };
        auto setFolder = [&](uint32_t nid, uint32_t tag, PropValue v) {
            const PropMap& props = s.Folder(nid).props;
            auto it = props.find(tag);
            if (it == props.end() || it->second != v) s.SetFolderProp(nid, tag, std::move(v));
        };
        const PropMap& storeProps = s.StoreProps();
        auto mask = storeProps.find(0x35DF0003);
        int32_t valid = mask != storeProps.end() && std::holds_alternative<int32_t>(mask->second) ? std::get<int32_t>(mask->second) : 0;
        setStore(0x35DF0003, int32_t(valid | 0x89 | 0x02 | 0x04 | 0x10));  // + Inbox, Outbox, Sent Items
        setStore(0x35E20102, id(olFolderOutbox));
        setStore(0x35E40102, id(olFolderSentMail));
        // Outlook finds the typed folders through these on the Inbox and the root folder.
        const std::pair<uint32_t, int> special[] = {{0x36D00102, olFolderCalendar}, {0x36D10102, olFolderContacts},
                                                    {0x36D20102, olFolderJournal},  {0x36D30102, olFolderNotes},
                                                    {0x36D40102, olFolderTasks},    {0x36D70102, olFolderDrafts}};
        std::vector<pst::Binary> additional(5);  // conflicts, sync issues, local failures, server failures, junk
        additional[4] = id(olFolderJunk);
        for (uint32_t target : {defaults_[olFolderInbox], pst::ndb::NID_ROOT_FOLDER}) {
            for (auto& [tag, n] : special) setFolder(target, tag, id(n));
            const PropMap& props = s.Folder(target).props;
            auto it = props.find(0x36D81102);
            auto old = it == props.end() ? nullptr : std::get_if<std::vector<pst::Binary>>(&it->second);
            if (old && old->size() >= 5) {
                std::vector<pst::Binary> merged = *old;  // the other entries are Outlook's own
                merged[4] = additional[4];
                setFolder(target, 0x36D81102, merged);
            } else {
                setFolder(target, 0x36D81102, additional);
            }
        }
        s.SetReceiveFolder(defaults_[olFolderInbox]);
    });
}

Folder& StoreImpl::GetDefaultFolder(int n) {
    CheckOpen();
    if (n == olFolderDeletedItems) return FolderFor(pst_->DeletedItems());
    bool known = false;
    for (const DefaultSpec& d : kDefaults) known = known || d.number == n;
    if (!known) throw StoreError("Unknown default folder " + std::to_string(n));
    if (!defaults_.count(n)) ValidateIPMTree();
    return FolderFor(defaults_.at(n));
}

Folder& StoreImpl::GetFolderFromPath(const std::string& path) {
    CheckOpen();
    std::vector<std::string> parts;
    std::string rest = path;
    while (!rest.empty() && rest[0] == '\\') rest.erase(0, 1);
    size_t start = 0;
    while (start <= rest.size()) {
        size_t p = rest.find('\\', start);
        if (p == std::string::npos) p = rest.size();
        parts.push_back(rest.substr(start, p - start));
        start = p + 1;
    }
    while (!parts.empty() && parts.back().empty()) parts.pop_back();
    if (parts.empty() || parts[0] != pst_->DisplayName())
        throw StoreError("Folder \"" + (parts.empty() ? path : parts[0]) + "\" does not exist");
    PstFolder* f = &FolderFor(pst_->IpmSubtree());
    for (size_t i = 1; i < parts.size(); ++i) {
        if (parts[i].empty()) continue;
        PstFolder* c = f->Child(parts[i]);
        if (!c) throw StoreError("Folder \"" + parts[i] + "\" does not exist");
        f = c;
    }
    return *f;
}

class SessionImpl : public Session {
public:
    explicit SessionImpl(const SessionOptions& o) : options_(o) {}
    ~SessionImpl() override {
        try {
            Logoff();
        } catch (...) {
        }
    }
    Store& LogonPstStore(const std::string& path, int format, const std::string& displayName) override {
        if (format != 1)
            throw StoreError("Unsupported PST format " + std::to_string(format) + " (only 1, Unicode, is supported)");
        // An existing file (or anything else at the path) is opened to add to, or refused as it is.
        struct stat st {};
        auto s = ::lstat(path.c_str(), &st) == 0 ? std::make_unique<StoreImpl>(path, options_.localeId)
                                                 : std::make_unique<StoreImpl>(path, displayName, options_);
        std::string id = s->EntryID();
        StoreImpl& ref = *s;
        stores_[id] = std::move(s);
        return ref;
    }
    Store& GetStoreFromID(const std::string& entryId) override {
        auto it = stores_.find(entryId);
        if (it == stores_.end()) throw StoreError("No open store has the entry ID " + entryId);
        return *it->second;
    }
    void Logoff() override {
        std::string firstError;
        for (auto& [id, s] : stores_) {
            try {
                s->Close();
            } catch (const std::exception& e) {
                if (firstError.empty()) firstError = e.what();
            }
        }
        // Closed stores stay allocated until the session goes, so that objects
        // still held by callers fail cleanly ("closed") instead of dangling.
        for (auto& [id, s] : stores_) closed_.push_back(std::move(s));
        stores_.clear();
        if (!firstError.empty()) throw StoreError(firstError);
    }

private:
    SessionOptions options_;
    std::map<std::string, std::unique_ptr<StoreImpl>> stores_;
    std::vector<std::unique_ptr<StoreImpl>> closed_;
};

}  // namespace

std::unique_ptr<Session> CreatePstSession(const SessionOptions& options) {
    return std::make_unique<SessionImpl>(options);
}

SourceIndex ReadSourceIndex(const std::string& path) {
    return Guard([&] {
        pst::PstStore s(path, pst::PstStore::Existing{});
        SourceIndex index = StoreImpl::LoadSourceIndex(s);
        s.Db().Abandon();
        return index;
    });
}

void Attachment::SetData(const std::vector<uint8_t>& bytes) {
    size_t pos = 0;
    SetData([&](uint8_t* buf, size_t cap) {
        size_t n = std::min(cap, bytes.size() - pos);
        std::copy(bytes.begin() + long(pos), bytes.begin() + long(pos + n), buf);
        pos += n;
        return n;
    });
}

void Attachment::SetDataFromFile(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) throw StoreError("Cannot read the attachment file \"" + path + "\"");
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> guard(f, &std::fclose);
    SetData([&](uint8_t* buf, size_t cap) {
        size_t n = std::fread(buf, 1, cap, f);
        if (n == 0 && std::ferror(f)) throw StoreError("Cannot read the attachment file \"" + path + "\"");
        return n;
    });
}

}  // namespace store
