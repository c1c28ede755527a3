#include "engine/ArchiveMailbox.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <unordered_map>

#include "files/FileApi.h"
#include "items/TempFiles.h"
#include "items/ZimbraFolders.h"

namespace engine {

namespace {

// A name that stays inside the mailbox when joined to a folder.
bool SafeName(const std::string& name) {
    if (name.empty() || name[0] == '/') return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        const std::string part = name.substr(start, end - start);
        if (part == "..") return false;
        start = end + 1;
    }
    return name.find('\0') == std::string::npos;
}

// The private folder for the entries being read: in $TMPDIR when it is set,
// else in memory (/dev/shm) where there is such a folder, since every entry is
// written, read and removed at once; else in the system's temporary folder.
std::string NewEntryFolder() {
    const char* tmpdir = std::getenv("TMPDIR");
    if ((!tmpdir || !*tmpdir) && ::access("/dev/shm", W_OK | X_OK) == 0) {
        std::string templ = "/dev/shm/orvandel-archive-XXXXXX";
        if (::mkdtemp(templ.data())) return templ + "/";
    }
    return items::NewTempFolder("orvandel-archive-");
}

bool EndsWith(const std::string& s, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

bool IsItemMetaName(const std::string& base) {
    for (const char* kind : {".eml.meta", ".appt.meta", ".task.meta", ".chat.meta", ".note.meta", ".wiki.meta"})
        if (base.size() > std::strlen(kind) && EndsWith(base, kind)) return true;
    return false;
}

std::string BaseOf(const std::string& name) {
    const size_t slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

// The item id of a ".meta" text: the value of its "id" member ("index_id",
// "folder_id" and the like end in `_id"`, and quotes inside strings are escaped).
std::string ItemIdOf(const std::string& metaText) {
    const size_t at = metaText.find("\"id\":");
    if (at == std::string::npos) return {};
    size_t end = at + 5;
    while (end < metaText.size() && metaText[end] >= '0' && metaText[end] <= '9') ++end;
    return metaText.substr(at + 5, end - at - 5);
}

// "dir/x.eml" -> "dir/x (2).eml", "Contacts/Doe, Jane" -> "Contacts/Doe, Jane (2)":
// the item's kind (its extension) stays what the engine goes by.
std::string NumberedName(const std::string& key, int n) {
    const std::string suffix = " (" + std::to_string(n) + ")";
    const std::string base = BaseOf(key);
    const size_t dot = base.rfind('.');
    if (dot != std::string::npos) {
        const std::string ext = base.substr(dot);
        for (const char* kind : {".eml", ".appt", ".task", ".chat", ".note", ".wiki"})
            if (ext == kind) return key.substr(0, key.size() - ext.size()) + suffix + ext;
    }
    return key + suffix;
}

constexpr size_t kFetchAhead = 64;

}  // namespace

ArchiveMailbox::~ArchiveMailbox() {
    if (root_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

bool ArchiveMailbox::Open(const std::string& archivePath, std::string& error) {
    return Open(std::vector<std::string>{archivePath}, error);
}

bool ArchiveMailbox::Open(const std::vector<std::string>& archivePaths, std::string& error) {
    std::vector<std::unique_ptr<files::ArchiveReader>> listings;
    for (const auto& path : archivePaths) {
        auto listing = std::make_unique<files::ArchiveReader>();
        if (!listing->Open(path)) {
            unreadable_.push_back("cannot read the archive " + path + " (" + listing->error() + ")");
            listing.reset();
        }
        listings.push_back(std::move(listing));
    }
    if (std::none_of(listings.begin(), listings.end(), [](const auto& l) { return l != nullptr; })) {
        error = unreadable_.empty() ? "no archive given" : unreadable_.front();
        for (size_t i = 1; i < unreadable_.size(); ++i) error += "; " + unreadable_[i];
        return false;
    }
    severalParts_ = archivePaths.size() > 1;
    root_ = NewEntryFolder();
    if (root_.empty()) {
        error = "no private temporary folder could be made for reading " + archivePaths.front();
        return false;
    }
    for (size_t k = 0; k < archivePaths.size(); ++k) {
        if (!listings[k]) continue;
        Part part;
        part.path = archivePaths[k];
        part.first = names_.size();
        parts_.push_back(part);
        List(parts_.size() - 1, *listings[k]);
        parts_.back().end = names_.size();
        parts_.back().listingDamaged = listings[k]->damaged();
        parts_.back().listingError = listings[k]->error();
    }
    FindPartners();
    return true;
}

void ArchiveMailbox::List(size_t part, files::ArchiveReader& listing) {
    const std::string archivePath = parts_[part].path;
    // First the part's entries as they are (and the ids of its items), then what
    // becomes of each item: an item is its ".meta" and its content, in either order.
    std::unordered_map<std::string, std::string> idOfKey;  // item key (name without ".meta") -> id
    const size_t first = names_.size();
    std::vector<bool> folderMeta;
    while (listing.Next()) {
        const std::string& name = listing.Name();
        names_.push_back(name);
        partOf_.push_back(part);
        queueNames_.push_back(name);
        const std::string base = BaseOf(name);
        folderMeta.push_back(!IsItemMetaName(base) && items::LooksLikeFolderMetaName(base));
        if (!SafeName(name)) continue;
        if (folderMeta.back()) {
            // Every part of an export starts with the export's folder list: read once.
            // Folder ".meta" files (the export writes them all first, and they are
            // small) are on disk from the start: the folder tree is built from them
            // before the first item.
            if (taken_.count(name)) continue;
            const std::string path = root_ + name;
            std::error_code ec;
            std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
            if (listing.WriteTo(path)) written_.insert(names_.size() - 1);
            else files::RemoveFile(path);
        } else if (severalParts_ && EndsWith(name, ".meta")) {
            std::string metaText;
            listing.ReadText(metaText, 1 << 20);
            const std::string id = ItemIdOf(metaText);
            if (!id.empty()) idOfKey[name.substr(0, name.size() - 5)] = id;
        }
    }
    std::unordered_map<std::string, std::string> keyAs;  // item key -> its name below root_, "" when read before
    std::vector<std::pair<std::string, std::string>> newIds;
    for (size_t i = first; i < names_.size(); ++i) {
        const std::string& name = names_[i];
        if (!SafeName(name)) {
            queued_.push_back(-1);
            refused_.push_back(archivePath + "/" + (name.empty() ? "(entry " + std::to_string(i - first + 1) +
                                                                    ", its name unreadable)"
                                                              : name));
            continue;
        }
        bool skip = false;
        if (folderMeta[i - first]) {
            skip = taken_.count(name) > 0;  // the folder list of an earlier part
        } else if (part > 0) {
            const bool meta = EndsWith(name, ".meta");
            const std::string key = meta ? name.substr(0, name.size() - 5) : name;
            auto decided = keyAs.find(key);
            if (decided == keyAs.end()) {
                std::string as = key;
                auto id = idOfKey.find(key);
                auto seen = id == idOfKey.end() ? idFirst_.end() : idFirst_.find(id->second);
                if (seen != idFirst_.end()) {
                    as.clear();
                    repeated_.emplace_back(archivePath + "/" + key + ".meta", seen->second);
                } else if (taken_.count(key) || taken_.count(key + ".meta")) {
                    int n = 2;
                    while (taken_.count(NumberedName(key, n)) || taken_.count(NumberedName(key, n) + ".meta")) ++n;
                    as = NumberedName(key, n);
                }
                decided = keyAs.emplace(key, as).first;
            }
            skip = decided->second.empty();
            if (!skip) queueNames_[i] = decided->second + (meta ? ".meta" : "");
        }
        if (skip) {
            queued_.push_back(-1);
            continue;
        }
        queued_.push_back(static_cast<long>(queue_.size()));
        position_.push_back(i);
        queue_.push_back(root_ + queueNames_[i]);
        // One archive: the queue's names are the entries' own (DisplayPath needs no map).
        if (severalParts_) entryOf_.emplace(queue_.back(), i);
        if (EndsWith(name, ".meta") && idOfKey.count(name.substr(0, name.size() - 5)))
            newIds.emplace_back(idOfKey[name.substr(0, name.size() - 5)], archivePath + "/" + name);
    }
    if (severalParts_)
        for (size_t i = first; i < names_.size(); ++i)
            if (queued_[i] >= 0) taken_.insert(queueNames_[i]);
    for (auto& [id, entry] : newIds) idFirst_.emplace(id, entry);
}

void ArchiveMailbox::FindPartners() {
    // "x.eml" and "x.eml.meta", "x.appt.meta" and "x.appt", "Name.meta" and "Name".
    std::unordered_map<std::string, size_t> at;
    for (size_t i = 0; i < names_.size(); ++i)
        if (queued_[i] >= 0) at.emplace(queueNames_[i], i);
    partner_.resize(names_.size());
    lastUse_.resize(names_.size());
    for (size_t i = 0; i < names_.size(); ++i) {
        partner_[i] = i;
        const std::string& n = queueNames_[i];
        auto it = at.find(n + ".meta");
        if (it == at.end() && n.size() > 5 && n.compare(n.size() - 5, 5, ".meta") == 0)
            it = at.find(n.substr(0, n.size() - 5));
        if (it != at.end()) partner_[i] = it->second;
        lastUse_[i] = std::max(i, partner_[i]);
    }
    // Only the listing needs the queue's names apart from the entries'.
    std::vector<std::string>().swap(queueNames_);
}

void ArchiveMailbox::Advance(size_t upToPosition) {
    while (streamed_ <= upToPosition && streamed_ < names_.size()) {
        Part& part = parts_[partOf_[streamed_]];
        if (part.streamDamaged) {
            // The rest of a cut part is not there; the next part goes on.
            streamed_ = part.end;
            continue;
        }
        if (!stream_ || streamPart_ != partOf_[streamed_]) {
            streamPart_ = partOf_[streamed_];
            stream_ = std::make_unique<files::ArchiveReader>();
            if (!stream_->Open(part.path)) {
                part.streamDamaged = true;
                part.damagedAt = streamed_;
                continue;
            }
        }
        if (!stream_->Next()) {
            part.streamDamaged = true;
            part.damagedAt = streamed_;
            continue;
        }
        const size_t at = streamed_++;
        if (queued_[at] < 0) continue;
        const std::string path = queue_[static_cast<size_t>(queued_[at])];
        const size_t slash = path.rfind('/');
        if (slash != std::string::npos && madeFolders_.insert(path.substr(0, slash)).second) {
            std::error_code ec;
            std::filesystem::create_directories(path.substr(0, slash), ec);
        }
        if (written_.erase(at)) files::RemoveFile(path);  // a folder ".meta" written while listing
        if (!stream_->WriteTo(path)) {
            // A cut-off entry is not handed on half written.
            files::RemoveFile(path);
            if (stream_->damaged()) {
                part.streamDamaged = true;
                part.damagedAt = at;
            }
            continue;
        }
        onDisk_.emplace_back(at, path);
    }
}

void ArchiveMailbox::Prepare(size_t index) {
    if (index >= position_.size()) return;
    const size_t at = position_[index];
    Advance(std::max(at, partner_[at]));
    // Files whose turn and whose partner's turn have both passed go.
    auto done = [&](const std::pair<size_t, std::string>& f) {
        if (lastUse_[f.first] >= at) return false;
        files::RemoveFile(f.second);
        return true;
    };
    onDisk_.erase(std::remove_if(onDisk_.begin(), onDisk_.end(), done), onDisk_.end());
}

bool ArchiveMailbox::Fetch(size_t index) {
    if (index >= position_.size()) return false;
    const size_t at = position_[index];
    const size_t upTo = std::max(at, partner_[at]);
    // Everything up to the entry goes on disk: only a few entries ahead.
    if (upTo >= streamed_ + kFetchAhead) return false;
    Advance(upTo);
    return true;
}

std::string ArchiveMailbox::DisplayPath(const std::string& queuePath) const {
    auto it = entryOf_.find(queuePath);
    if (it != entryOf_.end()) return parts_[partOf_[it->second]].path + "/" + names_[it->second];
    if (!severalParts_ && !parts_.empty() && !root_.empty() && queuePath.rfind(root_, 0) == 0)
        return parts_[0].path + "/" + queuePath.substr(root_.size());
    return queuePath;
}

std::string ArchiveMailbox::CutOffText() const {
    std::string text;
    auto add = [&text](const std::string& line) { text += (text.empty() ? "" : "; ") + line; };
    for (const auto& u : unreadable_) add(u);
    // The stream knows where the data ended; the listing where the headers did.
    for (const Part& part : parts_) {
        if (part.streamDamaged && part.damagedAt < part.end)
            add("archive cut off after " + std::to_string(part.damagedAt - part.first) + " entries, at " + part.path +
                "/" + names_[part.damagedAt]);
        else if (part.streamDamaged || part.listingDamaged)
            add("archive cut off after " + std::to_string(part.end - part.first) + " entries, at " + part.path + "/" +
                (part.end == part.first ? std::string() : names_[part.end - 1]) + " (" + part.listingError + ")");
    }
    return text;
}

}  // namespace engine
