#include "engine/ExportFolders.h"

#include <algorithm>

#include "engine/EngineText.h"
#include "engine/FolderTree.h"
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
    return v == FolderView::Contacts || v == FolderView::Appointments || v == FolderView::Tasks;
}

int DefaultFolderOf(FolderView v) {
    if (v == FolderView::Contacts) return store::olFolderContacts;
    if (v == FolderView::Appointments) return store::olFolderCalendar;
    return store::olFolderTasks;
}

}  // namespace

void ExportFolders::Read(const files::PathList& queue, const std::string& rootPath) {
    folders_.clear();
    byDirectory_.clear();
    created_.clear();
    metaPaths_.clear();
    for (const auto& entry : queue) {
        if (!items::LooksLikeFolderMetaName(FileNameOf(entry))) continue;
        if (!rootPath.empty() && !StartsWith(entry, rootPath)) continue;
        auto folder = items::ReadExportFolder(entry);
        if (!folder) {
            // ROOT and USER_ROOT ("/") are folders of the export too, with no place of their own.
            const items::MetaFile file = items::ParseMetaFile(items::ReadMetaText(entry));
            if (file.isJson && (file.ItemType() == 1 || file.ItemType() == 2 || file.ItemType() == 13)) metaPaths_.insert(entry);
            continue;
        }
        metaPaths_.insert(entry);
        const std::string directory = StoreForm(folder->directory);
        if (byDirectory_.count(directory)) continue;  // the first listing wins
        byDirectory_[directory] = folders_.size();
        folders_.push_back(std::move(*folder));
    }
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
        const std::string directory = StoreForm(f.directory);
        if (InKindFolder(directory)) continue;
        out.push_back(directory);
    }
    return out;
}

const ExportFolder* ExportFolders::KindFolderOf(const std::string& directory) const {
    // The deepest listed folder at or above the directory decides.
    std::vector<std::string> parts = Components(directory, '\\');
    for (size_t n = parts.size(); n > 0; --n) {
        const ExportFolder* f = At(Join(parts, 0, n));
        if (!f || f->type != 1) continue;
        if (IsKindView(f->view) && f->IsUserFolder()) return f;
        if (f->view != FolderView::None) return nullptr;
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

int ExportFolders::CreateKindFolders(store::Store& store) {
    int count = 0;
    created_.clear();  // a new store (the next part of a split mailbox) has none yet
    std::vector<const ExportFolder*> kinds;
    for (const auto& f : folders_)
        if (f.type == 1 && f.IsUserFolder() && IsKindView(f.view)) kinds.push_back(&f);
    // Parents before their children.
    std::sort(kinds.begin(), kinds.end(), [](const ExportFolder* a, const ExportFolder* b) {
        return std::count(a->path.begin(), a->path.end(), '/') < std::count(b->path.begin(), b->path.end(), '/');
    });
    for (const ExportFolder* f : kinds) {
        const std::string directory = StoreForm(f->directory);
        try {
            // Below the default folder of its kind, at the place it has below the
            // nearest folder of the same kind (the default one or its own parent
            // book), else directly.
            const std::vector<std::string> dirs = Components(directory, '\\');
            const std::vector<std::string> real = Components(RealPath(directory), '\\');
            store::Folder* parent = &store.GetDefaultFolder(DefaultFolderOf(f->view));
            for (size_t n = dirs.size() - 1; n > 0; --n) {
                const std::string above = Join(dirs, 0, n);
                if (auto it = created_.find(above); it != created_.end()) {
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

store::Folder* ExportFolders::KindFolderAt(const std::string& directory) const {
    const ExportFolder* f = KindFolderOf(directory);
    if (!f) return nullptr;
    auto it = created_.find(StoreForm(f->directory));
    return it == created_.end() ? nullptr : it->second;
}

std::vector<const ExportFolder*> ExportFolders::Skipped() const {
    std::vector<const ExportFolder*> out;
    for (const auto& f : folders_)
        if (f.type == 2 || f.type == 13) out.push_back(&f);
    return out;
}

}  // namespace engine
