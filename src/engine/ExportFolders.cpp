#include "engine/ExportFolders.h"

#include <algorithm>

#include "engine/EngineText.h"
#include "engine/FolderTree.h"
#include "files/FileApi.h"
#include "items/ZimbraMetaReader.h"

namespace engine {

namespace {

using items::ExportFolder;
using items::FolderView;

std::vector<std::string> Components(const std::string& path, char separator) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        const size_t p = path.find(separator, start);
        out.push_back(path.substr(start, p == std::string::npos ? std::string::npos : p - start));
        if (p == std::string::npos) break;
        start = p + 1;
    }
    return out;
}

std::string Join(const std::vector<std::string>& parts, size_t from, size_t to) {
    std::string out;
    for (size_t i = from; i < to; ++i) {
        if (i > from) out += '\\';
        out += parts[i];
    }
    return out;
}

std::string StoreForm(const std::string& zimbraDirectory) { return ReplaceAll(zimbraDirectory, "/", "\\"); }

bool IsKindView(FolderView v) {
    return v == FolderView::Contacts || v == FolderView::Appointments || v == FolderView::Tasks ||
           v == FolderView::Notes;
}

int DefaultFolderOf(FolderView v) {
    if (v == FolderView::Contacts) return store::olFolderContacts;
    if (v == FolderView::Appointments) return store::olFolderCalendar;
    if (v == FolderView::Notes) return store::olFolderNotes;
    return store::olFolderTasks;
}

}  // namespace

void ExportFolders::Read(const files::PathList& queue, const std::string& rootPath) {
    folders_.clear();
    byDirectory_.clear();
    created_.clear();
    nested_.clear();
    nestedDirectories_.clear();
    notes_.clear();
    metaPaths_.clear();
    for (const auto& entry : queue) Add(entry, rootPath);
}

const ExportFolder* ExportFolders::Add(const std::string& entry, const std::string& rootPath) {
    if (!items::LooksLikeFolderMetaName(FileNameOf(entry))) return nullptr;
    if (!rootPath.empty() && !StartsWith(entry, rootPath)) return nullptr;
    // "<id>-Subject.eml.meta" beside its message names an item, not a
    // folder: one stat instead of reading every message's state here.
    if (files::FileExists(std::string_view(entry).substr(0, entry.size() - 5))) return nullptr;
    const items::MetaFile file = items::ParseMetaFile(items::ReadMetaText(entry));
    auto folder = items::ExportFolderFromMeta(file, entry);
    if (!folder) {
        // ROOT and USER_ROOT ("/") are folders of the export too, with no place of their own.
        if (file.isJson && (file.ItemType() == 1 || file.ItemType() == 2 || file.ItemType() == 13)) metaPaths_.insert(entry);
        return nullptr;
    }
    metaPaths_.insert(entry);
    const std::string directory = StoreForm(folder->directory);
    if (byDirectory_.count(directory)) return nullptr;  // the first listing wins
    byDirectory_[directory] = folders_.size();
    folders_.push_back(std::move(*folder));
    return &folders_.back();
}

const ExportFolder* ExportFolders::At(const std::string& directory) const {
    auto it = byDirectory_.find(directory);
    return it == byDirectory_.end() ? nullptr : &folders_[it->second];
}

std::string ExportFolders::RealPath(const std::string& directory) const {
    if (folders_.empty() || directory.empty()) return directory;
    std::vector<std::string> parts = Components(directory, '\\');
    std::vector<std::string> real = parts;
    for (size_t i = 0; i < parts.size(); ++i) {
        const ExportFolder* f = At(Join(parts, 0, i + 1));
        if (!f) continue;
        const auto names = Components(f->path, '/');
        real[i] = ReplaceAll(names.back(), "\\", "_");
    }
    return Join(real, 0, real.size());
}

std::vector<std::string> ExportFolders::MailFolders() const {
    std::vector<std::string> out;
    for (const auto& f : folders_) {
        if (f.type != 1 || !f.IsUserFolder()) continue;
        if (f.view != FolderView::Mail && f.view != FolderView::None && f.view != FolderView::Documents) continue;
        out.push_back(StoreForm(f.directory));
    }
    return out;
}

const ExportFolder* ExportFolders::KindFolderOf(const std::string& directory) const {
    // The nearest listed address book, calendar or task list of its own at or
    // above the directory, whatever folders lie between (a mail folder inside
    // an address book is still inside it).
    std::vector<std::string> parts = Components(directory, '\\');
    for (size_t n = parts.size(); n > 0; --n) {
        const ExportFolder* f = At(Join(parts, 0, n));
        if (f && f->type == 1 && IsKindView(f->view) && f->IsUserFolder()) return f;
    }
    return nullptr;
}

bool ExportFolders::InDocumentFolder(const std::string& directory) const {
    std::vector<std::string> parts = Components(directory, '\\');
    for (size_t n = parts.size(); n > 0; --n) {
        const ExportFolder* f = At(Join(parts, 0, n));
        if (f && f->type == 1 && f->view != FolderView::None) return f->view == FolderView::Documents;
    }
    // An export without folder files: the default Briefcase by its name.
    return folders_.empty() && !parts.empty() && parts[0] == "Briefcase";
}

bool ExportFolders::InKindFolder(const std::string& directory) const { return KindFolderOf(directory) != nullptr; }

void ExportFolders::TakeKindDirectories(std::vector<std::string>& folderList) {
    std::vector<std::string> kept;
    for (auto& directory : folderList) {
        const ExportFolder* kind = KindFolderOf(directory);
        if (!kind) {
            kept.push_back(std::move(directory));
            continue;
        }
        if (StoreForm(kind->directory) != directory) nestedDirectories_.insert(directory);
    }
    folderList = std::move(kept);
}

