#pragma once
// An in-memory store session for tests of the layers above the PST writer: it
// keeps every folder, item, recipient and attachment so tests can look at what
// a converter put, without writing a file.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "store/PstStoreSession.h"

namespace fake {

struct FakeBag : store::PropertyBag {
    std::map<uint32_t, pst::PropValue> props;
    std::vector<std::pair<pst::NamedProperty, pst::PropValue>> named;

    void SetProp(uint32_t tag, pst::PropValue value) override { props[tag] = std::move(value); }
    void SetNamedProp(const pst::NamedProperty& name, uint16_t, pst::PropValue value) override {
        for (auto& [n, v] : named)
            if (n == name) { v = std::move(value); return; }
        named.emplace_back(name, std::move(value));
    }
    std::optional<pst::PropValue> GetProp(uint32_t tag) const override {
        auto it = props.find(tag);
        if (it == props.end()) return std::nullopt;
        return it->second;
    }
    std::optional<pst::PropValue> GetNamedProp(const pst::NamedProperty& name) const override {
        for (auto& [n, v] : named)
            if (n == name) return v;
        return std::nullopt;
    }
    void DeleteProp(uint32_t tag) override { props.erase(tag); }

    // Convenience for assertions: the string value of a tag, or "" when absent.
    std::string Str(uint32_t tag) const {
        auto v = GetProp(tag);
        if (!v) return {};
        if (auto s = std::get_if<std::string>(&*v)) return *s;
        return {};
    }
};

struct FakeItem;

struct FakeAttachment : FakeBag, store::Attachment {
    using FakeBag::DeleteProp;
    using FakeBag::GetNamedProp;
    using FakeBag::GetProp;
    using FakeBag::SetNamedProp;
    using FakeBag::SetProp;
    std::vector<uint8_t> data;
    std::unique_ptr<FakeItem> embedded;

    void SetProp(uint32_t tag, pst::PropValue value) override { FakeBag::SetProp(tag, std::move(value)); }
    void SetNamedProp(const pst::NamedProperty& n, uint16_t t, pst::PropValue v) override {
        FakeBag::SetNamedProp(n, t, std::move(v));
    }
    std::optional<pst::PropValue> GetProp(uint32_t tag) const override { return FakeBag::GetProp(tag); }
    std::optional<pst::PropValue> GetNamedProp(const pst::NamedProperty& n) const override {
        return FakeBag::GetNamedProp(n);
    }
    void DeleteProp(uint32_t tag) override { FakeBag::DeleteProp(tag); }
    void SetData(store::DataSource source) override {
        data.clear();
        uint8_t buf[65536];
        while (size_t n = source(buf, sizeof buf)) data.insert(data.end(), buf, buf + n);
    }
    store::Item& EmbeddedMessage(store::ItemType type) override;
};

struct FakeFolder;

struct FakeItem : FakeBag, store::Item {
    store::ItemType type = store::ItemType::Mail;
    FakeFolder* folder = nullptr;  // null for an embedded message
    std::vector<std::unique_ptr<FakeBag>> recipients;
    std::vector<std::unique_ptr<FakeAttachment>> attachments;
    bool saved = false;

    void SetProp(uint32_t tag, pst::PropValue value) override { FakeBag::SetProp(tag, std::move(value)); }
    void SetNamedProp(const pst::NamedProperty& n, uint16_t t, pst::PropValue v) override {
        FakeBag::SetNamedProp(n, t, std::move(v));
    }
    std::optional<pst::PropValue> GetProp(uint32_t tag) const override { return FakeBag::GetProp(tag); }
    std::optional<pst::PropValue> GetNamedProp(const pst::NamedProperty& n) const override {
        return FakeBag::GetNamedProp(n);
    }
    void DeleteProp(uint32_t tag) override { FakeBag::DeleteProp(tag); }
    store::ItemType Type() const override { return type; }
    store::PropertyBag& AddRecipient() override {
        recipients.push_back(std::make_unique<FakeBag>());
        return *recipients.back();
    }
    store::Attachment& AddAttachment() override {
        attachments.push_back(std::make_unique<FakeAttachment>());
        return *attachments.back();
    }
    size_t AttachmentCount() const override { return attachments.size(); }
    void Save() override;
};

inline store::Item& FakeAttachment::EmbeddedMessage(store::ItemType t) {
    embedded = std::make_unique<FakeItem>();
    embedded->type = t;
    return *embedded;
}

struct FakeFolder : store::Folder {
    std::string name;
    std::vector<std::unique_ptr<FakeFolder>> children;
    std::vector<std::shared_ptr<FakeItem>> saved;  // items in save order

