#include "mime/EmlTree.h"

#include "files/Ascii.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

#include "mime/MimeImport.h"

namespace mime {

namespace {

bool IsMessageName(const std::string& name) {
    const std::string l = files::LowerAscii(name);
    return l == "eml~1" || (l.size() > 4 && l.compare(l.size() - 4, 4, ".eml") == 0);
}

std::string BaseName(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

store::Folder& ChildFolder(store::Folder& parent, const std::string& name, EmlTreeStats& stats) {
    for (store::Folder* f : parent.Folders())
        if (f->Name() == name) return *f;
    ++stats.folders;
    return parent.AddFolder(name, store::olFolderMail);
}

void ImportFolder(store::Folder& target, const std::string& dir, EmlTreeStats& stats,
                  const std::function<void(const std::string&, const std::string&)>& onFailure, int depth) {
    DIR* d = opendir(dir.c_str());
    if (!d) {
        ++stats.failed;
        onFailure(dir, "cannot open folder");
        return;
    }
    std::vector<std::string> files, dirs;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string full = dir + "/" + name;
        struct stat st {};
        if (lstat(full.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) dirs.push_back(name);
        else if ((S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) && IsMessageName(name)) files.push_back(name);
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    std::sort(dirs.begin(), dirs.end());
    for (auto& f : files) {
        std::string full = dir + "/" + f;
        auto r = ImportEmlFile(target, full);
        if (r.ok) {
            ++stats.imported;
            struct stat st {};
            if (stat(full.c_str(), &st) == 0) stats.bytes += uint64_t(st.st_size);
        } else {
            ++stats.failed;
            onFailure(full, r.error);
        }
    }
    if (depth > 200) return;
    for (auto& sub : dirs) {
        store::Folder& child = ChildFolder(target, sub, stats);
        ImportFolder(child, dir + "/" + sub, stats, onFailure, depth + 1);
    }
}

}  // namespace

ImportResult ImportEmlFile(store::Folder& folder, const std::string& path) {
    auto item = folder.AddItem(store::ItemType::Mail);
    ImportResult r = ImportMessage(*item, path);
    if (!r.ok) return r;
    try {
        item->SetProp(pst::tags::PR_MESSAGE_FLAGS, int32_t(1));  // MSGFLAG_READ
        item->Save();
    } catch (const std::exception& e) {
        return {false, std::string("cannot save: ") + e.what()};
    }
    return r;
}

EmlTreeStats ImportEmlInputs(store::Store& st, const std::vector<std::string>& inputs,
                             const std::function<void(const std::string&, const std::string&)>& onFailure) {
    EmlTreeStats stats;
    for (auto& input : inputs) {
        struct stat s {};
        if (stat(input.c_str(), &s) != 0) {
            ++stats.failed;
            onFailure(input, "no such file or folder");
            continue;
        }
        if (S_ISDIR(s.st_mode)) {
            std::string name = BaseName(input);
            if (name.empty() || name == "." || name == ".." || name == "/") name = "Imported mail";
            store::Folder& top = ChildFolder(st.IPMRootFolder(), name, stats);
            std::string path = input;
            while (path.size() > 1 && path.back() == '/') path.pop_back();
            ImportFolder(top, path, stats, onFailure, 0);
        } else {
            auto r = ImportEmlFile(st.GetDefaultFolder(store::olFolderInbox), input);
            if (r.ok) {
                ++stats.imported;
                stats.bytes += uint64_t(s.st_size);
            } else {
                ++stats.failed;
                onFailure(input, r.error);
            }
        }
    }
    return stats;
}

}  // namespace mime