int ExportFolders::CreateKindFolders(store::Store& store) {
    int count = 0;
    // A new store (the next part of a split mailbox) has none yet.
    created_.clear();
    nested_.clear();
    notes_.clear();
    std::vector<const ExportFolder*> kinds;
    for (const auto& f : folders_)
        if (f.type == 1 && f.IsUserFolder() && IsKindView(f.view)) kinds.push_back(&f);
    // Parents before their children; at one depth the kind folders before the
    // mail folders, which are made inside the nearest kind folder.
    std::vector<std::pair<std::string, const ExportFolder*>> order;
    for (const ExportFolder* f : kinds) order.emplace_back(StoreForm(f->directory), f);
    for (const auto& d : nestedDirectories_) order.emplace_back(d, nullptr);
    auto depth = [](const std::string& d) { return std::count(d.begin(), d.end(), '\\'); };
    std::stable_sort(order.begin(), order.end(), [&depth](const auto& a, const auto& b) {
        if (depth(a.first) != depth(b.first)) return depth(a.first) < depth(b.first);
        return a.second != nullptr && b.second == nullptr;
    });
    for (const auto& [directory, f] : order) {
        if (!f) {
            count += CreateNested(directory);
            continue;
        }
        try {
            // Below the default folder of its kind, at the place it has below the
            // nearest folder of the same kind (the default one or its own parent
            // book), else directly; inside a mail folder of an own book, there.
            const std::vector<std::string> dirs = Components(directory, '\\');
            const std::vector<std::string> real = Components(RealPath(directory), '\\');
            store::Folder* parent = &store.GetDefaultFolder(DefaultFolderOf(f->view));
            for (size_t n = dirs.size() - 1; n > 0; --n) {
                const std::string above = Join(dirs, 0, n);
                if (auto it = created_.find(above); it != created_.end()) {
                    parent = it->second;
                    break;
                }
                if (auto it = nested_.find(above); it != nested_.end()) {
                    parent = it->second;
                    break;
                }
                const ExportFolder* a = At(above);
                if (a && a->view == f->view) break;  // the default folder of the kind
            }
            store::Folder* made = nullptr;
            for (store::Folder* existing : parent->Folders())
                if (existing->Name() == real.back()) made = existing;
            if (!made) {
                made = &parent->AddFolder(real.back(), DefaultFolderOf(f->view));
                ++count;
            }
            created_[directory] = made;
        } catch (const std::exception&) {
            // Left missing: its items fall back to the default folder of their kind.
        }
    }
    return count;
}

int ExportFolders::CreateNested(const std::string& directory) {
    const ExportFolder* kind = KindFolderOf(directory);
    if (!kind) return 0;
    const std::string kindDirectory = StoreForm(kind->directory);
    auto top = created_.find(kindDirectory);
    if (top == created_.end()) return 0;  // its kind folder is missing: so are its messages' folders
    const std::vector<std::string> dirs = Components(directory, '\\');
    const std::vector<std::string> real = Components(RealPath(directory), '\\');
    store::Folder* parent = top->second;
    int count = 0;
    try {
        for (size_t n = Components(kindDirectory, '\\').size() + 1; n <= dirs.size(); ++n) {
            const std::string here = Join(dirs, 0, n);
            if (auto it = nested_.find(here); it != nested_.end()) {
                parent = it->second;
                continue;
            }
            store::Folder* made = nullptr;
            for (store::Folder* existing : parent->Folders())
                if (existing->Name() == real[n - 1]) made = existing;
            if (!made) {
                made = &parent->AddFolder(real[n - 1], store::olFolderMail);
                ++count;
            }
            nested_[here] = made;
            parent = made;
        }
    } catch (const std::exception&) {
        // Left missing: the messages there are logged as not imported.
    }
    return count;
}

store::Folder* ExportFolders::KindFolderAt(const std::string& directory) const {
    const ExportFolder* f = KindFolderOf(directory);
    if (!f) return nullptr;
    auto it = created_.find(StoreForm(f->directory));
    return it == created_.end() ? nullptr : it->second;
}

store::Folder* ExportFolders::ItemFolderAt(const std::string& directory) const {
    if (auto it = nested_.find(directory); it != nested_.end()) return it->second;
    if (auto it = created_.find(directory); it != created_.end()) return it->second;
    return nullptr;
}

store::Folder* ExportFolders::NotesFolderAt(store::Store& store, const std::string& directory, int& made) {
    // Only a user folder the export lists has a notes folder of its own.
    const ExportFolder* f = At(directory);
    if (!f || f->type != 1 || !f->IsUserFolder()) return nullptr;
    if (auto it = notes_.find(directory); it != notes_.end()) return it->second;
    const std::vector<std::string> real = Components(RealPath(directory), '\\');
    store::Folder* parent = &store.GetDefaultFolder(store::olFolderNotes);
    for (const auto& name : real) {
        store::Folder* next = nullptr;
        for (store::Folder* existing : parent->Folders())
            if (existing->Name() == name) next = existing;
        if (!next) {
            next = &parent->AddFolder(name, store::olFolderNotes);
            ++made;
        }
        parent = next;
    }
    notes_[directory] = parent;
    return parent;
}

std::vector<const ExportFolder*> ExportFolders::Skipped() const {
    std::vector<const ExportFolder*> out;
    for (const auto& f : folders_)
        if (f.type == 2 || f.type == 13) out.push_back(&f);
    return out;
}

}  // namespace engine