    explicit FakeFolder(std::string n) : name(std::move(n)) {}
    std::string Name() const override { return name; }
    std::string EntryID() const override { return "folder:" + name; }
    std::vector<store::Folder*> Folders() override {
        std::vector<store::Folder*> out;
        for (auto& c : children) out.push_back(c.get());
        return out;
    }
    store::Folder& AddFolder(const std::string& n, int) override {
        if (n.empty()) throw store::StoreError("folder name is empty");
        for (auto& c : children)
            if (c->name == n) throw store::StoreError("folder \"" + n + "\" exists");
        children.push_back(std::make_unique<FakeFolder>(n));
        return *children.back();
    }
    std::unique_ptr<store::Item> AddItem(store::ItemType t) override {
        auto item = std::make_unique<FakeItem>();
        item->type = t;
        item->folder = this;
        return item;
    }
    size_t ItemCount() const override { return saved.size(); }
    FakeFolder* Child(const std::string& n) {
        for (auto& c : children)
            if (c->name == n) return c.get();
        return nullptr;
    }
};

// Save keeps a copy of the item's state in its folder, so tests can inspect it
// after the caller has released the item.
inline void FakeItem::Save() {
    if (saved) throw store::StoreError("item already saved");
    saved = true;
    if (!folder) return;
    auto copy = std::make_shared<FakeItem>();
    copy->props = props;
    copy->named = named;
    copy->type = type;
    copy->folder = folder;
    copy->saved = true;
    for (auto& r : recipients) copy->recipients.push_back(std::make_unique<FakeBag>(*r));
    for (auto& a : attachments) {
        auto ca = std::make_unique<FakeAttachment>();
        ca->props = a->props;
        ca->named = a->named;
        ca->data = a->data;
        if (a->embedded) {
            ca->embedded = std::make_unique<FakeItem>();
            ca->embedded->props = a->embedded->props;
            ca->embedded->named = a->embedded->named;
            ca->embedded->type = a->embedded->type;
            for (auto& r : a->embedded->recipients) ca->embedded->recipients.push_back(std::make_unique<FakeBag>(*r));
        }
        copy->attachments.push_back(std::move(ca));
    }
    folder->saved.push_back(copy);
}

struct FakeStore : store::Store {
    std::string displayName;
    FakeFolder ipm{"Top of Personal Folders"};
    std::map<int, FakeFolder*> defaults;
    int commits = 0;

    std::string EntryID() const override { return "fake-store"; }
    std::string DisplayName() const override { return displayName; }
    void ValidateIPMTree() override {
        const std::pair<int, const char*> names[] = {
            {store::olFolderDeletedItems, "Deleted Items"}, {store::olFolderInbox, "Inbox"},
            {store::olFolderOutbox, "Outbox"},              {store::olFolderSentMail, "Sent Items"},
            {store::olFolderDrafts, "Drafts"},              {store::olFolderJunk, "Junk E-mail"},
            {store::olFolderCalendar, "Calendar"},          {store::olFolderContacts, "Contacts"},
            {store::olFolderJournal, "Journal"},            {store::olFolderNotes, "Notes"},
            {store::olFolderTasks, "Tasks"}};
        for (auto& [n, name] : names)
            if (!defaults.count(n)) defaults[n] = ipm.Child(name) ? ipm.Child(name) : &static_cast<FakeFolder&>(ipm.AddFolder(name, 6));
    }
    store::Folder& GetDefaultFolder(int n) override {
        auto it = defaults.find(n);
        if (it == defaults.end()) throw store::StoreError("no default folder " + std::to_string(n));
        return *it->second;
    }
    store::Folder& IPMRootFolder() override { return ipm; }
    store::Folder& GetFolderFromPath(const std::string& path) override {
        std::string rest = path;
        if (rest.rfind("\\\\", 0) != 0) throw store::StoreError("Folder \"" + path + "\" does not exist");
        rest = rest.substr(2);
        auto take = [&rest]() {
            auto p = rest.find('\\');
            std::string part = rest.substr(0, p);
            rest = p == std::string::npos ? "" : rest.substr(p + 1);
            return part;
        };
        std::string storeName = take();
        if (storeName != displayName) throw store::StoreError("Folder \"" + storeName + "\" does not exist");
        FakeFolder* f = &ipm;
        while (!rest.empty()) {
            std::string part = take();
            if (part.empty()) continue;
            FakeFolder* c = f->Child(part);
            if (!c) throw store::StoreError("Folder \"" + part + "\" does not exist");
            f = c;
        }
        return *f;
    }
    void Commit() override { ++commits; }
};

struct FakeSession : store::Session {
    std::unique_ptr<FakeStore> st;
    bool loggedOff = false;
    store::Store& LogonPstStore(const std::string&, int, const std::string& displayName) override {
        st = std::make_unique<FakeStore>();
        st->displayName = displayName;
        return *st;
    }
    store::Store& GetStoreFromID(const std::string& id) override {
        if (!st || id != st->EntryID()) throw store::StoreError("no store " + id);
        return *st;
    }
    void Logoff() override {
        if (st) st->Commit();
        loggedOff = true;
    }
};

}  // namespace fake
